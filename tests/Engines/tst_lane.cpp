// Whole passages of the entry and the exit lane on simulated peers: a broker with the
// simulated card reader and dispenser, the Modbus barrier controller, the board's level
// files, a plate camera and the back-office servers (card back office, service bus,
// weighbridge), with the terminal running headless in the test. One scenario table
// drives the passages; each is checked at the peers and in the terminal's database.
#include "Backend/CardBO.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Mqtt/MqttClient.h"
#include "Engines/Session.h"
#include "Engines/Terminal.h"
#include "Managers/Ethernet.h"
#include "Models/IPv4.h"
#include "GUI/Diagnostics.h"
#include "GUI/GUIManager.h"

#include "BackOfficePeer.h"
#include "Broker.h"
#include "LaneSimFixture.h"
#include "LogCapture.h"
#include "MqttPeer.h"
#include "PeerProcess.h"
#include "TestUtil.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdint>
#include <memory>
#include <sys/resource.h>

extern "C" uint64_t sync_count(); // the process's disk syncs so far (sync_counter.c, linked in)

namespace {

const auto json = &BackOfficePeer::json;
const auto bodyOf = &BackOfficePeer::bodyOf;

const QString Front = "/integration/internal/cardReader/truckAlprFront";
const QString Back = "/integration/internal/cardReader/truckAlprBack";
const QString Permission = "/integration/internal/cardReader/request";
const QString Passages = "/api/Passages";
const QString Transactions = "/api/v1/device/transaction";

// A card of the card format as the simulated dispenser takes it: issued at entry.
QJsonObject enteredCard(const QString &uid)
{
    return json(QString(R"({"cmd": "insert", "uid": "%1", "template": "ZUKAv1", "data": {
        "info": {"version": 1, "customsId": 12, "status": "active"}, "usageCounter": 1,
        "usageLog": [{"type": "entry", "deviceId": "ENTRY-1", "locationId": "7",
                      "timestamp": "2026-01-01T10:00:00", "usageCounter": 0}]}})")
                    .arg(uid));
}

} // namespace

class TstLane : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    Broker m_broker;
    BackOfficePeer m_office;
    PeerProcess m_barrier{QStringLiteral("barrier")};
    PeerProcess m_camera{QStringLiteral("alpr")};
    quint16 m_barrierControl = 0;
    QString m_cameraUrl;
    int m_lanes = 0;
    QString m_deviceId; // the lane's: the transactions of this row are those it sent
    QStringList m_retained; // topics the row left a retained message on

    // One lane: the card devices of one dispenser model, a broker client and the terminal.
    struct Lane
    {
        std::unique_ptr<LaneSim> sim;
        std::unique_ptr<Config> config;
        std::unique_ptr<manager::MqttClient> mqtt;
        std::unique_ptr<Terminal> terminal;
        std::unique_ptr<Diagnostics> diagnostics;
    };
    Lane m_lane;

    Session *session() const { return m_lane.terminal->session(); }

    // The session in the state, and the engine's action on entering it run.
    bool waitState(Session::State state, int ms = 15000)
    {
        if (TestUtil::waitUntil([&] { return session()->state() == state; }, ms))
            return settle();
        qWarning() << "session in" << Session::stateToStr(session()->state()) << "waiting for"
                   << Session::stateToStr(state);
        return false;
    }

    // Once the reactions queued so far have run (the engine's action on a state it entered, the
    // terminal's on its own state): a call queued after them runs after them.
    static bool settle()
    {
        const auto run = std::make_shared<bool>(false);
        QMetaObject::invokeMethod(QCoreApplication::instance(), [run] { *run = true; }, Qt::QueuedConnection);
        return TestUtil::waitUntil([run] { return *run; });
    }

    // The transactions this lane sent: a row's own, whatever an earlier row's terminal sent late.
    QList<QJsonObject> transactions() const
    {
        QList<QJsonObject> sent;
        for (const QJsonObject &request : m_office.requests(Transactions))
            if (bodyOf(request)["deviceSerial"].toString() == m_deviceId)
                sent << request;
        return sent;
    }

    QJsonObject sim(const QJsonObject &cmd) { return m_lane.sim->control(*m_lane.mqtt, cmd); }

    // The card as the simulated devices hold it (their state file: read with the broker away too).
    QJsonObject simCard(const QString &uid)
    {
        QFile file(m_dir.filePath(QString("lane%1.json").arg(m_lanes)));
        file.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(file.readAll())["cards"].toObject()[uid].toObject();
    }

    void setLevel(int pin, int level)
    {
        QFile file(m_dir.filePath(QString("gpio/gpio%1").arg(pin)));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray::number(level));
    }

    // A command to the barrier peer's control port, and its answer. The event loop keeps
    // running meanwhile, so the terminal's polls go on.
    QByteArray barrierCommand(const QString &line)
    {
        QTcpSocket control;
        control.connectToHost(QHostAddress::LocalHost, m_barrierControl);
        if (!TestUtil::waitUntil([&] { return control.state() == QAbstractSocket::ConnectedState; }, 10000))
            return QByteArray();
        control.write(line.toLatin1() + '\n');
        if (!TestUtil::waitUntil([&] { return control.canReadLine(); }, 10000))
            return QByteArray();
        return control.readLine().trimmed();
    }

    // A barrier status set through the peer (it ends any boom sequence under way), true once
    // the terminal's barrier has taken the word in (a controller away is waited for). A
    // command the controller gets meanwhile, sent before the word was set, moves the boom over
    // it: the word is set again.
    bool barrierStatus(const QString &status)
    {
        const quint32 word = status.toUInt(nullptr, 0);
        const manager::Barrier *barrier = m_lane.terminal->barrier();
        auto commands = [this] { return m_barrier.output().count("write unit="); };
        QDeadlineTimer deadline(30000);
        do {
            const int before = commands();
            if (!barrierCommand("set status=" + status).startsWith("ok gen="))
                return false;
            if (TestUtil::waitUntil([&] { return barrier->status() == word || commands() != before; },
                                    int(deadline.remainingTime())) && barrier->status() == word)
                return true;
        } while (!deadline.hasExpired());
        return false;
    }

    // The barrier controller peer, for one row: what a row sets there (stalls, delays, the
    // words) ends with it.
    bool startBarrier()
    {
        if (!m_barrier.startPython("barrier_peer.py", {}))
            return false;
        const auto ports = QRegularExpression("READY port=(\\d+) control=(\\d+)").match(m_barrier.output());
        m_barrierPort = quint16(ports.captured(1).toUInt());
        m_barrierControl = quint16(ports.captured(2).toUInt());
        return ports.hasMatch();
    }

    // The lane's card devices of the dispenser model, started, and its configuration.
    std::unique_ptr<Config> laneConfig(const QString &model, const QString &file, const QVariantMap &settings)
    {
        const QString root = QString("lane%1").arg(++m_lanes);
        m_deviceId = "DEV-" + root;
        m_lane.sim.reset(new LaneSim(m_broker.port(), root + "/rfid", root + "/dispenser"));
        if (!m_lane.sim->start({"--model", model, "--state", m_dir.filePath(root + ".json"), "--reset"}))
            return nullptr;
        std::unique_ptr<Config> config(new Config(file.isEmpty() ? m_dir.filePath(root + ".conf") : file, ConfigDefaults));
        const QVariantMap base{{"topics/rfid", root + "/rfid"},
                               {"topics/dispenser", root + "/dispenser"},
                               {"terminal/deviceId", m_deviceId},
                               {"terminal/customsId", "12"},
                               {"terminal/locationId", "7"},
                               {"barrier/url", QString("127.0.0.1:%1").arg(m_barrierPort)},
                               {"card-bo/url", m_office.https()},
                               {"esb/url", m_office.https()},
                               {"local/url", m_office.http()},
                               {"local/scaleId", "SCALE-3"},
                               {"cameras/alpr1", m_cameraUrl},
                               {"cameras/serverPort", 0},
                               // Time enough for the driver's hand on a slow, loaded machine.
                               {"terminal/collectTimeoutSec", 15}};
        for (auto it = base.begin(); it != base.end(); ++it)
            config->set(it.key(), it.value());
        for (auto it = settings.begin(); it != settings.end(); ++it)
            config->set(it.key(), it.value());
        return config;
    }

    bool startLane(const QString &model, const QVariantMap &settings)
    {
        m_lane.config = laneConfig(model, QString(), settings);
        return m_lane.config && startTerminal(true);
    }

    // The terminal with its own broker client on the lane's configuration, started; true
    // once its session is Idle (and the lane Ready, when asked) and its first readings are in.
    bool startTerminal(bool ready)
    {
        m_lane.mqtt.reset(new manager::MqttClient);
        if (!connectClient(*m_lane.mqtt, m_broker.port()))
            return false;
        Backend::CardBO::Timing timing; // the card back office's second shortened: it registers at once
        timing.secondMs = 50;
        m_lane.terminal.reset(new Terminal(*m_lane.config, *m_lane.mqtt, nullptr, timing));
        // The wired interface's address, as the network service would report it: the
        // cameras are told to post their readings there.
        m_lane.terminal->network()->ethernet()->ipv4()->setAddress("127.0.0.1");
        // A configured camera is ready once it has taken the terminal's post address.
        const bool camera = !m_lane.config->get("cameras/alpr1").toString().isEmpty();
        const int uploads = m_camera.output().count("UPLOAD ");
        m_lane.terminal->start();
        return TestUtil::waitUntil([&] {
            return (ready ? m_lane.terminal->state() == Terminal::Ready && session()->state() == Session::Idle
                          : session()->state() != Session::Stopped) && (!camera || m_camera.output().count("UPLOAD ") > uploads);
        }, 20000);
    }

    // False when the lane's devices had ended by themselves.
    bool stopLane()
    {
        m_lane.diagnostics.reset();
        m_lane.terminal.reset();
        m_lane.mqtt.reset();
        const bool healthy = m_lane.sim->stop();
        m_lane.sim.reset();
        m_lane.config.reset();
        return healthy;
    }

    quint16 m_barrierPort = 0;
    int m_rows = 0;

