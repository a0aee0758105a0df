#pragma once
// HTTP/1.1 requests run on the event loop of the thread that owns the transport, over
// its own TCP or TLS connections: kept alive per origin (scheme, host, port and TLS
// set-up), one request at a time on each, at most a few per origin (further requests
// wait for one to be free). Nagle's algorithm is off, and a request's header and body
// go out in one write.
//
// A request that failed on a reused connection before any byte of its answer came (the
// server had closed the idle connection) is sent once more on a new connection; no
// other request is ever sent twice.
#include "Common/Http/HttpAnswerParser.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QTcpSocket;
class QTimerEvent;

class HttpTransport : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpTransport)
public:
    static constexpr int ConnectionsPerOrigin = 4;
    static constexpr int IdleCloseMs = 60000; // an idle connection is closed after this
    static constexpr int ProgressEveryMs = 50;
    static constexpr qint64 ReadBufferBytes = 64 * 1024;

    struct Answer
    {
        int status = 0; // 0 when no answer header came
        QByteArray reason;
        QByteArray location; // the Location header, if any
        QList<QByteArray> challenges; // the WWW-Authenticate headers of a 401
        QByteArray body;
        QString error; // empty when an answer came whole
        bool timedOut = false;
        qint64 tooLargeBytes = -1; // the size that broke the bound
    };

    struct Request
    {
        QByteArray method;
        QUrl url;
        QByteArray headers; // "Name: value\r\n" lines
        QByteArray body;
        bool withBody = false;
        std::optional<QSslConfiguration> tls; // for https
        quint64 tlsGeneration = 0;            // connections of another generation are not reused
        bool ignoreSslErrors = false;
        qint64 maxAnswerBytes = 0;
        int timeout = 0; // ms, 0 for none
        std::function<void(qint64 received, qint64 total)> progress;
        std::function<void(const Answer &)> finished;
    };

    // sslErrors decides whether a connection may go on despite the errors.
    explicit HttpTransport(std::function<bool(const QList<QSslError> &)> sslErrors, QObject *parent = nullptr);
    ~HttpTransport() override;

    void start(Request request);

    // Drops every request without a word to its owner: at once, or once the report
    // running now has returned.
    void release();

    // Closes the connections that carry no request now.
    void closeIdle();

    // The bytes of a request as they go out.
    static QByteArray requestBytes(const Request &request);
    // The path and query of the URL as the request line names them.
    static QByteArray target(const QUrl &url);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    class Connection;
    struct Exchange;
    using ExchangePtr = std::shared_ptr<Exchange>;

    void dispatch(const ExchangePtr &exchange, bool fresh);
    Connection *openConnection(const QString &key, const ExchangePtr &exchange);
    void assign(Connection *connection, const ExchangePtr &exchange);
    void onReadable(Connection *connection);
    void onBroken(Connection *connection, const QString &error);
    void onIdleExpired(Connection *connection);
    void drop(Connection *connection);
    void takeWaiting(const QString &key);
    void finish(const ExchangePtr &exchange, Answer answer);
    void answerFromParser(const ExchangePtr &exchange);
    void reportProgress(Exchange &exchange, bool last);
    static QString originKey(const Request &request);

    std::function<bool(const QList<QSslError> &)> m_sslErrors;
    QHash<QString, QList<Connection *>> m_connections;
    QHash<QString, QList<ExchangePtr>> m_waiting;
    QHash<int, ExchangePtr> m_timed; // by the id of their time-out
    QByteArray m_readBuffer;
    int m_reporting = 0;             // depth of reports to owners running now
    std::atomic<bool> m_released{false};
};
