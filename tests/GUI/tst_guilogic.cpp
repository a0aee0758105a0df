// The root object's logic: the screen rules and time-outs, the display-off arithmetic,
// "/config/set" type checks and the request id rule as tables; then the whole root object
// on a real broker with an independent MQTT peer: the retained documents, a change of
// several groups at once, requests answered on their response topics, the card test
// refusals, the back office's commands, the maintenance login and the language.
#include "Broker.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Logger.h"
#include "GUI/GUIManager.h"
#include "LogCapture.h"
#include "MqttPeer.h"
#include "TestUtil.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <limits>

namespace {
QJsonObject lastJson(const MqttPeer &peer, const QString &topic)
{
    const auto list = peer.messagesOn(topic);
    return list.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(list.last().payload).object();
}
}

class TstGuiLogic : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        manager::Logger::instance()->setSyslog(false);
        manager::Logger::instance()->setLevel(3);
    }

    void displayOff_data()
    {
        QTest::addColumn<qint64>("minutes");
        QTest::addColumn<int>("msec");
        const int max = std::numeric_limits<int>::max();
        QTest::newRow("default 3") << qint64(3) << 180000;
        QTest::newRow("off") << qint64(0) << 0;
        QTest::newRow("negative is off") << qint64(-5) << 0;
        QTest::newRow("largest exact") << qint64(35791) << 35791 * 60000;
        QTest::newRow("int overflow clamped") << qint64(35792) << max;
        QTest::newRow("huge clamped") << qint64(1) << 60000;
        QTest::newRow("int max minutes") << qint64(max) << max;
    }
    void displayOff()
    {
        QFETCH(qint64, minutes);
        QFETCH(int, msec);
        QCOMPARE(ScreenLogic::displayOffMsec(minutes), msec);
    }

    void idleScreen_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("init") << 0 << "" << "" << "Busy" << "Busy";
        QTest::newRow("ready entry") << 2 << "CARD_VENDING_MACHINE" << "" << "Busy" << "DispenseScreen";
        QTest::newRow("ready exit") << 2 << "CARD_COLLECTION_MACHINE" << "" << "Busy" << "CollectScreen";
        QTest::newRow("not registered") << 3 << "" << "Terminal not registered" << "Busy" << "InitPage";
        QTest::newRow("other error") << 3 << "" << "Barrier inactive" << "Busy" << "OutOfOrder";
        QTest::newRow("error keeps login") << 3 << "" << "Barrier inactive" << "Login" << "Login";
        QTest::newRow("stopped: unchanged") << 4 << "" << "" << "Success" << "Success";
    }
    void idleScreen()
    {
        QFETCH(int, state);
        QFETCH(QString, type);
        QFETCH(QString, reason);
        QFETCH(QString, before);
        QFETCH(QString, after);
        Config config(m_dir.filePath("idle.conf"), ConfigDefaults);
        SessionManager sessions(config);
        ScreenLogic screens(config, sessions);
        screens.setLaneSource([=] { return ScreenLogic::Lane{state, type, reason}; });
        screens.setScreen(before);
        screens.setIdleScreen();
        QCOMPARE(screens.screen(), after);
        QCOMPARE(screens.screenTimerActive(), state == 0);
        // With a maintenance session open, the maintenance screens stay.
        sessions.loginRequest("5817");
        screens.setScreen("Settings");
        screens.setIdleScreen();
        QCOMPARE(screens.screen(), QString("Settings"));
    }

    void sessionScreens_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("pressed");
        QTest::addColumn<QString>("screen");
        QTest::addColumn<QString>("message");
        QTest::newRow("stopped: unchanged") << 0 << false << "Login" << "keep";
        QTest::newRow("idle") << 1 << false << "CollectScreen" << "";
        QTest::newRow("data collect") << 2 << false << "CollectScreen" << "";
        QTest::newRow("data collect, pressed") << 2 << true << "Busy" << "Please wait";
        QTest::newRow("wait user") << 3 << true << "CollectScreen" << "";
        QTest::newRow("permission") << 4 << false << "Busy" << "Please wait";
        QTest::newRow("card process") << 5 << false << "Busy" << "Please wait";
        QTest::newRow("wait collect") << 6 << false << "Success" << "Please collect your card";
        QTest::newRow("exit") << 7 << false << "Success" << "Thank you";
        QTest::newRow("post exit") << 8 << false << "Success" << "Thank you";
        QTest::newRow("error") << 9 << false << "ErrorScreen" << "Card jammed";
    }
    void sessionScreens()
    {
        QFETCH(int, state);
        QFETCH(bool, pressed);
        QFETCH(QString, screen);
        QFETCH(QString, message);
        Config config(m_dir.filePath("session.conf"), ConfigDefaults);
        SessionManager sessions(config);
        ScreenLogic screens(config, sessions);
        screens.setLaneSource([] { return ScreenLogic::Lane{2, "CARD_COLLECTION_MACHINE", ""}; });
        screens.setScreen("Login");
        screens.setMessage("keep");
        screens.onSessionStateChanged(state, pressed, "Card jammed");
        QCOMPARE(screens.screen(), screen);
        QCOMPARE(screens.message(), message);
        QVERIFY(!screens.screenTimerActive());

        QSignalSpy plate(&screens, &ScreenLogic::plateChanged);
        screens.updatePlate("ABC1234", "QZXU1234568");
        screens.updatePlate("XYZ9876", "QZXU1234568");
        QCOMPARE(plate.count(), 3);  // the new plate goes through the empty text
        QCOMPARE(screens.container(), QString("QZXU1234568"));
    }

    // Time-outs, the login screen and the display-off timer in one passage.
    void screenTimeouts()
    {
        Config config(m_dir.filePath("timeouts.conf"), ConfigDefaults);
        SessionManager sessions(config);
        ScreenLogic screens(config, sessions);
        screens.setLaneSource([] { return ScreenLogic::Lane{2, "CARD_VENDING_MACHINE", ""}; });
        LogCapture log;
        screens.setScreen("Busy", 10000);
        screens.setScreen("Busy");  // same screen: the time-out keeps running
        QVERIFY(screens.screenTimerActive());
        screens.setScreen("Busy", 50);
        QVERIFY(TestUtil::waitUntil([&] { return screens.screen() == "DispenseScreen"; }));
        QVERIFY(log.contains("[GUIManager] Screen timeout : Busy"));
        screens.setMaintenanceScreen();
        QCOMPARE(screens.screen(), QString("Login"));
        QCOMPARE(screens.screenTimerInterval(), 15000);
        screens.setMaintenanceScreen();  // a second long press leaves it
        QCOMPARE(screens.screen(), QString("DispenseScreen"));

        screens.setOutOfOrderScreen("Disconnected");
        QCOMPARE(screens.message(), QString("Disconnected"));
        QVERIFY(screens.displayOffActive());
        QCOMPARE(screens.displayOffInterval(), 180000);
        QVERIFY(log.contains("[GUIManager] Staring Display OFF timer : 3 min(s)"));
        screens.setScreen("DispenseScreen");
        QVERIFY(!screens.displayOffActive());
        QVERIFY(log.contains("[GUIManager] Stopping Display OFF timer."));
        // A value whose milliseconds overflow an int: clamped, not negative.
        config.set("gui/displayOffMin", 40000);
        screens.setOutOfOrderScreen("x");
        QCOMPARE(screens.displayOffInterval(), std::numeric_limits<int>::max());
        screens.setScreen("Busy");
        config.set("gui/displayOffMin", 0);
        log.clear();
        screens.setOutOfOrderScreen("x");
        QVERIFY(!screens.displayOffActive());
        QCOMPARE(log.countContaining("Display OFF"), 0);
        // The login screen and an open session keep the out-of-order screen away.
        screens.setScreen("Login");
        screens.setOutOfOrderScreen("Disconnected");
        QCOMPARE(screens.screen(), QString("Login"));
    }

    // A "/config/set" object as the store takes it in: the changes applied, and the line
    // that tells of a value it refused or took with a warning.
    void configTypes_data()
    {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("accepted");
        QTest::addColumn<QString>("refused");
        QTest::newRow("int as text") << QByteArray(R"({"mqtt":{"port":"abc"}})") << QByteArray("{}")
                                     << "mqtt/port=abc is not a number, keeping 1883";
        QTest::newRow("int") << QByteArray(R"({"mqtt":{"port":1884}})") << QByteArray(R"({"mqtt":{"port":1884}})") << "";
        QTest::newRow("fraction for int") << QByteArray(R"({"mqtt":{"port":18.5}})") << QByteArray("{}")
                                          << "mqtt/port=18.5 is not a number, keeping 1883";
        QTest::newRow("bool as text") << QByteArray(R"({"gui":{"showCursor":"false"}})")
                                      << QByteArray(R"({"gui":{"showCursor":"false"}})") << "";
        QTest::newRow("bool") << QByteArray(R"({"gui":{"showCursor":false}})")
                              << QByteArray(R"({"gui":{"showCursor":false}})") << "";
        QTest::newRow("masked secret kept") << QByteArray(R"({"mqtt":{"password":"****","host":"h"}})")
                                            << QByteArray(R"({"mqtt":{"host":"h"}})") << "";
        QTest::newRow("unknown key") << QByteArray(R"({"mqtt":{"keepAlive":1}})") << QByteArray("{}") << "";
        QTest::newRow("not a URL") << QByteArray(R"({"esb":{"url":"bus.lan:8443"}})")
                                   << QByteArray(R"({"esb":{"url":"bus.lan:8443"}})")
                                   << "esb/url=bus.lan:8443 is not a URL (http:// or https:// and a host), kept as written";
        QTest::newRow("interval of 0") << QByteArray(R"({"cameras":{"statusIntervalMsec":0}})") << QByteArray("{}")
                                       << "cameras/statusIntervalMsec=0 is below 1, keeping 60000";
        QTest::newRow("negative delay") << QByteArray(R"({"cameras":{"triggerDelayMsec":-5}})") << QByteArray("{}")
                                        << "cameras/triggerDelayMsec=-5 is below 0, keeping 0";
        QTest::newRow("time-out of 0: none") << QByteArray(R"({"terminal":{"collectTimeoutSec":0}})")
                                             << QByteArray(R"({"terminal":{"collectTimeoutSec":0}})") << "";
        QTest::newRow("heartbeat period 0: its default") << QByteArray(R"({"card-bo":{"hbIntervalSec":0}})")
                                                         << QByteArray(R"({"card-bo":{"hbIntervalSec":0}})") << "";
        QTest::newRow("mixed") << QByteArray(R"({"log":{"level":7,"stderr":1,"syslog":"no"},"x":5})")
                               << QByteArray(R"({"log":{"stderr":1,"syslog":false}})")
                               << "log/level=7 is above 4, using 2";
        // Keys a sender makes up: each line one line within its bound, a handful of them.
        QTest::newRow("key with a line break") << QByteArray(R"({"mqtt":{"k\n[Terminal] Ready":1}})") << QByteArray("{}") << "";
        QTest::newRow("1 MiB key") << "{\"mqtt\":{\"" + QByteArray(1 << 20, 'k') + "\":1}}" << QByteArray("{}") << "";
        QByteArray many = "{\"mqtt\":{\"k\":1";
        for (int i = 0; i < 10000; ++i)
            many += ",\"k" + QByteArray::number(i) + "\":1";
        QTest::newRow("10,000 unknown keys") << many + "}}" << QByteArray("{}") << "";
    }
    void configTypes()
    {
        QFETCH(QByteArray, in);
        QFETCH(QByteArray, accepted);
        QFETCH(QString, refused);
        Config config(QString(), ConfigDefaults);
        QSignalSpy changed(&config, &Config::configChanged);
        LogCapture log(false);
        LogLimit limit{Log("[GUIManager] ")};
        config.fromJson(Supervision::acceptedConfig(QJsonDocument::fromJson(in).object(), ConfigDefaults, {}, &limit));
        QJsonObject out;
        for (const QList<QVariant> &signal : qAsConst(changed)) {
            const QVariantMap changes = signal.first().toMap();
            for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
                const QStringList key = it.key().split('/');
                QJsonObject group = out.value(key[0]).toObject();
                group.insert(key[1], QJsonValue::fromVariant(it.value()));
                out.insert(key[0], group);
            }
        }
        QCOMPARE(out, QJsonDocument::fromJson(accepted).object());
        QCOMPARE(log.countContaining("[Config] WARN: Configuration value "), refused.isEmpty() ? 0 : 1);
        if (!refused.isEmpty())
            QVERIFY(log.contains("[Config] WARN: Configuration value " + refused));
        QVERIFY(log.countContaining("[GUIManager] WARN: Ignoring") <= LogLimit::Burst);
        for (const QString &line : log.texts())
            QVERIFY(!line.contains('\n') && line.size() < 2 * Log::OutsideLimit);
    }

    void requestIds_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QString>("response");
        QTest::newRow("id 17") << "b/box/reset/request/17" << "b/box/reset/response/17";
        QTest::newRow("no id") << "b/box/reset/request" << "b/box/reset/response";
        QTest::newRow("empty id") << "b/box/reset/request/" << "b/box/reset/response";
    }
    void requestIds()
    {
        QFETCH(QString, topic);
        QFETCH(QString, response);
        QCOMPARE(RemoteCommands::responseTopic("b", "/box/reset/response/", RemoteCommands::requestId(topic)),
                 response);
    }

    void onBroker();
};

