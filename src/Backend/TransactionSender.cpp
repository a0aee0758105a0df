#include "Backend/TransactionSender.h"

#include "Backend/Database.h"
#include "Common/Http/HttpClient.h"
#include "Common/Log/Log.h"
#include "Common/Utils.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace Backend {

namespace {

// The queue's lines are the card back-office client's, under its category.
ZUKA_LOG_CATEGORY(logCategory, "backend.cardbo")
const Log log("[Backend::CardBO] ", logCategory);

const int RequestTimeoutMs = 30000;

// What is kept of a transaction's answer: the object whole when it is small; of a larger
// one, its small members in order until the bound is reached.
QJsonObject keptAnswer(const QJsonValue &body)
{
    const QJsonObject answer = body.toObject();
    if (QJsonDocument(answer).toJson(QJsonDocument::Compact).size() <= TransactionSender::MaxKeptAnswerBytes)
        return answer;
    QJsonObject kept;
    int size = 2;
    for (auto it = answer.begin(); it != answer.end(); ++it) {
        const int n = QJsonDocument(QJsonObject{{it.key(), it.value()}}).toJson(QJsonDocument::Compact).size();
        if (n > TransactionSender::MaxKeptMemberBytes || size + n > TransactionSender::MaxKeptAnswerBytes)
            continue;
        kept.insert(it.key(), it.value());
        size += n;
    }
    return kept;
}

} // namespace

TransactionSender::TransactionSender(Database &database, HttpClient &client, std::function<QUrl()> url, int secondMs,
                                     QObject *parent)
    : QObject(parent)
    , m_database(database)
    , m_client(client)
    , m_url(std::move(url))
    , m_secondMs(secondMs)
{
    m_pendingTimer.setInterval(msec(PendingIntervalSec));
    connect(&m_pendingTimer, &QTimer::timeout, this, &TransactionSender::processPending);
    m_keptTimer.setSingleShot(true);
    m_keptTimer.setInterval(msec(KeptRetrySec));
    connect(&m_keptTimer, &QTimer::timeout, this, &TransactionSender::storeKept);
    // Passages that were open when the program ended: their held transactions wait for the
    // lane, which decides what became of each.
    for (const Transaction::Ptr &trans : m_database.transHeld()) {
        log.warn("Transaction of an interrupted passage : ", trans->toString());
        m_interrupted.append(trans);
        m_held.insert(trans->uuid());
    }
}

void TransactionSender::start()
{
    m_pendingTimer.start();
}

void TransactionSender::stop()
{
    m_pendingTimer.stop();
}

bool TransactionSender::shouldRetransmit(int status, const QJsonValue &)
{
    // No answer (or one too large to take), a redirect not followed, a refused key, a
    // time-out or throttling on the server's side, a server error: the back office may
    // take it later.
    return status == 0 || status == -1 || status == 401 || status == 403 || status == 408 || status == 429
           || (status >= 500 && status <= 599);
}

QDateTime TransactionSender::nextSendDate(const Transaction::Ptr &trans) const
{
    const int attempts = trans->sendDetails().attempts;
    const qint64 units = attempts <= 3 ? 60 : attempts <= 6 ? 900 : attempts <= 9 ? 3600 : 21600;
    return QDateTime::currentDateTime().addMSecs(units * m_secondMs);
}

void TransactionSender::hold(const Transaction::Ptr &trans)
{
    m_held.insert(trans->uuid());
    if (m_database.transHold(trans))
        log.info("Holding transaction : ", trans->toString());
}

TransactionSender::Write TransactionSender::write(const Transaction::Ptr &trans)
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

bool TransactionSender::store(const Transaction::Ptr &trans)
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

void TransactionSender::storeKept()
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
    processPending();
}

bool TransactionSender::isKept(const QString &uuid) const
{
    return std::any_of(m_kept.cbegin(), m_kept.cend(), [&uuid](const Transaction::Ptr &t) { return t->uuid() == uuid; });
}