private slots:
    void initTestCase();
    void cleanupTestCase();
    // Each row starts from a clean lane: its own folder (terminal.db with no passage held), its
    // own devices, barrier controller and device id.
    void init()
    {
        if (!TestUtil::rowSelected())
            return;
        const QString folder = m_dir.filePath(QString("row%1").arg(++m_rows));
        QVERIFY(QDir().mkpath(folder) && QDir::setCurrent(folder));
        QVERIFY(startBarrier());
    }
    // What a row left behind, also when it failed half-way, is undone before the next one.
    void cleanup()
    {
        const bool failed = QTest::currentTestFailed();
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &unlimited);
        if (failed)
            qWarning().noquote() << "barrier peer:" << m_barrier.output().right(1500) << "\ncamera peer:"
                                 << m_camera.output().right(1500);
        const bool devices = !m_lane.sim || stopLane();
        setLevel(0, 0); // no button held, no truck left on the loop
        setLevel(1, 0);
        const bool broker = m_broker.start(); // back when the row ended with it down
        bool cleared = true;
        for (const QString &topic : qAsConst(m_retained))
            cleared = MqttPeer(m_broker.port()).publish(topic, QByteArray(), 1, true) && cleared;
        m_retained.clear();
        if (failed) // an image asked for a reading that never came
            QProcess::execute("curl", {"-sf", "-o", "/dev/null", m_cameraUrl + "/control/image?bytes=0"});
        QVERIFY(m_barrier.stop());
        QVERIFY(devices);
        QVERIFY(broker && cleared);
    }
    void passages_data();
    void passages();
    void killed_data();
    void killed();
    void manyEntries();
};

void TstLane::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QDir::setCurrent(m_dir.path()); // terminal.db and the settings store stay in the test's folder
    qputenv("XDG_CONFIG_HOME", m_dir.filePath("settings").toUtf8());
    qputenv("ZUKA_GPIO_DIR", m_dir.filePath("gpio").toUtf8());
    QDir(m_dir.path()).mkpath("gpio");
    signal(SIGXFSZ, SIG_IGN); // a file-size limit stands for a full disk: writes fail, nothing is killed
    setLevel(0, 0);
    setLevel(1, 0);
    QVERIFY(m_broker.start());
    QVERIFY(m_office.start());
    QVERIFY(m_camera.startPython("camera_peer.py", {"--address", "127.0.0.2", "--role", "alpr1"}));
    m_cameraUrl = QString::fromLatin1(m_camera.output().split(' ').last().trimmed());
}

void TstLane::cleanupTestCase()
{
    QVERIFY(m_camera.stop());
    QVERIFY(m_office.stop());
    QVERIFY(m_broker.stop());
}

