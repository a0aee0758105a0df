#include "GUI/GUIManager.h"

#include "Backend/ESB.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Logger.h"
#include "Common/Secrets.h"
#include "Cameras/VORReading.h"
#include "Engines/Session.h"
#include "GUI/QmlSetup.h"
#include "Cameras/CameraManager.h"
#include "Managers/Barrier.h"
#include "Managers/Button.h"
#include "Managers/Clock.h"
#include "Managers/Dispenser.h"
#include "Managers/Ethernet.h"
#include "Managers/Loop.h"
#include "Managers/MIOBoard.h"
#include "Managers/Network.h"
#include "Managers/RFID.h"
#include "Models/IPv4.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QQmlContext>
#include <QQuickStyle>
#include <QTimer>
#include <QUrl>
#include <QtQml>

ZUKA_LOG_CATEGORY(guiManagerLogCategory, "gui.guimanager")

const QString GUIManager::TranslationFile = QStringLiteral(":/qml/translations/zuka-terminal-ui_el_GR.qm");

GUIManager::GUIManager(Config &config)
    : m_config(&config)
    , m_inspector(m_mqtt, config.get(Key::TopicInspector).toString())
    , m_terminal(config, m_mqtt)
    , m_diagnostics(diagnosticsLane(m_terminal))
    , m_sessions(config)
    , m_events(config)
    , m_screens(config, m_sessions)
    , m_commands(config, m_mqtt, m_inspector, m_screens, m_diagnostics)
    , m_supervision(config, m_mqtt, m_sessions, m_commands)
    , m_rootContext(m_engine.rootContext())
{
    initLog();
    initConfig();
    initQml();
    initMqtt();
    initManagers();
}

GUIManager::~GUIManager()
{
    // The lane stops first; then nothing of the lane may reach this object or its jobs
    // while the members go, so every connection to them ends before that.
    m_terminal.stop();
    QList<QObject *> senders{m_config, &m_mqtt, &m_inspector, &m_terminal, &m_diagnostics, &m_sessions,
                             &m_events, &m_screens, &m_commands, &m_supervision};
    senders << m_terminal.button() << m_terminal.loop() << m_terminal.barrier() << m_terminal.cameras()
            << m_terminal.storageBox() << m_terminal.esb() << m_terminal.cardBO() << m_terminal.network();
    for (QObject *sender : qAsConst(senders)) {
        if (!sender)
            continue;
        for (QObject *receiver : std::initializer_list<QObject *>{this, &m_screens, &m_supervision, &m_commands,
                                                                   &m_diagnostics})
            QObject::disconnect(sender, nullptr, receiver, nullptr);
    }
    QObject::disconnect(m_config, nullptr, &m_sessions, nullptr);
}

void GUIManager::initLog()
{
    manager::Logger *logger = manager::Logger::instance();
    // A level that is not a number never gets this far: the file's gives way to the default.
    logger->setLevel(m_config->get(Key::LogLevel).toInt());
    logger->setStderr(m_config->get(Key::LogStderr).toBool());
    logger->setSyslog(m_config->get(Key::LogSyslog).toBool());
    logger->setColor(m_config->get(Key::LogColor).toBool());
}

void GUIManager::initConfig()
{
    connect(m_config, &Config::configChanged, this, &GUIManager::onConfigChanged);
    connect(m_config, &Config::configFileChanged, this, &GUIManager::onConfigFileChanged);
    m_config->print();
}

