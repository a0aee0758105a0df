#include "Common/Http/HttpTransport.h"

#include <QBasicTimer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QThread>
#include <QTimerEvent>

namespace {

// The request on its way at once: a TLS socket would otherwise only encrypt and write it
// from the event loop, a pass later.
void send(QTcpSocket *socket, const QByteArray &bytes)
{
    socket->write(bytes);
    socket->flush();
}

bool isHttps(const QUrl &url)
{
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

QString socketError(const QAbstractSocket *socket)
{
    return socket->error() == QAbstractSocket::RemoteHostClosedError ? QStringLiteral("Connection closed")
                                                                      : socket->errorString();
}

} // namespace

class HttpTransport::Connection : public QObject
{
public:
    explicit Connection(HttpTransport *transport)
        : QObject(transport)
        , m_transport(transport)
    {
    }

    QString key;
    QTcpSocket *socket = nullptr;
    bool ready = false;   // connected (and encrypted) and not yet broken
    bool dropped = false;
    int served = 0;       // answers taken whole on it
    ExchangePtr exchange; // the request on it now
    QBasicTimer idle;

protected:
    void timerEvent(QTimerEvent *event) override
    {
        if (event->timerId() == idle.timerId())
            m_transport->onIdleExpired(this);
    }

private:
    HttpTransport *m_transport;
};

struct HttpTransport::Exchange
{
    Request request;
    QString key;
    QByteArray bytes; // the request as sent
    Connection *connection = nullptr;
    std::optional<HttpAnswerParser> parser;
    QBasicTimer timer;
    QElapsedTimer sinceProgress;
    bool reused = false;   // sent on a connection that had served before
    bool answered = false; // a byte of the answer came
    bool retried = false;
    bool done = false;
};

HttpTransport::HttpTransport(std::function<bool(const QList<QSslError> &)> sslErrors, QObject *parent)
    : QObject(parent)
    , m_sslErrors(std::move(sslErrors))
{
}

HttpTransport::~HttpTransport()
{
    m_released = true;
    for (const QList<Connection *> &list : qAsConst(m_connections)) {
        for (Connection *connection : list)
            connection->socket->disconnect(connection);
    }
}

void HttpTransport::release()
{
    m_released = true;
    if (m_reporting > 0 || thread() != QThread::currentThread())
        deleteLater();
    else
        delete this;
}

void HttpTransport::start(Request request)
{
    auto exchange = std::make_shared<Exchange>();
    exchange->key = originKey(request);
    exchange->bytes = requestBytes(request);
    exchange->request = std::move(request);
    if (exchange->request.timeout > 0) {
        exchange->timer.start(exchange->request.timeout, this);
        m_timed.insert(exchange->timer.timerId(), exchange);
    }
    dispatch(exchange, false);
}

void HttpTransport::closeIdle()
{
    for (const QList<Connection *> &list : QList<QList<Connection *>>(m_connections.values())) {
        for (Connection *connection : list) {
            if (!connection->exchange)
                drop(connection);
        }
    }
}

QByteArray HttpTransport::target(const QUrl &url)
{
    QByteArray target = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (!target.startsWith('/'))
        target.prepend('/');
    return target;
}

QByteArray HttpTransport::requestBytes(const Request &request)
{
    const QUrl &url = request.url;
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    const int port = url.port();
    if (port != -1 && port != (isHttps(url) ? 443 : 80))
        host += ':' + QByteArray::number(port);

    QByteArray out;
    out.reserve(128 + request.headers.size() + request.body.size());
    out += request.method + ' ' + target(url) + " HTTP/1.1\r\nHost: " + host + "\r\n" + request.headers;
    if (request.withBody)
        out += "Content-Length: " + QByteArray::number(request.body.size()) + "\r\n";
    out += "\r\n";
    out += request.body;
    return out;
}

QString HttpTransport::originKey(const Request &request)
{
    const QUrl &url = request.url;
    const bool tls = isHttps(url);
    QString key = url.scheme().toLower() + QLatin1String("://") + url.host().toLower() + QLatin1Char(':')
                  + QString::number(url.port(tls ? 443 : 80));
    if (tls)
        key += QLatin1Char('#') + QString::number(request.tlsGeneration) + (request.ignoreSslErrors ? "i" : "");
    return key;
}

void HttpTransport::dispatch(const ExchangePtr &exchange, bool fresh)
{
    const QList<Connection *> &list = m_connections[exchange->key];
    if (!fresh) {
        for (Connection *connection : list) {
            if (connection->ready && !connection->exchange) {
                assign(connection, exchange);
                return;
            }
        }
    }
    if (fresh || list.size() < ConnectionsPerOrigin)
        assign(openConnection(exchange->key, exchange), exchange);
    else
        m_waiting[exchange->key].append(exchange);
}

HttpTransport::Connection *HttpTransport::openConnection(const QString &key, const ExchangePtr &exchange)
{
    auto *connection = new Connection(this);
    connection->key = key;
    m_connections[key].append(connection);

    const QUrl &url = exchange->request.url;
    const bool tls = isHttps(url);
    QTcpSocket *socket = tls ? new QSslSocket(connection) : new QTcpSocket(connection);
    connection->socket = socket;
    // What the socket holds unread is bounded too: the parser takes it as it comes.
    socket->setReadBufferSize(ReadBufferBytes);
    const auto ready = [connection] {
        connection->ready = true;
        if (connection->exchange)
            send(connection->socket, connection->exchange->bytes);
    };
    connect(socket, &QAbstractSocket::connected, connection, [socket, tls, ready] {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (!tls)
            ready();
    });
    connect(socket, &QIODevice::readyRead, connection, [this, connection] { onReadable(connection); });
    connect(socket, &QAbstractSocket::errorOccurred, connection,
            [this, connection] { onBroken(connection, socketError(connection->socket)); });
    connect(socket, &QAbstractSocket::disconnected, connection,
            [this, connection] { onBroken(connection, QStringLiteral("Connection closed")); });

    const int port = url.port(tls ? 443 : 80);
    if (tls) {
        auto *ssl = static_cast<QSslSocket *>(socket);
        ssl->setSslConfiguration(exchange->request.tls ? *exchange->request.tls
                                                       : QSslConfiguration::defaultConfiguration());
        connect(ssl, &QSslSocket::encrypted, connection, ready);
        connect(ssl, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), connection,
                [this, ssl](const QList<QSslError> &errors) {
                    if (m_sslErrors && m_sslErrors(errors))
                        ssl->ignoreSslErrors();
                });
        ssl->connectToHostEncrypted(url.host(), quint16(port));
    } else {
        socket->connectToHost(url.host(), quint16(port));
    }
    return connection;
}

