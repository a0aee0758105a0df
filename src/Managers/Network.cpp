#include "Network.h"

#include "Common/Mqtt/MqttClient.h"
#include "Managers/Ethernet.h"

namespace manager {

namespace {
ZUKA_LOG_CATEGORY(logCategory, "managers.network")
const Log networkLog("[Network] ", logCategory);
}

Connection::Connection(QObject *parent)
    : QObject(parent)
{
}

Connection::Connection(const QVariantMap &map, QObject *parent)
    : Connection(parent)
{
    fromMap(map);
}

Connection &Connection::fromMap(const QVariantMap &map)
{
    updateProperty(this, m_interface, map.value(QStringLiteral("interface")).toString(), &Connection::interfaceChanged);
    updateProperty(this, m_state, map.value(QStringLiteral("stateStr")).toString(), &Connection::stateChanged);
    updateProperty(this, m_type, map.value(QStringLiteral("typeStr")).toString(), &Connection::typeChanged);
    const QVariantMap ipv4 = map.value(QStringLiteral("ipv4")).toMap();
    if (m_ipv4.toMap() != ipv4) {
        m_ipv4.fromMap(ipv4);
        emit ipv4Changed();
    }
    return *this;
}

Network::Network(MqttClient &mqtt, const QString &root, QObject *parent)
    : ServiceClient(mqtt, root, networkLog, parent)
    , m_ethernet(new Ethernet(mqtt, root, this))
{
    handle(QStringLiteral("/info"), [this](const QJsonObject &json, const QString &topic) { onInfoReceived(json, topic); });
    handle(QStringLiteral("/status"),
           [this](const QJsonObject &json, const QString &topic) { onStatusReceived(json, topic); });
    connect(&mqtt, &MqttClient::connected, this, &Network::refresh);
    connect(&m_monitorTimer, &QTimer::timeout, this, &Network::refresh);
    subscribe();
}

void Network::subscribe()
{
    log().info("Subscribing to topics");
    subscribeTopics();
}

void Network::refresh()
{
    log().info("Refreshing data");
}

void Network::monitor(int msec)
{
    if (msec == 0) {
        log().info("Monitor stopped");
        m_monitorTimer.stop();
        return;
    }
    log().info("Monitor started : ", msec, " msec(s)");
    m_monitorTimer.setInterval(msec);
    m_monitorTimer.setSingleShot(false);
    m_monitorTimer.start();
    refresh();
}

void Network::onInfoReceived(const QJsonObject &json, const QString &topic)
{
    log().debug("Processing info topic ", topic);
    m_version = json.value(QStringLiteral("service")).toObject().value(QStringLiteral("version")).toString();
}

void Network::onStatusReceived(const QJsonObject &json, const QString &topic)
{
    log().debug("Processing status topic ", topic);
    set(m_connectionState, json.value(QStringLiteral("stateStr")).toString(), &Network::connectionStateChanged);
    set(m_connectivity, json.value(QStringLiteral("connectivityStr")).toString(), &Network::connectivityChanged);
    set(m_hostname, json.value(QStringLiteral("hostname")).toString(), &Network::hostnameChanged);
    m_primaryConnection.fromMap(json.value(QStringLiteral("primaryConnection")).toObject().toVariantMap());
    emit primaryConnectionChanged();
}

} // namespace manager
