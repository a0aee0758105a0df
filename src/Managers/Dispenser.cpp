#include "Dispenser.h"

#include "Common/MqttClient.h"
#include "Common/Property.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonValue>

#include <limits>

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

// Seconds to a timer interval in milliseconds, computed in 64 bits and clamped to what
// a timer holds; 0 or less means no time-out.
int secondsToMsec(int seconds)
{
    if (seconds <= 0)
        return 0;
    const qint64 msec = qint64(seconds) * 1000;
    return msec > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(msec);
}
}

Dispenser::Dispenser(MqttClient &mqtt, const QString &topic, QObject *parent, int requestTimeoutMs)
    : QObject(parent)
    , m_mqtt(mqtt)
    , m_topic(topic)
    , m_requestTimeoutMs(requestTimeoutMs)
{
    connect(&m_mqtt, &MqttClient::received, this, &Dispenser::onReceived);
    for (const char *suffix : {"/info", "/status", "/card/inserted", "/card/removed", "/card/disposed"})
        m_mqtt.subscribe(m_topic + QLatin1String(suffix), 0);
}

void Dispenser::onReceived(const QByteArray &data, const QByteArray &from)
{
    const QString topic = QString::fromUtf8(from);
    if (!topic.contains(m_topic))
        return;

    QString text = QString::fromUtf8(data.constData(), qstrnlen(data.constData(), uint(data.size())));
    if (text.isEmpty())
        text = QStringLiteral("{}");
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    // Every event of the service is an object; anything else is as unreadable as bad JSON.
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        qCritical().noquote().nospace() << "[Dispenser] "
                                        << QStringLiteral("ERROR: Failed to parse JSON message (topic=%1) :%2 )").arg(topic, text);
        return;
    }
    const QJsonObject json = doc.object();

    if (topic == m_topic + QStringLiteral("/info")) {
        const QJsonObject device = json.value(QStringLiteral("device")).toObject();
        const QJsonObject service = json.value(QStringLiteral("service")).toObject();
        setFirmware(device.value(QStringLiteral("firmware")).toString());
        setManufacturer(device.value(QStringLiteral("manufacturer")).toString());
        setModel(device.value(QStringLiteral("model")).toString());
        setSoftware(service.value(QStringLiteral("version")).toString());
    } else if (topic == m_topic + QStringLiteral("/status")) {
        onStatus(json);
    } else if (topic == m_topic + QStringLiteral("/card/inserted")) {
        emit cardInserted();
    } else if (topic == m_topic + QStringLiteral("/card/removed")) {
        emit cardRemoved();
    } else if (topic == m_topic + QStringLiteral("/card/disposed")) {
        emit cardDisposed();
    }
}

void Dispenser::onStatus(const QJsonObject &status)
{
    if (status.value(QStringLiteral("service")) != QJsonValue(true)) {
        setActive(false);
        return;
    }
    const QJsonObject device = status.value(QStringLiteral("device")).toObject();
    setActive(device.value(QStringLiteral("active")).toBool(false));
    setIsJammed(device.value(QStringLiteral("isJammed")).toBool(false));
    setIsDoorOpen(device.value(QStringLiteral("isCartridgeDoorOpen")).toBool(false));
    setCardInMouth(device.value(QStringLiteral("cardInMouth")).toBool(false));
    setCardInRfid(device.value(QStringLiteral("cardInRfid")).toBool(false));
    setCartridge(device.value(QStringLiteral("cartridge")).toString());
    setCartridgePercent(device.value(QStringLiteral("cartridgePercent")).toInt(0));
}

Deferred<Dispenser::Result> Dispenser::executeRpc(const QString &path, const QJsonObject &params, int msec)
{
    Deferred<Result> result;
    const QString id = QString::number(++m_rpcId);
    m_mqtt.executeRpc(m_topic + path, id, params, msec)
        .done([result](QJsonValue answer) mutable {
            const QJsonObject json = answer.toObject();
            if (json.value(QStringLiteral("completed")) == QJsonValue(true)) {
                result.resolve(Result{0, QString()});
            } else {
                const QJsonObject error = json.value(QStringLiteral("error")).toObject();
                result.reject(Result{error.value(QStringLiteral("code")).toInt(0),
                                     error.value(QStringLiteral("description")).toString()});
            }
        })
        .fail([result](QJsonValue failure) mutable { result.reject(Result{-1, failure.toString()}); });
    return result;
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
    m_mqtt.waitTopic(m_topic + QStringLiteral("/card/removed"), secondsToMsec(seconds))
        .done([result](QJsonValue) mutable { result.resolve(Result{0, QString()}); })
        .fail([result](QJsonValue failure) mutable { result.reject(Result{-1, failure.toString()}); });
    return result;
}

bool Dispenser::setLEDs(uchar leds)
{
    QJsonObject json;
    json.insert(QStringLiteral("red"), bool(leds & 0x02));
    json.insert(QStringLiteral("green"), bool(leds & 0x01));
    return m_mqtt.publish(QJsonDocument(json).toJson(QJsonDocument::Indented), m_topic + QStringLiteral("/led/set"), 0,
                          false);
}

void Dispenser::setManufacturer(const QString &value)
{
    updateProperty(this, m_manufacturer, value, &Dispenser::manufacturerChanged);
}

void Dispenser::setModel(const QString &value)
{
    updateProperty(this, m_model, value, &Dispenser::modelChanged);
}

void Dispenser::setFirmware(const QString &value)
{
    updateProperty(this, m_firmware, value, &Dispenser::firmwareChanged);
}

void Dispenser::setSoftware(const QString &value)
{
    updateProperty(this, m_software, value, &Dispenser::softwareChanged);
}

void Dispenser::setCartridge(const QString &value)
{
    updateProperty(this, m_cartridge, value, &Dispenser::cartridgeChanged);
}

void Dispenser::setActive(bool value)
{
    if (m_active == value)
        return;
    qInfo().noquote().nospace() << "[Dispenser] " << "Active changed : " << boolText(value);
    m_active = value;
    emit activeChanged();
}

void Dispenser::setIsJammed(bool value)
{
    if (m_isJammed == value)
        return;
    qInfo().noquote().nospace() << "[Dispenser] " << "Jammed changed : " << boolText(value);
    m_isJammed = value;
    emit isJammedChanged();
}

void Dispenser::setIsDoorOpen(bool value)
{
    if (m_isDoorOpen == value)
        return;
    qInfo().noquote().nospace() << "[Dispenser] " << "Door state changed : " << (value ? "Open" : "Closed");
    m_isDoorOpen = value;
    emit isDoorOpenChanged();
}

void Dispenser::setCardInMouth(bool value)
{
    updateProperty(this, m_cardInMouth, value, &Dispenser::cardInMouthChanged);
}

void Dispenser::setCardInRfid(bool value)
{
    updateProperty(this, m_cardInRfid, value, &Dispenser::cardInRfidChanged);
}

void Dispenser::setCartridgePercent(int value)
{
    updateProperty(this, m_cartridgePercent, value, &Dispenser::cartridgePercentChanged);
}

} // namespace manager
