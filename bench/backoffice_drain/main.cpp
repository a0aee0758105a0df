// Drains a queue of stored transactions into the card back office, as the card back
// office's sender does after an outage: 1,000 rows (the baseline), then 10,000 (or the
// backlog given with --backlog N), over loopback HTTPS with client certificates. Prints
// transactions per second, the cost of one send and the process's peak memory for each
// (neither may grow with the backlog), then the send time of a single new transaction
// with the queue empty.
//
// --blacklist N[,N...] applies a blacklist of N card uids instead, announced by a
// heartbeat, against the same uids sorted and put into a new file on the same disk through
// the sqlite3 library just before, in one transaction with one prepared statement. Prints the
// apply's time (from the announcement to the version stored) over that baseline, and the
// longest stall of the client's thread meanwhile (a timer due every 5 ms, late by that
// much), while a transaction is stored and sent every 250 ms as passages would, and the
// disk syncs of the process meanwhile, counted by a library preloaded into it (the
// program starts itself again with it), with those made in storing the transactions.
//
// The server is the back-office peer (tests/peers/backoffice_peer.py) as it always
// runs: Python's threading HTTP server, TLS 1.2 asking for a client certificate, and
// the kernel's ordinary delayed ACKs (it forces no quick ACKs). In the same run, against
// the same peer and endpoint, a bare keep-alive client (one TLS connection, Nagle off,
// each request with the same header and body in one write, the next one sent when the
// answer is in) gives the rate the server allows: the baseline of the drain's rate.
//
// Every wait has a time limit, and a server that dies ends the run.
#include "Backend/CardBO.h"
#include "Backend/Database.h"
#include "Backend/LaneView.h"
#include "Common/Config.h"
#include "Common/LocalZone.h"
#include "Common/Log/Logger.h"

#include "BackOfficePeer.h"
#include "Spread.h"
#include "TestUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSslKey>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include <unistd.h>

namespace {

const QString Path = QStringLiteral("/api/v1/device/transaction");

struct Lane : Backend::LaneView
{
    QString serialNum() const override { return "BENCH-1"; }
    QString customsId() const override { return "1"; }
    QString locationId() const override { return "1"; }
    QString type() const override { return "CARD_COLLECTION_MACHINE"; }
    QString cardLevel() const override { return "OK"; }
    int uptime() const override { return 0; }
    bool rfidActive() const override { return true; }
    QString rfidError() const override { return {}; }
    bool dispenserActive() const override { return true; }
    bool barrierActive() const override { return true; }
    QString barrierReason() const override { return {}; }
    bool clockSynced() const override { return true; }
    QList<Camera> cameraStatus() const override { return {}; }
    IPv4 *ipv4() const override { return nullptr; }
    QString softwareVersion() const override { return "1"; }
    void installSoftware(const QString &, const QString &, const QString &) override {}
};

// The card back office's answers, counted as they are logged.
int sentCount = 0;
int failedCount = 0;
std::function<void()> onAnswer;
// When the blacklist was announced (invalid until it is).
QElapsedTimer announced;

// The disk syncs the process made so far, as its preloaded counter keeps them; -1 without it.
qint64 syncs()
{
    QFile f(qEnvironmentVariable("SYNC_COUNTER_FILE"));
    qint64 n = -1;
    return f.open(QIODevice::ReadOnly) && f.read(reinterpret_cast<char *>(&n), sizeof n) == sizeof n ? n : -1;
}
qint64 syncsAtAnnouncement = -1;
// The counter's file when the program made it for itself (it keeps its pid as it starts again).
QString ownCounter()
{
    return QDir::temp().filePath(QStringLiteral("bench_syncs_%1").arg(getpid()));
}

void handler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (msg.startsWith(QLatin1String("[Backend::CardBO] WARN: New blacklist version available : "))) {
        if (!announced.isValid()) {
            announced.start();
            syncsAtAnnouncement = syncs();
        }
        return;
    }
    if (msg.startsWith(QLatin1String("[Backend::CardBO] Transaction sent successfully : ")))
        ++sentCount;
    else if (msg.startsWith(QLatin1String("[Backend::CardBO] Scheduling re-transmit"))
             || msg.startsWith(QLatin1String("[Backend::CardBO] WARN: Transaction will not be re-transmitted")))
        ++failedCount;
    else if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(msg));
    else
        return;
    if (onAnswer)
        onAnswer();
}

