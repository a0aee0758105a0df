#include "Common/Http/HttpServer.h"

#include "Common/Http/HttpRequestAssembler.h"
#include "Common/Log/Log.h"
#include "Common/Secrets.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

ZUKA_LOG_CATEGORY(logCategory, "common.httpserver")
const Log log("[HttpServer] ", logCategory);
const char Answer[] = "HTTP/1.1 200 OK\r\n\r\n";
const char Continue[] = "HTTP/1.1 100 Continue\r\n\r\n";
// Bytes the socket layer may hold for one connection before its owner reads them.
constexpr qint64 SocketBufferSize = 256 * 1024;

// Whether fewer than `spare` descriptors are left to the process: tries to duplicate
// `fd` (a descriptor that is open) that many times.
bool descriptorsExhausted(qintptr fd, int spare)
{
    int fds[16];
    int n = 0;
    for (; n < spare && n < 16; ++n) {
        fds[n] = ::fcntl(int(fd), F_DUPFD_CLOEXEC, 0);
        if (fds[n] < 0)
            break;
    }
    const bool exhausted = n < spare && (errno == EMFILE || errno == ENFILE);
    for (int i = 0; i < n; ++i)
        if (fds[i] >= 0)
            ::close(fds[i]);
    return exhausted;
}

// Cameras on an IPv4 network reach the dual-stack listener as IPv4-mapped IPv6
// addresses; report them as the plain IPv4 address they were configured with.
QHostAddress plainAddress(const QHostAddress &address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4) : address;
}

// The answer to a request that is not handed on: its status and why, so that the client
// knows it was not taken.
QByteArray refusal(int status, const QString &why)
{
    const char *reason = status == 411   ? "Length Required"
                         : status == 413 ? "Content Too Large"
                         : status == 431 ? "Request Header Fields Too Large"
                                         : "Bad Request";
    const QByteArray body = why.toUtf8() + '\n';
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
           + "\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size())
           + "\r\n\r\n" + body;
}

} // namespace

// One accepted connection and the request it is assembling.
class HttpServer::Connection : public QObject
{
public:
    Connection(QTcpSocket *s, QObject *parent)
        : QObject(parent)
        , socket(s)
        , peer(plainAddress(s->peerAddress()))
    {
        socket->setParent(this);
        socket->setReadBufferSize(SocketBufferSize);
        timer.setSingleShot(true);
        since.start();
        lastRead.start();
    }

    QTcpSocket *socket;
    const QHostAddress peer;
    HttpRequestAssembler request;
    QTimer timer;           // fires at the nearest of the connection's deadlines
    QElapsedTimer since;    // since the connection was accepted
    QElapsedTimer lastRead; // since the last byte arrived
    QElapsedTimer refused;  // since the refusal, while what follows it is dropped
    qint64 counted = 0;     // bytes of the request counted in the listener's total
    qint64 discarded = 0;   // bytes dropped since the answer
    bool continued = false; // "100 Continue" sent
    bool done = false;      // answered or refused; later bytes are dropped
};

HttpServer::HttpServer(QObject *parent)
    : HttpServer(Limits(), parent)
{
}

HttpServer::HttpServer(const Limits &limits, QObject *parent)
    : QObject(parent)
    , m_limits(limits)
    , m_server(new QTcpServer(this))
    , m_acceptRetry(new QTimer(this))
    , m_fdGuard(new QTimer(this))
    , m_listenRetry(new QTimer(this))
    , m_warnings(log)
{
    qRegisterMetaType<HttpServer::Request>();
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
    connect(m_server, &QTcpServer::acceptError, this, &HttpServer::onAcceptError);
    m_acceptRetry->setSingleShot(true);
    connect(m_acceptRetry, &QTimer::timeout, this, [this] {
        m_server->resumeAccepting();
        checkDescriptors(false);
    });
    // The server retries a failed accept at once and for ever when the process is out
    // of descriptors; a look every so often pauses it instead.
    connect(m_fdGuard, &QTimer::timeout, this, [this] { checkDescriptors(true); });
    m_listenRetry->setSingleShot(true);
    connect(m_listenRetry, &QTimer::timeout, this, &HttpServer::bind);
    m_cap = m_limits.maxConnections;
}

