#include "Common/Http/HttpClient.h"

#include "Common/Http/HttpTransport.h"
#include "Common/PrivateFile.h"
#include "Common/Secrets.h"
#include "Common/Utils.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QThread>

ZUKA_LOG_CATEGORY(httpClientLogCategory, "common.httpclient")

namespace {

const char *methodName(int method)
{
    static const char *const names[] = {"GET", "DELETE", "PUT", "POST"};
    return names[method];
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

int portOf(const QUrl &url)
{
    return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) ? 80 : 443);
}

// Scheme, host and port.
QString originOf(const QUrl &url)
{
    return url.scheme().toLower() + QLatin1String("://") + url.host().toLower() + QLatin1Char(':')
           + QString::number(portOf(url));
}

// An address as a line of the log shows it: its password and credentials in its query masked.
QString urlText(const QUrl &url)
{
    return Log::outside(Secrets::maskUrls(url.toString()));
}

} // namespace

HttpClient::HttpClient(QObject *parent)
    : QObject(parent)
    , m_headerLines{headerLines(false), headerLines(true)}
{
}

HttpClient::~HttpClient()
{
    QMutexLocker lock(&m_mutex);
    // Requests still running go with their transport without reporting to a client that is gone.
    for (const QPointer<HttpTransport> &transport : qAsConst(m_transports)) {
        if (transport)
            transport->release();
    }
    m_transports.clear();
}

void HttpClient::setHeader(const QString &name, const QString &value)
{
    m_headers.insert(name, value);
    m_headerLines[0] = headerLines(false);
    m_headerLines[1] = headerLines(true);
}

QMap<QString, QString> HttpClient::headers() const
{
    return m_headers;
}

void HttpClient::setIgnoreSslErrors(bool ignore)
{
    m_ignoreSslErrors = ignore;
}

bool HttpClient::ignoreSslErrors() const
{
    return m_ignoreSslErrors;
}

void HttpClient::setTLSRootCA(const QString &path)
{
    m_tls.insert(QStringLiteral("rootCA"), path);
}

void HttpClient::setTLSCert(const QString &path)
{
    m_tls.insert(QStringLiteral("cert"), path);
}

void HttpClient::setTLSKey(const QString &path)
{
    m_tls.insert(QStringLiteral("key"), path);
    // A private key others may read is no longer private: said once per file.
    static QMutex warnedMutex;
    static QSet<QString> warned;
    if (PrivateFile::readableByOthers(path)) {
        QMutexLocker lock(&warnedMutex);
        if (!warned.contains(path)) {
            warned.insert(path);
            log.warn("Client key file is readable by others : ", path);
        }
    }
}

void HttpClient::closeIdleConnections()
{
    QMutexLocker lock(&m_mutex);
    const QPointer<HttpTransport> transport = m_transports.value(QThread::currentThread());
    lock.unlock();
    if (transport)
        transport->closeIdle();
}

HttpClient::Result HttpClient::get(const QUrl &url, int timeout)
{
    return send(Method::Get, url, QJsonValue(), timeout);
}

HttpClient::Result HttpClient::del(const QUrl &url, int timeout)
{
    return send(Method::Delete, url, QJsonValue(), timeout);
}

HttpClient::Result HttpClient::put(const QUrl &url, const QJsonValue &data, int timeout)
{
    return send(Method::Put, url, data, timeout);
}

HttpClient::Result HttpClient::post(const QUrl &url, const QJsonValue &data, int timeout)
{
    return send(Method::Post, url, data, timeout);
}

HttpClient::Result HttpClient::send(Method method, const QUrl &url, const QJsonValue &data, int timeout)
{
    // The request goes with the client's headers as they are now, whatever they are when
    // it is sent again (for a challenge or a redirect).
    const bool withBody = method == Method::Put || method == Method::Post;
    return send(method, url, data, timeout, 0, m_maxAnswerBytes, m_headerLines[withBody ? 1 : 0]);
}

