// The camera manager against four camera peers, each on its own loopback address
// (127.0.0.2-5), with a plain IPv4 object standing for the wired interface's address.
#include "Cameras/CameraManager.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "LogCapture.h"
#include "Models/IPv4.h"
#include "Outcome.h"
#include "PeerProcess.h"
#include "TestUtil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>

using manager::CameraManager;

namespace {
const QStringList Roles{"alpr1", "alpr2", "ccr1", "ccr2"};
QString address(int i)
{
    return QStringLiteral("127.0.0.%1").arg(i + 2);
}
QString code(const QSharedPointer<VORReading> &r)
{
    return r->type().startsWith("alpr") ? r->plate() : r->containerCode();
}
} // namespace

class TestCameraManager : public QObject
{
    Q_OBJECT

    std::array<std::unique_ptr<PeerProcess>, 4> m_peers;
    QStringList m_urls;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<IPv4> m_ipv4;
    std::unique_ptr<CameraManager> m_manager;
    int m_port = 0;

    bool startPeer(int i, const QStringList &args)
    {
        m_peers[i].reset(new PeerProcess(Roles[i]));
        if (!m_peers[i]->startPython("camera_peer.py", QStringList{"--address", address(i), "--role", Roles[i]} + args))
            return false;
        const QRegularExpressionMatch m = QRegularExpression("READY (\\S+)").match(m_peers[i]->output());
        m_urls[i] = m.captured(1);
        return m.hasMatch();
    }

    // Four peers (with extra arguments per peer), the configuration, the manager, then
    // the address: the cameras are rebuilt and push their configuration.
    // userinfo: "user:password@" put into a camera's URL, or "/?query" put at its end.
    bool startLane(const QList<QStringList> &extra = {}, const QVariantMap &settings = {},
                   const QStringList &userinfo = {})
    {
        m_urls = QStringList{"", "", "", ""};
        for (int i = 0; i < 4; ++i)
            if (!startPeer(i, extra.value(i)))
                return false;
        m_dir.reset(new QTemporaryDir);
        m_config.reset(new Config(m_dir->filePath("gui.conf"), ConfigDefaults));
        m_config->set("cameras/serverPort", 0); // the system's choice, read back below
        for (int i = 0; i < 4; ++i) {
            const QString extra = userinfo.value(i);
            m_config->set("cameras/" + Roles[i], extra.startsWith('/') ? m_urls[i] + extra
                                                                      : QString(m_urls[i]).replace("://", "://" + extra));
        }
        for (auto it = settings.begin(); it != settings.end(); ++it)
            m_config->set(it.key(), it.value());
        m_ipv4.reset(new IPv4);
        m_manager.reset(new CameraManager(*m_config, m_ipv4.get()));
        m_port = m_manager->listeningPort();
        m_ipv4->setAddress("127.0.0.1");
        for (int i = 0; i < 4; ++i) {
            const bool refused = extra.value(i).contains("--auth") && userinfo.value(i).isEmpty();
            if (!refused && !m_peers[i]->waitForOutput("UPLOAD", 10000))
                return false;
        }
        return m_manager->list().size() == 4;
    }

    std::shared_ptr<Outcome<CameraManager::Readings>> pass(const QString &id, const QStringList &roles = {})
    {
        const auto outcome = watch(m_manager->cameraProcess(id, roles));
        settle(outcome, 30000);
        return outcome;
    }

    // Every reading came from its own role's camera and carries the pass's id and what
    // that camera read for it.
    bool consistent(const CameraManager::Readings &readings, const QString &id)
    {
        for (auto it = readings.begin(); it != readings.end(); ++it) {
            const int i = Roles.indexOf(it.key());
            if (i < 0 || it.value()->type() != it.key() || it.value()->id() != id || it.value()->ip() != address(i)
                || !m_peers[i]->waitForOutput(("POSTED " + id + " " + code(it.value()) + " ").toUtf8())) {
                qWarning() << "inconsistent reading" << it.key() << it.value()->type() << it.value()->id() << id
                           << it.value()->ip() << code(it.value());
                return false;
            }
        }
        return true;
    }

    // A raw post from a chosen source address, as a camera the manager does not know.
    bool rawPost(const QString &from, const QString &to, const QByteArray &body)
    {
        QTcpSocket socket;
        if (!socket.bind(QHostAddress(from)))
            return false;
        socket.connectToHost(QHostAddress(to), quint16(m_port));
        if (!socket.waitForConnected(3000))
            return false;
        socket.write("POST /camera/alpr/plate HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size())
                     + "\r\n\r\n" + body);
        return TestUtil::waitUntil([&] { return socket.readAll().startsWith("HTTP/1.1 200 OK"); });
    }

private slots:
    void cleanup()
    {
        m_manager.reset();
        for (auto &peer : m_peers) {
            if (peer)
                QVERIFY(peer->stop());
            peer.reset();
        }
        m_ipv4.reset();
        m_config.reset();
        m_dir.reset();
    }