void GUIManager::initQml()
{
    QQuickStyle::setStyle(QStringLiteral("Material"));
    log.info("QtQuick Style name is : ", QQuickStyle::name());

    static bool registered = false;
    if (!registered) {
        registered = true;
        qmlRegisterType<manager::Connection>("com.vexo.network.connection", 1, 0, "Connection");
        qmlRegisterType<IPv4>("com.vexo.network.ipv4", 1, 0, "IPv4");
        qmlRegisterUncreatableType<Test>("com.vexo.diagnostics.test", 1, 0, "Test",
                                         QStringLiteral("Not creatable in QML"));
        qRegisterMetaType<Test>("Test");
        qmlRegisterUncreatableType<Session>("com.vexo.terminal.session", 1, 0, "Session",
                                            QStringLiteral("Not creatable in QML"));
        // The lane's objects that the screens reach through the context objects' properties.
        qmlRegisterAnonymousType<manager::Ethernet>("com.vexo.lane", 1);
        qmlRegisterAnonymousType<manager::Barrier>("com.vexo.lane", 1);
        qmlRegisterAnonymousType<manager::Button>("com.vexo.lane", 1);
        qmlRegisterAnonymousType<manager::Loop>("com.vexo.lane", 1);
        qmlRegisterAnonymousType<manager::Clock>("com.vexo.lane", 1);
        qmlRegisterAnonymousType<manager::Dispenser>("com.vexo.lane", 1);
        qmlRegisterAnonymousType<manager::RFID>("com.vexo.lane", 1);
        qmlRegisterAnonymousType<manager::CameraManager>("com.vexo.lane", 1);
    }
    m_rootContext->setContextProperty(QStringLiteral("manager"), this);
    m_rootContext->setContextProperty(QStringLiteral("terminal"), &m_terminal);
    m_rootContext->setContextProperty(QStringLiteral("board"), m_terminal.board());
    m_rootContext->setContextProperty(QStringLiteral("network"), m_terminal.network());
    m_rootContext->setContextProperty(QStringLiteral("inspector"), &m_inspector);
    m_rootContext->setContextProperty(QStringLiteral("eventLogManager"), &m_events);

    connect(&m_screens, &ScreenLogic::screenChanged, this, &GUIManager::screenChanged);
    connect(&m_screens, &ScreenLogic::messageChanged, this, &GUIManager::messageChanged);
    connect(&m_screens, &ScreenLogic::plateChanged, this, &GUIManager::plateChanged);
    connect(&m_screens, &ScreenLogic::containerChanged, this, &GUIManager::containerChanged);

    showBusy(10000, tr("Initializing"));
    emit showCursorChanged();
}

void GUIManager::initMqtt()
{
    // Runs again on every broker setting change: the client's signals stay connected once.
    disconnect(&m_mqtt, &manager::MqttClient::connected, this, nullptr);
    disconnect(&m_mqtt, &manager::MqttClient::disconnected, this, nullptr);
    disconnect(&m_mqtt, &manager::MqttClient::error, this, nullptr);
    disconnect(&m_mqtt, &manager::MqttClient::received, this, nullptr);
    connect(&m_mqtt, &manager::MqttClient::connected, this, &GUIManager::onMqttConnected);
    connect(&m_mqtt, &manager::MqttClient::disconnected, this, &GUIManager::onMqttDisconnected);
    connect(&m_mqtt, &manager::MqttClient::error, this, &GUIManager::onMqttError);
    connect(&m_mqtt, &manager::MqttClient::received, this, &GUIManager::onMqttMessage);

    m_mqtt.setClientId(QStringLiteral("%1_%2")
                          .arg(QCoreApplication::applicationName())
                          .arg(QCoreApplication::applicationPid()));
    m_mqtt.setWillMessage(QByteArrayLiteral("{\"service\": false}"));
    m_mqtt.setWillTopic(m_config->get(Key::MqttBase).toString() + QStringLiteral("/status"));
    m_mqtt.setHostname(m_config->get(Key::MqttHost).toString());
    m_mqtt.setPort(m_config->get(Key::MqttPort).toInt());
    m_mqtt.setUsername(m_config->get(Key::MqttUsername).toString());
    m_mqtt.setPassword(m_config->get(Key::MqttPassword).toString());
    m_supervision.subscribeToTopics();
    if (m_mqtt.isConnected())
        m_mqtt.disconnect();
    m_mqtt.connect();
}

