#pragma once
// Writes a JSON document straight to text, in the same indented form as
// QJsonDocument::toJson(QJsonDocument::Indented), without building a QJsonObject first
// (which costs several times the writing for a small document published often).
//
// The writer does not sort: an object's members must be given in the order a QJsonObject
// keeps them, by key.
#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <QVector>

class IndentedJson
{
public:
    IndentedJson() { m_out.reserve(1024); }

    // A member of the open object (a key given) or an element of the open array (none).
    IndentedJson &beginObject(const char *key = nullptr);
    IndentedJson &beginArray(const char *key = nullptr);
    IndentedJson &end();

    IndentedJson &text(const char *key, const QString &value);
    IndentedJson &number(const char *key, qint64 value);
    IndentedJson &boolean(const char *key, bool value);
    IndentedJson &null(const char *key);
    // A text, or null for a null value (the forms Utils::strToJson and dateToJson give).
    IndentedJson &value(const char *key, const QJsonValue &value);

    // The document, with the closing line break of the top-level object.
    QByteArray take();

private:
    void member(const char *key);
    void open(const char *key, char bracket);

    QByteArray m_out;
    QVector<bool> m_empty; // per open level: nothing written in it yet
    QVector<char> m_close;
};
