// Drains a queue of stored transactions into the back-office peer over loopback HTTP, as
// the card back office's sender does after an outage: first 1,000 rows (the baseline),
// then 10,000. Prints transactions per second and the cost of one send for each; the
// cost of one send must not grow with the backlog (ratio near 1).
#include "Backend/CardBO.h"
#include "Backend/Database.h"
#include "Backend/LaneView.h"
#include "Common/Config.h"

#include "BackOfficePeer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

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

// Stores n due transactions in one go, as an outage would have left them.
void queue(int n)
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

// Seconds to send n queued transactions.
double drain(const QString &url, const QString &dir, int n)
{
    QDir().mkpath(dir);
    QDir::setCurrent(dir);
    // Plain HTTP: no certificate files.
    Config config("gui.conf", {{"card-bo/url", url}, {"card-bo/ignoreSslErrors", true}, {"card-bo/rootCA", ""},
                               {"card-bo/pubCert", ""}, {"card-bo/privKey", ""}});
    Backend::Database db;
    queue(n);
    Lane lane;
    Backend::CardBO bo(config, db, lane);
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (db.transCount("PENDING") == 0)
            loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    bo.processPendingTransactions();
    poll.start(20);
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (db.transCount("OK") != n)
        fprintf(stderr, "only %d of %d accepted\n", db.transCount("OK"), n);
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            fprintf(stderr, "%s\n", qPrintable(msg));
    });
    QTemporaryDir root;
    BackOfficePeer peer;
    if (!peer.start())
        return 1;
    peer.script({{"POST /api/v1/device/transaction", QJsonObject{{"status", 201}}}});

    // BENCH_SCALE divides both sizes, for a quick look.
    const int scale = qMax(1, qEnvironmentVariableIntValue("BENCH_SCALE"));
    const int sizes[] = {1000 / scale, 10000 / scale};
    double cost[2];
    for (int i = 0; i < 2; ++i) {
        const double s = drain(peer.http(), root.filePath(QString::number(sizes[i])), sizes[i]);
        cost[i] = s / sizes[i] * 1000.0;
        fflush(stdout);
        printf("drain %5d rows: %7.1f transactions/s, %.3f ms per send%s\n", sizes[i], sizes[i] / s, cost[i],
               i == 0 ? " (baseline)" : "");
        fflush(stdout);
    }
    printf("per-send cost at 10000 rows / at 1000 rows: %.2f (target <= 1.2; rate target >= 200/s)\n",
           cost[1] / cost[0]);
    peer.stop();
    return 0;
}
