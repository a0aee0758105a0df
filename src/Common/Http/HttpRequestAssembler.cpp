#include "Common/Http/HttpRequestAssembler.h"

#include <QRegularExpression>

#include <cstring>

namespace {

// The value of a header, trimmed and lowercased (every line examined, the first one
// found counts); false when there is none.
bool headerValue(const QByteArray &header, const QByteArray &name, QByteArray *value)
{
    for (const QByteArray &raw : header.split('\n')) {
        const QByteArray line = raw.trimmed().toLower();
        if (line.startsWith(name)) {
            *value = line.mid(name.size()).trimmed();
            return true;
        }
    }
    return false;
}

} // namespace

HttpRequestAssembler::HttpRequestAssembler(int maxHeader, qint64 maxBody)
    : m_maxHeader(maxHeader)
    , m_maxBody(maxBody)
{
}

char *HttpRequestAssembler::prepare(qint64 wanted, qint64 *room)
{
    *room = 0;
    if (m_status != Status::Incomplete || wanted <= 0)
        return nullptr;
    if (m_chunks) {
        const qint64 n = qMin(wanted, HeaderChunk);
        m_raw.resize(int(n));
        *room = n;
        return m_raw.data();
    }
    if (!headerComplete()) {
        // A header may exceed the limit by one chunk before it is refused.
        const qint64 n = qMin(wanted, HeaderChunk);
        m_pending = m_header.size();
        m_header.resize(int(m_pending + n));
        *room = n;
        return m_header.data() + m_pending;
    }
    const qint64 size = m_body.size();
    const qint64 n = qMin(wanted, m_expected - size);
    if (size + n > m_body.capacity()) {
        // Grow with what arrives, doubling, never past the announced length.
        const qint64 grown = qMax(size + n, qMax<qint64>(2 * qint64(m_body.capacity()), 64 * 1024));
        m_body.reserve(int(qMin(grown, m_expected)));
    }
    m_pending = size;
    m_body.resize(int(size + n));
    *room = n;
    return m_body.data() + size;
}

HttpRequestAssembler::Status HttpRequestAssembler::commit(qint64 written)
{
    if (m_status != Status::Incomplete)
        return m_status;
    written = qMax<qint64>(0, written);
    if (m_chunks)
        return m_status = decode(m_raw.constData(), qMin<qint64>(written, m_raw.size()));
    if (!headerComplete()) {
        m_header.resize(int(qMin<qint64>(m_header.size(), m_pending + written)));
        // A terminator may straddle the previous delivery.
        return m_status = endOfHeader(qMax<qint64>(0, m_pending - 3));
    }
    m_body.resize(int(qMin<qint64>(m_body.size(), m_pending + written)));
    if (m_body.size() >= m_expected)
        m_status = Status::Complete;
    return m_status;
}

HttpRequestAssembler::Status HttpRequestAssembler::endOfHeader(qint64 from)
{
    const int crlf = m_header.indexOf("\r\n\r\n", int(from));
    const int lf = m_header.indexOf("\n\n", int(from));
    int end = -1;
    int bodyOffset = 0;
    if (crlf >= 0 && (lf < 0 || crlf < lf)) {
        end = crlf;
        bodyOffset = crlf + 4;
    } else if (lf >= 0) {
        end = lf;
        bodyOffset = lf + 2;
    }
    if (end < 0) {
        // The blank line could still complete from the last three bytes held, so a
        // header is refused only once no end within the limit is possible any more
        // (whatever the cuts between deliveries).
        return m_header.size() - 3 > m_maxHeader ? Status::HeaderTooLarge : Status::Incomplete;
    }
    if (end > m_maxHeader)
        return Status::HeaderTooLarge;

    m_headerEnd = end;
    const Status framing = bodyFraming(QByteArray::fromRawData(m_header.constData(), end));
    if (framing != Status::Incomplete)
        return framing;

    // Body bytes that came with the header move to the body; what follows the body is dropped.
    const qint64 extra = m_header.size() - bodyOffset;
    Status status = Status::Incomplete;
    if (m_chunks) {
        if (extra > 0)
            status = decode(m_header.constData() + bodyOffset, extra);
    } else {
        const qint64 taken = qMin(extra, m_expected);
        if (taken > 0) {
            m_body.reserve(int(qMin(m_expected, qMax<qint64>(taken, 64 * 1024))));
            m_body.append(m_header.constData() + bodyOffset, int(taken));
        }
        status = m_body.size() >= m_expected ? Status::Complete : Status::Incomplete;
    }
    m_header.truncate(end);
    m_header.squeeze();
    return status;
}