void TstGuiLogic::onBroker()
{
    Broker broker;
    QVERIFY(broker.start());
    MqttPeer peer(broker.port());
    QVERIFY(TestUtil::waitUntil([&] { return peer.isConnected(); }));
    QVERIFY(peer.subscribe("t17/#", 0));

    Config config(m_dir.filePath("broker.conf"), ConfigDefaults);
    config.set("mqtt/host", "127.0.0.1");
    config.set("mqtt/port", broker.port());
    config.set("mqtt/base", "t17/ui");
    config.set("mqtt/password", "Hidden-6620");
    config.set("topics/inspector", "t17/inspector");
    config.set("gui/locale", "en_US");
    config.set("cameras/serverPort", 0);
    config.set("terminal/exitTimeoutSecs", 5); // a misspelt line of the file
    LogCapture log;
    GUIManager gui(config);
    // Busy while initialising; the lane's own state may choose the idle screen at once.
    QVERIFY(log.contains("[GUIManager] Setting screen : Busy (timeout=10000 msec)"));
    QCOMPARE(gui.message(), QString("Initializing"));

    // The three retained documents; the secrets masked.
    QVERIFY(peer.waitForMessage("t17/ui/config"));
    QCOMPARE(lastJson(peer, "t17/ui/info").value("version").toString(), QCoreApplication::applicationVersion());
    QVERIFY(lastJson(peer, "t17/ui/info").value("terminal").toObject().contains("serialNum"));
    QCOMPARE(lastJson(peer, "t17/ui/status").value("service"), QJsonValue(true));
    QCOMPARE(lastJson(peer, "t17/ui/status").value("technician"), QJsonValue(false));
    const QJsonObject mqttGroup = lastJson(peer, "t17/ui/config").value("mqtt").toObject();
    QCOMPARE(mqttGroup.value("password").toString(), QString("****"));
    QCOMPARE(lastJson(peer, "t17/ui/config").value("gui").toObject().value("settingsPin").toString(), QString("****"));
    {
        // A supervisor that comes later gets the three documents at once, retained.
        MqttPeer late(broker.port());
        QVERIFY(TestUtil::waitUntil([&] { return late.isConnected(); }));
        QVERIFY(late.subscribe("t17/ui/+", 0));
        for (const char *doc : {"t17/ui/info", "t17/ui/status", "t17/ui/config"}) {
            QVERIFY(late.waitForMessage(doc));
            QVERIFY(late.messagesOn(doc).first().retain);
        }
    }

    // Several groups in one change: each applied, one reconnect, one configuration document.
    log.clear();
    const int configs = peer.messagesOn("t17/ui/config").size();
    QJsonObject change{{"gui", QJsonObject{{"showCursor", false}, {"displayOffMin", 7}, {"locale", "el_GR"}}},
                       {"log", QJsonObject{{"level", 3}, {"color", true}}},
                       {"mqtt", QJsonObject{{"username", "op"}, {"keepAlive", 1}, {"port", "abc"}}},
                       {"terminal", QJsonObject{{"exitTimeoutSecs", 9}}}};
    QVERIFY(peer.publish("t17/ui/config/set", QJsonDocument(change).toJson(), 0));
    QVERIFY(log.waitFor("[GUIManager] Connected to MQTT broker"));
    QVERIFY(log.contains("[GUIManager] Cursor changed : hidden"));
    QVERIFY(log.contains("[GUIManager] Display OFF interval changed : 7 min(s)"));
    QVERIFY(log.contains("[GUIManager] Language changed : el_GR"));
    QVERIFY(log.contains("[GUIManager] Log configuration changed. Applying."));
    QCOMPARE(log.count("[GUIManager] MQTT configuration changed. Applying."), 1);
    QCOMPARE(log.count("[MqttClient] Connecting to host"), 1);
    // The request topics renewed once on the new connection, not added again.
    QCOMPARE(log.count("[MqttClient] Subscribing to 't17/ui/config/set' with QoS = 0"), 1);
    QVERIFY(log.contains(QString("[Config] WARN: Configuration value mqtt/port=abc is not a number, keeping %1").arg(broker.port())));
    QVERIFY(log.contains("[GUIManager] WARN: Ignoring unknown configuration key : mqtt/keepAlive"));
    QVERIFY(log.contains("[GUIManager] WARN: Unknown configuration key : terminal/exitTimeoutSecs"));
    QCOMPARE(config.get("terminal/exitTimeoutSecs").toInt(), 9);
    QCOMPARE(config.get("mqtt/port").toInt(), int(broker.port()));
    // The document goes out once (from the new connection: the client was reconnecting).
    QVERIFY(TestUtil::waitUntil([&] { return peer.messagesOn("t17/ui/config").size() > configs; }));
    QCOMPARE(lastJson(peer, "t17/ui/config").value("gui").toObject().value("displayOffMin"), QJsonValue(7));
    QVERIFY(peer.publish("t17/ui/status/get", "", 0));
    QVERIFY(TestUtil::waitUntil([&] { return log.contains("[GUIManager] Message received : t17/ui/status/get"); }));
    QCOMPARE(peer.messagesOn("t17/ui/config").size(), configs + 1);
    QCOMPARE(log.countContaining("Hidden-6620"), 0);

    // Requests answered on their response topics.
    QVERIFY(peer.publish("t17/ui/box/reset/request/17", "{}", 0));
    QVERIFY(peer.waitForMessage("t17/ui/box/reset/response/17"));
    QCOMPARE(lastJson(peer, "t17/ui/box/reset/response/17").value("result"), QJsonValue(true));
    QVERIFY(peer.publish("t17/ui/cameras/trigger/request/c1", "[]", 0));
    QVERIFY(peer.waitForMessage("t17/ui/cameras/trigger/response/c1"));
    QCOMPARE(lastJson(peer, "t17/ui/cameras/trigger/response/c1").value("readings"), QJsonValue(QJsonArray()));
    QVERIFY(peer.publish("t17/ui/test/cancel/request/k", "{}", 0));
    QVERIFY(peer.waitForMessage("t17/ui/test/cancel/response/k"));
    QCOMPARE(lastJson(peer, "t17/ui/test/cancel/response/k").value("error").toString(), QString("No test in progress"));

    // A test with an unknown or empty mode is refused at once, nothing shown or played. (The
    // lane's own screen may change meanwhile, as the terminal's state moves on: the messages
    // shown tell a test's screens apart.)
    QStringList messages; // "screen: message", as each is shown
    const auto note = [&] { messages << gui.screen() + ": " + gui.message(); };
    const QList<QMetaObject::Connection> noting{connect(&gui, &GUIManager::messageChanged, note),
                                                connect(&gui, &GUIManager::screenChanged, note)};
    for (const QByteArray &payload : {QByteArray(R"({"mode":"bogus","numberOfCards":2})"), QByteArray("not json")}) {
        QVERIFY(peer.publish("t17/ui/test/request/u", payload, 0));
        QVERIFY(TestUtil::waitUntil([&] { return peer.messagesOn("t17/ui/test/response/u").size() == (payload[0] == '{' ? 1 : 2); }));
        const QJsonObject r = lastJson(peer, "t17/ui/test/response/u");
        QCOMPARE(r.value("result"), QJsonValue(false));
        QCOMPARE(r.value("error").toString(), QString("Unknown test mode"));
    }
    const QRegularExpression testScreens(": (Dispensing card|Insert card|Test |Success |Failed )");
    QVERIFY2(messages.filter(testScreens).isEmpty(), qPrintable(messages.join(" | ")));
    QVERIFY(peer.messagesOn("t17/inspector/audio/play").isEmpty());
    // A dispense test with no dispenser fails and plays the invalid sound.
    QVERIFY(peer.publish("t17/ui/test/request/d", R"({"mode":"dispense","numberOfCards":3})", 0));
    QVERIFY(peer.waitForMessage("t17/ui/test/response/d", 60000));  // the dispenser does not answer
    const QJsonObject failed = lastJson(peer, "t17/ui/test/response/d");
    QCOMPARE(failed.value("result"), QJsonValue(false));
    QCOMPARE(failed.value("numberOfCards"), QJsonValue(0));
    QVERIFY(!failed.value("error").toString().isEmpty());
    QVERIFY(peer.waitForMessage("t17/inspector/audio/play"));
    QCOMPARE(lastJson(peer, "t17/inspector/audio/play").value("filepath").toString(), RemoteCommands::InvalidSound);
    QVERIFY2(messages.contains("ErrorScreen: Failed 0 of 3 (0%)\n" + failed.value("error").toString()),
             qPrintable(messages.join(" | ")));
    for (const auto &c : noting)
        disconnect(c);

    // The back office's commands: an unknown one is not acknowledged as done.
    const auto unknown = gui.commands().backOfficeCommand("c9", "formatDisk");
    QCOMPARE(unknown.result, false);
    QCOMPARE(unknown.error, QString("Unknown command"));
    QCOMPARE(gui.commands().backOfficeCommand("c10", "resetBox").result, true);

    // The maintenance login: status republished, event logged, no PIN in any line.
    const int statuses = peer.messagesOn("t17/ui/status").size();
    gui.settingsLoginRequest("5817");
    QVERIFY(TestUtil::waitUntil([&] { return lastJson(peer, "t17/ui/status").value("technician") == QJsonValue(true); }));
    QVERIFY(peer.messagesOn("t17/ui/status").size() > statuses);
    const auto shown = gui.events().data().value<QList<QObject *>>();
    QCOMPARE(static_cast<Event *>(shown.first())->name(), QString("Maintenance login"));
    QVERIFY(static_cast<Event *>(shown.first())->description().startsWith("User ID : 0\nFirst name : VEXO\n"));
    gui.settingsLogoutRequest();
    QCOMPARE(static_cast<Event *>(gui.events().data().value<QList<QObject *>>().first())->name(),
             QString("Maintenance logout"));
    QCOMPARE(log.countContaining("5817"), 0);

    // The language: Greek (set with the change above) installs the translation, English
    // removes it, the same one again is a no-op.
    QCOMPARE(QCoreApplication::translate("GUIManager", "Exiting"), QString::fromUtf8("Έξοδος"));
    QSignalSpy language(&gui, &GUIManager::languageChanged);
    gui.setLanguage("en_US");
    QCOMPARE(QCoreApplication::translate("GUIManager", "Exiting"), QString("Exiting"));
    QCOMPARE(config.get("gui/locale").toString(), QString("en_US"));
    log.clear();
    gui.setLanguage("en_US");
    QCOMPARE(language.count(), 1);
    QVERIFY(log.texts().isEmpty());

    // Losing the broker shows the out-of-order screen (over a lane screen).
    gui.setScreen("DispenseScreen");
    broker.kill();
    QVERIFY(TestUtil::waitUntil([&] { return gui.screen() == "OutOfOrder"; }));
    QCOMPARE(gui.message(), QString("Disconnected"));
}

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    TstGuiLogic test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_guilogic.moc"