void TransactionSender::send(const Transaction::Ptr &trans)
{
    if (store(trans) && !m_due.isEmpty()) {
        // A pass is running: the new row is due now, after every row of the page it sends.
        trans->sendDetails() = Transaction::SendDetails();
        trans->sendDetails().schedDate = QDateTime::currentDateTime();
        m_due.append(trans);
        ++m_dueCount;
    }
    processPending();
}

void TransactionSender::processPending()
{
    // The pass works through the rows due, earliest first, a page at a time, so that one
    // send costs the same, and the sender holds as little, however long the queue is.
    if (m_due.isEmpty()) {
        for (const Transaction::Ptr &trans : m_database.transDue(DuePageRows))
            if (!isKept(trans->uuid()))
                m_due.append(trans);
        // Counted at the start of a pass, and again only once the count falls short.
        if (m_due.isEmpty())
            m_dueCount = 0;
        else if (m_dueCount < m_due.size())
            m_dueCount = qMax(int(m_due.size()), m_database.transDueCount());
    }
    if (m_due.isEmpty() || m_sendInProgress)
        return;
    m_sendInProgress = true;
    m_pendingTimer.stop();
    const Transaction::Ptr trans = m_due.first();
    log.info(QStringLiteral("Sending transaction (remaining=%1) : %2")
                 .arg(m_dueCount - 1)
                 .arg(Log::outside(trans->toString())));
    transmit(trans).doneZero([this, trans]() {
        m_due.removeOne(trans);
        m_dueCount = qMax(0, m_dueCount - 1);
        m_sendInProgress = false;
        m_pendingTimer.start(msec(PendingIntervalSec));
        // From the event loop: a send that fails at once must not nest the next one.
        QMetaObject::invokeMethod(this, &TransactionSender::processPending, Qt::QueuedConnection);
    });
}

Deferred<> TransactionSender::transmit(const Transaction::Ptr &trans)
{
    Deferred<> done;
    auto call = m_client.post(m_url(), trans->toJson(), RequestTimeoutMs);
    call.done([this, trans, done](int status, const QJsonValue &body) {
        handleAnswer(trans, status, body);
        done.resolve();
    });
    call.fail([this, trans, done](int status, const QJsonValue &body) {
        handleAnswer(trans, status, body);
        done.resolve();
    });
    return done;
}

void TransactionSender::handleAnswer(const Transaction::Ptr &trans, int status, const QJsonValue &body)
{
    using Status = Transaction::SendStatus;
    Transaction::SendDetails &d = trans->sendDetails();
    d.status = Status::Pending;
    d.date = QDateTime::currentDateTime();
    d.attempts += 1;
    QJsonValue answer = body;
    const QJsonValue named = body.toObject().value(QStringLiteral("transactionUid"));
    if (status >= 200 && status <= 299 && named.isString() && named.toString() != trans->uuid()) {
        // The answer to another request (a server that answered one twice): every later
        // answer on that connection would be one behind. This one's answer is lost with it.
        m_client.closeIdleConnections();
        status = 0;
        answer = QStringLiteral("Answer names another transaction : ") + Utils::jsonToText(named);
    }
    d.respStatus = status;
    d.respData = keptAnswer(answer);
    if (status >= 200 && status <= 299) {
        // Any success: the back office has the transaction (204 has no body to keep).
        d.status = Status::Ok;
        d.schedDate = QDateTime();
        log.info("Transaction sent successfully : ", Log::outside(trans->toString()));
    } else {
        emit failed(status, answer);
        if (shouldRetransmit(status, answer)) {
            d.schedDate = nextSendDate(trans);
            log.info(QStringLiteral("Scheduling re-transmit at %1 (attempts=%2) : %3")
                         .arg(Utils::isoText(d.schedDate))
                         .arg(d.attempts)
                         .arg(Log::outside(trans->toString())));
        } else {
            d.status = Status::Failed;
            d.schedDate = QDateTime();
            log.warn("Transaction will not be re-transmitted : ", Log::outside(trans->toString()));
        }
    }
    store(trans);
}

} // namespace Backend