HttpClient::Result HttpClient::send(Method method, const QUrl &url, const QJsonValue &data, int timeout, int hops,
                                    qint64 maxAnswerBytes, const QByteArray &headers)
{
    Result result;
    log.info("Performing ", methodName(int(method)), " request : ", urlText(url));
    const bool withBody = method == Method::Put || method == Method::Post;
    const QByteArray payload = withBody ? createPayload(data) : QByteArray();
    if (method == Method::Put) {
        log.info("Data : ", data);
    } else if (method == Method::Post) {
        // Bodies carry what came from outside (plates, images) and settings (URLs). An
        // object or array with nothing to mask is shown as it is sent.
        bool changed = false;
        const QJsonValue shown = Secrets::masked(data.isObject() ? data : QJsonValue(data.toArray()), &changed);
        if (!changed && (data.isObject() || data.isArray())) {
            log.info("Data : ", Log::outside(payload));
        } else {
            const QJsonDocument doc = shown.isObject() ? QJsonDocument(shown.toObject())
                                                       : QJsonDocument(shown.toArray());
            log.info("Data : ", Log::outside(doc.toJson(QJsonDocument::Compact)));
        }
    }

    if (!url.isValid()) {
        log.error("Invalid URL : ", urlText(url));
        result.reject(0, QJsonValue(QStringLiteral("Invalid URL")));
        return result;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        result.reject(0, QJsonValue(QStringLiteral("Protocol \"%1\" is unknown").arg(url.scheme())));
        return result;
    }
    Exchange exchange;
    exchange.method = method;
    exchange.url = url;
    exchange.data = data;
    exchange.payload = payload;
    exchange.headers = headers;
    exchange.timeout = timeout;
    exchange.hops = hops;
    exchange.maxAnswerBytes = maxAnswerBytes;
    exchange.result = result;
    dispatch(std::move(exchange));
    return result;
}

void HttpClient::dispatch(Exchange exchange)
{
    HttpTransport::Request request;
    request.method = methodName(int(exchange.method));
    request.url = exchange.url;
    request.withBody = exchange.method == Method::Put || exchange.method == Method::Post;
    request.body = exchange.payload;
    request.headers = exchange.headers;
    if (!m_tls.isEmpty()) {
        request.tls = createSslConfig();
        QMutexLocker lock(&m_mutex);
        request.tlsGeneration = m_tlsGeneration;
    }
    request.ignoreSslErrors = m_ignoreSslErrors;
    request.maxAnswerBytes = exchange.maxAnswerBytes;
    request.timeout = exchange.timeout;
    {
        // Credentials that this server asked for go with every later request to it, unless
        // the URL names another user.
        QMutexLocker lock(&m_mutex);
        const auto it = m_credentials.find(originOf(exchange.url));
        const QString user = exchange.url.userName(QUrl::FullyDecoded);
        if (it != m_credentials.end() && (user.isEmpty() || user == it->user())) {
            const QByteArray value = it->authorization(request.method, HttpTransport::target(exchange.url));
            if (!value.isEmpty()) {
                request.headers += "Authorization: " + value + "\r\n";
                exchange.user = it->user();
                exchange.password = it->password();
            }
        }
    }
    const Result result = exchange.result;
    request.progress = [result](qint64 received, qint64 total) { notifyProgress(result, received, total); };
    request.finished = [this, exchange](const HttpTransport::Answer &answer) {
        if (log.debugEnabled())
            log.debug("Received response for : ", urlText(exchange.url));
        if (answer.status == 401 && answer.error.isEmpty()) {
            Exchange again = exchange;
            if (answerChallenge(again, answer.challenges))
                return;
        }
        if (answer.timedOut)
            log.error("Request timed-out (timeout=", exchange.timeout, " msec). Aborting.");
        if (answer.tooLargeBytes >= 0) {
            log.error("Answer too large (", answer.tooLargeBytes, " bytes, limit ", exchange.maxAnswerBytes,
                      " bytes) from : ", urlText(exchange.url), ". Aborting.");
            // Taken as no answer at all, whatever its status said.
            exchange.result.reject(0, QJsonValue(QStringLiteral("Answer too large")));
            return;
        }
        if (answer.error.isEmpty() && isRedirect(answer.status) && !answer.location.isEmpty()) {
            // (A redirect status without a target is an ordinary answer.)
            QUrl location(QString::fromUtf8(answer.location));
            if (!location.isValid())
                location = QUrl(QString::fromLatin1(answer.location));
            processRedirect(exchange, location);
            return;
        }
        const QJsonValue body = parsePayload(answer.body);
        Result result = exchange.result;
        if (answer.error.isEmpty() && answer.status < 400)
            result.resolve(answer.status, body);
        else if (body.isObject())
            result.reject(answer.status, body);
        else if (!answer.error.isEmpty())
            result.reject(answer.status, QJsonValue(answer.error));
        else if (answer.status == 401)
            result.reject(answer.status, QJsonValue(exchange.user.isEmpty() && exchange.password.isEmpty()
                                                        ? QStringLiteral("Host requires authentication")
                                                        : QStringLiteral("credentials refused")));
        else
            result.reject(answer.status,
                          QJsonValue(QStringLiteral("Error transferring %1 - server replied: %2")
                                         .arg(Secrets::maskUrls(exchange.url.toString(QUrl::RemoveUserInfo)),
                                              QString::fromLatin1(answer.reason))));
    };
    transport()->start(std::move(request));
}

