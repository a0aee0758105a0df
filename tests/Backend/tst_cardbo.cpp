// The card back-office client against the card back office of the back-office peer, over
// TLS with a client certificate of the test authority; the lane is a small stand-in, the
// queue is checked in "terminal.db" with the sqlite3 tool. The client's second is shortened
// through its timing parameter.
#include "Backend/CardBO.h"
#include "Backend/Database.h"
#include "Backend/LaneView.h"
#include "Common/Config.h"
#include "Models/IPv4.h"

#include "BackOfficePeer.h"
#include "LogCapture.h"
#include "TestUtil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QThread>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using Backend::CardBO;

namespace {

const auto json = &BackOfficePeer::json;

const QString Device = "/api/v1/device/";

const QVariantMap Defaults{{"card-bo/url", QString()},
                           {"card-bo/pubCert", "/opt/certs/device.crt"},
                           {"card-bo/privKey", "/opt/certs/device.key"},
                           {"card-bo/rootCA", "/opt/certs/rootCA.crt"},
                           {"card-bo/ignoreSslErrors", true},
                           {"card-bo/hbIntervalSec", 60},
                           {"card-bo/hbPolicy", "on-change"},
                           {"card-bo/respTimeoutMsec", 5000},
                           {"barrier/url", QString()},
                           {"barrier/timeout", 1000},
                           {"cameras/alpr1", QString()},
                           {"terminal/collectTimeoutSec", 60},
                           {"terminal/deviceId", "/etc/serialnumber"}};

struct Lane : Backend::LaneView
{
    QString serial = "DEV-7", customs = "12", location = "3";
    IPv4 ip;
    QStringList installs;

    QString serialNum() const override { return serial; }
    QString customsId() const override { return customs; }
    QString locationId() const override { return location; }
    QString type() const override { return "CARD_COLLECTION_MACHINE"; }
    QString cardLevel() const override { return "LOW"; }
    int uptime() const override { return 4711; }
    bool rfidActive() const override { return false; }
    QString rfidError() const override { return "Reader offline"; }
    bool dispenserActive() const override { return true; }
    bool barrierActive() const override { return false; }
    QString barrierReason() const override { return "Not connected"; }
    bool clockSynced() const override { return false; }
    QList<Camera> cameraStatus() const override { return {{"alpr2", "ON"}, {"ccr1", "OFF"}}; }
    IPv4 *ipv4() const override { return const_cast<IPv4 *>(&ip); }
    QString softwareVersion() const override { return "1.0.0"; }
    void installSoftware(const QString &v, const QString &url, const QString &md5) override
    {
        installs << v + ' ' + url + ' ' + md5;
    }
};

// Answers in turn.
QJsonArray turns(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).array();
}

// One number read from "terminal.db" of the working directory, on a connection of the test's own.
int probe(const QString &sql)
{
    const QString name = QString("probe-%1").arg(quintptr(QThread::currentThreadId()));
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name)
                                                   : QSqlDatabase::addDatabase("QSQLITE", name);
    db.setDatabaseName(QDir::current().filePath(Backend::Database::FileName));
    if (!db.isOpen() && !db.open())
        return -1;
    QSqlQuery q(sql, db);
    return q.next() ? q.value(0).toInt() : -1;
}

Backend::Transaction::Ptr transaction(const QString &uuid)
{
    Backend::Transaction::Ptr t(new Backend::Transaction);
    t->setType(Backend::Transaction::Scan);
    t->setUuid(uuid);
    t->setTimestamp(QDateTime::currentDateTime());
    t->setDeviceSerial("DEV-7");
    t->setCardUid("04A1");
    return t;
}

// Runs the event loop itself (not one batch at a time) until cond() holds; for long
// chains of queued work.
bool runUntil(const std::function<bool()> &cond, int timeoutMs)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (cond())
            loop.quit();
    });
    poll.start(100);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return cond();
}

// The process's resident memory in KiB: "VmHWM" the peak since "5" went to clear_refs, "VmRSS" now.
qint64 memoryKiB(const char *field)
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    return QRegularExpression(QString(field) + ":\\s*(\\d+)").match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
}

CardBO::Timing timing(int secondMs)
{
    CardBO::Timing t;
    t.secondMs = secondMs;
    return t;
}