void GUIManager::initManagers()
{
    connect(&m_sessions, &SessionManager::accessGranted, this, &GUIManager::settingsAccessGranted);
    connect(&m_sessions, &SessionManager::accessDenied, this, &GUIManager::settingsAccessDenied);
    connect(&m_sessions, &SessionManager::expired, this, &GUIManager::setIdleScreen);
    connect(&m_sessions, &SessionManager::sessionActiveChanged, this, &GUIManager::onSessionActiveChanged);

    connect(&m_inspector, &manager::Inspector::systemRebootStarted, this,
            [this] { showBusy(30000, tr("Rebooting")); });
    connect(&m_inspector, &manager::Inspector::systemShutdownStarted, this,
            [this] { showBusy(30000, tr("Shutting down")); });

    connect(&m_commands, &RemoteCommands::exitRequested, this, &GUIManager::exitRequest);
    connect(&m_commands, &RemoteCommands::statusChanged, &m_supervision, &Supervision::scheduleStatus);

    m_screens.setLaneSource([this] { return laneState(); });
    m_supervision.setLaneSource([this] { return laneState(); });
    m_supervision.setTerminal(&m_terminal);
    m_commands.setTerminal(&m_terminal);
    m_diagnostics.followEthernet(m_terminal.network(), SIGNAL(ethernetChanged()));

    connect(&m_terminal, &Terminal::serialNumChanged, this, &GUIManager::deviceIdChanged);
    connect(&m_terminal, &Terminal::typeChanged, this, &GUIManager::setIdleScreen);
    connect(&m_terminal, &Terminal::typeChanged, &m_supervision, &Supervision::publishInfo);
    connect(&m_terminal, &Terminal::stateChanged, this, &GUIManager::setIdleScreen);
    connect(&m_terminal, &Terminal::stateChanged, &m_supervision, &Supervision::scheduleStatus);
    connect(&m_terminal, &Terminal::cardLevelPercentChanged, &m_supervision, &Supervision::scheduleStatus);
    connect(m_terminal.button(), &manager::Button::isPressedChanged, &m_supervision, &Supervision::scheduleStatus);
    connect(m_terminal.loop(), &manager::Loop::isOccupiedChanged, &m_supervision, &Supervision::scheduleStatus);
    connect(m_terminal.barrier(), &manager::Barrier::isOpenChanged, &m_supervision, &Supervision::scheduleStatus);
    connect(m_terminal.barrier(), &manager::Barrier::stateChanged, &m_supervision, &Supervision::scheduleStatus);
    if (m_terminal.esb())
        connect(m_terminal.esb(), &Backend::ESB::stateChanged, &m_supervision, &Supervision::scheduleStatus);
    if (Backend::CardBO *bo = m_terminal.cardBO()) {
        connect(bo, &Backend::CardBO::stateChanged, &m_supervision, &Supervision::scheduleStatus);
        connect(bo, &Backend::CardBO::commandReceived, this, &GUIManager::onCommandReceived);
    }
    connect(m_terminal.cameras(), &manager::CameraManager::cameraStatusChanged, &m_supervision,
            &Supervision::scheduleStatus);
    connect(m_terminal.storageBox(), &StorageBox::countChanged, &m_supervision, &Supervision::scheduleStatus);
    Session *session = m_terminal.session();
    connect(session, &Session::stateChanged, this, [this, session](Session::State, Session::State state) {
        m_screens.onSessionStateChanged(int(state), session->buttonPressed(), session->error());
        m_supervision.scheduleStatus();
    });
    connect(session, &Session::readingsChanged, this, [this, session] {
        const VORReading::Ptr plate = session->alprReading();
        const VORReading::Ptr container = session->ccrReading();
        m_screens.updatePlate(plate ? plate->plate() : QString(), container ? container->containerCode() : QString());
    });
    m_terminal.start();
}

ScreenLogic::Lane GUIManager::laneState() const
{
    return ScreenLogic::Lane{int(m_terminal.state()), m_terminal.type(), m_terminal.reason()};
}

Diagnostics::Lane GUIManager::diagnosticsLane(Terminal &terminal)
{
    Diagnostics::Lane lane;
    lane.cardIssuer = [&terminal] { return terminal.cardIssuer(); };
    lane.sessionState = [&terminal] { return Session::stateToStr(terminal.session()->state()); };
    lane.passageInProgress = [&terminal] { return terminal.session()->inProgress(); };
    lane.pause = [&terminal] { terminal.pause(); };
    lane.resume = [&terminal] { terminal.resume(); };
    lane.deviceId = [&terminal] { return terminal.serialNum(); };
    lane.boardFirmware = [&terminal] { return terminal.board()->firmware(); };
    lane.ethernetState = [&terminal] {
        manager::Ethernet *ethernet = terminal.network()->ethernet();
        return ethernet ? ethernet->state() : QString();
    };
    return lane;
}