bool HttpClient::answerChallenge(Exchange &exchange, const QList<QByteArray> &challenges)
{
    HttpAuth auth;
    if (exchange.challenges >= MaxChallenges || !auth.choose(challenges))
        return false;
    const bool sentCredentials = !exchange.user.isEmpty() || !exchange.password.isEmpty();
    if (sentCredentials && auth.stale()) {
        // Right, but with a nonce the server no longer takes.
        auth.setCredentials(exchange.user, exchange.password);
    } else if (exchange.answered) {
        return false; // the credentials given for this request were refused
    } else if (!exchange.url.userName().isEmpty()) {
        auth.setCredentials(exchange.url.userName(QUrl::FullyDecoded), exchange.url.password(QUrl::FullyDecoded));
    } else {
        QAuthenticator authenticator;
        emit authRequired(nullptr, &authenticator);
        if (authenticator.user().isEmpty() && authenticator.password().isEmpty())
            return false;
        auth.setCredentials(authenticator.user(), authenticator.password());
    }
    {
        QMutexLocker lock(&m_mutex);
        m_credentials.insert(originOf(exchange.url), auth);
    }
    ++exchange.challenges;
    exchange.answered = true;
    dispatch(exchange);
    return true;
}

QByteArray HttpClient::headerLines(bool withBody) const
{
    QByteArray lines;
    bool type = false, agent = false;
    for (auto it = m_headers.cbegin(); it != m_headers.cend(); ++it) {
        type = type || it.key().compare(QLatin1String("Content-Type"), Qt::CaseInsensitive) == 0;
        agent = agent || it.key().compare(QLatin1String("User-Agent"), Qt::CaseInsensitive) == 0;
        // A line break in a setting must not start a header (or a request) of its own.
        QByteArray line = it.key().toLatin1() + ": " + it.value().toLatin1();
        line.replace('\r', ' ').replace('\n', ' ');
        lines += line + "\r\n";
    }
    // What servers are used to where the client says nothing.
    if (withBody && !type)
        lines += "Content-Type: application/x-www-form-urlencoded\r\n";
    if (!agent)
        lines += "User-Agent: Mozilla/5.0\r\n";
    return lines;
}

HttpTransport *HttpClient::transport()
{
    QThread *thread = QThread::currentThread();
    QMutexLocker lock(&m_mutex);
    QPointer<HttpTransport> &slot = m_transports[thread];
    if (!slot) {
        log.debug("Creating new Network Access Manager for thread ");
        slot = new HttpTransport([this](const QList<QSslError> &errors) { return allowSslErrors(errors); });
        // A worker thread's connections go when its thread ends.
        if (QCoreApplication::instance() && thread != QCoreApplication::instance()->thread())
            connect(thread, &QThread::finished, slot, &QObject::deleteLater, Qt::DirectConnection);
    }
    return slot;
}

QSslConfiguration HttpClient::createSslConfig() const
{
    // Reading and parsing the files costs milliseconds, so the configuration is kept for
    // as long as the files stay as they were: a replaced file takes effect on the next
    // request. A file that cannot be read keeps nothing (each request tries again).
    const QByteArray stamp = tlsFilesStamp();
    QMutexLocker lock(&m_mutex);
    if (!stamp.isEmpty() && stamp == m_sslStamp && m_sslConfig)
        return *m_sslConfig;
    lock.unlock();

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    const QSslCertificate cert = loadCert(m_tls.value(QStringLiteral("cert")));
    const QSslKey key = loadPrivKey(m_tls.value(QStringLiteral("key")));
    if (!cert.isNull())
        config.setLocalCertificate(cert);
    if (!key.isNull())
        config.setPrivateKey(key);
    config.setCaCertificates({loadCert(m_tls.value(QStringLiteral("rootCA")))});
    config.setProtocol(QSsl::TlsV1_2);

    lock.relock();
    // Connections made with other files are not used again.
    if (stamp != m_sslStamp || m_tlsGeneration == 0)
        ++m_tlsGeneration;
    m_sslStamp = stamp;
    m_sslConfig = config;
    return config;
}
QByteArray HttpClient::tlsFilesStamp() const
{
    QByteArray stamp;
    for (const char *name : {"cert", "key", "rootCA"}) {
        const QString path = m_tls.value(QLatin1String(name));
        const QByteArray file = Utils::fileStamp(path);
        if (file.isEmpty())
            return QByteArray();
        stamp.append(QFile::encodeName(path)).append('\0').append(file);
    }
    return stamp;
}

