// Open commands and status polls against slow barrier controllers: the barrier (its Modbus
// link) beside Qt's own QModbusTcpClient doing the same job, each against a simulated
// controller of its own of the same kind, all side by side in one run. The job: a status read
// of registers 1 to 6 one second after each answer, an open command every N seconds, a read
// that times out or loses its connection drops the connection and it is made again 5 s later;
// a 1 s time-out and 3 retries. Figures per controller: the time from an open command to the
// controller's "write" line (min / median / max), the status reads taken in per minute and the
// losses of contact. The open commands alternate the open and the priority open words, so that
// each command is told from the copies of the one before it at the controller.
#include "Common/Config.h"
#include "Managers/Barrier.h"
#include "PeerProcess.h"
#include "Spread.h"
#include "TestUtil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QModbusTcpClient>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int TimeoutMs = 1000;
constexpr int Retries = 3;
// How long an open command's write line is waited for once the last command was given.
constexpr int TailMs = 20000;

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

struct Case
{
    const char *name;
    QStringList modes; // the controller's control commands
    int everyMs;       // between two open commands, on average (each 1 s more or less, at random)
    int opens;
};

// A simulated controller, and the time the bench saw each line of its output.
struct Controller
{
    PeerProcess peer{QStringLiteral("barrier")};
    quint16 port = 0, control = 0;
    struct Line
    {
        qint64 at;
        QByteArray text;
    };
    std::vector<Line> lines;
    int scanned = 0;

    bool start(const QStringList &modes)
    {
        if (!peer.startPython("barrier_peer.py", {}))
            return false;
        const auto m = QRegularExpression("READY port=(\\d+) control=(\\d+)").match(peer.output());
        port = quint16(m.captured(1).toUInt());
        control = quint16(m.captured(2).toUInt());
        for (const QString &mode : modes) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, control);
            s.write(mode.toUtf8() + '\n');
            if (!TestUtil::waitUntil([&] { return s.canReadLine(); }, 10000) || s.readLine().trimmed() != "ok")
                return false;
        }
        return m.hasMatch();
    }
    void scan(qint64 now)
    {
        const QByteArray out = peer.output();
        int end;
        while ((end = out.indexOf('\n', scanned)) >= 0) {
            lines.push_back({now, out.mid(scanned, end - scanned)});
            scanned = end + 1;
        }
    }
    // When the controller first carried out the write of `value` at or after `since`; -1 if never.
    qint64 written(quint16 value, qint64 since) const
    {
        const QByteArray text = "write unit=1 addr=0 value=" + QByteArray::number(value);
        for (const Line &line : lines)
            if (line.at >= since && line.text == text)
                return line.at;
        return -1;
    }
};

// One client doing the job against its controller.
class Client : public QObject
{
public:
    int reads = 0;  // status reads taken in
    int losses = 0; // connections lost after they were made
    virtual void open(quint16 value) = 0;
};

// The terminal's own barrier.
class LinkClient : public Client
{
public:
    LinkClient(const QString &file, quint16 port)
        : m_config(file, {{"barrier/url", QStringLiteral("127.0.0.1:%1").arg(port)}, {"barrier/timeout", TimeoutMs},
                          {"barrier/retries", Retries}, {"barrier/unitId", 1}})
        , m_barrier(m_config)
    {
        connect(&m_barrier, &manager::Barrier::statusRead, this, [this] { ++reads; });
        connect(&m_barrier, &manager::Barrier::stateChanged, this, [this] {
            const bool down = m_barrier.state() == manager::Barrier::Error
                              && (m_barrier.reason() == "Connection closed" || m_barrier.reason() == "Disconnected");
            if (down && m_up)
                ++losses;
            m_up = m_barrier.active() || (m_up && !down);
        });
    }
    void open(quint16 value) override { m_barrier.open(value == manager::Barrier::CommandPriorityOpen); }

private:
    Config m_config;
    manager::Barrier m_barrier;
    bool m_up = false;
};

