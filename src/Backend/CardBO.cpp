#include "Backend/CardBO.h"

#include "Backend/BlacklistUpdate.h"
#include "Backend/Database.h"
#include "Backend/LaneView.h"
#include "Backend/ServerUrl.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Log.h"
#include "Common/Utils.h"
#include "Common/Secrets.h"

#include <QJsonObject>

namespace Backend {

namespace {

ZUKA_LOG_CATEGORY(logCategory, "backend.cardbo")
const Log log("[Backend::CardBO] ", logCategory);

const QString RegisterPath = QStringLiteral("/api/v1/device/register");
const QString UpdateDataPath = QStringLiteral("/api/v1/device/updateData");
const QString HeartbeatPath = QStringLiteral("/api/v1/device/heartbeat");
const QString BlacklistPath = QStringLiteral("/api/v1/device/blacklist");
const QString TransactionPath = QStringLiteral("/api/v1/device/transaction");
const QString CommandStatusPath = QStringLiteral("/api/v1/device/command/status");
const QString OperationStatusPath = QStringLiteral("/api/v1/device/operation/status");

const QString ApiKey = QStringLiteral("apiKey");
const QString BlacklistVer = QStringLiteral("blacklistVer");

QList<Database::DataRecord> parseData(const QJsonArray &array)
{
    QList<Database::DataRecord> records;
    for (const QJsonValue &v : array) {
        const QJsonObject o = v.toObject();
        Database::DataRecord r;
        r.id = o.value(QStringLiteral("id")).toVariant().toInt();
        r.name = o.value(QStringLiteral("name")).toString();
        r.uuid = o.value(QStringLiteral("uuid")).toString();
        records.append(r);
    }
    return records;
}

} // namespace

CardBO::CardBO(Config &config, Database &database, LaneView &lane, QObject *parent, Timing timing)
    : QObject(parent)
    , m_config(config)
    , m_database(database)
    , m_lane(lane)
    , m_timing(timing)
    , m_report(config, database, lane)
    , m_sender(database, m_client, [this] { return createUrl(TransactionPath); }, timing.secondMs)
{
    qRegisterMetaType<Backend::Transaction::Ptr>();
    connect(&m_database, &Database::paramChanged, this, &CardBO::onParamChanged);
    connect(&m_config, &Config::configChanged, this, &CardBO::onConfigChanged);
    initClient(m_client);
    m_tickTimer.setSingleShot(true);
    m_tickTimer.setInterval(msec(FirstTickSec));
    connect(&m_tickTimer, &QTimer::timeout, this, &CardBO::onTick);
    connect(&m_sender, &TransactionSender::failed, this, &CardBO::handleErrorResponse);
}

CardBO::~CardBO() = default;

QString CardBO::stateToStr(int state)
{
    switch (state) {
    case Init: return QStringLiteral("Init");
    case NotRegistered: return QStringLiteral("Not Registered");
    case Online: return QStringLiteral("Online");
    case Error: return QStringLiteral("Error");
    case Stopped: return QStringLiteral("Stopped");
    case Disabled: return QStringLiteral("Disabled");
    default: return QStringLiteral("Unknown");
    }
}

QString CardBO::blacklistVer() const
{
    return m_database.param(BlacklistVer).toString();
}

void CardBO::initClient(HttpClient &client) const
{
    client.setIgnoreSslErrors(m_config.get(Key::CardBoIgnoreSslErrors).toBool());
    // An empty file name configures nothing (plain HTTP needs no certificates).
    const QString rootCA = m_config.get(Key::CardBoRootCA).toString();
    const QString cert = m_config.get(Key::CardBoPubCert).toString();
    const QString privKey = m_config.get(Key::CardBoPrivKey).toString();
    if (!rootCA.isEmpty())
        client.setTLSRootCA(rootCA);
    if (!cert.isEmpty())
        client.setTLSCert(cert);
    if (!privKey.isEmpty())
        client.setTLSKey(privKey);
    // The API key and the transactions go to the configured server only.
    client.setSameOriginRedirects(true);
    client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
    client.setHeader(QStringLiteral("User-Agent"), QStringLiteral("zuka/terminal"));
    client.setHeader(QStringLiteral("Connection"), QStringLiteral("keep-alive"));
    const QString key = m_database.param(ApiKey).toString();
    if (!key.isEmpty())
        client.setHeader(QStringLiteral("X-API-Key"), key);
}

// --- Life cycle and state -----------------------------------------------------------

void CardBO::start()
{
    if (m_tickTimer.isActive())
        return;
    log.info("Starting Card BO engine");
    setState(Init, QStringLiteral("User request"));
    m_tickTimer.start();
    m_sender.start();
}

void CardBO::stop()
{
    if (!m_tickTimer.isActive())
        return;
    log.info("Stopping Card BO engine");
    m_tickTimer.stop();
    m_sender.stop();
    setState(Stopped, QStringLiteral("User request"));
}

void CardBO::setState(State state, const QString &reason)
{
    if (state == m_state && reason == m_reason)
        return;
    m_state = state;
    m_reason = reason;
    const QString reasonText = reason.isEmpty() ? QString() : QStringLiteral("(reason=%1)").arg(reason);
    log.info(QStringLiteral("State changed : (%1) %2 %3").arg(int(state)).arg(stateToStr(state), reasonText));
    emit stateChanged();
}

void CardBO::updateLastComms()
{
    const QDateTime now = QDateTime::currentDateTime();
    if (now == m_lastComms)
        return;
    m_lastComms = now;
    emit lastCommsChanged();
}

// The heartbeat period in force: a configured 0 or less means the default 30 s.
int CardBO::hbIntervalSec() const
{
    const int seconds = m_config.get(Key::CardBoHbIntervalSec).toInt();
    return seconds > 0 ? seconds : DefaultHbIntervalSec;
}

bool CardBO::hasLostComms() const
{
    if (!m_lastComms.isValid())
        return false;
    return QDateTime::currentDateTime() >= m_lastComms.addMSecs(3 * qint64(msec(hbIntervalSec())));
}

void CardBO::onTick()
{
    int next = msec(SlowTickSec);
    switch (m_state) {
    case Init:
        processStateInit();
        break;
    case NotRegistered:
        processStateNotRegistered();
        break;
    case Online:
        processStateOnline();
        next = msec(hbIntervalSec());
        break;
    case Error:
        setState(Init, QStringLiteral("Recovering from error"));
        next = msec(RecoverTickSec);
        break;
    case Disabled:
        processStateOnline();
        break;
    case Stopped:
        break;
    }
    // An action may have stopped the client (a slot run by a signal): stay stopped then.
    if (m_state != Stopped) {
        m_tickTimer.setInterval(next);
        m_tickTimer.start();
    }
}

bool CardBO::checkTerminalRegistered()
{
    if (!m_database.param(ApiKey).toString().isEmpty())
        return true;
    log.warn("API key is missing. Terminal is not registered.");
    setState(NotRegistered, QStringLiteral("Missing API key"));
    return false;
}

bool CardBO::checkTerminalReady()
{
    if (m_lane.serialNum().isEmpty()) {
        log.error("Device ID is empty");
        setState(Error, QStringLiteral("Missing Device ID"));
        return false;
    }
    if (m_lane.customsId().isEmpty()) {
        log.error("Customs ID is empty");
        setState(Error, QStringLiteral("Missing Customs ID"));
        return false;
    }
    if (m_lane.locationId().isEmpty()) {
        log.error("Location ID is empty");
        setState(Error, QStringLiteral("Missing Location ID"));
        return false;
    }
    return true;
}

void CardBO::processStateInit()
{
    if (!checkTerminalRegistered() || !checkTerminalReady())
        return;
    log.info("Updating Data for terminal : ", m_lane.serialNum());
    updateData().done([this](const QJsonValue &) {
        heartbeat().done([this](const QJsonValue &) { setState(Online, QString()); });
    });
}

void CardBO::processStateNotRegistered()
{
    registerDevice().done([this](const QJsonValue &) { setState(Init, QString()); });
}

void CardBO::processStateOnline()
{
    if (!checkTerminalReady())
        return;
    heartbeat()
        .done([this](const QJsonValue &) { setState(Online, QString()); })
        .fail([this](const QJsonValue &) {
            if (m_state == Stopped || m_state == Disabled)
                return;
            if (hasLostComms())
                setState(Error, QStringLiteral("Communication error"));
        });
}

// --- Requests -----------------------------------------------------------------------

QUrl CardBO::createUrl(const QString &path, const QUrlQuery &query) const
{
    QUrl url = serverUrl(m_config.get(Key::CardBoUrl).toString());
    if (!url.isValid())
        return url; // stays invalid: a new path would make it look valid
    url.setPath(path);
    if (!query.isEmpty())
        url.setQuery(query);
    return url;
}

Deferred<QJsonValue> CardBO::request(Deferred<int, QJsonValue> call, std::function<void(int, QJsonValue)> onDone)
{
    Deferred<QJsonValue> result;
    call.done([this, result, onDone](int status, const QJsonValue &body) {
        if (m_state == Stopped) { // the client was stopped meanwhile: the answer moves nothing
            result.reject(body);
            return;
        }
        onDone(status, body);
        result.resolve(body);
    });
    call.fail([this, result](int status, const QJsonValue &body) {
        handleErrorResponse(status, body);
        result.reject(body);
    });
    return result;
}

Deferred<QJsonValue> CardBO::registerDevice()
{
    const QJsonObject body{{QStringLiteral("serialNumber"), m_lane.serialNum()},
                           {QStringLiteral("type"), m_lane.type()},
                           {QStringLiteral("name"), QJsonValue::Null},
                           {QStringLiteral("customsId"), m_lane.customsId()},
                           {QStringLiteral("locationId"), m_lane.locationId()}};
    return request(m_client.post(createUrl(RegisterPath), body, RequestTimeoutMs),
                   [this](int, const QJsonValue &answer) { handleRegisterResponse(answer); });
}

Deferred<QJsonValue> CardBO::updateData()
{
    return request(m_client.get(createUrl(UpdateDataPath), RequestTimeoutMs),
                   [this](int status, const QJsonValue &answer) { handleUpdateDataResponse(status, answer); });
}

Deferred<QJsonValue> CardBO::heartbeat()
{
    return request(m_client.post(createUrl(HeartbeatPath), m_report.body(), RequestTimeoutMs),
                   [this](int status, const QJsonValue &answer) { handleHeartbeatResponse(status, answer); });
}

void CardBO::updateBlacklist(const QString &after)
{
    QUrlQuery query;
    if (!after.isEmpty())
        query.addQueryItem(QStringLiteral("after"), after);
    // A client of the update's own, as this one is, for the worker that fetches the list.
    auto *client = new HttpClient;
    initClient(*client);
    client->setMaxAnswerBytes(MaxBlacklistAnswerBytes);
    m_blacklistTime.start();
    m_blacklist = new BlacklistUpdate(m_database, client, createUrl(BlacklistPath, query), RequestTimeoutMs, this);
    connect(m_blacklist, &BlacklistUpdate::failed, this, [this](int status, const QJsonValue &body) {
        handleErrorResponse(status, body);
        endBlacklistUpdate();
    });
    connect(m_blacklist, &BlacklistUpdate::received, this, &CardBO::handleBlacklistResponse);
    connect(m_blacklist, &BlacklistUpdate::applied, this, [this, after](bool ok, int uids) {
        if (ok) {
            m_database.setParam(BlacklistVer, after);
            log.info(QStringLiteral("Blacklist %1 applied : %2 uids in %3 ms")
                         .arg(Log::outside(after))
                         .arg(uids)
                         .arg(m_blacklistTime.elapsed()));
        } else {
            log.error("Blacklist ", Log::outside(after), " not applied: fetched again at the next heartbeat");
        }
        endBlacklistUpdate();
    });
}

void CardBO::endBlacklistUpdate()
{
    m_blacklist->deleteLater();
    m_blacklist = nullptr;
}

void CardBO::sendCommandResult(QString id, QString command, bool result, QString error)
{
    log.info(QStringLiteral("Sending command status : id=%1 command=%2, result=%3, error=%4")
                 .arg(Log::outside(id), Log::outside(command), result ? QStringLiteral("OK") : QStringLiteral("FAILED"),
                      Log::outside(error)));
    const QJsonObject body{{QStringLiteral("id"), id},
                           {QStringLiteral("command"), command},
                           {QStringLiteral("result"), result},
                           {QStringLiteral("error"), error},
                           {QStringLiteral("executedAt"), QDateTime::currentDateTime().toOffsetFromUtc(
                                                              QDateTime::currentDateTime().offsetFromUtc())
                                                              .toString(Qt::ISODate)}};
    m_client.post(createUrl(CommandStatusPath), body, RequestTimeoutMs)
        .fail([this](int status, const QJsonValue &answer) { handleErrorResponse(status, answer); });
}

void CardBO::sendCommandResult(QString id, QString command, bool result)
{
    sendCommandResult(id, command, result, QString());
}

void CardBO::sendProgress(QString operation, int progress)
{
    log.info(QStringLiteral("Sending progress : [%1%] %2").arg(progress).arg(operation));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("progress"), QString::number(progress));
    query.addQueryItem(QStringLiteral("operation"), operation);
    request(m_client.put(createUrl(OperationStatusPath, query), QJsonValue(), RequestTimeoutMs),
            [](int, const QJsonValue &) {});
}