// Runs the event loop until done() holds, the time limit passes or the server dies.
// Returns an empty text, or why it stopped.
QString waitFor(const std::function<bool()> &done, int limitMs, BackOfficePeer &peer)
{
    if (done())
        return QString();
    QEventLoop loop;
    QString why;
    QTimer limit, alive;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [&] {
        why = QStringLiteral("time limit of %1 s reached").arg(limitMs / 1000.0);
        loop.quit();
    });
    QObject::connect(&alive, &QTimer::timeout, [&] {
        if (!peer.isRunning()) {
            why = QStringLiteral("the server died");
            loop.quit();
        }
    });
    onAnswer = [&] {
        if (done())
            loop.quit();
    };
    limit.start(limitMs);
    alive.start(500);
    loop.exec();
    onAnswer = nullptr;
    return done() ? QString() : why;
}

// Stores n due transactions in one go, as an outage would have left them.
void queue(int n)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "bulk");
        db.setDatabaseName(Backend::Database::FileName);
        db.open();
        db.transaction();
        QSqlQuery q(db);
        q.prepare("INSERT INTO Transactions (type, uuid, timestamp, deviceSerial, cardUid, zuruvDbId, errorDetails, "
                  "sendDate, sendSchedDate, sendStatus, sendAttempts, respStatus, respData) "
                  "VALUES ('SCAN', ?, '2024-01-01T00:00:00', 'BENCH-1', '04A1', '0', '', NULL, ?, 'PENDING', 0, 0, NULL)");
        for (int i = 0; i < n; ++i) {
            q.addBindValue(Backend::Transaction::createUid());
            q.addBindValue(QDateTime(QDate(2024, 1, 1), QTime(0, 0)).addSecs(i).toString("yyyy-MM-ddTHH:mm:ss"));
            q.exec();
        }
        db.commit();
        db.close();
    }
    QSqlDatabase::removeDatabase("bulk");
}

// The process's memory in KiB: "VmRSS" now, "VmHWM" the peak since resetPeak().
qint64 memoryKiB(const char *field)
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    return QRegularExpression(QString(field) + ":\\s*(\\d+)").match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
}

