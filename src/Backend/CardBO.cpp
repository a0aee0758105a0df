#include "Backend/CardBO.h"

#include "Backend/Database.h"
#include "Backend/LaneView.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log.h"
#include "Common/Utils.h"
#include "Common/Secrets.h"
#include "Models/IPv4.h"

#include <QJsonDocument>
#include <QMetaEnum>
#include <QRegularExpression>

#include <algorithm>

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

// The configuration keys the heartbeat reports.
const QStringList WantedList = {QStringLiteral("barrier\\/.+"), QStringLiteral("cameras\\/.+"),
                                QRegularExpression::escape(Key::CardBoHbIntervalSec),
                                QRegularExpression::escape(Key::CardBoHbPolicy),
                                QRegularExpression::escape(Key::TerminalCollectTimeoutSec)};

QString utcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

// What is kept of a transaction's answer: the object whole when it is small; of a larger
// one, its small members in order until the bound is reached.
QJsonObject keptAnswer(const QJsonValue &body)
{
    const QJsonObject answer = body.toObject();
    if (QJsonDocument(answer).toJson(QJsonDocument::Compact).size() <= CardBO::MaxKeptAnswerBytes)
        return answer;
    QJsonObject kept;
    int size = 2;
    for (auto it = answer.begin(); it != answer.end(); ++it) {
        const int n = QJsonDocument(QJsonObject{{it.key(), it.value()}}).toJson(QJsonDocument::Compact).size();
        if (n > CardBO::MaxKeptMemberBytes || size + n > CardBO::MaxKeptAnswerBytes)
            continue;
        kept.insert(it.key(), it.value());
        size += n;
    }
    return kept;
}

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
{
    qRegisterMetaType<Backend::Transaction::Ptr>();
    connect(&m_database, &Database::paramChanged, this, &CardBO::onParamChanged);
    connect(&m_config, &Config::configChanged, this, &CardBO::onConfigChanged);
    initClient();
    m_tickTimer.setSingleShot(true);
    m_tickTimer.setInterval(msec(FirstTickSec));
    m_pendingTimer.setInterval(msec(PendingIntervalSec));
    connect(&m_tickTimer, &QTimer::timeout, this, &CardBO::onTick);
    connect(&m_pendingTimer, &QTimer::timeout, this, &CardBO::processPendingTransactions);
    m_keptTimer.setSingleShot(true);
    m_keptTimer.setInterval(msec(RecoverTickSec));
    connect(&m_keptTimer, &QTimer::timeout, this, &CardBO::storeKept);
    // Passages that were open when the program ended: their held transactions go as
    // they were last written.
    for (const Transaction::Ptr &trans : m_database.transHeld()) {
        log.warn("Completing the transaction of an interrupted passage : ", trans->toString());
        m_held.insert(trans->uuid());
        store(trans);
    }
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

void CardBO::initClient()
{
    m_client.setIgnoreSslErrors(m_config.get(Key::CardBoIgnoreSslErrors).toBool());
    // An empty file name configures nothing (plain HTTP needs no certificates).
    const QString rootCA = m_config.get(Key::CardBoRootCA).toString();
    const QString cert = m_config.get(Key::CardBoPubCert).toString();
    const QString privKey = m_config.get(Key::CardBoPrivKey).toString();
    if (!rootCA.isEmpty())
        m_client.setTLSRootCA(rootCA);
    if (!cert.isEmpty())
        m_client.setTLSCert(cert);
    if (!privKey.isEmpty())
        m_client.setTLSKey(privKey);
    // The API key and the transactions go to the configured server only.
    m_client.setSameOriginRedirects(true);
    m_client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
    m_client.setHeader(QStringLiteral("User-Agent"), QStringLiteral("zuka/terminal"));
    m_client.setHeader(QStringLiteral("Connection"), QStringLiteral("keep-alive"));
    const QString key = m_database.param(ApiKey).toString();
    if (!key.isEmpty())
        m_client.setHeader(QStringLiteral("X-API-Key"), key);
}

// --- Life cycle and state -----------------------------------------------------------

void CardBO::start()
{
    if (m_tickTimer.isActive())
        return;
    log.info("Starting Card BO engine");
    setState(Init, QStringLiteral("User request"));
    m_tickTimer.start();
    m_pendingTimer.start();
}

void CardBO::stop()
{
    if (!m_tickTimer.isActive())
        return;
    log.info("Stopping Card BO engine");
    m_tickTimer.stop();
    m_pendingTimer.stop();
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
    QUrl url(m_config.get(Key::CardBoUrl).toString());
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
    return request(m_client.post(createUrl(HeartbeatPath), heartbeatBody(), RequestTimeoutMs),
                   [this](int status, const QJsonValue &answer) { handleHeartbeatResponse(status, answer); });
}

Deferred<QJsonValue> CardBO::updateBlacklist(const QString &after)
{
    QUrlQuery query;
    if (!after.isEmpty())
        query.addQueryItem(QStringLiteral("after"), after);
    return request(m_client.get(createUrl(BlacklistPath, query), RequestTimeoutMs),
                   [this, after](int status, const QJsonValue &answer) { handleBlacklistResponse(after, status, answer); });
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
    if (!blacklist.isEmpty() && blacklist != blacklistVer()) {
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

void CardBO::handleBlacklistResponse(const QString &version, int status, const QJsonValue &body)
{
    const QJsonObject answer = body.toObject();
    log.info("Update Blacklist response received : status=", status, Log::outside(Utils::jsonToText(answer)));
    for (const QJsonValue &uid : answer.value(QStringLiteral("added")).toArray())
        if (!m_database.isBlacklisted(uid.toString()))
            m_database.blacklistAdd(uid.toString());
    for (const QJsonValue &uid : answer.value(QStringLiteral("removed")).toArray())
        m_database.blacklistRemove(uid.toString());
    m_database.setParam(BlacklistVer, version);
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
    initClient();
}

// --- Heartbeat body -----------------------------------------------------------------

QJsonObject CardBO::heartbeatBody() const
{
    const QDateTime modified = m_config.lastModified();
    return QJsonObject{
        {QStringLiteral("reportTime"), utcNow()},
        {QStringLiteral("deviceSerial"), m_lane.serialNum()},
        {QStringLiteral("softwareVersion"), m_lane.softwareVersion()},
        {QStringLiteral("blacklistVersion"), blacklistVer()},
        {QStringLiteral("cardLevel"), m_lane.cardLevel()},
        {QStringLiteral("pendingTransactions"), m_database.transCount(QStringLiteral("PENDING"))},
        {QStringLiteral("uptimeSec"), m_lane.uptime()},
        {QStringLiteral("network"), networkToJson()},
        {QStringLiteral("status"), statusToJson()},
        {QStringLiteral("config"), configToJson()},
        {QStringLiteral("configUpdatedAt"), modified.isValid() ? modified.toUTC().toString(Qt::ISODate) : QString()},
    };
}

QJsonObject CardBO::networkToJson() const
{
    const IPv4 *ip = m_lane.ipv4();
    const QString empty;
    return QJsonObject{{QStringLiteral("ipv4"), ip ? ip->address() : empty},
                       {QStringLiteral("gway"), ip ? ip->gateway() : empty},
                       {QStringLiteral("dns"), QJsonArray{ip ? ip->dns0() : empty, ip ? ip->dns1() : empty}}};
}

QJsonArray CardBO::statusToJson() const
{
    auto entry = [](const QString &name, const QString &status, const QString &text) {
        return QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("status"), status},
                           {QStringLiteral("statusText"), text}};
    };
    const QString ok = QStringLiteral("OK");
    const QString error = QStringLiteral("ERROR");
    QJsonArray list;
    list.append(entry(QStringLiteral("RFID"), m_lane.rfidActive() ? ok : error,
                      m_lane.rfidActive() ? ok : m_lane.rfidError()));
    list.append(entry(QStringLiteral("Dispenser"), m_lane.dispenserActive() ? ok : error,
                      m_lane.dispenserActive() ? ok : QStringLiteral("Dispenser is inactive")));
    list.append(entry(QStringLiteral("Barrier"), m_lane.barrierActive() ? ok : error,
                      m_lane.barrierActive() ? ok : m_lane.barrierReason()));
    list.append(entry(QStringLiteral("NTP"), m_lane.clockSynced() ? ok : QStringLiteral("WARNING"),
                      m_lane.clockSynced() ? ok : QStringLiteral("Clock not synchronized")));
    for (const LaneView::Camera &camera : m_lane.cameraStatus()) {
        const bool on = camera.status == QLatin1String("ON");
        list.append(entry(camera.role.toUpper(), on ? ok : error, on ? ok : QStringLiteral("Camera disconnected")));
    }
    return list;
}

bool CardBO::shouldExclude(const QString &key)
{
    for (const QString &pattern : WantedList)
        if (QRegularExpression(pattern).match(key).hasMatch())
            return false;
    return true;
}

QString CardBO::mapType(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QUrl: return QStringLiteral("URL");
    case QMetaType::QString:
    case QMetaType::Bool: return QStringLiteral("STR");
    case QMetaType::QStringList: return QStringLiteral("CSV");
    default: return QStringLiteral("NUM");
    }
}