void CardBO::clearProgress()
{
    request(m_client.del(createUrl(OperationStatusPath), RequestTimeoutMs), [](int, const QJsonValue &) {});
}

// --- Answers ------------------------------------------------------------------------

void CardBO::handleErrorResponse(int status, const QJsonValue &body)
{
    log.error("Operation failed : (", status, ") ", Log::outside(Utils::jsonToText(Secrets::masked(body))));
    if (m_state == Stopped)
        return;
    if (body.toObject().value(QStringLiteral("errorCode")).toString() == QLatin1String("DEVICE_DISABLED"))
        setState(Disabled, QStringLiteral("Terminal disabled from BO"));
}

void CardBO::handleRegisterResponse(const QJsonValue &body)
{
    const QJsonObject answer = body.toObject();
    log.info("+-------------------------------+");
    log.info("|      TERMINAL REGISTERED      |");
    log.info("+-------------------------------+");
    m_database.setParam(QStringLiteral("id"), answer.value(QStringLiteral("id")).toVariant().toString());
    m_database.setParam(ApiKey, answer.value(ApiKey).toVariant().toString());
}

void CardBO::handleUpdateDataResponse(int status, const QJsonValue &body)
{
    log.info("UpdateData response received : status=", status);
    const QJsonObject answer = body.toObject();
    if (answer.value(QStringLiteral("customs")).isArray())
        m_database.setCustoms(parseData(answer.value(QStringLiteral("customs")).toArray()));
    if (answer.value(QStringLiteral("locations")).isArray())
        m_database.setLocations(parseData(answer.value(QStringLiteral("locations")).toArray()));
}

