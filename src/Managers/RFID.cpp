#include "RFID.h"

#include "Common/MqttClient.h"
#include "Common/Property.h"
#include "Models/ZUKAv1Card.h"

#include <QDebug>
#include <QHash>
#include <QJsonDocument>
#include <QJsonValue>
#include <QPointer>

namespace manager {

namespace {
QString uidOf(const Tag::Ptr &tag)
{
    return tag ? tag->uid() : QStringLiteral("<none>");
}
void registerRfidTypes()
{
    qRegisterMetaType<RFID::Result>("manager::RFID::Result");
}
Q_CONSTRUCTOR_FUNCTION(registerRfidTypes)
}

RFID::RFID(MqttClient &mqtt, const QString &topic, QObject *parent)
    : QObject(parent)
    , m_mqtt(mqtt)
    , m_topic(topic)
{
    connect(&m_mqtt, &MqttClient::received, this, &RFID::onReceived);
    m_mqtt.subscribe(m_topic + QStringLiteral("/#"), 0);
}

bool RFID::active() const
{
    return m_state == Idle || m_state == Searching || m_state == CardFound;
}

QString RFID::stateToStr(State state)
{
    static const QHash<int, QString> names{
        {Init, QStringLiteral("Init")},           {Idle, QStringLiteral("Idle")},
        {Searching, QStringLiteral("Searching")}, {CardFound, QStringLiteral("CardFound")},
        {Updating, QStringLiteral("Updating")},   {Error, QStringLiteral("Error")},
    };
    return names.value(static_cast<int>(state), QStringLiteral("Unknown"));
}

void RFID::onReceived(const QByteArray &data, const QByteArray &from)
{
    const QString topic = QString::fromUtf8(from);
    if (!topic.contains(m_topic))
        return;

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &parseError);
    // Every event of the service is an object; anything else is as unreadable as bad JSON.
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        qCritical().noquote().nospace() << "[RFID] " << "Failed to parse JSON message: " << QString::fromUtf8(data);
        return;
    }
    const QJsonObject json = doc.object();

    if (topic == m_topic + QStringLiteral("/info")) {
        const QJsonObject device = json.value(QStringLiteral("device")).toObject();
        const QJsonObject service = json.value(QStringLiteral("service")).toObject();
        setUid(device.value(QStringLiteral("uid")).toString());
        setFirmware(device.value(QStringLiteral("firmware")).toString());
        setManufacturer(device.value(QStringLiteral("manufacturer")).toString());
        setModel(device.value(QStringLiteral("model")).toString());
        setSoftware(service.value(QStringLiteral("version")).toString());
    } else if (topic == m_topic + QStringLiteral("/status")) {
        onStatus(json);
    } else if (topic == m_topic + QStringLiteral("/card/found")) {
        setActiveCard(Tag::fromJson(json));
        emit cardFound(m_activeCard);
    } else if (topic == m_topic + QStringLiteral("/card/removed")) {
        emit cardRemoved(m_activeCard);
        setActiveCard(Tag::Ptr());
    } else if (topic == m_topic + QStringLiteral("/card/autoread")) {
        if (json.contains(QStringLiteral("error"))) {
            emit cardAutoreadFailed(
                json.value(QStringLiteral("error")).toObject().value(QStringLiteral("what")).toString());
        } else {
            setActiveCard(makeCard(json));
            emit cardAutoread(Card::cast(m_activeCard));
        }
    }
}

void RFID::onStatus(const QJsonObject &status)
{
    if (status.value(QStringLiteral("service")) != QJsonValue(true)) {
        setState(Error);
        setError(QStringLiteral("Service is offline"));
        return;
    }
    const QJsonObject device = status.value(QStringLiteral("device")).toObject();
    setState(static_cast<State>(device.value(QStringLiteral("state")).toInt(Init)));
    setError(device.value(QStringLiteral("error")).toString());
    if (m_state == Idle && m_activeCard) {
        qWarning().noquote().nospace() << "[RFID] " << "WARN: RF disabled. Clearing active card";
        setActiveCard(Tag::Ptr());
    }
}

Card::Ptr RFID::makeCard(const QJsonObject &card)
{
    if (card.value(QStringLiteral("template")).toString() == ZUKAv1Card::Name)
        return ZUKAv1Card::fromJson(card);
    return Card::Ptr();
}

