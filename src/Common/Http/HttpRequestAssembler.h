#pragma once
// Assembles one HTTP request from the bytes of one connection, as they arrive:
// the header up to its blank line, then exactly Content-Length body bytes. The
// bytes are written straight into the buffers the request will keep, which grow
// with what has arrived (never with what the header announces), and the body is
// handed over without another copy.
#include "Common/Http/HttpServer.h"

#include <QByteArray>

class HttpRequestAssembler
{
public:
    enum class Status {
        Incomplete,     // wait for more bytes
        Complete,       // header and body are in: take() the request
        NoBody,         // the header carries no usable Content-Length
        HeaderTooLarge, // no end of header within the limit
        BodyTooLarge,   // the announced body is over the limit
    };

    // Most bytes read from a connection in one step while the header is incomplete.
    static constexpr qint64 HeaderChunk = 16 * 1024;

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
    bool headerComplete() const { return m_headerEnd >= 0; }
    qint64 expectedLength() const { return m_expected; }
    qint64 bodyReceived() const { return m_body.size(); }
    // Body bytes that fit in what is held without growing it.
    qint64 spare() const
    {
        return headerComplete() ? qMin<qint64>(m_body.capacity(), m_expected) - m_body.size() : 0;
    }
    // Bytes of memory this request holds.
    qint64 held() const { return qint64(m_header.capacity()) + qint64(m_body.capacity()); }

    // After Complete: fills the request and moves the body into it. False (and the
    // request untouched) when the request line does not read as a method and a path.
    bool take(HttpServer::Request &request);
    // Frees what is held and starts over.
    void reset();

private:
    Status endOfHeader(qint64 searchFrom);

    const int m_maxHeader;
    const qint64 m_maxBody;
    QByteArray m_header;    // bytes up to the end of the header (then the header alone)
    QByteArray m_body;      // the body as it arrives
    qint64 m_headerEnd = -1; // index of the blank line ending the header
    qint64 m_expected = 0;   // Content-Length
    qint64 m_pending = 0;    // size before the bytes of the current prepare()
    Status m_status = Status::Incomplete;
};
