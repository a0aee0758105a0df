// The local service clients (network and ethernet, inspector, update, GPS) against a real
// broker and the simulated services peer, and the IPv4 settings they share.
#include "Broker.h"
#include "LogCapture.h"
#include "PeerProcess.h"
#include "TestUtil.h"

#include "Common/Mqtt/MqttClient.h"
#include "Managers/Ethernet.h"
#include "Managers/GPSManager.h"
#include "Managers/Inspector.h"
#include "Managers/Network.h"
#include "Managers/Update.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace manager;

namespace {

// One set of clients on roots of their own under base, on one broker connection,
// and the services peer on the same roots.
struct Services {
    Services(quint16 port, const QString &base)
        : port(port), base(base), net(mqtt, base + "/network"), insp(mqtt, base + "/inspector"),
          upd(mqtt, base + "/update"), gps(mqtt, base + "/gps")
    {
    }

    bool startPeer()
    {
        QStringList args{"--port", QString::number(port)};
        for (const char *service : {"network", "inspector", "update", "gps"})
            args << QStringLiteral("--%1-root").arg(service) << base + '/' + service;
        return peer.startPython("services_sim.py", args);
    }

    bool connect()
    {
        mqtt.setPort(port);
        mqtt.setRetryMillis(500);
        mqtt.connect();
        return TestUtil::waitUntil([&] { return mqtt.isConnected(); });
    }

    // The document of the nth message the peer received on base + suffix.
    QJsonObject received(const QString &suffix, int nth = 1)
    {
        const QByteArray marker = "RECV " + (base + suffix).toUtf8() + ' ';
        if (!TestUtil::waitUntil([&] { return peer.output().count(marker) >= nth; }))
            return {};
        const QByteArray out = peer.output();
        const int from = out.lastIndexOf(marker) + marker.size();
        return QJsonDocument::fromJson(out.mid(from, out.indexOf('\n', from) - from)).object();
    }

    // A property ("network:hostname") or a GPS record field ("gps:status.error") as text.
    QString value(const QString &path)
    {
        const QString name = path.section(':', 0, 0), field = path.section(':', 1);
        const QMap<QString, QObject *> objects{
            {"network", &net}, {"ethernet", net.ethernet()}, {"inspector", &insp}, {"update", &upd}};
        if (objects.contains(name))
            return objects[name]->property(field.toLatin1()).toString();
        const QVariantMap gpsFields{{"status.state", gps.status().state}, {"status.error", gps.status().error},
                                    {"status.fix", gps.status().fix}, {"info.assisted", gps.info().assisted},
                                    {"info.version", gps.info().version}, {"telemetry.latitude", gps.telemetry().latitude},
                                    {"telemetry.longitude", gps.telemetry().longitude}};
        return gpsFields.value(field).toString();
    }

    quint16 port;
    QString base;
    MqttClient mqtt;
    Network net;
    Inspector insp;
    Update upd;
    GPSManager gps;
    PeerProcess peer;
};

// One message from an independent client (an empty payload as a zero-length message);
// its QoS 1 acknowledgement orders it before the next one.
bool rawPublish(quint16 port, const QString &topic, const QByteArray &payload)
{
    QStringList args{"-h", "127.0.0.1", "-p", QString::number(port), "-q", "1", "-t", topic};
    args << (payload.isEmpty() ? QStringList{"-n"} : QStringList{"-m", QString::fromUtf8(payload)});
    return QProcess::execute("mosquitto_pub", args) == 0;
}

// A volume report, awaited: whatever was published before it has been handled too.
bool barrier(Services &s, int volume)
{
    return rawPublish(s.port, s.base + "/inspector/audio", QStringLiteral(R"({"internal": {"volume": %1}})").arg(volume).toUtf8())
        && TestUtil::waitUntil([&] { return s.insp.audioVolume() == volume; });
}

// Topic (below base) and size of every message a broker logging everything received.
QStringList received(Broker &broker, const QString &base)
{
    static const QRegularExpression re(R"(Received PUBLISH from \S+ \([^']*'([^']+)', \.\.\. \((\d+) bytes\)\))");
    QStringList topics;
    for (auto it = re.globalMatch(QString::fromUtf8(broker.output())); it.hasNext();) {
        const auto m = it.next();
        if (m.captured(1).startsWith(base))
            topics << m.captured(1).mid(base.size()) + ' ' + m.captured(2);
    }
    return topics;
}

} // namespace