    // No push while the address is unknown; after it arrives every camera is rebuilt
    // and told to post to it; device information and heartbeats reach their camera.
    void addressAndPush()
    {
        LogCapture logs;
        QVERIFY(startLane({{"--heartbeat-ms", "100"}, {}, {}, {"--heartbeat-ms", "100"}}));
        QVERIFY(logs.contains("[CameraManager] WARN: Local address unknown. Skipping camera configuration push."));
        QCOMPARE(logs.count("[CameraManager] initCameras"), 2);
        const QStringList paths{"/camera/alpr/plate", "/camera/alpr/plate", "/camera/ccr/container",
                                "/camera/ccr/container"};
        for (int i = 0; i < 4; ++i) {
            const QByteArray out = m_peers[i]->output();
            QCOMPARE(out.count("UPLOAD "), 1);
            const QString xml = QJsonDocument::fromJson("[" + out.mid(out.indexOf("UPLOAD ") + 7).split('\n').first()
                                                        + "]")
                                    .array()
                                    .first()
                                    .toString();
            QVERIFY2(xml.contains(QString("url=\"http://127.0.0.1:%1%2\"").arg(m_port).arg(paths[i])), qPrintable(xml));
            VORCamera *camera = m_manager->list().at(i);
            QCOMPARE(camera->type(), Roles[i]);
            QVERIFY(TestUtil::waitUntil([&] { return camera->status() == "ON"; }));
            QCOMPARE(camera->model(), "Peer " + Roles[i] + " camera");
            QCOMPARE(camera->zuruvId(), "ZRV-" + Roles[i].toUpper());
        }
        // Heartbeats: the plate camera takes the serial number, the container camera not.
        QVERIFY(TestUtil::waitUntil([&] { return m_manager->find("alpr1")->serialNumber() == "SN-PEER-HB"; }));
        QVERIFY(m_peers[3]->waitForOutput("HEARTBEAT"));
        QCOMPARE(m_manager->find("ccr2")->serialNumber(), QString("SN-PEER"));
    }

