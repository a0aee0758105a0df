#include "Common/HttpServer.h"

#include <QDebug>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace {

const char Answer[] = "HTTP/1.1 200 OK\r\n\r\n";

// Cameras on an IPv4 network reach the dual-stack listener as IPv4-mapped IPv6
// addresses; report them as the plain IPv4 address they were configured with.
QHostAddress plainAddress(const QHostAddress &address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4) : address;
}

// The Content-Length of a header (every line examined, the first one found
// counts); 0 when absent or not a number.
qint64 contentLength(const QByteArray &header)
{
    static const QByteArray name("content-length:");
    for (const QByteArray &raw : header.split('\n')) {
        const QByteArray line = raw.trimmed().toLower();
        if (!line.startsWith(name))
            continue;
        bool ok = false;
        const qint64 length = line.mid(name.size()).trimmed().toLongLong(&ok, 10);
        return ok ? length : 0;
    }
    return 0;
}

} // namespace

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    qRegisterMetaType<HttpServer::Request>();
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
}

HttpServer::~HttpServer() = default;

void HttpServer::listen(int port)
{
    if (m_server->isListening())
        m_server->close();
    log.info("Listening for HTTP requests on : 0.0.0.0:", port);
    if (port < 0 || port > 65535 || !m_server->listen(QHostAddress::Any, quint16(port))) {
        const QString error = (port < 0 || port > 65535) ? QStringLiteral("Invalid port %1").arg(port)
                                                         : m_server->errorString();
        log.error("Failed to listen : ", error);
    }
}

void HttpServer::close()
{
    if (!m_server->isListening())
        return;
    log.info("Stopped listening for HTTP requests");
    m_server->close();
}

void HttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        const QHostAddress peer = plainAddress(socket->peerAddress());
        log.info("New connection received from : ", peer.toString());

        // Each connection assembles its own request; the state goes with the connection.
        auto state = std::make_shared<ReceiveState>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, peer, state] {
            const QByteArray data = socket->readAll();
            if (state->finished)
                return;
            const Outcome outcome = handleRequest(*state, peer, data);
            if (outcome == Outcome::Incomplete)
                return;
            state->finished = true;
            state->buffer = QByteArray();
            if (outcome == Outcome::TooLarge)
                socket->abort();
            else
                answer(socket);
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->state() == QAbstractSocket::UnconnectedState && !socket->bytesAvailable())
            socket->deleteLater();
    }
}

void HttpServer::answer(QTcpSocket *socket)
{
    socket->write(Answer, sizeof(Answer) - 1);
    // Closes once the answer has been written.
    socket->disconnectFromHost();
}

HttpServer::Outcome HttpServer::handleRequest(ReceiveState &state, const QHostAddress &peer,
                                              const QByteArray &data)
{
    state.buffer.append(data);

    if (state.headerEnd < 0) {
        // Search only the bytes not searched yet (with room for a terminator split
        // between two deliveries), so a large request costs time linear in its size.
        const int from = qMax(0, state.scanned - 3);
        const int crlf = state.buffer.indexOf("\r\n\r\n", from);
        const int lf = state.buffer.indexOf("\n\n", from);
        state.scanned = state.buffer.size();
        int end = -1;
        if (crlf >= 0 && (lf < 0 || crlf < lf)) {
            end = crlf;
            state.bodyOffset = crlf + 4;
        } else if (lf >= 0) {
            end = lf;
            state.bodyOffset = lf + 2;
        }
        if (end < 0) {
            if (state.buffer.size() > MaxHeaderSize) {
                log.warn("Request header too large from : ", peer.toString(), ". Closing connection.");
                return Outcome::TooLarge;
            }
            return Outcome::Incomplete;
        }
        if (end > MaxHeaderSize) {
            log.warn("Request header too large from : ", peer.toString(), ". Closing connection.");
            return Outcome::TooLarge;
        }
        state.headerEnd = end;
        state.expected = contentLength(state.buffer.left(end));
        if (state.expected < 1) {
            log.warn("Dropping request without body from : ", peer.toString());
            return Outcome::NoBody;
        }
        if (state.expected > MaxBodySize) {
            log.warn("Request body too large (Content-Length=", state.expected, ") from : ", peer.toString(), ". Closing connection.");
            return Outcome::TooLarge;
        }
        state.buffer.reserve(int(state.bodyOffset + state.expected));
    }

    if (state.buffer.size() < state.bodyOffset + state.expected)
        return Outcome::Incomplete;

    static const QRegularExpression requestLine(QStringLiteral("^(\\w+)\\s+([^\\s?]+)"));
    const char *header = state.buffer.constData();
    const QString text = QString::fromUtf8(header, int(qstrnlen(header, uint(state.headerEnd))));
    const QRegularExpressionMatch match = requestLine.match(text);
    if (match.hasMatch()) {
        Request request;
        request.method = match.captured(1);
        request.path = match.captured(2);
        request.body = state.buffer.mid(state.bodyOffset, int(state.expected));
        log.debug("HTTP request received : method=", request.method, ", path=", request.path);
        emit requestReceived(peer, request);
    }
    state.buffer = QByteArray();
    state.expected = 0;
    state.bodyOffset = 0;
    state.headerEnd = -1;
    state.scanned = 0;
    return Outcome::Consumed;
}