void GUIManager::onCommandReceived(const QString &id, const QString &command)
{
    const RemoteCommands::Outcome outcome = m_commands.backOfficeCommand(id, command);
    if (Backend::CardBO *bo = m_terminal.cardBO())
        bo->sendCommandResult(id, command, outcome.result, outcome.error);
}

void GUIManager::onConfigChanged(const QVariantMap &changes)
{
    const QJsonObject shown = QJsonObject::fromVariantMap(Secrets::masked(changes));
    log.debug("Config changed : ", QJsonDocument(shown).toJson(QJsonDocument::Indented));

    // Every touched group is applied, in this order; the broker is reconnected at most
    // once and the configuration document published once, whatever changed together.
    const auto has = [&changes](QLatin1String key) { return changes.contains(key); };
    if (has(Key::GuiShowCursor)) {
        log.info("Cursor changed : ", showCursor() ? "visible" : "hidden");
        emit showCursorChanged();
    }
    if (has(Key::GuiDisplayOffMin)) {
        log.info("Display OFF interval changed : ", displayOffMin(), " min(s)");
        emit displayOffMinChanged();
    }
    if (has(Key::GuiShutdownDelaySec)) {
        log.info("Shutdown delay changed : ", shutdownDelaySec(), " sec(s)");
        emit shutdownDelaySecChanged();
    }
    if (has(Key::GuiLocale))
        setLanguage(changes.value(Key::GuiLocale).toString());
    if (has(Key::GuiShowErrorDesc)) {
        log.info("Show Error description changed : ", showErrorDesc() ? "YES" : "NO");
        emit showErrorDescChanged();
    }
    if (has(Key::GuiScreenSaverBg)) {
        log.info("Screen-saver background changed : ", m_config->get(Key::GuiScreenSaverBg).toString());
        emit screenSaverBgChanged();
    }
    if (has(Key::GuiScreenSaverImg)) {
        log.info("Screen-saver image changed : ", screenSaverImg());
        emit screenSaverImgChanged();
    }
    if (Config::contains(changes, QStringLiteral("log\\/.+"))) {
        log.info("Log configuration changed. Applying.");
        initLog();
    }
    if (Config::contains(changes, QStringLiteral("mqtt\\/.+"))) {
        log.info("MQTT configuration changed. Applying.");
        initMqtt();
    }
    m_supervision.publishConfig();
}

void GUIManager::onConfigFileChanged()
{
    log.warn("Configuration file changed!");
    m_config->print();
}

void GUIManager::onMqttConnected()
{
    log.info("Connected to MQTT broker");
    m_supervision.subscribeToTopics();
    m_supervision.publishInfo();
    m_supervision.publishStatus();
    m_supervision.publishConfig();
    setIdleScreen();
}

void GUIManager::onMqttDisconnected()
{
    log.warn("Disconnected from MQTT broker");
    setOutOfOrderScreen(QStringLiteral("Disconnected"));
}

void GUIManager::onMqttError(const QString &error)
{
    log.error(error);
}

void GUIManager::onMqttMessage(const QByteArray &data, const QByteArray &topic)
{
    m_supervision.onMessage(data, topic);
}

void GUIManager::onSessionActiveChanged()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString date = now.toString(Qt::TextDate);
    if (const SessionManager::User *user = m_sessions.user()) {
        m_events.push(new EventLogin(QStringLiteral("General"), QStringLiteral("Maintenance login"),
                                     QStringLiteral("User ID : %1\nFirst name : %2\nLast name : %3\nDate : %4")
                                         .arg(user->id)
                                         .arg(user->firstName, user->lastName, date),
                                     now));
    } else {
        setIdleScreen();
        m_events.push(new EventLogout(QStringLiteral("General"), QStringLiteral("Maintenance logout"),
                                      QStringLiteral("Date : %4").arg(date), now));
    }
    m_supervision.publishStatus();
}

