#pragma once
// Asynchronous HTTP(S) requests with JSON bodies. Every request answers with a
// Deferred<int, QJsonValue>: the HTTP status (0 when no HTTP answer arrived, -1 for
// a redirect that cannot be followed) and the body parsed as JSON, or the error text.
//
// Requests run on the event loop of the thread that makes them, over the client's own
// kept-alive connections (HttpTransport). A server's authentication challenge (Basic or
// Digest) is answered with the credentials of the request's URL, else with those the
// owner gives through authRequired, and the request sent again; later requests to that
// server go with them at once.
#include "Common/Http/HttpAuth.h"
#include "Common/Log/Log.h"
#include "Deferred/Deferred.h"

#include <QHash>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPointer>
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
    static constexpr int MaxChallenges = 2;      // answered for one request
    // Answers larger than this are aborted and fail as if none had come (status 0).
    static constexpr qint64 DefaultMaxAnswerBytes = 4 * 1024 * 1024;

    explicit HttpClient(QObject *parent = nullptr);
    ~HttpClient() override;

    // Sent, as given, with every request made from now on; a request keeps the headers it
    // was made with through its challenges and redirects.
    void setHeader(const QString &name, const QString &value);
    QMap<QString, QString> headers() const;

    void setIgnoreSslErrors(bool ignore);
    bool ignoreSslErrors() const;

    // The largest answer body taken, in bytes, by the requests made from now on.
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

    // Closes the calling thread's kept connections that carry no request now, so that
    // the next request opens a new one (after an answer that did not belong to its request).
    void closeIdleConnections();

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
    // A server asked for credentials that the request's URL does not carry: fill in the
    // authenticator before returning (reply is null: there is no reply object). Left
    // empty, the request ends with the server's 401.
    void authRequired(QNetworkReply *reply, QAuthenticator *authenticator);

private:
    using Result = Deferred<int, QJsonValue>;
    enum class Method { Get, Delete, Put, Post };

    // One request, carried through its redirects and challenges.
    struct Exchange
    {
        Method method = Method::Get;
        QUrl url;
        QJsonValue data;
        QByteArray payload;
        QByteArray headers; // the client's, as they were when the request was made
        int timeout = DefaultTimeout;
        int hops = 0;
        qint64 maxAnswerBytes = DefaultMaxAnswerBytes;
        int challenges = 0;   // answered so far
        bool answered = false; // sent with credentials given for a challenge to it
        QString user;         // of the credentials it went with
        QString password;
        Result result;
    };

    Result send(Method method, const QUrl &url, const QJsonValue &data, int timeout);
    // A redirect is sent with the headers and the bound of the request it follows.
    Result send(Method method, const QUrl &url, const QJsonValue &data, int timeout, int hops, qint64 maxAnswerBytes,
                const QByteArray &headers);
    void dispatch(Exchange exchange);
    // Sends the request again with credentials for the challenge; false when it cannot.
    bool answerChallenge(Exchange &exchange, const QList<QByteArray> &challenges);
    void processRedirect(Exchange exchange, const QUrl &location);
    HttpTransport *transport();
    // The client's headers as sent, with the defaults a client adds where it says nothing.
    QByteArray headerLines(bool withBody) const;
    bool allowSslErrors(const QList<QSslError> &errors) const;
    QSslConfiguration createSslConfig() const;
    // What identifies the three TLS files as they are now; empty when one cannot be read.
    QByteArray tlsFilesStamp() const;
    static QSslCertificate loadCert(const QString &path);
    static QSslKey loadPrivKey(const QString &path);
    static QByteArray createPayload(const QJsonValue &data);
    static void notifyProgress(Result result, qint64 received, qint64 total);

    bool m_ignoreSslErrors = false;
    bool m_sameOriginRedirects = false;
    qint64 m_maxAnswerBytes = DefaultMaxAnswerBytes;
    QMap<QString, QString> m_headers;
    QByteArray m_headerLines[2]; // as sent, without and with a body
    QMap<QString, QString> m_tls;
    mutable QMutex m_mutex; // guards what follows
    QHash<QThread *, QPointer<HttpTransport>> m_transports;
    QHash<QString, HttpAuth> m_credentials; // by origin: answered challenges
    mutable QByteArray m_sslStamp;          // the files m_sslConfig was made from
    // Made at the first TLS request (a configuration starts the TLS library up).
    mutable std::optional<QSslConfiguration> m_sslConfig;
    mutable quint64 m_tlsGeneration = 0; // counts the changes of the TLS files

private:
    static constexpr Log log{"[HttpClient] ", httpClientLogCategory};
};