    // The panel's address as the network service reports it: only a plain dotted quad
    // reaches the cameras; anything else is logged and leaves them as they were.
    void localAddress_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("taken");
        QTest::newRow("dotted quad") << "10.0.0.7" << true;
        QTest::newRow("a truth value") << "true" << false;
        QTest::newRow("sign") << "+1.2.3.4" << false;
        QTest::newRow("line break") << "1.2.3.4\n" << false;
        QTest::newRow("leading zeros") << "01.002.3.4" << false;
        QTest::newRow("above 255") << "1.2.3.256" << false;
    }
    void localAddress()
    {
        QFETCH(QString, address);
        QFETCH(bool, taken);
        QTemporaryDir dir;
        Config config(dir.filePath("gui.conf"), ConfigDefaults);
        config.set("cameras/serverPort", 0);
        IPv4 ipv4;
        ipv4.setAddress("10.0.0.1");
        CameraManager manager(config, &ipv4);
        LogCapture logs;
        ipv4.setAddress(address);
        QCOMPARE(manager.localAddress(), taken ? address : QString("10.0.0.1"));
        QCOMPARE(logs.count("[CameraManager] initCameras"), taken ? 1 : 0);
        QCOMPARE(logs.count("[CameraManager] WARN: Local address is not an IPv4 address, cameras left as they are : "
                            + Log::outside(address)), taken ? 0 : 1);
    }

    void pass_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QStringList>("roles");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("all cameras") << "lane-0001" << QStringList() << Roles;
        QTest::newRow("fresh id") << "" << QStringList() << Roles;
        QTest::newRow("two roles") << "lane-0002" << QStringList{"ccr1", "alpr1"} << QStringList{"alpr1", "ccr1"};
        QTest::newRow("no such role") << "lane-0003" << QStringList{"gate"} << QStringList();
    }
    void pass()
    {
        QFETCH(QString, id);
        QFETCH(QStringList, roles);
        QFETCH(QStringList, expected);
        QVERIFY(startLane());
        const auto outcome = pass(id, roles);
        QCOMPARE(outcome->state, 1);
        QCOMPARE(outcome->value.keys(), expected);
        const QString used = m_manager->transactionId();
        if (id.isEmpty())
            QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$").match(used).hasMatch());
        else
            QCOMPARE(used, id);
        QVERIFY(consistent(outcome->value, used));
    }

    // One camera (alpr2, 127.0.0.3) misbehaves; the pass resolves with the others.
    void faults_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("credentials");
        QTest::addColumn<int>("retries");
        QTest::addColumn<int>("timeout");
        QTest::addColumn<bool>("present");
        QTest::addColumn<int>("triggers");
        QTest::addColumn<QString>("log");
        // Time-outs are the system's 5000 ms except where a late answer must miss one.
        QTest::newRow("fails twice, three re-sends") << QStringList{"--fail", "2"} << "" << 3 << 5000 << true << 3
                                                     << "[VORCamera] [alpr2] Successful trigger, wait for Camera Post";
        QTest::newRow("fails more than the re-sends") << QStringList{"--fail", "5"} << "" << 1 << 5000 << false << 2
                                                      << "[CameraManager] WARN: Camera 127.0.0.3 failed: Error";
        QTest::newRow("posts before answering, no re-sends")
            << QStringList{"--early"} << "" << 0 << 5000 << true << 1 << "[CameraManager] Camera 127.0.0.3 data received";
        QTest::newRow("answers late, no re-sends") << QStringList{"--late-ms", "300"} << "" << 0 << 5000 << true << 1
                                                   << "[CameraManager] Camera 127.0.0.3 data received";
        QTest::newRow("answers after the time-out") << QStringList{"--late-ms", "3000"} << "" << 0 << 1000 << false << 1
                                                    << "[CameraManager] WARN: Camera 127.0.0.3 failed: Error";
        QTest::newRow("malformed body") << QStringList{"--malformed"} << "" << 0 << 5000 << false << 1
                                        << "[CameraManager] WARN: Camera 127.0.0.3 data message error : Parse Error";
        QTest::newRow("basic auth") << QStringList{"--auth", "lane:s3cret"} << "lane:s3cret@" << 0 << 5000 << true << 1
                                    << "[CameraManager] Camera 127.0.0.3 data received";
        QTest::newRow("token in the address") << QStringList() << "/?token=s3cret" << 0 << 5000 << true << 1
                                              << "[CameraManager] Camera 127.0.0.3 data received";
        QTest::newRow("basic auth, no credentials") << QStringList{"--auth", "lane:s3cret"} << "" << 0 << 5000 << false
                                                    << 0 << "[CameraManager] WARN: Camera 127.0.0.3 failed: Error";
    }
    void faults()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, credentials);
        QFETCH(int, retries);
        QFETCH(int, timeout);
        QFETCH(bool, present);
        QFETCH(int, triggers);
        QFETCH(QString, log);
        LogCapture logs;
        QVERIFY(startLane({{}, args}, {{"cameras/numberOfRetries", retries}, {"cameras/responseTimeoutMsec", timeout}},
                          {"", credentials}));
        const auto outcome = pass("fault-1");
        QCOMPARE(outcome->state, 1);
        QVERIFY2(outcome->value.size() == (present ? 4 : 3) && outcome->value.contains("alpr2") == present,
                 qPrintable(QStringList(outcome->value.keys()).join(',') + "\n" + logs.texts(QtWarningMsg).join('\n')));
        QVERIFY(consistent(outcome->value, "fault-1"));
        QCOMPARE(m_peers[1]->output().count("TRIGGER fault-1"), triggers);
        QVERIFY2(logs.contains(log), qPrintable(logs.texts().join('\n')));
        QCOMPARE(logs.countContaining("s3cret"), 0);
    }

    // 20 passes at once: every camera holds its 20 posts and sends them together; each
    // pass still gets exactly its own four readings.
    void overlappingPasses()
    {
        QVERIFY(startLane({{"--batch", "20"}, {"--batch", "20"}, {"--batch", "20"}, {"--batch", "20"}}));
        QList<std::shared_ptr<Outcome<CameraManager::Readings>>> outcomes;
        for (int n = 0; n < 20; ++n)
            outcomes.append(watch(m_manager->cameraProcess(QString("pass-%1").arg(n), {})));
        QVERIFY(TestUtil::waitUntil([&] {
            return std::all_of(outcomes.begin(), outcomes.end(), [](const auto &o) { return o->settled(); });
        }, 30000));
        for (int n = 0; n < 20; ++n) {
            QCOMPARE(outcomes[n]->value.keys(), Roles);
            QVERIFY(consistent(outcomes[n]->value, QString("pass-%1").arg(n)));
        }
        for (auto &peer : m_peers) // each post answered (the peer prints it after the answer)
            QVERIFY(TestUtil::waitUntil([&] { return peer->output().count(" 200\n") == 20; }));
    }

    // A rebuild while triggers are unanswered (alpr) and waits are armed (ccr): the pass
    // settles at once, each camera failing with its role; nothing touches the old cameras.
    void rebuildDuringPass()
    {
        LogCapture logs;
        const QStringList late{"--late-ms", "20000"};
        const QStringList hold{"--batch", "2"};
        QVERIFY(startLane({late, late, hold, hold},
                          {{"cameras/numberOfRetries", 0}, {"cameras/responseTimeoutMsec", 30000}}));
        const auto outcome = watch(m_manager->cameraProcess("rebuild-1", {}));
        QVERIFY(logs.waitFor("[CameraManager] Successful trigger, wait data message : 127.0.0.5", 10000));
        QVERIFY(logs.waitFor("[CameraManager] Successful trigger, wait data message : 127.0.0.4", 10000));
        QVERIFY(m_peers[0]->waitForOutput("TRIGGER rebuild-1") && m_peers[1]->waitForOutput("TRIGGER rebuild-1"));
        m_config->set("cameras/triggerDelayMsec", 1);
        QVERIFY(settle(outcome, 10000)); // far below the peers' 20 s
        QCOMPARE(outcome->state, 1);
        QVERIFY(outcome->value.isEmpty());
        for (const char *line : {"[CameraManager] WARN: Camera 127.0.0.2 failed: [alpr1] Camera removed",
                                    "[CameraManager] WARN: Camera 127.0.0.3 failed: [alpr2] Camera removed",
                                    "[CameraManager] WARN: Camera 127.0.0.4 data message error : [ccr1] Timeout",
                                    "[CameraManager] WARN: Camera 127.0.0.5 data message error : [ccr2] Timeout"})
            QVERIFY2(logs.contains(line), line);
        QCOMPARE(m_manager->list().size(), 4);
    }

    // Posts are routed by the sender's IPv4 address only.
    void routing_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("role"); // the camera that takes it; empty: none
        QTest::addColumn<QString>("log");
        QTest::newRow("known camera") << "127.0.0.3" << "127.0.0.1" << "alpr2" << "";
        QTest::newRow("unknown address") << "127.0.0.9" << "127.0.0.1" << ""
                                         << "[CameraManager] WARN: Unknown peer address : 127.0.0.9";
        QTest::newRow("not IPv4") << "::1" << "::1" << ""
                                  << "[CameraManager] WARN: Dropping post from a peer that is not IPv4 : ::1";
    }
    void routing()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, role);
        QFETCH(QString, log);
        QVERIFY(startLane());
        // alpr1 named by host name: it has no address value (0) to match.
        m_config->set("cameras/alpr1", "http://camera.invalid:8080");
        LogCapture logs;
        QVERIFY(rawPost(from, to, R"({"plate":"RAW1"})"));
        for (VORCamera *camera : m_manager->list())
            QCOMPARE(camera->lastPlate(), camera->type() == role ? QString("RAW1") : QString());
        if (!log.isEmpty())
            QVERIFY2(logs.contains(log), qPrintable(logs.texts().join('\n')));
    }

    // Two roles on one host: the later one takes the address, the earlier one is
    // retired rather than left polling as an orphan.
    void sharedHost()
    {
        LogCapture logs;
        QVERIFY(startLane());
        m_config->set("cameras/alpr2", m_urls[0]);
        QCOMPARE(m_manager->list().size(), 3);
        QCOMPARE(m_manager->find("alpr1"), nullptr);
        QCOMPARE(m_manager->find("alpr2")->url().toString(), m_urls[0]);
        QVERIFY(logs.contains("[CameraManager] WARN: Camera alpr1 replaced by alpr2 on host 127.0.0.2"));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(m_manager->findChildren<VORCamera *>().size(), 3);
    }

    // The maintenance test reports what this test's pass got, never an earlier reading.
    void diagnostics()
    {
        QVERIFY(startLane({}, {{"cameras/numberOfRetries", 0}}));
        QCOMPARE(pass("before")->value.size(), 4);
        QVERIFY(m_peers[1]->stop());
        QVERIFY(startPeer(1, {"--fail", "100"}));
        m_config->set("cameras/alpr2", m_urls[1]);
        QSignalSpy answers(m_manager.get(), &CameraManager::diagnosticsTrigger);
        m_manager->cameraDiagnosticsTrigger();
        QVERIFY(TestUtil::waitUntil([&] { return answers.count() == 4; }, 10000));
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(answers[i][0].toString(), Roles[i]);
            const QString answer = answers[i][1].toString();
            if (i == 1)
                QCOMPARE(answer, QString("Failed"));
            else
                QVERIFY2(TestUtil::waitUntil([&] { // what the camera read last
                             const QByteArray out = m_peers[i]->output();
                             return out.mid(out.lastIndexOf("\nPOSTED ")).split(' ').value(2) == answer.toUtf8();
                         }), qPrintable(answer));
        }
    }
};

QTEST_GUILESS_MAIN(TestCameraManager)
#include "tst_cameramanager.moc"
