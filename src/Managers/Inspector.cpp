#include "Inspector.h"

#include "Common/Mqtt/MqttClient.h"
#include "Common/Utils.h"

namespace manager {

namespace {
ZUKA_LOG_CATEGORY(logCategory, "managers.inspector")
const Log inspectorLog("[Inspector] ", logCategory);
const QString Internal = QStringLiteral("internal");
const int PowerRequestDelayMs = 2000;
}

Inspector::Inspector(MqttClient &mqtt, const QString &root, QObject *parent)
    : ServiceClient(mqtt, root, inspectorLog, parent)
{
    handle(QStringLiteral("/info"), [this](const QJsonObject &json, const QString &topic) { onInfoReceived(json, topic); });
    handle(QStringLiteral("/status"),
           [this](const QJsonObject &json, const QString &topic) { onStatusReceived(json, topic); });
    handle(QStringLiteral("/audio"), [this](const QJsonObject &json, const QString &topic) { onAudioReceived(json, topic); });
    // Statistics are subscribed and parsed, and nothing reads them.
    const auto drop = [](const QJsonObject &, const QString &) {};
    handle(QStringLiteral("/stats/cpu"), drop);
    handle(QStringLiteral("/stats/memory"), drop);
    handle(QStringLiteral("/stats/disk"), drop);

    // Queued: the requests leave after the subscriptions that receive the answers.
    connect(&mqtt, &MqttClient::connected, this, &Inspector::refresh, Qt::QueuedConnection);
    connect(&m_monitorTimer, &QTimer::timeout, this, &Inspector::refresh);
    m_shutdownTimer.setSingleShot(true);
    connect(&m_shutdownTimer, &QTimer::timeout, this, &Inspector::systemShutdown);
    subscribe();
}

void Inspector::subscribe()
{
    log().info("Subscribing to topics");
    subscribeTopics();
}

int Inspector::audioVolume() const
{
    return m_audio.value(Internal).toInt();
}

void Inspector::refresh()
{
    log().info("Refreshing data");
    publish(QStringLiteral("/audio/get"), QJsonObject());
    publish(QStringLiteral("/stats/memory/get"), QJsonObject());
    publish(QStringLiteral("/stats/disk/get"), QJsonObject());
    publish(QStringLiteral("/stats/cpu/get"), QJsonObject());
}

void Inspector::monitor(int msec)
{
    if (msec == 0) {
        log().info("Monitor stopped");
        m_monitorTimer.stop();
        return;
    }
    log().info("Monitor started : ", msec, " msec(s)");
    m_monitorTimer.setSingleShot(false);
    m_monitorTimer.start(msec);
    refresh();
}

void Inspector::setAudioVolume(int value)
{
    log().info("Setting 'internal' audio volume : ", value, "%");
    publish(QStringLiteral("/audio/set"), QJsonObject{{Internal, QJsonObject{{QStringLiteral("volume"), value}}}},
            QJsonDocument::Indented);
}

void Inspector::audioPlay(QString file)
{
    log().info("Playing audio file (card='internal') : ", file);
    publish(QStringLiteral("/audio/play"),
            QJsonObject{{QStringLiteral("device"), Internal}, {QStringLiteral("filepath"), file}},
            QJsonDocument::Indented);
}

void Inspector::systemReboot()
{
    log().info("Requesting System reboot");
    emit systemRebootStarted();
    QTimer::singleShot(PowerRequestDelayMs, Qt::CoarseTimer, this,
                       [this] { publishEmpty(QStringLiteral("/power/reboot/request/1")); });
}

void Inspector::systemShutdown()
{
    log().info("Requesting System shutdown");
    emit systemShutdownStarted();
    QTimer::singleShot(PowerRequestDelayMs, Qt::CoarseTimer, this,
                       [this] { publishEmpty(QStringLiteral("/power/shutdown/request/1")); });
}

void Inspector::scheduleShutdown(int sec)
{
    if (m_shutdownTimer.isActive())
        return;
    log().info("Scheduling System shutdown in : ", sec, " sec(s)");
    m_shutdownTimer.start(Utils::secondsToMsec(sec));
}

void Inspector::abortShutdown()
{
    if (!m_shutdownTimer.isActive())
        return;
    log().info("Aborting System shutdown");
    m_shutdownTimer.stop();
}

void Inspector::setStatus(const QString &status)
{
    if (m_status == status)
        return;
    log().info("Status changed : ", Log::outside(status));
    m_status = status;
    emit statusChanged();
}

void Inspector::onInfoReceived(const QJsonObject &json, const QString &topic)
{
    log().debug("Processing info topic ", topic);
    m_info.insert(QStringLiteral("version"),
                  json.value(QStringLiteral("service")).toObject().value(QStringLiteral("version")).toString());
    emit infoChanged();
}

void Inspector::onStatusReceived(const QJsonObject &json, const QString &topic)
{
    log().debug("Processing status topic ", topic);
    setStatus(json.value(QStringLiteral("service")).toBool() ? QStringLiteral("online") : QStringLiteral("offline"));
}

void Inspector::onAudioReceived(const QJsonObject &json, const QString &)
{
    const int volume = json.value(Internal).toObject().value(QStringLiteral("volume")).toInt();
    if (audioVolume() == volume)
        return;
    m_audio.insert(Internal, volume);
    emit audioVolumeChanged();
}

} // namespace manager
