// The diagnostics: card tests requested over MQTT and run on the simulated lane
// (tests/peers/lane_sim.py) through the real card issuer, with progress, result, sound,
// lane pause and resume and the refusals; the USB and SD card checks over a stand-in
// device tree; the report file and the QR summary, decoded with zbarimg.
#include "Broker.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Logger.h"
#include "GUI/Diagnostics.h"
#include "GUI/GUIManager.h"
#include "GUI/RemoteCommands.h"
#include "GUI/ScreenLogic.h"
#include "GUI/SessionManager.h"
#include "GUI/Supervision.h"
#include "LaneSimFixture.h"
#include "LogCapture.h"
#include "Managers/CardIssuer.h"
#include "Managers/Inspector.h"
#include "MqttPeer.h"
#include "TestUtil.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QJsonObject json(const MqttPeer::Message &m)
{
    return QJsonDocument::fromJson(m.payload).object();
}
bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}
}

class TstDiagnostics : public QObject
{
    Q_OBJECT
    Broker m_broker;
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        manager::Logger::instance()->setSyslog(false);
        qRegisterMetaType<Tag::Ptr>("Tag::Ptr");
        qRegisterMetaType<Card::Ptr>("Card::Ptr");
        QVERIFY(m_broker.start());
    }
    void cardTestsOnTheSimulatedLane();
    void checks();
    void reportAndQr();
};