// Steps: "loop N" (presence loop level), "button", "insert" (the exit card; "insert UID"
// another, "insert blank" an unformatted one), "take" (the driver takes the card from the
// mouth; "take unread": the terminal reads what the devices said of it only once the next
// step runs; "take lost": nothing the devices say of it is heard), "close" (the barrier
// reports closed), "pause", "resume", "pause lifted" (wait for the end of the pause), "card
// test" (one card dispensed, passed), "barrier W" (status
// word, until the terminal's barrier has read it), "barrier stall" / "barrier stall write"
// (the controller's next answer, or next answer to a command, never completes), "barrier
// delay MS" / "barrier lag MS" (its answers come MS late / a command moves the boom MS
// later), "barrier read" (the controller got a status read since that fault was set),
// "barrier down" (wait for its connection to be lost), "opens N" (open commands the
// controller got in the row, those on their way included), "model M" (the dispenser's
// model), "broker down"/"up" (killed; started, every client back), "dispenser
// offline"/"online" (its service gone; back), "reader N"/"reader null" (the card reader held in
// state N, 4 updating; back to its own), "accepting" (the dispenser takes cards in), "disk
// full"/"free" (no file may grow; again), "restart"
// (the terminal dropped where it stands and started again on the same lane; in two steps:
// "gone", "back"), "expired" (the held passage's time over), "at P" (wait
// for the exit card there), "delay OP MS" / "lose OP" (the device's next answer to the call
// comes late / the call acts and nothing it causes is heard), "unheard OP" (the device never
// gets the next call), "first OP [MS]" (its sensors and events before its answer, MS late),
// "intake MS" (a card is taken in that late), "set K V" (configuration), "log TEXT" (logged
// once), "never TEXT" (not logged), "terminal S" (wait for that state), "image N" (the
// camera's next reading carries an image of N bytes, checked at the bus), "blacklist N" (the
// card back office announces a list of N uids), "blacklist stored" (its version stored once
// the list is in), "retained T" / "command T" (a message on topic T, kept by the broker /
// not), "reconnect" (the terminal's broker connection dropped and made again), "disconnect" /
// "connect" (dropped and held down; made again), "syncs" (the disk syncs counted from here),
// "syncs N" (the terminal made at most N since), "cards differ" (the row's last two passages
// name two cards, at the back office and at the weighbridge).
// The transaction types are those the row's passages send, in turn (the last one checked
// in full; its card too unless the place is empty); a row without any sends none.
void TstLane::passages_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<QString>("permission"); // the service bus's answer, as JSON
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("type");  // transaction types at the card back office
    QTest::addColumn<QString>("error"); // its errorDetails
    QTest::addColumn<QString>("place"); // where the card ends
    QTest::addColumn<int>("boxed");     // cards added to the storage box

    const QString entry = "ELR19093", exit = "ELG0909";
    const QString open = R"({"json": {"code": "OPEN", "descr": "ok", "cardReturn": false}})";
    const QString openReturn = R"({"json": {"code": "OPEN", "descr": "ok", "cardReturn": true}})";

    QTest::newRow("entry") << entry << QVariantMap() << open
                           << QStringList{"loop 1", "WaitUser", "button", "WaitCollect", "take", "Exit", "close",
                                          "loop 0", "Idle"}
                           << "ISSUANCE" << "" << "hand" << 0;
    // A passage's disk syncs once the store runs (the first write after a start begins its log).
    QTest::newRow("entry, disk syncs")
        << entry << QVariantMap() << open
        << QStringList{"button", "WaitCollect", "take", "Exit", "close", "Idle", "syncs", "button", "WaitCollect", "take",
                       "Exit", "close", "Idle", "syncs 3"}
        << "ISSUANCE ISSUANCE" << "" << "hand" << 0;
    QTest::newRow("entry, 3 MiB image") << entry << QVariantMap() << open
                                        << QStringList{"image 3145728", "button", "WaitCollect", "take", "Exit",
                                                       "close", "Idle"}
                                        << "ISSUANCE" << "" << "hand" << 0;
    // The list is written beside the passage: the lane's thread never stops long enough for
    // the broker to drop the terminal.
    QTest::newRow("entry, a passage during a large blacklist apply")
        << entry << QVariantMap() << open
        << QStringList{"loop 1", "WaitUser", "blacklist 400000", "log Update Blacklist response received",
                       "button", "WaitCollect", "take", "Exit", "close", "loop 0", "Idle", "blacklist stored"}
        << "ISSUANCE" << "" << "hand" << 0;
    // The card named in the passage goes into the box rather than to the next driver.
    QTest::newRow("entry, card not taken") << entry << QVariantMap{{"terminal/collectTimeoutSec", 1}} << open
                                           << QStringList{"button", "WaitCollect", "Error", "Idle"} << "ERROR_REPORT"
                                           << "Card not collected" << "box" << 1;
    // A second close of the closed passage is refused: one ISSUANCE, no ERROR_REPORT.
    QTest::newRow("entry, closed once")
        << entry << QVariantMap() << open
        << QStringList{"button", "WaitCollect", "take", "Exit", "close", "PostExit", "force Error",
                       "log Passage already closed : ", "Idle"}
        << "ISSUANCE" << "" << "hand" << 0;
    // The lane stopped and started right after a close, the next truck waiting: the old
    // passage's return to Idle never fires into the next one (one reset: the second's).
    QTest::newRow("entry, next truck after a restart")
        << entry << QVariantMap() << open
        << QStringList{"loop 1", "WaitUser", "button", "WaitCollect", "take", "Exit", "close", "PostExit", "pause",
                       "Stopped", "resume", "WaitUser", "button", "WaitCollect", "take", "Exit", "close", "loop 0",
                       "Idle", "log ----- Resetting state machine -------"}
        << "ISSUANCE ISSUANCE" << "" << "hand" << 0;
    // The next card is made ready slowly (the dispenser answers late) and a truck comes and
    // goes meanwhile: the card, ready only in the next passage, serves the next truck.
    QTest::newRow("entry, truck gone before its card is ready")
        << entry << QVariantMap() << open
        << QStringList{"delay /issue 2000", "button", "WaitCollect", "take", "Exit", "close", "PostExit", "Idle",
                       "loop 1",      "DataCollect", "loop 0", "Idle", "loop 1", "WaitUser", "button",
                       "WaitCollect", "take", "Exit", "close", "loop 0", "Idle"}
        << "ISSUANCE ISSUANCE" << "" << "hand" << 0;
    // A press while the reader updates fails at once: the card at the reader stays there, not
    // counted as a failure of its own. Named in the passage, it goes into the box once the update
    // is over, and the next driver gets another.
    QTest::newRow("entry, reader update with a press")
        << entry << QVariantMap() << open
        << QStringList{"log Card prepared : ", "reader 4", "log [CardIssuer] State changed : (0) Init (reason=RFID updating)",
                       "button", "Error", "Idle", "reader null", "log WARN: Card already present. Skipping.", "button",
                       "WaitCollect", "take", "Exit", "close", "Idle", "never Failed to prepare card"}
        << "ERROR_REPORT ISSUANCE" << "" << "hand" << 1;
    // The same with the truck on the loop, the update started once its data went out: two
    // cards, each in one passage at the back office and at the weighbridge.
    QTest::newRow("entry, reader update after the data went out")
        << entry << QVariantMap() << open
        << QStringList{"loop 1", "WaitUser", "reader 4", "log [CardIssuer] State changed : (0) Init (reason=RFID updating)",
                       "button", "Error", "loop 0", "Idle", "reader null", "log [Terminal] Card disposed : uid=", "loop 1",
                       "WaitUser", "button", "WaitCollect", "take", "Exit", "close", "loop 0", "Idle", "cards differ"}
        << "ERROR_REPORT ISSUANCE" << "" << "hand" << 1;
    // Restarted before the card went into the box: the report held for it tells the next run.
    QTest::newRow("entry, reader update with a press, restarted")
        << entry << QVariantMap() << open
        << QStringList{"loop 1", "WaitUser", "reader 4", "log [CardIssuer] State changed : (0) Init (reason=RFID updating)",
                       "button", "log Card not to be issued again : ", "reader null", "restart", "log [Terminal] Card disposed : uid=",
                       "WaitUser", "button", "WaitCollect", "take", "Exit", "close", "loop 0", "Idle", "cards differ"}
        << "ERROR_REPORT ISSUANCE" << "" << "hand" << 1;
    QTest::newRow("entry, barrier never closes")
        << entry << QVariantMap{{"terminal/exitTimeoutSec", 1}} << open
        << QStringList{"button", "WaitCollect", "take", "Exit", "PostExit", "Idle"} << "ISSUANCE" << "" << "hand" << 0;
    // The card was issued all the same: the report keeps its type.
    QTest::newRow("entry, barrier never opened")
        << entry << QVariantMap{{"barrier/retries", 0}, {"terminal/exitTimeoutSec", 1}} << open
        << QStringList{"button", "WaitCollect", "barrier stall", "barrier down", "take", "Exit", "PostExit", "Idle",
                       "barrier 0x100001", "opens 0"}
        << "ISSUANCE" << "Barrier never opened" << "hand" << 0;
    // The engine made again while the card waits in the mouth: the barrier opens once it is taken.
    QTest::newRow("entry, model flap while the card is presented")
        << entry << QVariantMap() << open
        << QStringList{"loop 1", "WaitUser", "button", "log Card ejected successfully", "model NONE", "model ELR19093",
                       "take", "Exit", "close", "opens 1", "loop 0", "Idle"}
        << "ISSUANCE" << "Passage interrupted in WaitCollect" << "hand" << 0;
    // The card taken while the terminal is down, or while the exit lane's engine runs for a
    // flap: the passage is decided, its barrier opens for its truck once the entry engine is back.
    QTest::newRow("entry, card taken while down")
        << entry << QVariantMap() << open
        << QStringList{"loop 1", "button", "log Card ejected successfully", "gone", "take", "back", "Exit", "close",
                       "opens 1", "loop 0", "Idle"}
        << "ISSUANCE" << "Passage interrupted in WaitCollect" << "hand" << 0;
    // Taken as the passage is taken up again after a pause, before the terminal has read it.
    QTest::newRow("entry, card taken just as its passage goes on")
        << entry << QVariantMap() << open
        << QStringList{"loop 1", "button", "log Card ejected successfully", "pause", "Stopped", "take unread", "resume",
                       "log Card collected meanwhile : ", "Exit", "close", "opens 1", "loop 0", "Idle"}
        << "ISSUANCE" << "Passage interrupted in WaitCollect" << "hand" << 0;
    // The broker connection lost while the card waits in the mouth, or just after it was taken:
    // the removal the dispenser announced meanwhile is never heard; its status tells once the
    // connection is back.
    for (const QStringList &away : {QStringList{"while away from the broker", "disconnect", "take unread", "connect"},
                                    QStringList{"just before a broker outage", "take lost", "broker down", "broker up"}})
        QTest::newRow(qPrintable("entry, card taken " + away.first()))
            << entry << QVariantMap() << open
            << QStringList{"loop 1", "button", "log Card ejected successfully"} + away.mid(1)
                   + QStringList{"Exit", "close", "opens 1", "loop 0", "Idle"}
            << "ISSUANCE" << "" << "hand" << 0;
    QTest::newRow("entry, card taken during a flap")
        << entry << QVariantMap() << open
        << QStringList{"loop 1", "button", "log Card ejected successfully", "model ELG0909", "take", "model ELR19093",
                       "Exit", "close", "opens 1", "loop 0", "Idle"}
        << "ISSUANCE" << "Passage interrupted in WaitCollect" << "hand" << 0;
    // The boom opened and the truck left, then the terminal went (or its engine, for a flap);
    // the boom closed and the next truck came: the barrier stays shut for it.
    QTest::newRow("entry, tailgate after a restart")
        << entry << QVariantMap() << open
        << QStringList{"loop 1", "button", "WaitCollect", "take", "Exit", "barrier 0x800001", "loop 0",
                       "log [IssueEngine] Vehicle left", "loop 1", "gone", "barrier 0x100001", "back", "terminal Ready",
                       "log Interrupted passage not taken up (its barrier may have opened) : ", "opens 1", "loop 0", "Idle"}
        << "ISSUANCE" << "Passage interrupted in Exit" << "hand" << 0;
    QTest::newRow("entry, tailgate across a flap")
        << entry << QVariantMap() << open
        << QStringList{"loop 1", "button", "WaitCollect", "take", "Exit", "barrier 0x800001", "loop 0",
                       "log [IssueEngine] Vehicle left", "model NONE", "barrier 0x100001", "loop 1", "model ELR19093",
                       "log Interrupted passage not taken up (its barrier may have opened) : ", "opens 1", "loop 0", "Idle"}
        << "ISSUANCE" << "Passage interrupted in Exit" << "hand" << 0;
    // A card test pauses the lane: an Error -> Ready flap meanwhile leaves the engine stopped.
    QTest::newRow("entry, paused through an error flap")
        << entry << QVariantMap() << open
        << QStringList{"pause",          "Stopped",        "barrier 0x100002", "terminal Error",
                       "barrier 0x100001", "terminal Ready", "Stopped",        "resume",
                       "Idle",           "button",         "WaitCollect",      "take",
                       "Exit",           "close",          "Idle"}
        << "ISSUANCE" << "" << "hand" << 0;
    // The engine of the old model is stopped before it goes: the lane runs on as an exit
    // lane (its truck leaves without a card: back to Idle).
    QTest::newRow("entry, model changed mid-passage")
        << entry << QVariantMap() << open
        << QStringList{"loop 1", "WaitUser", "model ELG0909", "loop 0", "Idle"} << "" << "" << "" << 0;
    // The lane works again once it has recovered (the test's card went into the box).
    QTest::newRow("entry, card test on an out-of-order lane")
        << entry << QVariantMap() << open
        << QStringList{"barrier 0x100002", "terminal Error", "Stopped", "card test", "barrier 0x100001",
                       "terminal Ready", "Idle", "button", "WaitCollect", "take", "Exit", "close", "Idle"}
        << "ISSUANCE" << "" << "hand" << 1;
    // As above, the lane recovering only after the pause has been lifted.
    QTest::newRow("entry, card test on an out-of-order lane, late recovery")
        << entry << QVariantMap() << open
        << QStringList{"barrier 0x100002", "terminal Error", "Stopped", "card test", "pause lifted", "barrier 0x100001",
                       "terminal Ready", "Idle", "button", "WaitCollect", "take", "Exit", "close", "Idle"}
        << "ISSUANCE" << "" << "hand" << 1;
    // A boom held at the controller (its priority bit, nothing else changed) takes the lane
    // out of order until the bit clears.
    QTest::newRow("entry, barrier priority open")
        << entry << QVariantMap() << open
        << QStringList{"barrier 0x102001", "terminal Error", "log (3) Error (reason=Barrier priority open)", "Stopped",
                       "barrier 0x100001", "terminal Ready", "Idle"}
        << "" << "" << "" << 0;
    // A command the broker kept is carried out as it is published, not again when the
    // terminal subscribes anew; one sent then is.
    for (const QString again : {"reconnect", "restart"})
        QTest::newRow(qPrintable("entry, retained barrier open, " + again))
            << entry << QVariantMap() << open
            << QStringList{"retained vexo/ui/barrier/open", "close", again,
                           "log Retained command ignored : vexo/ui/barrier/open", "command vexo/ui/barrier/open",
                           "close", "opens 2"}
            << "" << "" << "" << 0;
    QTest::newRow("exit, card kept") << exit << QVariantMap() << open
                                     << QStringList{"insert", "Exit", "close", "Idle"} << "SCAN" << "" << "box" << 1;
    // The same at the exit, the card kept (the box's count in the settings file included).
    QTest::newRow("exit, disk syncs")
        << exit << QVariantMap() << open
        << QStringList{"insert E7000001", "Exit", "close", "Idle", "syncs", "insert", "Exit", "close", "Idle", "syncs 7"}
        << "SCAN SCAN" << "" << "box" << 2;
    // The dispenser reports the box before its answer: a normal keep, without a warning.
    QTest::newRow("exit, card kept, sensors before the answer")
        << exit << QVariantMap() << open
        << QStringList{"first /dispose", "insert", "Exit", "close", "Idle", "never Dispenser reports no card left"}
        << "SCAN" << "" << "box" << 1;
    // A second card pushed into the mouth during the passage is neither taken in nor
    // put in the passage's record; its driver takes it back.
    QTest::newRow("exit, second card") << exit << QVariantMap() << open
                                       << QStringList{"insert", "Exit", "insert E9999999", "close", "take", "Idle"}
                                       << "SCAN" << "" << "box" << 1;
    // The service bus answers after the lane was stopped and started again: the answer
    // of the dropped passage leaves the idle session alone, and the card that passage left
    // at the reader goes back to its driver; the passage is reported once, as interrupted (the
    // same with the program restarted).
    QTest::newRow("exit, answer after a restart")
        << exit << QVariantMap() << R"({"delayMs": 1500, "json": {"code": "OPEN", "descr": "ok", "cardReturn": false}})"
        << QStringList{"insert", "log Requesting ESB permission for opening barrier", "pause", "Stopped", "resume",
                       "Idle", "log Ignoring result of a finished passage", "take", "terminal Ready"}
        << "ERROR_REPORT" << "Passage interrupted in Permission" << "hand" << 0;
    QTest::newRow("exit, restarted before the permission")
        << exit << QVariantMap() << R"({"delayMs": 1500, "json": {"code": "OPEN", "descr": "ok", "cardReturn": false}})"
        << QStringList{"insert", "log Requesting ESB permission for opening barrier", "restart", "take", "terminal Ready"}
        << "ERROR_REPORT" << "Passage interrupted in Permission" << "hand" << 0;
    // Restarted while the card it took in is read: that card goes back to its driver.
    QTest::newRow("exit, restarted while the card is read")
        << exit << QVariantMap() << open
        << QStringList{"delay /enable 2000", "insert", "log Reading card", "restart", "take", "terminal Ready", "accepting"}
        << "" << "" << "" << 0;
    // Restarted after the permission, the card kept: the barrier opens once for a waiting truck.
    QTest::newRow("exit, restarted after the keep, the truck waiting")
        << exit << QVariantMap() << open
        << QStringList{"loop 1", "first /dispose 3000", "insert", "log Card disposed : uid=", "restart", "Exit", "close",
                       "opens 1", "loop 0", "Idle"}
        << "SCAN" << "Passage interrupted in CardProcess" << "box" << 1;
    QTest::newRow("exit, restarted after the keep, no truck")
        << exit << QVariantMap() << open
        << QStringList{"first /dispose 3000", "insert", "log Card disposed : uid=", "restart", "terminal Ready", "accepting", "opens 0"}
        << "SCAN" << "Passage interrupted in CardProcess" << "box" << 1;
    // The same, the lane back only after the time the passage would have waited for its truck.
    QTest::newRow("exit, paused after the keep, out of time")
        << exit << QVariantMap{{"terminal/exitTimeoutSec", 1}} << open
        << QStringList{"loop 1", "first /dispose 3000", "insert", "log Card disposed : uid=", "pause", "Stopped", "expired",
                       "resume", "log Interrupted passage not taken up (out of time) : ", "opens 0", "loop 0", "Idle"}
        << "SCAN" << "Passage interrupted in CardProcess" << "box" << 1;
    // Back with the lane out of order: reported as it stood once its time is over.
    QTest::newRow("exit, restarted out of order, out of time")
        << exit << QVariantMap{{"terminal/exitTimeoutSec", 1}} << open
        << QStringList{"loop 1", "first /dispose 3000", "insert", "log Card disposed : uid=", "gone", "barrier 0x100003", "back",
                       "expired", "log Interrupted passage reported as it stood : ", "opens 0", "barrier 0x100001", "loop 0"}
        << "SCAN" << "Passage interrupted in CardProcess" << "box" << 1;
    // After the keep, its truck gone and another on the loop (the engine running, or none for a
    // flap), or the boom found open once the lane is back: the barrier stays shut.
    const QStringList kept{"loop 1", "first /dispose 3000", "insert", "log Card disposed : uid="};
    const QString notTaken = "log Interrupted passage not taken up (%1) : ";
    QTest::newRow("exit, truck swapped during the keep, restarted") << exit << QVariantMap() << open
        << kept + QStringList{"loop 0", "loop 1", "restart", notTaken.arg("its vehicle left"), "opens 0", "loop 0", "Idle"}
        << "SCAN" << "Passage interrupted in CardProcess" << "box" << 1;
    // The loop's report, or the lane command that stands for it.
    for (const QStringList &swap : {QStringList{"loop 0", "loop 1"},
                                    QStringList{"command vexo/ui/loop/free", "log On Vehicle Free from MQTT"}})
        QTest::newRow(qPrintable("exit, truck swapped during a flap, " + swap.first()))
            << exit << QVariantMap() << open
            << kept + QStringList{"model NONE"} + swap
                   + QStringList{"model ELG0909", notTaken.arg("its vehicle left"), "opens 0", "loop 0", "Idle"}
            << "SCAN" << "Passage interrupted in CardProcess" << "box" << 1;
    // A flap before the open, the truck not yet on the loop: the lane watched the loop, no vehicle
    // left, and the barrier opens as it would have (after a restart it stays shut: no truck).
    QTest::newRow("exit, flap after the keep, the truck not yet there") << exit << QVariantMap() << open
        << QStringList{"first /dispose 3000", "insert", "log Card disposed : uid=", "model NONE", "model ELG0909", "Exit",
                       "loop 1", "close", "opens 1", "loop 0", "Idle"}
        << "SCAN" << "Passage interrupted in CardProcess" << "box" << 1;
    QTest::newRow("exit, paused after the keep, the boom open") << exit << QVariantMap() << open
        << kept + QStringList{"pause", "Stopped", "barrier 0x800001", "resume", notTaken.arg("the barrier is not closed"),
                              "opens 0", "barrier 0x100001", "loop 0", "Idle"}
        << "SCAN" << "Passage interrupted in CardProcess" << "box" << 1;
    QTest::newRow("exit, tailgate after a restart")
        << exit << QVariantMap() << open
        << QStringList{"loop 1", "insert", "Exit", "barrier 0x800001", "loop 0", "log [CollectEngine] Vehicle left",
                       "loop 1", "gone", "barrier 0x100001", "back", "terminal Ready",
                       "log Interrupted passage not taken up (its barrier may have opened) : ", "opens 1", "loop 0", "Idle"}
        << "SCAN" << "Passage interrupted in Exit" << "box" << 1;
    QTest::newRow("exit, tailgate across a pause")
        << exit << QVariantMap() << open
        << QStringList{"loop 1", "insert", "Exit", "barrier 0x800001", "loop 0", "log [CollectEngine] Vehicle left",
                       "pause", "Stopped", "barrier 0x100001", "loop 1", "resume",
                       "log Interrupted passage not taken up (its barrier may have opened) : ", "opens 1", "loop 0", "Idle"}
        << "SCAN" << "Passage interrupted in Exit" << "box" << 1;
    // Restarted while the card the service bus hands back is written: it goes back to its driver.
    QTest::newRow("exit, restarted while the returned card is written")
        << exit << QVariantMap() << openReturn
        << QStringList{"unheard /card/write", "insert", "log [CollectEngine] Writing card : ", "restart", "take",
                       "terminal Ready", "accepting"}
        << "SCAN" << "Passage interrupted in CardProcess" << "hand" << 0;
    // Restarted (as Restart Application does), the returned card left in the mouth, kept: one report.
    QTest::newRow("exit, restarted with the returned card in the mouth")
        << exit << QVariantMap() << openReturn
        << QStringList{"insert", "WaitCollect", "at mouth", "set terminal/collectTimeoutSec 1", "restart",
                       "log Card of an interrupted passage, reported with it : ", "terminal Ready", "accepting"}
        << "SCAN" << "Passage interrupted in WaitCollect" << "box" << 1;
    // The same, the card in the mouth offered again and the path blocked until it is taken: its
    // truck leaving meanwhile is noted for the passage the new run took over.
    QTest::newRow("exit, restarted with the returned card in the mouth, truck swapped")
        << exit << QVariantMap() << openReturn
        << QStringList{"loop 1", "insert", "WaitCollect", "at mouth", "restart", "loop 0", "loop 1", "take",
                       notTaken.arg("its vehicle left"), "opens 0", "loop 0", "Idle"}
        << "SCAN" << "Passage interrupted in WaitCollect" << "hand" << 0;
    // A card taken in while the broker is away, never announced, is handed back once it is back.
    QTest::newRow("exit, card taken in while the broker is away")
        << exit << QVariantMap() << open
        << QStringList{"intake 1000", "insert", "broker down", "at rfid", "broker up", "take", "terminal Ready",
                       "accepting", "insert", "Exit", "close", "Idle"}
        << "SCAN" << "" << "box" << 1;
    // The same with the truck waiting and the dispenser's service away: the card goes back
    // to its driver, who inserts it again.
    QTest::newRow("exit, card taken in while the dispenser service is away, the truck waiting")
        << exit << QVariantMap() << open
        << QStringList{"loop 1", "WaitUser", "intake 1000", "insert", "dispenser offline", "at rfid",
                       "dispenser online", "take", "insert", "Exit", "close", "loop 0", "Idle"}
        << "SCAN" << "" << "box" << 1;
    // The broker gone during the read: failed with that reason, the card handed back later.
    QTest::newRow("exit, broker outage during the read")
        << exit << QVariantMap() << open
        << QStringList{"delay /enable 5000", "insert", "log Reading card", "broker down", "Error", "Idle",
                       "broker up", "take", "terminal Ready", "accepting"}
        << "ERROR_REPORT" << "RFID enable failed : Timeout" << "hand" << 0;
    // The card handed back is not taken: pulled in, it is kept.
    QTest::newRow("exit denied, card not taken")
        << exit << QVariantMap{{"terminal/collectTimeoutSec", 1}}
        << R"({"json": {"code": "DENY", "descr": "Customs hold", "cardReturn": true}})"
        << QStringList{"insert", "Error", "log Card not collected by user.", "Idle", "terminal Ready", "accepting"}
        << "ERROR_REPORT" << "Customs hold" << "box" << 1;
    // The keep's answer and events lost with the broker: its report once back shows the card kept.
    QTest::newRow("exit, keep answer lost")
        << exit << QVariantMap() << open
        << QStringList{"lose /dispose", "insert", "at box", "broker down", "broker up", "Exit", "close", "Idle"}
        << "SCAN" << "" << "box" << 1;
    // The open command refused while the controller is away: sent again once it is back.
    QTest::newRow("exit, barrier away at the open")
        << exit << QVariantMap{{"barrier/retries", 0}} << openReturn
        << QStringList{"insert", "WaitCollect", "barrier stall", "barrier down", "take", "Exit",
                       "log Failed to send Barrier open command", "close", "opens 1", "Idle"}
        << "SCAN" << "" << "hand" << 0;
    // The same, the lane restarted or paused before the controller is back: nothing went out,
    // so the passage opens once the lane is back.
    for (const QStringList &again :
         {QStringList{"restart"}, QStringList{"pause", "Stopped", "resume"}})
        QTest::newRow(qPrintable("exit, barrier away at the open, then a " + again.first()))
            << exit << QVariantMap{{"barrier/retries", 0}} << openReturn
            << QStringList{"loop 1", "insert", "WaitCollect", "barrier stall", "barrier down", "take", "Exit",
                           "log Failed to send Barrier open command"} + again
                   + QStringList{"Exit", "close", "opens 1", "loop 0", "Idle"}
            << "SCAN" << "Passage interrupted in Exit" << "hand" << 0;
    // The open command queued behind a status read that is never answered: it fails with the
    // connection, not a byte of it written, so the passage opens once the lane is back (also
    // when the lane was paused while the command waited).
    const QString unwritten = "log Write failed : Connection closed";
    for (const QStringList &again : {QStringList{"then a restart", unwritten, "restart"},
                                     QStringList{"then a pause", unwritten, "pause", "Stopped", "resume"},
                                     QStringList{"paused meanwhile", "pause", "Stopped", unwritten, "resume"}})
        QTest::newRow(qPrintable("exit, open queued behind a lost read, " + again.first()))
            << exit << QVariantMap{{"barrier/retries", 0}, {"barrier/timeout", 3000}} << openReturn
            << QStringList{"loop 1", "insert", "WaitCollect", "barrier 0x100001", "barrier stall cut", "barrier read",
                           "take", "Exit"} + again.mid(1)
                   + QStringList{"Exit", "close", "opens 1", "loop 0", "Idle"}
            << "SCAN" << "Passage interrupted in Exit" << "hand" << 0;
    // The same, the controller back with the boom open, then the lane down while the boom closes
    // and the next truck drives on: the boom seen open keeps the barrier shut for that truck.
    QTest::newRow("exit, barrier away at the open, seen open, then down")
        << exit << QVariantMap{{"barrier/retries", 0}} << openReturn
        << QStringList{"loop 1", "insert", "WaitCollect", "barrier stall", "barrier down", "take", "Exit",
                       "log Failed to send Barrier open command", "barrier 0x800001",
                       "log Barrier seen open after a failed open command", "gone", "loop 0", "loop 1",
                       "barrier 0x100001", "back", "terminal Ready", notTaken.arg("its barrier may have opened"),
                       "opens 0", "loop 0", "Idle"}
        << "SCAN" << "Passage interrupted in Exit" << "hand" << 0;
    // Restarted once the controller got the open command, its answer on the way and the boom
    // moving only later: the command was noted before it went, no second one goes.
    QTest::newRow("exit, restarted while the open is answered")
        << exit << QVariantMap{{"barrier/timeout", 10000}, {"barrier/retries", 0}} << open
        << QStringList{"loop 1", "barrier delay 4000", "barrier lag 20000", "insert", "Exit", "opens 1", "restart",
                       notTaken.arg("its barrier may have opened"), "opens 1", "loop 0", "Idle"}
        << "SCAN" << "Passage interrupted in Exit" << "box" << 1;
    // The controller away for the whole exit wait: failed, and no open command once it is back.
    QTest::newRow("exit, barrier never opened")
        << exit << QVariantMap{{"barrier/retries", 0}, {"terminal/exitTimeoutSec", 1}} << openReturn
        << QStringList{"insert", "WaitCollect", "barrier stall", "barrier down", "take", "Exit", "PostExit", "Idle",
                       "barrier 0x100001", "opens 0"}
        << "SCAN" << "Barrier never opened" << "hand" << 0;
    // The open's answer lost: the boom seen closing once back counts as opened, sent once only.
    QTest::newRow("exit, barrier open answer lost")
        << exit << QVariantMap{{"barrier/retries", 0}} << openReturn
        << QStringList{"insert", "WaitCollect", "barrier stall write", "take", "Exit", "barrier down",
                       "barrier 0x200001", "close", "opens 1", "Idle"}
        << "SCAN" << "" << "hand" << 0;
    QTest::newRow("exit, card returned") << exit << QVariantMap() << openReturn
                                         << QStringList{"insert", "WaitCollect", "take", "Exit", "close", "Idle"}
                                         << "SCAN" << "" << "hand" << 0;
    QTest::newRow("exit denied") << exit << QVariantMap()
                                 << R"({"json": {"code": "DENY", "descr": "Customs hold", "cardReturn": true}})"
                                 << QStringList{"insert", "Error", "take", "Idle"} << "ERROR_REPORT" << "Customs hold"
                                 << "hand" << 0;
    // The truck leaves while its data are collected, its card inside: the card is handed
    // back and the abandoned passage recorded (the cameras triggered late, so that the
    // collection lasts).
    QTest::newRow("exit, vehicle left with the card inside")
        << exit << QVariantMap{{"cameras/triggerDelayMsec", 5000}} << open
        << QStringList{"loop 1", "DataCollect", "insert", "card", "loop 0", "Error", "take", "Idle"}
        << "ERROR_REPORT" << "Vehicle left" << "hand" << 0;
    QTest::newRow("exit, invalid card") << exit << QVariantMap() << open
                                        << QStringList{"insert blank", "Error", "take", "Idle"} << "ERROR_REPORT"
                                        << "Invalid card" << "" << 0;
    // The card kept, the truck driving through: the passage goes once, as interrupted.
    QTest::newRow("exit, engine dropped at the barrier")
        << exit << QVariantMap() << open
        << QStringList{"insert", "Exit", "model ELR19093", "log Passage interrupted : ", "close"} << "SCAN"
        << "Passage interrupted in Exit" << "box" << 1;
    // The transaction waits in memory and goes once there is room.
    QTest::newRow("exit, disk full at the close")
        << exit << QVariantMap() << open
        << QStringList{"insert", "Exit", "disk full", "close", "log Could not store transaction, kept until it can be",
                       "disk free", "log Transaction stored : ", "Idle"}
        << "SCAN" << "" << "box" << 1;
    // The broker away when the lane returns to Idle: out of order until acceptance is back.
    QTest::newRow("exit, broker outage on the return to Idle")
        << exit << QVariantMap() << openReturn
        << QStringList{"insert", "WaitCollect", "take", "Exit", "close", "PostExit", "broker down", "Idle",
                       "log Failed to enable card auto-accept", "terminal Error", "broker up", "accepting",
                       "terminal Ready", "insert", "WaitCollect", "take", "Exit", "close", "Idle"}
        << "SCAN SCAN" << "" << "hand" << 0;
    // The request that switches acceptance on is lost on the way: asked again as soon as the
    // dispenser reports after the broker's return, not after the request's time-out.
    QTest::newRow("exit, acceptance request lost")
        << exit << QVariantMap() << open
        << QStringList{"insert", "Exit", "unheard /accept/enable", "close", "Idle", "broker down", "broker up",
                       "accepting", "terminal Ready"}
        << "SCAN" << "" << "box" << 1;
    // A bus address the client cannot use (no scheme, address:port, a blank before it): no
    // permission, the card goes back.
    for (const char *address : {"bus.lan:8443", "127.0.0.1:8443", " https://127.0.0.1:8443"})
        QTest::newRow(qPrintable(QString("exit, bus address '%1'").arg(address)))
            << exit << QVariantMap() << R"({"json": {"code": "DENY", "descr": "Customs hold", "cardReturn": true}})"
            << QStringList{QString("set esb/url ") + address, "insert", "Error", "take", "Idle", "opens 0"}
            << "ERROR_REPORT" << "Communication error" << "hand" << 0;
    QTest::newRow("exit, no answer") << exit << QVariantMap{{"esb/responseTimeoutMsec", 500}}
                                     << R"({"delayMs": 3000, "json": {}})"
                                     << QStringList{"insert", "Error", "take", "Idle"} << "ERROR_REPORT"
                                     << "Communication error" << "hand" << 0;
}

