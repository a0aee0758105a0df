#pragma once
// A contactless tag as the RFID reader service reports it: its identifier and
// its technology. Tags travel through the card handling as shared pointers.
#include <QJsonObject>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>

class Tag
{
public:
    using Ptr = QSharedPointer<Tag>;

    // Technology bits as the reader service sends them. The enumeration has a
    // fixed integer base: the service may send any number, and it is held as is.
    enum Type : int {
        Unknown = 0,
        ISO14443_4A = 1,
        ISO14443_4B = 2,
        MifareClassic1K = 4,
        MifareClassic4K = 8,
        MifarePlus2K = 16,
        MifarePlus4K = 32,
        MifareUltralight = 64,
        MifareMini = 128,
        MifareDesfire = 256,
        EMV = 512,
        Other = 32768,
    };

    Tag();
    Tag(const QString &uid, Type type);
    virtual ~Tag();

    const QString &uid() const { return m_uid; }
    Type type() const { return m_type; }
    void setUid(const QString &uid) { m_uid = uid; }
    void setType(Type type) { m_type = type; }

    // {"uid": text, "type": number}
    virtual QJsonObject toJson() const;

    // A plain tag from {"uid", "type"}; missing or mistyped values give "" and 0.
    static Ptr fromJson(const QJsonObject &json);
    static QString typeToStr(Type type);

private:
    QString m_uid;
    Type m_type = Unknown;
};

Q_DECLARE_METATYPE(Tag::Ptr)
