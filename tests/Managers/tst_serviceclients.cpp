// The local service clients (network and ethernet, inspector, update, GPS) against a real
// broker and the simulated services peer, and the IPv4 settings they share.
#include "Broker.h"
#include "LogCapture.h"
#include "PeerProcess.h"
#include "TestUtil.h"

#include "Common/MqttClient.h"
#include "Managers/Ethernet.h"
#include "Managers/GPSManager.h"
#include "Managers/Inspector.h"
#include "Managers/Network.h"
#include "Managers/Update.h"
#include "Models/IPv4.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace manager;

namespace {

// One set of clients on roots of their own under base, on one broker connection,
// with the services peer serving the same roots.
struct Services {
    Services(quint16 port, const QString &base, int checkMs = 10000)
        : port(port)
        , base(base)
        , net(mqtt, base + QStringLiteral("/network"))
        , insp(mqtt, base + QStringLiteral("/inspector"))
        , upd(mqtt, base + QStringLiteral("/update"), nullptr, checkMs)
        , gps(mqtt, base + QStringLiteral("/gps"))
    {
    }

    bool startPeer()
    {
        return peer.startPython(QStringLiteral("services_sim.py"),
                                {QStringLiteral("--port"), QString::number(port),
                                 QStringLiteral("--network-root"), base + QStringLiteral("/network"),
                                 QStringLiteral("--inspector-root"), base + QStringLiteral("/inspector"),
                                 QStringLiteral("--update-root"), base + QStringLiteral("/update"),
                                 QStringLiteral("--gps-root"), base + QStringLiteral("/gps")});
    }

    bool connect()
    {
        mqtt.setHostname(QStringLiteral("127.0.0.1"));
        mqtt.setPort(port);
        mqtt.setRetryMillis(500);
        mqtt.connect();
        return TestUtil::waitUntil([&] { return mqtt.isConnected(); });
    }

    // The peer's log line for the nth message it received on base + suffix, as a JSON object.
    QJsonObject received(const QString &suffix, int nth = 1)
    {
        const QByteArray marker = "RECV " + (base + suffix).toUtf8() + ' ';
        if (!TestUtil::waitUntil([&] { return peer.output().count(marker) >= nth; }))
            return {};
        const QByteArray out = peer.output();
        const int from = out.lastIndexOf(marker) + marker.size();
        return QJsonDocument::fromJson(out.mid(from, out.indexOf('\n', from) - from)).object();
    }

    quint16 port;
    QString base;
    MqttClient mqtt;
    Network net;
    Inspector insp;
    Update upd;
    GPSManager gps;
    PeerProcess peer{QStringLiteral("services_sim")};
};

// Publishes one raw message from an independent client (an empty payload as a
// zero-length message); the QoS 1 acknowledgement orders it before the next one.
bool rawPublish(quint16 port, const QString &topic, const QByteArray &payload)
{
    QStringList args{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(port),
                     QStringLiteral("-q"), QStringLiteral("1"), QStringLiteral("-t"), topic};
    if (payload.isEmpty())
        args << QStringLiteral("-n");
    else
        args << QStringLiteral("-m") << QString::fromUtf8(payload);
    return QProcess::execute(QStringLiteral("mosquitto_pub"), args) == 0;
}

// Publishes a volume report and waits until the inspector took it: everything sent
// before it has been handled by then.
bool barrier(Services &s, int volume)
{
    const QByteArray doc = QByteArrayLiteral("{\"internal\": {\"volume\": ") + QByteArray::number(volume) + '}' + '}';
    return rawPublish(s.port, s.base + QStringLiteral("/inspector/audio"), doc)
        && TestUtil::waitUntil([&] { return s.insp.audioVolume() == volume; });
}

QString parseError(const QByteArray &payload)
{
    QJsonParseError error;
    QJsonDocument::fromJson(payload, &error);
    return error.errorString();
}

QVariantMap gpsFields(const GPSManager &gps)
{
    const auto &i = gps.info();
    const auto &s = gps.status();
    const auto &t = gps.telemetry();
    return {{"info.firmware", i.firmware}, {"info.manufacturer", i.manufacturer}, {"info.model", i.model},
            {"info.imei", i.imei}, {"info.assisted", i.assisted}, {"info.type", i.type}, {"info.version", i.version},
            {"status.fix", s.fix}, {"status.state", s.state}, {"status.simulation", s.simulation},
            {"status.error", s.error}, {"telemetry.latitude", t.latitude}, {"telemetry.longitude", t.longitude},
            {"telemetry.altitude", t.altitude}, {"telemetry.groundSpeed", t.groundSpeed}};
}

// A mosquitto of the test's own that logs every message it receives.
struct LoggingBroker {
    QTemporaryDir dir;
    PeerProcess proc{QStringLiteral("mosquitto")};
    quint16 port = TestUtil::freePort();

