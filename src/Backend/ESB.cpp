#include "Backend/ESB.h"
#include "Backend/ServerUrl.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Log.h"
#include "Common/Secrets.h"
#include "Common/Utils.h"

#include <QAuthenticator>
#include <QNetworkReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>

namespace Backend {

namespace {

ZUKA_LOG_CATEGORY(logCategory, "backend.esb")
const Log log("[Backend::ESB] ", logCategory);

const QString VersionPath = QStringLiteral("/app/version");
const QString FrontPath = QStringLiteral("/integration/internal/cardReader/truckAlprFront");
const QString BackPath = QStringLiteral("/integration/internal/cardReader/truckAlprBack");
const QString PermissionPath = QStringLiteral("/integration/internal/cardReader/request");

// The least time between two checks: a period of 0 would make a tight request loop.
constexpr int MinCheckIntervalSec = 1;

// Time stamps go out in UTC, to the second, with "Z"; an invalid time as "".
QString utc(const QDateTime &time)
{
    return time.isValid() ? Utils::isoText(time.toUTC()) : QString();
}

} // namespace

ESB::ESB(Config &config, QObject *parent)
    : QObject(parent)
    , m_config(&config)
{
    qRegisterMetaType<Backend::ESB::PermissionResp>();
    connect(m_config, &Config::configChanged, this, &ESB::onConfigChanged);
    connect(&m_checkTimer, &QTimer::timeout, this, &ESB::checkState);
    connect(&m_client, &HttpClient::authRequired, this, &ESB::onAuthRequired);
    // The client is ready at once, so that a request made before the first check goes
    // out with its headers and TLS settings; only the first check waits a while.
    initClient();
    initTimer();
    QTimer::singleShot(Utils::random(1, 10) * 1000, this, &ESB::checkState);
}

void ESB::initClient()
{
    m_client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
    m_client.setHeader(QStringLiteral("User-Agent"), QStringLiteral("zuka/terminal"));
    m_client.setIgnoreSslErrors(m_config->get(Key::EsbIgnoreSslErrors).toBool());
    // Credentials of the configured URL and the lane's data go to that server only.
    m_client.setSameOriginRedirects(true);
}

void ESB::initTimer()
{
    const int seconds = qMax(MinCheckIntervalSec, m_config->get(Key::EsbHbIntervalSec).toInt());
    m_checkTimer.setSingleShot(true);
    m_checkTimer.setInterval(Utils::secondsToMsec(seconds));
}

void ESB::onConfigChanged(const QVariantMap &changes)
{
    if (!Config::contains(changes, QStringLiteral("esb\\/.+")))
        return;
    log.warn("Configuration changed. Applying.");
    initClient();
    initTimer();
    checkState();
}

void ESB::checkState()
{
    const QString configured = m_config->get(Key::EsbUrl).toString();
    if (!serverUrl(configured).isValid()) {
        // No bus configured (an empty address): the lanes go without it. Any other address
        // that is no http(s) URL with a host ("10.20.30.40:8443", a blank before the scheme)
        // fails every request, so that a passage waiting on the bus fails closed. Checks
        // resume on a change.
        m_checkTimer.stop();
        setState(namesNoServer(configured) ? Stopped : Error, QStringLiteral("Invalid URL"));
        return;
    }
    requestVersion()
        .done([this](const QJsonObject &answer) {
            setVersion(answer.value(QStringLiteral("Deployed Version")).toString());
            setLastComms(QDateTime::currentDateTime());
            setState(Online, QString());
            m_checkTimer.start();
        })
        .fail([this](const QJsonObject &) {
            setState(Error, QStringLiteral("Communication error"));
            m_checkTimer.start();
        });
}

Deferred<QJsonObject> ESB::requestVersion()
{
    return getRequest(createUrl(VersionPath));
}

QUrl ESB::createUrl(const QString &path) const
{
    return endpointUrl(m_config->get(Key::EsbUrl).toString(), path);
}

void ESB::onAuthRequired(QNetworkReply *, QAuthenticator *authenticator)
{
    answerWithUrlCredentials(m_config->get(Key::EsbUrl).toString(), authenticator);
}

Deferred<QJsonObject> ESB::getRequest(const QUrl &url)
{
    log.info("Sending ESB GET request");
    return handle(m_client.get(url, m_config->get(Key::EsbResponseTimeoutMsec).toInt()));
}

Deferred<QJsonObject> ESB::postRequest(const QUrl &url, const QJsonObject &object)
{
    log.info("Sending ESB request");
    return handle(m_client.post(url, object, m_config->get(Key::EsbResponseTimeoutMsec).toInt()));
}

Deferred<QJsonObject> ESB::handle(Deferred<int, QJsonValue> request)
{
    Deferred<QJsonObject> result;
    request
        .done([result](int, const QJsonValue &body) {
            const QJsonObject answer = body.toObject();
            log.info("Received response : ", Log::outside(Utils::jsonToText(Secrets::masked(answer))));
            result.resolve(answer);
        })
        .fail([this, result](int status, const QJsonValue &body) {
            handleErrorResponse(status, body);
            result.reject(body.toObject());
        });
    return result;
}

void ESB::handleErrorResponse(int status, const QJsonValue &body)
{
    log.error("Operation failed : (", status, ") ", Log::outside(Utils::jsonToText(Secrets::masked(body))));
}

QJsonObject ESB::toJson(const TruckAlprFront &d)
{
    return QJsonObject{
        {QStringLiteral("timestamp"), utc(d.timestamp)},
        {QStringLiteral("cardReaderId"), d.cardReaderId},
        {QStringLiteral("alprId"), d.alprId},
        {QStringLiteral("cardId"), d.cardId},
        {QStringLiteral("frontPlateNumber"), d.frontPlateNumber},
        {QStringLiteral("vehicleType"), d.vehicleType},
        {QStringLiteral("vehicleColour"), d.vehicleColour},
        {QStringLiteral("vehicleBrand"), d.vehicleBrand},
        {QStringLiteral("confidence"), d.confidence},
        {QStringLiteral("frontImages"), QJsonArray::fromStringList(d.frontImages)},
        {QStringLiteral("countryCode"), d.countryCode},
        {QStringLiteral("adrPlate"), d.adrPlate},
        {QStringLiteral("adrPlateImage"), d.adrPlateImage},
    };
}

QJsonObject ESB::toJson(const TruckAlprBack &d)
{
    return QJsonObject{
        {QStringLiteral("timestamp"), utc(d.timestamp)},
        {QStringLiteral("cardReaderId"), d.cardReaderId},
        {QStringLiteral("backAlprId"), d.backAlprId},
        {QStringLiteral("sideCcr1"), d.sideCcr1},
        {QStringLiteral("sideCcr2"), d.sideCcr2},
        {QStringLiteral("cardId"), d.cardId},
        {QStringLiteral("backPlateNumber"), d.backPlateNumber},
        {QStringLiteral("vehicleType"), d.vehicleType},
        {QStringLiteral("vehicleColour"), d.vehicleColour},
        {QStringLiteral("vehicleBrand"), d.vehicleBrand},
        {QStringLiteral("confidence"), d.confidence},
        {QStringLiteral("backImages"), QJsonArray::fromStringList(d.backImages)},
        {QStringLiteral("containerISOCode"), d.containerISOCode},
        {QStringLiteral("containerImages"), QJsonArray::fromStringList(d.containerImages)},
        {QStringLiteral("countryCode"), d.countryCode},
        {QStringLiteral("adrPlate"), d.adrPlate},
        {QStringLiteral("adrPlateImage"), d.adrPlateImage},
    };
}

QJsonObject ESB::toJson(const PermissionReq &d)
{
    return QJsonObject{
        {QStringLiteral("timestamp"), utc(d.timestamp)},
        {QStringLiteral("cardReaderId"), d.cardReaderId},
        {QStringLiteral("cardId"), d.cardId},
    };
}

namespace {

// The event id of a plate answer, or the error text of a refusal.
Deferred<QString> eventId(Deferred<QJsonObject> request)
{
    Deferred<QString> result;
    request.done([result](const QJsonObject &answer) { result.resolve(answer.value(QStringLiteral("eventId")).toString()); })
        .fail([result](const QJsonObject &body) { result.reject(body.value(QStringLiteral("error")).toString()); });
    return result;
}

} // namespace

Deferred<QString> ESB::sendAlprFront(const TruckAlprFront &data)
{
    log.info("Sending 'Truck ALPR Front' data");
    return eventId(postRequest(createUrl(FrontPath), toJson(data)));
}

Deferred<QString> ESB::sendAlprBack(const TruckAlprBack &data)
{
    log.info("Sending 'Truck ALPR Back' data");
    return eventId(postRequest(createUrl(BackPath), toJson(data)));
}

Deferred<ESB::PermissionResp> ESB::permissionRequest(const PermissionReq &data)
{
    Deferred<PermissionResp> result;
    postRequest(createUrl(PermissionPath), toJson(data))
        .done([this, result](const QJsonObject &answer) {
            const PermissionResp resp = permissionOf(answer);
            if (resp.code == QLatin1String("OPEN"))
                result.resolve(resp);
            else
                result.reject(resp);
            emit permissionResponse(resp);
        })
        .fail([this, result](const QJsonObject &) {
            const PermissionResp resp{QStringLiteral("ERROR"), QStringLiteral("Communication error"), true};
            result.reject(resp);
            emit permissionResponse(resp);
        });
    return result;
}

ESB::PermissionResp ESB::permissionOf(const QJsonObject &answer)
{
    PermissionResp resp;
    resp.code = answer.value(QStringLiteral("code")).toString();
    resp.descr = answer.value(QStringLiteral("descr")).toString();
    resp.cardReturn = answer.value(QStringLiteral("cardReturn")).toBool(false);
    return resp;
}

void ESB::setState(State state, const QString &reason)
{
    if (state == m_state && reason == m_reason)
        return;
    m_state = state;
    m_reason = reason;
    const QString reasonText = reason.isEmpty() ? QString() : QStringLiteral("(reason=%1)").arg(reason);
    log.info(QStringLiteral("State changed : (%1) %2 %3")
                 .arg(QString::number(int(state)), QMetaEnum::fromType<State>().valueToKey(state), reasonText));
    emit stateChanged();
}

void ESB::setVersion(const QString &version)
{
    if (version == m_version)
        return;
    m_version = version;
    emit versionChanged();
}

void ESB::setLastComms(const QDateTime &time)
{
    if (time == m_lastComms)
        return;
    m_lastComms = time;
    emit lastCommsChanged();
}

} // namespace Backend
