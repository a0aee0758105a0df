#pragma once
// Decodes a body sent with "Transfer-Encoding: chunked" from the bytes as they arrive, in
// whatever pieces: chunk sizes (extensions skipped), chunk data, the trailers and the blank
// line that ends them. The client reads chunked answers with it, the listener chunked posts.
// What a peer sends is outside input: every line is bounded, the decoded body is kept only
// up to its bound (a chunk that would pass it is refused before its bytes come), and the
// trailers within the bytes and lines they are given.
#include <QByteArray>
#include <QString>

// One line of a header or of a chunked body, taken from the bytes as they come: what a
// piece holds of a line not yet complete is kept for the next.
class HttpLineReader
{
public:
    enum class Result { Line, More, TooLong };

    // Takes the line that ends in the bytes from `used` on (its carriage return and line
    // feed left out) and moves `used` past it. More: all bytes taken, the line goes on in
    // the next piece. TooLong: the line would pass `limit` bytes.
    Result take(const char *data, qint64 size, qint64 &used, int limit, QByteArray &line);

private:
    QByteArray m_partial;
};

class HttpChunkDecoder
{
public:
    static constexpr int MaxChunkLine = 1024;

    enum class State { Size, Data, DataEnd, Trailers, Complete, Failed, TooLarge };

    HttpChunkDecoder(qint64 maxBody, int maxTrailerBytes, int maxTrailers);

    // Appends the decoded bytes to body; returns how many of the given bytes it used. Once
    // complete (or failed) it takes no more: what is left over did not belong to the body.
    qint64 feed(const char *data, qint64 size, QByteArray &body);

    State state() const { return m_state; }
    bool isComplete() const { return m_state == State::Complete; }
    bool isFailed() const { return m_state == State::Failed || m_state == State::TooLarge; }
    // Decoded bytes so far.
    qint64 received() const { return m_received; }
    // The size that would have passed the bound.
    qint64 tooLargeBytes() const { return m_tooLargeBytes; }
    const QString &error() const { return m_error; }

private:
    bool takeLine(const char *data, qint64 size, qint64 &used, int limit, QByteArray &line);
    bool sizeLine(const QByteArray &line);
    void fail(const QString &why);

    const qint64 m_maxBody;
    const int m_maxTrailerBytes;
    const int m_maxTrailers;
    State m_state = State::Size;
    HttpLineReader m_lines;
    qint64 m_left = 0;    // of the current chunk
    qint64 m_received = 0;
    int m_trailerBytes = 0;
    int m_trailers = 0;
    qint64 m_tooLargeBytes = 0;
    QString m_error;
};
