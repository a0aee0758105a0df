// The local database on real "terminal.db" files, checked from outside with the sqlite3
// tool; the settings store of the API key is redirected into a temporary folder.
#include "Backend/Database.h"

#include "LogCapture.h"
#include "TestUtil.h"
#include "PeerProcess.h"

#include <QDir>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>

using Backend::Database;
using Backend::Transaction;

namespace {

Transaction::Ptr transaction(const QString &uuid, Transaction::Type type = Transaction::Scan)
{
    Transaction::Ptr t(new Transaction);
    t->setType(type);
    t->setUuid(uuid);
    t->setTimestamp(QDateTime(QDate(2024, 5, 1), QTime(10, 0), Qt::LocalTime));
    t->setDeviceSerial("DEV-1");
    t->setCardUid("04A1B2C3");
    t->setZuruvDbId(uuid);
    t->setErrorDetails("Card jammed");
    return t;
}

QStringList uuids(const QList<Transaction::Ptr> &list)
{
    QStringList out;
    for (const auto &t : list)
        out << t->uuid();
    return out;
}

const QString Nasty = "x'); DROP TABLE Blacklist;--";

} // namespace

class TstDatabase : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QTemporaryDir m_settings;
    int m_dirs = 0;

private slots:
    void initTestCase() { QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path()); }

    // Every case starts in a new empty working directory.
    void init()
    {
        const QString dir = m_root.filePath(QString::number(++m_dirs));
        QVERIFY(QDir().mkpath(dir) && QDir::setCurrent(dir));
    }

    void schemaCreatedOnce()
    {
        LogCapture log(false);
        delete new Database;
        QCOMPARE(log.texts().filter("Creating table : "),
                 QStringList({"[Backend::Database] Creating table : Customs", "[Backend::Database] Creating table : Locations",
                              "[Backend::Database] Creating table : Parameters",
                              "[Backend::Database] Creating table : Blacklist",
                              "[Backend::Database] Creating table : Transactions"}));
        QCOMPARE(TestUtil::sqlite3(Database::FileName, "SELECT sql FROM sqlite_master WHERE name = 'Blacklist'"),
                 QString("CREATE TABLE Blacklist (uid TEXT,PRIMARY KEY (uid))"));
        QVERIFY(TestUtil::ownerOnly(Database::FileName));
        log.clear();
        Database again;
        QCOMPARE(log.countContaining("Creating table : "), 0);
        QVERIFY(again.transAdd(transaction("t-1")));
        QVERIFY(TestUtil::ownerOnly(Database::FileName + "-wal")); // the log of writes not yet in the file
    }

    // The API key goes to the settings store only; values are bound, never SQL text.
    void parametersBlacklistRecords()
    {
        LogCapture log(false);
        Database db;
        QSignalSpy changed(&db, &Database::paramChanged);
        db.setParam("apiKey", "k-secret-1");
        db.setParam("apiKey", "k-secret-1");
        db.setParam("id", 42);
        db.setParam("id", "42");
        db.setParam("blacklistVer", Nasty);
        QCOMPARE(changed.count(), 3);
        QCOMPARE(QSettings("vexo", "zuka-card-bo").value("apiKey").toString(), QString("k-secret-1"));
        QVERIFY(TestUtil::ownerOnly(QSettings("vexo", "zuka-card-bo").fileName()));
        QCOMPARE(TestUtil::sqlite3(Database::FileName, "SELECT key || '=' || value FROM Parameters ORDER BY key"), "blacklistVer=" + Nasty + "\nid=42");
        QCOMPARE(db.param("blacklistVer").toString(), Nasty);
        QVERIFY(!db.param("none").isValid());
        QCOMPARE(db.paramKeys().last(), QString("apiKey"));
        QVERIFY(!log.containsPart("k-secret-1"));

        QVERIFY(db.blacklistAdd(Nasty) && db.blacklistAdd("04AABB"));
        QVERIFY(!db.blacklistAdd("04AABB"));
        QVERIFY(db.isBlacklisted(Nasty) && !db.isBlacklisted("x"));
        QVERIFY(db.blacklistRemove(Nasty));
        QVERIFY(!db.isBlacklisted(Nasty) && db.isBlacklisted("04AABB"));

        db.setCustoms({{5, "Evzoni", "u-5"}, {7, Nasty, "u-7"}});
        db.setCustoms({{5, "Evzoni I", "u-5b"}});
        db.setLocations({{5, "Gate A", "l-5"}});
        QCOMPARE(db.findCustoms(5).uuid, QString("u-5b"));
        QCOMPARE(db.findCustoms(7).name, Nasty); // kept although no longer listed
        QCOMPARE(db.findLocation(5).name, QString("Gate A"));
        QVERIFY(db.findLocation(7).id == 0 && db.findLocation(7).name.isEmpty());
        QCOMPARE(db.customs().size(), 2);
    }

    // A slice is one transaction whose commit does not wait for the disk, and the writes after
    // it wait again whatever became of it; a refused slice leaves nothing and says why.
    void blacklistSlices_data()
    {
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<QString>("listed");
        QTest::addColumn<QString>("levels"); // of each row written, then of the version (1 NORMAL, 2 FULL)
        QTest::addColumn<QString>("refusal");
        QTest::newRow("applied") << QStringList{"04C3", "04A1"} << QStringList{"04B2"} << "04A1\n04C3" << "1\n1\n1\n2"
                                 << QString();
        QTest::newRow("refused midway")
            << QStringList{"04C3", "refused"} << QStringList{} << "04B2" << "2"
            << "[Backend::Database] ERROR: Could not update the blacklist : INSERT OR IGNORE INTO Blacklist (uid) "
               "VALUES (?) : uid refused Unable to fetch row";
    }

    void blacklistSlices()
    {
        QFETCH(QStringList, added);
        QFETCH(QStringList, removed);
        QFETCH(QString, listed);
        QFETCH(QString, levels);
        QFETCH(QString, refusal);
        Database db;
        QVERIFY(db.blacklistUpdate({"04B2"}, {}));
        TestUtil::sqlite3(Database::FileName,
                          "CREATE TABLE Levels (level INTEGER);"
                          "CREATE TRIGGER refuse BEFORE INSERT ON Blacklist WHEN NEW.uid = 'refused' "
                          "BEGIN SELECT RAISE(ABORT, 'uid refused'); END;"
                          "CREATE TRIGGER added AFTER INSERT ON Blacklist BEGIN INSERT INTO Levels SELECT * FROM pragma_synchronous; END;"
                          "CREATE TRIGGER removed AFTER DELETE ON Blacklist BEGIN INSERT INTO Levels SELECT * FROM pragma_synchronous; END;"
                          "CREATE TRIGGER version AFTER INSERT ON Parameters BEGIN INSERT INTO Levels SELECT * FROM pragma_synchronous; END;");
        LogCapture log(false);
        QCOMPARE(db.blacklistUpdate(added, removed), refusal.isEmpty());
        db.setParam("blacklistVer", "v2");
        QCOMPARE(TestUtil::sqlite3(Database::FileName, "SELECT uid FROM Blacklist ORDER BY uid"), listed);
        QCOMPARE(TestUtil::sqlite3(Database::FileName, "SELECT level FROM Levels ORDER BY rowid"), levels);
        QCOMPARE(log.texts().filter("[Backend::Database] ERROR: "), refusal.isEmpty() ? QStringList() : QStringList(refusal));
    }

    void duplicateUuidRefused()
    {
        LogCapture log(false);
        Database db;
        QVERIFY(db.transAdd(transaction("t-1", Transaction::Scan)));
        QVERIFY(!db.transAdd(transaction("t-1", Transaction::ErrorReport)));
        QVERIFY(log.containsPart("[SqlDatabase] ERROR: Could not execute query : INSERT INTO Transactions"));
        QCOMPARE(TestUtil::sqlite3(Database::FileName, "SELECT type, sendStatus, sendAttempts, respStatus, sendDate IS NULL, respData IS NULL "
                         "FROM Transactions"),
                 QString("SCAN|PENDING|0|0|1|1"));
    }

    // Which rows the sender picks up: pending ones scheduled by now, latest first;
    // a due row comes back as it was written.
    void dueRows_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("schedOffset"); // seconds from now; INT_MIN: no date
        QTest::addColumn<bool>("due");
        QTest::newRow("pending, past") << "PENDING" << -600 << true;
        QTest::newRow("pending, now") << "PENDING" << 0 << true;
        QTest::newRow("pending, future") << "PENDING" << 60 << false;
        QTest::newRow("pending, no date") << "PENDING" << INT_MIN << false;
        QTest::newRow("accepted") << "OK" << INT_MIN << false;
        QTest::newRow("accepted, past date") << "OK" << -600 << false;
        QTest::newRow("refused") << "FAILED" << -600 << false;
    }

    void dueRows()
    {
        QFETCH(QString, status);
        QFETCH(int, schedOffset);
        QFETCH(bool, due);
        Database db;
        const QDateTime now = QDateTime::currentDateTime();
        Transaction::Ptr older = transaction("older");
        QVERIFY(db.transAdd(older));
        older->sendDetails().schedDate = now.addSecs(-3600);
        QVERIFY(db.transUpdate(older));

        Transaction::Ptr t = transaction("row", Transaction::ErrorReport);
        QVERIFY(db.transAdd(t));
        QCOMPARE(db.transCounts({"FAILED", "OK", "PENDING"}), QVector<int>({0, 0, 2}));
        t->sendDetails() = {Transaction::statusFromText(status), now.addSecs(-700), schedOffset == INT_MIN ? QDateTime() : now.addSecs(schedOffset),
                            4, 503, QJsonObject{{"error", Nasty}}};
        QVERIFY(db.transUpdate(t));

        const QList<Transaction::Ptr> list = db.transDueForSend();
        QCOMPARE(uuids(list), due ? QStringList({"row", "older"}) : QStringList({"older"}));
        QCOMPARE(db.transCount(status), status == "PENDING" ? 2 : 1);
        const QVector<int> both = db.transCounts({"FAILED", "OK", "PENDING"});
        QCOMPARE(both, QVector<int>({status == "FAILED", status == "OK", status == "PENDING" ? 2 : 1}));
        if (due) {
            const Transaction::SendDetails &back = list.first()->sendDetails(), &d = t->sendDetails();
            QCOMPARE(list.first()->toJson(), t->toJson());
            QCOMPARE(back.date.toString(Qt::ISODate), d.date.toString(Qt::ISODate));
            QCOMPARE(back.schedDate.toString(Qt::ISODate), d.schedDate.toString(Qt::ISODate));
            QVERIFY(back.attempts == 4 && back.respStatus == 503 && back.respData == d.respData);
        }
    }

    // Counts follow the writes from any thread.
    void countsFollowWrites()
    {
        Database db;
        Transaction::Ptr t = transaction("row");
        QVERIFY(db.transAdd(t));
        const auto counts = [&db] { return db.transCounts({"PENDING", "OK"}); };
        const auto elsewhere = [](const std::function<void()> &work) {
            QScopedPointer<QThread> thread(QThread::create(work));
            thread->start();
            QVERIFY(thread->wait(30000));
        };
        QCOMPARE(counts(), QVector<int>({1, 0}));
        t->sendDetails().status = Transaction::SendStatus::Ok;
        bool updated = false;
        elsewhere([&] { updated = db.transUpdate(t); });
        QVERIFY(updated);
        QCOMPARE(counts(), QVector<int>({0, 1}));

        // Written on the store's own thread: another thread sees it at once.
        t->sendDetails().status = Transaction::SendStatus::Pending;
        QVERIFY(db.transUpdate(t));
        QVERIFY(db.transAdd(transaction("synced")));
        QVector<int> seen;
        elsewhere([&] { seen = counts(); });
        QCOMPARE(seen, QVector<int>({2, 0}));
        QCOMPARE(counts(), QVector<int>({2, 0}));
        // A held row waits once, held again or released.
        Transaction::Ptr held = transaction("held");
        QVERIFY(db.transHold(held) && db.transHold(held) && db.transRelease(held));
        QCOMPARE(counts(), QVector<int>({3, 0}));
    }

    // A table left by an older program, with its columns in another order and one more,
    // is used as it is, and its rows are read by column name.
    void existingTableUsedByName()
    {
        TestUtil::sqlite3(Database::FileName, "CREATE TABLE Transactions (uuid TEXT, sendStatus TEXT, note TEXT, type TEXT, respData BLOB, "
                "timestamp TEXT, deviceSerial TEXT, cardUid TEXT, zuruvDbId TEXT, errorDetails TEXT, "
                "sendDate TEXT, sendSchedDate TEXT, sendAttempts INTEGER, respStatus INTEGER, PRIMARY KEY (uuid));"
                "INSERT INTO Transactions VALUES ('u-old', 'PENDING', 'n', 'ERROR_REPORT', '{\"a\":1}', "
                "'2024-05-01T10:00:00', 'DEV-1', '04A1B2C3', 'u-old', 'Card jammed', NULL, '2024-05-01T10:00:00', "
                "2, 401)");
        LogCapture log(false);
        Database db;
        QVERIFY(!log.contains("[Backend::Database] Creating table : Transactions"));
        const QList<Transaction::Ptr> due = db.transDueForSend();
        QCOMPARE(due.size(), 1);
        QCOMPARE(due.first()->toJson(), transaction("u-old", Transaction::ErrorReport)->toJson());
        const Transaction::SendDetails &d = due.first()->sendDetails();
        QVERIFY(!d.date.isValid() && d.status == Transaction::SendStatus::Pending && d.attempts == 2 && d.respStatus == 401);
        QCOMPARE(d.respData, QJsonObject({{"a", 1}}));
        QVERIFY(db.transAdd(transaction("u-new")));
        // The passage journal gets its column: the older row reads without one, a held row
        // keeps its own.
        QVERIFY(!due.first()->journal().known());
        Transaction::Ptr held = transaction("u-held");
        held->journal().step = "Exit";
        held->journal().vehicleLeft = true;
        QVERIFY(db.transHold(held));
        QCOMPARE(db.transHeld().value(0)->journal().toText(), held->journal().toText());
    }

    // A process killed while it writes queued transactions leaves a sound file with
    // every row it had committed.
    void survivesKill()
    {
        PeerProcess writer("db_writer");
        writer.setWorkingDirectory(QDir::currentPath());
        QVERIFY(writer.start(DB_WRITER, {}, "COMMITTED"));
        QVERIFY(writer.waitForOutput("COMMITTED 300 ", 30000));
        writer.kill();

        QStringList committed;
        for (const QByteArray &line : writer.output().split('\n'))
            if (line.startsWith("COMMITTED "))
                committed << QString::fromLatin1(line.split(' ').value(2));
        QCOMPARE(TestUtil::sqlite3(Database::FileName, "PRAGMA integrity_check"), QString("ok"));
        const QStringList rows = TestUtil::sqlite3(Database::FileName, "SELECT uuid FROM Transactions").split('\n');
        for (const QString &uuid : committed)
            QVERIFY2(rows.contains(uuid), qPrintable(uuid));

        Database db; // the program goes on with the file
        QCOMPARE(db.transCount("PENDING") + db.transCount("OK"), rows.size());
        QVERIFY(db.transAdd(transaction("after-restart")));
    }
};

QTEST_GUILESS_MAIN(TstDatabase)
#include "tst_database.moc"