QJsonArray CardBO::configToJson() const
{
    QJsonArray list;
    QStringList keys = m_config.keys();
    keys.sort();
    for (const QString &key : keys) {
        if (shouldExclude(key))
            continue;
        const QVariant value = m_config.get(key);
        list.append(QJsonObject{{QStringLiteral("name"), key},
                                {QStringLiteral("type"), mapType(value)},
                                {QStringLiteral("value"), QJsonValue::fromVariant(value)}});
    }
    return list;
}

// --- Transactions -------------------------------------------------------------------

bool CardBO::shouldRetransmit(int status, const QJsonValue &)
{
    // No answer (or one too large to take), a redirect not followed, a refused key, a
    // time-out or throttling on the server's side, a server error: the back office may
    // take it later.
    return status == 0 || status == -1 || status == 401 || status == 403 || status == 408 || status == 429
           || (status >= 500 && status <= 599);
}

QDateTime CardBO::nextSendDate(const Transaction::Ptr &trans) const
{
    const int attempts = trans->sendDetails().attempts;
    const qint64 units = attempts <= 3 ? 60 : attempts <= 6 ? 900 : attempts <= 9 ? 3600 : 21600;
    return QDateTime::currentDateTime().addMSecs(units * m_timing.secondMs);
}

void CardBO::holdTransaction(Transaction::Ptr trans)
{
    if (!trans)
        return;
    m_held.insert(trans->uuid());
    if (m_database.transHold(trans))
        log.info("Holding transaction : ", trans->toString());
}