HttpServer::~HttpServer() = default;

int HttpServer::connectionCount() const
{
    return m_connections.size();
}

void HttpServer::listen(int port)
{
    if (m_server->isListening())
        m_server->close();
    m_acceptRetry->stop();
    m_fdGuard->stop();
    m_listenRetry->stop();
    m_cap = m_limits.maxConnections;
    m_port = port;
    m_listenError.clear();
    log.info("Listening for HTTP requests on : 0.0.0.0:", port);
    bind();
}

bool HttpServer::bind()
{
    if (m_port < 0 || m_port > 65535) {
        log.error("Failed to listen : ", QStringLiteral("Invalid port %1").arg(m_port));
        return false;
    }
    if (!m_server->listen(QHostAddress::Any, quint16(m_port))) {
        // Another program may hold the port for a while: tried again, quietly while the
        // reason stays the same.
        if (m_server->errorString() != m_listenError) {
            m_listenError = m_server->errorString();
            log.error("Failed to listen : ", m_listenError, " (trying again every ", m_limits.listenRetryMs, " msec)");
        }
        m_listenRetry->start(m_limits.listenRetryMs);
        return false;
    }
    if (!m_listenError.isEmpty())
        log.info("Listening for HTTP requests on : 0.0.0.0:", m_port);
    m_listenError.clear();
    m_fdGuard->start(qMax(50, m_limits.acceptRetryMs));
    return true;
}

bool HttpServer::isListening() const
{
    return m_server->isListening();
}

quint16 HttpServer::serverPort() const
{
    return m_server->isListening() ? m_server->serverPort() : 0;
}

void HttpServer::close()
{
    m_listenRetry->stop();
    m_listenError.clear();
    if (!m_server->isListening())
        return;
    log.info("Stopped listening for HTTP requests");
    m_acceptRetry->stop();
    m_fdGuard->stop();
    m_server->close();
}

void HttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto *c = new Connection(socket, this);
        log.info("New connection received from : ", c->peer.toString());
        m_connections.append(c);
        if (m_connections.size() > qMin(m_limits.maxConnections, m_cap))
            evictIdlest(c);

        connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadable(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] { drop(c); });
        connect(&c->timer, &QTimer::timeout, this, [this, c] { onTimer(c); });
        c->timer.start(qMin(m_limits.headerTimeoutMs, qMin(m_limits.idleTimeoutMs, m_limits.requestTimeoutMs)));
        if (socket->bytesAvailable())
            onReadable(c);
        if (m_connections.contains(c) && socket->state() == QAbstractSocket::UnconnectedState)
            drop(c);
    }
    checkDescriptors(false);
}

void HttpServer::onAcceptError()
{
    pauseAccepting(m_server->errorString());
}

void HttpServer::checkDescriptors(bool mayGrowCap)
{
    if (!m_server->isListening() || m_acceptRetry->isActive())
        return;
    if (descriptorsExhausted(m_server->socketDescriptor(), SpareDescriptors))
        pauseAccepting(QStringLiteral("out of descriptors"));
    else if (mayGrowCap && m_cap < m_limits.maxConnections && m_connections.size() >= m_cap)
        ++m_cap; // descriptors to spare again: hold one more
}

// The process is out of descriptors. When this listener's connections hold them,
// it holds fewer from now on (the ones idle longest give way); otherwise it pauses
// accepting for a while, rather than letting the server retry at once in a loop.
void HttpServer::pauseAccepting(const QString &reason)
{
    if (m_acceptRetry->isActive())
        return;
    if (m_connections.size() > 1) {
        m_cap = qMax(1, m_connections.size() - SpareDescriptors);
        m_warnings.warn("Cannot accept connections : ", reason, ". Holding at most ", m_cap, " connections");
        while (m_connections.size() > m_cap)
            evictIdlest(nullptr);
        if (!descriptorsExhausted(m_server->socketDescriptor(), SpareDescriptors))
            return;
    }
    m_warnings.warn("Cannot accept connections : ", reason, ". Pausing for ", m_limits.acceptRetryMs, " ms");
    m_server->pauseAccepting();
    evictIdlest(nullptr);
    m_acceptRetry->start(m_limits.acceptRetryMs);
}

