#pragma once
// The application's root object: builds the system on the one configuration store and
// wires it, applies logging and configuration changes, and carries the QML interface.
// Its jobs live in classes of their own: the screen logic, the MQTT supervision documents
// and the remote-command executor.
#include "Common/Log/Log.h"
#include "Common/Mqtt/MqttClient.h"
#include "Engines/Terminal.h"
#include "GUI/Diagnostics.h"
#include "GUI/EventManager.h"
#include "GUI/RemoteCommands.h"
#include "GUI/ScreenLogic.h"
#include "GUI/SessionManager.h"
#include "GUI/Supervision.h"
#include "Managers/Ethernet.h"
#include "Managers/Inspector.h"

#include <QByteArray>
#include <QColor>
#include <QObject>
#include <QQmlApplicationEngine>
#include <QString>
#include <QTranslator>
#include <QVariantMap>

Q_DECLARE_LOGGING_CATEGORY(guiManagerLogCategory)

class Config;
class QQmlContext;

class GUIManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(GUIManager)
    Q_PROPERTY(QString screen READ screen WRITE setScreen NOTIFY screenChanged)
    Q_PROPERTY(QString deviceId READ deviceId NOTIFY deviceIdChanged)
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(QString dynTr READ dynTr NOTIFY languageChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(QString plate READ plate NOTIFY plateChanged)
    Q_PROPERTY(QString container READ container NOTIFY containerChanged)
    Q_PROPERTY(bool showCursor READ showCursor WRITE setShowCursor NOTIFY showCursorChanged)
    Q_PROPERTY(bool showErrorDesc READ showErrorDesc WRITE setShowErrorDesc NOTIFY showErrorDescChanged)
    Q_PROPERTY(int displayOffMin READ displayOffMin WRITE setDisplayOffMin NOTIFY displayOffMinChanged)
    Q_PROPERTY(int shutdownDelaySec READ shutdownDelaySec WRITE setShutdownDelaySec NOTIFY shutdownDelaySecChanged)
    Q_PROPERTY(QColor screenSaverBg READ screenSaverBg NOTIFY screenSaverBgChanged)
    Q_PROPERTY(QString screenSaverImg READ screenSaverImg NOTIFY screenSaverImgChanged)
    Q_PROPERTY(Diagnostics *diagnostics READ diagnostics NOTIFY diagnosticsChanged)
    Q_PROPERTY(manager::Update *update READ update NOTIFY updateChanged)

public:
    static const QString TranslationFile;

    explicit GUIManager(Config &config);
    ~GUIManager() override;

    // Opens the QML interface, applies the language and logs the start.
    void load();

    // What the diagnostics read of and do to the terminal's lane.
    static Diagnostics::Lane diagnosticsLane(Terminal &terminal);

    QString screen() const { return m_screens.screen(); }
    QString deviceId() const;
    QString language() const { return m_language; }
    QString dynTr() const { return QString(); }
    QString message() const { return m_screens.message(); }
    QString plate() const { return m_screens.plate(); }
    QString container() const { return m_screens.container(); }
    bool showCursor() const;
    void setShowCursor(bool value);
    bool showErrorDesc() const;
    void setShowErrorDesc(bool value);
    int displayOffMin() const;
    void setDisplayOffMin(int value);
    int shutdownDelaySec() const;
    void setShutdownDelaySec(int value);
    QColor screenSaverBg() const;
    QString screenSaverImg() const;
    Diagnostics *diagnostics() { return &m_diagnostics; }
    manager::Update *update() { return m_terminal.update(); }
    Terminal &terminal() { return m_terminal; }

    void setLanguage(const QString &locale);

    // The jobs, for the tests and the wiring.
    ScreenLogic &screens() { return m_screens; }
    SessionManager &sessions() { return m_sessions; }
    EventManager &events() { return m_events; }
    Supervision &supervision() { return m_supervision; }
    RemoteCommands &commands() { return m_commands; }

signals:
    void screenChanged();
    void deviceIdChanged();
    void languageChanged();
    void settingsAccessGranted();
    void settingsAccessDenied();
    void messageChanged();
    void plateChanged();
    void containerChanged();
    void showCursorChanged();
    void showErrorDescChanged();
    void displayOffMinChanged();
    void shutdownDelaySecChanged();
    void errorOccured(QString error);
    void diagnosticsChanged();
    void updateChanged();
    void screenSaverBgChanged();
    void screenSaverImgChanged();

public slots:
    void settingsLoginRequest(const QString &pin);
    void settingsLogoutRequest();
    void setIdleScreen();
    void setOutOfOrderScreen(const QString &message);
    void setScreen(const QString &value, int timeout);
    void setScreen(const QString &value);
    void setMaintenanceScreen();
    void shutdownRequest();
    void rebootRequest();
    // Shows the busy screen and ends the event loop (exit code 0) two seconds later.
    void exitRequest();

private:
    void initLog();
    void initConfig();
    void initQml();
    void initMqtt();
    void initManagers();
    void onConfigChanged(const QVariantMap &changes);
    void onConfigFileChanged();
    void onMqttConnected();
    void onMqttDisconnected();
    void onMqttError(const QString &error);
    void onMqttMessage(const QByteArray &data, const QByteArray &topic);
    void onSessionActiveChanged();
    void onCommandReceived(const QString &id, const QString &command);
    ScreenLogic::Lane laneState() const;
    void showBusy(int timeout, const QString &message);

    Config *m_config = nullptr;
    QString m_language;
    QTranslator m_translator;
    manager::MqttClient m_mqtt;
    manager::Inspector m_inspector;
    Terminal m_terminal;
    Diagnostics m_diagnostics;
    SessionManager m_sessions;
    EventManager m_events;
    ScreenLogic m_screens;
    RemoteCommands m_commands;
    Supervision m_supervision;
    // The QML engine is declared last so that it goes first, while everything its
    // bindings read still exists.
    QQmlApplicationEngine m_engine;
    QQmlContext *m_rootContext = nullptr;

private:
    static constexpr Log log{"[GUIManager] ", guiManagerLogCategory};
};