class TestServiceClients : public QObject
{
    Q_OBJECT

    Broker m_broker;
    int m_case = 0;

    QString nextBase() { return QStringLiteral("svc%1").arg(++m_case); }

private slots:
    void initTestCase() { QVERIFY(m_broker.start()); }

    void ipv4_data()
    {
        QTest::addColumn<QVariantMap>("before");
        QTest::addColumn<QVariantMap>("input");
        QTest::addColumn<QStringList>("emitted");
        QTest::addColumn<bool>("equalsInput");

        const QVariantMap full{{"address", "10.0.0.5"}, {"netmask", "255.255.255.0"}, {"gateway", "10.0.0.1"},
                               {"dns0", "10.0.0.1"}, {"dns1", "8.8.8.8"}};
        QVariantMap noDns1 = full, extra = full;
        noDns1.remove("dns1");
        extra.insert("mask", "1.2.3.4");
        QTest::newRow("absent key kept as null, no signal") << QVariantMap() << noDns1
            << QStringList{"address", "mask", "gateway", "dns0"} << false;
        QTest::newRow("mask kept under netmask") << QVariantMap() << QVariantMap{{"netmask", "255.255.0.0"}}
            << QStringList{"mask"} << false;
        QTest::newRow("same texts emit nothing") << full << full << QStringList() << true;
        QTest::newRow("other keys ignored, never equal") << full << extra << QStringList() << false;
    }

    void ipv4()
    {
        QFETCH(QVariantMap, before);
        QFETCH(QVariantMap, input);
        QFETCH(QStringList, emitted);
        QFETCH(bool, equalsInput);

        IPv4 ip;
        ip.fromMap(before);
        QStringList seen;
        connect(&ip, &IPv4::addressChanged, [&] { seen << "address"; });
        connect(&ip, &IPv4::maskChanged, [&] { seen << "mask"; });
        connect(&ip, &IPv4::gatewayChanged, [&] { seen << "gateway"; });
        connect(&ip, &IPv4::dns0Changed, [&] { seen << "dns0"; });
        connect(&ip, &IPv4::dns1Changed, [&] { seen << "dns1"; });
        ip.fromMap(input);
        QCOMPARE(seen, emitted);
        QCOMPARE(ip.toMap().keys(), (QStringList{"address", "dns0", "dns1", "gateway", "netmask"}));
        QCOMPARE(ip.toMap() == input, equalsInput);
        QCOMPARE(ip.mask(), input.value("netmask").toString());
    }