// Qt's Modbus TCP client, polled and reconnected as the barrier does it.
class QtClient : public Client
{
public:
    explicit QtClient(quint16 port)
    {
        m_client.setConnectionParameter(QModbusDevice::NetworkAddressParameter, QStringLiteral("127.0.0.1"));
        m_client.setConnectionParameter(QModbusDevice::NetworkPortParameter, port);
        m_client.setTimeout(TimeoutMs);
        m_client.setNumberOfRetries(Retries);
        m_poll.setSingleShot(true);
        m_poll.setInterval(manager::Barrier::PollIntervalMs);
        m_reconnect.setSingleShot(true);
        m_reconnect.setInterval(manager::Barrier::ReconnectIntervalMs);
        connect(&m_poll, &QTimer::timeout, this, &QtClient::read);
        connect(&m_reconnect, &QTimer::timeout, &m_client, &QModbusClient::connectDevice);
        connect(&m_client, &QModbusDevice::stateChanged, &m_alive, [this](QModbusDevice::State state) {
            if (state == QModbusDevice::ConnectedState) {
                m_up = true;
                m_poll.start();
            } else if (state == QModbusDevice::UnconnectedState) {
                losses += m_up ? 1 : 0;
                m_up = false;
                m_poll.stop();
                m_reconnect.start();
            }
        });
        m_client.connectDevice();
    }
    void open(quint16 value) override
    {
        if (QModbusReply *reply = m_client.sendWriteRequest(
                QModbusDataUnit(QModbusDataUnit::HoldingRegisters, manager::Barrier::CommandRegister, QVector<quint16>{value}),
                1))
            connect(reply, &QModbusReply::finished, reply, &QObject::deleteLater);
    }

private:
    void read()
    {
        QModbusReply *reply = m_client.sendReadRequest(
            QModbusDataUnit(QModbusDataUnit::HoldingRegisters, manager::Barrier::StatusRegister,
                            manager::Barrier::StatusBlockSize),
            1);
        if (!reply)
            return;
        connect(reply, &QModbusReply::finished, &m_alive, [this, reply] {
            reply->deleteLater();
            const QModbusDevice::Error error = reply->error();
            if (error == QModbusDevice::NoError)
                ++reads;
            if (error == QModbusDevice::TimeoutError || error == QModbusDevice::ConnectionError)
                m_client.disconnectDevice();
            else if (m_client.state() == QModbusDevice::ConnectedState)
                m_poll.start();
        });
    }

    QTimer m_poll;
    QTimer m_reconnect;
    bool m_up = false;
    QModbusTcpClient m_client;
    // Goes first: what the client says while it is destroyed reaches nothing here.
    QObject m_alive;
};

// One client against its controller, with the open commands it was given.
struct Run
{
    Controller controller;
    std::unique_ptr<Client> client;
    std::vector<std::pair<qint64, quint16>> opens; // when, the word
    // The status reads taken in while the commands were given (from the first command's timer
    // to the last command), and per minute.
    int readsFrom = 0;
    qint64 from = 0;
    double perMinute = 0;
    QTimer timer;
    QRandomGenerator random{7}; // the same spacing in every run

