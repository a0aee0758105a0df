// The terminal with its real peers: broker, card back office (TLS, client certificate),
// barrier controller and card devices. Its state follows the peers as they come up; and
// the headless lane runner, killed while it sends, loses no transaction.
#include "Backend/CardBO.h"
#include "Backend/Database.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Mqtt/MqttClient.h"
#include "Engines/Terminal.h"

#include "BackOfficePeer.h"
#include "Broker.h"
#include "LogCapture.h"
#include "PeerProcess.h"
#include "TestUtil.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString Transactions = "POST /api/v1/device/transaction";

bool write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

Backend::CardBO::Timing second(int ms)
{
    Backend::CardBO::Timing t;
    t.secondMs = ms;
    return t;
}

} // namespace

class TstTerminal : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    Broker m_broker;
    BackOfficePeer m_peer{true};

    // The uuids the back office has counted, each once.
    QStringList counted()
    {
        QStringList uuids;
        for (const QJsonObject &r : m_peer.requests(Transactions))
            if (r["counted"].toBool())
                uuids << QJsonDocument::fromJson(r["body"].toString().toUtf8()).object()["transactionUid"].toString();
        return uuids;
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName("vexo");
        QCoreApplication::setApplicationName("zuka-terminal-ui");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_root.filePath("settings"));
        QVERIFY(m_broker.start());
        QVERIFY(m_peer.start());
    }

    void cleanupTestCase()
    {
        QVERIFY(m_peer.stop());
        QVERIFY(m_broker.stop());
    }

    // Right after the start the barrier controller is not there; once it is, the location
    // id is missing (its file is not there yet); once the file is moved in, the type is
    // missing until the dispenser service reports its model; then Ready. Meanwhile the
    // terminal registers with the card back office on its own.
    void stateFollowsPeers()
    {
        const QString dir = m_root.filePath("state");
        QVERIFY(QDir().mkpath(dir + "/ids") && QDir::setCurrent(dir));
        QVERIFY(write("serialnumber", QByteArray("  4711\n\0more", 13)));
        QVERIFY(write("prepared", "3\n")); // moved into place later: created long before
        TestUtil::ReservedPort barrierPort; // refused until the controller appears on it
        Config config("gui.conf", ConfigDefaults);
        const QVariantMap values{{"terminal/deviceId", dir + "/serialnumber"},
                                 {"terminal/customsId", "12"},
                                 {"terminal/locationId", dir + "/ids/locationId"},
                                 {"barrier/url", QString("127.0.0.1:%1").arg(barrierPort.port())},
                                 {"cameras/serverPort", 0},
                                 {"topics/rfid", "t1/rfid"},
                                 {"topics/dispenser", "t1/dispenser"},
                                 {"card-bo/url", m_peer.https()},
                                 {"card-bo/rootCA", m_peer.certFile("ca.pem")},
                                 {"card-bo/pubCert", m_peer.certFile("client.pem")},
                                 {"card-bo/privKey", m_peer.certFile("client.key")},
                                 {"card-bo/ignoreSslErrors", false},
                                 {"card-bo/hbIntervalSec", 2}};
        for (auto it = values.begin(); it != values.end(); ++it)
            config.set(it.key(), it.value());

        LogCapture log(false);
        manager::MqttClient mqtt;
        mqtt.setPort(m_broker.port());
        mqtt.connect();
        Terminal terminal(config, mqtt, nullptr, second(50));
        QCOMPARE(terminal.serialNum(), QString("4711"));
        QCOMPARE(terminal.customsId(), QString("12"));
        QCOMPARE(terminal.locationId(), QString());
        QStringList reasons;
        connect(&terminal, &Terminal::stateChanged, [&] {
            if (reasons.isEmpty() || reasons.last() != terminal.reason())
                reasons << terminal.reason();
        });
        terminal.start();
        QCOMPARE(terminal.reason(), QString("Barrier inactive"));
        QVERIFY(TestUtil::waitUntil([&] { return !terminal.database()->param("apiKey").toString().isEmpty(); }, 15000));

        PeerProcess barrier("barrier_peer");
        barrierPort.release();
        QVERIFY(barrier.startPython("barrier_peer.py", {"--port", QString::number(barrierPort.port())}, "READY"));
        QVERIFY(TestUtil::waitUntil([&] { return terminal.reason() == "Missing Location id"; }, 15000));

        QVERIFY(TestUtil::waitUntil([] { return QFileInfo("prepared").birthTime().msecsTo(QDateTime::currentDateTime()) > 2100; }));
        QVERIFY(QFile::rename("prepared", "ids/locationId"));
        QVERIFY(TestUtil::waitUntil([&] { return terminal.reason() == "Missing Terminal type"; }));
        QCOMPARE(terminal.locationId(), QString("3"));

        PeerProcess lane("lane_sim");
        QVERIFY(lane.startPython("lane_sim.py", {"--port", QString::number(m_broker.port()), "--rfid-root", "t1/rfid",
                                                 "--dispenser-root", "t1/dispenser", "--model", "ELG0909", "--quiet"}));
        QVERIFY(TestUtil::waitUntil([&] { return terminal.state() == Terminal::Ready; }, 15000));
        QCOMPARE(terminal.type(), QString("CARD_COLLECTION_MACHINE"));
        QVERIFY(TestUtil::waitUntil([&] { return terminal.cardBO()->state() == Backend::CardBO::Online; }, 15000));
        const int at = reasons.indexOf("Barrier inactive");
        QVERIFY(at >= 0);
        QStringList after = reasons.mid(at);
        after.removeAll("Terminal not registered"); // while it registers
        after.removeAll("Dispenser error");         // the card issuer while the dispenser service starts
        after.removeDuplicates();
        QCOMPARE(after, QStringList({"Barrier inactive", "Missing Location id", "Missing Terminal type", ""}));
        QVERIFY(log.contains("[Terminal] State changed : (2) Ready "));
        QVERIFY(log.contains("[Terminal]  TERMINAL STATE"));
        QVERIFY(log.contains("[Terminal]  Customs    : (12) "));
        QVERIFY(log.contains("[Terminal] File created : " + dir + "/ids/locationId"));

        // Its heartbeats report the lane as it now is.
        const int sent = m_peer.requests("POST /api/v1/device/heartbeat").size();
        QVERIFY(m_peer.waitForRequests("POST /api/v1/device/heartbeat", sent + 1));
        const QJsonObject hb = QJsonDocument::fromJson(
            m_peer.requests("POST /api/v1/device/heartbeat").last()["body"].toString().toUtf8()).object();
        QCOMPARE(hb["deviceSerial"].toString(), QString("4711"));
        QCOMPARE(hb["status"].toArray()[2].toObject()["status"].toString(), QString("OK"));

        // A card dropped into the box counts; the internal button of a collection machine
        // empties it; both kept in the settings store at once.
        terminal.storageBox()->resetCount();
        emit terminal.cardIssuer()->cardDisposed(Tag::Ptr());
        QCOMPARE(QSettings().value("storageBox/count").toInt(), 1);
        QVERIFY(log.contains("[Terminal] Card disposed : uid=<none>"));
        terminal.stop();
        QCOMPARE(terminal.cardBO()->state(), Backend::CardBO::Stopped);
        QVERIFY(lane.stop() && barrier.stop());
    }

    // 500 transactions queue while the back office gives no answer; the runner is killed
    // twice while it sends; once the back office answers, every transaction reaches it,
    // each uuid is counted once and no row is left unsent.
    void nothingLost()
    {
        const QString dir = m_root.filePath("lost");
        QVERIFY(QDir().mkpath(dir));
        write(dir + "/gui.conf", QString("[card-bo]\nurl=%1\nhbIntervalSec=3600\n"
                                         "[terminal]\ndeviceId=DEV-9\ncustomsId=1\nlocationId=2\n")
                                     .arg(m_peer.http()).toUtf8());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", dir + "/settings");
        const QString db = dir + "/terminal.db";
        auto runner = [&](PeerProcess &p, const QStringList &more) {
            p.setEnvironment(env);
            p.setWorkingDirectory(dir);
            return p.start(BUILD_DIR "/tests/Engines/lane_runner",
                           QStringList{"--config", "gui.conf", "--port", QString::number(m_broker.port()),
                                       "--second-ms", "20"} + more);
        };
        const int before = m_peer.requests(Transactions).size();
        auto sends = [&] { return m_peer.requests(Transactions).size() - before; };

        m_peer.script({{Transactions, QJsonObject{{"reset", true}}}});
        {
            PeerProcess run("lane_runner");
            QVERIFY(runner(run, {"--queue", "500"}));
            QVERIFY(TestUtil::waitUntil([&] { return sends() >= 500; }, 60000));
            QVERIFY(run.stop());
        }
        QCOMPARE(TestUtil::sqlite3(db, "SELECT count(*) FROM Transactions WHERE sendStatus = 'PENDING'"), QString("500"));
        QVERIFY(counted().isEmpty());

        m_peer.script({});
        {
            PeerProcess run("lane_runner");
            QVERIFY(runner(run, {}));
            QVERIFY(TestUtil::waitUntil([&] { return counted().size() >= 150; }, 60000));
            run.kill();
        }
        {
            PeerProcess run("lane_runner");
            QVERIFY(runner(run, {}));
            QVERIFY(TestUtil::waitUntil([&] { return counted().size() >= 300; }, 60000));
            run.kill();
        }
        {
            PeerProcess run("lane_runner");
            QVERIFY(runner(run, {}));
            QVERIFY(TestUtil::waitUntil(
                [&] { return TestUtil::sqlite3(db, "SELECT count(*) FROM Transactions WHERE sendStatus = 'OK'") == "500"; },
                120000));
            QVERIFY(run.stop());
        }
        const QStringList uuids = counted();
        QVERIFY2(uuids.size() == 500, qPrintable(QString("counted %1 of %2 transaction requests; rows OK: %3")
                                                     .arg(uuids.size()).arg(sends()).arg(TestUtil::sqlite3(db,
                                                     "SELECT count(*) FROM Transactions WHERE sendStatus = 'OK'"))));
        QCOMPARE(QSet<QString>(uuids.begin(), uuids.end()).size(), 500);
        QStringList rows = TestUtil::sqlite3(db, "SELECT uuid FROM Transactions ORDER BY uuid").split('\n');
        QStringList sorted = uuids;
        sorted.sort();
        QCOMPARE(rows, sorted);
    }
};

QTEST_GUILESS_MAIN(TstTerminal)
#include "tst_terminal.moc"