    bool start()
    {
        QFile conf(dir.filePath(QStringLiteral("mosquitto.conf")));
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                  "log_dest stdout\nlog_type all\n")
                       .arg(port)
                       .toUtf8());
        conf.close();
        // Line-buffered, so that the log can be read while it runs.
        return proc.start(QStringLiteral("stdbuf"),
                          {QStringLiteral("-oL"), QStringLiteral("mosquitto"), QStringLiteral("-c"), conf.fileName()},
                          "running");
    }

    // Topics and sizes of the messages received under base, in order of arrival.
    QStringList received(const QString &base)
    {
        static const QRegularExpression re(QStringLiteral(R"(Received PUBLISH from \S+ \([^']*'([^']+)', \.\.\. \((\d+) bytes\)\))"));
        QStringList topics;
        auto it = re.globalMatch(QString::fromUtf8(proc.output()));
        while (it.hasNext()) {
            const auto m = it.next();
            if (m.captured(1).startsWith(base))
                topics << m.captured(1).mid(base.size()) + QLatin1Char(' ') + m.captured(2);
        }
        return topics;
    }
};

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
        QTest::addColumn<QStringList>("signalsEmitted");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<bool>("equalsInput");

        const QVariantMap full{{"address", "10.0.0.5"}, {"netmask", "255.255.255.0"}, {"gateway", "10.0.0.1"},
                               {"dns0", "10.0.0.1"}, {"dns1", "8.8.8.8"}};
        QVariantMap noDns1 = full;
        noDns1.remove("dns1");
        const QStringList allKeys{"address", "dns0", "dns1", "gateway", "netmask"};
        QTest::newRow("absent key stays as null, no signal") << QVariantMap() << noDns1
            << QStringList{"address", "mask", "gateway", "dns0"} << allKeys << false;
        QTest::newRow("mask kept under netmask") << QVariantMap() << QVariantMap{{"netmask", "255.255.0.0"}}
            << QStringList{"mask"} << allKeys << false;
        QTest::newRow("same texts emit nothing") << full << full << QStringList() << allKeys << true;
        QVariantMap extra = full;
        extra.insert("mask", "1.2.3.4");
        QTest::newRow("other keys ignored, never equal") << full << extra << QStringList() << allKeys << false;
    }

    void ipv4()
    {
        QFETCH(QVariantMap, before);
        QFETCH(QVariantMap, input);
        QFETCH(QStringList, signalsEmitted);
        QFETCH(QStringList, keys);
        QFETCH(bool, equalsInput);

        IPv4 ip;
        ip.fromMap(before);
        QStringList emitted;
        connect(&ip, &IPv4::addressChanged, [&] { emitted << "address"; });
        connect(&ip, &IPv4::maskChanged, [&] { emitted << "mask"; });
        connect(&ip, &IPv4::gatewayChanged, [&] { emitted << "gateway"; });
        connect(&ip, &IPv4::dns0Changed, [&] { emitted << "dns0"; });
        connect(&ip, &IPv4::dns1Changed, [&] { emitted << "dns1"; });
        ip.fromMap(input);
        QCOMPARE(emitted, signalsEmitted);
        QCOMPARE(ip.toMap().keys(), keys);
        QCOMPARE(ip.toMap() == input, equalsInput);
        QCOMPARE(ip.property("mask").toString(), input.value("netmask").toString());
        QVERIFY(!ip.toMap().contains("mask"));
    }

    // The receive rules of the common client form, one message per row.
    void receiveRules_data()
    {
        QTest::addColumn<QString>("topic");  // %1: the case's base
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QStringList>("criticals");  // %E: the parser's error text
        QTest::addColumn<QStringList>("processing");
        QTest::addColumn<QString>("check");  // object:property=value

        QTest::newRow("foreign topic ignored unlogged") << "other/network/status" << QByteArray("{broken")
            << QStringList() << QStringList() << "";
        QTest::newRow("array as empty object") << "%1/inspector/status" << QByteArray("[1, 2]") << QStringList()
            << QStringList{"[Inspector] Processing status topic %1/inspector/status"} << "inspector:status=offline";
        QTest::newRow("broken JSON") << "%1/network/status" << QByteArray("{\"stateStr\": \"up\"")
            << QStringList{"[Network] Failed to parse JSON message: %E"} << QStringList() << "network:connectionState=";
        QTest::newRow("ethernet root inside network root handled once") << "%1/network/ethernet/state"
            << QByteArray(R"({"interface": "eth1", "stateStr": "connected"})") << QStringList()
            << QStringList{"[Network][Ethernet] Processing state topic %1/network/ethernet/state"}
            << "ethernet:interface=eth1";
        QTest::newRow("usb0 state changes nothing") << "%1/network/ethernet/state"
            << QByteArray(R"({"interface": "usb0", "stateStr": "connected"})") << QStringList()
            << QStringList{"[Network][Ethernet] Processing state topic %1/network/ethernet/state"}
            << "ethernet:state=";
        QTest::newRow("usb0 config changes nothing") << "%1/network/ethernet/config"
            << QByteArray(R"({"interface": "usb0", "method": "manual"})") << QStringList()
            << QStringList{"[Network][Ethernet] Processing config topic %1/network/ethernet/config"}
            << "ethernet:method=";
        QTest::newRow("config sets method without its log") << "%1/network/ethernet/config"
            << QByteArray(R"({"method": "manual", "address": "10.0.0.9"})") << QStringList()
            << QStringList{"[Network][Ethernet] Processing config topic %1/network/ethernet/config"}
            << "ethernet:method=manual";
        QTest::newRow("empty payload as empty object") << "%1/network/status" << QByteArray() << QStringList()
            << QStringList{"[Network] Processing status topic %1/network/status"} << "network:hostname=";
        QTest::newRow("unknown topic under root dropped") << "%1/network/extra" << QByteArray("{}") << QStringList()
            << QStringList() << "";
        QTest::newRow("statistics parsed, broken one logged") << "%1/inspector/stats/cpu" << QByteArray("{oops")
            << QStringList{"[Inspector] Failed to parse JSON message: %E"} << QStringList() << "";
        QTest::newRow("update: empty payload is a running service") << "%1/update/status" << QByteArray()
            << QStringList() << QStringList() << "update:progressMessage=Idle";
        QTest::newRow("update: broken JSON") << "%1/update/progress" << QByteArray("nope")
            << QStringList{"[Update] Failed to parse JSON message: %E"} << QStringList() << "update:status=Disconnected";
        QTest::newRow("GPS: empty payload is an error") << "%1/gps/status" << QByteArray()
            << QStringList{"Failed to parse JSON message: "} << QStringList() << "";
        QTest::newRow("GPS: raw payload in the error") << "%1/gps/data/deeper" << QByteArray("{x")
            << QStringList{"Failed to parse JSON message: {x"} << QStringList() << "";
    }

    void receiveRules()
    {
        QFETCH(QString, topic);
        QFETCH(QByteArray, payload);
        QFETCH(QStringList, criticals);
        QFETCH(QStringList, processing);
        QFETCH(QString, check);

        const QString base = nextBase();
        Services s(m_broker.port(), base);
        QVERIFY(s.connect());
        QVERIFY(barrier(s, 1));

        LogCapture log;
        QVERIFY(rawPublish(m_broker.port(), topic.arg(base), payload));
        QVERIFY(barrier(s, 2));

        const QString error = parseError(payload);
        for (QString &line : criticals)
            line = line.replace("%E", error);
        QCOMPARE(log.texts(QtCriticalMsg), criticals);
        QStringList seen = log.texts().filter(QRegularExpression(QStringLiteral("Processing .* topic ")));
        for (QString &line : processing)
            line = line.arg(base);
        QCOMPARE(seen, processing);
        QCOMPARE(log.countContaining(QStringLiteral("Method changed")), 0);
        if (!check.isEmpty()) {
            const QMap<QString, QObject *> objects{{"network", &s.net}, {"ethernet", s.net.ethernet()},
                                                   {"inspector", &s.insp}, {"update", &s.upd}};
            const QString name = check.section(':', 0, 0);
            const QString property = check.section(':', 1).section('=', 0, 0);
            QCOMPARE(objects.value(name)->property(property.toLatin1()).toString(), check.section('=', 1));
        }
    }

    void gpsMessages_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QVariantMap>("expected");
        QTest::addColumn<int>("announced");  // signals emitted

        const QVariantMap offline{{"status.fix", 0}, {"status.state", -1}, {"status.error", "Manager is offline"}};
        QTest::newRow("status without service") << "/status" << QByteArray(R"({"device": {"fix": 3}})") << offline << 1;
        QTest::newRow("status of a stopped service") << "/status" << QByteArray(R"({"service": false})") << offline << 1;
        QTest::newRow("status of a running service") << "/status"
            << QByteArray(R"({"service": true, "simulation": true, "device": {"fix": 3, "state": 2, "error": null}})")
            << QVariantMap{{"status.fix", 3}, {"status.state", 2}, {"status.simulation", true}, {"status.error", ""}}
            << 1;
        QTest::newRow("position from texts only") << "/data"
            << QByteArray(R"({"latitude": "37.9838", "longitude": 23.7275, "groundSpeed": null})")
            << QVariantMap{{"telemetry.latitude", 37.9838}, {"telemetry.longitude", 0.0}, {"telemetry.altitude", 0.0},
                           {"telemetry.groundSpeed", 0.0}}
            << 1;
        QTest::newRow("info without device still announced") << "/info"
            << QByteArray(R"({"service": {"version": "0.9", "type": "gpsd"}})")
            << QVariantMap{{"info.firmware", ""}, {"info.assisted", false}, {"info.version", "0.9"}, {"info.type", "gpsd"}}
            << 1;
        QTest::newRow("array as empty info") << "/info" << QByteArray("[]") << QVariantMap{{"info.version", ""}} << 1;
        QTest::newRow("deeper topic dropped") << "/data/raw" << QByteArray(R"({"latitude": "1.5"})")
            << QVariantMap{{"telemetry.latitude", 0.0}} << 0;
    }

    void gpsMessages()
    {
        QFETCH(QString, suffix);
        QFETCH(QByteArray, payload);
        QFETCH(QVariantMap, expected);
        QFETCH(int, announced);

        Services s(m_broker.port(), nextBase());
        QSignalSpy info(&s.gps, &GPSManager::infoChanged);
        QSignalSpy status(&s.gps, &GPSManager::statusChanged);
        QSignalSpy telemetry(&s.gps, &GPSManager::telemetryChanged);
        QVERIFY(s.connect());
        QVERIFY(rawPublish(m_broker.port(), s.base + QStringLiteral("/gps") + suffix, payload));
        QVERIFY(barrier(s, 3));
        QCOMPARE(info.count() + status.count() + telemetry.count(), announced);
        const QVariantMap fields = gpsFields(s.gps);
        for (auto it = expected.begin(); it != expected.end(); ++it)
            QCOMPARE(fields.value(it.key()), it.value());
    }

    // Every (re)connection of the broker asks the services for their data, in order.
    void refreshAfterBrokerRestart()
    {
        LoggingBroker broker;
        QVERIFY(broker.start());
        Services s(broker.port, nextBase());
        QCOMPARE(s.upd.status(), QStringLiteral("Disconnected"));
        QVERIFY(s.upd.current().isEmpty() && s.upd.pending().isEmpty());
        LogCapture log;

        const QStringList expected{"/network/ethernet/state/get 2", "/network/ethernet/config/get 2",
                                   "/inspector/audio/get 2", "/inspector/stats/memory/get 2",
                                   "/inspector/stats/disk/get 2", "/inspector/stats/cpu/get 2",
                                   "/update/status/get 0"};
        QVERIFY(s.connect());
        QVERIFY(TestUtil::waitUntil([&] { return broker.received(s.base).size() >= expected.size(); }));
        QCOMPARE(broker.received(s.base), expected);
        QCOMPARE(log.count("[Network] Refreshing data"), 1);

        QVERIFY(broker.proc.stop());
        QVERIFY(TestUtil::waitUntil([&] { return !s.mqtt.isConnected(); }));
        QCOMPARE(s.upd.status(), QStringLiteral("Disconnected"));
        QVERIFY(broker.start());
        QVERIFY(TestUtil::waitUntil([&] { return broker.received(s.base).size() >= expected.size(); }, 10000));
        QCOMPARE(broker.received(s.base), expected);
        QCOMPARE(log.count("[Network] Refreshing data"), 2);
    }

    void networkMonitor()
    {
        Services s(m_broker.port(), nextBase());
        LogCapture log;
        s.net.monitor(50);
        QCOMPARE(log.count("[Network] Monitor started : 50 msec(s)"), 1);
        QCOMPARE(log.count("[Network] Refreshing data"), 1);
        QVERIFY(TestUtil::waitUntil([&] { return log.count("[Network] Refreshing data") >= 3; }));
        s.net.monitor(0);
        QVERIFY(log.contains("[Network] Monitor stopped"));
    }

    // The screen's configuration goes to the service and comes back as the live state.
    void ethernetRoundTrip_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QStringList>("config");  // address, netmask, gateway, dns0, dns1
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QString>("liveAddress");
        QTest::addColumn<QString>("liveMask");

        const QStringList manual{"10.1.2.3", "255.255.0.0", "10.1.0.1", "1.1.1.1", "8.8.8.8"};
        QTest::newRow("manual") << "manual" << manual << manual << "10.1.2.3" << "255.255.0.0";
        QTest::newRow("auto sends no addresses") << "auto" << manual << QStringList{"", "", "", "", ""}
            << "192.168.10.50" << "255.255.255.0";
        QTest::newRow("method is case-sensitive") << "Manual" << manual << QStringList{"", "", "", "", ""}
            << "192.168.10.50" << "255.255.255.0";
    }

    void ethernetRoundTrip()
    {
        QFETCH(QString, method);
        QFETCH(QStringList, config);
        QFETCH(QStringList, sent);
        QFETCH(QString, liveAddress);
        QFETCH(QString, liveMask);

        Services s(m_broker.port(), nextBase());
        Ethernet &eth = *s.net.ethernet();
        QVERIFY(s.startPeer());
        QVERIFY(s.connect());
        QVERIFY(TestUtil::waitUntil([&] { return eth.interface() == "eth0" && eth.method() == "auto"; }));
        QVERIFY(TestUtil::waitUntil([&] { return s.net.hostname() == "lane-terminal"; }));
        QCOMPARE(s.net.connectionState(), QStringLiteral("connected"));
        QCOMPARE(s.net.connectivity(), QStringLiteral("full"));
        QCOMPARE(s.net.version(), QStringLiteral("2.1.0"));
        QCOMPARE(s.net.primaryConnection()->interface(), QStringLiteral("eth0"));
        QCOMPARE(s.net.primaryConnection()->ipv4()->mask(), QStringLiteral("255.255.255.0"));
        QCOMPARE(eth.mac(), QStringLiteral("00:11:22:33:44:55"));
        QCOMPARE(eth.ipv4()->address(), QStringLiteral("192.168.10.50"));
        QCOMPARE(eth.config()->gateway(), QStringLiteral("192.168.10.1"));

        LogCapture log;
        eth.setMethod(method);
        eth.setMethod(method);
        QCOMPARE(log.count("[Network][Ethernet] Method changed : " + method), method == "auto" ? 0 : 1);
        IPv4 *c = eth.config();
        c->setAddress(config[0]);
        c->setMask(config[1]);
        c->setGateway(config[2]);
        c->setDns0(config[3]);
        c->setDns1(config[4]);
        QSignalSpy configChanged(&eth, &Ethernet::configChanged);
        eth.save();
        QVERIFY(log.contains("[Network][Ethernet] Method  : " + method));
        QVERIFY(log.contains("[Network][Ethernet] DNS     : " + config[3] + ", " + config[4]));

        const QJsonObject doc = s.received("/network/ethernet/config/set");
        QCOMPARE(doc.value("interface").toString(), QStringLiteral("eth0"));
        QCOMPARE(doc.value("method").toString(), method);
        const QStringList keys{"address", "netmask", "gateway", "dns0", "dns1"};
        for (int i = 0; i < keys.size(); ++i)
            QCOMPARE(doc.value(keys[i]).toString(), sent[i]);
        QVERIFY(s.peer.output().contains("config/set {     \"address\""));  // indented form

        QVERIFY(TestUtil::waitUntil([&] { return configChanged.count() > 0; }));
        QVERIFY(TestUtil::waitUntil([&] { return eth.ipv4()->address() == liveAddress; }));
        QCOMPARE(eth.ipv4()->mask(), liveMask);
        QVERIFY(TestUtil::waitUntil([&] { return s.net.primaryConnection()->ipv4()->address() == liveAddress; }));
        QCOMPARE(s.net.primaryConnection()->ipv4()->mask(), liveMask);
        QCOMPARE(eth.config()->address(), liveAddress);
        QVERIFY(s.peer.stop());
    }

    void inspector()
    {
        Services s(m_broker.port(), nextBase());
        QVERIFY(s.startPeer());
        QVERIFY(s.connect());
        QVERIFY(TestUtil::waitUntil([&] { return s.insp.status() == "online" && s.insp.audioVolume() == 60; }));
        QCOMPARE(s.insp.info().value("version").toString(), QStringLiteral("1.4.2"));

        LogCapture log;
        QSignalSpy volume(&s.insp, &Inspector::audioVolumeChanged);
        s.insp.setProperty("audioVolume", 35);
        QVERIFY(log.contains("[Inspector] Setting 'internal' audio volume : 35%"));
        QCOMPARE(s.received("/inspector/audio/set"), QJsonDocument::fromJson(R"({"internal": {"volume": 35}})").object());
        QVERIFY(TestUtil::waitUntil([&] { return s.insp.audioVolume() == 35; }));
        QVERIFY(s.peer.output().contains("/inspector/audio/set {     \"internal\""));  // indented form
        // A report of the stored volume changes nothing.
        QVERIFY(rawPublish(m_broker.port(), s.base + "/inspector/audio", R"({"internal": {"volume": 35}})"));
        QVERIFY(barrier(s, 36));
        QCOMPARE(volume.count(), 2);

        s.insp.audioPlay(QStringLiteral("/opt/sounds/ok.wav"));
        QCOMPARE(s.received("/inspector/audio/play"),
                 QJsonDocument::fromJson(R"({"device": "internal", "filepath": "/opt/sounds/ok.wav"})").object());

        // The power request leaves 2000 ms after the call (a coarse timer may be 5 % early).
        QSignalSpy reboot(&s.insp, &Inspector::systemRebootStarted);
        QElapsedTimer clock;
        clock.start();
        s.insp.systemReboot();
        QCOMPARE(reboot.count(), 1);
        const QByteArray request = "RECV " + s.base.toUtf8() + "/inspector/power/reboot/request/1";
        QVERIFY(s.peer.waitForOutput(request, 5000));
        QVERIFY2(clock.elapsed() >= 1900, QByteArray::number(clock.elapsed()));

        // One scheduled shutdown at a time; after an abort a new one is taken.
        QSignalSpy shutdown(&s.insp, &Inspector::systemShutdownStarted);
        s.insp.scheduleShutdown(100);
        s.insp.scheduleShutdown(5);
        s.insp.abortShutdown();
        s.insp.abortShutdown();
        s.insp.scheduleShutdown(0);
        QCOMPARE(log.count("[Inspector] Scheduling System shutdown in : 100 sec(s)"), 1);
        QCOMPARE(log.countContaining("Scheduling System shutdown in : 5 "), 0);
        QCOMPARE(log.count("[Inspector] Aborting System shutdown"), 1);
        QVERIFY(shutdown.wait());
        QVERIFY(s.peer.waitForOutput("RECV " + s.base.toUtf8() + "/inspector/power/shutdown/request/1", 5000));
        QVERIFY(s.peer.stop());
    }

    // The update's download and installation through to their end.
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
        QVERIFY(s.startPeer());
        QVERIFY(s.connect());
        QVERIFY(TestUtil::waitUntil([&] { return s.upd.status() == "Idle"; }));
        QCOMPARE(s.upd.current(), QStringLiteral("1.0.0"));
        QCOMPARE(s.upd.progressMessage(), QStringLiteral("Idle"));

        LogCapture log;
        s.upd.install();  // nothing pending yet
        QVERIFY(log.contains("[Update] WARN: Cannot install. There are no pending versions"));

        QStringList statuses;
        QList<int> percents;
        connect(&s.upd, &Update::statusChanged, [&] { statuses << s.upd.status(); });
        connect(&s.upd, &Update::progressPercentChanged, [&] { percents << s.upd.progressPercent(); });
        s.upd.trigger(QStringLiteral("1.1.0"), QStringLiteral("https://updates.lane/1.1.0.tar"), checksum);
        QCOMPARE(s.received("/update/trigger"),
                 QJsonObject({{"v", "1.1.0"}, {"uri", "https://updates.lane/1.1.0.tar"}, {"md5", checksum}, {"at", 0}}));
        QVERIFY(TestUtil::waitUntil([&] { return s.upd.pending() == "1.1.0"; }));
        s.upd.install();
        QVERIFY(log.contains("[Update] Installing pending update : 1.1.0"));
        QVERIFY(TestUtil::waitUntil([&] { return s.upd.status() == result; }));
        QCOMPARE(statuses, (QStringList{"Downloading", "Idle", "Installing", result}));
        QCOMPARE(percents, (QList<int>{50, 100, 0, 50, percent}));
        QCOMPARE(s.upd.progressMessage(), message);
        QCOMPARE(s.upd.progressPercent(), percent);
        QCOMPARE(s.peer.output().count("RECV " + s.base.toUtf8() + "/update/install"), 1);

        s.upd.trigger(QStringLiteral("1.2.0"), QStringLiteral("https://updates.lane/1.2.0.tar"));
        QCOMPARE(s.received("/update/trigger", 2).value("md5"), QJsonValue(QString()));
        QVERIFY(s.peer.stop());
    }

    void updateCheck()
    {
        Services s(m_broker.port(), nextBase(), 2000);
        QVERIFY(s.startPeer());
        QVERIFY(s.connect());
        QVERIFY(TestUtil::waitUntil([&] { return s.upd.status() == "Idle"; }));
        LogCapture log;
        QStringList statuses;
        connect(&s.upd, &Update::statusChanged, [&] { statuses << s.upd.status(); });
        s.upd.check();
        QVERIFY(log.waitFor("[Update] No pedning updates"));
        QCOMPARE(statuses, (QStringList{"Checking for updates", "Idle", "No pending updates"}));
        QVERIFY(s.peer.output().contains("RECV " + s.base.toUtf8() + "/update/check"));
        QVERIFY(s.peer.stop());
    }

    void gpsRequests()
    {
        Services s(m_broker.port(), nextBase());
        QVERIFY(!s.gps.enable());  // not connected: nothing sent
        QVERIFY(s.startPeer());
        QVERIFY(s.connect());
        QSignalSpy status(&s.gps, &GPSManager::statusChanged);
        QVERIFY(s.gps.enable());
        QVERIFY(status.wait());
        QCOMPARE(s.gps.status().fix, 3);
        QVERIFY(s.gps.status().simulation);
        QVERIFY(s.gps.disable());
        QVERIFY(status.wait());
        QCOMPARE(s.gps.status().fix, 0);
        QVERIFY(s.peer.stop());
    }
};

QTEST_GUILESS_MAIN(TestServiceClients)
#include "tst_serviceclients.moc"
