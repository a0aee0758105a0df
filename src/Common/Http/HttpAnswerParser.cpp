#include "Common/Http/HttpAnswerParser.h"

#include <cstring>

namespace {

// The comma-separated elements of the values of one header, trimmed and lowercased.
QList<QByteArray> elements(const QList<QPair<QByteArray, QByteArray>> &headers, const QByteArray &name)
{
    QList<QByteArray> out;
    for (const auto &h : headers) {
        if (h.first != name)
            continue;
        for (const QByteArray &part : h.second.split(','))
            out.append(part.trimmed().toLower());
    }
    return out;
}

} // namespace

bool HttpAnswerParser::isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

HttpAnswerParser::HttpAnswerParser(qint64 maxBodyBytes)
    : m_maxBody(maxBodyBytes)
{
}

qint64 HttpAnswerParser::feed(const char *data, qint64 size)
{
    qint64 used = 0;
    QByteArray line;
    while (used < size) {
        switch (m_state) {
        case State::Head:
            if (!takeLine(data, size, used, MaxHeaderBytes - m_headBytes, line))
                return used;
            m_headBytes += line.size() + 2;
            if (!headLine(line))
                return used;
            break;
        case State::Body: {
            const qint64 n = m_closeDelimited ? size - used : qMin(m_left, size - used);
            bodyBytes(data + used, n);
            used += n;
            if (m_state == State::TooLarge || m_closeDelimited)
                break;
            m_left -= n;
            if (m_left == 0)
                m_state = State::Complete;
            break;
        }
        case State::Chunked:
            used += m_chunks->feed(data + used, size - used, m_body);
            m_received = m_chunks->received();
            if (m_chunks->isComplete()) {
                m_state = State::Complete;
            } else if (m_chunks->state() == HttpChunkDecoder::State::TooLarge) {
                m_tooLargeBytes = m_chunks->tooLargeBytes();
                m_state = State::TooLarge;
            } else if (m_chunks->isFailed()) {
                fail(m_chunks->error());
            }
            return used;
        case State::Complete:
        case State::Failed:
        case State::TooLarge:
            return used;
        }
    }
    return used;
}

void HttpAnswerParser::closed()
{
    if (m_state == State::Body && m_closeDelimited)
        m_state = State::Complete;
    else if (m_state != State::Complete && !isFailed())
        fail(QStringLiteral("Connection closed"));
}

QByteArray HttpAnswerParser::header(const QByteArray &lowerName) const
{
    for (const auto &h : m_headers) {
        if (h.first == lowerName)
            return h.second;
    }
    return QByteArray();
}

QList<QByteArray> HttpAnswerParser::headerValues(const QByteArray &lowerName) const
{
    QList<QByteArray> values;
    for (const auto &h : m_headers) {
        if (h.first == lowerName)
            values.append(h.second);
    }
    return values;
}

bool HttpAnswerParser::takeLine(const char *data, qint64 size, qint64 &used, int limit, QByteArray &line)
{
    const HttpLineReader::Result result = m_lines.take(data, size, used, limit, line);
    if (result == HttpLineReader::Result::TooLong)
        fail(QStringLiteral("Answer header too large"));
    return result == HttpLineReader::Result::Line;
}

bool HttpAnswerParser::headLine(const QByteArray &line)
{
    if (m_status == 0)
        return statusLine(line);
    if (!line.isEmpty())
        return headerLine(line);
    if (m_status < 200) {
        if (m_status == 101) {
            fail(QStringLiteral("Unexpected protocol switch"));
            return false;
        }
        // An interim answer: the real one follows.
        m_status = 0;
        m_reason.clear();
        m_headers.clear();
        return true;
    }
    return startBody();
}

bool HttpAnswerParser::statusLine(const QByteArray &line)
{
    // HTTP/1.x SP 3DIGIT [SP reason]
    if (line.size() < 12 || !line.startsWith("HTTP/1.") || (line[7] != '0' && line[7] != '1') || line[8] != ' ') {
        fail(QStringLiteral("Invalid status line"));
        return false;
    }
    int status = 0;
    for (int i = 9; i < 12; ++i) {
        if (line[i] < '0' || line[i] > '9') {
            fail(QStringLiteral("Invalid status line"));
            return false;
        }
        status = status * 10 + (line[i] - '0');
    }
    if (status < 100 || status > 599 || (line.size() > 12 && line[12] != ' ')) {
        fail(QStringLiteral("Invalid status line"));
        return false;
    }
    m_version = line[7] == '1' ? 11 : 10;
    m_status = status;
    m_reason = line.mid(13);
    return true;
}

bool HttpAnswerParser::headerLine(const QByteArray &line)
{
    const int colon = line.indexOf(':');
    if (isBlank(line[0]) || colon <= 0) {
        fail(QStringLiteral("Invalid header line"));
        return false;
    }
    for (int i = 0; i < colon; ++i) {
        if (!isTokenChar(line[i])) {
            fail(QStringLiteral("Invalid header line"));
            return false;
        }
    }
    if (m_headers.size() >= MaxHeaders) {
        fail(QStringLiteral("Too many headers"));
        return false;
    }
    m_headers.append({line.left(colon).toLower(), line.mid(colon + 1).trimmed()});
    return true;
}

bool HttpAnswerParser::startBody()
{
    const QList<QByteArray> connection = elements(m_headers, "connection");
    m_keepAlive = connection.contains("close") ? false : (m_version == 11 || connection.contains("keep-alive"));

    const QList<QByteArray> coding = elements(m_headers, "transfer-encoding");
    const QList<QByteArray> lengths = elements(m_headers, "content-length");
    if (!coding.isEmpty() && (coding != QList<QByteArray>{"chunked"} || !lengths.isEmpty())) {
        fail(coding.contains("chunked") ? QStringLiteral("Both Transfer-Encoding and Content-Length")
                                        : QStringLiteral("Unsupported Transfer-Encoding"));
        return false;
    }
    qint64 length = -1;
    for (const QByteArray &value : lengths) {
        qint64 n = 0;
        bool valid = !value.isEmpty() && value.size() <= 18;
        for (int i = 0; valid && i < value.size(); ++i) {
            valid = value[i] >= '0' && value[i] <= '9';
            n = n * 10 + (value[i] - '0');
        }
        if (!valid || (length >= 0 && n != length)) {
            fail(valid ? QStringLiteral("Conflicting Content-Length") : QStringLiteral("Invalid Content-Length"));
            return false;
        }
        length = n;
    }

    if (m_status == 204 || m_status == 304) {
        m_length = 0;
        m_state = State::Complete;
    } else if (!coding.isEmpty()) {
        // The trailers share the bounds of the header.
        m_chunks.emplace(m_maxBody, MaxHeaderBytes - m_headBytes, MaxHeaders - m_headers.size());
        m_state = State::Chunked;
    } else if (length >= 0) {
        m_length = length;
        if (length > m_maxBody) {
            m_tooLargeBytes = length;
            m_state = State::TooLarge;
            return false;
        }
        m_body.reserve(int(length));
        m_left = length;
        m_state = length == 0 ? State::Complete : State::Body;
    } else {
        m_closeDelimited = true;
        m_keepAlive = false;
        m_state = State::Body;
    }
    return true;
}

void HttpAnswerParser::bodyBytes(const char *data, qint64 n)
{
    m_received += n;
    if (m_received > m_maxBody) {
        m_tooLargeBytes = m_received;
        m_state = State::TooLarge;
        return;
    }
    m_body.append(data, int(n));
}

void HttpAnswerParser::fail(const QString &why)
{
    m_state = State::Failed;
    m_error = why;
}