void HttpServer::onReadable(Connection *c)
{
    QTcpSocket *socket = c->socket;
    if (c->done) {
        c->discarded += socket->skip(socket->bytesAvailable());
        if (c->refused.isValid() && c->discarded > MaxDiscardedBytes) {
            m_warnings.warn("Closing connection from : ", c->peer.toString(), " (still sending after its refusal)");
            socket->abort();
            drop(c);
        }
        return;
    }
    for (;;) {
        const qint64 available = socket->bytesAvailable();
        if (available <= 0)
            return;
        qint64 wanted = available;
        if (c->request.headerComplete()) {
            // Body bytes fill room the request holds already; growing it needs room
            // in the total, else the connection waits until another one releases some.
            const qint64 spare = c->request.spare();
            if (spare > 0) {
                wanted = qMin(available, spare);
            } else if (!mayGrow(c)) {
                if (!m_waiting.contains(c)) {
                    m_waiting.append(c);
                    queueResume(); // this one may have been the last to wait
                }
                return;
            }
            m_waiting.removeOne(c);
        }
        qint64 room = 0;
        char *to = c->request.prepare(wanted, &room);
        if (!to)
            return;
        const qint64 n = socket->read(to, room);
        const auto status = c->request.commit(n);
        const qint64 held = c->request.held();
        m_held += held - c->counted;
        c->counted = held;
        if (n > 0)
            c->lastRead.restart();
        if (status != HttpRequestAssembler::Status::Incomplete) {
            finish(c, int(status));
            return;
        }
        if (c->request.expectsContinue() && !c->continued) {
            // The client waits for this before it sends the body.
            c->continued = true;
            socket->write(Continue, sizeof(Continue) - 1);
        }
        if (n <= 0)
            return;
    }
}

void HttpServer::finish(Connection *c, int status)
{
    using Status = HttpRequestAssembler::Status;
    c->done = true;
    m_waiting.removeOne(c);
    QTcpSocket *socket = c->socket;
    const QString peer = c->peer.toString();
    QByteArray answer;
    switch (Status(status)) {
    case Status::Complete: {
        Request request;
        if (!c->request.take(request)) {
            m_warnings.warn("Dropping request with a malformed request line from : ", peer);
            answer = refusal(400, QStringLiteral("Malformed request line"));
            break;
        }
        release(c);
        log.debug("HTTP request received : method=", request.method, ", path=",
                  Log::outside(Secrets::maskUrls(request.path)));
        QPointer<QTcpSocket> alive(socket);
        emit requestReceived(c->peer, request);
        if (!alive)
            return;
        socket->write(Answer);
        // Closes once the answer has been written.
        socket->disconnectFromHost();
        return;
    }
    case Status::NoLength:
    case Status::NoBody:
        m_warnings.warn("Dropping request without body from : ", peer);
        answer = Status(status) == Status::NoLength ? refusal(411, QStringLiteral("Content-Length required"))
                                                    : refusal(400, QStringLiteral("Request without body"));
        break;
    case Status::Malformed:
        m_warnings.warn("Dropping malformed request from : ", peer, " (", c->request.error(), ")");
        answer = refusal(400, c->request.error());
        break;
    case Status::HeaderTooLarge:
        m_warnings.warn("Request header too large from : ", peer, ". Closing connection.");
        answer = refusal(431, QStringLiteral("Request header too large"));
        break;
    case Status::BodyTooLarge:
        m_warnings.warn("Request body too large (",
                        c->request.chunked() ? QStringLiteral("chunked")
                                             : QStringLiteral("Content-Length=%1").arg(c->request.expectedLength()),
                        ") from : ", peer, ". Closing connection.");
        answer = refusal(413, QStringLiteral("Request body over %1 bytes").arg(MaxBodySize));
        break;
    case Status::Incomplete:
        return;
    }
    release(c);
    socket->write(answer);
    discardAfterRefusal(c);
}

