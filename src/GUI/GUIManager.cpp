#include "GUI/GUIManager.h"

#include "Common/Config.h"
#include "Common/Logger.h"
#include "Common/Secrets.h"
#include "GUI/Defaults.h"
#include "GUI/QmlSetup.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlContext>
#include <QTimer>
#include <QUrl>

const QVariantMap &GUIManager::Defaults = ConfigDefaults;

GUIManager::GUIManager(Config &config)
    : m_config(&config)
    , m_rootContext(m_engine.rootContext())
{
    Q_INIT_RESOURCE(qml);

    initLog();
    initConfig();
    initMqtt();
}

GUIManager::~GUIManager() = default;

void GUIManager::initLog()
{
    manager::Logger *logger = manager::Logger::instance();
    // A level that is not a number (a typo in the file) keeps the default level rather than
    // silencing everything but errors.
    bool isNumber = false;
    const int level = m_config->get(QStringLiteral("log/level")).toInt(&isNumber);
    logger->setLevel(isNumber ? level : Defaults.value(QStringLiteral("log/level")).toInt());
    logger->setStderr(m_config->get(QStringLiteral("log/stderr")).toBool());
    logger->setSyslog(m_config->get(QStringLiteral("log/syslog")).toBool());
    logger->setColor(m_config->get(QStringLiteral("log/color")).toBool());
}

void GUIManager::initConfig()
{
    connect(m_config, &Config::configChanged, this, &GUIManager::onConfigChanged);
    connect(m_config, &Config::configFileChanged, this, &GUIManager::onConfigFileChanged);
    m_config->print();
}

void GUIManager::onConfigChanged(const QVariantMap &changes)
{
    const QJsonObject shown = QJsonObject::fromVariantMap(Secrets::masked(changes));
    log.debug("Config changed : ", QJsonDocument(shown).toJson(QJsonDocument::Indented));

    if (Config::contains(changes, QStringLiteral("log\\/.+"))) {
        log.info("Log configuration changed. Applying.");
        initLog();
    }
    if (Config::contains(changes, QStringLiteral("mqtt\\/.+"))) {
        log.info("MQTT configuration changed. Applying.");
        initMqtt();
    }
}

void GUIManager::onConfigFileChanged()
{
    log.warn("Configuration file changed!");
    m_config->print();
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
    m_mqtt.setWillTopic(m_config->get(QStringLiteral("mqtt/base")).toString() + QStringLiteral("/status"));
    m_mqtt.setHostname(m_config->get(QStringLiteral("mqtt/host")).toString());
    m_mqtt.setPort(m_config->get(QStringLiteral("mqtt/port")).toInt());
    m_mqtt.setUsername(m_config->get(QStringLiteral("mqtt/username")).toString());
    m_mqtt.setPassword(m_config->get(QStringLiteral("mqtt/password")).toString());
    if (m_mqtt.isConnected())
        m_mqtt.disconnect();
    m_mqtt.connect();
}

void GUIManager::onMqttConnected()
{
    log.info("Connected to MQTT broker");
}

void GUIManager::onMqttDisconnected()
{
    log.warn("Disconnected from MQTT broker");
}

void GUIManager::onMqttError(const QString &error)
{
    log.error(error);
}

void GUIManager::onMqttMessage(const QByteArray &data, const QByteArray &topic)
{
    // The supervision interface's requests arrive here; nothing is served yet.
    Q_UNUSED(data)
    Q_UNUSED(topic)
}

void GUIManager::load()
{
    QmlSetup::prepare(m_engine);
    m_engine.load(QUrl(QStringLiteral("qrc:/qml/main.qml")));
}

QString GUIManager::screen() const
{
    return m_screen;
}

QString GUIManager::message() const
{
    return m_message;
}

void GUIManager::showBusy(const QString &message)
{
    if (m_message != message) {
        m_message = message;
        emit messageChanged();
    }
    if (m_screen != QLatin1String("Busy")) {
        m_screen = QStringLiteral("Busy");
        emit screenChanged();
    }
}

void GUIManager::exitRequest()
{
    showBusy(tr("Exiting"));
    QTimer::singleShot(2000, Qt::CoarseTimer, this, [] { QCoreApplication::exit(0); });
}