    // The receive rules of the common client form, one message per row.
    void receiveRules_data()
    {
        QTest::addColumn<QString>("topic");  // %1: the case's base
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("critical");  // %E: the parser's error text
        QTest::addColumn<QStringList>("processing");
        QTest::addColumn<QString>("check");  // path=value (Services::value)

        // Every client sees it; only the update client, whose root it contains, parses it.
        QTest::newRow("another service's topic ignored unlogged") << "%1/update/progress" << QByteArray("{")
            << "[Update] Failed to parse JSON message: %E" << QStringList() << "update:progressMessage=";
        QTest::newRow("array as empty object") << "%1/inspector/status" << QByteArray("[1, 2]") << ""
            << QStringList{"[Inspector] Processing status topic %1/inspector/status"} << "inspector:status=offline";
        QTest::newRow("broken JSON") << "%1/network/status" << QByteArray(R"({"stateStr": "up")")
            << "[Network] Failed to parse JSON message: %E" << QStringList() << "network:connectionState=";
        QTest::newRow("ethernet root inside network root handled once") << "%1/network/ethernet/state"
            << QByteArray(R"({"interface": "eth1"})") << ""
            << QStringList{"[Network][Ethernet] Processing state topic %1/network/ethernet/state"}
            << "ethernet:interface=eth1";
        QTest::newRow("usb0 changes nothing") << "%1/network/ethernet/config"
            << QByteArray(R"({"interface": "usb0", "method": "manual"})") << ""
            << QStringList{"[Network][Ethernet] Processing config topic %1/network/ethernet/config"} << "ethernet:method=";
        // A field of another type reads as empty; the rest of the message applies.
        QTest::newRow("address of another type") << "%1/network/ethernet/state"
            << QByteArray(R"({"interface": "eth1", "ipv4": {"address": true}})") << ""
            << QStringList{"[Network][Ethernet] Processing state topic %1/network/ethernet/state"}
            << "ethernet:interface=eth1";
        QTest::newRow("number for a text") << "%1/update/status" << QByteArray(R"({"version": 5, "state": "Idle"})")
            << "" << QStringList() << "update:status=Idle";
        QTest::newRow("statistics parsed and dropped") << "%1/inspector/stats/cpu" << QByteArray("{oops")
            << "[Inspector] Failed to parse JSON message: %E" << QStringList() << "inspector:status=";
        QTest::newRow("update: empty payload is an empty object") << "%1/update/status" << QByteArray() << ""
            << QStringList() << "update:progressMessage=Idle";
        QTest::newRow("GPS: empty payload is an error") << "%1/gps/status" << QByteArray()
            << "Failed to parse JSON message: " << QStringList() << "gps:status.state=0";
        QTest::newRow("GPS: raw payload in the error") << "%1/gps/data" << QByteArray("{x")
            << "Failed to parse JSON message: {x" << QStringList() << "gps:telemetry.latitude=0";
        QTest::newRow("GPS: status without service") << "%1/gps/status" << QByteArray(R"({"device": {"fix": 3}})")
            << "" << QStringList() << "gps:status.error=Manager is offline";
        QTest::newRow("GPS: position from texts only") << "%1/gps/data"
            << QByteArray(R"({"latitude": "37.9838", "longitude": 23.7275})") << "" << QStringList()
            << "gps:telemetry.longitude=0";
        QTest::newRow("GPS: info without device") << "%1/gps/info" << QByteArray(R"({"service": {"version": "0.9"}})")
            << "" << QStringList() << "gps:info.version=0.9";
        QTest::newRow("GPS: deeper topic dropped") << "%1/gps/data/raw" << QByteArray(R"({"latitude": "1.5"})") << ""
            << QStringList() << "gps:telemetry.latitude=0";
    }

    void receiveRules()
    {
        QFETCH(QString, topic);
        QFETCH(QByteArray, payload);
        QFETCH(QString, critical);
        QFETCH(QStringList, processing);
        QFETCH(QString, check);

        Services s(m_broker.port(), nextBase());
        QVERIFY(s.connect());
        QVERIFY(barrier(s, 1));
        LogCapture log;
        QVERIFY(rawPublish(s.port, topic.arg(s.base), payload));
        QVERIFY(barrier(s, 2));

        QJsonParseError error;
        QJsonDocument::fromJson(payload, &error);
        QCOMPARE(log.texts(QtCriticalMsg), critical.isEmpty() ? QStringList() : QStringList{critical.replace("%E", error.errorString())});
        for (QString &line : processing)
            line = line.arg(s.base);
        QCOMPARE(log.texts().filter(QRegularExpression("Processing .* topic ")), processing);
        QCOMPARE(s.value(check.section('=', 0, 0)), check.section('=', 1));
        if (topic.endsWith("gps/data"))  // "latitude" as text is read, a number is not
            QCOMPARE(s.gps.telemetry().latitude, payload.contains("37.9838") ? 37.9838 : 0.0);
    }

    // Every (re)connection of the broker asks the services for their data, in order.
    void refreshAfterBrokerRestart()
    {
        Broker broker(QStringLiteral("log_type all"));
        QVERIFY(broker.start());
        Services s(broker.port(), nextBase());
        QCOMPARE(s.upd.status(), QStringLiteral("Disconnected"));
        const QStringList expected{"/network/ethernet/state/get 2", "/network/ethernet/config/get 2",
                                   "/inspector/audio/get 2", "/inspector/stats/memory/get 2",
                                   "/inspector/stats/disk/get 2", "/inspector/stats/cpu/get 2", "/update/status/get 0"};
        for (int round = 0; round < 2; ++round) {
            if (round == 0) {
                QVERIFY(s.connect());
            } else {
                QVERIFY(broker.stop());
                QVERIFY(TestUtil::waitUntil([&] { return s.upd.status() == "Disconnected"; }));
                QVERIFY(broker.start());
            }
            QVERIFY(TestUtil::waitUntil([&] { return received(broker, s.base).size() >= expected.size(); }, 10000));
            QCOMPARE(received(broker, s.base), expected);
        }
    }

