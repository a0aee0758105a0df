// Entry passages over every peer answering at once: a broker with the simulated card
// devices and local services, the Modbus barrier controller, a plate camera and the
// back-office servers.
//
//   bench_passage [passages]       (default 20) the terminal program with its interface
//                                  loaded: the software's own CPU time and the disk syncs
//                                  in one passage
//   ... --backlog N                the same again, the terminal started anew on a store
//                                  that holds N transactions waiting for a later attempt
//                                  (as after an outage): its own CPU time in a passage
//                                  over that on the empty store
//   bench_passage --runner N       N passages through the headless lane runner: its
//                                  resident memory after 10, 100, 200, 400... passages
//
// One passage: the lane ready (a blank card prepared), then the lane commands "loop
// present" and "button" at once, the card taken as soon as it is in the mouth, the
// barrier seen open and then closed at the terminal's polls, and back to Idle with the
// next card prepared.
//
// The terminal runs in its own process, as it does on the lane: the program itself, its
// QML interface rendered offscreen with the software renderer (QT_QPA_PLATFORM and
// QT_QUICK_BACKEND, when set, choose others), logging as it does. The software's own time
// is the process's CPU time over all its threads from the loop command to the lane ready
// again, less the idle lane's CPU over the same window (board polls every 100 ms, barrier
// polls, heartbeats, the interface's clock), measured on the same process with no
// passage before and after the passages. Disk syncs (fsync, fdatasync, sync_file_range,
// syncfs, sync, msync) are counted by a library preloaded into the terminal
// (sync_counter.c), which costs the process nothing else.
// min / median / max over the passages after two warm-up ones. Every wait has a generous limit, so
// the run always ends.
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Engines/Engine.h"
#include "Managers/Barrier.h"

#include "BackOfficePeer.h"
#include "Broker.h"
#include "MqttPeer.h"
#include "PeerProcess.h"
#include "Spread.h"
#include "SyslogSink.h"
#include "TestUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>

namespace {

const QString Transactions = "/api/v1/device/transaction";
const QString Dispenser = "lane/dispenser";
// Limits of the waits: generous, for a loaded machine; they only bound a run that fails.
const int StepLimitMs = 60000;
const int ReadyLimitMs = 180000;
// The lane settling after its start, before its idle work is measured.
const int SettleMs = 30000;

double median(QVector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v[v.size() / 2];
}

Spread spreadOf(const QVector<double> &v)
{
    return Spread::of(std::vector<double>(v.begin(), v.end()));
}

QByteArray rssOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).simplified();
    return "?";
}

// The log of the terminal under test as it grows, from wherever it writes it.
using LogText = std::function<QByteArray()>;

// Waits for a log line after position *from while the terminal runs; *from moves past it.
bool logged(const LogText &log, PeerProcess &terminal, const QByteArray &text, int *from, int ms)
{
    return TestUtil::waitUntil([&] {
        const int at = log().indexOf(text, *from);
        if (at >= 0)
            *from = at + text.size();
        return at >= 0 || !terminal.isRunning();
    }, ms) && terminal.isRunning();
}

// The lane's peers and the bench's hands on them.
class LaneRig
{
public:
    QTemporaryDir dir;
    Broker broker;
    BackOfficePeer office;
    PeerProcess barrier{QStringLiteral("barrier")};
    PeerProcess camera{QStringLiteral("alpr1")};
    PeerProcess sim{QStringLiteral("lane_sim")};
    PeerProcess services{QStringLiteral("services_sim")};
    std::unique_ptr<MqttPeer> hand;
    int barrierPort = 0, barrierControl = 0;
    int statusSeen = 0;
    int controlId = 0;