CardBO::Write CardBO::write(const Transaction::Ptr &trans)
{
    const QString uuid = trans->uuid();
    const bool sent = trans->sendDetails().attempts > 0;
    const bool held = m_held.contains(uuid);
    const bool written = sent ? m_database.transUpdate(trans)
                              : held ? m_database.transRelease(trans) : m_database.transAdd(trans);
    if (written) {
        m_held.remove(uuid);
        return Write::Written;
    }
    // A uuid already stored is refused for good (the database layer logged it).
    if (!sent && !held && m_database.transExists(uuid))
        return Write::Refused;
    return Write::Failed;
}

bool CardBO::store(const Transaction::Ptr &trans)
{
    const Write result = write(trans);
    if (result != Write::Failed)
        return result == Write::Written;
    log.error("Could not store transaction, kept until it can be : ", trans->toString());
    m_kept.append(trans);
    if (!m_keptTimer.isActive())
        m_keptTimer.start();
    return false;
}

void CardBO::storeKept()
{
    while (!m_kept.isEmpty()) {
        const Write result = write(m_kept.first());
        if (result == Write::Failed) {
            m_keptTimer.start();
            return;
        }
        const Transaction::Ptr trans = m_kept.takeFirst();
        if (result == Write::Written)
            log.info("Transaction stored : ", trans->toString());
    }
    processPendingTransactions();
}