void TstLane::passages()
{
    QFETCH(QString, model);
    QFETCH(QVariantMap, settings);
    QFETCH(QString, permission);
    QFETCH(QStringList, steps);
    QFETCH(QString, type);
    QFETCH(QString, error);
    QFETCH(QString, place);
    QFETCH(int, boxed);
    LogCapture logs;

    QJsonObject answers{{"POST " + Front, json(R"({"json": {"eventId": "F-1"}})")},
                        {"POST " + Back, json(R"({"json": {"eventId": "B-1"}})")},
                        {"POST " + Permission, json(permission)},
                        {"POST " + Passages, json(R"({"json": {"id": "P-1"}})")}};
    m_office.script(answers);
    QVERIFY(startLane(model, settings));
    const QString blacklist = QString("big-%1").arg(m_lanes);
    const int box = m_lane.terminal->storageBox()->count();
    const QString exitUid = QString("E%1").arg(m_lanes, 7, 10, QChar('0'));
    const int opens = m_barrier.output().count("addr=0 value=1\n");
    uint64_t syncs = sync_count();
    int reads = 0; // the status reads the controller got before the last fault set there

    for (const QString &step : steps) {
        if (step.startsWith("loop ")) { // until the terminal's loop shows it
            setLevel(1, step.mid(5).toInt());
            QVERIFY(!m_lane.terminal || TestUtil::waitUntil([&] { return m_lane.terminal->loop()->isOccupied() == (step == "loop 1"); }));
        }
        else if (step == "button") { // held until the engine saw it
            setLevel(0, 1);
            QVERIFY(TestUtil::waitUntil([&] { return session()->buttonPressed(); }));
            setLevel(0, 0);
        }
        else if (step == "pause")
            m_lane.terminal->pause();
        else if (step.startsWith("image "))
            QCOMPARE(QProcess::execute("curl", {"-sf", "-o", "/dev/null", m_cameraUrl + "/control/image?bytes=" + step.mid(6)}), 0);
        else if (step == "blacklist stored")
            QVERIFY(TestUtil::waitUntil([&] { return m_lane.terminal->cardBO()->blacklistVer() == blacklist; }));
        else if (step.startsWith("blacklist ")) {
            QFile list(m_dir.filePath(blacklist + ".json"));
            QVERIFY(list.open(QIODevice::WriteOnly));
            QByteArray uids;
            for (int i = 0; i < step.mid(10).toInt(); ++i)
                uids += QByteArray(i ? ", \"" : "\"") + QByteArray::number(0x04000000000000LL + i * 7919LL, 16) + '"';
            list.write("{\"added\": [" + uids + "], \"removed\": []}");
            answers["cardbo"] = QJsonObject{{"heartbeat", QJsonObject{{"blacklistVersion", blacklist}}},
                                            {"blacklistFile", list.fileName()}};
            m_office.script(answers);
        }
        else if (step == "card test") {
            m_lane.diagnostics.reset(new Diagnostics(GUIManager::diagnosticsLane(*m_lane.terminal)));
            bool passed = false;
            m_lane.diagnostics->performTest("dispense", 1).done([&](const Test &t) { passed = t.result; });
            QVERIFY(TestUtil::waitUntil([&] { return passed; }, 30000));
        }
        else if (step.startsWith("disk ")) {
            const rlimit limit{step == "disk full" ? 0 : RLIM_INFINITY, RLIM_INFINITY};
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        }
        else if (step.startsWith("retained ") || step.startsWith("command ")) {
            const bool retained = step.startsWith("retained ");
            if (retained)
                m_retained << step.section(' ', 1);
            QVERIFY(MqttPeer(m_broker.port()).publish(step.section(' ', 1), "{}", 1, retained));
        }
        else if (step == "reconnect") {
            QSignalSpy connected(m_lane.mqtt.get(), &manager::MqttClient::connected);
            m_lane.mqtt->disconnect();
            QVERIFY(TestUtil::waitUntil([&] { return !connected.isEmpty(); }));
        }
        else if (step == "broker down")
            m_broker.kill();
        else if (step == "broker up") {
            QVERIFY(m_broker.start());
            QVERIFY(TestUtil::waitUntil([&] { return !sim(json(R"({"cmd": "dump"})")).isEmpty(); }, 30000));
        }
        else if (step == "accepting")
            QVERIFY(TestUtil::waitUntil([&] { return sim(json(R"({"cmd": "dump"})"))["state"].toObject()["accepting"].toBool(); }, 15000));
        else if (step == "resume")
            m_lane.terminal->resume();
        else if (step == "barrier down")
            QVERIFY(TestUtil::waitUntil([&] { return !m_lane.terminal->barrier()->active(); }, 15000));
        else if (QRegularExpression("^barrier (stall|delay|lag)\\b").match(step).hasMatch()) {
            reads = m_barrier.output().count("read unit=");
            QCOMPARE(barrierCommand(step.mid(8)), QByteArray("ok"));
        }
        else if (step == "barrier read") // the terminal's next status read at the controller
            QVERIFY(TestUtil::waitUntil([&] { return m_barrier.output().count("read unit=") > reads; }, 15000));
        else if (step.startsWith("barrier ") && !m_lane.terminal) // nobody polls it meanwhile
            QVERIFY(barrierCommand("set status=" + step.mid(8)).startsWith("ok gen="));
        else if (step.startsWith("barrier "))
            QVERIFY(barrierStatus(step.mid(8)));
        else if (step.startsWith("opens ")) { // those on their way included
            auto got = [&] { return m_barrier.output().count("addr=0 value=1\n") - opens; };
            TestUtil::waitUntil([&] { return got() >= step.mid(6).toInt(); }, 10000);
            QCOMPARE(got(), step.mid(6).toInt());
        }
        else if (step == "pause lifted")
            QVERIFY(TestUtil::waitUntil([&] { return !m_lane.terminal->isPaused(); }));
        else if (step == "restart" || step == "gone") {
            m_lane.terminal.reset();
            if (step == "restart")
                QVERIFY(startTerminal(false));
            else // its broker connection, and what it waited for there, ends with the program
                QVERIFY(connectClient(*(m_lane.mqtt = std::make_unique<manager::MqttClient>()), m_broker.port()));
        }
        else if (step == "back")
            QVERIFY(startTerminal(false));
        else if (step == "expired") { // the time the held passage would still have waited is over
            const int waitSec = m_lane.config->get("terminal/exitTimeoutSec").toInt();
            QVERIFY(TestUtil::waitUntil([&] {
                const QString held = TestUtil::sqlite3("terminal.db", "SELECT timestamp FROM Transactions WHERE sendSchedDate IS NULL ORDER BY rowid DESC LIMIT 1");
                return QDateTime::currentDateTime() > QDateTime::fromString(held, Qt::ISODate).addSecs(waitSec + 1);
            }, 15000));
        }
        else if (step.startsWith("at ")) // the exit card, as the devices hold it
            QVERIFY(TestUtil::waitUntil([&] { return simCard(exitUid)["location"].toString() == step.mid(3); }));
        else if (step.startsWith("lose ") || step.startsWith("unheard ")) // the call acts / never arrives
            QVERIFY(sim(json(QString(R"({"cmd": "fault", "op": "%1", "kind": "silence", "%2": %3})")
                                 .arg(step.section(' ', 1), step.startsWith("lose ") ? "quiet" : "effect",
                                      step.startsWith("lose ") ? "true" : "false")))["ok"].toBool());
        else if (step.startsWith("model ")) {
            const QString info = QString(R"({"device": {"firmware": "1.7.0", "manufacturer": "Vexo", "model": "%1"}})");
            QVERIFY(m_lane.mqtt->publish(info.arg(step.mid(6)).toUtf8(), QString("lane%1/dispenser/info").arg(m_lanes), 0, true));
            QVERIFY(TestUtil::waitUntil([&] { return m_lane.terminal->type() == Terminal::modelToType(step.mid(6)); }));
            QVERIFY(settle()); // the engine of the model made, its run started
        }
        else if (step.startsWith("terminal ")) {
            const int state = QMetaEnum::fromType<Terminal::State>().keyToValue(qPrintable(step.mid(9)));
            QVERIFY2(TestUtil::waitUntil([&] { return m_lane.terminal->state() == state; }), qPrintable(step));
            QVERIFY(settle()); // the engine started or stopped on the change
        }
        else if (step == "card") // the inserted card taken into the passage
            QVERIFY(TestUtil::waitUntil([&] { return !session()->cardId().isEmpty(); }));
        else if (step == "insert blank")
            QVERIFY(sim(json(R"({"cmd": "insert", "uid": "B0000001"})"))["ok"].toBool());
        else if (step.startsWith("insert"))
            QVERIFY(sim(enteredCard(step == "insert" ? exitUid : step.mid(7)))["ok"].toBool());
        else if (step.startsWith("delay ") || step.startsWith("first ")) { // the device's next answer comes late
            const QStringList words = step.split(' ');
            QJsonObject fault = json(QString(R"({"cmd": "fault", "op": "%1", "delay_ms": %2})").arg(words[1], words.value(2, "0")));
            if (words[0] == "first")
                fault["status"] = "before";
            QVERIFY(sim(fault)["ok"].toBool());
        }
        else if (step.startsWith("reader "))
            QVERIFY(sim(json(QString(R"({"cmd": "reader", "state": %1})").arg(step.mid(7))))["ok"].toBool());
        else if (step.startsWith("dispenser "))
            QVERIFY(sim(json(QString(R"({"cmd": "%1", "service": "dispenser"})").arg(step.mid(10))))["ok"].toBool());
        else if (step.startsWith("intake "))
            QVERIFY(sim(json(QString(R"({"cmd": "timing", "move_ms": %1})").arg(step.mid(7))))["ok"].toBool());
        else if (step.startsWith("set "))
            m_lane.config->set(step.section(' ', 1, 1), step.section(' ', 2));
        else if (step.startsWith("never "))
            QCOMPARE(logs.countContaining(step.mid(6)), 0);
        else if (step.startsWith("force "))
            session()->setState(Session::State(QMetaEnum::fromType<Session::State>().keyToValue(qPrintable(step.mid(6)))));
        else if (step.startsWith("log ")) {
            QVERIFY2(logs.waitForPart(step.mid(4), 10000), qPrintable(step));
            QCOMPARE(logs.countContaining(step.mid(4)), 1);
        }
        else if (step == "take unread") {
            const QString sim = QString("lane%1/dispenser/sim/").arg(m_lanes);
            MqttPeer peer(m_broker.port());
            QVERIFY(peer.subscribe(sim + "reply") && rawPublish(m_broker.port(), sim + "control", R"({"cmd": "take"})"));
            // The devices' messages reach the terminal's socket before the reply reaches the peer's;
            // the terminal's event loop stays still meanwhile.
            QDeadlineTimer deadline(10000);
            while (peer.messagesOn(sim + "reply").isEmpty() && !deadline.hasExpired())
                QThread::msleep(1);
            QVERIFY(!peer.messagesOn(sim + "reply").isEmpty());
        }
        else if (step == "syncs")
            syncs = sync_count();
        else if (step.startsWith("syncs ")) {
            const uint64_t made = sync_count() - syncs;
            QVERIFY2(made > 0 && made <= step.mid(6).toULongLong(), qPrintable(QString("%1 disk syncs").arg(made)));
        }
        else if (step == "take lost") // taken, and what the dispenser says of it lost with the broker
            QVERIFY(sim(json(R"({"cmd": "take", "quiet": true})"))["ok"].toBool());
        else if (step == "take") { // as soon as the card is in the mouth; until the terminal saw it go
            QVERIFY(TestUtil::waitUntil([&] { return sim(json(R"({"cmd": "take"})"))["ok"].toBool(); }, 15000));
            QVERIFY(!m_lane.terminal || TestUtil::waitUntil([&] { return !m_lane.terminal->dispenser()->cardInMouth(); }));
        }
        else if (step == "close") { // once the barrier has reported open
            QVERIFY(TestUtil::waitUntil([&] { return m_lane.terminal->barrier()->isOpen(); }, 10000));
            // The boom seen open first: a barrier that reports closed at its first poll
            // after the open command is taken as not having started yet.
            QVERIFY(barrierStatus("0x800001"));
            QVERIFY(barrierStatus("0x100001"));
            QVERIFY(TestUtil::waitUntil([&] { return !m_lane.terminal->barrier()->isOpen(); }, 10000));
        }
        else if (step == "cards differ") { // the row's last two passages, at the back office and the weighbridge
            QVERIFY(TestUtil::waitUntil([&] { return transactions().size() >= 2; }));
            const QList<QJsonObject> sent = transactions(), weighed = m_office.requests(Passages);
            QVERIFY(weighed.size() >= 2);
            QVERIFY(bodyOf(sent.last())["cardUid"] != bodyOf(sent[sent.size() - 2])["cardUid"]);
            QVERIFY(bodyOf(weighed.last())["cardId"] != bodyOf(weighed[weighed.size() - 2])["cardId"]);
        }
        else if (step == "disconnect") { // held down until "connect" (the devices are driven around it)
            m_lane.mqtt->setRetryMillis(3600000);
            m_lane.mqtt->disconnect();
            QVERIFY(TestUtil::waitUntil([&] { return !m_lane.mqtt->isConnected(); }));
        }
        else if (step == "connect") {
            m_lane.mqtt->setRetryMillis(3000); // the client's own
            m_lane.mqtt->connect();
            QVERIFY(TestUtil::waitUntil([&] { return m_lane.mqtt->isConnected(); }));
        }
        else
            QVERIFY2(waitState(Session::State(QMetaEnum::fromType<Session::State>().keyToValue(qPrintable(step)))),
                     qPrintable(step));
    }

    // One transaction a passage at the card back office, each stored before it was sent.
    const QStringList types = type.split(' ', Qt::SkipEmptyParts);
    if (types.isEmpty()) {
        QCOMPARE(transactions().size(), 0);
        return;
    }
    TestUtil::waitUntil([&] { return transactions().size() >= types.size(); });
    const QList<QJsonObject> sent = transactions();
    QCOMPARE(sent.size(), types.size());
    for (int i = 0; i < sent.size(); ++i)
        QCOMPARE(bodyOf(sent[i])["type"].toString(), types[i]);
    const QJsonObject trans = bodyOf(sent.last());
    QCOMPARE(trans["errorDetails"].toString(), types.last() == "ERROR_REPORT" ? error : QString());
    if (place.isEmpty())
        return;
    const QString uid = trans["cardUid"].toString();
    QVERIFY(!uid.isEmpty());
    if (model == "ELG0909")
        QCOMPARE(uid, exitUid); // the card the driver inserted first
    QCOMPARE(m_lane.terminal->storageBox()->count(), box + boxed);

    // Stored in the database and marked sent once the back office's answer is in.
    const QString row = types.last() + "|" + uid + "|OK|" + error;
    QString stored;
    TestUtil::waitUntil([&] {
        QProcess sqlite;
        sqlite.start("sqlite3", {"terminal.db", QString("SELECT type, cardUid, sendStatus, errorDetails FROM Transactions "
                                                        "WHERE uuid = '%1'").arg(trans["transactionUid"].toString())});
        sqlite.waitForFinished(5000);
        stored = QString::fromUtf8(sqlite.readAllStandardOutput()).trimmed();
        return stored == row;
    });
    QCOMPARE(stored, row);

    const QJsonObject card = simCard(uid);
    QCOMPARE(card["location"].toString(), place);
    const QJsonArray usage = card["data"].toObject()["usageLog"].toArray();
    if (model == "ELR19093") {
        // Entry: the service bus and the weighbridge got the front plate with the card.
        QCOMPARE(card["data"].toObject()["info"].toObject()["status"].toString(), QString("active"));
        if (types.last() == "ISSUANCE") {
            QCOMPARE(usage.last().toObject()["type"].toString(), QString("entry"));
            // The plate the camera read for this passage (triggered under its uuid).
            const auto read = QRegularExpression("POSTED " + trans["transactionUid"].toString() + " (\\S+) ")
                                  .match(QString::fromUtf8(m_camera.output()));
            QVERIFY(read.hasMatch());
            const QString plate = read.captured(1);
            QCOMPARE(bodyOf(m_office.requests(Passages).last())["cardId"].toString(), uid);
            QCOMPARE(bodyOf(m_office.requests(Passages).last())["licensePlate"].toString(), plate);
            QCOMPARE(bodyOf(m_office.requests(Front).last())["cardId"].toString(), uid);
            QCOMPARE(bodyOf(m_office.requests(Front).last())["frontPlateNumber"].toString(), plate);
            for (const QString &image : steps.filter(QRegularExpression("^image ")))
                QVERIFY(bodyOf(m_office.requests(Front).last())["frontImages"].toArray().contains(QString(image.mid(6).toInt(), 'A')));
            if (error.isEmpty())
                QVERIFY(m_barrier.output().contains("write unit=1 addr=0 value=1"));
        }
    } else {
        // Exit: the back plate reached the bus before the permission was asked.
        const QList<QJsonObject> all = m_office.requests();
        int back = -1, asked = -1;
        for (int i = 0; i < all.size(); ++i) {
            if (all[i]["path"].toString() == Back && bodyOf(all[i])["cardId"].toString() == uid)
                back = i;
            if (all[i]["path"].toString() == Permission && bodyOf(all[i])["cardId"].toString() == uid)
                asked = i;
        }
        if (types.last() == "SCAN" || asked >= 0)
            QVERIFY(back >= 0 && back < asked);
        // Only a returned card is written: it carries the new usage entry.
        QCOMPARE(usage.size(), steps.contains("WaitCollect") ? 2 : 1);
    }
}

