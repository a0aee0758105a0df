// The local database on real "terminal.db" files, checked from outside with the sqlite3
// tool; the settings store of the API key is redirected into a temporary folder.
#include "Backend/Database.h"

#include "LogCapture.h"
#include "PeerProcess.h"
#include "TestUtil.h"

#include <QDir>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using Backend::Database;
using Backend::Transaction;

namespace {

QString sqlite3(const QString &sql, const QString &file = Database::FileName)
{
    QProcess p;
    p.start("sqlite3", {file, sql});
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return "<sqlite3 failed: " + QString::fromUtf8(p.readAllStandardError()) + ">";
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

Transaction::Ptr transaction(const QString &uuid, Transaction::Type type = Transaction::Scan)
{
    Transaction::Ptr t(new Transaction);
    t->setType(type);
    t->setUuid(uuid);
    t->setTimestamp(QDateTime(QDate(2024, 5, 1), QTime(10, 0), Qt::LocalTime));
    t->setDeviceSerial("DEV-1");
    t->setCardUid("04A1B2C3");
    t->setZuruvDbId(uuid);
    t->setErrorDetails(type == Transaction::ErrorReport ? "Card jammed" : "");
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

    // A new empty working directory.
    void freshDir()
    {
        const QString dir = m_root.filePath(QString::number(++m_dirs));
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(QDir::setCurrent(dir));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid() && m_settings.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
    }

    void init() { freshDir(); }

    void schemaCreatedOnce()
    {
        LogCapture log(false);
        {
            Database db;
            QStringList created;
            for (const QString &line : log.texts())
                if (line.startsWith("[Backend::Database] Creating table : "))
                    created << line.mid(37);
            QCOMPARE(created, QStringList({"Customs", "Locations", "Parameters", "Blacklist", "Transactions"}));
        }
        QCOMPARE(sqlite3("SELECT sql FROM sqlite_master WHERE name = 'Transactions'"),
                 QString("CREATE TABLE Transactions (type TEXT,uuid TEXT,timestamp TEXT,deviceSerial TEXT,"
                         "cardUid TEXT,zuruvDbId TEXT,errorDetails TEXT,sendDate TEXT,sendSchedDate TEXT,"
                         "sendStatus TEXT,sendAttempts INTEGER,respStatus INTEGER,respData BLOB,"
                         "PRIMARY KEY (uuid))"));
        log.clear();
        Database again;
        QCOMPARE(log.countContaining("Creating table : "), 0);
    }

    void parameters()
    {
        Database db;
        QSignalSpy changed(&db, &Database::paramChanged);
        QCOMPARE(db.param("apiKey"), QVariant(QString()));
        QVERIFY(!db.param("id").isValid());

        db.setParam("apiKey", "k-secret-1");
        db.setParam("apiKey", "k-secret-1");
        QCOMPARE(changed.count(), 1);
        QCOMPARE(db.param("apiKey").toString(), QString("k-secret-1"));
        QCOMPARE(QSettings("vexo", "zuka-card-bo").value("apiKey").toString(), QString("k-secret-1"));
        QCOMPARE(sqlite3("SELECT COUNT(*) FROM Parameters"), QString("0"));

        db.setParam("id", 42);
        db.setParam("id", "42");
        db.setParam("blacklistVer", Nasty);
        QCOMPARE(changed.count(), 3);
        QCOMPARE(changed.last(), QVariantList({"blacklistVer", Nasty}));
        QCOMPARE(db.param("blacklistVer").toString(), Nasty);
        QStringList keys = db.paramKeys();
        QCOMPARE(keys.takeLast(), QString("apiKey"));
        keys.sort();
        QCOMPARE(keys, QStringList({"blacklistVer", "id"}));
        QCOMPARE(sqlite3("SELECT value FROM Parameters WHERE key = 'id'"), QString("42"));
    }

    // Values go to SQLite bound, never as SQL text: a hostile uid is just a uid.
    void blacklistAndRecords()
    {
        LogCapture log(false);
        Database db;
        QVERIFY(db.blacklistAdd(Nasty));
        QVERIFY(db.blacklistAdd("04AABB"));
        QVERIFY(!db.blacklistAdd("04AABB"));
        QVERIFY(log.containsPart("[SqlDatabase] ERROR: Could not execute query : INSERT INTO Blacklist"));
        QVERIFY(db.isBlacklisted(Nasty));
        QVERIFY(!db.isBlacklisted("x"));
        QCOMPARE(sqlite3("SELECT uid FROM Blacklist ORDER BY uid"), "04AABB\n" + Nasty);
        QVERIFY(db.blacklistRemove(Nasty));
        QVERIFY(!db.isBlacklisted(Nasty));
        QVERIFY(db.isBlacklisted("04AABB"));

        QSignalSpy customs(&db, &Database::customsChanged);
        QSignalSpy locations(&db, &Database::locationsChanged);
        db.setCustoms({{5, "Evzoni", "u-5"}, {7, Nasty, "u-7"}});
        db.setCustoms({{5, "Evzoni I", "u-5b"}});
        db.setLocations({{5, "Gate A", "l-5"}});
        QCOMPARE(customs.count(), 2);
        QCOMPARE(locations.count(), 1);
        QCOMPARE(db.findCustoms(5).name, QString("Evzoni I"));
        QCOMPARE(db.findCustoms(5).uuid, QString("u-5b"));
        QCOMPARE(db.findCustoms(7).name, Nasty); // kept although no longer listed
        QCOMPARE(db.findLocation(5).name, QString("Gate A"));
        const Database::DataRecord none = db.findLocation(7);
        QVERIFY(none.id == 0 && none.name.isEmpty() && none.uuid.isEmpty());
        QCOMPARE(db.customs().size(), 2);
        QCOMPARE(db.locations().size(), 1);
    }

    void duplicateUuidRefused()
    {
        LogCapture log(false);
        Database db;
        QVERIFY(db.transAdd(transaction("t-1", Transaction::Scan)));
        QVERIFY(!db.transAdd(transaction("t-1", Transaction::ErrorReport)));
        QVERIFY(log.containsPart("[SqlDatabase] ERROR: Could not execute query : INSERT INTO Transactions"));
        QCOMPARE(sqlite3("SELECT type, sendStatus, sendAttempts, respStatus, sendDate IS NULL, respData IS NULL "
                         "FROM Transactions"),
                 QString("SCAN|PENDING|0|0|1|1"));
    }

    // Which rows the sender picks up: pending ones scheduled by now, latest first.
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
        QVERIFY(db.transAdd(transaction("older")));
        Transaction::Ptr older = transaction("older");
        older->sendDetails().schedDate = now.addSecs(-3600);
        QVERIFY(db.transUpdate(older));

        Transaction::Ptr t = transaction("row", Transaction::ErrorReport);
        QVERIFY(db.transAdd(t));
        Transaction::SendDetails &d = t->sendDetails();
        d.status = status;
        d.date = now.addSecs(-700);
        d.schedDate = schedOffset == INT_MIN ? QDateTime() : now.addSecs(schedOffset);
        d.attempts = 4;
        d.respStatus = 503;
        d.respData = QJsonObject{{"error", Nasty}};
        QVERIFY(db.transUpdate(t));

        const QList<Transaction::Ptr> list = db.transDueForSend();
        QCOMPARE(uuids(list), due ? QStringList({"row", "older"}) : QStringList({"older"}));
        QCOMPARE(db.transCount(status), status == "PENDING" ? 2 : 1);

        // Every field comes back as it was written.
        if (due) {
            const Transaction::Ptr back = list.first();
            QCOMPARE(back->toJson(), t->toJson());
            QCOMPARE(back->timestamp(), t->timestamp());
            QCOMPARE(back->sendDetails().date.toString(Qt::ISODate), d.date.toString(Qt::ISODate));
            QCOMPARE(back->sendDetails().schedDate.toString(Qt::ISODate), d.schedDate.toString(Qt::ISODate));
            QCOMPARE(back->sendDetails().attempts, 4);
            QCOMPARE(back->sendDetails().respStatus, 503);
            QCOMPARE(back->sendDetails().respData, d.respData);
        }
    }

    // A table left by an older program with its columns in another order (and one more)
    // is used as it is, and its rows are read by column name.
    void existingTableUsedByName()
    {
        sqlite3("CREATE TABLE Transactions (uuid TEXT, sendStatus TEXT, note TEXT, type TEXT, respData BLOB, "
                "timestamp TEXT, deviceSerial TEXT, cardUid TEXT, zuruvDbId TEXT, errorDetails TEXT, "
                "sendDate TEXT, sendSchedDate TEXT, sendAttempts INTEGER, respStatus INTEGER, PRIMARY KEY (uuid));"
                "INSERT INTO Transactions VALUES ('u-old', 'PENDING', 'n', 'ERROR_REPORT', '{\"a\":1}', "
                "'2024-05-01T10:00:00', 'DEV-9', '04FF', 'z-1', 'Barrier stuck', NULL, '2024-05-01T10:00:00', 2, "
                "401)");
        LogCapture log(false);
        Database db;
        QVERIFY(!log.contains("[Backend::Database] Creating table : Transactions"));
        const QList<Transaction::Ptr> due = db.transDueForSend();
        QCOMPARE(due.size(), 1);
        const Transaction::Ptr t = due.first();
        QCOMPARE(t->uuid(), QString("u-old"));
        QCOMPARE(t->type(), Transaction::ErrorReport);
        QCOMPARE(t->deviceSerial(), QString("DEV-9"));
        QCOMPARE(t->cardUid(), QString("04FF"));
        QCOMPARE(t->zuruvDbId(), QString("z-1"));
        QCOMPARE(t->errorDetails(), QString("Barrier stuck"));
        QCOMPARE(t->timestamp(), QDateTime(QDate(2024, 5, 1), QTime(10, 0), Qt::LocalTime));
        QVERIFY(!t->sendDetails().date.isValid());
        QCOMPARE(t->sendDetails().status, QString("PENDING"));
        QCOMPARE(t->sendDetails().attempts, 2);
        QCOMPARE(t->sendDetails().respStatus, 401);
        QCOMPARE(t->sendDetails().respData, QJsonObject({{"a", 1}}));
        QVERIFY(db.transAdd(transaction("u-new")));
        QCOMPARE(db.transCount("PENDING"), 2);
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
        QVERIFY(committed.size() >= 300);
        QCOMPARE(sqlite3("PRAGMA integrity_check"), QString("ok"));
        const QStringList rows = sqlite3("SELECT uuid FROM Transactions").split('\n');
        for (const QString &uuid : committed)
            QVERIFY2(rows.contains(uuid), qPrintable(uuid));

        // The program goes on with the file.
        Database db;
        QCOMPARE(db.transCount("PENDING") + db.transCount("OK"), rows.size());
        QVERIFY(db.transAdd(transaction("after-restart")));
    }
};

QTEST_GUILESS_MAIN(TstDatabase)
#include "tst_database.moc"
