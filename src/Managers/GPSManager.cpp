#include "GPSManager.h"

#include "Common/Mqtt/MqttClient.h"

namespace manager {

namespace {
// This client's lines carry no class prefix.
ZUKA_LOG_CATEGORY(logCategory, "managers.gps")
const Log gpsLog("", logCategory);

ServiceParseRules gpsRules()
{
    ServiceParseRules rules;
    rules.rawPayloadInError = true;
    rules.emptyIsObject = false;
    return rules;
}

// A position member is a text holding the number; anything else reads as 0.
double number(const QJsonObject &json, const char *key)
{
    const QJsonValue value = json.value(QLatin1String(key));
    return value.isUndefined() || value.isNull() ? 0.0 : value.toString().toDouble();
}
}

GPSManager::GPSManager(MqttClient &client, const QString &root, QObject *parent)
    : ServiceClient(client, root, gpsLog, parent, gpsRules())
{
    handle(QStringLiteral("/info"), [this](const QJsonObject &json, const QString &topic) { onInfoReceived(json, topic); });
    handle(QStringLiteral("/status"),
           [this](const QJsonObject &json, const QString &topic) { onStatusReceived(json, topic); });
    handle(QStringLiteral("/data"),
           [this](const QJsonObject &json, const QString &topic) { onTelemetryReceived(json, topic); });
    client.subscribe(root + QStringLiteral("/#"), 0);
}

bool GPSManager::enable()
{
    return publishEmpty(QStringLiteral("/enable"));
}

bool GPSManager::disable()
{
    return publishEmpty(QStringLiteral("/disable"));
}

void GPSManager::onInfoReceived(const QJsonObject &json, const QString &)
{
    const QJsonObject device = json.value(QStringLiteral("device")).toObject();
    const QJsonObject service = json.value(QStringLiteral("service")).toObject();
    m_info.firmware = device.value(QStringLiteral("firmware")).toString();
    m_info.manufacturer = device.value(QStringLiteral("manufacturer")).toString();
    m_info.model = device.value(QStringLiteral("model")).toString();
    m_info.imei = device.value(QStringLiteral("imei")).toString();
    m_info.assisted = device.value(QStringLiteral("assisted")).toBool();
    m_info.version = service.value(QStringLiteral("version")).toString();
    m_info.type = service.value(QStringLiteral("type")).toString();
    emit infoChanged(m_info);
}

void GPSManager::onStatusReceived(const QJsonObject &json, const QString &)
{
    if (json.value(QStringLiteral("service")) != QJsonValue(true)) {
        m_status = Status{0, -1, false, QStringLiteral("Manager is offline")};
        emit statusChanged(m_status);
        return;
    }
    const QJsonObject device = json.value(QStringLiteral("device")).toObject();
    m_status.fix = device.value(QStringLiteral("fix")).toInt();
    m_status.state = device.value(QStringLiteral("state")).toInt();
    const QJsonValue error = device.value(QStringLiteral("error"));
    m_status.error = error.isUndefined() || error.isNull() ? QString() : error.toString();
    m_status.simulation = json.value(QStringLiteral("simulation")).toBool();
    emit statusChanged(m_status);
}

void GPSManager::onTelemetryReceived(const QJsonObject &json, const QString &)
{
    m_telemetry.latitude = number(json, "latitude");
    m_telemetry.longitude = number(json, "longitude");
    m_telemetry.altitude = number(json, "altitude");
    m_telemetry.direction = number(json, "direction");
    m_telemetry.groundSpeed = number(json, "groundSpeed");
    m_telemetry.magneticVariation = number(json, "magneticVariation");
    m_telemetry.verticalSpeed = number(json, "verticalSpeed");
    m_telemetry.verticalAccuracy = number(json, "verticalAccuracy");
    m_telemetry.horizontalAccuracy = number(json, "horizontalAccuracy");
    emit telemetryChanged(m_telemetry);
}

} // namespace manager