// Closing on bytes the client still sends would reset the connection, and with it the answer
// before the client reads it: the answer goes out and this side is shut, then what follows
// is dropped until the client closes, for DiscardTimeoutMs and MaxDiscardedBytes at most.
void HttpServer::discardAfterRefusal(Connection *c)
{
    QTcpSocket *socket = c->socket;
    c->refused.start();
    connect(socket, &QTcpSocket::bytesWritten, c, [socket] {
        if (!socket->bytesToWrite() && socket->state() == QAbstractSocket::ConnectedState)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    });
    onTimer(c);
    onReadable(c);
}

void HttpServer::onTimer(Connection *c)
{
    const qint64 since = c->since.elapsed();
    const qint64 idle = c->lastRead.elapsed();
    const char *reason = nullptr;
    if (!c->done && !c->request.headerComplete() && since >= m_limits.headerTimeoutMs)
        reason = "header";
    else if (idle >= m_limits.idleTimeoutMs && !m_waiting.contains(c)) // waiting is the listener's doing
        reason = "idle";
    else if (!c->done && since >= m_limits.requestTimeoutMs)
        reason = "request";
    else if (c->refused.isValid() && c->refused.elapsed() >= m_limits.discardTimeoutMs)
        reason = "refusal";
    if (reason) {
        m_warnings.warn("Closing connection from : ", c->peer.toString(), " (", reason, " time-out)");
        c->socket->abort();
        drop(c);
        return;
    }
    qint64 next = m_limits.idleTimeoutMs - idle;
    if (c->refused.isValid())
        next = qMin(next, m_limits.discardTimeoutMs - c->refused.elapsed());
    if (!c->done) {
        next = qMin(next, m_limits.requestTimeoutMs - since);
        if (!c->request.headerComplete())
            next = qMin(next, m_limits.headerTimeoutMs - since);
    }
    c->timer.start(int(qMax<qint64>(1, next)));
}

bool HttpServer::mayGrow(Connection *c) const
{
    if (m_held < m_limits.maxBufferedBytes)
        return true;
    // When every request that holds bytes waits for room, the one furthest along goes
    // on, so that they cannot all wait for each other.
    Connection *furthest = nullptr;
    for (Connection *o : m_connections) {
        if (o->counted == 0 || o->done)
            continue;
        if (o != c && !m_waiting.contains(o))
            return false;
        if (!furthest || o->request.bodyReceived() > furthest->request.bodyReceived())
            furthest = o;
    }
    return furthest == c;
}

void HttpServer::release(Connection *c)
{
    c->request.reset();
    m_held -= c->counted;
    c->counted = 0;
    queueResume();
}

void HttpServer::queueResume()
{
    if (!m_waiting.isEmpty() && !m_resumeQueued) {
        m_resumeQueued = true;
        QTimer::singleShot(0, this, &HttpServer::resumeWaiting);
    }
}

void HttpServer::resumeWaiting()
{
    m_resumeQueued = false;
    const QList<Connection *> waiting = m_waiting;
    for (Connection *c : waiting)
        if (m_connections.contains(c) && mayGrow(c))
            onReadable(c);
}

void HttpServer::drop(Connection *c)
{
    if (!m_connections.removeOne(c))
        return;
    m_waiting.removeOne(c);
    c->timer.stop();
    c->socket->disconnect(this);
    release(c);
    c->deleteLater();
}

bool HttpServer::evictIdlest(Connection *except)
{
    Connection *idlest = nullptr;
    for (Connection *c : qAsConst(m_connections))
        if (c != except && (!idlest || c->lastRead.elapsed() > idlest->lastRead.elapsed()))
            idlest = c;
    if (!idlest)
        return false;
    m_warnings.warn("Too many connections: closing the one idle longest, from : ", idlest->peer.toString());
    idlest->socket->abort();
    drop(idlest);
    return true;
}
