#include "Common/Http/HttpAuth.h"

#include "Common/Http/HttpAnswerParser.h"

#include <QRandomGenerator>

namespace {

bool hasControl(const QByteArray &text)
{
    for (const char c : text) {
        if (uchar(c) < 0x20 || uchar(c) == 0x7f)
            return true;
    }
    return false;
}

QByteArray quoted(const QByteArray &text)
{
    QByteArray out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

// The value of a parameter at i: a quoted string or a token.
QByteArray paramValue(const QByteArray &s, int &i)
{
    QByteArray value;
    if (i < s.size() && s[i] == '"') {
        for (++i; i < s.size() && s[i] != '"'; ++i) {
            if (s[i] == '\\' && i + 1 < s.size())
                ++i;
            value += s[i];
        }
        ++i; // the closing quote
    } else {
        while (i < s.size() && s[i] != ',' && !HttpAnswerParser::isBlank(s[i]))
            value += s[i++];
    }
    return value;
}

bool answerable(const HttpAuth::Challenge &c)
{
    for (const char *name : {"realm", "nonce", "opaque"}) {
        if (hasControl(c.params.value(name)))
            return false;
    }
    if (c.params.value("nonce").isEmpty())
        return false;
    if (!c.params.contains("qop"))
        return true;
    for (const QByteArray &qop : c.params.value("qop").split(',')) {
        if (qop.trimmed().toLower() == "auth")
            return true;
    }
    return false;
}

} // namespace

QList<HttpAuth::Challenge> HttpAuth::parse(const QList<QByteArray> &headerValues)
{
    // challenge = scheme [ 1*SP ( token68 / #( name "=" ( token / quoted-string ) ) ) ],
    // several of them separated by commas, as are their parameters.
    QList<Challenge> out;
    for (const QByteArray &s : headerValues) {
        int current = -1;
        int i = 0;
        while (i < s.size()) {
            while (i < s.size() && (HttpAnswerParser::isBlank(s[i]) || s[i] == ','))
                ++i;
            const int from = i;
            while (i < s.size() && HttpAnswerParser::isTokenChar(s[i]))
                ++i;
            if (i == from) {
                ++i; // not a token: skipped
                continue;
            }
            const QByteArray name = s.mid(from, i - from).toLower();
            int j = i;
            while (j < s.size() && HttpAnswerParser::isBlank(s[j]))
                ++j;
            if (j < s.size() && s[j] == '=') {
                i = j + 1;
                while (i < s.size() && HttpAnswerParser::isBlank(s[i]))
                    ++i;
                const QByteArray value = paramValue(s, i);
                if (current >= 0)
                    out[current].params.insert(name, value);
            } else {
                out.append(Challenge{name, {}});
                current = out.size() - 1;
            }
        }
    }
    return out;
}

bool HttpAuth::choose(const QList<QByteArray> &headerValues)
{
    int best = 0; // 3 Digest with SHA-256, 2 Digest with MD5, 1 Basic
    for (const Challenge &c : parse(headerValues)) {
        int rank = 0;
        if (c.scheme == "basic") {
            rank = 1;
        } else if (c.scheme == "digest" && answerable(c)) {
            const QByteArray algorithm = c.params.value("algorithm", "MD5").toUpper();
            rank = algorithm == "SHA-256" ? 3 : algorithm == "MD5" ? 2 : 0;
        }
        if (rank > best) {
            best = rank;
            m_challenge = c;
        }
    }
    m_hash = m_challenge.params.value("algorithm").toUpper() == "SHA-256" ? QCryptographicHash::Sha256
                                                                           : QCryptographicHash::Md5;
    m_uses = 0;
    return best > 0;
}

bool HttpAuth::stale() const
{
    return m_challenge.params.value("stale").toLower() == "true";
}

void HttpAuth::setCredentials(const QString &user, const QString &password)
{
    m_user = user;
    m_password = password;
}

QByteArray HttpAuth::authorization(const QByteArray &method, const QByteArray &target)
{
    const QByteArray user = m_user.toUtf8();
    if (m_challenge.scheme == "basic")
        return "Basic " + (user + ':' + m_password.toUtf8()).toBase64();
    if (hasControl(user))
        return QByteArray();
    const auto h = [this](const QByteArray &text) { return QCryptographicHash::hash(text, m_hash).toHex(); };
    const QByteArray realm = m_challenge.params.value("realm");
    const QByteArray nonce = m_challenge.params.value("nonce");
    const QByteArray ha1 = h(user + ':' + realm + ':' + m_password.toUtf8());
    const QByteArray ha2 = h(method + ':' + target);
    QByteArray out = "Digest username=" + quoted(user) + ", realm=" + quoted(realm) + ", nonce=" + quoted(nonce)
                     + ", uri=" + quoted(target)
                     + ", algorithm=" + (m_hash == QCryptographicHash::Sha256 ? "SHA-256" : "MD5");
    if (m_challenge.params.contains("qop")) {
        const QByteArray count = QByteArray::number(++m_uses, 16).rightJustified(8, '0');
        quint32 random[4];
        QRandomGenerator::system()->fillRange(random);
        const QByteArray cnonce = QByteArray(reinterpret_cast<const char *>(random), sizeof random).toHex();
        out += ", qop=auth, nc=" + count + ", cnonce=" + quoted(cnonce)
               + ", response=" + quoted(h(ha1 + ':' + nonce + ':' + count + ':' + cnonce + ":auth:" + ha2));
    } else {
        out += ", response=" + quoted(h(ha1 + ':' + nonce + ':' + ha2));
    }
    if (m_challenge.params.contains("opaque"))
        out += ", opaque=" + quoted(m_challenge.params.value("opaque"));
    return out;
}
