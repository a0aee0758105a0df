#include "RFID.h"

#include "Common/Mqtt/MqttClient.h"
#include "Models/ZUKAv1Card.h"

#include <QHash>
#include <QJsonValue>
#include <QPointer>

namespace manager {

namespace {
QString uidOf(const Tag::Ptr &tag)
{
    return tag ? Log::outside(tag->uid()) : QStringLiteral("<none>");
}
void registerRfidTypes()
{
    qRegisterMetaType<RFID::Result>("manager::RFID::Result");
}
Q_CONSTRUCTOR_FUNCTION(registerRfidTypes)

ZUKA_LOG_CATEGORY(logCategory, "managers.rfid")
const Log rfidLog("[RFID] ", logCategory);

}

// An empty payload is no object either.
RFID::ParseRules RFID::rules()
{
    ParseRules rules = objectRules();
    rules.emptyIsObject = false;
    return rules;
}

RFID::RFID(MqttClient &mqtt, const QString &topic, QObject *parent)
    : DeviceClient(mqtt, topic, rfidLog, parent, rules())
{
    handle(QStringLiteral("/info"), [this](const QJsonObject &json, const QString &) {
        set(m_uid, json.value(QStringLiteral("device")).toObject().value(QStringLiteral("uid")).toString(),
            &RFID::uidChanged);
        onInfo(json);
    });
    handle(QStringLiteral("/status"), [this](const QJsonObject &json, const QString &) { onStatus(json); });
    handle(QStringLiteral("/card/found"), [this](const QJsonObject &json, const QString &) {
        setActiveCard(Tag::fromJson(json));
        emit cardFound(m_activeCard);
    });
    handle(QStringLiteral("/card/removed"), [this](const QJsonObject &, const QString &) {
        emit cardRemoved(m_activeCard);
        setActiveCard(Tag::Ptr());
    });
    handle(QStringLiteral("/card/autoread"), [this](const QJsonObject &json, const QString &) { onAutoread(json); });
    subscribeTree();
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

void RFID::onAutoread(const QJsonObject &json)
{
    if (json.contains(QStringLiteral("error"))) {
        emit cardAutoreadFailed(json.value(QStringLiteral("error")).toObject().value(QStringLiteral("what")).toString());
    } else {
        setActiveCard(makeCard(json));
        emit cardAutoread(Card::cast(m_activeCard));
    }
}

void RFID::onStatus(const QJsonObject &status)
{
    if (status.value(QStringLiteral("service")) != QJsonValue(true)) {
        setState(Error);
        set(m_error, QStringLiteral("Service is offline"), &RFID::errorChanged);
        return;
    }
    const QJsonObject device = status.value(QStringLiteral("device")).toObject();
    setState(static_cast<State>(device.value(QStringLiteral("state")).toInt(Init)));
    set(m_error, device.value(QStringLiteral("error")).toString(), &RFID::errorChanged);
    if (m_state == Idle && m_activeCard) {
        log().warn("RF disabled. Clearing active card");
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
    QPointer<RFID> self(this);
    return request<Result>(
        path, params, msec,
        [self](const QJsonObject &answer) {
            Tag::Ptr card = makeCard(answer.value(QStringLiteral("data")).toObject());
            if (self)
                self->setActiveCard(card);
            return Result{card, QString()};
        },
        [](const QJsonObject &error) { return Result{Tag::Ptr(), error.value(QStringLiteral("what")).toString()}; },
        [](const QString &failure) { return Result{Tag::Ptr(), failure}; });
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
        mqtt().waitTopic(root() + QStringLiteral("/card/found"), msec)
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
    return publishEmpty(QStringLiteral("/beep/valid"));
}

bool RFID::beepInvalid()
{
    return publishEmpty(QStringLiteral("/beep/invalid"));
}

void RFID::setState(State state)
{
    setLogged(m_state, state, &RFID::stateChanged, "State changed : ", stateToStr(state));
}

void RFID::setActiveCard(const Tag::Ptr &card)
{
    setLogged(m_activeCard, card, &RFID::activeCardChanged, "Active tag changed : old=", uidOf(m_activeCard),
              " new=", uidOf(card));
}

} // namespace manager