    bool start(int cards)
    {
        QDir::setCurrent(dir.path());
        qputenv("XDG_CONFIG_HOME", dir.filePath("settings").toUtf8()); // the settings store stays here
        qputenv("ZUKA_GPIO_DIR", dir.filePath("gpio").toUtf8());
        QDir(dir.path()).mkpath("gpio");
        for (const char *pin : {"gpio0", "gpio1"}) { // button and loop: low
            QFile f(dir.filePath(QString("gpio/") + pin));
            if (!f.open(QIODevice::WriteOnly) || f.write("0") != 1)
                return false;
        }
        if (!broker.start() || !office.start())
            return false;
        office.script({{"GET /app/version", QJsonObject{{"json", QJsonObject{{"Deployed Version", "1"}}}}},
                       {"POST /api/Passages", QJsonObject{{"json", QJsonObject{{"id", "P-1"}}}}},
                       {"POST /integration/internal/cardReader/truckAlprFront",
                        QJsonObject{{"json", QJsonObject{{"eventId", "F-1"}}}}}});
        if (!barrier.startPython("barrier_peer.py", {"--step-ms", "0"})
            || !camera.startPython("camera_peer.py", {"--address", "127.0.0.2", "--role", "alpr1"})
            || !sim.startPython("lane_sim.py", {"--port", QString::number(broker.port()), "--rfid-root", "lane/rfid",
                                                "--dispenser-root", Dispenser, "--model", "ELR19093", "--cards",
                                                QString::number(cards), "--capacity", QString::number(cards),
                                                "--detect-ms", "0", "--move-ms", "0", "--quiet"})
            || !services.startPython("services_sim.py", {"--port", QString::number(broker.port()), "--address",
                                                         "127.0.0.1"}))
            return false;
        const QRegularExpressionMatch ports =
            QRegularExpression("READY port=(\\d+) control=(\\d+)").match(barrier.output());
        barrierPort = ports.captured(1).toInt();
        barrierControl = ports.captured(2).toInt();
        hand.reset(new MqttPeer(broker.port(), "bench-hand"));
        return TestUtil::waitUntil([&] { return hand->isConnected(); }, StepLimitMs)
               && hand->subscribe(Dispenser + "/status", 1, StepLimitMs)
               && hand->subscribe(Dispenser + "/sim/reply", 1, StepLimitMs);
    }

    // The terminal's configuration file: every peer of the lane, the rest as the system
    // defines it.
    void configure(const QString &file)
    {
        Config config(file, ConfigDefaults);
        const QVariantMap keys{{"topics/rfid", "lane/rfid"},
                               {"topics/dispenser", Dispenser},
                               {"terminal/deviceId", "DEV-1"},
                               {"terminal/customsId", "12"},
                               {"terminal/locationId", "7"},
                               {"barrier/url", QString("127.0.0.1:%1").arg(barrierPort)},
                               {"card-bo/url", office.https()},
                               // The client certificate as on the lane (the server does not
                               // ask for it: the service bus shares it).
                               {"card-bo/rootCA", office.certFile("ca.pem")},
                               {"card-bo/pubCert", office.certFile("client.pem")},
                               {"card-bo/privKey", office.certFile("client.key")},
                               {"esb/url", office.https()},
                               {"local/url", office.http()},
                               {"local/scaleId", "SCALE-3"},
                               {"cameras/alpr1", QRegularExpression("READY (\\S+)").match(camera.output()).captured(1)},
                               {"cameras/serverPort", 0}};
        for (auto it = keys.begin(); it != keys.end(); ++it)
            config.set(it.key(), it.value());
    }

    void command(const QString &topic) { hand->publish(topic, QByteArray(), 0); }