void HttpTransport::assign(Connection *connection, const ExchangePtr &exchange)
{
    connection->idle.stop();
    connection->exchange = exchange;
    exchange->connection = connection;
    exchange->reused = connection->served > 0;
    exchange->answered = false;
    exchange->parser.emplace(exchange->request.maxAnswerBytes);
    if (connection->ready)
        send(connection->socket, exchange->bytes);
}

void HttpTransport::onReadable(Connection *connection)
{
    if (connection->dropped)
        return;
    // Read through one buffer kept for the purpose: answers come in small pieces.
    if (m_readBuffer.size() < ReadBufferBytes)
        m_readBuffer.resize(int(ReadBufferBytes));
    QTcpSocket *socket = connection->socket;
    const ExchangePtr exchange = connection->exchange;
    if (!exchange) {
        // Nothing was asked: a server that talks out of turn is not used again.
        if (socket->bytesAvailable() > 0)
            drop(connection);
        return;
    }
    HttpAnswerParser &parser = *exchange->parser;
    bool leftOver = false;
    while (!parser.isComplete() && !parser.isFailed()) {
        const qint64 size = socket->read(m_readBuffer.data(), m_readBuffer.size());
        if (size <= 0)
            break;
        exchange->answered = true;
        leftOver = parser.feed(m_readBuffer.constData(), size) < size;
    }
    if (parser.isFailed()) {
        drop(connection);
        answerFromParser(exchange);
    } else if (parser.isComplete()) {
        connection->exchange.reset();
        exchange->connection = nullptr;
        if (parser.keepAlive() && !leftOver && socket->bytesAvailable() == 0) {
            ++connection->served;
            connection->idle.start(IdleCloseMs, connection);
            takeWaiting(connection->key);
        } else {
            drop(connection);
        }
        answerFromParser(exchange);
    } else if (exchange->answered) {
        reportProgress(*exchange, false);
    }
}

