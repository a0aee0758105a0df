#include "Card.h"

#include <QJsonValue>

namespace {
void registerCardTypes()
{
    qRegisterMetaType<Card::Ptr>("Card::Ptr");
}
Q_CONSTRUCTOR_FUNCTION(registerCardTypes)
}

Card::Card() = default;

Card::Card(const QString &uid, Type type)
    : Tag(uid, type)
{
}

Card::~Card() = default;

QJsonObject Card::toJson() const
{
    QJsonObject json = Tag::toJson();
    json.insert(QStringLiteral("template"), m_name);
    const QJsonObject content = data();
    json.insert(QStringLiteral("data"), content.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(content));
    return json;
}

Card::Ptr Card::cast(const Tag::Ptr &tag)
{
    return tag.dynamicCast<Card>();
}
