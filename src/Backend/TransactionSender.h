#pragma once
// The card back office's store-and-forward queue: every transaction of the lane is
// written to the store before it is sent, sent one at a time (the rows due earliest
// first, a new one after them), and its send's result written back; failures are sent
// again on a schedule that stretches with the attempts. What the store cannot take (a
// full disk) is kept in memory and written once it can be.
#include "Backend/Transaction.h"
#include "Deferred/Deferred.h"

#include <QDateTime>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <functional>

class HttpClient;

namespace Backend {

class Database;

class TransactionSender : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TransactionSender)

public:
    // Periods in the sender's seconds.
    static constexpr int PendingIntervalSec = 120; // the due rows looked for again
    static constexpr int KeptRetrySec = 5;         // a store that took no write tried again
    // What a transaction's row keeps of the back office's answer (respData), in bytes of
    // compact JSON: a larger answer keeps its members of at most MaxKeptMemberBytes.
    static constexpr int MaxKeptAnswerBytes = 16 * 1024;
    static constexpr int MaxKeptMemberBytes = 1024;
    // The due rows a pass reads at a time, earliest first.
    static constexpr int DuePageRows = 100;

    // Sends through the client to the address url() gives at each send; secondMs is the
    // length of its second (the system's 1000 ms, shorter in tests). Held rows left by a
    // process that ended stay held for the lane, which completes them (interrupted()).
    TransactionSender(Database &database, HttpClient &client, std::function<QUrl()> url, int secondMs,
                      QObject *parent = nullptr);

    // Whether an answer leaves the transaction to be sent again.
    static bool shouldRetransmit(int status, const QJsonValue &body);
    // When a transaction that failed its attempts so far goes again.
    QDateTime nextSendDate(const Transaction::Ptr &trans) const;

    // The periodic look for due rows.
    void start();
    void stop();

    // Holds the transaction of a passage still open, stored as it would be sent were the
    // passage never to close; send() with the same uuid completes it.
    void hold(const Transaction::Ptr &trans);
    // Stores a new (or completes a held) transaction and sends what is due.
    void send(const Transaction::Ptr &trans);
    // Sends the rows due, one at a time.
    void processPending();
    // The reports of the passages that a process which ended left open, as they were last
    // held: still held, for the lane to finish (send() completes each).
    const QList<Transaction::Ptr> &interrupted() const { return m_interrupted; }

signals:
    // A send the back office did not accept, as it answered (status 0: no answer).
    void failed(int status, QJsonValue body);

protected:
    // The back office's answer to a send, written to the transaction's row.
    void handleAnswer(const Transaction::Ptr &trans, int status, const QJsonValue &body);

private:
    // A new transaction, a held one completed or a send's result written to the queue.
    enum class Write { Written, Refused, Failed };
    Write write(const Transaction::Ptr &trans);
    // Writes it now, or keeps it in memory (with an error line) and writes it once the
    // store takes writes again; false unless written now.
    bool store(const Transaction::Ptr &trans);
    void storeKept();
    bool isKept(const QString &uuid) const;
    Deferred<> transmit(const Transaction::Ptr &trans);
    int msec(int seconds) const { return seconds * m_secondMs; }

    Database &m_database;
    HttpClient &m_client;
    std::function<QUrl()> m_url;
    int m_secondMs;
    QTimer m_pendingTimer;
    QTimer m_keptTimer;
    // A transaction is out (from its post until its answer is written): one at a time, and
    // a pass started meanwhile leaves the rows to the pass that sends it.
    bool m_sendInProgress = false;
    // Uuids of transactions held for open passages.
    QSet<QString> m_held;
    QList<Transaction::Ptr> m_interrupted;
    // What could not be written yet (a full disk), oldest first: new transactions, and
    // transactions whose send result is still to be written (their attempts above 0).
    QList<Transaction::Ptr> m_kept;
    // The page of due rows that the running pass sends, earliest scheduled first, and the
    // rows due that it has not sent yet (this page's and the rest).
    QList<Transaction::Ptr> m_due;
    int m_dueCount = 0;
};

} // namespace Backend
