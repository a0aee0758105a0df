// Entry passages over every peer answering at once: a broker with the simulated card
// devices, the Modbus barrier controller, a plate camera and the back-office servers.
//
//   bench_passage [passages]       (default 20) the terminal in this process: the
//                                  software's own time in one passage
//   bench_passage --runner N       N passages through the headless lane runner: its
//                                  resident memory after 10, 100, 200, 400... passages
//
// One passage: the lane ready (a blank card prepared), then the lane commands "loop
// present" and "button" at once, the card taken as soon as it is in the mouth, the
// barrier seen open and then closed at the terminal's polls, and back to Idle with the
// next card prepared.
//
// The software's own time is the time the terminal's main thread spends handling events
// between the loop command and the lane being ready again. Everything else in that window
// is waiting: the return to Idle 2 s after the passage, the barrier polls (1 s), the peers'
// answers and the bench's own reactions (events of its peer processes are not counted; its
// handlers cost microseconds). From that busy time the idle lane's own work over the same
// window (board polls every 100 ms, barrier polls, heartbeats) is subtracted, measured here
// on the same terminal with no passage. Medians over the passages after two warm-up ones.
#include "Backend/CardBO.h"
#include "Common/Config.h"
#include "Common/MqttClient.h"
#include "Engines/Session.h"
#include "Engines/Terminal.h"
#include "Engines/Engine.h"
#include "GUI/Defaults.h"
#include "Managers/Barrier.h"
#include "Managers/Ethernet.h"
#include "Models/IPv4.h"

#include "BackOfficePeer.h"
#include "Broker.h"
#include "MqttPeer.h"
#include "PeerProcess.h"
#include "TestUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

const QString Transactions = "/api/v1/device/transaction";
const QString Dispenser = "lane/dispenser";

// The application with the main thread's event handling timed: events delivered to the
// bench's peer processes (and their notifiers) are left out.
class TimedApp : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (m_depth > 0 || QThread::currentThread() != thread() || ownPeer(receiver))
            return QCoreApplication::notify(receiver, event);
        ++m_depth;
        const qint64 start = m_clock.nsecsElapsed();
        const bool done = QCoreApplication::notify(receiver, event);
        m_busy += m_clock.nsecsElapsed() - start;
        --m_depth;
        return done;
    }

    qint64 busyNs() const { return m_busy; }
    qint64 nowNs() const { return m_clock.nsecsElapsed(); }

private:
    static bool ownPeer(QObject *o)
    {
        return qobject_cast<QProcess *>(o) || (o->parent() && qobject_cast<QProcess *>(o->parent()));
    }

    QElapsedTimer m_clock{[] {
        QElapsedTimer t;
        t.start();
        return t;
    }()};
    qint64 m_busy = 0;
    int m_depth = 0;
};

TimedApp *timedApp()
{
    return static_cast<TimedApp *>(QCoreApplication::instance());
}

// Log lines are formatted as usual and dropped (the terminal writes them to the system log).
FILE *logSink = nullptr;
void sink(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    std::fputs(qPrintable(msg), logSink);
    std::fputc('\n', logSink);
}

