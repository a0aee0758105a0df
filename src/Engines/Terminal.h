#pragma once
// The object that owns the whole lane: every device client, the local database, the
// back-office clients and (with the lane engines) the session and at most one engine.
// It knows the terminal's identity, derives its type from the dispenser's model, and
// keeps the lane's state with a reason, re-evaluated whenever one of its inputs changes.
#include "Backend/CardBO.h"
#include "Backend/LaneView.h"
#include "Cameras/CameraManager.h"
#include "Engines/Identity.h"
#include "Engines/Lane.h"
#include "Engines/Session.h"
#include "Engines/StorageBox.h"
#include "Managers/Barrier.h"
#include "Managers/Button.h"
#include "Managers/CardIssuer.h"
#include "Managers/Clock.h"
#include "Managers/Dispenser.h"
#include "Managers/Loop.h"
#include "Managers/MIOBoard.h"
#include "Managers/Network.h"
#include "Managers/RFID.h"
#include "Managers/Update.h"

#include <QByteArray>
#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTimer>
#include <QVariantMap>

class Config;
class Engine;

namespace Backend {
class Database;
class ESB;
}

namespace manager {
class MqttClient;
}

class Terminal : public QObject, public Backend::LaneView, public Lane
{
    Q_OBJECT
    Q_DISABLE_COPY(Terminal)
    Q_PROPERTY(QString type READ type NOTIFY typeChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY stateChanged)
    Q_PROPERTY(QString serialNum READ serialNum NOTIFY serialNumChanged)
    Q_PROPERTY(QString customsId READ customsId NOTIFY customsIdChanged)
    Q_PROPERTY(QString locationId READ locationId NOTIFY locationIdChanged)
    Q_PROPERTY(QString customsName READ customsName NOTIFY customsIdChanged)
    Q_PROPERTY(QString locationName READ locationName NOTIFY locationIdChanged)
    Q_PROPERTY(int uptime READ uptime NOTIFY uptimeChanged)
    Q_PROPERTY(Session *session READ session NOTIFY sessionChanged)
    Q_PROPERTY(manager::Barrier *barrier READ barrier NOTIFY barrierChanged)
    Q_PROPERTY(manager::Button *button READ button NOTIFY buttonChanged)
    Q_PROPERTY(manager::CameraManager *cameras READ cameras NOTIFY camerasChanged)
    Q_PROPERTY(manager::Clock *clock READ clock NOTIFY clockChanged)
    Q_PROPERTY(manager::Dispenser *dispenser READ dispenser NOTIFY dispenserChanged)
    Q_PROPERTY(manager::Loop *loop READ loop NOTIFY loopChanged)
    Q_PROPERTY(manager::RFID *rfid READ rfid NOTIFY rfidChanged)
    Q_PROPERTY(manager::Network *network READ network CONSTANT)
    Q_PROPERTY(manager::MIOBoard *board READ board CONSTANT)
    Q_PROPERTY(manager::Update *update READ update CONSTANT)
    Q_PROPERTY(StorageBox *storageBox READ storageBox CONSTANT)
    Q_PROPERTY(Backend::ESB *esb READ esb CONSTANT)

public:
    enum State : int { Init = 0, Busy = 1, Ready = 2, Error = 3, Stopped = 4 };
    Q_ENUM(State)

    Terminal(Config &config, manager::MqttClient &mqtt, QObject *parent = nullptr,
             Backend::CardBO::Timing cardBOTiming = Backend::CardBO::Timing());
    ~Terminal() override;

    static QString stateToStr(int state);
    static QString modelToType(const QString &model);

    QString type() const override { return m_type; }
    State state() const { return m_state; }
    QString reason() const { return m_reason; }
    QString serialNum() const override { return m_identity.serialNum(); }
    QString customsId() const override { return m_identity.customsId(); }
    QString locationId() const override { return m_identity.locationId(); }
    QString customsName() const;
    QString locationName() const;
    int cardLevelPercent() const;
    QString cardLevel() const override;
    int uptime() const override;