Deferred<RFID::Result> RFID::executeRpc(const QString &path, const QJsonObject &params, int msec)
{
    Deferred<Result> result;
    const QString id = QString::number(++m_rpcId);
    QPointer<RFID> self(this);
    m_mqtt.executeRpc(m_topic + path, id, params, msec)
        .done([self, result](QJsonValue answer) mutable {
            const QJsonObject json = answer.toObject();
            if (json.value(QStringLiteral("completed")) == QJsonValue(true)) {
                Tag::Ptr card = makeCard(json.value(QStringLiteral("data")).toObject());
                if (self)
                    self->setActiveCard(card);
                result.resolve(Result{card, QString()});
            } else {
                result.reject(Result{
                    Tag::Ptr(),
                    json.value(QStringLiteral("error")).toObject().value(QStringLiteral("what")).toString()});
            }
        })
        .fail([result](QJsonValue failure) mutable { result.reject(Result{Tag::Ptr(), failure.toString()}); });
    return result;
}

Deferred<RFID::Result> RFID::enable(bool autoread)
{
    QJsonObject params;
    params.insert(QStringLiteral("autoread"), autoread);
    return executeRpc(QStringLiteral("/enable"), params, RequestTimeoutMs);
}

Deferred<RFID::Result> RFID::disable()
{
    return executeRpc(QStringLiteral("/disable"), QJsonObject(), RequestTimeoutMs);
}

Deferred<RFID::Result> RFID::createCard(const QString &templateName)
{
    QJsonObject params;
    params.insert(QStringLiteral("template"), templateName);
    return executeRpc(QStringLiteral("/card/create"), params, RequestTimeoutMs);
}

Deferred<RFID::Result> RFID::readCard(QString templateName, int usageLogs)
{
    QJsonObject params;
    params.insert(QStringLiteral("template"), templateName);
    params.insert(QStringLiteral("usageLogs"), usageLogs);
    params.insert(QStringLiteral("topupLogs"), 0);
    return executeRpc(QStringLiteral("/card/read"), params, RequestTimeoutMs);
}

Deferred<RFID::Result> RFID::writeCard(Card::Ptr card)
{
    if (!card) {
        // Nothing to write: refuse before anything is sent.
        Deferred<Result> result;
        result.reject(Result{Tag::Ptr(), QStringLiteral("No card to write")});
        return result;
    }
    QJsonObject params;
    params.insert(QStringLiteral("uid"), card->uid());
    params.insert(QStringLiteral("type"), static_cast<int>(card->type()));
    params.insert(QStringLiteral("template"), card->name());
    params.insert(QStringLiteral("data"), card->data());
    return executeRpc(QStringLiteral("/card/write"), params, RequestTimeoutMs);
}

Deferred<RFID::Result> RFID::waitCardFound(int msec)
{
    Deferred<Result> result;
    if (m_state == CardFound) {
        result.resolve(Result{m_activeCard, QString()});
    } else if (m_state == Searching) {
        m_mqtt.waitTopic(m_topic + QStringLiteral("/card/found"), msec)
            .done([result](QJsonValue message) mutable {
                result.resolve(Result{Tag::fromJson(message.toObject()), QString()});
            })
            .fail([result](QJsonValue failure) mutable { result.reject(Result{Tag::Ptr(), failure.toString()}); });
    } else {
        result.reject(Result{Tag::Ptr(), QStringLiteral("RF is disabled")});
    }
    return result;
}

bool RFID::beepValid()
{
    return m_mqtt.publish(QByteArray(), m_topic + QStringLiteral("/beep/valid"), 0, false);
}

bool RFID::beepInvalid()
{
    return m_mqtt.publish(QByteArray(), m_topic + QStringLiteral("/beep/invalid"), 0, false);
}

void RFID::setUid(const QString &value)
{
    updateProperty(this, m_uid, value, &RFID::uidChanged);
}

void RFID::setManufacturer(const QString &value)
{
    updateProperty(this, m_manufacturer, value, &RFID::manufacturerChanged);
}

void RFID::setModel(const QString &value)
{
    updateProperty(this, m_model, value, &RFID::modelChanged);
}

void RFID::setFirmware(const QString &value)
{
    updateProperty(this, m_firmware, value, &RFID::firmwareChanged);
}

void RFID::setSoftware(const QString &value)
{
    updateProperty(this, m_software, value, &RFID::softwareChanged);
}

void RFID::setError(const QString &value)
{
    updateProperty(this, m_error, value, &RFID::errorChanged);
}

void RFID::setState(State state)
{
    if (m_state == state)
        return;
    qInfo().noquote().nospace() << "[RFID] " << "State changed : " << stateToStr(state);
    m_state = state;
    emit stateChanged();
}

void RFID::setActiveCard(const Tag::Ptr &card)
{
    if (m_activeCard == card)
        return;
    qInfo().noquote().nospace() << "[RFID] "
                                << QStringLiteral("Active tag changed : old=%1 new=%2").arg(uidOf(m_activeCard), uidOf(card));
    m_activeCard = card;
    emit activeCardChanged();
}

} // namespace manager