// One client of its own with a fresh configuration, database and settings.
struct Rig
{
    Config config;
    Backend::Database db;
    Lane lane;
    CardBO bo;
    Rig(const QVariantMap &values, int secondMs)
        : config("gui.conf", Defaults)
        , bo(config, db, lane, nullptr, timing(secondMs))
    {
        for (auto it = values.begin(); it != values.end(); ++it)
            config.set(it.key(), it.value());
    }
};

} // namespace

class TstCardBO : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    BackOfficePeer m_peer{true};
    int m_dirs = 0;

    // The peer over TLS with the authority's client certificate, trusted for real.
    QVariantMap tls(QVariantMap more)
    {
        more.insert({{"card-bo/url", m_peer.https()},
                     {"card-bo/rootCA", m_peer.certFile("ca.pem")},
                     {"card-bo/pubCert", m_peer.certFile("client.pem")},
                     {"card-bo/privKey", m_peer.certFile("client.key")},
                     {"card-bo/ignoreSslErrors", false}});
        return more;
    }

    static QString apiKey() { return QSettings("vexo", "zuka-card-bo").value("apiKey").toString(); }

    // Registers a key with the peer, as an earlier run of the client would have.
    void preRegister(Rig &rig) { rig.db.setParam("apiKey", m_peer.registerTerminal()); }

