#include "Backend/LocalServer.h"
#include "Backend/ServerUrl.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Log.h"
#include "Common/Secrets.h"
#include "Common/Utils.h"

#include <QAuthenticator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

namespace Backend {

namespace {

ZUKA_LOG_CATEGORY(logCategory, "backend.localserver")
const Log log("[Backend::LocalServer] ", logCategory);

QDateTime dateOf(const QJsonValue &value)
{
    return value.isString() ? QDateTime::fromString(value.toString(), Qt::ISODate) : QDateTime();
}

} // namespace

LocalServer::LocalServer(Config &config, QObject *parent)
    : QObject(parent)
    , m_config(&config)
{
    qRegisterMetaType<Backend::LocalServer::Response>();
    connect(m_config, &Config::configChanged, this, &LocalServer::onConfigChanged);
    connect(&m_client, &HttpClient::authRequired, this, &LocalServer::onAuthRequired);
    initClient();
}

void LocalServer::initClient()
{
    m_client.setHeader(QStringLiteral("accept"), QStringLiteral("application/json"));
    m_client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
    m_client.setHeader(QStringLiteral("User-Agent"), QStringLiteral("zuka/terminal"));
    m_client.setIgnoreSslErrors(m_config->get(Key::LocalIgnoreSslErrors).toBool());
    // Credentials of the configured URL and the passage go to that server only.
    m_client.setSameOriginRedirects(true);
}

void LocalServer::onConfigChanged(const QVariantMap &changes)
{
    if (!Config::contains(changes, QStringLiteral("local\\/.+")))
        return;
    log.warn("Configuration changed. Applying.");
    initClient();
}

void LocalServer::onAuthRequired(QNetworkReply *, QAuthenticator *authenticator)
{
    answerWithUrlCredentials(m_config->get(Key::LocalUrl).toString(), authenticator);
}

QUrl LocalServer::createUrl(const QString &path) const
{
    return endpointUrl(m_config->get(Key::LocalUrl).toString(), path);
}

Deferred<LocalServer::Response> LocalServer::sendData(const Request &request)
{
    const QJsonObject body{{QStringLiteral("licensePlate"), request.licensePlate},
                           {QStringLiteral("cardId"), request.cardId},
                           {QStringLiteral("scaleId"), request.scaleId}};
    Deferred<Response> result;
    m_client.post(createUrl(QStringLiteral("/api/Passages")), body,
                 m_config->get(Key::LocalResponseTimeoutMsec).toInt())
        .done([this, result](int status, const QJsonValue &answer) {
            log.info("Data sent successfully to local server : (", status, ") ",
                     Log::outside(Utils::jsonToText(Secrets::masked(answer))));
            setLastComms(QDateTime::currentDateTime());
            const Response response = parseResponse(answer);
            emit dataResponseReceived(response);
            result.resolve(response);
        })
        .fail([this, result](int status, const QJsonValue &answer) {
            handleErrorResponse(status, answer);
            result.reject(Response());
        });
    return result;
}

LocalServer::Response LocalServer::parseResponse(const QJsonValue &body)
{
    const QJsonObject o = body.toObject();
    Response r;
    r.id = o.value(QStringLiteral("id")).toString();
    r.licensePlate = o.value(QStringLiteral("licensePlate")).toString();
    r.cardId = o.value(QStringLiteral("cardId")).toString();
    r.scaleId = o.value(QStringLiteral("scaleId")).toString();
    r.status = o.value(QStringLiteral("status")).toString();
    r.weightKg = o.value(QStringLiteral("weightKg")).toDouble(0);
    r.createdAt = dateOf(o.value(QStringLiteral("createdAt")));
    r.weightAssociatedAt = dateOf(o.value(QStringLiteral("weightAssociatedAt")));
    r.sentToEsbAt = dateOf(o.value(QStringLiteral("sentToEsbAt")));
    r.retryCount = o.value(QStringLiteral("retryCount")).toInt(0);
    r.lastErrorMessage = o.value(QStringLiteral("lastErrorMessage")).toString();
    return r;
}

void LocalServer::handleErrorResponse(int status, const QJsonValue &body)
{
    log.error("Operation failed : (", status, ") ", Log::outside(Utils::jsonToText(Secrets::masked(body))));
}

void LocalServer::setLastComms(const QDateTime &time)
{
    if (time == m_lastComms)
        return;
    m_lastComms = time;
    emit lastCommsChanged();
}

} // namespace Backend