void TstDiagnostics::cardTestsOnTheSimulatedLane()
{
    LaneSim sim(m_broker.port(), "d1/rfid", "d1/dispenser");
    QVERIFY(sim.start({"--cards", "20"}));
    MqttPeer peer(m_broker.port());
    QVERIFY(TestUtil::waitUntil([&] { return peer.isConnected(); }));
    QVERIFY(peer.subscribe("d1/#", 0));

    Config config(m_dir.filePath("lane.conf"), ConfigDefaults);
    config.set("mqtt/base", "d1/ui");
    manager::MqttClient mqtt;
    manager::RFID rfid(mqtt, "d1/rfid");
    manager::Dispenser dispenser(mqtt, "d1/dispenser");
    manager::CardIssuer issuer(&rfid, &dispenser);
    manager::Inspector inspector(mqtt, "d1/inspector");
    SessionManager sessions(config);
    ScreenLogic screens(config, sessions);
    int paused = 0;
    int resumed = 0;
    bool passage = false;
    Diagnostics::Lane lane;
    lane.cardIssuer = [&] { return &issuer; };
    lane.passageInProgress = [&] { return passage; };
    lane.pause = [&] { ++paused; };
    lane.resume = [&] { ++resumed; };
    Diagnostics diagnostics(lane);
    RemoteCommands commands(config, mqtt, inspector, screens, diagnostics);
    Supervision supervision(config, mqtt, sessions, commands);
    connect(&mqtt, &manager::MqttClient::received, &supervision, &Supervision::onMessage);
    QVERIFY(connectClient(mqtt, m_broker.port()));
    supervision.subscribeToTopics();
    QVERIFY(TestUtil::waitUntil([&] { return issuer.state() == manager::CardIssuer::Ready; }, 10000));
    LogCapture log;
    // The subscriptions are in place once a request of ours is served.
    QVERIFY(TestUtil::waitUntil([&] {
        peer.publish("d1/ui/test/cancel/request/p", "{}", 0);
        return peer.waitForMessage("d1/ui/test/cancel/response/p", 300);
    }));

    // Three cards: three progress documents, success, the valid sound, the lane resumed.
    QVERIFY(peer.publish("d1/ui/test/request/7", R"({"mode":"dispense","numberOfCards":3})", 0));
    QVERIFY(peer.waitForMessage("d1/ui/test/response/7", 30000));
    const QJsonObject result = json(peer.messagesOn("d1/ui/test/response/7").last());
    QCOMPARE(result.value("result"), QJsonValue(true));
    QCOMPARE(result.value("numberOfCards"), QJsonValue(3));
    QCOMPARE(result.value("error"), QJsonValue());
    const auto progress = peer.messagesOn("d1/ui/test/progress");
    QCOMPARE(progress.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QJsonObject p = json(progress[i]);
        QCOMPARE(p.value("id").toString(), QString("7"));
        QCOMPARE(p.value("currCardIndex").toInt(), i + 1);
        QCOMPARE(p.value("percent").toInt(), (i + 1) * 100 / 3);
        QVERIFY(p.value("cardId").isString());
    }
    QCOMPARE(screens.screen(), QString("Success"));
    QCOMPARE(screens.message(), QString("Success 3 of 3 (100%)"));
    QVERIFY(peer.waitForMessage("d1/inspector/audio/play"));
    QCOMPARE(json(peer.messagesOn("d1/inspector/audio/play").last()).value("filepath").toString(),
             RemoteCommands::ValidSound);
    QCOMPARE(paused, 1);
    QVERIFY(TestUtil::waitUntil([&] { return resumed == 1; }));

    // During a passage: refused, the lane and the screens left alone.
    passage = true;
    screens.setScreen("DispenseScreen");
    QVERIFY(peer.publish("d1/ui/test/request/8", R"({"mode":"dispense","numberOfCards":1})", 0));
    QVERIFY(peer.waitForMessage("d1/ui/test/response/8"));
    QCOMPARE(json(peer.messagesOn("d1/ui/test/response/8").last()).value("error").toString(),
             QString("A session is in progress"));
    QCOMPARE(paused, 1);
    QCOMPARE(screens.screen(), QString("DispenseScreen"));
    passage = false;
    QVERIFY(peer.publish("d1/ui/test/request/251", R"({"mode":"dispense","numberOfCards":251})", 0));
    QVERIFY(peer.waitForMessage("d1/ui/test/response/251"));
    QCOMPARE(json(peer.messagesOn("d1/ui/test/response/251").last()).value("error").toString(),
             QString("Number of cards out of range (1-250)"));
    QCOMPARE(paused, 1);

    // A cancelled test whose card is still under way keeps a new test out; it ends
    // "Cancelled" once that card is done.
    QVERIFY(peer.publish("d1/ui/test/request/9", R"({"mode":"dispense","numberOfCards":5})", 0));
    QVERIFY(TestUtil::waitUntil([&] { return peer.messagesOn("d1/ui/test/progress").size() == 4; }, 15000));
    QVERIFY(diagnostics.cancelTest());
    Deferred<Test> second = diagnostics.performTest("dispense", 1, "10");
    QVERIFY(second.isResolved());
    QString secondError;
    second.done([&](Test t) { secondError = t.error; });
    QCOMPARE(secondError, QString("Another test is already in progress"));
    QVERIFY(peer.waitForMessage("d1/ui/test/response/9", 15000));
    const QJsonObject cancelled = json(peer.messagesOn("d1/ui/test/response/9").last());
    QCOMPARE(cancelled.value("error").toString(), QString("Cancelled"));
    QVERIFY(cancelled.value("numberOfCards").toInt() >= 1);
    QCOMPARE(screens.screen(), QString("ErrorScreen"));
    QVERIFY(TestUtil::waitUntil([&] { return resumed == 2; }));
    QVERIFY(!diagnostics.cancelTest());
    QVERIFY(log.contains("[Diagnostics] ERROR: Cancel test failed: No test in proress"));
    QCOMPARE(log.countContaining("already processed deferred object"), 0);
    QVERIFY(sim.stop());
}

void TstDiagnostics::checks()
{
    const QString root = m_dir.filePath("usb");
    struct Dev {
        const char *port;
        const char *vendor;
        const char *product;
    };
    for (const Dev &d : {Dev{"1-1", "0451", "2077"}, Dev{"1-1.3", "0ab1", "0008"}, Dev{"1-1.5", "0403\n", "6015\0junk"},
                         Dev{"1-1.4", nullptr, nullptr}}) {
        QVERIFY(QDir().mkpath(root + "/" + d.port));
        if (d.vendor) {
            QVERIFY(writeFile(root + "/" + d.port + "/idVendor", d.vendor));
            QVERIFY(writeFile(root + "/" + d.port + "/idProduct", QByteArray(d.product, 4)));
        }
    }
    Diagnostics::Places places;
    places.usbDevices = root;
    places.sdCard = m_dir.filePath("no-sd");
    Diagnostics diagnostics(Diagnostics::Lane(), nullptr, places);
    QSignalSpy hub(&diagnostics, &Diagnostics::usbHubChanged);
    LogCapture log;
    diagnostics.start(0);
    QCOMPARE(diagnostics.usbHub(), QString("OK"));
    QCOMPARE(diagnostics.mPCIe1(), QString("MISSING"));
    QCOMPARE(diagnostics.rfidUsb(), QString("ERROR"));
    QCOMPARE(diagnostics.usbHost(), QString("OK"));  // any device, even one that cannot be read
    QCOMPARE(diagnostics.ftdi(), QString("OK"));
    QCOMPARE(diagnostics.touch(), QString("MISSING"));
    QCOMPARE(diagnostics.sdCard(), QString("MISSING"));
    QCOMPARE(diagnostics.ethernet(), QString("ERROR"));
    QCOMPARE(diagnostics.rfidService(), QString("ERROR"));
    QVERIFY(log.contains("[Diagnostics] ERROR: Failed to open fle : " + root + "/1-1.4/idVendor"));
    diagnostics.check();
    QCOMPARE(hub.count(), 1);  // emitted on a change only
}