// The headless lane runner killed in a passage and started again: the back office gets
// the passage once, as interrupted after its permission, and a card left in the mouth with
// nobody to take it is pulled in and kept, under that same report.
void TstLane::killed_data()
{
    QTest::addColumn<bool>("returned"); // the service bus hands the card back
    QTest::addColumn<QString>("killAt"); // the runner's line after which it is killed
    QTest::addColumn<QString>("state");  // where the passage was
    QTest::addColumn<bool>("truck");     // a truck on the loop throughout: the barrier opens once
    QTest::newRow("card kept, the truck driving through") << false << "[CollectEngine] Opening barrier" << "Exit" << false;
    QTest::newRow("card handed back, left in the mouth")
        << true << "[CardIssuer] Card ejected successfully" << "WaitCollect" << false;
    // Killed with the boom open: the truck on the loop then is never let through a second time.
    QTest::newRow("card kept, killed with the boom open, a truck on the loop")
        << false << "[CollectEngine] Barrier opened" << "Exit" << true;
}

void TstLane::killed()
{
    QFETCH(bool, returned);
    QFETCH(QString, killAt);
    QFETCH(QString, state);
    QFETCH(bool, truck);
    setLevel(1, truck);
    const int opens = m_barrier.output().count("addr=0 value=1\n");
    m_office.script({{"POST " + Permission, json(QString(R"({"json": {"code": "OPEN", "descr": "ok", "cardReturn": %1}})")
                                                     .arg(returned ? "true" : "false"))}});
    const QString dir = m_dir.filePath(QString("runner%1").arg(m_lanes));
    std::unique_ptr<Config> config;
    QVERIFY(QDir().mkpath(dir) && (config = laneConfig("ELG0909", dir + "/gui.conf", {{"cameras/alpr1", ""}})));
    auto start = [&](PeerProcess &runner) {
        runner.setWorkingDirectory(dir);
        return runner.start(BUILD_DIR "/tests/Engines/lane_runner",
                            {"--config", "gui.conf", "--port", QString::number(m_broker.port()), "--second-ms", "50"});
    };
    const QString uid = QString("E77%1").arg(m_lanes, 5, 10, QChar('0'));
    PeerProcess killed("lane_runner"), again("lane_runner");
    QVERIFY(start(killed) && killed.waitForOutput("(0)Stopped -> (1)Idle", 30000));
    m_lane.mqtt.reset(new manager::MqttClient);
    QVERIFY(connectClient(*m_lane.mqtt, m_broker.port()) && sim(enteredCard(uid))["ok"].toBool());
    QVERIFY(killed.waitForOutput(killAt.toUtf8(), 30000));
    killed.kill();
    config->set("terminal/collectTimeoutSec", 1); // nobody takes a card left in the mouth
    QVERIFY(start(again) && again.waitForOutput("Transaction sent successfully : ", 30000));
    QVERIFY(TestUtil::waitUntil([&] { return simCard(uid)["location"].toString() == "box"; }, 15000));
    QVERIFY(again.waitForOutput("[Terminal] State changed : (2) Ready", 15000));
    QStringList sent;
    for (const QJsonObject &r : m_office.requests(Transactions))
        if (bodyOf(r)["cardUid"].toString() == uid)
            sent << bodyOf(r)["type"].toString();
    QCOMPARE(sent, QStringList{"SCAN"});
    QCOMPARE(TestUtil::sqlite3(dir + "/terminal.db", "SELECT errorDetails FROM Transactions WHERE cardUid = '" + uid + "'"),
             "Passage interrupted in " + state);
    if (truck)
        QCOMPARE(m_barrier.output().count("addr=0 value=1\n") - opens, 1);
    setLevel(1, 0);
    QVERIFY(again.stop());
}

