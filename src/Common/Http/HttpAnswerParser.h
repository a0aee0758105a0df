#pragma once
// Reads one HTTP/1.1 answer from the bytes a connection delivers, in whatever pieces
// they come. What a server sends is outside input: the status line and the header block
// are bounded, a body is kept only up to its bound, and anything malformed (a bad or
// conflicting Content-Length, an unknown transfer coding, a bad chunk size) fails the
// answer. Informational (1xx) answers before the real one are skipped. A chunked body is
// read by HttpChunkDecoder.
//
// The parser knows nothing of sockets: feed() takes what arrived, closed() tells it the
// connection ended (which completes a body delimited by the close).
#include "Common/Http/HttpChunkDecoder.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

class HttpAnswerParser
{
public:
    static constexpr int MaxHeaderBytes = 64 * 1024; // status line, headers and trailers
    static constexpr int MaxHeaders = 100;

    enum class State { Head, Body, Chunked, Complete, Failed, TooLarge };

    explicit HttpAnswerParser(qint64 maxBodyBytes);

    // What a header's name (and other tokens) may hold, and the blanks around values.
    static bool isTokenChar(char c);
    static bool isBlank(char c) { return c == ' ' || c == '\t'; }

    // Takes the bytes it can; returns how many it used. Once complete (or failed) it
    // takes no more: what is left over did not belong to this answer.
    qint64 feed(const char *data, qint64 size);
    // The connection ended: completes a close-delimited body, fails anything unfinished.
    void closed();

    State state() const { return m_state; }
    bool isComplete() const { return m_state == State::Complete; }
    bool isFailed() const { return m_state == State::Failed || m_state == State::TooLarge; }
    bool headerDone() const { return m_status > 0 && m_state != State::Head; }
    // Whether the connection may carry another request once this answer is complete.
    bool keepAlive() const { return m_keepAlive; }

    int status() const { return m_status; }
    const QByteArray &reason() const { return m_reason; }
    QByteArray header(const QByteArray &lowerName) const;
    // Every value of a header that may come more than once.
    QList<QByteArray> headerValues(const QByteArray &lowerName) const;
    const QByteArray &body() const { return m_body; }
    qint64 received() const { return m_received; }
    // The announced body length, -1 when not known in advance.
    qint64 total() const { return m_length; }
    // The size that broke the bound (announced or arrived so far).
    qint64 tooLargeBytes() const { return m_tooLargeBytes; }
    const QString &error() const { return m_error; }

private:
    bool takeLine(const char *data, qint64 size, qint64 &used, int limit, QByteArray &line);
    bool headLine(const QByteArray &line);
    bool startBody();
    bool statusLine(const QByteArray &line);
    bool headerLine(const QByteArray &line);
    void bodyBytes(const char *data, qint64 n);
    void fail(const QString &why);

    const qint64 m_maxBody;
    State m_state = State::Head;
    HttpLineReader m_lines;
    int m_headBytes = 0;
    int m_version = 11;
    int m_status = 0;
    QByteArray m_reason;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    bool m_keepAlive = true;
    qint64 m_length = -1;
    qint64 m_left = 0; // of the body or the current chunk
    bool m_closeDelimited = false;
    std::optional<HttpChunkDecoder> m_chunks; // of a chunked body
    QByteArray m_body;
    qint64 m_received = 0;
    qint64 m_tooLargeBytes = 0;
    QString m_error;
};