    // One passage of the terminal, its log read from position *from on: nullptr, or the
    // step that failed. *from moves past the lines waited for.
    const char *passage(const LogText &log, PeerProcess &terminal, int *from)
    {
        command("vexo/ui/loop/present");
        command("vexo/ui/button");
        return !takeCard()                                                          ? "card not taken"
               : !passBarrier(log, terminal, from)                                  ? "barrier not passed"
               : !logged(log, terminal, "Resetting state machine", from, StepLimitMs) ? "no return to Idle"
               : !logged(log, terminal, "Card prepared : ", from, StepLimitMs)        ? "no card prepared"
                                                                                    : nullptr;
    }

private:
    // The driver takes the card once the dispenser reports it in the mouth.
    bool takeCard()
    {
        if (!TestUtil::waitUntil([&] { return cardInMouth(); }, StepLimitMs))
            return false;
        const int id = ++controlId;
        hand->publish(Dispenser + "/sim/control", QString(R"({"cmd": "take", "id": %1})").arg(id).toUtf8(), 0);
        return TestUtil::waitUntil([&] {
            for (const MqttPeer::Message &m : hand->messagesOn(Dispenser + "/sim/reply"))
                if (QJsonDocument::fromJson(m.payload)["id"].toInt() == id)
                    return QJsonDocument::fromJson(m.payload)["ok"].toBool();
            return false;
        }, StepLimitMs);
    }

    bool cardInMouth()
    {
        const QList<MqttPeer::Message> status = hand->messagesOn(Dispenser + "/status");
        for (; statusSeen < status.size(); ++statusSeen)
            if (QJsonDocument::fromJson(status[statusSeen].payload)["device"]["cardInMouth"].toBool()) {
                ++statusSeen;
                return true;
            }
        return false;
    }

    // The boom opened (this passage's open command done, as the terminal logs it: a
    // command sent again under load writes twice), then closed, each status read by the
    // terminal at its poll.
    bool passBarrier(const LogText &log, PeerProcess &terminal, int *from)
    {
        return logged(log, terminal, "Barrier opened", from, StepLimitMs) && barrierStatus("0x800001")
               && barrierStatus("0x100001");
    }

    bool barrierStatus(const QString &status)
    {
        QTcpSocket control;
        control.connectToHost(QHostAddress::LocalHost, quint16(barrierControl));
        if (!control.waitForConnected(StepLimitMs))
            return false;
        control.write(QString("set status=%1\n").arg(status).toLatin1());
        QElapsedTimer waited;
        waited.start();
        while (!control.canReadLine() && waited.elapsed() < StepLimitMs)
            control.waitForReadyRead(int(StepLimitMs - waited.elapsed()));
        if (!control.canReadLine())
            return false;
        const QByteArray answer = control.readLine().trimmed(); // "ok gen=G"
        return answer.startsWith("ok gen=") && barrier.waitForOutput("read unit=1 " + answer.mid(3) + "\n", StepLimitMs);
    }
};

// The CPU time of a process over all its threads, those ended included, in ns.
class ProcessCpu
{
public:
    explicit ProcessCpu(qint64 pid) { m_ok = clock_getcpuclockid(pid_t(pid), &m_clock) == 0; }
    bool isValid() const { return m_ok && now() >= 0; }
    qint64 now() const
    {
        timespec ts{};
        if (!m_ok || clock_gettime(m_clock, &ts) != 0)
            return -1;
        return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }

private:
    clockid_t m_clock{};
    bool m_ok = false;
};

// The disk syncs the terminal made so far, as its preloaded counter keeps them.
qint64 syncsIn(const QString &counterFile)
{
    QFile f(counterFile);
    qint64 n = -1;
    return f.open(QIODevice::ReadOnly) && f.read(reinterpret_cast<char *>(&n), sizeof n) == sizeof n ? n : -1;
}

