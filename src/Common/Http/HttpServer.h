#pragma once
// Minimal HTTP/1.1 receiver for the cameras' posts: assembles each request from
// the bytes of its own connection (a body of announced length, or chunked), hands it
// to the owner and answers with a bare "HTTP/1.1 200 OK" before closing the connection.
// A client that asks for "100 Continue" gets it once the header is in. A request that
// is not handed on is answered with a 4xx status and the reason, never with 200; what
// the client still sends after it is read and dropped for a while and up to a bound, so
// that a client that sends its whole request before it reads gets that answer, not a reset.
//
// It listens unauthenticated on the lane network, so what a client can hold is
// bounded: each connection has a header, an idle and a whole-request time-out;
// buffers grow with the bytes that arrive; the number of connections and the bytes
// held across all of them are capped (a connection waits for room, and at the cap
// of connections the one idle longest gives way); accepting pauses while the
// process is out of descriptors.
#include "Common/Log/LogLimit.h"

#include <QByteArray>
#include <QHostAddress>
#include <QMetaType>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;
class QTimer;

class HttpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpServer)
public:
    struct Request
    {
        QString method;
        QString path;
        QByteArray body;
    };

    // Limits of one request (the body's as it is decoded); a request over them is refused.
    static constexpr int MaxHeaderSize = 64 * 1024;
    static constexpr qint64 MaxBodySize = 16 * 1024 * 1024;

    static constexpr int HeaderTimeoutMs = 10000;   // connect to end of header
    static constexpr int IdleTimeoutMs = 10000;     // no byte received
    static constexpr int RequestTimeoutMs = 120000; // connect to last body byte
    static constexpr int MaxConnections = 256;
    static constexpr qint64 MaxBufferedBytes = 32 * 1024 * 1024; // across all connections
    static constexpr int AcceptRetryMs = 200; // pause after running out of descriptors
    static constexpr int ListenRetryMs = 5000; // between tries while the port cannot be bound
    // What is read and dropped after a refusal: the largest body and a little over, for a
    // few seconds at most.
    static constexpr qint64 MaxDiscardedBytes = MaxBodySize + 4 * 1024 * 1024;
    static constexpr int DiscardTimeoutMs = 5000;
    // Descriptors kept free for the rest of the process (broker, database, files):
    // accepting pauses when fewer are left.
    static constexpr int SpareDescriptors = 4;

    struct Limits
    {
        int headerTimeoutMs = HeaderTimeoutMs;
        int idleTimeoutMs = IdleTimeoutMs;
        int requestTimeoutMs = RequestTimeoutMs;
        int maxConnections = MaxConnections;
        qint64 maxBufferedBytes = MaxBufferedBytes;
        int acceptRetryMs = AcceptRetryMs;
        int listenRetryMs = ListenRetryMs;
        int discardTimeoutMs = DiscardTimeoutMs;
    };

    explicit HttpServer(QObject *parent = nullptr);
    explicit HttpServer(const Limits &limits, QObject *parent = nullptr);
    ~HttpServer() override;

    // Listens on the port; while it cannot be bound (taken by another program) it is
    // tried again every listenRetryMs, with one error line for each new failure.
    void listen(int port);
    void close();
    bool isListening() const;
    // The port listened on (the one the system chose when listen() was given 0); 0 when
    // not listening.
    quint16 serverPort() const;

    // Connections open now, and bytes their requests hold.
    int connectionCount() const;
    qint64 bufferedBytes() const { return m_held; }

signals:
    void requestReceived(QHostAddress peer, HttpServer::Request request);

private:
    class Connection;

    bool bind();
    void onNewConnection();
    void onAcceptError();
    void checkDescriptors(bool mayGrowCap);
    void pauseAccepting(const QString &reason);
    void onReadable(Connection *c);
    void onTimer(Connection *c);
    void finish(Connection *c, int status);
    void discardAfterRefusal(Connection *c);
    void drop(Connection *c);
    void release(Connection *c);
    bool mayGrow(Connection *c) const;
    void queueResume();
    void resumeWaiting();
    bool evictIdlest(Connection *except);

    Limits m_limits;
    QTcpServer *m_server;
    QList<Connection *> m_connections;
    QList<Connection *> m_waiting; // connections waiting for room in the byte budget
    qint64 m_held = 0;
    int m_cap = MaxConnections; // lowered while the process runs short of descriptors
    QTimer *m_acceptRetry; // resumes accepting after a pause
    QTimer *m_fdGuard;     // looks for exhausted descriptors while listening
    QTimer *m_listenRetry; // binds the port again after a failure
    int m_port = -1;
    QString m_listenError; // the last failure to bind, logged once
    bool m_resumeQueued = false;
    // The warnings that clients can cause at will (time-outs, evictions, refused requests).
    LogLimit m_warnings;
};

Q_DECLARE_METATYPE(HttpServer::Request)
