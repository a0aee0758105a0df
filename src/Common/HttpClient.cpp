#include "Common/HttpClient.h"

#include "Common/HttpRequestBody.h"
#include "Common/HttpTransport.h"
#include "Common/PrivateFile.h"
#include "Common/Secrets.h"
#include "Common/Utils.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QSet>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>

#include <sys/stat.h>

ZUKA_LOG_CATEGORY(httpClientLogCategory, "common.httpclient")

namespace {

const char *operationName(QNetworkAccessManager::Operation op)
{
    switch (op) {
    case QNetworkAccessManager::GetOperation:
        return "GET";
    case QNetworkAccessManager::DeleteOperation:
        return "DELETE";
    case QNetworkAccessManager::PutOperation:
        return "PUT";
    case QNetworkAccessManager::PostOperation:
        return "POST";
    default:
        return "?";
    }
}

// Marks a reply that was aborted for its size.
const char TooLargeProperty[] = "answerTooLarge";

// The statuses the access manager takes as redirects.
bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    const auto port = [](const QUrl &u) {
        return u.port(u.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) ? 80 : 443);
    };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
           && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port(a) == port(b);
}

// Scheme, host and port.
QString originOf(const QUrl &url)
{
    return url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment).toString();
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
    for (const QPointer<QNetworkAccessManager> &manager : qAsConst(m_managers)) {
        if (!manager)
            continue;
        // Replies still running go with their manager without reporting to a client that is gone.
        for (QNetworkReply *reply : manager->findChildren<QNetworkReply *>())
            QObject::disconnect(reply, nullptr, this, nullptr);
        QObject::disconnect(manager, nullptr, this, nullptr);
        if (manager->thread() == QThread::currentThread())
            delete manager.data();
        else
            manager->deleteLater();
    }
    m_managers.clear();
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

HttpClient::Result HttpClient::get(const QUrl &url, int timeout)
{
    return send(QNetworkAccessManager::GetOperation, url, QJsonValue(), timeout, 0);
}

HttpClient::Result HttpClient::del(const QUrl &url, int timeout)
{
    return send(QNetworkAccessManager::DeleteOperation, url, QJsonValue(), timeout, 0);
}

HttpClient::Result HttpClient::put(const QUrl &url, const QJsonValue &data, int timeout)
{
    return send(QNetworkAccessManager::PutOperation, url, data, timeout, 0);
}

HttpClient::Result HttpClient::post(const QUrl &url, const QJsonValue &data, int timeout)
{
    return send(QNetworkAccessManager::PostOperation, url, data, timeout, 0);
}

HttpClient::Result HttpClient::send(QNetworkAccessManager::Operation op, const QUrl &url, const QJsonValue &data,
                                    int timeout, int hops)
{
    Result result;
    log.info("Performing ", operationName(op), " request : ", Log::outside(url.toDisplayString()));
    const bool withBody = op == QNetworkAccessManager::PutOperation || op == QNetworkAccessManager::PostOperation;
    const QByteArray payload = withBody ? createPayload(data) : QByteArray();
    if (op == QNetworkAccessManager::PutOperation) {
        log.info("Data : ", data);
    } else if (op == QNetworkAccessManager::PostOperation) {
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
        log.error("Invalid URL : ", Log::outside(url.toString(QUrl::RemovePassword)));
        result.reject(0, QJsonValue(QStringLiteral("Invalid URL")));
        return result;
    }

    if (ownTransport(url))
        sendOwn(op, url, data, payload, timeout, hops, result);
    else
        sendQnam(op, url, data, payload, timeout, hops, result);
    return result;
}

void HttpClient::sendQnam(Operation op, const QUrl &url, const QJsonValue &data, const QByteArray &payload,
                          int timeout, int hops, Result result)
{
    const QNetworkRequest request = createRequest(url);
    QNetworkAccessManager *manager = qnam();
    QNetworkReply *reply = nullptr;
    switch (op) {
    case QNetworkAccessManager::DeleteOperation:
        reply = manager->deleteResource(request);
        break;
    case QNetworkAccessManager::PutOperation:
    case QNetworkAccessManager::PostOperation: {
        const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
        auto *body = new HttpRequestBody(payload, quint16(port));
        reply = op == QNetworkAccessManager::PutOperation ? manager->put(request, body) : manager->post(request, body);
        body->setParent(reply);
        break;
    }
    default:
        reply = manager->get(request);
        break;
    }
    processReply(reply, result, data, timeout, hops);
}