void HttpTransport::onBroken(Connection *connection, const QString &error)
{
    if (connection->dropped)
        return;
    const ExchangePtr exchange = connection->exchange;
    drop(connection);
    if (!exchange)
        return;
    HttpAnswerParser &parser = *exchange->parser;
    parser.closed();
    if (parser.isComplete()) {
        answerFromParser(exchange);
        return;
    }
    if (!exchange->answered && exchange->reused && !exchange->retried) {
        // The server closed the kept connection as the request went out: once more on a new one.
        exchange->retried = true;
        dispatch(exchange, true);
        return;
    }
    Answer answer;
    answer.status = parser.headerDone() ? parser.status() : 0;
    answer.error = error;
    finish(exchange, std::move(answer));
}

void HttpTransport::onIdleExpired(Connection *connection)
{
    if (!connection->exchange)
        drop(connection);
}

void HttpTransport::drop(Connection *connection)
{
    if (connection->dropped)
        return;
    connection->dropped = true;
    connection->ready = false;
    connection->idle.stop();
    connection->socket->disconnect(connection);
    connection->socket->abort();
    if (connection->exchange)
        connection->exchange->connection = nullptr;
    connection->exchange.reset();
    QList<Connection *> &list = m_connections[connection->key];
    list.removeOne(connection);
    const QString key = connection->key;
    if (list.isEmpty())
        m_connections.remove(key);
    connection->deleteLater();
    takeWaiting(key);
}

void HttpTransport::takeWaiting(const QString &key)
{
    auto it = m_waiting.find(key);
    if (it == m_waiting.end())
        return;
    const ExchangePtr next = it->takeFirst();
    if (it->isEmpty())
        m_waiting.erase(it);
    dispatch(next, false);
}

void HttpTransport::answerFromParser(const ExchangePtr &exchange)
{
    HttpAnswerParser &parser = *exchange->parser;
    Answer answer;
    answer.status = parser.headerDone() ? parser.status() : 0;
    if (parser.state() == HttpAnswerParser::State::TooLarge) {
        answer.tooLargeBytes = parser.tooLargeBytes();
    } else if (parser.isFailed()) {
        answer.status = 0;
        answer.error = QStringLiteral("Invalid answer: ") + parser.error();
    } else {
        reportProgress(*exchange, true);
        answer.reason = parser.reason();
        answer.location = parser.header("location");
        if (answer.status == 401)
            answer.challenges = parser.headerValues("www-authenticate");
        answer.body = parser.body();
    }
    finish(exchange, std::move(answer));
}

void HttpTransport::reportProgress(Exchange &exchange, bool last)
{
    if (!exchange.request.progress || m_released)
        return;
    if (!last && exchange.sinceProgress.isValid() && exchange.sinceProgress.elapsed() < ProgressEveryMs)
        return;
    exchange.sinceProgress.start();
    const HttpAnswerParser &parser = *exchange.parser;
    const qint64 total = last && parser.total() < 0 ? parser.received() : parser.total();
    ++m_reporting;
    exchange.request.progress(parser.received(), total);
    --m_reporting;
}

void HttpTransport::timerEvent(QTimerEvent *event)
{
    const ExchangePtr exchange = m_timed.take(event->timerId());
    if (!exchange) {
        QObject::timerEvent(event);
        return;
    }
    exchange->timer.stop();
    if (exchange->connection) {
        drop(exchange->connection);
    } else {
        auto it = m_waiting.find(exchange->key);
        if (it != m_waiting.end()) {
            it->removeOne(exchange);
            if (it->isEmpty())
                m_waiting.erase(it);
        }
    }
    Answer answer;
    answer.status = exchange->parser && exchange->parser->headerDone() ? exchange->parser->status() : 0;
    answer.error = QStringLiteral("Operation canceled");
    answer.timedOut = true;
    finish(exchange, std::move(answer));
}

void HttpTransport::finish(const ExchangePtr &exchange, Answer answer)
{
    if (exchange->done)
        return;
    exchange->done = true;
    if (exchange->timer.isActive()) {
        m_timed.remove(exchange->timer.timerId());
        exchange->timer.stop();
    }
    if (m_released)
        return;
    // The owner may start requests, or let the transport go, from its report.
    ++m_reporting;
    exchange->request.finished(answer);
    --m_reporting;
}