bool CardBO::isKept(const QString &uuid) const
{
    return std::any_of(m_kept.cbegin(), m_kept.cend(), [&uuid](const Transaction::Ptr &t) { return t->uuid() == uuid; });
}

void CardBO::sendTransaction(Transaction::Ptr trans)
{
    if (trans && store(trans) && !m_due.isEmpty()) {
        // A pass is running: the new row is due now, after every row the pass holds.
        trans->sendDetails() = Transaction::SendDetails();
        trans->sendDetails().schedDate = QDateTime::currentDateTime();
        m_due.append(trans);
    }
    processPendingTransactions();
}

void CardBO::processPendingTransactions()
{
    // The pass works through the rows due at its start, earliest first, and reads the
    // table again only when it has sent them all, so that one send costs the same
    // however long the queue is.
    if (m_due.isEmpty()) {
        // A row whose last send result is not written yet waits for it: sent again now,
        // the back office would count it twice.
        const QList<Transaction::Ptr> due = m_database.transDueForSend();
        for (auto it = due.crbegin(); it != due.crend(); ++it)
            if (!isKept((*it)->uuid()))
                m_due.append(*it);
    }
    if (m_due.isEmpty())
        return;
    if (!m_sendLock.tryLock())
        return;
    m_pendingTimer.stop();
    const Transaction::Ptr trans = m_due.first();
    log.info(QStringLiteral("Sending transaction (remaining=%1) : %2")
                 .arg(m_due.size() - 1)
                 .arg(Log::outside(trans->toString())));
    transmitTransaction(trans).doneZero([this, trans]() {
        m_due.removeOne(trans);
        m_sendLock.unlock();
        m_pendingTimer.start(msec(PendingIntervalSec));
        // From the event loop: a send that fails at once must not nest the next one.
        QMetaObject::invokeMethod(this, &CardBO::processPendingTransactions, Qt::QueuedConnection);
    });
}

Deferred<> CardBO::transmitTransaction(Transaction::Ptr trans)
{
    Deferred<> done;
    auto call = m_client.post(createUrl(TransactionPath), trans->toJson(), RequestTimeoutMs);
    call.done([this, trans, done](int status, const QJsonValue &body) {
        handleTransResponse(trans, status, body);
        done.resolve();
    });
    call.fail([this, trans, done](int status, const QJsonValue &body) {
        handleTransResponse(trans, status, body);
        done.resolve();
    });
    return done;
}

void CardBO::handleTransResponse(const Transaction::Ptr &trans, int status, const QJsonValue &body)
{
    Transaction::SendDetails &d = trans->sendDetails();
    d.status = QStringLiteral("PENDING");
    d.date = QDateTime::currentDateTime();
    d.attempts += 1;
    d.respStatus = status;
    d.respData = keptAnswer(body);
    if (status >= 200 && status <= 299) {
        // Any success: the back office has the transaction (204 has no body to keep).
        d.status = QStringLiteral("OK");
        d.schedDate = QDateTime();
        log.info("Transaction sent successfully : ", Log::outside(trans->toString()));
    } else {
        handleErrorResponse(status, body);
        if (shouldRetransmit(status, body)) {
            d.schedDate = nextSendDate(trans);
            log.info(QStringLiteral("Scheduling re-transmit at %1 (attempts=%2) : %3")
                         .arg(d.schedDate.toString(Qt::ISODate))
                         .arg(d.attempts)
                         .arg(Log::outside(trans->toString())));
        } else {
            d.status = QStringLiteral("FAILED");
            d.schedDate = QDateTime();
            log.warn("Transaction will not be re-transmitted : ", Log::outside(trans->toString()));
        }
    }
    store(trans);
}

} // namespace Backend
