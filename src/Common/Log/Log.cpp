#include "Common/Log/Log.h"

#include <QLoggingCategory>

namespace {

bool isControl(ushort c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

void appendEscaped(QString &out, const QChar *from, int n)
{
    out.reserve(out.size() + n + 16);
    for (int i = 0; i < n; ++i) {
        const ushort c = from[i].unicode();
        if (!isControl(c)) {
            out += from[i];
            continue;
        }
        switch (c) {
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default:
            out += c < 0x100 ? QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'))
                             : QStringLiteral("\\u%1").arg(c, 4, 16, QLatin1Char('0'));
        }
    }
}

QString sizeSaid(qint64 bytes)
{
    return QStringLiteral("\u2026 (%1 bytes)").arg(bytes);
}

} // namespace

QString Log::outside(const QByteArray &bytes, int limit)
{
    const bool cut = bytes.size() > limit;
    QString text = QString::fromUtf8(bytes.constData(), cut ? limit : bytes.size());
    // A character cut in two decodes as replacement characters: leave them out.
    if (cut)
        while (text.endsWith(QChar(QChar::ReplacementCharacter)))
            text.chop(1);
    QString out;
    appendEscaped(out, text.constData(), text.size());
    if (cut)
        out += sizeSaid(bytes.size());
    return out;
}

QString Log::outside(const QString &text, int limit)
{
    // The limit counts UTF-8 bytes here too.
    qint64 bytes = 0;
    int shown = text.size();
    for (int i = 0; i < text.size(); ++i) {
        const ushort c = text.at(i).unicode();
        const int n = c < 0x80 ? 1 : c < 0x800 ? 2 : QChar::isSurrogate(c) ? 2 : 3;
        if (bytes + n > limit && shown == text.size())
            shown = i;
        bytes += n;
    }
    if (shown < text.size() && shown > 0 && text.at(shown - 1).isHighSurrogate())
        --shown;
    QString out;
    appendEscaped(out, text.constData(), shown);
    if (shown < text.size())
        out += sizeSaid(bytes);
    return out;
}

