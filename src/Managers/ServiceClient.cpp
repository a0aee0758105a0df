#include "ServiceClient.h"

#include "Common/Mqtt/MqttClient.h"
#include "Common/Utils.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace manager {

ServiceClient::ServiceClient(MqttClient &mqtt, const QString &root, const Log &log, QObject *parent,
                             ParseRules rules)
    : QObject(parent)
    , m_mqtt(mqtt)
    , m_root(root)
    , m_log(log)
    , m_parseErrors(log)
    , m_rules(rules)
{
    connect(&m_mqtt, &MqttClient::received, this,
            [this](const QByteArray &data, const QByteArray &from) { onMqttReceived(data, QString::fromUtf8(from)); });
}

void ServiceClient::handle(const QString &suffix, Handler handler)
{
    m_routes.append(Route{m_root + suffix, std::move(handler)});
}

void ServiceClient::subscribeTopics()
{
    for (const Route &route : qAsConst(m_routes))
        m_mqtt.subscribe(route.topic, 0);
}

void ServiceClient::subscribeTree()
{
    m_mqtt.subscribe(m_root + QStringLiteral("/#"), 0);
}

bool ServiceClient::publish(const QString &suffix, const QJsonObject &payload)
{
    return m_mqtt.publish(QJsonDocument(payload).toJson(QJsonDocument::Compact), m_root + suffix, 0, false);
}

bool ServiceClient::publish(const QString &suffix, const QJsonObject &payload, QJsonDocument::JsonFormat format)
{
    return m_mqtt.publish(QJsonDocument(payload).toJson(format), m_root + suffix, 0, false);
}

bool ServiceClient::publishEmpty(const QString &suffix)
{
    return m_mqtt.publish(QByteArray(), m_root + suffix, 0, false);
}

Deferred<QJsonValue> ServiceClient::call(const QString &suffix, const QJsonObject &params, int msec)
{
    return m_mqtt.executeRpc(m_root + suffix, QString::number(++m_callId), params, msec);
}

void ServiceClient::onMqttReceived(const QByteArray &received, const QString &topic)
{
    if (!topic.contains(m_root))
        return;

    QByteArray payload;
    const bool readable = MqttClient::messageText(received, m_rules.textToNul, &payload);
    QJsonObject json;
    if (!readable || !payload.isEmpty() || !m_rules.emptyIsObject) {
        QJsonParseError error{0, QJsonParseError::IllegalValue};
        const QJsonDocument doc = readable ? Utils::parseJson(payload, &error) : QJsonDocument();
        const bool refused = error.error != QJsonParseError::NoError || (!doc.isObject() && !m_rules.nonObjectIsEmpty);
        if (refused) {
            if (!m_parseErrors.allow())
                return;
            const QString text = m_rules.rawPayloadInError ? Log::outside(readable ? payload : received) : error.errorString();
            if (m_rules.topicInError)
                m_log.error("Failed to parse JSON message (topic=", Log::outside(topic), ") :", text, " )");
            else
                m_log.critical("Failed to parse JSON message: ", text);
            return;
        }
        json = doc.object();
    }

    for (const Route &route : qAsConst(m_routes)) {
        if (route.topic == topic) {
            route.handler(json, topic);
            return;
        }
    }
}

} // namespace manager
