#include "Common/Secrets.h"

#include <QJsonValue>
#include <QRegularExpression>

namespace Secrets {

const QString Mask = QStringLiteral("****");

bool isSecretKey(const QString &key)
{
    static const QRegularExpression secret(
        QStringLiteral("(pass(word|wd)?|pin|secret|token|api_?key|credential)s?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QString name = key.mid(key.lastIndexOf(QLatin1Char('/')) + 1);
    return secret.match(name).hasMatch();
}

QString maskUrls(const QString &text)
{
    if (!text.contains(QLatin1Char('@')) && !text.contains(QLatin1Char('=')))
        return text;
    // scheme://user:password@  ->  scheme://user:****@
    static const QRegularExpression userinfo(
        QStringLiteral("([A-Za-z][A-Za-z0-9+.-]*://[^/?#@\\s:]*):[^/?#@\\s]*@"));
    // ?password=x / &token=x  ->  ?password=**** / &token=****
    static const QRegularExpression param(
        QStringLiteral("([?&;](pass(word|wd)?|pin|secret|token|api_?key|access_token)=)[^&#\\s]*"),
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

QVariantMap masked(const QVariantMap &values)
{
    QVariantMap out;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        out.insert(it.key(), maskedValue(it.key(), it.value()));
    return out;
}

QJsonObject masked(const QJsonObject &groups)
{
    QJsonObject out;
    for (auto g = groups.begin(); g != groups.end(); ++g) {
        if (!g.value().isObject()) {
            out.insert(g.key(), QJsonValue::fromVariant(maskedValue(g.key(), g.value().toVariant())));
            continue;
        }
        QJsonObject inner;
        const QJsonObject in = g.value().toObject();
        for (auto n = in.begin(); n != in.end(); ++n) {
            const QString key = g.key() + QLatin1Char('/') + n.key();
            inner.insert(n.key(), QJsonValue::fromVariant(maskedValue(key, n.value().toVariant())));
        }
        out.insert(g.key(), inner);
    }
    return out;
}

}
