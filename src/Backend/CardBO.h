#pragma once
// Client of the card back office: registers the terminal, loads the customs offices and
// locations, sends heartbeats with the lane's status and applies what their answers
// announce (blacklist, software, configuration, commands), and stores and forwards the
// lane's transactions through its queue. Driven by one single-shot tick timer.
#include "Backend/HeartbeatReport.h"
#include "Backend/Transaction.h"
#include "Backend/TransactionSender.h"
#include "Common/Http/HttpClient.h"
#include "Deferred/Deferred.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QVariantMap>

class Config;

namespace Backend {

class BlacklistUpdate;
class Database;
class LaneView;

// The length of the client's second: every period of the client (ticks, heartbeat
// interval, lost-communication limit, transaction timer and retry schedule) is counted
// in it. Tests shorten it; the system keeps 1000 ms. The request time-out stays 30 s.
struct CardBOTiming
{
    int secondMs = 1000;
};

class CardBO : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(CardBO)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY stateChanged)
    Q_PROPERTY(QDateTime lastComms READ lastComms NOTIFY lastCommsChanged)

public:
    enum State : int { Init = 0, NotRegistered = 1, Online = 2, Error = 3, Stopped = 4, Disabled = 5 };
    Q_ENUM(State)

    // Periods in seconds of the client.
    static constexpr double FirstTickSec = 0.5;
    static constexpr int SlowTickSec = 30;           // Init, NotRegistered, Stopped, Disabled
    static constexpr int RecoverTickSec = 5;         // Error
    static constexpr int DefaultHbIntervalSec = 30;  // in force when the configured one is 0 or less
    static constexpr int RequestTimeoutMs = 30000;
    // The blacklist answer's bound (every other answer keeps the client's 4 MiB): a full
    // list of a million card uids of ten bytes, written as indented JSON.
    static constexpr qint64 MaxBlacklistAnswerBytes = 32 * 1024 * 1024;

    using Timing = CardBOTiming;

    CardBO(Config &config, Database &database, LaneView &lane, QObject *parent = nullptr, Timing timing = Timing());
    ~CardBO() override;

    State state() const { return m_state; }
    QString reason() const { return m_reason; }
    QDateTime lastComms() const { return m_lastComms; }
    QString blacklistVer() const;

    static QString stateToStr(int state);

public slots:
    void start();
    void stop();
    void sendTransaction(Backend::Transaction::Ptr trans);
    // Holds the transaction of a passage still open, stored as it would be sent were the
    // passage never to close; sendTransaction with the same uuid completes it.
    void holdTransaction(Backend::Transaction::Ptr trans);
    // The reports of passages left open when the program last ended, as they were held: still
    // held, for the lane to complete with sendTransaction.
    const QList<Transaction::Ptr> &interrupted() const { return m_sender.interrupted(); }
    void sendCommandResult(QString id, QString command, bool result, QString error);
    void sendCommandResult(QString id, QString command, bool result);
    void sendProgress(QString operation, int progress);
    void clearProgress();
    void processPendingTransactions();

signals:
    void stateChanged();
    void lastCommsChanged();
    void commandReceived(QString id, QString command);

protected:
    // The back office's answers, as each request hands them on.
    void handleRegisterResponse(const QJsonValue &body);
    void handleUpdateDataResponse(int status, const QJsonValue &body);
    void handleHeartbeatResponse(int status, const QJsonValue &body);
    void handleBlacklistResponse(int status, int added, int removed);
    void handleErrorResponse(int status, const QJsonValue &body);

private:
    // Requests (each resolved with the answer's body, rejected with the failure's).
    Deferred<QJsonValue> registerDevice();
    Deferred<QJsonValue> updateData();
    Deferred<QJsonValue> heartbeat();
    // The list fetched and applied beside the lane's work; its version stored once it is in.
    void updateBlacklist(const QString &after);
    void endBlacklistUpdate();

    void initClient(HttpClient &client) const;
    void onTick();
    void onParamChanged(const QString &key, const QVariant &value);
    void onConfigChanged(const QVariantMap &changes);
    void setState(State state, const QString &reason);
    void updateLastComms();
    int hbIntervalSec() const;
    int msec(double seconds) const { return int(seconds * m_timing.secondMs); }
    bool hasLostComms() const;
    bool checkTerminalRegistered();
    bool checkTerminalReady();
    void processStateInit();
    void processStateNotRegistered();
    void processStateOnline();
    void applyConfig(const QJsonArray &config);
    QUrl createUrl(const QString &path, const QUrlQuery &query = QUrlQuery()) const;
    // Runs a request; the answer is dropped while the client is stopped.
    Deferred<QJsonValue> request(Deferred<int, QJsonValue> call, std::function<void(int, QJsonValue)> onDone);

    Config &m_config;
    Database &m_database;
    LaneView &m_lane;
    Timing m_timing;
    State m_state = Stopped;
    QString m_reason;
    QDateTime m_lastComms;
    HttpClient m_client;
    QTimer m_tickTimer;
    HeartbeatReport m_report;
    TransactionSender m_sender;
    BlacklistUpdate *m_blacklist = nullptr;
    QElapsedTimer m_blacklistTime;
};

} // namespace Backend