// The terminal program with its interface: its own CPU time and disk syncs in a passage
// (the median of its own CPU time in *ownMs).
int terminalProgram(LaneRig &lane, int passages, double *ownMs)
{
    const QString conf = lane.dir.filePath("gui.conf");
    lane.configure(conf);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains("QT_QPA_PLATFORM")) {
        env.insert("QT_QPA_PLATFORM", "offscreen");
        if (!env.contains("QT_QUICK_BACKEND"))
            env.insert("QT_QUICK_BACKEND", "software");
    }
    env.insert("XDG_RUNTIME_DIR", lane.dir.path());
    // The disk syncs are counted by a small library preloaded into the terminal.
    const QString counter = lane.dir.filePath("syncs");
    env.insert("LD_PRELOAD", SYNC_COUNTER);
    env.insert("SYNC_COUNTER_FILE", counter);

    // Its log is read where it goes on the lane, the system log, on a /dev/log of this
    // process's own; else (no namespace for it could be had) from its standard error, which
    // costs it a write more a line.
    SyslogSink syslog;
    QStringList args{"-f", conf, "-P", QString::number(lane.broker.port())};
    if (!syslog.available())
        args << "-e";
    PeerProcess terminal(QStringLiteral("zuka-terminal-ui"));
    terminal.setEnvironment(env);
    terminal.setWorkingDirectory(lane.dir.path());
    terminal.setMergedOutput();
    if (!terminal.start(TERMINAL_PROGRAM, args, QByteArray()))
        return 1;
    const qint64 pid = terminal.pid();
    QByteArray text;
    int entries = 0;
    const LogText log = [&] {
        if (!syslog.available())
            return terminal.output();
        const QList<SyslogSink::Entry> all = syslog.entries(pid_t(pid));
        for (; entries < all.size(); ++entries)
            text += all[entries].message.toUtf8() + '\n';
        return text;
    };
    const ProcessCpu cpu(pid);
    int from = 0;
    QElapsedTimer ready;
    ready.start();
    // The card back office registers the terminal at its first slow tick (30 s); the
    // engine then starts again and prepares its card. Started again with its key, the
    // terminal may prepare the card before it is online.
    int prepared = 0;
    if (!cpu.isValid() || !logged(log, terminal, "Online", &from, ReadyLimitMs)
        || !logged(log, terminal, "Card prepared : ", &prepared, ReadyLimitMs) || syncsIn(counter) < 0) {
        std::fprintf(stderr, "the lane did not become ready:\n%s\n", log().right(3000).constData());
        return 1;
    }
    from = qMax(from, prepared);
    std::fprintf(stderr, "lane ready after %.1f s (terminal pid %lld)\n", ready.elapsed() / 1000.0, pid);

    // The idle lane's CPU share: the median of ten one-second windows, so that a
    // heartbeat in one of them does not count; measured once the lane has settled after
    // its start (registration, blacklist, the first heartbeats), and again after the
    // passages. The lower of the two is subtracted, so that the passage's own time is
    // never flattered.
    auto idleShare = [&] {
        QVector<double> shares;
        for (int i = 0; i < 10; ++i) {
            QElapsedTimer wall;
            const qint64 c0 = cpu.now();
            wall.start();
            QEventLoop wait;
            QTimer::singleShot(1000, &wait, &QEventLoop::quit);
            wait.exec();
            shares << double(cpu.now() - c0) / double(wall.nsecsElapsed());
        }
        return median(shares);
    };
    {
        QEventLoop settle;
        QTimer::singleShot(SettleMs, &settle, &QEventLoop::quit);
        settle.exec();
    }
    const double idleBefore = idleShare();

    QVector<double> wall, used, own, idleWindow, ratio, syncs;
    const int office0 = lane.office.requests(Transactions).size();
    int done = 0;
    for (int n = 1; n <= passages + 2; ++n) {
        QElapsedTimer clock;
        clock.start();
        const qint64 c0 = cpu.now();
        const qint64 s0 = syncsIn(counter);
        if (const char *failed = lane.passage(log, terminal, &from)) {
            // The figures of the passages done so far are still printed, beside the failure.
            std::fprintf(stderr, "passage %d did not complete: %s\n%s\n", n, failed, log().right(3000).constData());
            std::printf("FAILED at passage %d: %s\n", n, failed);
            break;
        }
        done = n;
        const double w = clock.nsecsElapsed() / 1e6, c = (cpu.now() - c0) / 1e6;
        const qint64 s = syncsIn(counter) - s0;
        if (n <= 2)
            continue; // warm-up: connections, first requests, first look of each screen
        wall << w;
        used << c;
        syncs << s;
    }
    const double idleAfter = idleShare();
    const double idle = qMin(idleBefore, idleAfter);
    for (int i = 0; i < used.size(); ++i) {
        own << used[i] - idle * wall[i];
        idleWindow << idle * wall[i];
        ratio << own[i] / idleWindow[i];
    }
    const bool sent = lane.office.waitForRequests(Transactions, office0 + done, StepLimitMs);

    std::printf("entry passage, the terminal program with its interface (%s), logging to %s; min / median / max "
                "of %d:\n", qPrintable(env.value("QT_QPA_PLATFORM")),
                syslog.available() ? "the system log" : "standard error (no /dev/log of its own)", int(used.size()));
    std::printf("  counts: the process's CPU time over all its threads from the loop command to the lane ready\n"
                "  again; the idle lane's: its CPU share over all threads with no passage (median of ten 1 s\n"
                "  windows, the lower of before and after the passages) times the passage's wall-clock time;\n"
                "  own: the process's less the idle lane's\n");
    const Spread ownSpread = spreadOf(own);
    std::printf("  software's own CPU time  %s ms\n", ownSpread.text().c_str());
    std::printf("  process CPU time         %s ms\n", spreadOf(used).text().c_str());
    std::printf("  idle lane, same window   %s ms   (baseline: %.2f ms/s before, %.2f ms/s after the passages)\n",
                spreadOf(idleWindow).text().c_str(), idleBefore * 1e3, idleAfter * 1e3);
    std::printf("  own CPU / idle lane      %s      (each passage's; target <= 3)\n", spreadOf(ratio).text().c_str());
    *ownMs = ownSpread.median;
    std::printf("  disk syncs               %s      (target <= 4; fsync, fdatasync and the like)\n",
                spreadOf(syncs).text("%.0f").c_str());
    std::printf("  passage, wall clock      %s ms   (waiting the rest: %.0f ms return to Idle, the barrier polled\n"
                "                                       every %d ms, the peers' answers)\n",
                spreadOf(wall).text("%.0f").c_str(), double(Engine::SuccessResetMs), manager::Barrier::PollIntervalMs);
    std::printf("  transactions at the card back office: %s\n", sent ? "all" : "MISSING");
    return terminal.stop() && sent && done == passages + 2 ? 0 : 1;
}