private slots:
    void initTestCase()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_root.filePath("settings"));
        QVERIFY(m_peer.start());
    }

    void cleanupTestCase() { QVERIFY(m_peer.stop()); }

    void init()
    {
        const QString dir = m_root.filePath(QString::number(++m_dirs));
        QVERIFY(QDir().mkpath(dir) && QDir::setCurrent(dir));
        QSettings("vexo", "zuka-card-bo").clear();
        m_peer.script({});
    }

    // No key: NotRegistered, registration, then Init loads the offices and sends the first
    // heartbeat, which brings the client Online; the key goes out only once it exists.
    void registersAndGoesOnline()
    {
        LogCapture log(false);
        m_peer.script({{"cardbo", json(R"({"customs": [{"id": 12, "name": "Piraeus"}],
                                           "locations": [{"id": 3, "name": "Gate B"}]})")}});
        Rig rig(tls({{"card-bo/hbIntervalSec", 2}}), 50);
        rig.lane.ip.setAddress("10.0.0.9");
        rig.lane.ip.setGateway("10.0.0.1");
        rig.lane.ip.setDns0("1.1.1.1");
        const int before = m_peer.requests().size();
        rig.bo.start();
        QVERIFY(TestUtil::waitUntil([&] { return rig.bo.state() == CardBO::Online; }, 10000));
        QVERIFY(m_peer.waitForRequests("POST " + Device + "heartbeat", 1));

        const QList<QJsonObject> requests = m_peer.requests().mid(before);
        QCOMPARE(requests.first()["path"].toString(), Device + "register");
        QVERIFY(!requests.first()["headers"].toObject().contains("X-API-Key"));
        QCOMPARE(json(requests.first()["body"].toString()),
                 json(R"({"serialNumber": "DEV-7", "type": "CARD_COLLECTION_MACHINE", "name": null,
                          "customsId": "12", "locationId": "3"})"));
        QVERIFY(!apiKey().isEmpty());
        for (const QJsonObject &r : requests.mid(1))
            QCOMPARE(r["headers"].toObject()["X-API-Key"].toString(), apiKey());
        QCOMPARE(rig.db.findCustoms(12).name, QString("Piraeus"));
        QCOMPARE(rig.db.findLocation(3).name, QString("Gate B"));

        QJsonObject hb = json(m_peer.requests("POST " + Device + "heartbeat").last()["body"].toString());
        QCOMPARE(hb.size(), 11);
        QCOMPARE(hb["configUpdatedAt"].toString(), rig.config.lastModified().toUTC().toString(Qt::ISODate));
        QVERIFY(hb["reportTime"].toString().endsWith('Z'));
        for (const char *k : {"reportTime", "configUpdatedAt"})
            hb.remove(k);
        QCOMPARE(hb, json(R"({"deviceSerial": "DEV-7", "softwareVersion": "1.0.0", "blacklistVersion": "",
            "cardLevel": "LOW", "pendingTransactions": 0, "uptimeSec": 4711,
            "network": {"ipv4": "10.0.0.9", "gway": "10.0.0.1", "dns": ["1.1.1.1", ""]},
            "status": [{"name": "RFID", "status": "ERROR", "statusText": "Reader offline"},
                       {"name": "Dispenser", "status": "OK", "statusText": "OK"},
                       {"name": "Barrier", "status": "ERROR", "statusText": "Not connected"},
                       {"name": "NTP", "status": "WARNING", "statusText": "Clock not synchronized"},
                       {"name": "ALPR2", "status": "OK", "statusText": "OK"},
                       {"name": "CCR1", "status": "ERROR", "statusText": "Camera disconnected"}],
            "config": [{"name": "barrier/timeout", "type": "NUM", "value": 1000},
                       {"name": "barrier/url", "type": "STR", "value": ""},
                       {"name": "cameras/alpr1", "type": "STR", "value": ""},
                       {"name": "card-bo/hbIntervalSec", "type": "NUM", "value": 2},
                       {"name": "card-bo/hbPolicy", "type": "STR", "value": "on-change"},
                       {"name": "terminal/collectTimeoutSec", "type": "NUM", "value": 60}]})"));

        QCOMPARE(log.texts().filter("State changed"),
                 QStringList({"[Backend::CardBO] State changed : (0) Init (reason=User request)",
                              "[Backend::CardBO] State changed : (1) Not Registered (reason=Missing API key)",
                              "[Backend::CardBO] State changed : (0) Init ",
                              "[Backend::CardBO] State changed : (2) Online "}));
        QVERIFY(!log.containsPart(apiKey()));
    }

    // Heartbeats that get no answer: Online through three intervals from the last
    // success, then Error "Communication error", then Init and Online again once the
    // back office answers. A configured interval of 0 counts as 30 s for the limit too.
    void lostCommunication_data()
    {
        QTest::addColumn<int>("interval");
        QTest::newRow("2 s") << 2;
        QTest::newRow("0 s (30 s)") << 0;
    }

    void lostCommunication()
    {
        QFETCH(int, interval);
        Rig rig(tls({{"card-bo/hbIntervalSec", interval}}), interval ? 50 : 10);
        preRegister(rig);
        rig.bo.start();
        QVERIFY(TestUtil::waitUntil([&] { return rig.bo.state() == CardBO::Online; }, 15000));
        QVERIFY(TestUtil::waitUntil([&] { return rig.bo.lastComms().isValid(); }));
        m_peer.script({{"POST " + Device + "heartbeat", json(R"({"reset": true})")}});
        const int limitMs = 3 * (interval ? interval * 50 : 30 * 10);
        QVERIFY(TestUtil::waitUntil([&] { return rig.bo.state() == CardBO::Error; }, 10000));
        QVERIFY(rig.bo.lastComms().msecsTo(QDateTime::currentDateTime()) >= limitMs);
        QCOMPARE(rig.bo.reason(), QString("Communication error"));
        m_peer.script({});
        QVERIFY(TestUtil::waitUntil([&] { return rig.bo.state() == CardBO::Online; }, 10000));
    }

    // "DEVICE_DISABLED" disables the client, a lost answer keeps it disabled, the first
    // heartbeat that succeeds brings it back; answers that come after stop() move nothing.
    void disabledAndBack()
    {
        Rig rig(tls({{"card-bo/hbIntervalSec", 2}}), 50);
        preRegister(rig);
        m_peer.script({{"POST " + Device + "heartbeat",
                        turns(R"([{}, {"status": 403, "json": {"errorCode": "DEVICE_DISABLED"}}, {"reset": true},
                                 {"reset": true}, {"reset": true}, {"reset": true}, {"reset": true}, {}])")}});
        QSignalSpy states(&rig.bo, &CardBO::stateChanged);
        rig.bo.start();
        QVERIFY(TestUtil::waitUntil([&] { return rig.bo.state() == CardBO::Disabled; }, 15000));
        QCOMPARE(rig.bo.reason(), QString("Terminal disabled from BO"));
        QVERIFY(TestUtil::waitUntil([&] { return rig.bo.state() == CardBO::Online; }, 20000));
        QCOMPARE(states.size(), 4); // Init, Online, Disabled, Online
        QVERIFY(m_peer.requests("POST " + Device + "heartbeat").size() >= 8);

        // Stopped while a heartbeat is on its way: its answer (disabled) changes nothing.
        m_peer.script({{"POST " + Device + "heartbeat",
                        json(R"({"status": 403, "delayMs": 400, "json": {"errorCode": "DEVICE_DISABLED"}})")}});
        const int sent = m_peer.requests("POST " + Device + "heartbeat").size();
        QVERIFY(m_peer.waitForRequests("POST " + Device + "heartbeat", sent + 1));
        LogCapture log(false);
        rig.bo.stop();
        QVERIFY(log.waitForPart("Operation failed : (403)"));
        QCOMPARE(rig.bo.state(), CardBO::Stopped);
    }

    // A heartbeat answer's blacklist, software version, configuration and commands: the
    // blacklist is fetched once, the configuration applied once, a command comes with
    // every answer until its status is posted.
    void heartbeatAnswers()
    {
        LogCapture log(false);
        Rig rig(tls({{"card-bo/hbIntervalSec", 2}}), 50);
        preRegister(rig);
        // The configuration file's time well before the back office's.
        QFile file("gui.conf");
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
        file.close();
        const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
        m_peer.script({{"cardbo", json(QString(R"({"heartbeat": {"blacklistVersion": "v2",
            "softwareVersion": "2.0.0", "softwareUrl": "http:\/\/sw\/2.0.0.deb", "softwareMd5": "abc",
            "configUpdatedAt": "%1", "config": [{"name": "barrier/timeout", "value": 1500},
                                                 {"name": "terminal/collectTimeoutSec", "value": "one minute"},
                                                 {"name": "card-bo/hbPolicy", "value": "always"}]},
            "commands": [{"id": "c-1", "command": "resetBox"}]})").arg(now))},
                       // A full list is larger than any other answer.
                       {"GET " + Device + "blacklist", json(R"({"json": {"added": ["04A1", "04B2"], "removed": ["0000"]},
                                                                "padBytes": 6000000})")}});
        QSignalSpy commands(&rig.bo, &CardBO::commandReceived);
        QSignalSpy changes(&rig.config, &Config::configChanged);
        rig.bo.start();
        QVERIFY(commands.wait(15000));
        QCOMPARE(commands.first(), QVariantList({"c-1", "resetBox"}));
        QVERIFY(TestUtil::waitUntil([&] { return commands.size() >= 2; }));
        rig.bo.sendCommandResult("c-1", "resetBox", true);
        QVERIFY(m_peer.waitForRequests(Device + "command/status", 1));
        const int heartbeats = m_peer.requests("POST " + Device + "heartbeat").size();
        QVERIFY(m_peer.waitForRequests("POST " + Device + "heartbeat", heartbeats + 3));
        const int received = commands.size();
        QVERIFY(m_peer.waitForRequests("POST " + Device + "heartbeat", heartbeats + 5));
        QCOMPARE(commands.size(), received);

        QCOMPARE(rig.config.get("barrier/timeout").toInt(), 1500);
        QCOMPARE(rig.config.get("card-bo/hbPolicy").toString(), QString("always"));
        QCOMPARE(changes.size(), 2);
        QCOMPARE(log.count("[Config] WARN: Configuration value terminal/collectTimeoutSec=one minute is not a number,"
                           " keeping 60"), 1);
        QCOMPARE(log.countContaining("WARN: New configuration received"), 1);
        QCOMPARE(m_peer.requests(Device + "blacklist").size(), 1);
        QCOMPARE(m_peer.requests(Device + "blacklist").first()["query"].toString(), QString("after=v2"));
        QVERIFY(rig.db.isBlacklisted("04A1") && rig.db.isBlacklisted("04B2"));
        QCOMPARE(rig.bo.blacklistVer(), QString("v2"));
        QCOMPARE(rig.lane.installs.first(), QString("2.0.0 http://sw/2.0.0.deb abc"));
        const QJsonObject status = json(m_peer.requests(Device + "command/status").first()["body"].toString());
        QCOMPARE(status["result"].toBool(), true);
        QCOMPARE(status["error"].toString(), QString());
        QCOMPARE(QDateTime::fromString(status["executedAt"].toString(), Qt::ISODate).offsetFromUtc(),
                 QDateTime::currentDateTime().offsetFromUtc());
    }

    // One answer to one transaction, and the row it leaves.
    void queueRules_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("row"); // sendStatus|sendAttempts|respStatus|delay until the next attempt
        QTest::newRow("503") << R"({"status": 503})" << "PENDING|1|503|60";
        QTest::newRow("201") << R"({"status": 201, "json": {"ok": 1}})" << "OK|1|201|";
        QTest::newRow("400") << R"({"status": 400, "json": {"error": "bad"}})" << "FAILED|1|400|";
        QTest::newRow("204") << R"({"status": 204})" << "OK|1|204|";
        QTest::newRow("202") << R"({"status": 202})" << "OK|1|202|";
        QTest::newRow("200 naming no transaction") << R"({"status": 200, "json": {"transactionUid": null}})" << "OK|1|200|";
        QTest::newRow("408") << R"({"status": 408})" << "PENDING|1|408|60";
        QTest::newRow("429") << R"({"status": 429})" << "PENDING|1|429|60";
        QTest::newRow("401") << R"({"status": 401})" << "PENDING|1|401|60";
        QTest::newRow("no answer") << R"({"reset": true})" << "PENDING|1|0|60";
        QTest::newRow("404") << R"({"status": 404})" << "FAILED|1|404|";
        // Hostile answers: too large (announced, or streamed without a length), a redirect
        // to another origin, a large body of which the row keeps the small members.
        QTest::newRow("100 MB") << R"({"bodyBytes": 104857600})" << "PENDING|1|0|60";
        QTest::newRow("100 MB unannounced") << R"({"bodyBytes": 104857600, "unannounced": true})"
                                            << "PENDING|1|0|60";
        QTest::newRow("redirect elsewhere") << R"({"elsewhere": "localhost"})" << "PENDING|1|-1|60";
        QTest::newRow("201 with 1 MB") << R"({"status": 201, "json": {"ok": 1}, "padBytes": 1000000})"
                                       << "OK|1|201|";
    }

    void queueRules()
    {
        QFETCH(QString, answer);
        QFETCH(QString, row);
        m_peer.script({{"POST " + Device + "transaction", json(answer)}});
        Rig rig(tls({}), 1000);
        const qint64 before = memoryKiB("VmRSS");
        QFile refs("/proc/self/clear_refs");
        QVERIFY(refs.open(QIODevice::WriteOnly) && refs.write("5") == 1 && refs.flush());
        rig.bo.sendTransaction(transaction("t-1"));
        QVERIFY(TestUtil::waitUntil([] { return TestUtil::sqlite3(Backend::Database::FileName, "SELECT sendAttempts FROM Transactions") == "1"; }, 20000));
        // Whatever the answer, the process held little of it and the row keeps little.
        QVERIFY2(memoryKiB("VmHWM") - before < 64 * 1024, qPrintable(QString::number(memoryKiB("VmHWM") - before)));
        QVERIFY(QFileInfo(Backend::Database::FileName).size() < 256 * 1024);
        QCOMPARE(TestUtil::sqlite3(Backend::Database::FileName, "SELECT sendStatus || '|' || sendAttempts || '|' || respStatus || '|' || "
                         "ifnull(strftime('%s', sendSchedDate) - strftime('%s', sendDate), '') FROM Transactions"),
                 row);
        if (answer.contains("json"))
            QCOMPARE(TestUtil::sqlite3(Backend::Database::FileName, "SELECT respData FROM Transactions"),
                     QString::fromUtf8(QJsonDocument(json(answer)["json"].toObject()).toJson(QJsonDocument::Compact)));
        // Nothing went to another origin; a row kept for later gets through once due again.
        for (const QJsonObject &r : m_peer.requests())
            QVERIFY(!r["headers"].toObject()["Host"].toString().startsWith("localhost"));
        if (row.startsWith("PENDING")) {
            m_peer.script({{"POST " + Device + "transaction", json(R"({"status": 201})")}});
            TestUtil::sqlite3(Backend::Database::FileName, "UPDATE Transactions SET sendSchedDate = '2001-01-01T00:00:00'");
            rig.bo.processPendingTransactions();
            QVERIFY(TestUtil::waitUntil([] { return TestUtil::sqlite3(Backend::Database::FileName, "SELECT sendStatus FROM Transactions") == "OK"; }));
        }
    }

    // Failures one after another stretch the schedule: 60 s up to the third, 900 s up to
    // the sixth, 3600 s up to the ninth, then 21600 s.
    void retrySchedule()
    {
        Backend::Database db;
        HttpClient client;
        Backend::TransactionSender sender(db, client, [] { return QUrl(); }, 5);
        auto delay = [&](int attempts) {
            auto t = transaction("x");
            t->sendDetails().attempts = attempts;
            return qRound(QDateTime::currentDateTime().msecsTo(sender.nextSendDate(t)) / 5.0);
        };
        QCOMPARE(QList<int>({delay(1), delay(3), delay(4), delay(6), delay(7), delay(9), delay(10), delay(40)}),
                 QList<int>({60, 60, 900, 900, 3600, 3600, 21600, 21600}));
    }

    // Due rows go earliest first, one at a time; a transaction stored during a send goes
    // right after it. An answer that names another transaction (the one before, answered
    // twice on the kept connection) acknowledges nothing: that transaction goes again.
    void sendOrder_data()
    {
        QTest::addColumn<QString>("answers");
        QTest::addColumn<QStringList>("sends"); // uuid and remaining, as logged
        QTest::newRow("one answer each") << R"({"status": 201, "delayMs": 300})"
                                         << QStringList{"at-10:00 2", "at-10:05 2", "at-10:10 1", "new 0"};
        QTest::newRow("one answered twice") << R"([{"status": 204, "delayMs": 300, "twice": true}, null])"
                                            << QStringList{"at-10:00 2", "at-10:05 2", "at-10:10 1", "new 0", "at-10:05 0"};
    }
    void sendOrder()
    {
        QFETCH(QString, answers);
        LogCapture log(false);
        m_peer.script({{"POST " + Device + "transaction", json(R"({"a": )" + answers + "}")["a"]}});
        const int before = m_peer.requests("POST " + Device + "transaction").size(); // earlier cases'
        Rig rig(tls({}), 10);
        preRegister(rig);
        for (const char *t : {"10:05", "10:00", "10:10"}) {
            rig.db.transAdd(transaction(QString("at-") + t));
            TestUtil::sqlite3(Backend::Database::FileName, QString("UPDATE Transactions SET sendSchedDate = '2001-01-01T%1:00' WHERE uuid = 'at-%1'").arg(t));
        }
        rig.bo.processPendingTransactions();
        QVERIFY(m_peer.waitForRequests("POST " + Device + "transaction", before + 1)); // the first is on its way
        rig.bo.sendTransaction(transaction("new"));
        QVERIFY(TestUtil::waitUntil([] { return TestUtil::sqlite3(Backend::Database::FileName, "SELECT count(*) FROM Transactions WHERE sendStatus = 'OK'") == "4"; }));
        QStringList sends;
        for (const QString &line : log.texts().filter("Sending transaction"))
            sends << line.section(" : ", 1).section(' ', 0, 0) + ' ' + line.section("remaining=", 1).section(')', 0, 0);
        QTEST(sends, "sends");
    }

    // A backlog whose sends all fail at once ("Invalid URL") is worked through from the
    // event loop, row after row, without nesting one send in the other: on a thread with a
    // small stack, as a long backlog would need a deep one.
    void backlogFailingAtOnce()
    {
        const int Rows = 5000;
        delete new Backend::Database; // the tables
        TestUtil::sqlite3(Backend::Database::FileName, QString("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) ").arg(Rows) +
                "INSERT INTO Transactions SELECT 'SCAN', 'u' || i, '2001-01-01T00:00:00', 'DEV-7', '', '', '', NULL, "
                "'2001-01-01T00:00:00', 'PENDING', 0, 0, NULL, NULL FROM n");
        struct Worker : QThread
        {
            bool done = false;
            void run() override
            {
                Rig rig({{"card-bo/url", "http://[::1"}}, 1000);
                rig.bo.processPendingTransactions();
                done = runUntil([] { return probe("SELECT count(*) FROM Transactions WHERE sendAttempts = 1") == Rows; },
                                120000);
            }
        } worker;
        worker.setStackSize(512 * 1024);
        LogCapture quiet(false);
        worker.start();
        QVERIFY(worker.wait(130000));
        QVERIFY(worker.done);
        QCOMPARE(TestUtil::sqlite3(Backend::Database::FileName, "SELECT DISTINCT sendStatus || respStatus FROM Transactions"), QString("PENDING0"));
    }
};

QTEST_GUILESS_MAIN(TstCardBO)
#include "tst_cardbo.moc"
