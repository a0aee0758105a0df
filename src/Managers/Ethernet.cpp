#include "Ethernet.h"

#include "Common/Mqtt/MqttClient.h"

namespace manager {

namespace {
ZUKA_LOG_CATEGORY(logCategory, "managers.ethernet")
const Log ethernetLog("[Network][Ethernet] ", logCategory);
// The USB gadget interface is not the lane's wired interface.
const QString IgnoredInterface = QStringLiteral("usb0");
const QString Separator = QStringLiteral("-------------------------");
}

Ethernet::Ethernet(MqttClient &mqtt, const QString &root, QObject *parent)
    : ServiceClient(mqtt, root + QStringLiteral("/ethernet"), ethernetLog, parent)
{
    handle(QStringLiteral("/state"), [this](const QJsonObject &json, const QString &topic) { onStateReceived(json, topic); });
    handle(QStringLiteral("/config"),
           [this](const QJsonObject &json, const QString &topic) { onConfigReceived(json, topic); });
    // Queued: the requests leave after the subscriptions that receive the answers.
    connect(&mqtt, &MqttClient::connected, this, &Ethernet::reset, Qt::QueuedConnection);
    subscribe();
}

void Ethernet::subscribe()
{
    log().info("Subscribing to topics");
    subscribeTopics();
}

void Ethernet::reset()
{
    log().info("Refreshing data");
    publish(QStringLiteral("/state/get"), QJsonObject());
    publish(QStringLiteral("/config/get"), QJsonObject());
}

void Ethernet::setMethod(const QString &method)
{
    if (m_method == method)
        return;
    log().info("Method changed : ", Log::outside(method));
    m_method = method;
    emit methodChanged();
}

void Ethernet::save()
{
    log().info("Saving configuration");
    log().info(Separator);
    log().info("Method  : ", Log::outside(m_method));
    log().info("Address : ", Log::outside(m_config.address()));
    log().info("Netmask : ", Log::outside(m_config.mask()));
    log().info("Gateway : ", Log::outside(m_config.gateway()));
    log().info("DNS     : ", Log::outside(m_config.dns0()), ", ", Log::outside(m_config.dns1()));
    log().info(Separator);

    const bool manual = m_method == QLatin1String("manual");
    const QJsonObject doc{
        {QStringLiteral("interface"), m_interface},
        {QStringLiteral("method"), m_method},
        {QStringLiteral("address"), manual ? m_config.address() : QString()},
        {QStringLiteral("netmask"), manual ? m_config.mask() : QString()},
        {QStringLiteral("gateway"), manual ? m_config.gateway() : QString()},
        {QStringLiteral("dns0"), manual ? m_config.dns0() : QString()},
        {QStringLiteral("dns1"), manual ? m_config.dns1() : QString()},
    };
    publish(QStringLiteral("/config/set"), doc, QJsonDocument::Indented);
}

void Ethernet::onStateReceived(const QJsonObject &json, const QString &topic)
{
    log().debug("Processing state topic ", topic);
    if (json.value(QStringLiteral("interface")).toString() == IgnoredInterface)
        return;
    set(m_interface, json.value(QStringLiteral("interface")).toString(), &Ethernet::interfaceChanged);
    set(m_type, json.value(QStringLiteral("typeStr")).toString(), &Ethernet::typeChanged);
    set(m_state, json.value(QStringLiteral("stateStr")).toString(), &Ethernet::stateChanged);
    set(m_reason, json.value(QStringLiteral("reasonStr")).toString(), &Ethernet::reasonChanged);
    set(m_mac, json.value(QStringLiteral("mac")).toString(), &Ethernet::macChanged);
    const QVariantMap ipv4 = json.value(QStringLiteral("ipv4")).toObject().toVariantMap();
    if (m_ipv4.toMap() != ipv4) {
        m_ipv4.fromMap(ipv4);
        emit ipv4Changed();
    }
}

void Ethernet::onConfigReceived(const QJsonObject &json, const QString &topic)
{
    log().debug("Processing config topic ", topic);
    if (json.value(QStringLiteral("interface")).toString() == IgnoredInterface)
        return;
    set(m_method, json.value(QStringLiteral("method")).toString(), &Ethernet::methodChanged);
    const QVariantMap config = json.toVariantMap();
    if (m_config.toMap() != config) {
        m_config.fromMap(config);
        emit configChanged();
    }
}

} // namespace manager