QSslCertificate HttpClient::loadCert(const QString &path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        log.error("Could not open file : ", path);
        return QSslCertificate();
    }
    return QSslCertificate(&file, QSsl::Pem);
}

QSslKey HttpClient::loadPrivKey(const QString &path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        log.error("Could not open file : ", path);
        return QSslKey();
    }
    return QSslKey(&file, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey, QByteArray());
}

QByteArray HttpClient::createPayload(const QJsonValue &data)
{
    if (data.isObject())
        return QJsonDocument(data.toObject()).toJson(QJsonDocument::Compact);
    if (data.isArray())
        return QJsonDocument(data.toArray()).toJson(QJsonDocument::Compact);
    if (data.isString())
        return data.toString().toUtf8();
    return QByteArray();
}

QJsonValue HttpClient::parsePayload(const QByteArray &bytes)
{
    if (!bytes.isEmpty() && (bytes.at(0) == '[' || bytes.at(0) == '{')) {
        const QJsonDocument doc = Utils::parseJson(bytes);
        if (doc.isArray())
            return doc.array();
        return doc.object();
    }
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

void HttpClient::notifyProgress(Result result, qint64 received, qint64 total)
{
    const int percent = total > 0 ? int(received * 100 / total) : 0;
    result.notify(percent,
                  QJsonValue(QStringLiteral("Downloaded %1 / %2").arg(bytesToStr(received), bytesToStr(total))));
}

void HttpClient::processRedirect(Exchange exchange, const QUrl &location)
{
    const QUrl target = exchange.url.resolved(location);
    log.warn("Request was redirected to : ", urlText(target));

    const QString fromScheme = exchange.url.scheme().toLower();
    const QString toScheme = target.scheme().toLower();
    bool repeatable = true;
    if (exchange.hops >= MaxRedirects) {
        log.error("Too many redirects (", exchange.hops, "). Giving up.");
        repeatable = false;
    } else if (toScheme != QLatin1String("https") && toScheme != QLatin1String("http")) {
        log.error("Refusing redirect to unsupported scheme : ", Log::outside(toScheme));
        repeatable = false;
    } else if (fromScheme == QLatin1String("https") && toScheme != QLatin1String("https")) {
        // Headers and the client certificate must not leave an encrypted connection.
        log.error("Refusing redirect from HTTPS to HTTP : ", urlText(target));
        repeatable = false;
    } else if (m_sameOriginRedirects && originOf(exchange.url) != originOf(target)) {
        log.error("Refusing redirect to another server : ", urlText(target));
        repeatable = false;
    }
    Result result = exchange.result;
    if (!repeatable) {
        result.reject(-1, QJsonValue(QStringLiteral("Cannot redirect request to : ")
                                     + Secrets::maskUrls(target.toDisplayString())));
        return;
    }

    // The repeated request has the default time-out, whatever the first one had.
    Result next = send(exchange.method, target, exchange.data, DefaultTimeout, exchange.hops + 1,
                       exchange.maxAnswerBytes, exchange.headers);
    next.progress([result](int percent, QJsonValue text) mutable { result.notify(percent, text); });
    next.fail([result](int status, QJsonValue body) mutable { result.reject(status, body); });
    next.done([result](int status, QJsonValue body) mutable { result.resolve(status, body); });
}

bool HttpClient::allowSslErrors(const QList<QSslError> &errors) const
{
    log.warning("SSL Error(s) occured : ");
    for (const QSslError &error : errors)
        log.warning(" - ", error.errorString());
    if (m_ignoreSslErrors)
        log.warning("Ignoring SSL Errors ('ignoreSslErrors' is set to 'true' in configuration)");
    return m_ignoreSslErrors;
}

QString HttpClient::bytesToStr(qint64 bytes)
{
    if (bytes < 0)
        return QStringLiteral("%1 KB").arg(QStringLiteral("--"));
    const double count = double(bytes);
    if (count / 1e9 > 1.0)
        return QStringLiteral("%1 GB").arg(count / 1e9, 0, 'f', 1);
    if (count / 1e6 > 1.0)
        return QStringLiteral("%1 MB").arg(count / 1e6, 0, 'f', 1);
    return QStringLiteral("%1 KB").arg(count / 1000, 0, 'f', 1);
}