void CardBO::handleHeartbeatResponse(int status, const QJsonValue &body)
{
    const QJsonObject answer = body.toObject();
    // A pushed configuration may carry secrets: shown masked.
    log.info("Heartbeat response received : status=", status,
             Log::outside(Utils::jsonToText(Secrets::masked(QJsonValue(answer)))));

    const QString blacklist = answer.value(QStringLiteral("blacklistVersion")).toString();
    // (While a list is being applied, the next answer after it announces a later one again.)
    if (!blacklist.isEmpty() && blacklist != blacklistVer() && !m_blacklist) {
        log.warn(QStringLiteral("New blacklist version available : %1 ").arg(Log::outside(blacklist)));
        updateBlacklist(blacklist);
    }

    const QString software = answer.value(QStringLiteral("softwareVersion")).toString();
    if (!software.isEmpty() && software != m_lane.softwareVersion()) {
        log.warn("New software version available : ", Log::outside(software));
        m_lane.installSoftware(software, answer.value(QStringLiteral("softwareUrl")).toString(),
                               answer.value(QStringLiteral("softwareMd5")).toString());
    }

    const QDateTime backend = QDateTime::fromString(answer.value(QStringLiteral("configUpdatedAt")).toString(), Qt::ISODate);
    const QDateTime local = m_config.lastModified();
    if (backend.isValid() && local.toUTC() < backend.toUTC()) {
        log.warn(QStringLiteral("New configuration received (backend=%1, local=%2)")
                     .arg(backend.toLocalTime().toString(Qt::ISODate), local.toString(Qt::ISODate)));
        applyConfig(answer.value(QStringLiteral("config")).toArray());
    }

    for (const QJsonValue &v : answer.value(QStringLiteral("commands")).toArray()) {
        const QString id = v.toObject().value(QStringLiteral("id")).toString();
        const QString command = v.toObject().value(QStringLiteral("command")).toString();
        log.info("Received command : id=", Log::outside(id), " command=", Log::outside(command));
        emit commandReceived(id, command);
    }

    updateLastComms();
}

