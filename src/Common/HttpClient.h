#pragma once
// Asynchronous HTTP(S) requests with JSON bodies. Every request answers with a
// Deferred<int, QJsonValue>: the HTTP status (0 when no HTTP answer arrived, -1 for
// a redirect that cannot be followed) and the body parsed as JSON, or the error text.
//
// Requests run on the event loop of the thread that makes them, over the client's own
// kept-alive connections (HttpTransport). A URL with credentials goes through the network
// access manager instead, which knows the authentication schemes; so does a request of a
// client that answers authentication challenges (authRequired connected) to a server
// that has challenged it: the request that met the challenge is sent again that way.
#include "Common/Log.h"
#include "Deferred/Deferred.h"

#include <QHash>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslKey>
#include <QString>
#include <QUrl>

#include <optional>

Q_DECLARE_LOGGING_CATEGORY(httpClientLogCategory)

class HttpTransport;
class QAuthenticator;
class QNetworkReply;
class QThread;

class HttpClient : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpClient)
public:
    static constexpr int DefaultTimeout = 30000; // ms
    static constexpr int MaxRedirects = 10;      // hops followed for one request
    // Answers larger than this are aborted and fail as if none had come (status 0).
    static constexpr qint64 DefaultMaxAnswerBytes = 4 * 1024 * 1024;
    static constexpr qint64 ReadAheadBytes = 1024 * 1024;

    explicit HttpClient(QObject *parent = nullptr);
    ~HttpClient() override;

    // Sent with every request of this client, as given.
    void setHeader(const QString &name, const QString &value);
    QMap<QString, QString> headers() const;

    void setIgnoreSslErrors(bool ignore);
    bool ignoreSslErrors() const;

    // The largest answer body taken, in bytes.
    void setMaxAnswerBytes(qint64 bytes) { m_maxAnswerBytes = bytes; }
    qint64 maxAnswerBytes() const { return m_maxAnswerBytes; }

    // When set, a redirect is followed only to the origin (scheme, host and port) of the
    // request; any other is refused (-1), so that headers, body and client certificate
    // never go to another server.
    void setSameOriginRedirects(bool sameOrigin) { m_sameOriginRedirects = sameOrigin; }

    // PEM files; setting any of them switches every request to TLS 1.2 with the
    // given root as the only trusted authority and the given client certificate.
    void setTLSRootCA(const QString &path);
    void setTLSCert(const QString &path);
    void setTLSKey(const QString &path);

    static QString bytesToStr(qint64 bytes);
    // An answer's body as a JSON value: an object or array when it starts with "{" or "["
    // (an empty object when that does not parse), else its text up to the first NUL.
    static QJsonValue parsePayload(const QByteArray &bytes);

public slots:
    Deferred<int, QJsonValue> get(const QUrl &url, int timeout = DefaultTimeout);
    Deferred<int, QJsonValue> del(const QUrl &url, int timeout = DefaultTimeout);
    Deferred<int, QJsonValue> put(const QUrl &url, const QJsonValue &data, int timeout = DefaultTimeout);
    Deferred<int, QJsonValue> post(const QUrl &url, const QJsonValue &data, int timeout = DefaultTimeout);

signals:
    // Emitted while the access manager waits: fill in the authenticator before returning.
    void authRequired(QNetworkReply *reply, QAuthenticator *authenticator);

private slots:
    void onSslErrors(QNetworkReply *reply, const QList<QSslError> &errors);

private:
    using Result = Deferred<int, QJsonValue>;
    using Operation = QNetworkAccessManager::Operation;

    // How a request ended, whichever way it went.
    struct Answer
    {
        Answer(Operation op, const QUrl &url) : op(op), url(url) {}
        Operation op;
        QUrl url;
        int status = 0;
        QByteArray body;
        bool failed = false;
        QString error;
        bool redirected = false;
        QUrl target; // of a redirect
        bool tooLarge = false;
    };

    Result send(Operation op, const QUrl &url, const QJsonValue &data, int timeout, int hops);
    bool ownTransport(const QUrl &url) const;
    bool answersChallenges() const;
    void sendQnam(Operation op, const QUrl &url, const QJsonValue &data, const QByteArray &payload, int timeout,
                  int hops, Result result);
    void sendOwn(Operation op, const QUrl &url, const QJsonValue &data, const QByteArray &payload, int timeout,
                 int hops, Result result);
    QNetworkAccessManager *qnam();
    HttpTransport *transport();
    // The client's headers as sent, with the defaults the access manager adds.
    QByteArray headerLines(bool withBody) const;
    bool allowSslErrors(const QList<QSslError> &errors) const;
    static void retire(QNetworkAccessManager *manager);
    QNetworkRequest createRequest(const QUrl &url) const;
    QSslConfiguration createSslConfig() const;
    // What identifies the three TLS files as they are now; empty when one cannot be read.
    QByteArray tlsFilesStamp() const;
    static QSslCertificate loadCert(const QString &path);
    static QSslKey loadPrivKey(const QString &path);
    static QByteArray createPayload(const QJsonValue &data);
    void processReply(QNetworkReply *reply, Result result, const QJsonValue &data, int timeout, int hops);
    void finish(const Answer &answer, Result result, const QJsonValue &data, int hops);
    void processRedirect(const Answer &answer, Result result, const QJsonValue &data, int hops);
    static void notifyProgress(Result result, qint64 received, qint64 total);
    void logTooLarge(qint64 bytes, const QUrl &url) const;

    bool m_ignoreSslErrors = false;
    bool m_sameOriginRedirects = false;
    qint64 m_maxAnswerBytes = DefaultMaxAnswerBytes;
    QMap<QString, QString> m_headers;
    QByteArray m_headerLines[2]; // as sent, without and with a body
    QMap<QString, QString> m_tls;
    mutable QMutex m_mutex; // guards m_managers and the prepared TLS configuration
    QHash<QThread *, QPointer<QNetworkAccessManager>> m_managers;
    QHash<QThread *, QPointer<HttpTransport>> m_transports;
    QSet<QString> m_challengers; // origins that asked this client for credentials
    mutable QByteArray m_sslStamp; // the files m_sslConfig was made from
    // Made at the first TLS request (a configuration starts the TLS library up).
    mutable std::optional<QSslConfiguration> m_sslConfig;
    mutable quint64 m_tlsGeneration = 0;      // counts the changes of the TLS files
    QHash<QThread *, quint64> m_managerTls;  // the generation each manager connects with

private:
    static constexpr Log log{"[HttpClient] ", httpClientLogCategory};
};