double median(QVector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v[v.size() / 2];
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

// CPU time of the threads of this process other than the main one, in nanoseconds.
qint64 workerCpuNs()
{
    qint64 sum = 0;
    const QString main = QString::number(QCoreApplication::applicationPid());
    for (const QString &task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (task == main)
            continue;
        QFile f("/proc/self/task/" + task + "/schedstat");
        if (f.open(QIODevice::ReadOnly))
            sum += f.readAll().split(' ').value(0).toLongLong();
    }
    return sum;
}

// The lane's peers and the bench's hands on them.
class Lane
{
public:
    QTemporaryDir dir;
    Broker broker;
    BackOfficePeer office;
    PeerProcess barrier{QStringLiteral("barrier")};
    PeerProcess camera{QStringLiteral("alpr1")};
    PeerProcess sim{QStringLiteral("lane_sim")};
    std::unique_ptr<MqttPeer> hand;
    quint16 barrierPort = 0, barrierControl = 0;
    int statusSeen = 0;
    int controlId = 0;

    bool start(int cards)
    {
        QDir::setCurrent(dir.path()); // terminal.db and the settings store stay here
        qputenv("XDG_CONFIG_HOME", dir.filePath("settings").toUtf8());
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
        if (!barrier.startPython("barrier_peer.py", {"--step-ms", "0"}) || !camera.startPython("camera_peer.py", {"--address", "127.0.0.2", "--role", "alpr1"})
            || !sim.startPython("lane_sim.py", {"--port", QString::number(broker.port()), "--rfid-root", "lane/rfid",
                                                "--dispenser-root", Dispenser, "--model", "ELR19093", "--cards",
                                                QString::number(cards), "--capacity", QString::number(cards),
                                                "--detect-ms", "0", "--move-ms", "0", "--quiet"}))
            return false;
        const auto ports = QRegularExpression("READY port=(\\d+) control=(\\d+)").match(barrier.output());
        barrierPort = quint16(ports.captured(1).toUInt());
        barrierControl = quint16(ports.captured(2).toUInt());
        hand.reset(new MqttPeer(broker.port(), "bench-hand"));
        return TestUtil::waitUntil([&] { return hand->isConnected(); }, 5000)
               && hand->subscribe(Dispenser + "/status") && hand->subscribe(Dispenser + "/sim/reply");
    }

    // The terminal's configuration: every peer of the lane, the rest as the system defines it.
    void configure(Config &config)
    {
        const QVariantMap keys{{"topics/rfid", "lane/rfid"},
                               {"topics/dispenser", Dispenser},
                               {"terminal/deviceId", "DEV-1"},
                               {"terminal/customsId", "12"},
                               {"terminal/locationId", "7"},
                               {"barrier/url", QString("127.0.0.1:%1").arg(barrierPort)},
                               {"card-bo/url", office.https()},
                               {"esb/url", office.https()},
                               {"local/url", office.http()},
                               {"local/scaleId", "SCALE-3"},
                               {"cameras/alpr1", QRegularExpression("READY (\\S+)").match(camera.output()).captured(1)},
                               {"cameras/serverPort", 0}};
        for (auto it = keys.begin(); it != keys.end(); ++it)
            config.set(it.key(), it.value());
    }

    void command(const QString &topic) { hand->publish(topic, QByteArray(), 0); }

    // The driver takes the card once the dispenser reports it in the mouth.
    bool takeCard()
    {
        if (!TestUtil::waitUntil([&] { return cardInMouth(); }, 15000))
            return false;
        const int id = ++controlId;
        hand->publish(Dispenser + "/sim/control", QString(R"({"cmd": "take", "id": %1})").arg(id).toUtf8(), 0);
        return TestUtil::waitUntil([&] {
            for (const MqttPeer::Message &m : hand->messagesOn(Dispenser + "/sim/reply"))
                if (QJsonDocument::fromJson(m.payload)["id"].toInt() == id)
                    return QJsonDocument::fromJson(m.payload)["ok"].toBool();
            return false;
        }, 5000);
    }

    // The boom opened (passage n's open command seen), then closed, each status read by
    // the terminal at its poll.
    bool passBarrier(int n)
    {
        return TestUtil::waitUntil([&] { return barrier.output().count("write unit=1 addr=0 value=1") >= n; }, 15000)
               && barrierStatus("0x800001") && barrierStatus("0x100001");
    }

private:
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

    bool barrierStatus(const QString &status)
    {
        QTcpSocket control;
        control.connectToHost(QHostAddress::LocalHost, barrierControl);
        if (!control.waitForConnected(3000))
            return false;
        control.write(QString("set status=%1\n").arg(status).toLatin1());
        if (!control.waitForReadyRead(3000) || !control.canReadLine())
            return false;
        const QByteArray answer = control.readLine().trimmed(); // "ok gen=G"
        return answer.startsWith("ok gen=") && barrier.waitForOutput("read unit=1 " + answer.mid(3) + "\n", 10000);
    }
};

// The terminal in this process: the software's own time per passage.
int inProcess(Lane &lane, int passages)
{
    Config config(lane.dir.filePath("gui.conf"), ConfigDefaults);
    lane.configure(config);
    manager::MqttClient mqtt;
    mqtt.setHostname("127.0.0.1");
    mqtt.setPort(lane.broker.port());
    mqtt.connect();
    Terminal terminal(config, mqtt);
    terminal.network()->ethernet()->ipv4()->setAddress("127.0.0.1"); // where the camera posts
    terminal.start();
    Session *session = terminal.session();
    // Ready for the next truck: back in Idle with a new card prepared.
    QString lastCard;
    auto ready = [&] {
        return session->state() == Session::Idle && !session->cardId().isEmpty() && session->cardId() != lastCard;
    };
    QElapsedTimer started;
    started.start();
    // The card back office registers the terminal at its first slow tick (30 s).
    if (!TestUtil::waitUntil([&] {
            return terminal.cardBO()->state() == Backend::CardBO::Online && terminal.state() == Terminal::Ready
                   && ready();
        }, 120000)) {
        std::fprintf(stderr, "the lane did not become ready (terminal %s, session %s, card '%s')\n",
                     qPrintable(Terminal::stateToStr(terminal.state())), qPrintable(Session::stateToStr(session->state())),
                     qPrintable(session->cardId()));
        return 1;
    }

    std::fprintf(stderr, "lane ready after %.1f s\n", started.elapsed() / 1000.0);
    // The idle lane's own work per second on the same terminal: the median of ten half
    // seconds, so that a heartbeat in one of them does not count.
    auto idleRate = [&] {
        QVector<double> rates;
        for (int i = 0; i < 10; ++i) {
            QEventLoop wait;
            const qint64 busy = timedApp()->busyNs(), t = timedApp()->nowNs();
            QTimer::singleShot(500, &wait, &QEventLoop::quit);
            wait.exec();
            rates << double(timedApp()->busyNs() - busy) / double(timedApp()->nowNs() - t);
        }
        return median(rates);
    };
    const double idleBefore = idleRate();

    QVector<double> wall, busy, own, cpu;
    const int office0 = lane.office.requests(Transactions).size();
    for (int n = 1; n <= passages + 2; ++n) {
        const qint64 t0 = timedApp()->nowNs(), b0 = timedApp()->busyNs(), c0 = workerCpuNs();
        lane.command("vexo/ui/loop/present");
        lane.command("vexo/ui/button");
        if (!lane.takeCard() || !lane.passBarrier(n)
            || !TestUtil::waitUntil([&] { return session->state() == Session::PostExit; }, 15000)
            || (lastCard = session->cardId(), !TestUtil::waitUntil(ready, 15000))) {
            std::fprintf(stderr, "passage %d did not complete (session %s)\n", n,
                         qPrintable(Session::stateToStr(session->state())));
            return 1;
        }
        const double w = (timedApp()->nowNs() - t0) / 1e6, b = (timedApp()->busyNs() - b0) / 1e6;
        if (n <= 2)
            continue; // warm-up: connections, first requests
        wall << w;
        busy << b;
        own << b - idleBefore * w;
        cpu << (workerCpuNs() - c0) / 1e6;
    }
    const double idleAfter = idleRate();
    const bool sent = lane.office.waitForRequests(Transactions, office0 + passages + 2, 15000);

    std::printf("entry passage, median of %d (every peer answering at once):\n", passages);
    std::printf("  software's own time      %8.2f ms   (target < 20 ms)\n", median(own));
    std::printf("  main thread busy         %8.2f ms\n", median(busy));
    std::printf("  idle lane, same window   %8.2f ms   (baseline: %.3f ms/s before, %.3f ms/s after the passages)\n",
                median(busy) - median(own), idleBefore * 1e3, idleAfter * 1e3);
    std::printf("  passage, wall clock      %8.2f ms   (waiting the rest: %.0f ms return to Idle, the barrier polled\n"
                "                                       every %d ms, the peers' answers)\n",
                median(wall), double(Engine::SuccessResetMs), manager::Barrier::PollIntervalMs);
    std::printf("  CPU of the other threads %8.2f ms   (HTTP, database and MQTT workers, the bench's MQTT thread\n"
                "                                       included; alongside the main thread)\n", median(cpu));
    std::printf("  transactions at the card back office: %s\n", sent ? "all" : "MISSING");
    terminal.stop();
    return sent ? 0 : 1;
}

// The headless lane runner through N passages: its resident memory along the way.
int throughRunner(Lane &lane, int passages)
{
    {
        Config config(lane.dir.filePath("runner.conf"), ConfigDefaults);
        lane.configure(config);
    }
    PeerProcess runner(QStringLiteral("lane_runner"));
    runner.setEnvironment(QProcessEnvironment::systemEnvironment()); // the gpio folder and settings store
    runner.setWorkingDirectory(lane.dir.path());
    if (!runner.start(LANE_RUNNER, {"--config", lane.dir.filePath("runner.conf"), "--port",
                                    QString::number(lane.broker.port()), "--address", "127.0.0.1"})) {
        std::fprintf(stderr, "lane runner did not start\n");
        return 1;
    }
    // Waits for a log line of the runner after position from; from moves past it.
    int from = 0;
    auto logged = [&](const QByteArray &text, int ms) {
        return TestUtil::waitUntil([&] {
            const int at = runner.output().indexOf(text, from);
            if (at >= 0)
                from = at + text.size();
            return at >= 0;
        }, ms);
    };
    // The card back office registers the terminal at its first slow tick (30 s); the
    // engine then starts again and prepares its card.
    const int office0 = lane.office.requests(Transactions).size();
    if (!logged("Online", 120000) || !logged("Card prepared : ", 30000)) {
        std::fprintf(stderr, "the lane did not become ready:\n%s\n", runner.output().right(3000).constData());
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    std::printf("lane runner, pid %lld: RSS when ready %s\n", runner.pid(), rssOf(runner.pid()).constData());
    std::fflush(stdout);
    int checkpoint = 10;
    for (int n = 1; n <= passages; ++n) {
        lane.command("vexo/ui/loop/present");
        lane.command("vexo/ui/button");
        const char *failed = !lane.takeCard()                              ? "card not taken"
                             : !lane.passBarrier(n)                        ? "barrier not passed"
                             : !logged("Resetting state machine", 15000) ? "no return to Idle"
                             : !logged("Card prepared : ", 15000)        ? "no card prepared"
                                                                           : nullptr;
        if (failed) {
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
    TestUtil::waitUntil([&] { return lane.office.requests(Transactions).size() - office0 >= passages; }, 30000);
    QSet<QString> issued;
    int requests = 0;
    for (const QJsonObject &t : lane.office.requests(Transactions).mid(office0)) {
        const QJsonDocument body = QJsonDocument::fromJson(t["body"].toString().toUtf8());
        ++requests;
        if (body["type"].toString() == "ISSUANCE")
            issued.insert(body["transactionUid"].toString());
    }
    // The last state the engine logged is Idle.
    const QByteArray log = runner.output();
    const bool idle = log.lastIndexOf("-> (") == log.lastIndexOf("-> (1)Idle");
    std::printf("  ISSUANCE transactions at the card back office: %d of %d (%d requests); back in Idle: %s\n",
                int(issued.size()), passages, requests, idle ? "yes" : "no");
    runner.stop();
    return issued.size() == passages && idle ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    TimedApp app(argc, argv);
    QCoreApplication::setOrganizationName("vexo");
    QCoreApplication::setApplicationName("zuka-terminal-ui");
    const QStringList args = app.arguments();
    const bool runner = args.value(1) == "--runner";
    const int given = (runner ? args.value(2) : args.value(1)).toInt();
    const int passages = given > 0 ? given : runner ? 200 : 20;

    logSink = std::fopen(qEnvironmentVariableIsSet("BENCH_LOG") ? "/dev/stderr" : "/dev/null", "w");
    qInstallMessageHandler(sink);
    Lane lane;
    if (!lane.start(passages + 5)) {
        std::fprintf(stderr, "the peers did not start\n");
        return 1;
    }
    const int rc = runner ? throughRunner(lane, passages) : inProcess(lane, passages);
    lane.hand.reset();
    lane.sim.stop();
    lane.camera.stop();
    lane.barrier.stop();
    lane.office.stop();
    lane.broker.stop();
    return rc;
}