void GUIManager::load()
{
    QmlSetup::prepare(m_engine);
    m_engine.load(QUrl(QStringLiteral("qrc:/qml/main.qml")));
    setLanguage(m_config->get(Key::GuiLocale).toString());
    m_events.push(new Event(QStringLiteral("General"), QStringLiteral("Application started"), QString(),
                            QDateTime::currentDateTime()));
}

void GUIManager::setLanguage(const QString &locale)
{
    if (locale == m_language)
        return;
    log.info("Language changed : ", locale);
    if (m_translator.isEmpty()) {
        log.info("Loading translation file : ", TranslationFile);
        if (!m_translator.load(TranslationFile)) {
            log.error("Failed to load translation file");
            return;
        }
    }
    const QLocale loc(locale);
    if (loc.language() == QLocale::English) {
        QCoreApplication::removeTranslator(&m_translator);
    } else if (!QCoreApplication::installTranslator(&m_translator)) {
        log.error("Failed to install translator");
        return;
    }
    QLocale::setDefault(loc);
    m_language = locale;
    m_config->set(Key::GuiLocale, locale);
    emit languageChanged();
}

QString GUIManager::deviceId() const
{
    return m_terminal.serialNum();
}

bool GUIManager::showCursor() const
{
    return m_config->get(Key::GuiShowCursor).toBool();
}

void GUIManager::setShowCursor(bool value)
{
    if (value != showCursor())
        m_config->set(Key::GuiShowCursor, value);
}

bool GUIManager::showErrorDesc() const
{
    return m_config->get(Key::GuiShowErrorDesc).toBool();
}

void GUIManager::setShowErrorDesc(bool value)
{
    if (value != showErrorDesc())
        m_config->set(Key::GuiShowErrorDesc, value);
}

int GUIManager::displayOffMin() const
{
    return m_config->get(Key::GuiDisplayOffMin).toInt();
}

void GUIManager::setDisplayOffMin(int value)
{
    if (value != displayOffMin())
        m_config->set(Key::GuiDisplayOffMin, value);
}

int GUIManager::shutdownDelaySec() const
{
    return m_config->get(Key::GuiShutdownDelaySec).toInt();
}

void GUIManager::setShutdownDelaySec(int value)
{
    if (value != shutdownDelaySec())
        m_config->set(Key::GuiShutdownDelaySec, value);
}

QColor GUIManager::screenSaverBg() const
{
    return QColor(m_config->get(Key::GuiScreenSaverBg).toString());
}

QString GUIManager::screenSaverImg() const
{
    return m_config->get(Key::GuiScreenSaverImg).toString();
}

void GUIManager::settingsLoginRequest(const QString &pin)
{
    m_sessions.loginRequest(pin);
}

void GUIManager::settingsLogoutRequest()
{
    m_sessions.logoutRequest();
}

void GUIManager::setIdleScreen()
{
    m_screens.setIdleScreen();
}

void GUIManager::setOutOfOrderScreen(const QString &message)
{
    m_screens.setOutOfOrderScreen(message);
}

void GUIManager::setScreen(const QString &value, int timeout)
{
    m_screens.setScreen(value, timeout);
}

void GUIManager::setScreen(const QString &value)
{
    m_screens.setScreen(value);
}

void GUIManager::setMaintenanceScreen()
{
    m_screens.setMaintenanceScreen();
}

void GUIManager::showBusy(int timeout, const QString &message)
{
    m_screens.setMessage(message);
    m_screens.setScreen(QStringLiteral("Busy"), timeout);
}

void GUIManager::exitRequest()
{
    showBusy(30000, tr("Exiting"));
    QTimer::singleShot(2000, Qt::CoarseTimer, this, [] { QCoreApplication::exit(0); });
}

void GUIManager::rebootRequest()
{
    showBusy(30000, tr("Rebooting"));
    m_inspector.systemReboot();
}

void GUIManager::shutdownRequest()
{
    showBusy(30000, tr("Shutting down"));
    m_inspector.systemShutdown();
}
