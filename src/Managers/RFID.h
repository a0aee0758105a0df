#pragma once
// Client of the local RFID reader service: mirrors its "/info" and "/status",
// turns its card events into signals and an active card, and makes its
// request/response calls.
#include "Deferred/Deferred.h"
#include "Models/Card.h"
#include "Models/Tag.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

namespace manager {

class MqttClient;

class RFID : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString uid READ uid NOTIFY uidChanged)
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(QString software READ software NOTIFY softwareChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(int state READ state NOTIFY stateChanged)
    Q_PROPERTY(Tag::Ptr activeCard READ activeCard NOTIFY activeCardChanged)
    Q_PROPERTY(bool active READ active NOTIFY stateChanged)

public:
    // The numbers are those the service sends. Fixed integer base: a number outside
    // this list is stored unchanged and shown as "Unknown".
    enum State : int {
        Init = 0,
        Idle = 1,
        Searching = 2,
        CardFound = 3,
        Updating = 4,
        Error = 5,
    };

    // Outcome of every call: the card (or found tag) and an error text (empty on success).
    struct Result {
        Tag::Ptr card;
        QString error;
    };

    // Time-out of every request/response call to the reader service.
    static constexpr int RequestTimeoutMs = 3000;

    RFID(MqttClient &mqtt, const QString &topic, QObject *parent = nullptr);

    const QString &uid() const { return m_uid; }
    const QString &manufacturer() const { return m_manufacturer; }
    const QString &model() const { return m_model; }
    const QString &firmware() const { return m_firmware; }
    const QString &software() const { return m_software; }
    const QString &error() const { return m_error; }
    State state() const { return m_state; }
    bool active() const;
    Tag::Ptr activeCard() const { return m_activeCard; }

    static QString stateToStr(State state);

    Deferred<Result> enable(bool autoread);
    Deferred<Result> disable();
    Deferred<Result> createCard(const QString &templateName);
    Deferred<Result> readCard(QString templateName, int usageLogs);
    Deferred<Result> writeCard(Card::Ptr card);
    Deferred<Result> waitCardFound(int msec);

    bool beepValid();
    bool beepInvalid();

signals:
    void uidChanged();
    void manufacturerChanged();
    void modelChanged();
    void firmwareChanged();
    void softwareChanged();
    void stateChanged();
    void errorChanged();
    void activeCardChanged();
    void cardFound(Tag::Ptr tag);
    void cardRemoved(Tag::Ptr tag);
    void cardAutoread(Card::Ptr card);
    void cardAutoreadFailed(QString error);
    void updateProgress(int percent, int minutes, int seconds);

private slots:
    void onReceived(const QByteArray &data, const QByteArray &from);

private:
    void onStatus(const QJsonObject &status);
    Deferred<Result> executeRpc(const QString &path, const QJsonObject &params, int msec);
    static Card::Ptr makeCard(const QJsonObject &card);

    void setUid(const QString &value);
    void setManufacturer(const QString &value);
    void setModel(const QString &value);
    void setFirmware(const QString &value);
    void setSoftware(const QString &value);
    void setError(const QString &value);
    void setState(State state);
    void setActiveCard(const Tag::Ptr &card);

    MqttClient &m_mqtt;
    QString m_topic;
    QString m_uid;
    QString m_manufacturer;
    QString m_model;
    QString m_firmware;
    QString m_software;
    State m_state = Init;
    QString m_error;
    int m_rpcId = 0;
    Tag::Ptr m_activeCard;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::RFID::Result)
