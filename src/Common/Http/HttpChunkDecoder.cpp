#include "Common/Http/HttpChunkDecoder.h"

#include "Common/Http/HttpAnswerParser.h"

#include <cstring>

HttpChunkDecoder::HttpChunkDecoder(qint64 maxBody, int maxTrailerBytes, int maxTrailers)
    : m_maxBody(maxBody)
    , m_maxTrailerBytes(maxTrailerBytes)
    , m_maxTrailers(maxTrailers)
{
}

qint64 HttpChunkDecoder::feed(const char *data, qint64 size, QByteArray &body)
{
    qint64 used = 0;
    QByteArray line;
    while (used < size) {
        switch (m_state) {
        case State::Size:
            if (!takeLine(data, size, used, MaxChunkLine, line) || !sizeLine(line))
                return used;
            break;
        case State::Data: {
            const qint64 n = qMin(m_left, size - used);
            body.append(data + used, int(n));
            m_received += n;
            used += n;
            m_left -= n;
            if (m_left == 0)
                m_state = State::DataEnd;
            break;
        }
        case State::DataEnd:
            if (!takeLine(data, size, used, MaxChunkLine, line))
                return used;
            if (!line.isEmpty()) {
                fail(QStringLiteral("Invalid chunk end"));
                return used;
            }
            m_state = State::Size;
            break;
        case State::Trailers:
            if (!takeLine(data, size, used, m_maxTrailerBytes - m_trailerBytes, line))
                return used;
            m_trailerBytes += line.size() + 2;
            if (line.isEmpty()) {
                m_state = State::Complete;
            } else if (++m_trailers > m_maxTrailers) {
                fail(QStringLiteral("Too many trailers"));
                return used;
            }
            break;
        case State::Complete:
        case State::Failed:
        case State::TooLarge:
            return used;
        }
    }
    return used;
}

HttpLineReader::Result HttpLineReader::take(const char *data, qint64 size, qint64 &used, int limit, QByteArray &line)
{
    const char *start = data + used;
    const auto *end = static_cast<const char *>(std::memchr(start, '\n', size_t(size - used)));
    const qint64 n = end ? end - start : size - used;
    if (m_partial.size() + n > limit)
        return Result::TooLong;
    if (!end) {
        m_partial.append(start, int(n));
        used = size;
        return Result::More;
    }
    line = m_partial;
    line.append(start, int(n));
    m_partial.clear();
    if (line.endsWith('\r'))
        line.chop(1);
    used += n + 1;
    return Result::Line;
}

bool HttpChunkDecoder::takeLine(const char *data, qint64 size, qint64 &used, int limit, QByteArray &line)
{
    const HttpLineReader::Result result = m_lines.take(data, size, used, limit, line);
    if (result == HttpLineReader::Result::TooLong)
        fail(m_state == State::Trailers ? QStringLiteral("Trailers too large") : QStringLiteral("Chunk line too long"));
    return result == HttpLineReader::Result::Line;
}

bool HttpChunkDecoder::sizeLine(const QByteArray &line)
{
    // 1*HEXDIG [ BWS ";" extensions ]
    qint64 size = 0;
    int i = 0;
    for (; i < line.size(); ++i) {
        const char c = line[i];
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            break;
        if (i >= 15) { // past 2^60: no body of ours is near that
            fail(QStringLiteral("Invalid chunk size"));
            return false;
        }
        size = size * 16 + digit;
    }
    int rest = i;
    while (rest < line.size() && HttpAnswerParser::isBlank(line[rest]))
        ++rest;
    if (i == 0 || (rest < line.size() && line[rest] != ';')) {
        fail(QStringLiteral("Invalid chunk size"));
        return false;
    }
    if (size == 0) {
        m_state = State::Trailers;
        return true;
    }
    if (m_received + size > m_maxBody) {
        m_tooLargeBytes = m_received + size;
        m_state = State::TooLarge;
        return false;
    }
    m_left = size;
    m_state = State::Data;
    return true;
}

void HttpChunkDecoder::fail(const QString &why)
{
    m_state = State::Failed;
    m_error = why;
}
