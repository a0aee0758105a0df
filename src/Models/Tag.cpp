#include "Tag.h"

#include <QHash>
#include <QJsonValue>

namespace {
void registerTagTypes()
{
    qRegisterMetaType<Tag::Ptr>("Tag::Ptr");
}
Q_CONSTRUCTOR_FUNCTION(registerTagTypes)
}

Tag::Tag() = default;

Tag::Tag(const QString &uid, Type type)
    : m_uid(uid)
    , m_type(type)
{
}

Tag::~Tag() = default;

QJsonObject Tag::toJson() const
{
    QJsonObject json;
    json.insert(QStringLiteral("uid"), m_uid);
    json.insert(QStringLiteral("type"), static_cast<int>(m_type));
    return json;
}

Tag::Ptr Tag::fromJson(const QJsonObject &json)
{
    return Ptr::create(json.value(QStringLiteral("uid")).toString(),
                       static_cast<Type>(json.value(QStringLiteral("type")).toInt(0)));
}

QString Tag::typeToStr(Type type)
{
    static const QHash<int, QString> names{
        {Unknown, QStringLiteral("Unknown")},
        {ISO14443_4A, QStringLiteral("ISO14443-4A")},
        {ISO14443_4B, QStringLiteral("ISO14443-4B")},
        {MifareClassic1K, QStringLiteral("MIFARE Classic 1K")},
        {MifareClassic4K, QStringLiteral("MIFARE Classic 4K")},
        {MifarePlus2K, QStringLiteral("MIFARE Plus 2K")},
        {MifarePlus4K, QStringLiteral("MIFARE Plus 4K")},
        {MifareUltralight, QStringLiteral("MIFARE Ultralight")},
        {MifareMini, QStringLiteral("MIFARE Mini")},
        {MifareDesfire, QStringLiteral("MIFARE DESFire")},
        {EMV, QStringLiteral("EMV")},
        {Other, QStringLiteral("Other")},
    };
    return names.value(static_cast<int>(type), names.value(Unknown));
}
