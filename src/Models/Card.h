#pragma once
// A tag that carries data laid out by a named data template. Each template is a
// subclass that turns its content into the JSON object written to the card.
#include "Models/Tag.h"

class Card : public Tag
{
public:
    using Ptr = QSharedPointer<Card>;

    Card();
    Card(const QString &uid, Type type);
    ~Card() override;

    const QString &name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }

    // The tag's object plus "template" (always present) and "data" (null when empty).
    QJsonObject toJson() const override;
    virtual QJsonObject data() const = 0;
    virtual void setData(const QJsonObject &data) = 0;

    // Checked conversion of a tag pointer: null unless the tag really is a card.
    // Plain tags (found or removed tags) circulate under Tag::Ptr as well, so
    // every Tag::Ptr -> Card::Ptr conversion goes through here.
    static Ptr cast(const Tag::Ptr &tag);

private:
    QString m_name;
};

Q_DECLARE_METATYPE(Card::Ptr)
