#include "Backend/Transaction.h"

#include "Common/Utils.h"

#include <QJsonDocument>
#include <QUuid>

namespace Backend {

const QMap<Transaction::Type, QString> Transaction::TransactionTypes = {
    {Transaction::Issuance, QStringLiteral("ISSUANCE")},
    {Transaction::Scan, QStringLiteral("SCAN")},
    {Transaction::Collection, QStringLiteral("COLLECTION")},
    {Transaction::ErrorReport, QStringLiteral("ERROR_REPORT")},
};

namespace {
template<typename T>
void assign(T &field, const T &value)
{
    if (!(field == value))
        field = value;
}
}

Transaction::Transaction(QObject *parent)
    : QObject(parent)
{
}

void Transaction::setType(Type type) { assign(m_type, type); }
void Transaction::setTimestamp(const QDateTime &timestamp) { assign(m_timestamp, timestamp); }
void Transaction::setDeviceSerial(const QString &deviceSerial) { assign(m_deviceSerial, deviceSerial); }
void Transaction::setCardUid(const QString &cardUid) { assign(m_cardUid, cardUid); }
void Transaction::setUuid(const QString &uuid) { assign(m_uuid, uuid); }
void Transaction::setZuruvDbId(const QString &zuruvDbId) { assign(m_zuruvDbId, zuruvDbId); }
void Transaction::setErrorDetails(const QString &errorDetails) { assign(m_errorDetails, errorDetails); }

QString Transaction::statusText(SendStatus status)
{
    switch (status) {
    case SendStatus::Ok: return QStringLiteral("OK");
    case SendStatus::Failed: return QStringLiteral("FAILED");
    case SendStatus::Pending: break;
    }
    return QStringLiteral("PENDING");
}

Transaction::SendStatus Transaction::statusFromText(const QString &text)
{
    for (const SendStatus status : {SendStatus::Ok, SendStatus::Failed}) {
        if (text == statusText(status))
            return status;
    }
    return SendStatus::Pending;
}

QString Transaction::Journal::toText() const
{
    if (!known())
        return QString();
    const QJsonObject object{{QStringLiteral("lane"), lane},
                             {QStringLiteral("step"), step},
                             {QStringLiteral("openSent"), openSent},
                             {QStringLiteral("boomOpened"), boomOpened},
                             {QStringLiteral("vehicleLeft"), vehicleLeft},
                             {QStringLiteral("cardReturn"), cardReturn}};
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

Transaction::Journal Transaction::Journal::fromText(const QString &text)
{
    const QJsonObject object = QJsonDocument::fromJson(text.toUtf8()).object();
    Journal journal;
    journal.lane = object.value(QStringLiteral("lane")).toString();
    journal.step = object.value(QStringLiteral("step")).toString();
    journal.openSent = object.value(QStringLiteral("openSent")).toBool();
    journal.boomOpened = object.value(QStringLiteral("boomOpened")).toBool();
    journal.vehicleLeft = object.value(QStringLiteral("vehicleLeft")).toBool();
    journal.cardReturn = object.value(QStringLiteral("cardReturn")).toBool();
    return journal;
}

QString Transaction::typeToStr(Type type)
{
    return TransactionTypes.value(type);
}

Transaction::Type Transaction::strToType(const QString &text)
{
    for (auto it = TransactionTypes.cbegin(); it != TransactionTypes.cend(); ++it)
        if (it.value() == text)
            return it.key();
    return Issuance;
}

QJsonObject Transaction::toJson() const
{
    return QJsonObject{
        {QStringLiteral("type"), typeToStr(m_type)},
        {QStringLiteral("timestamp"), Utils::isoText(m_timestamp.toUTC())},
        {QStringLiteral("deviceSerial"), m_deviceSerial},
        {QStringLiteral("cardUid"), m_cardUid},
        {QStringLiteral("transactionUid"), m_uuid},
        {QStringLiteral("zuruvDbRecordId"), m_zuruvDbId},
        {QStringLiteral("errorDetails"),
         m_type == ErrorReport ? QJsonValue(m_errorDetails) : QJsonValue(QJsonValue::Null)},
    };
}

QString Transaction::toString() const
{
    return QStringLiteral("%1 (type=%2, cardUid=%3, created=%4)")
        .arg(m_uuid, typeToStr(m_type), m_cardUid,
             Utils::dateTimeText(m_timestamp.toLocalTime()));
}

QString Transaction::createUid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

Transaction::Ptr Transaction::create(Type type, const QString &deviceSerial, const QString &cardUid,
                                     const QString &errorDetails)
{
    Ptr trans(new Transaction);
    trans->setType(type);
    trans->setDeviceSerial(deviceSerial);
    trans->setCardUid(cardUid);
    trans->setErrorDetails(errorDetails);
    trans->setUuid(createUid());
    trans->setTimestamp(QDateTime::currentDateTime());
    trans->setZuruvDbId(QStringLiteral("0"));
    return trans;
}

} // namespace Backend
