#include "Common/IndentedJson.h"

namespace {
char hexDigit(uint v)
{
    return char(v < 10 ? '0' + v : 'a' + v - 10);
}

// As the JSON library escapes: the quote, the backslash and control characters; other
// characters as UTF-8, except a surrogate without its pair, which is written as \uXXXX.
void appendEscaped(QByteArray &out, const QString &text)
{
    const ushort *p = reinterpret_cast<const ushort *>(text.constData());
    const ushort *const end = p + text.size();
    while (p != end) {
        const uint u = *p++;
        if (u < 0x80) {
            if (u >= 0x20 && u != '"' && u != '\\') {
                out += char(u);
                continue;
            }
            out += '\\';
            switch (u) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '\b': out += 'b'; break;
            case '\f': out += 'f'; break;
            case '\n': out += 'n'; break;
            case '\r': out += 'r'; break;
            case '\t': out += 't'; break;
            default:
                out += "u00";
                out += hexDigit(u >> 4);
                out += hexDigit(u & 0xf);
            }
        } else if (u < 0x800) {
            out += char(0xc0 | (u >> 6));
            out += char(0x80 | (u & 0x3f));
        } else if (!QChar::isSurrogate(u)) {
            out += char(0xe0 | (u >> 12));
            out += char(0x80 | ((u >> 6) & 0x3f));
            out += char(0x80 | (u & 0x3f));
        } else if (QChar::isHighSurrogate(u) && p != end && QChar::isLowSurrogate(*p)) {
            const uint c = QChar::surrogateToUcs4(ushort(u), *p++);
            out += char(0xf0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3f));
            out += char(0x80 | ((c >> 6) & 0x3f));
            out += char(0x80 | (c & 0x3f));
        } else {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hexDigit((u >> shift) & 0xf);
        }
    }
}
}

void IndentedJson::member(const char *key)
{
    if (m_empty.isEmpty())
        return; // the top-level value
    if (!m_empty.last())
        m_out += ",\n";
    m_empty.last() = false;
    m_out.append(4 * m_empty.size(), ' ');
    if (key) // the writer's own keys, which need no escaping
        ((m_out += '"') += key) += "\": ";
}

void IndentedJson::open(const char *key, char bracket)
{
    member(key);
    m_out += bracket;
    m_out += '\n';
    m_empty.append(true);
    m_close.append(bracket == '{' ? '}' : ']');
}

IndentedJson &IndentedJson::beginObject(const char *key)
{
    open(key, '{');
    return *this;
}

IndentedJson &IndentedJson::beginArray(const char *key)
{
    open(key, '[');
    return *this;
}

IndentedJson &IndentedJson::end()
{
    if (m_empty.isEmpty())
        return *this;
    if (!m_empty.last())
        m_out += '\n';
    m_empty.removeLast();
    m_out.append(4 * m_empty.size(), ' ');
    m_out += m_close.takeLast();
    if (m_empty.isEmpty())
        m_out += '\n';
    return *this;
}

IndentedJson &IndentedJson::text(const char *key, const QString &value)
{
    member(key);
    m_out += '"';
    appendEscaped(m_out, value);
    m_out += '"';
    return *this;
}

IndentedJson &IndentedJson::number(const char *key, qint64 value)
{
    member(key);
    m_out += QByteArray::number(value);
    return *this;
}

IndentedJson &IndentedJson::boolean(const char *key, bool value)
{
    member(key);
    m_out += value ? "true" : "false";
    return *this;
}

IndentedJson &IndentedJson::null(const char *key)
{
    member(key);
    m_out += "null";
    return *this;
}

IndentedJson &IndentedJson::value(const char *key, const QJsonValue &value)
{
    return value.isString() ? text(key, value.toString()) : null(key);
}

QByteArray IndentedJson::take()
{
    while (!m_empty.isEmpty())
        end();
    return std::move(m_out);
}
