#include "Update.h"

#include "Common/Mqtt/MqttClient.h"
#include "Common/Secrets.h"

namespace manager {

namespace {
ZUKA_LOG_CATEGORY(logCategory, "managers.update")
const Log updateLog("[Update] ", logCategory);
const QString NotRunning = QStringLiteral("Service not running");
// How long a check waits for news before it reports its result.
const int CheckMs = 10000;

// A member that is present and anything but true says the service is down.
bool reportsDown(const QJsonObject &json, const QString &key)
{
    return json.contains(key) && json.value(key) != QJsonValue(true);
}
}

Update::Update(MqttClient &mqtt, const QString &root, QObject *parent)
    : ServiceClient(mqtt, root, updateLog, parent)
{
    handle(QStringLiteral("/status"),
           [this](const QJsonObject &json, const QString &topic) { onStatusReceived(json, topic); });
    handle(QStringLiteral("/progress"),
           [this](const QJsonObject &json, const QString &topic) { onProgressReceived(json, topic); });
    // Queued: the request leaves after the subscriptions that receive the answer.
    connect(&mqtt, &MqttClient::connected, this, &Update::refresh, Qt::QueuedConnection);
    connect(&mqtt, &MqttClient::disconnected, this, &Update::onMqttDisconnected);
    connect(&m_checkTimer, &QTimer::timeout, this, &Update::checkTimerExpired);
    subscribeTopics();
}

void Update::refresh()
{
    publishEmpty(QStringLiteral("/status/get"));
}

void Update::check()
{
    log().info("Checking for updates");
    setStatus(QStringLiteral("Checking for updates"));
    m_checkTimer.setSingleShot(true);
    m_checkTimer.start(CheckMs);
    publishEmpty(QStringLiteral("/check"));
}

void Update::install()
{
    if (m_pending.isEmpty()) {
        log().warn("Cannot install. There are no pending versions");
        return;
    }
    log().info("Installing pending update : ", Log::outside(m_pending));
    publishEmpty(QStringLiteral("/install"));
}

void Update::trigger(QString version, QString uri, QString checksum)
{
    log().info("Triggerring download : v=", Log::outside(version), ", uri=", Log::outside(Secrets::maskUrls(uri)),
               ", checksum=", Log::outside(checksum));
    publish(QStringLiteral("/trigger"), QJsonObject{{QStringLiteral("v"), version},
                                                    {QStringLiteral("uri"), uri},
                                                    {QStringLiteral("md5"), checksum},
                                                    {QStringLiteral("at"), 0}});
}

void Update::trigger(QString version, QString uri)
{
    trigger(version, uri, QString());
}

void Update::onStatusReceived(const QJsonObject &json, const QString &)
{
    if (reportsDown(json, QStringLiteral("updateman")) || reportsDown(json, QStringLiteral("service"))) {
        setStatus(NotRunning);
        return;
    }
    const QString version = json.value(QStringLiteral("version")).toString();
    setCurrent(version == QLatin1String("0") ? QString() : version);
    setPending(json.value(QStringLiteral("pending")).toString());
    setStatus(json.value(QStringLiteral("state")).toString());
    setProgressMessage(QStringLiteral("Idle"));
    setProgressPercent(0);
}

void Update::onProgressReceived(const QJsonObject &json, const QString &)
{
    m_checkTimer.stop();
    setProgressMessage(json.value(QStringLiteral("description")).toString());
    setProgressPercent(json.value(QStringLiteral("percent")).toInt());
    switch (json.value(QStringLiteral("progress")).toInt()) {
    case 102:
    case 103:
    case 104:
        setStatus(QStringLiteral("Installation failed"));
        break;
    case 204:
        setStatus(QStringLiteral("Installation success"));
        break;
    default:
        break;
    }
}

void Update::onMqttDisconnected()
{
    setStatus(QStringLiteral("Disconnected"));
}

void Update::checkTimerExpired()
{
    log().info("No pedning updates");
    setStatus(m_pending.isEmpty() ? QStringLiteral("No pending updates") : QStringLiteral("Ready to install"));
}

} // namespace manager