void CardBO::applyConfig(const QJsonArray &config)
{
    for (const QJsonValue &v : config) {
        const QJsonObject item = v.toObject();
        m_config.set(item.value(QStringLiteral("name")).toString(), item.value(QStringLiteral("value")).toVariant());
    }
}

// The answer in (read on the update's worker): its uids go to the store a slice at a time,
// and its version once they are all in.
void CardBO::handleBlacklistResponse(int status, int added, int removed)
{
    if (m_state == Stopped) { // the client was stopped meanwhile: the answer moves nothing
        endBlacklistUpdate();
        return;
    }
    log.info("Update Blacklist response received : status=", status, " (", added, " uids added, ", removed, " removed)");
    m_blacklist->apply();
}

void CardBO::onParamChanged(const QString &key, const QVariant &value)
{
    if (key == ApiKey) {
        log.warn("API Key changed");
        m_client.setHeader(QStringLiteral("X-API-Key"), value.toString());
    } else if (key == BlacklistVer) {
        log.info("New blacklist avaliable : ", Log::outside(value.toString()));
    }
}

void CardBO::onConfigChanged(const QVariantMap &changes)
{
    if (!Config::contains(changes, QStringLiteral("card-bo\\/.+")))
        return;
    log.warn("Configuration changed. Applying.");
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        log.info("  ", it.key(), " : ", Secrets::maskedText(it.key(), it.value()));
    initClient(m_client);
}

// --- Transactions -------------------------------------------------------------------

void CardBO::holdTransaction(Transaction::Ptr trans)
{
    if (trans)
        m_sender.hold(trans);
}

void CardBO::sendTransaction(Transaction::Ptr trans)
{
    if (trans)
        m_sender.send(trans);
    else
        m_sender.processPending();
}

void CardBO::processPendingTransactions()
{
    m_sender.processPending();
}

} // namespace Backend