HttpRequestAssembler::Status HttpRequestAssembler::bodyFraming(const QByteArray &header)
{
    QByteArray expect, length, coding;
    m_expectContinue = headerValue(header, "expect:", &expect) && expect == "100-continue";
    const bool hasLength = headerValue(header, "content-length:", &length);
    if (headerValue(header, "transfer-encoding:", &coding)) {
        if (coding != "chunked")
            m_error = QStringLiteral("Unsupported Transfer-Encoding");
        else if (hasLength)
            m_error = QStringLiteral("Both Transfer-Encoding and Content-Length");
        if (!m_error.isEmpty())
            return Status::Malformed;
        // Trailers are bounded as a header is.
        m_chunks.emplace(m_maxBody, m_maxHeader, MaxTrailers);
        m_expected = -1;
        return Status::Incomplete;
    }
    if (!hasLength)
        return Status::NoLength;
    // A length that is not a number counts as none.
    bool ok = false;
    m_expected = qMax<qint64>(0, length.toLongLong(&ok, 10));
    if (!ok || m_expected < 1)
        return Status::NoBody;
    return m_expected > m_maxBody ? Status::BodyTooLarge : Status::Incomplete;
}

HttpRequestAssembler::Status HttpRequestAssembler::decode(const char *data, qint64 size)
{
    m_chunks->feed(data, size, m_body); // what follows the body is dropped
    switch (m_chunks->state()) {
    case HttpChunkDecoder::State::Complete:
        return m_body.isEmpty() ? Status::NoBody : Status::Complete;
    case HttpChunkDecoder::State::TooLarge:
        return Status::BodyTooLarge;
    case HttpChunkDecoder::State::Failed:
        m_error = m_chunks->error();
        return Status::Malformed;
    default:
        return Status::Incomplete;
    }
}

HttpRequestAssembler::Status HttpRequestAssembler::feed(const char *data, qint64 size, qint64 *used)
{
    qint64 taken = 0;
    while (taken < size && m_status == Status::Incomplete) {
        qint64 room = 0;
        char *to = prepare(size - taken, &room);
        if (!to)
            break;
        std::memcpy(to, data + taken, size_t(room));
        taken += room;
        commit(room);
    }
    if (used)
        *used = taken;
    return m_status;
}

bool HttpRequestAssembler::take(HttpServer::Request &request)
{
    if (m_status != Status::Complete)
        return false;
    static const QRegularExpression requestLine(QStringLiteral("^(\\w+)\\s+([^\\s?]+)"));
    const char *header = m_header.constData();
    const QString text = QString::fromUtf8(header, int(qstrnlen(header, uint(m_headerEnd))));
    const QRegularExpressionMatch match = requestLine.match(text);
    if (!match.hasMatch())
        return false;
    request.method = match.captured(1);
    request.path = match.captured(2);
    request.body = std::move(m_body);
    m_body = QByteArray();
    return true;
}

void HttpRequestAssembler::reset()
{
    m_header = QByteArray();
    m_body = QByteArray();
    m_raw = QByteArray();
    m_chunks.reset();
    m_headerEnd = -1;
    m_expected = 0;
    m_pending = 0;
    m_expectContinue = false;
    m_status = Status::Incomplete;
    m_error.clear();
}