void resetPeak()
{
    QFile refs("/proc/self/clear_refs");
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

struct Figures
{
    double seconds = 0;
    qint64 peakKiB = 0;  // the process's peak memory during the drain
    qint64 afterKiB = 0; // its memory after the drain, over that before it
    QVector<double> singleMs; // send times of single transactions, queue empty
    QString failure;
};

// The card back-office client's settings for the peer, with its client certificate.
QVariantMap clientSettings(const BackOfficePeer &peer)
{
    return {{"card-bo/url", peer.https()},
            {"card-bo/ignoreSslErrors", false},
            {"card-bo/rootCA", peer.certFile("ca.pem")},
            {"card-bo/pubCert", peer.certFile("client.pem")},
            {"card-bo/privKey", peer.certFile("client.key")}};
}

// Sends n queued transactions through the card back office; then, with singles > 0,
// that many new transactions one at a time.
Figures drain(BackOfficePeer &peer, const QString &dir, int n, int singles)
{
    Figures f;
    QDir().mkpath(dir);
    QDir::setCurrent(dir);
    Config config("gui.conf", clientSettings(peer));
    Backend::Database db;
    queue(n);
    Lane lane;
    Backend::CardBO bo(config, db, lane);
    sentCount = failedCount = 0;
    const qint64 before = memoryKiB("VmRSS");
    resetPeak();
    QElapsedTimer timer;
    timer.start();
    bo.processPendingTransactions();
    // A generous limit: 40 ms a row (the drain used to take 45).
    f.failure = waitFor([n] { return sentCount + failedCount >= n; }, 30000 + 40 * n, peer);
    f.seconds = timer.nsecsElapsed() / 1e9;
    f.peakKiB = memoryKiB("VmHWM");
    f.afterKiB = memoryKiB("VmRSS") - before;
    if (f.failure.isEmpty() && failedCount > 0)
        f.failure = QStringLiteral("%1 of %2 not accepted").arg(failedCount).arg(n);
    for (int i = 0; i < singles && f.failure.isEmpty(); ++i) {
        const int before = sentCount + failedCount;
        timer.restart();
        bo.sendTransaction(Backend::Transaction::create(Backend::Transaction::Issuance, "BENCH-1", "04B2"));
        f.failure = waitFor([before] { return sentCount + failedCount > before; }, 30000, peer);
        f.singleMs << timer.nsecsElapsed() / 1e6;
        if (f.failure.isEmpty() && failedCount > 0)
            f.failure = QStringLiteral("a single transaction was not accepted");
    }
    return f;
}

// The bare keep-alive client: n requests one after the other on one connection.
// Returns requests per second, or a negative number when it could not finish.
double bareRate(BackOfficePeer &peer, int n, QString *failure)
{
    auto pem = [&](const QString &name) {
        QFile f(peer.certFile(name));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    };
    QSslSocket socket;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate(pem("client.pem")));
    tls.setPrivateKey(QSslKey(pem("client.key"), QSsl::Rsa));
    tls.setCaCertificates(QSslCertificate::fromData(pem("ca.pem")));
    tls.setProtocol(QSsl::TlsV1_2);
    socket.setSslConfiguration(tls);
    const QUrl url(peer.https());
    QObject::connect(&socket, &QSslSocket::connected, [&] { socket.setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    QObject::connect(&socket, &QSslSocket::disconnected, [&] {
        if (onAnswer)
            onAnswer();
    });
    socket.connectToHostEncrypted(url.host(), quint16(url.port()));

    // The header and body the card back office's sender puts on the wire.
    const QByteArray body =
        QJsonDocument(Backend::Transaction::create(Backend::Transaction::Scan, "BENCH-1", "04A1")->toJson())
            .toJson(QJsonDocument::Compact);
    const QByteArray request = "POST " + Path.toLatin1() + " HTTP/1.1\r\nHost: " + url.authority().toLatin1()
                               + "\r\nContent-Type: application/json\r\nUser-Agent: zuka/terminal\r\n"
                                 "Connection: keep-alive\r\nContent-Length: "
                               + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    int answered = 0;
    QByteArray in;
    QElapsedTimer timer;
    auto next = [&] {
        if (answered < n)
            socket.write(request);
    };
    QObject::connect(&socket, &QSslSocket::encrypted, [&] {
        timer.start();
        next();
    });
    QObject::connect(&socket, &QSslSocket::readyRead, [&] {
        in += socket.readAll();
        for (;;) {
            const int end = in.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const int at = in.toLower().indexOf("content-length:");
            const int length = at >= 0 && at < end ? in.mid(at + 15, in.indexOf("\r\n", at) - at - 15).trimmed().toInt()
                                                   : 0;
            if (in.size() < end + 4 + length)
                return;
            in.remove(0, end + 4 + length);
            ++answered;
            next();
            if (onAnswer)
                onAnswer();
        }
    });
    const QString why = waitFor([&] { return answered >= n || socket.state() == QAbstractSocket::UnconnectedState; },
                                30000 + 40 * n, peer);
    const double seconds = timer.isValid() ? timer.nsecsElapsed() / 1e9 : 0;
    if (answered < n) {
        *failure = !why.isEmpty() ? why : QStringLiteral("connection lost: ") + socket.errorString();
        return -1;
    }
    socket.disconnectFromHost();
    return n / seconds;
}

// The floor of an apply: the uids sorted and inserted into a new file in one transaction
// with one prepared statement, through the sqlite3 library itself.
QString sortAndInsert(QList<QByteArray> uids, const QString &file)
{
    std::sort(uids.begin(), uids.end());
    sqlite3 *db = nullptr;
    sqlite3_stmt *insert = nullptr;
    bool ok = sqlite3_open(QFile::encodeName(file).constData(), &db) == SQLITE_OK
              && sqlite3_exec(db, "CREATE TABLE Blacklist (uid TEXT, PRIMARY KEY (uid)); BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK
              && sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO Blacklist (uid) VALUES (?)", -1, &insert, nullptr) == SQLITE_OK;
    for (int i = 0; ok && i < uids.size(); ++i)
        ok = sqlite3_bind_text(insert, 1, uids[i].constData(), uids[i].size(), SQLITE_STATIC) == SQLITE_OK
             && sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
    sqlite3_finalize(insert);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    const QString why = ok ? QString() : QStringLiteral("sqlite3: ") + QString::fromUtf8(sqlite3_errmsg(db));
    sqlite3_close(db);
    return why;
}

// The blacklist of n uids applied by the card back-office client, beside the sort and insert
// of the same uids into a new file in the same folder, run just before.
struct Apply
{
    double baseline = 0, apply = 0, stallMs = 0;
    int stored = 0, transactions = 0;
    // Disk syncs from the announcement to the version stored (-1: not counted), and those
    // made in storing the transactions meanwhile.
    qint64 syncs = -1, transactionSyncs = 0;
    QString failure;
};

Apply blacklistApply(BackOfficePeer &peer, const QString &dir, int n)
{
    Apply f;
    QDir().mkpath(dir);
    QDir::setCurrent(dir);
    // Uids of seven bytes in no order, as a server keeps them; the answer written as a server would.
    QRandomGenerator random{quint32(n)};
    QList<QByteArray> uids;
    QByteArray answer = "{\"added\": [";
    for (int i = 0; i < n; ++i) {
        const QByteArray uid = "04" + QByteArray::number(random.generate64() & 0xffffffffffffULL, 16).toUpper().rightJustified(12, '0');
        uids.append(uid);
        answer += (i ? ", \"" : "\"") + uid + '"';
    }
    answer += "], \"removed\": []}";
    QFile body(QDir(dir).filePath("blacklist.json"));
    if (!body.open(QIODevice::WriteOnly) || body.write(answer) != answer.size()) {
        f.failure = QStringLiteral("cannot write the list");
        return f;
    }
    body.close();

    QElapsedTimer timer;
    timer.start();
    f.failure = sortAndInsert(uids, QDir(dir).filePath("baseline.db"));
    if (!f.failure.isEmpty())
        return f;
    f.baseline = timer.nsecsElapsed() / 1e9;

    Config config("gui.conf", clientSettings(peer));
    Backend::Database db;
    db.setParam("apiKey", peer.registerTerminal());
    const QString version = QStringLiteral("v%1").arg(n);
    peer.script({{"POST " + Path, QJsonObject{{"status", 201}}},
                 {"cardbo", QJsonObject{{"heartbeat", QJsonObject{{"blacklistVersion", version}}},
                                        {"blacklistFile", body.fileName()}}}});
    Lane lane;
    Backend::CardBO bo(config, db, lane);
    // The client's thread late for a timer due every 5 ms, and passages' transactions
    // stored and sent every 250 ms, from the announcement on.
    QElapsedTimer gap;
    QTimer probe, passages;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (announced.isValid() && gap.isValid())
            f.stallMs = qMax(f.stallMs, gap.nsecsElapsed() / 1e6 - 5);
        gap.start();
    });
    QObject::connect(&passages, &QTimer::timeout, [&] {
        if (!announced.isValid())
            return;
        const qint64 before = syncs();
        bo.sendTransaction(Backend::Transaction::create(Backend::Transaction::Issuance, "BENCH-1", "04B2"));
        f.transactionSyncs += syncs() - before;
        ++f.transactions;
    });
    probe.setTimerType(Qt::PreciseTimer);
    probe.start(5);
    passages.start(250);
    announced.invalidate();
    sentCount = failedCount = 0;
    bo.start();
    f.failure = waitFor([&] { return bo.blacklistVer() == version; }, 600000, peer);
    f.apply = announced.isValid() ? announced.nsecsElapsed() / 1e9 : 0;
    if (syncsAtAnnouncement >= 0 && syncs() >= 0)
        f.syncs = syncs() - syncsAtAnnouncement;
    probe.stop();
    passages.stop();
    bo.stop();
    if (f.failure.isEmpty())
        f.failure = waitFor([&] { return sentCount + failedCount >= f.transactions; }, 60000, peer);
    if (f.failure.isEmpty() && failedCount > 0)
        f.failure = QStringLiteral("%1 transactions not accepted").arg(failedCount);
    f.stored = TestUtil::sqlite3(Backend::Database::FileName, "SELECT count(*) FROM Blacklist").toInt();
    if (f.failure.isEmpty() && f.stored != n)
        f.failure = QStringLiteral("%1 of %2 uids stored").arg(f.stored).arg(n);
    return f;
}

int blacklistMain(BackOfficePeer &peer, const QString &root, const QString &sizes)
{
    int rc = 0;
    for (const QString &size : sizes.split(',')) {
        const int n = size.toInt();
        const Apply f = blacklistApply(peer, QDir(root).filePath("blacklist-" + size), n);
        if (!f.failure.isEmpty()) {
            std::printf("FAILED at %d uids: %s\n", n, qPrintable(f.failure));
            rc = 1;
            break;
        }
        if (size == sizes.split(',').first())
            std::printf("counts: wall time from the announcement logged to the version stored, one apply of each\n"
                        "size, beside the same uids sorted and inserted through the sqlite3 library; the stall: the\n"
                        "latest a 5 ms timer of the client's thread fired meanwhile; the disk syncs: fsync, fdatasync\n"
                        "and the like of the whole process meanwhile, those in storing the transactions among them\n");
        std::printf("blacklist of %7d uids: apply %.2f s, sorted insert (baseline) %.2f s, ratio %.2f (target <= 3); "
                    "longest stall %.0f ms (target <= 200 ms); %d transactions stored and sent meanwhile; %s\n",
                    n, f.apply, f.baseline, f.apply / f.baseline, f.stallMs, f.transactions,
                    f.syncs < 0 ? "disk syncs not counted (no preloaded counter)"
                                : qPrintable(QStringLiteral("%1 disk syncs, %2 of them in storing the transactions")
                                                 .arg(f.syncs)
                                                 .arg(f.transactionSyncs)));
        std::fflush(stdout);
    }
    return peer.stop() && rc == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    // The blacklist's disk syncs are counted by a library preloaded into this program: it
    // starts itself again with it (the counter keeps it from the peer it starts).
    const bool blacklist = std::find_if(argv, argv + argc, [](const char *a) { return qstrcmp(a, "--blacklist") == 0; })
                           != argv + argc;
    if (blacklist && !qEnvironmentVariableIsSet("SYNC_COUNTER_FILE")) {
        setenv("SYNC_COUNTER_FILE", ownCounter().toLocal8Bit().constData(), 1);
        setenv("LD_PRELOAD", SYNC_COUNTER, 1);
        execv("/proc/self/exe", argv);
        unsetenv("SYNC_COUNTER_FILE"); // could not: counted nowhere
        unsetenv("LD_PRELOAD");
    }
    LocalZone::pin(); // as the terminal does
    QCoreApplication app(argc, argv);
    // The terminal's default level (its debug lines are not built), the lines counted here.
    manager::Logger::instance()->setSyslog(false);
    qInstallMessageHandler(handler);
    QTemporaryDir root;
    BackOfficePeer peer(true);
    if (!peer.start())
        return 1;
    peer.script({{"POST " + Path, QJsonObject{{"status", 201}}}});
    std::printf("server: backoffice_peer.py (Python's threading HTTP server), HTTPS, TLS 1.2 with a client\n"
                "        certificate required, ordinary delayed ACKs; the scripted answer 201\n");
    const QStringList args = app.arguments();
    const auto option = [&args](const char *name) { return args.value(args.indexOf(name) + 1); };
    if (args.contains("--blacklist")) {
        const int rc = blacklistMain(peer, root.path(), option("--blacklist"));
        if (qEnvironmentVariable("SYNC_COUNTER_FILE") == ownCounter())
            QFile::remove(ownCounter());
        return rc;
    }

    // BENCH_SCALE divides the sizes, for a quick look.
    const int scale = qMax(1, qEnvironmentVariableIntValue("BENCH_SCALE"));
    const int backlog = args.contains("--backlog") ? option("--backlog").toInt() : 10000;
    const int sizes[] = {1000 / scale, backlog / scale};
    const int bareN = 2000 / scale;
    QString failure;
    QVector<double> bare;
    auto runBare = [&] {
        const double rate = bareRate(peer, bareN, &failure);
        if (rate > 0) {
            bare << rate;
            std::printf("bare keep-alive client, %5d requests: %7.1f requests/s\n", bareN, rate);
            std::fflush(stdout);
        }
        return rate > 0;
    };

    double cost[2] = {0, 0}, rate[2] = {0, 0};
    qint64 peak[2] = {0, 0};
    Figures last;
    bool ok = runBare();
    for (int i = 0; i < 2 && ok; ++i) {
        last = drain(peer, root.filePath(QString::number(sizes[i])), sizes[i], i == 1 ? 20 : 0);
        failure = last.failure;
        ok = failure.isEmpty();
        if (!ok)
            break;
        cost[i] = last.seconds / sizes[i] * 1000.0;
        rate[i] = sizes[i] / last.seconds;
        peak[i] = last.peakKiB;
        std::printf("drain %5d rows: %7.1f transactions/s, %.3f ms per send, peak memory %lld KiB, %+lld KiB kept "
                    "after it%s\n", sizes[i], rate[i], cost[i], last.peakKiB, last.afterKiB,
                    i == 0 ? " (baseline of the cost and the memory)" : "");
        std::fflush(stdout);
    }
    ok = ok && runBare();
    if (!ok) {
        std::printf("FAILED: %s\n", qPrintable(failure));
        peer.stop();
        return 1;
    }
    const double fastestBare = *std::max_element(bare.begin(), bare.end());
    const Spread single = Spread::of(std::vector<double>(last.singleMs.begin(), last.singleMs.end()));
    std::printf("counts: the drain: wall time from the first send to the last answer logged, one drain of each\n"
                "size, and the process's peak resident memory (VmHWM) meanwhile; the bare client: its requests\n"
                "over its time, the faster of its two runs above\n");
    std::printf("per-send cost at %d rows / at %d rows: %.2f (target <= 1.2)\n", sizes[1], sizes[0], cost[1] / cost[0]);
    std::printf("peak memory at %d rows / at %d rows: %.2f (target <= 1.3)\n", sizes[1], sizes[0],
                double(peak[1]) / double(peak[0]));
    std::printf("drain rate at %d rows: %.1f/s (target >= 400/s); bare client / drain: %.2f (target <= 1.5)\n",
                sizes[1], rate[1], fastestBare / rate[1]);
    std::printf("single transaction, queue empty, from the send to its answer logged: %s ms, min / median / max "
                "of %d (target: median < 5 ms)\n", single.text().c_str(), single.count);
    return peer.stop() ? 0 : 1;
}
