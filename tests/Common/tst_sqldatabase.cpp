// SQLite access over a real file: per-thread connections, logged statements, user
// version and table test, checked from outside with the sqlite3 tool.
#include "Common/SqlDatabase.h"
#include "LogCapture.h"
#include "TestUtil.h"

#include <QSqlError>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

const QString Created = "[SqlDatabase] Creating new Database connection for thread ";

}

class TstSqlDatabase : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void statementsOnARealFile()
    {
        LogCapture log;
        const QString file = m_dir.filePath("terminal.db");
        {
            SqlDatabase db(file);
            QCOMPARE(log.count(Created), 0);  // nothing is opened before first use
            QCOMPARE(db.userVersion(), 0);
            QCOMPARE(log.count(Created), 1);

            QVERIFY(db.execute("CREATE TABLE Transactions (id INTEGER PRIMARY KEY, kind TEXT)").isActive());
            QVERIFY(log.contains("[SqlDatabase] Executed query : "
                                 "CREATE TABLE Transactions (id INTEGER PRIMARY KEY, kind TEXT)"));
            QVERIFY(log.containsPart("[SqlDatabase] Operation completed in : "));
            QVERIFY(db.tableExists("transactions"));
            QVERIFY(db.tableExists("TRANSACTIONS"));
            QVERIFY(!db.tableExists("Blacklist"));

            QSqlQuery insert = db.query("INSERT INTO Transactions (kind) VALUES (?)");
            for (const char *kind : {"ISSUANCE", "COLLECTION", "ΣΦΑΛΜΑ"}) {
                insert.addBindValue(QString::fromUtf8(kind));
                QVERIFY(db.execute(insert));
            }
            // A write that need not wait for the disk is committed at once all the same (another
            // process sees it), and the writes after it are synced again.
            QSqlQuery unsynced = db.query("UPDATE Transactions SET kind = lower(kind) || '!' WHERE id = ?");
            unsynced.addBindValue(1);
            QVERIFY(db.execute(unsynced, SqlDatabase::Sync::Unsynced));
            QCOMPARE(TestUtil::sqlite3(file, "SELECT group_concat(kind, ',') FROM Transactions"),
                     QString("issuance!,COLLECTION,ΣΦΑΛΜΑ"));
            QSqlQuery pragmas = db.execute("SELECT * FROM pragma_journal_mode, pragma_synchronous");
            QVERIFY(pragmas.next());
            QCOMPARE(pragmas.value(0).toString() + pragmas.value(1).toString(), QString("wal2")); // FULL
            pragmas.finish();
            // Inside a transaction the level is refused, and said so.
            QVERIFY(db.execute("BEGIN").isActive());
            QSqlError refusal;
            QVERIFY(!db.setSync(SqlDatabase::Sync::Unsynced, &refusal));
            QVERIFY(refusal.text().contains("Safety level may not be changed inside a transaction"));
            QVERIFY(db.execute("COMMIT").isActive());
            QVERIFY(db.setUserVersion(7));
            QCOMPARE(db.userVersion(), 7);
            QCOMPARE(log.count(Created), 1);  // one connection for this thread throughout
        }
        QCOMPARE(TestUtil::sqlite3(file, "SELECT group_concat(kind, ',') FROM Transactions ORDER BY id"),
                 QString("issuance!,COLLECTION,ΣΦΑΛΜΑ"));
        QCOMPARE(TestUtil::sqlite3(file, "PRAGMA user_version"), QString("7"));
        QVERIFY(!log.containsPart("still in use"));
        QVERIFY(QSqlDatabase::connectionNames().isEmpty());
    }

    void failingStatementIsLogged()
    {
        SqlDatabase db(m_dir.filePath("errors.db"));
        LogCapture log;
        QSqlQuery q = db.execute("SELEC 1");
        QVERIFY(!q.isActive());
        QVERIFY(q.lastError().isValid());
        QVERIFY(log.contains("[SqlDatabase] ERROR: Could not execute query : SELEC 1"));
        QVERIFY(log.contains("[SqlDatabase] ERROR: " + q.lastError().text()));
        QSqlQuery bad = db.query("SELECT * FROM Missing");
        QVERIFY(!db.execute(bad));
    }

    void fileThatCannotBeOpened()
    {
        LogCapture log;
        SqlDatabase db(m_dir.filePath("no/such/folder/x.db"));
        QVERIFY(!db.execute("CREATE TABLE t (a)").isActive());
        QVERIFY(log.containsPart("[SqlDatabase] ERROR: Database open failed : "));
        QCOMPARE(db.userVersion(), 0);
        QVERIFY(!db.tableExists("t"));
    }

    void oneConnectionPerThread()
    {
        LogCapture log;
        const QString file = m_dir.filePath("threads.db");
        {
            SqlDatabase db(file);
            QVERIFY(db.execute("CREATE TABLE Blacklist (uid TEXT)").isActive());
            const QString mainName = db.database().connectionName();

            QString workerName;
            bool workerOk = false;
            QThread *worker = QThread::create([&] {
                workerName = db.database().connectionName();
                QSqlQuery q = db.query("INSERT INTO Blacklist (uid) VALUES ('04A1B2C3')");
                workerOk = db.execute(q);
            });
            worker->start();
            QVERIFY(worker->wait(10000));
            delete worker;

            QVERIFY(workerOk);
            QVERIFY(!workerName.isEmpty());
            QVERIFY(workerName != mainName);
            QCOMPARE(log.count(Created), 2);
            // The worker's connection went with its thread.
            QCOMPARE(QSqlDatabase::connectionNames(), QStringList{mainName});

            QSqlQuery rows = db.execute("SELECT uid FROM Blacklist");
            QVERIFY(rows.next());
            QCOMPARE(rows.value(0).toString(), QString("04A1B2C3"));
        }
        QVERIFY(!log.containsPart("still in use"));
        QVERIFY(QSqlDatabase::connectionNames().isEmpty());
        QCOMPARE(TestUtil::sqlite3(file, "SELECT count(*) FROM Blacklist"), QString("1"));
    }

    // A store that ends while a worker thread still holds a connection leaves nothing
    // registered behind.
    void storeEndsBeforeItsWorker()
    {
        LogCapture log;
        auto *db = new SqlDatabase(m_dir.filePath("early.db"));
        QSemaphore used, release;
        QThread *worker = QThread::create([&] {
            db->userVersion();
            used.release();
            release.acquire();
        });
        worker->start();
        QVERIFY(used.tryAcquire(1, 10000));
        QCOMPARE(QSqlDatabase::connectionNames().size(), 1);
        delete db;
        QVERIFY(QSqlDatabase::connectionNames().isEmpty());
        release.release();
        QVERIFY(worker->wait(10000));
        delete worker;
        QVERIFY(!log.containsPart("still in use"));
    }
};

QTEST_GUILESS_MAIN(TstSqlDatabase)
#include "tst_sqldatabase.moc"