// Entry passages in a row (ZUKA_LANE_PASSAGES of them, none by default: a long run):
// one ISSUANCE each at the back office, the session back in Idle after each, and the
// resident memory after the tenth and the last printed. Without cameras, and with the
// barrier's close left to the bounded exit wait, a passage takes about three seconds: give
// the run its time with QTEST_FUNCTION_TIMEOUT (milliseconds; 300000 by default).
void TstLane::manyEntries()
{
    const int count = qEnvironmentVariableIntValue("ZUKA_LANE_PASSAGES");
    if (count <= 0)
        QSKIP("ZUKA_LANE_PASSAGES not set");
    m_office.script({{"POST " + Passages, json(R"({"json": {"id": "P-1"}})")}});
    QVERIFY(startLane("ELR19093", {{"cameras/alpr1", ""}, {"terminal/exitTimeoutSec", 1}}));
    QVERIFY(sim(json(QString(R"({"cmd": "cartridge", "count": %1, "capacity": %1})").arg(count + 1)))["ok"].toBool());
    auto rss = [] {
        QFile status("/proc/self/status");
        status.open(QIODevice::ReadOnly);
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed();
        return QByteArray();
    };
    QByteArray atTen;
    for (int i = 1; i <= count; ++i) {
        setLevel(1, 1);
        QVERIFY(waitState(Session::WaitUser));
        setLevel(0, 1);
        QVERIFY(TestUtil::waitUntil([&] { return session()->buttonPressed(); }));
        setLevel(0, 0);
        QVERIFY(waitState(Session::WaitCollect));
        QVERIFY(TestUtil::waitUntil([&] { return sim(json(R"({"cmd": "take"})"))["ok"].toBool(); }, 15000));
        QVERIFY(waitState(Session::Exit));
        setLevel(1, 0);
        QVERIFY(waitState(Session::Idle));
        QVERIFY(TestUtil::waitUntil([&] { return transactions().size() >= i; }));
        if (i == 10)
            atTen = rss();
    }
    qInfo().noquote() << "passages:" << count << "RSS at 10:" << atTen << "RSS at" << count << ":" << rss();
    const QList<QJsonObject> sent = transactions();
    QCOMPARE(sent.size(), count);
    for (const QJsonObject &t : sent)
        QCOMPARE(bodyOf(t)["type"].toString(), QString("ISSUANCE"));
}

QTEST_GUILESS_MAIN(TstLane)
#include "tst_lane.moc"