    Config &config() const override { return m_config; }
    Session *session() const override { return m_session; }
    // The lane engine of the type; null without one.
    Engine *engine() const { return m_engine.data(); }
    // Whether the lane is paused (a card test runs): the engine stays stopped until resume.
    bool isPaused() const { return m_paused; }
    manager::RFID *rfid() { return &m_rfid; }
    manager::Dispenser *dispenser() override { return &m_dispenser; }
    StorageBox *storageBox() { return &m_storageBox; }
    manager::CardIssuer *cardIssuer() override { return &m_cardIssuer; }
    manager::Network *network() { return &m_network; }
    manager::Update *update() { return &m_update; }
    manager::MIOBoard *board() { return &m_board; }
    manager::Barrier *barrier() override { return &m_barrier; }
    manager::Clock *clock() { return &m_clock; }
    manager::Button *button() override { return &m_button; }
    manager::Loop *loop() override { return &m_loop; }
    manager::CameraManager *cameras() override { return &m_cameras; }
    Backend::Database *database() const { return m_database; }
    Backend::CardBO *cardBO() const override { return m_cardBO; }
    Backend::ESB *esb() const override { return m_esb; }
    QList<InterruptedPassage> &interruptedPassages() override { return m_interrupted; }

    // What the card back office reads of the lane.
    bool rfidActive() const override;
    QString rfidError() const override;
    bool dispenserActive() const override;
    bool barrierActive() const override;
    QString barrierReason() const override;
    bool clockSynced() const override;
    QList<Camera> cameraStatus() const override;
    IPv4 *ipv4() const override;
    QString softwareVersion() const override;
    void installSoftware(const QString &version, const QString &url, const QString &md5) override;

public slots:
    void start();
    void stop();
    void pause();
    void resume();
    void resetBoxCount();
    void updateState();

signals:
    void typeChanged();
    void stateChanged();
    void serialNumChanged();
    void customsIdChanged();
    void locationIdChanged();
    void uptimeChanged();
    void updateProgress(QString oper, int progress);
    void sessionChanged();
    void sessionStarted();
    void sessionFinished();
    void cardLevelChanged();
    void cardLevelPercentChanged();
    void barrierChanged();
    void camerasChanged();
    void clockChanged();
    void dispenserChanged();
    void rfidChanged();
    void loopChanged();
    void buttonChanged();

private:
    void reportUnclaimed();
    void onVehicleLeft();
    void setType(const QString &type);
    void setState(State state, const QString &reason);
    void printState();
    void onModelChanged();
    void onTypeChanged();
    void onConfigChanged(const QVariantMap &changes);
    void onUpdateProgress();
    void onCardDisposed(const Tag::Ptr &card);
    void onButtonPressed();
    void onLaneCommand(const QByteArray &data, const QByteArray &from);
    // A lane command: its topic, the line it logs and what it does (none: heard only).
    struct LaneCommand
    {
        QString topic;
        const char *line;
        void (*act)(Terminal &);
    };
    static const QList<LaneCommand> &laneCommands();
    void updateEngine();
    QSharedPointer<Engine> createEngine(const QString &type);
    void dropEngine();
    bool sessionInProgress() const;

    Config &m_config;
    manager::MqttClient &m_mqtt;
    manager::RFID m_rfid;
    manager::Dispenser m_dispenser;
    StorageBox m_storageBox;
    manager::CardIssuer m_cardIssuer;
    manager::Network m_network;
    manager::Update m_update;
    manager::MIOBoard m_board;
    manager::Barrier m_barrier;
    manager::Clock m_clock;
    manager::Button m_button;
    manager::Loop m_loop;
    manager::CameraManager m_cameras;
    Backend::Database *m_database = nullptr;
    Backend::CardBO *m_cardBO = nullptr;
    Backend::ESB *m_esb = nullptr;
    QString m_type;
    State m_state = Init;
    QString m_reason;
    Session *m_session = nullptr;
    Identity m_identity;
    QSharedPointer<Engine> m_engine;
    QList<InterruptedPassage> m_interrupted;
    // Reports a passage of the other lane type that its engine did not take up in its time.
    QTimer m_interruptedWatch;
    bool m_paused = false;
    QList<QMetaObject::Connection> m_connections; // made by start(), removed by stop()
};