void TstDiagnostics::reportAndQr()
{
    Diagnostics::Lane lane;
    lane.deviceId = [] { return QString("ZT-000123"); };
    lane.boardFirmware = [] { return QString("fw-2.1"); };
    lane.ethernetState = [] { return QString("Connected"); };
    Diagnostics::Places places;
    places.reportDir = m_dir.path();
    Diagnostics diagnostics(lane, nullptr, places);
    diagnostics.setBuzzer("OK");
    diagnostics.setSpeaker("ERROR");
    diagnostics.setRgbTest("OK");

    QSignalSpy saved(&diagnostics, &Diagnostics::saveReportFinished);
    diagnostics.saveReport();
    QCOMPARE(saved.count(), 1);
    QCOMPARE(saved[0][0].toBool(), true);
    const QString name = saved[0][1].toString().section('\n', 1);
    QFile file(name);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(TestUtil::ownerOnly(name));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    QCOMPARE(lines.size(), 27);
    QCOMPARE(lines[1], QString(" DEVICE TEST REPORT"));
    QCOMPARE(lines[3], QString(" Device UID       ZT-000123"));
    QCOMPARE(lines[5], QString(" MIOBoard Firmware   fw-2.1"));
    QCOMPARE(lines[11], QString(" Ethernet         OK"));
    QCOMPARE(lines[19], QString(" Buzzer           OK"));
    QCOMPARE(lines[25], QString(" Display RGB Test OK"));
    QVERIFY(!lines.join('\n').contains("Speaker"));  // the report has no speaker line

    places.reportDir = m_dir.filePath("missing/dir");
    Diagnostics unwritable(lane, nullptr, places);
    QSignalSpy failed(&unwritable, &Diagnostics::saveReportFinished);
    unwritable.saveReport();
    QCOMPARE(failed[0][0].toBool(), false);
    QVERIFY(failed[0][1].toString().startsWith("Could not save Test Report\nERROR: "));

    // The QR code carries the 23 fields, the speaker among them.
    const QString url = diagnostics.generateQr();
    QVERIFY(url.startsWith("data:image/svg,"));
    QVERIFY(writeFile(m_dir.filePath("qr.svg"), url.mid(15).toUtf8()));
    QProcess render;
    render.start("rsvg-convert", {"-z", "8", "-b", "white", "-o", m_dir.filePath("qr.png"), m_dir.filePath("qr.svg")});
    QVERIFY(render.waitForFinished(20000) && render.exitCode() == 0);
    QProcess zbar;
    zbar.start("zbarimg", {"--raw", "-q", m_dir.filePath("qr.png")});
    QVERIFY(zbar.waitForFinished(20000));
    const QStringList fields = QString::fromUtf8(zbar.readAllStandardOutput()).trimmed().split(';');
    QCOMPARE(fields.size(), 23);
    QCOMPARE(fields[0], QString("ZT-000123"));
    QVERIFY(QDateTime::fromString(fields[1], "yyyy-MM-dd hh:mm").isValid());
    QCOMPARE(fields.mid(2, 6), (QStringList{"fw-2.1", QCoreApplication::applicationVersion(), "", "", "", "OK"}));
    QCOMPARE(fields[15], QString("OK"));     // buzzer
    QCOMPARE(fields[17], QString("ERROR"));  // speaker
    QCOMPARE(fields[19], QString("ERROR"));  // RFID service
    QCOMPARE(fields[22], QString("OK"));     // RGB test
}

QTEST_GUILESS_MAIN(TstDiagnostics)
#include "tst_diagnostics.moc"