    Spread latency(int &reached) const
    {
        std::vector<double> seconds;
        for (const auto &open : opens) {
            const qint64 at = controller.written(open.second, open.first);
            if (at >= 0)
                seconds.push_back((at - open.first) / 1000.0);
        }
        reached = int(seconds.size());
        return Spread::of(seconds);
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const std::vector<Case> cases{
        {"busy-dropping 1.5 s (one request at a time, what comes meanwhile dropped)", {"busy on", "delay 1500"}, 7000, 14},
        {"late pipelined 1.5 s (each request answered 1.5 s after it came)", {"pipeline on", "delay 1500"}, 7000, 14},
        {"one at a time 1.5 s (requests queued, 1.5 s each)", {"delay 1500"}, 7000, 14},
        {"late pipelined 3 s", {"pipeline on", "delay 3000"}, 10000, 10},
    };
    QTemporaryDir dir;
    std::vector<std::unique_ptr<Run>> runs; // per case: this link, then QModbusTcpClient
    for (const Case &c : cases) {
        for (int kind = 0; kind < 2; ++kind) {
            runs.emplace_back(new Run);
            if (!runs.back()->controller.start(c.modes)) {
                std::fprintf(stderr, "controller for %s did not start\n", c.name);
                return 1;
            }
        }
    }
    qInstallMessageHandler(quiet);
    QElapsedTimer clock;
    clock.start();
    for (size_t i = 0; i < runs.size(); ++i) {
        Run &run = *runs[i];
        if (i % 2 == 0)
            run.client.reset(new LinkClient(dir.filePath(QStringLiteral("c%1.conf").arg(i)), run.controller.port));
        else
            run.client.reset(new QtClient(run.controller.port));
    }
    QTimer scan;
    QObject::connect(&scan, &QTimer::timeout, [&] {
        for (auto &run : runs)
            run->controller.scan(clock.elapsed());
    });
    scan.start(2);
    const bool ready = TestUtil::waitUntil(
        [&] { return std::all_of(runs.begin(), runs.end(), [](const auto &r) { return r->client->reads > 0; }); }, 30000);
    if (!ready) {
        qInstallMessageHandler(nullptr);
        std::fprintf(stderr, "not every client read the status within 30 s\n");
        return 1;
    }

    // The open commands, each client on its own timer; then the last ones' write lines.
    qint64 end = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        Run &run = *runs[i];
        const Case &c = cases[i / 2];
        run.readsFrom = run.client->reads;
        run.from = clock.elapsed();
        // Not in step with the polls: the commands come at every point of a client's cycle.
        QRandomGenerator *random = &run.random;
        run.timer.setSingleShot(true);
        run.timer.setInterval(c.everyMs - 1000 + int(random->bounded(2000)));
        QObject::connect(&run.timer, &QTimer::timeout, [&run, &c, &clock, random] {
            const quint16 word = run.opens.size() % 2 ? manager::Barrier::CommandPriorityOpen : manager::Barrier::CommandOpen;
            run.opens.emplace_back(clock.elapsed(), word);
            run.client->open(word);
            if (int(run.opens.size()) < c.opens) {
                run.timer.start(c.everyMs - 1000 + int(random->bounded(2000)));
                return;
            }
            run.perMinute = (run.client->reads - run.readsFrom) * 60000.0 / double(clock.elapsed() - run.from);
        });
        run.timer.start();
        end = qMax<qint64>(end, qint64(c.everyMs + 1000) * c.opens);
    }
    TestUtil::waitUntil([&] { return std::none_of(runs.begin(), runs.end(), [](const auto &r) { return r->timer.isActive(); }); },
                        int(end) + 10000);
    TestUtil::waitUntil(
        [&] {
            return std::all_of(runs.begin(), runs.end(), [](const auto &r) {
                int reached = 0;
                r->latency(reached);
                return reached == int(r->opens.size());
            });
        },
        TailMs);
    scan.stop();
    qInstallMessageHandler(nullptr);

    std::printf("counts: per controller, the time from an open command to the controller's write line for it "
                "(min / median / max over the commands that reached it), the status reads the client took in per "
                "minute while the commands were given, and the connections it lost; time-out %d ms, %d retries\n",
                TimeoutMs, Retries);
    for (size_t c = 0; c < cases.size(); ++c) {
        const Run &link = *runs[2 * c], &qt = *runs[2 * c + 1];
        int linkReached = 0, qtReached = 0;
        const Spread l = link.latency(linkReached), q = qt.latency(qtReached);
        std::printf("%s, an open every %d s:\n", cases[c].name, cases[c].everyMs / 1000);
        const std::string ratio = q.median >= 0.05 ? std::to_string(l.median / q.median) : "none (its median is below 0.05 s)";
        std::printf("  open latency: %s s (%d of %zu reached it); QModbusTcpClient %s s (%d of %zu); ratio of the "
                    "medians %s\n",
                    l.text().c_str(), linkReached, link.opens.size(), q.text().c_str(), qtReached, qt.opens.size(),
                    ratio.c_str());
        std::printf("  status reads per minute: %.1f; QModbusTcpClient %.1f; ratio %.2f\n", link.perMinute, qt.perMinute,
                    qt.perMinute > 0 ? link.perMinute / qt.perMinute : 0.0);
        std::printf("  losses of contact: %d; QModbusTcpClient %d\n", link.client->losses, qt.client->losses);
    }
    std::printf("goal: an open reaches the controller within 2 s (median) against each, and no loss of contact\n");
    std::fflush(stdout);
    runs.clear();
    return 0;
}
