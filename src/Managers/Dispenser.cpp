#include "Dispenser.h"

#include "Common/Mqtt/MqttClient.h"
#include "Common/Utils.h"

#include <QJsonDocument>
#include <QJsonValue>

namespace manager {

namespace {
const char *boolText(bool value)
{
    return value ? "true" : "false";
}
void registerDispenserTypes()
{
    qRegisterMetaType<Dispenser::Result>("manager::Dispenser::Result");
}
Q_CONSTRUCTOR_FUNCTION(registerDispenserTypes)

ZUKA_LOG_CATEGORY(logCategory, "managers.dispenser")
const Log dispenserLog("[Dispenser] ", logCategory);

}

// The service pads its messages with NUL bytes, and its parse error line names the topic.
Dispenser::ParseRules Dispenser::rules()
{
    ParseRules rules = objectRules();
    rules.textToNul = true;
    rules.topicInError = true;
    return rules;
}

Dispenser::Dispenser(MqttClient &mqtt, const QString &topic, QObject *parent, int requestTimeoutMs)
    : DeviceClient(mqtt, topic, dispenserLog, parent, rules())
    , m_requestTimeoutMs(requestTimeoutMs)
{
    handle(QStringLiteral("/info"), [this](const QJsonObject &json, const QString &) { onInfo(json); });
    handle(QStringLiteral("/status"), [this](const QJsonObject &json, const QString &) { onStatus(json); });
    handle(QStringLiteral("/card/inserted"), [this](const QJsonObject &, const QString &) { emit cardInserted(); });
    handle(QStringLiteral("/card/removed"), [this](const QJsonObject &, const QString &) { emit cardRemoved(); });
    handle(QStringLiteral("/card/disposed"), [this](const QJsonObject &, const QString &) { emit cardDisposed(); });
    subscribeTopics();
    connect(&mqtt, &MqttClient::disconnected, this, &Dispenser::connectionLost);
}

void Dispenser::onStatus(const QJsonObject &status)
{
    const bool online = status.value(QStringLiteral("service")) == QJsonValue(true);
    const QJsonObject device = status.value(QStringLiteral("device")).toObject();
    const bool active = online && device.value(QStringLiteral("active")).toBool(false);
    setLogged(m_active, active, &Dispenser::activeChanged, "Active changed : ", boolText(active));
    if (!online)
        return;
    const bool jammed = device.value(QStringLiteral("isJammed")).toBool(false);
    setLogged(m_isJammed, jammed, &Dispenser::isJammedChanged, "Jammed changed : ", boolText(jammed));
    const bool doorOpen = device.value(QStringLiteral("isCartridgeDoorOpen")).toBool(false);
    setLogged(m_isDoorOpen, doorOpen, &Dispenser::isDoorOpenChanged, "Door state changed : ",
              doorOpen ? "Open" : "Closed");
    set(m_cardInMouth, device.value(QStringLiteral("cardInMouth")).toBool(false), &Dispenser::cardInMouthChanged);
    set(m_cardInRfid, device.value(QStringLiteral("cardInRfid")).toBool(false), &Dispenser::cardInRfidChanged);
    set(m_cartridge, device.value(QStringLiteral("cartridge")).toString(), &Dispenser::cartridgeChanged);
    set(m_cartridgePercent, device.value(QStringLiteral("cartridgePercent")).toInt(0),
        &Dispenser::cartridgePercentChanged);
    emit statusReceived();
}

Deferred<Dispenser::Result> Dispenser::executeRpc(const QString &path, const QJsonObject &params, int msec)
{
    return request<Result>(
        path, params, msec, [](const QJsonObject &) { return Result{0, QString()}; },
        [](const QJsonObject &error) {
            return Result{error.value(QStringLiteral("code")).toInt(0),
                          error.value(QStringLiteral("description")).toString()};
        },
        [](const QString &failure) { return Result{-1, failure}; });
}

Deferred<Dispenser::Result> Dispenser::accept()
{
    return executeRpc(QStringLiteral("/accept"), QJsonObject(), m_requestTimeoutMs);
}

Deferred<Dispenser::Result> Dispenser::issue()
{
    return executeRpc(QStringLiteral("/issue"), QJsonObject(), m_requestTimeoutMs);
}

Deferred<Dispenser::Result> Dispenser::dispose()
{
    return executeRpc(QStringLiteral("/dispose"), QJsonObject(), m_requestTimeoutMs);
}

Deferred<Dispenser::Result> Dispenser::eject()
{
    return executeRpc(QStringLiteral("/eject"), QJsonObject(), m_requestTimeoutMs);
}

Deferred<Dispenser::Result> Dispenser::collect()
{
    return executeRpc(QStringLiteral("/collect"), QJsonObject(), m_requestTimeoutMs);
}

Deferred<Dispenser::Result> Dispenser::enableAccept()
{
    return executeRpc(QStringLiteral("/accept/enable"), QJsonObject(), m_requestTimeoutMs);
}

Deferred<Dispenser::Result> Dispenser::disableAccept()
{
    return executeRpc(QStringLiteral("/accept/disable"), QJsonObject(), m_requestTimeoutMs);
}

Deferred<Dispenser::Result> Dispenser::waitCollect(int seconds)
{
    Deferred<Result> result;
    mqtt().waitTopic(root() + QStringLiteral("/card/removed"), Utils::secondsToMsec(seconds))
        .done([result](QJsonValue) mutable { result.resolve(Result{0, QString()}); })
        .fail([result](QJsonValue failure) mutable { result.reject(Result{-1, failure.toString()}); });
    return result;
}

bool Dispenser::setLEDs(uchar leds)
{
    QJsonObject json;
    json.insert(QStringLiteral("red"), bool(leds & 0x02));
    json.insert(QStringLiteral("green"), bool(leds & 0x01));
    return mqtt().publish(QJsonDocument(json).toJson(QJsonDocument::Indented), root() + QStringLiteral("/led/set"), 0,
                          false);
}

} // namespace manager
