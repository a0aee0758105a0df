#pragma once
// Assembles one HTTP request from the bytes of one connection, as they arrive:
// the header up to its blank line, then exactly Content-Length body bytes, or a
// chunked body decoded as it comes (HttpChunkDecoder) up to the same bound. The
// bytes of a body of announced length are written straight into the buffer the
// request will keep, which grows with what has arrived (never with what the header
// announces), and the body is handed over without another copy.
#include "Common/Http/HttpChunkDecoder.h"
#include "Common/Http/HttpServer.h"

#include <QByteArray>
#include <QString>

#include <optional>

class HttpRequestAssembler
{
public:
    enum class Status {
        Incomplete,     // wait for more bytes
        Complete,       // header and body are in: take() the request
        NoLength,       // neither a Content-Length nor a chunked body
        NoBody,         // a Content-Length that is not a positive number, or an empty chunked body
        Malformed,      // a body the listener cannot read: see error()
        HeaderTooLarge, // no end of header within the limit
        BodyTooLarge,   // the announced (or decoded) body is over the limit
    };

    // Most bytes read from a connection in one step while the header is incomplete,
    // and of a chunked body.
    static constexpr qint64 HeaderChunk = 16 * 1024;
    static constexpr int MaxTrailers = 100;

    explicit HttpRequestAssembler(int maxHeader = HttpServer::MaxHeaderSize,
                                  qint64 maxBody = HttpServer::MaxBodySize);

    // Room for at most `wanted` further bytes of this request: the caller writes up
    // to *room bytes at the returned place, then calls commit() with how many it wrote.
    // *room is 0 once the request is complete or refused.
    char *prepare(qint64 wanted, qint64 *room);
    Status commit(qint64 written);
    // prepare/copy/commit for bytes already in memory; consumes what the request
    // takes and returns through *used how many bytes that was.
    Status feed(const char *data, qint64 size, qint64 *used = nullptr);

    Status status() const { return m_status; }
    // Why a Malformed request cannot be read.
    const QString &error() const { return m_error; }
    bool headerComplete() const { return m_headerEnd >= 0; }
    bool chunked() const { return m_chunks.has_value(); }
    // The client waits for "100 Continue" before it sends the body.
    bool expectsContinue() const { return m_expectContinue; }
    // Content-Length; -1 for a chunked body.
    qint64 expectedLength() const { return m_expected; }
    qint64 bodyReceived() const { return m_body.size(); }
    // Body bytes that fit in what is held without growing it (none for a chunked body,
    // whose length is not known).
    qint64 spare() const
    {
        return headerComplete() && !chunked() ? qMin<qint64>(m_body.capacity(), m_expected) - m_body.size() : 0;
    }
    // Bytes of memory this request holds.
    qint64 held() const { return qint64(m_header.capacity()) + qint64(m_body.capacity()) + qint64(m_raw.capacity()); }

    // After Complete: fills the request and moves the body into it. False (and the
    // request untouched) when the request line does not read as a method and a path.
    bool take(HttpServer::Request &request);
    // Frees what is held and starts over.
    void reset();

private:
    Status endOfHeader(qint64 searchFrom);
    Status bodyFraming(const QByteArray &header);
    // Decodes chunked bytes into the body.
    Status decode(const char *data, qint64 size);

    const int m_maxHeader;
    const qint64 m_maxBody;
    QByteArray m_header;    // bytes up to the end of the header (then the header alone)
    QByteArray m_body;      // the body as it arrives
    QByteArray m_raw;       // chunked bytes on their way to the decoder
    std::optional<HttpChunkDecoder> m_chunks;
    qint64 m_headerEnd = -1; // index of the blank line ending the header
    qint64 m_expected = 0;   // Content-Length
    qint64 m_pending = 0;    // size before the bytes of the current prepare()
    bool m_expectContinue = false;
    Status m_status = Status::Incomplete;
    QString m_error;
};