    // The screen's configuration goes to the service and comes back as the live state.
    void ethernetRoundTrip_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QStringList>("sent");  // address, netmask, gateway, dns0, dns1
        QTest::addColumn<QString>("live");      // address, then netmask

        const QStringList manual{"10.1.2.3", "255.255.0.0", "10.1.0.1", "1.1.1.1", "8.8.8.8"};
        const QStringList none{"", "", "", "", ""};
        QTest::newRow("manual") << "manual" << manual << "10.1.2.3 255.255.0.0";
        QTest::newRow("auto sends no addresses") << "auto" << none << "192.168.10.50 255.255.255.0";
        QTest::newRow("method is case-sensitive") << "Manual" << none << "192.168.10.50 255.255.255.0";
    }

    void ethernetRoundTrip()
    {
        QFETCH(QString, method);
        QFETCH(QStringList, sent);
        QFETCH(QString, live);

        Services s(m_broker.port(), nextBase());
        Ethernet &eth = *s.net.ethernet();
        QVERIFY(s.startPeer() && s.connect());
        QVERIFY(TestUtil::waitUntil([&] { return eth.method() == "auto" && s.net.hostname() == "lane-terminal"; }));
        QCOMPARE(eth.interface(), QStringLiteral("eth0"));

        LogCapture log;
        eth.setMethod(method);
        eth.setMethod(method);
        QCOMPARE(log.count("[Network][Ethernet] Method changed : " + method), method == "auto" ? 0 : 1);
        eth.config()->fromMap({{"address", "10.1.2.3"}, {"netmask", "255.255.0.0"}, {"gateway", "10.1.0.1"},
                               {"dns0", "1.1.1.1"}, {"dns1", "8.8.8.8"}});
        eth.save();
        QVERIFY(log.contains("[Network][Ethernet] DNS     : 1.1.1.1, 8.8.8.8"));

        const QJsonObject doc = s.received("/network/ethernet/config/set");
        QCOMPARE(doc.value("interface").toString() + ' ' + doc.value("method").toString(), "eth0 " + method);
        const QStringList keys{"address", "netmask", "gateway", "dns0", "dns1"};
        for (int i = 0; i < keys.size(); ++i)
            QCOMPARE(doc.value(keys[i]).toString(), sent[i]);
        QVERIFY(s.peer.output().contains("config/set {     \"address\""));  // indented form

        IPv4 *primary = s.net.primaryConnection()->ipv4();
        QVERIFY(TestUtil::waitUntil([&] {
            return eth.config()->address() == live.section(' ', 0, 0) && eth.ipv4()->address() + ' ' + eth.ipv4()->mask() == live
                && primary->address() + ' ' + primary->mask() == live;
        }));
        QVERIFY(s.peer.stop());
    }

    void inspector()
    {
        Services s(m_broker.port(), nextBase());
        QVERIFY(s.startPeer() && s.connect());
        QVERIFY(TestUtil::waitUntil([&] { return s.insp.status() == "online" && s.insp.audioVolume() == 60; }));
        QCOMPARE(s.insp.info().value("version").toString(), QStringLiteral("1.4.2"));

        LogCapture log;
        QSignalSpy volume(&s.insp, &Inspector::audioVolumeChanged);
        s.insp.setProperty("audioVolume", 35);
        QCOMPARE(s.received("/inspector/audio/set"), QJsonDocument::fromJson(R"({"internal": {"volume": 35}})").object());
        QVERIFY(TestUtil::waitUntil([&] { return s.insp.audioVolume() == 35; }));
        QVERIFY(rawPublish(s.port, s.base + "/inspector/audio", R"({"internal": {"volume": 35}})"));  // no change
        QVERIFY(barrier(s, 36));
        QCOMPARE(volume.count(), 2);

        // The power request leaves 2000 ms after the call (a coarse timer may be 5 % early).
        QSignalSpy reboot(&s.insp, &Inspector::systemRebootStarted);
        QElapsedTimer clock;
        clock.start();
        s.insp.systemReboot();
        QCOMPARE(reboot.count(), 1);
        QVERIFY(s.peer.waitForOutput("RECV " + s.base.toUtf8() + "/inspector/power/reboot/request/1", 15000));
        QVERIFY2(clock.elapsed() >= 1900, QByteArray::number(clock.elapsed()));

        // One scheduled shutdown at a time; after an abort a new one is taken.
        s.insp.scheduleShutdown(100);
        s.insp.scheduleShutdown(5);
        s.insp.abortShutdown();
        s.insp.scheduleShutdown(0);
        QCOMPARE(log.texts().filter("Shutdown", Qt::CaseInsensitive),
                 (QStringList{"[Inspector] Scheduling System shutdown in : 100 sec(s)", "[Inspector] Aborting System shutdown",
                              "[Inspector] Scheduling System shutdown in : 0 sec(s)"}));
        QVERIFY(s.peer.waitForOutput("RECV " + s.base.toUtf8() + "/inspector/power/shutdown/request/1", 15000));
        QVERIFY(s.peer.stop());
    }

    // A download and an installation through to their end.
    void updateProgress_data()
    {
        QTest::addColumn<QString>("checksum");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("percent");

        QTest::newRow("success") << "0f343b0931126a20f133d67c2b018a3b" << "Installation success" << "Installed" << 100;
        QTest::newRow("failure") << "bad" << "Installation failed" << "Checksum mismatch" << 0;
    }

    void updateProgress()
    {
        QFETCH(QString, checksum);
        QFETCH(QString, result);
        QFETCH(QString, message);
        QFETCH(int, percent);

        Services s(m_broker.port(), nextBase());
        QVERIFY(s.startPeer() && s.connect());
        QVERIFY(TestUtil::waitUntil([&] { return s.upd.status() == "Idle"; }));
        QCOMPARE(s.upd.current(), QStringLiteral("1.0.0"));
        LogCapture log;
        s.upd.install();  // nothing pending yet: nothing sent
        QVERIFY(log.contains("[Update] WARN: Cannot install. There are no pending versions"));

        QStringList statuses;
        QList<int> percents;
        connect(&s.upd, &Update::statusChanged, [&] { statuses << s.upd.status(); });
        connect(&s.upd, &Update::progressPercentChanged, [&] { percents << s.upd.progressPercent(); });
        s.upd.trigger("1.1.0", "https://updates.lane/1.1.0.tar", checksum);
        QCOMPARE(s.received("/update/trigger"),
                 QJsonObject({{"v", "1.1.0"}, {"uri", "https://updates.lane/1.1.0.tar"}, {"md5", checksum}, {"at", 0}}));
        QVERIFY(TestUtil::waitUntil([&] { return s.upd.pending() == "1.1.0"; }));
        s.upd.install();
        QVERIFY(TestUtil::waitUntil([&] { return s.upd.status() == result; }));
        QCOMPARE(statuses, (QStringList{"Downloading", "Idle", "Installing", result}));
        QCOMPARE(percents, (QList<int>{50, 100, 0, 50, percent}));
        QCOMPARE(s.upd.progressMessage(), message);
        QCOMPARE(s.peer.output().count("/update/install"), 1);

        s.upd.trigger("1.2.0", "https://updates.lane/1.2.0.tar");
        QCOMPARE(s.received("/update/trigger", 2).value("md5"), QJsonValue(""));
        QVERIFY(s.peer.stop());
    }

    void gpsRequests()
    {
        Services s(m_broker.port(), nextBase());
        QVERIFY(!s.gps.enable());  // not connected: nothing sent
        QVERIFY(s.startPeer() && s.connect());
        QSignalSpy status(&s.gps, &GPSManager::statusChanged);
        QVERIFY(s.gps.enable() && status.wait(15000));
        QCOMPARE(s.gps.status().fix, 3);
        QVERIFY(s.gps.disable() && status.wait(15000));
        QCOMPARE(s.gps.status().fix, 0);
        QVERIFY(s.peer.stop());
    }
};

QTEST_GUILESS_MAIN(TestServiceClients)
#include "tst_serviceclients.moc"