bool HttpClient::answersChallenges() const
{
    static const QMetaMethod authSignal = QMetaMethod::fromSignal(&HttpClient::authRequired);
    return isSignalConnected(authSignal);
}

bool HttpClient::ownTransport(const QUrl &url) const
{
    const QString scheme = url.scheme().toLower();
    if (!url.userInfo().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return false;
    QMutexLocker lock(&m_mutex);
    return m_challengers.isEmpty() || !m_challengers.contains(originOf(url));
}

void HttpClient::sendOwn(Operation op, const QUrl &url, const QJsonValue &data, const QByteArray &payload,
                         int timeout, int hops, Result result)
{
    HttpTransport::Request request;
    request.method = operationName(op);
    request.url = url;
    request.withBody = op == QNetworkAccessManager::PutOperation || op == QNetworkAccessManager::PostOperation;
    if (request.withBody)
        request.body = payload;
    request.headers = m_headerLines[request.withBody ? 1 : 0];
    if (!m_tls.isEmpty()) {
        request.tls = createSslConfig();
        QMutexLocker lock(&m_mutex);
        request.tlsGeneration = m_tlsGeneration;
    }
    request.ignoreSslErrors = m_ignoreSslErrors;
    request.maxAnswerBytes = m_maxAnswerBytes;
    request.timeout = timeout;
    request.progress = [result](qint64 received, qint64 total) { notifyProgress(result, received, total); };
    request.finished = [this, op, url, data, payload, timeout, hops, result](const HttpTransport::Answer &reply) {
        if (log.debugEnabled())
            log.debug("Received response for : ", Log::outside(url.toDisplayString()));
        if (reply.status == 401 && reply.error.isEmpty() && answersChallenges()) {
            // The access manager knows the schemes: it takes this request again, and every
            // later one to this server.
            {
                QMutexLocker lock(&m_mutex);
                m_challengers.insert(originOf(url));
            }
            sendQnam(op, url, data, payload, timeout, hops, result);
            return;
        }
        if (reply.timedOut)
            log.error("Request timed-out (timeout=", timeout, " msec). Aborting.");
        Answer answer(op, url);
        answer.status = reply.status;
        if (reply.tooLargeBytes >= 0) {
            logTooLarge(reply.tooLargeBytes, url);
            answer.tooLarge = true;
        } else if (reply.error.isEmpty() && isRedirect(reply.status) && !reply.location.isEmpty()) {
            // (A redirect status without a target is an ordinary answer, as for the access manager.)
            answer.redirected = true;
            answer.target = QUrl(QString::fromUtf8(reply.location));
            if (!answer.target.isValid())
                answer.target = QUrl(QString::fromLatin1(reply.location));
        } else {
            answer.body = reply.body;
            answer.failed = !reply.error.isEmpty() || reply.status >= 400;
            if (!reply.error.isEmpty())
                answer.error = reply.error;
            else if (reply.status == 401)
                answer.error = QStringLiteral("Host requires authentication");
            else
                answer.error = QStringLiteral("Error transferring %1 - server replied: %2")
                                   .arg(url.toString(), QString::fromLatin1(reply.reason));
        }
        finish(answer, result, data, hops);
    };
    transport()->start(std::move(request));
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
    // What the access manager would have said where the client says nothing.
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

QNetworkAccessManager *HttpClient::qnam()
{
    QThread *thread = QThread::currentThread();
    QMutexLocker lock(&m_mutex);
    QPointer<QNetworkAccessManager> &slot = m_managers[thread];
    quint64 &tls = m_managerTls[thread];
    if (slot && tls != m_tlsGeneration) {
        // Its connections keep the TLS set-up they were made with: a new manager makes
        // new ones with the changed files, the old one goes once its replies are done.
        retire(slot);
        slot = nullptr;
    }
    tls = m_tlsGeneration;
    if (!slot) {
        log.debug("Creating new Network Access Manager for thread ");
        auto *manager = new QNetworkAccessManager;
        connect(manager, &QNetworkAccessManager::sslErrors, this, &HttpClient::onSslErrors, Qt::DirectConnection);
        connect(manager, &QNetworkAccessManager::authenticationRequired, this, &HttpClient::authRequired,
                Qt::DirectConnection);
        // A worker thread's manager goes when its thread ends.
        if (QCoreApplication::instance() && thread != QCoreApplication::instance()->thread())
            connect(thread, &QThread::finished, manager, &QObject::deleteLater, Qt::DirectConnection);
        slot = manager;
    }
    return slot;
}

void HttpClient::retire(QNetworkAccessManager *manager)
{
    auto unfinished = [manager] {
        int n = 0;
        for (const QNetworkReply *reply : manager->findChildren<QNetworkReply *>(QString(), Qt::FindDirectChildrenOnly))
            n += reply->isFinished() ? 0 : 1;
        return n;
    };
    if (unfinished() == 0) {
        manager->deleteLater();
        return;
    }
    connect(manager, &QNetworkAccessManager::finished, manager, [manager, unfinished] {
        if (unfinished() == 0)
            manager->deleteLater();
    });
}

QNetworkRequest HttpClient::createRequest(const QUrl &url) const
{
    QNetworkRequest request(url);
    // Redirects are followed here, by hand, so that each hop can be checked.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    for (auto it = m_headers.cbegin(); it != m_headers.cend(); ++it)
        request.setRawHeader(it.key().toLatin1(), it.value().toLatin1());
    if (!m_tls.isEmpty())
        request.setSslConfiguration(createSslConfig());
    return request;
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
        const QByteArray path = QFile::encodeName(m_tls.value(QLatin1String(name)));
        struct stat st;
        if (path.isEmpty() || ::stat(path.constData(), &st) != 0)
            return QByteArray();
        const qint64 fields[] = {qint64(st.st_dev), qint64(st.st_ino), qint64(st.st_size), qint64(st.st_mtim.tv_sec),
                                 qint64(st.st_mtim.tv_nsec), qint64(st.st_ctim.tv_sec), qint64(st.st_ctim.tv_nsec)};
        stamp.append(path).append('\0').append(reinterpret_cast<const char *>(fields), sizeof fields);
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

void HttpClient::processReply(QNetworkReply *reply, Result result, const QJsonValue &data, int timeout, int hops)
{
    auto *timer = new QTimer(reply);
    connect(timer, &QTimer::timeout, reply, [reply, timeout] {
        log.error("Request timed-out (timeout=", timeout, " msec). Aborting.");
        reply->abort();
    });

    // An answer is held whole until it has finished: one beyond the bound is aborted as
    // soon as its announced length or its bytes so far show it. The network layer reads
    // ahead of what is held by at most the margin (it may stop short of a full buffer, so
    // the margin is more than a piece it reads at once).
    const qint64 limit = m_maxAnswerBytes;
    reply->setReadBufferSize(limit + ReadAheadBytes);
    const auto tooLarge = [this, reply, limit](qint64 bytes) {
        if (bytes <= limit)
            return false;
        if (!reply->property(TooLargeProperty).toBool()) {
            reply->setProperty(TooLargeProperty, true);
            logTooLarge(bytes, reply->url());
            if (reply->isRunning())
                reply->abort();
        }
        return true;
    };
    connect(reply, &QNetworkReply::metaDataChanged, this,
            [reply, tooLarge] { tooLarge(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()); },
            Qt::DirectConnection);

    // Every piece that arrives is counted (progress is reported only now and then).
    connect(reply, &QNetworkReply::readyRead, this, [reply, tooLarge] { tooLarge(reply->bytesAvailable()); },
            Qt::DirectConnection);

    connect(reply, &QNetworkReply::downloadProgress, this,
            [result, tooLarge](qint64 received, qint64 total) mutable {
                if (!tooLarge(received) && !tooLarge(total))
                    notifyProgress(result, received, total);
            },
            Qt::DirectConnection);

    connect(reply, &QNetworkReply::finished, this,
            [this, reply, timer, result, data, hops, tooLarge]() mutable {
                timer->stop();
                log.debug("Received response for : ", Log::outside(reply->url().toDisplayString()));
                reply->deleteLater();
                Answer answer(reply->operation(), reply->url());
                const QVariant target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute);
                answer.redirected = target.isValid();
                answer.target = target.toUrl();
                // Progress is reported now and then: an answer may be complete before it shows.
                answer.tooLarge = !answer.redirected
                                  && (reply->property(TooLargeProperty).toBool()
                                      || (reply->isOpen() && tooLarge(reply->bytesAvailable())));
                if (!answer.redirected && !answer.tooLarge) {
                    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                    // An aborted reply (time-out) is closed and has nothing left to read.
                    answer.body = reply->isOpen() ? reply->readAll() : QByteArray();
                    answer.failed = reply->error() != QNetworkReply::NoError;
                    answer.error = reply->errorString();
                }
                finish(answer, result, data, hops);
            },
            Qt::DirectConnection);

    if (timeout > 0) {
        timer->setSingleShot(true);
        timer->setInterval(timeout);
        timer->start();
    }
}

void HttpClient::finish(const Answer &answer, Result result, const QJsonValue &data, int hops)
{
    if (answer.redirected) {
        processRedirect(answer, result, data, hops);
        return;
    }
    if (answer.tooLarge) {
        // Taken as no answer at all, whatever its status said.
        result.reject(0, QJsonValue(QStringLiteral("Answer too large")));
        return;
    }
    const QJsonValue body = parsePayload(answer.body);
    if (!answer.failed)
        result.resolve(answer.status, body);
    else if (body.isObject())
        result.reject(answer.status, body);
    else
        result.reject(answer.status, QJsonValue(answer.error));
}

void HttpClient::notifyProgress(Result result, qint64 received, qint64 total)
{
    const int percent = total > 0 ? int(received * 100 / total) : 0;
    result.notify(percent,
                  QJsonValue(QStringLiteral("Downloaded %1 / %2").arg(bytesToStr(received), bytesToStr(total))));
}

void HttpClient::logTooLarge(qint64 bytes, const QUrl &url) const
{
    log.error("Answer too large (", bytes, " bytes, limit ", m_maxAnswerBytes, " bytes) from : ",
              Log::outside(url.toDisplayString()), ". Aborting.");
}

void HttpClient::processRedirect(const Answer &answer, Result result, const QJsonValue &data, int hops)
{
    const QUrl target = answer.url.resolved(answer.target);
    log.warn("Request was redirected to : ", Log::outside(target.toDisplayString()));

    const QString fromScheme = answer.url.scheme().toLower();
    const QString toScheme = target.scheme().toLower();
    const QNetworkAccessManager::Operation op = answer.op;
    bool repeatable = op == QNetworkAccessManager::GetOperation || op == QNetworkAccessManager::DeleteOperation
                      || op == QNetworkAccessManager::PutOperation || op == QNetworkAccessManager::PostOperation;
    if (hops >= MaxRedirects) {
        log.error("Too many redirects (", hops, "). Giving up.");
        repeatable = false;
    } else if (toScheme != QLatin1String("https") && toScheme != QLatin1String("http")) {
        log.error("Refusing redirect to unsupported scheme : ", Log::outside(toScheme));
        repeatable = false;
    } else if (fromScheme == QLatin1String("https") && toScheme != QLatin1String("https")) {
        // Headers and the client certificate must not leave an encrypted connection.
        log.error("Refusing redirect from HTTPS to HTTP : ", Log::outside(target.toDisplayString()));
        repeatable = false;
    } else if (m_sameOriginRedirects && !sameOrigin(answer.url, target)) {
        log.error("Refusing redirect to another server : ", Log::outside(target.toDisplayString()));
        repeatable = false;
    }
    if (!repeatable) {
        result.reject(-1, QJsonValue(QStringLiteral("Cannot redirect request to : ") + target.toDisplayString()));
        return;
    }

    // The repeated request has the default time-out, whatever the first one had.
    Result next = send(op, target, data, DefaultTimeout, hops + 1);
    next.progress([result](int percent, QJsonValue text) mutable { result.notify(percent, text); });
    next.fail([result](int status, QJsonValue body) mutable { result.reject(status, body); });
    next.done([result](int status, QJsonValue body) mutable { result.resolve(status, body); });
}

void HttpClient::onSslErrors(QNetworkReply *reply, const QList<QSslError> &errors)
{
    if (allowSslErrors(errors))
        reply->ignoreSslErrors(errors);
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
