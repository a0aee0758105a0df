#include "Common/Secrets.h"

#include "Common/Utils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>

namespace Secrets {

const QString Mask = QStringLiteral("****");

namespace {
// The names of secrets, at the end of a key, member or query parameter name, in any case,
// also with an "s".
const QLatin1String SecretNames[] = {QLatin1String("pass"),   QLatin1String("password"), QLatin1String("passwd"),
                                     QLatin1String("pin"),    QLatin1String("secret"),   QLatin1String("token"),
                                     QLatin1String("api-key"), QLatin1String("api_key"), QLatin1String("apikey"),
                                     QLatin1String("credential")};

// The same names as a pattern: "(pass|password|…)s?".
QString secretNamePattern()
{
    QStringList names;
    for (const QLatin1String &name : SecretNames)
        names << QRegularExpression::escape(name);
    return QLatin1Char('(') + names.join(QLatin1Char('|')) + QStringLiteral(")s?");
}
}

// Compared as text rather than matched by a pattern: every configuration key is asked while
// the program starts, and a first pattern costs the pattern compiler's code in memory.
bool isSecretKey(const QString &key)
{
    const QString name = key.mid(key.lastIndexOf(QLatin1Char('/')) + 1);
    const QStringRef single = name.endsWith(QLatin1Char('s'), Qt::CaseInsensitive) ? name.leftRef(name.size() - 1)
                                                                                     : QStringRef(&name);
    for (const QLatin1String &secret : SecretNames) {
        if (name.endsWith(secret, Qt::CaseInsensitive) || single.endsWith(secret, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString maskUrls(const QString &text)
{
    if (!text.contains(QLatin1Char('@')) && !text.contains(QLatin1Char('=')))
        return text;
    // scheme://user:password@  ->  scheme://user:****@
    static const QRegularExpression userinfo(
        QStringLiteral("([A-Za-z][A-Za-z0-9+.-]*://[^/?#@\\s:]*):[^/?#@\\s]*@"));
    // ?password=x / &access_token=x  ->  ?password=**** / &access_token=****
    static const QRegularExpression param(
        QStringLiteral("([?&;][^=&#;\\s]*") + secretNamePattern() + QStringLiteral("=)[^&#\\s]*"),
        QRegularExpression::CaseInsensitiveOption);
    QString out = text;
    out.replace(userinfo, QStringLiteral("\\1:") + Mask + QStringLiteral("@"));
    out.replace(param, QStringLiteral("\\1") + Mask);
    return out;
}

QString maskedText(const QString &key, const QVariant &value)
{
    const QString text = value.toString();
    if (isSecretKey(key))
        return text.isEmpty() ? text : Mask;
    return maskUrls(text);
}

static QVariant maskedValue(const QString &key, const QVariant &value)
{
    if (isSecretKey(key))
        return value.toString().isEmpty() ? value : QVariant(Mask);
    if (value.type() == QVariant::String) {
        const QString text = value.toString();
        const QString masked = maskUrls(text);
        if (masked != text)
            return masked;
    }
    return value;
}

bool anySecret(const QVariantMap &values)
{
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QString text = it.value().toString();
        if (!text.isEmpty() && maskedText(it.key(), it.value()) != text)
            return true;
    }
    return false;
}

QVariantMap masked(const QVariantMap &values)
{
    QVariantMap out;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        out.insert(it.key(), maskedValue(it.key(), it.value()));
    return out;
}

QJsonObject masked(const QJsonObject &groups)
{
    return masked(QJsonValue(groups)).toObject();
}

namespace {

bool isEmptyValue(const QJsonValue &value)
{
    return value.isNull() || value.isUndefined() || (value.isString() && value.toString().isEmpty());
}

// The value itself when nothing in it is masked (most payloads): no copy is made then.
QJsonValue maskedJson(const QJsonValue &value, bool *changed);

QJsonValue maskedMember(const QString &name, const QJsonValue &value, bool *changed)
{
    if (isSecretKey(name)) {
        if (isEmptyValue(value))
            return value;
        *changed = true;
        return QJsonValue(Mask);
    }
    return maskedJson(value, changed);
}

QJsonValue maskedJson(const QJsonValue &value, bool *changed)
{
    if (value.isString()) {
        const QString text = value.toString();
        const QString shown = maskUrls(text);
        if (shown == text)
            return value;
        *changed = true;
        return QJsonValue(shown);
    }
    if (value.isArray()) {
        const QJsonArray in = value.toArray();
        QJsonArray out = in;
        bool any = false;
        for (int i = 0; i < in.size(); ++i) {
            bool one = false;
            const QJsonValue shown = maskedJson(in.at(i), &one);
            if (one)
                out.replace(i, shown);
            any = any || one;
        }
        if (!any)
            return value;
        *changed = true;
        return out;
    }
    if (!value.isObject())
        return value;
    const QJsonObject in = value.toObject();
    // {"name": "mqtt/password", "value": "..."}: a pushed configuration value.
    const QJsonValue name = in.value(QStringLiteral("name"));
    const bool secretEntry = name.isString() && isSecretKey(name.toString());
    QJsonObject out = in;
    bool any = false;
    for (auto it = in.begin(); it != in.end(); ++it) {
        bool one = false;
        QJsonValue shown;
        if (secretEntry && it.key() == QLatin1String("value")) {
            one = !isEmptyValue(it.value());
            shown = QJsonValue(Mask);
        } else {
            shown = maskedMember(it.key(), it.value(), &one);
        }
        if (one)
            out.insert(it.key(), shown);
        any = any || one;
    }
    if (!any)
        return value;
    *changed = true;
    return out;
}

} // namespace

QJsonValue masked(const QJsonValue &value, bool *changed)
{
    bool any = false;
    const QJsonValue shown = maskedJson(value, &any);
    if (changed)
        *changed = any;
    return shown;
}

QString maskedPayload(const QByteArray &payload)
{
    QJsonParseError error;
    const QJsonDocument doc = Utils::parseJson(payload, &error);
    if (error.error == QJsonParseError::NoError && (doc.isObject() || doc.isArray())) {
        const QJsonValue shown = masked(doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(doc.array()));
        return QString::fromUtf8(shown.isObject() ? QJsonDocument(shown.toObject()).toJson(QJsonDocument::Compact)
                                                  : QJsonDocument(shown.toArray()).toJson(QJsonDocument::Compact));
    }
    // Not JSON (or broken JSON): a quoted secret member keeps its name, loses its value.
    static const QRegularExpression member(
        QStringLiteral("(\"[^\"]*") + secretNamePattern() + QStringLiteral("\"\\s*:\\s*)(\"(?:[^\"\\\\]|\\\\.)*\"?|[^,}\\]\\s]+)"),
        QRegularExpression::CaseInsensitiveOption);
    QString text = QString::fromUtf8(payload);
    text.replace(member, QStringLiteral("\\1\"") + Mask + QStringLiteral("\""));
    return maskUrls(text);
}

}