// The headless lane runner through N passages: its resident memory along the way.
int throughRunner(LaneRig &lane, int passages)
{
    lane.configure(lane.dir.filePath("runner.conf"));
    PeerProcess runner(QStringLiteral("lane_runner"));
    runner.setEnvironment(QProcessEnvironment::systemEnvironment()); // the gpio folder and settings store
    runner.setWorkingDirectory(lane.dir.path());
    if (!runner.start(LANE_RUNNER, {"--config", lane.dir.filePath("runner.conf"), "--port",
                                    QString::number(lane.broker.port()), "--address", "127.0.0.1"})) {
        std::fprintf(stderr, "lane runner did not start\n");
        return 1;
    }
    // The card back office registers the terminal at its first slow tick (30 s); the
    // engine then starts again and prepares its card.
    int from = 0;
    const int office0 = lane.office.requests(Transactions).size();
    const LogText output = [&] { return runner.output(); };
    if (!logged(output, runner, "Online", &from, ReadyLimitMs)
        || !logged(output, runner, "Card prepared : ", &from, ReadyLimitMs)) {
        std::fprintf(stderr, "the lane did not become ready:\n%s\n", runner.output().right(3000).constData());
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    std::printf("lane runner, pid %lld: RSS when ready %s\n", runner.pid(), rssOf(runner.pid()).constData());
    std::fflush(stdout);
    int checkpoint = 10;
    for (int n = 1; n <= passages; ++n) {
        if (const char *failed = lane.passage(output, runner, &from)) {
            std::fprintf(stderr, "passage %d did not complete: %s\n%s\n--- barrier peer:\n%s\n", n, failed,
                         runner.output().right(3000).constData(), lane.barrier.output().right(500).constData());
            return 1;
        }
        if (n == checkpoint || n == passages) {
            const QByteArray log = runner.output();
            const QRegularExpressionMatch heap =
                QRegularExpression("HEAP in-use=(\\d+) sqlite=(-?\\d+)\n").match(log, log.lastIndexOf("HEAP"));
            std::printf("  after %4d passages: RSS %s, malloc in use %s bytes, of them SQLite %s (%.0f s)\n", n,
                        rssOf(runner.pid()).constData(), qPrintable(heap.captured(1)), qPrintable(heap.captured(2)),
                        clock.elapsed() / 1000.0);
            std::fflush(stdout);
            checkpoint = checkpoint == 10 ? 100 : checkpoint * 2;
        }
    }
    lane.office.waitForRequests(Transactions, office0 + passages, StepLimitMs);
    QSet<QString> issued;
    int requests = 0;
    for (const QJsonObject &t : lane.office.requests(Transactions).mid(office0)) {
        const QJsonObject body = BackOfficePeer::bodyOf(t);
        ++requests;
        if (body["type"].toString() == "ISSUANCE")
            issued.insert(body["transactionUid"].toString());
    }
    // The last state the engine logged is Idle.
    const QByteArray log = runner.output();
    const bool idle = log.lastIndexOf("-> (") == log.lastIndexOf("-> (1)Idle");
    std::printf("  ISSUANCE transactions at the card back office: %d of %d (%d requests); back in Idle: %s\n",
                int(issued.size()), passages, requests, idle ? "yes" : "no");
    return runner.stop() && issued.size() == passages && idle ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    SyslogSink::isolate();  // while this process runs one thread
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool runner = args.value(1) == "--runner";
    const int given = (runner ? args.value(2) : args.value(1)).toInt();
    const int passages = given > 0 ? given : runner ? 200 : 20;
    const int backlog = args.contains("--backlog") ? args.value(args.indexOf("--backlog") + 1).toInt() : 0;

    LaneRig lane;
    if (!lane.start(2 * passages + 10)) {
        std::fprintf(stderr, "the peers did not start\n");
        return 1;
    }
    double empty = 0, full = 0;
    int rc = runner ? throughRunner(lane, passages) : terminalProgram(lane, passages, &empty);
    if (!runner && backlog > 0 && rc == 0) {
        // Waiting rows as an outage leaves them: each failed ten times, the next attempt in 6 h.
        const QString added = TestUtil::sqlite3(
            lane.dir.filePath("terminal.db"),
            QString("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                    "INSERT INTO Transactions (type, uuid, timestamp, deviceSerial, cardUid, zuruvDbId, errorDetails, "
                    "sendDate, sendSchedDate, sendStatus, sendAttempts, respStatus, respData) "
                    "SELECT 'ISSUANCE', 'backlog-' || i, '2024-01-01T00:00:00', 'DEV-1', '04A1', '0', '', "
                    "strftime('%Y-%m-%dT%H:%M:%S', 'now', 'localtime'), "
                    "strftime('%Y-%m-%dT%H:%M:%S', 'now', 'localtime', '+6 hours'), 'PENDING', 10, 503, NULL FROM n; "
                    "SELECT count(*) FROM Transactions WHERE sendStatus = 'PENDING'")
                .arg(backlog));
        std::printf("\nthe terminal started again with %s transactions waiting:\n", qPrintable(added));
        rc = terminalProgram(lane, passages, &full);
        std::printf("own CPU of a passage with %d waiting / on the empty store, of the medians: %.2f (target <= 1.2)\n",
                    backlog,
                    empty > 0 ? full / empty : 0.0);
    }
    lane.hand.reset();
    for (PeerProcess *peer : {&lane.services, &lane.sim, &lane.camera, &lane.barrier})
        peer->stop();
    lane.office.stop();
    lane.broker.stop();
    return rc;
}
