#include "ZUKAv1Card.h"

#include <QJsonArray>
#include <QJsonValue>

#include <limits>

namespace {
void registerZukaCardTypes()
{
    qRegisterMetaType<QSharedPointer<ZUKAv1Card>>("QSharedPointer<ZUKAv1Card>");
}
Q_CONSTRUCTOR_FUNCTION(registerZukaCardTypes)
}

const QString ZUKAv1Card::Name = QStringLiteral("ZUKAv1");
const QString ZUKAv1Card::TimestampFormat = QStringLiteral("yyyy-MM-dd'T'HH:mm:ss");

QJsonObject ZUKAv1Card::_Usage::toJson() const
{
    // A time stamp given in another zone is written as the terminal's local clock time,
    // since the card form carries no zone.
    QJsonObject json;
    json.insert(QStringLiteral("timestamp"), timestamp.toLocalTime().toString(TimestampFormat));
    json.insert(QStringLiteral("type"), type);
    json.insert(QStringLiteral("usageCounter"), usageCounter);
    json.insert(QStringLiteral("deviceId"), deviceId);
    json.insert(QStringLiteral("locationId"), locationId);
    return json;
}

ZUKAv1Card::_Usage &ZUKAv1Card::_Usage::fromJson(const QJsonObject &json)
{
    timestamp = QDateTime::fromString(json.value(QStringLiteral("timestamp")).toString(), TimestampFormat);
    type = json.value(QStringLiteral("type")).toString();
    deviceId = json.value(QStringLiteral("deviceId")).toString();
    locationId = json.value(QStringLiteral("locationId")).toString();
    usageCounter = json.value(QStringLiteral("usageCounter")).toInt(0);
    return *this;
}

ZUKAv1Card::ZUKAv1Card()
{
    setName(Name);
}

ZUKAv1Card::~ZUKAv1Card() = default;

QSharedPointer<ZUKAv1Card> ZUKAv1Card::fromJson(const QJsonObject &card)
{
    auto result = QSharedPointer<ZUKAv1Card>::create();
    result->setUid(card.value(QStringLiteral("uid")).toString());
    result->setName(card.value(QStringLiteral("template")).toString());
    result->setType(static_cast<Type>(card.value(QStringLiteral("type")).toInt(0)));
    Card *asCard = result.data();
    asCard->setData(card.value(QStringLiteral("data")).toObject());
    return result;
}

QJsonObject ZUKAv1Card::data() const
{
    QJsonObject info;
    info.insert(QStringLiteral("version"), 0);
    info.insert(QStringLiteral("customsId"), m_customsId);
    info.insert(QStringLiteral("status"), m_status);

    QJsonArray log;
    for (const _Usage &usage : m_newUsageLogs)
        log.append(usage.toJson());

    QJsonObject json;
    json.insert(QStringLiteral("info"), info);
    json.insert(QStringLiteral("usageCounter"), m_usageCounter);
    json.insert(QStringLiteral("usageLog"), log);
    return json;
}

void ZUKAv1Card::setData(const QJsonObject &data)
{
    const QJsonObject info = data.value(QStringLiteral("info")).toObject();
    m_customsId = info.value(QStringLiteral("customsId")).toInt(0);
    m_status = info.value(QStringLiteral("status")).toString();
    m_usageCounter = data.value(QStringLiteral("usageCounter")).toInt(0);
    const QJsonArray log = data.value(QStringLiteral("usageLog")).toArray();
    for (const QJsonValue &entry : log) {
        _Usage usage;
        usage.fromJson(entry.toObject());
        m_usageLogs.append(usage);
    }
}

void ZUKAv1Card::incrUsageCounter(int n)
{
    // Held in 32 bits on the card: the sum saturates instead of overflowing.
    const qint64 sum = qint64(m_usageCounter) + n;
    m_usageCounter = int(qBound<qint64>(std::numeric_limits<int>::min(), sum, std::numeric_limits<int>::max()));
}

void ZUKAv1Card::addUsageLog(const QString &type, const QString &deviceId, const QString &locationId)
{
    _Usage usage;
    usage.type = type;
    usage.deviceId = deviceId;
    usage.locationId = locationId;
    usage.timestamp = QDateTime::currentDateTime();
    usage.usageCounter = m_usageCounter;
    m_newUsageLogs.append(usage);
}

void ZUKAv1Card::addUsageLog(const _Usage &usage)
{
    m_newUsageLogs.append(usage);
}

const ZUKAv1Card::_Usage *ZUKAv1Card::lastUsage() const
{
    return m_usageLogs.isEmpty() ? nullptr : &m_usageLogs.constLast();
}
