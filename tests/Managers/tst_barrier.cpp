// The barrier client against a Modbus TCP barrier controller peer (tests/peers/barrier_peer.py).
#include "Deferred/Deferred.h"
#include "LogCapture.h"
#include "PeerProcess.h"
#include "TestUtil.h"

#include "Common/Config.h"
#include "Managers/Barrier.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using manager::Barrier;

namespace {

// One simulated controller: its Modbus port and its control port.
class BarrierPeer
{
public:
    bool start(quint16 port = 0, int unit = 1, int stepMs = 300)
    {
        if (!m_proc.startPython(QStringLiteral("barrier_peer.py"),
                                {"--port", QString::number(port), "--unit", QString::number(unit), "--step-ms",
                                 QString::number(stepMs)}))
            return false;
        const auto m = QRegularExpression("READY port=(\\d+) control=(\\d+)").match(QString::fromUtf8(m_proc.output()));
        m_port = quint16(m.captured(1).toUInt());
        m_control = quint16(m.captured(2).toUInt());
        return m.hasMatch();
    }
    QString url() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    quint16 port() const { return m_port; }
    PeerProcess &proc() { return m_proc; }

    // One control command; its answer line.
    QString command(const QString &line)
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_control);
        if (!s.waitForConnected(3000))
            return QStringLiteral("no control connection");
        s.write(line.toUtf8() + '\n');
        while (!s.canReadLine())
            if (!s.waitForReadyRead(3000))
                return QStringLiteral("no answer");
        return QString::fromUtf8(s.readLine()).trimmed();
    }
    // New words; the generation that the peer's reads report from now on.
    int set(quint32 status, quint16 loopA, quint16 loopB)
    {
        const QString a = command(QStringLiteral("set status=%1 loopa=%2 loopb=%3").arg(status).arg(loopA).arg(loopB));
        return a.startsWith("ok gen=") ? a.mid(7).toInt() : -1;
    }
    // Two reads answered with generation gen: the second is only sent once the client
    // has taken in the first.
    bool waitTaken(int gen, int ms = 8000)
    {
        const QByteArray line = "gen=" + QByteArray::number(gen) + '\n';
        return TestUtil::waitUntil([&] { return m_proc.output().count(line) >= 2; }, ms);
    }
    int count(const QByteArray &text) { return m_proc.output().count(text); }

private:
    PeerProcess m_proc{QStringLiteral("barrier_peer")};
    quint16 m_port = 0;
    quint16 m_control = 0;
};

QVariantMap barrierDefaults()
{
    return {{"barrier/url", ""}, {"barrier/timeout", 1000}, {"barrier/retries", 3}, {"barrier/unitId", 1}};
}

// How a result without values settled: 0 pending, 1 resolved, 2 rejected.
std::shared_ptr<int> watch(Deferred<> d)
{
    auto s = std::make_shared<int>(0);
    d.done([s] { *s = 1; });
    d.fail([s] { *s = 2; });
    d.failZero([s] { *s = 2; });
    return s;
}

bool settle(const std::shared_ptr<int> &s)
{
    return TestUtil::waitUntil([s] { return *s != 0; });
}

bool stateIs(const Barrier &b, Barrier::State s, const QString &reason, int ms = 5000)
{
    return TestUtil::waitUntil([&] { return b.state() == s && b.reason() == reason; }, ms);
}

} // namespace

class TestBarrier : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_case = 0;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<Barrier> m_barrier;
    // The decoding table's rows share one controller and one barrier.
    std::unique_ptr<BarrierPeer> m_tablePeer;
    std::unique_ptr<Config> m_tableConfig;
    std::unique_ptr<Barrier> m_tableBarrier;

    Config &newConfig(const QString &url, QVariantMap extra = {})
    {
        QVariantMap d = barrierDefaults();
        d["barrier/url"] = url;
        for (auto it = extra.cbegin(); it != extra.cend(); ++it)
            d[it.key()] = it.value();
        m_config.reset(new Config(m_dir.filePath(QStringLiteral("c%1.conf").arg(++m_case)), d));
        return *m_config;
    }
    Barrier &connectTo(BarrierPeer &peer, QVariantMap extra = {})
    {
        m_barrier.reset(new Barrier(newConfig(peer.url(), extra)));
        return *m_barrier;
    }

private slots:
    void cleanup()
    {
        m_barrier.reset();
        m_config.reset();
    }
    void cleanupTestCase()
    {
        m_tableBarrier.reset();
        m_tableConfig.reset();
        m_tablePeer.reset();
    }

    // Status word, loop A and loop B words as the controller reports them, and what the
    // barrier makes of them. Rows run in order on one barrier: where a word leaves
    // something unchanged, the row before sets it.
    void decodingTable_data()
    {
        QTest::addColumn<uint>("status");
        QTest::addColumn<uint>("loopA");
        QTest::addColumn<uint>("loopB");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("isOpen");
        QTest::addColumn<bool>("priority");
        QTest::addColumn<bool>("occupiedA");
        QTest::addColumn<bool>("occupiedB");
        QTest::addColumn<QString>("logLine");
        const int R = Barrier::Ready, B = Barrier::Busy, E = Barrier::Error;
        QTest::newRow("ready, closed") << 0x00100001u << 0u << 0u << R << "" << false << false << false << false << "";
        QTest::newRow("open") << 0x00800001u << 0u << 0u << R << "" << true << false << false << false << "";
        QTest::newRow("closing at 30 degrees")
            << (30u << 24 | 0x00200001u) << 0u << 0u << B << "Closing" << true << false << false << false
            << "[Barrier] Boom is closing : 30 degrees";
        QTest::newRow("opening at 200 degrees")
            << (200u << 24 | 0x00400001u) << 0u << 0u << B << "Opening" << true << false << false << false
            << "[Barrier] Boom is opening : 200 degrees";
        QTest::newRow("a word without ready or motion keeps the state")
            << 0x00000000u << 0u << 0u << B << "Opening" << true << false << false << false << "";
        QTest::newRow("closed and open bits: closed")
            << 0x00900001u << 0u << 0u << R << "" << false << false << false << false << "";
        QTest::newRow("error present") << 0x00100002u << 0u << 0u << E << "Error present" << false << false << false
                                       << false << "[Barrier] State changed : (3) Error (reason=Error present)";
        QTest::newRow("homing and temperature: the last wins")
            << 0x00100014u << 0u << 0u << E << "Control temperature exceeded" << false << false << false << false << "";
        QTest::newRow("error with ready bit: Ready") << 0x00100003u << 0u << 0u << R << "" << false << false << false
                                                     << false << "";
        QTest::newRow("error while closing: Busy")
            << 0x00200002u << 0u << 0u << B << "Closing" << false << false << false << false << "";
        QTest::newRow("priority") << 0x00102001u << 0u << 0u << R << "" << false << true << false << false
                                  << "[Barrier] WARN: Detected priority open/close";
        QTest::newRow("loop A occupied") << 0x00100001u << 1u << 0u << R << "" << false << false << true << false
                                         << "[Barrier] Loop A changed : 1";
        QTest::newRow("loop A short-circuit") << 0x00100001u << 0x1001u << 0u << E << "Loop A short-circuit" << false
                                              << false << true << false << "[Barrier] Loop A changed : 1001";
        QTest::newRow("loop A short-circuit and error: error")
            << 0x00100001u << 0x9000u << 0u << E << "Loop A error" << false << false << false << false << "";
        QTest::newRow("loop A inactive hides its faults")
            << 0x00100001u << 0xB000u << 0u << R << "" << false << false << false << false
            << "[Barrier] WARN: Loop A is inactive";
        QTest::newRow("loop B fault over loop A fault")
            << 0x00100001u << 0x1000u << 0x8001u << E << "Loop B error" << false << false << false << true << "";
        QTest::newRow("loop faults cleared: no stale Error")
            << 0x00100001u << 0u << 0u << R << "" << false << false << false << false << "";
        QTest::newRow("loop fault outlasts a status change")
            << 0x00100001u << 0x8000u << 0u << E << "Loop A error" << false << false << false << false << "";
        QTest::newRow("status change under a loop fault")
            << 0x00800001u << 0x8000u << 0u << E << "Loop A error" << true << false << false << false << "";
    }
    void decodingTable()
    {
        QFETCH(uint, status);
        QFETCH(uint, loopA);
        QFETCH(uint, loopB);
        QFETCH(int, state);
        QFETCH(QString, reason);
        QFETCH(bool, isOpen);
        QFETCH(bool, priority);
        QFETCH(bool, occupiedA);
        QFETCH(bool, occupiedB);
        QFETCH(QString, logLine);
        if (!m_tablePeer) {
            m_tablePeer.reset(new BarrierPeer);
            QVERIFY(m_tablePeer->start());
            QVariantMap d = barrierDefaults();
            d["barrier/url"] = m_tablePeer->url();
            m_tableConfig.reset(new Config(m_dir.filePath("table.conf"), d));
            m_tableBarrier.reset(new Barrier(*m_tableConfig));
            QVERIFY(stateIs(*m_tableBarrier, Barrier::Ready, ""));
        }
        LogCapture log;
        const int gen = m_tablePeer->set(status, quint16(loopA), quint16(loopB));
        QVERIFY(gen > 0);
        QVERIFY(m_tablePeer->waitTaken(gen));
        const Barrier &b = *m_tableBarrier;
        QCOMPARE(int(b.state()), state);
        QCOMPARE(b.reason(), reason);
        QCOMPARE(b.isOpen(), isOpen);
        QCOMPARE(b.isPriority(), priority);
        QCOMPARE(b.loopA(), occupiedA);
        QCOMPARE(b.loopB(), occupiedB);
        if (!logLine.isEmpty())
            QVERIFY2(log.contains(logLine), qPrintable(log.texts().join('\n')));
    }

    // The command words reach register 0 with the configured unit id; the controller's
    // opening and closing sequences then show as Busy and the open flag follows.
    void commandsWithUnitId()
    {
        BarrierPeer peer;
        QVERIFY(peer.start(0, 7, 1100));
        Barrier &b = connectTo(peer, {{"barrier/unitId", 7}});
        QVERIFY(stateIs(b, Barrier::Ready, ""));
        QSignalSpy opened(&b, &Barrier::barrierOpened), closed(&b, &Barrier::barrierClosed);
        QStringList seen;
        connect(&b, &Barrier::stateChanged, this, [&] { seen << Barrier::stateToStr(b.state()) + ":" + b.reason(); });

        auto o = watch(b.open(false));
        QVERIFY(settle(o));
        QCOMPARE(*o, 1);
        QVERIFY(b.isOpen() && b.lastChange().isValid());
        QCOMPARE(opened.count(), 1);
        QVERIFY(peer.proc().waitForOutput("write unit=7 addr=0 value=1\n"));
        QVERIFY(TestUtil::waitUntil([&] { return seen.contains("Busy:Opening"); }, 8000));
        QVERIFY(stateIs(b, Barrier::Ready, "", 8000));
        QVERIFY(b.isOpen());

        o = watch(b.close());
        QVERIFY(settle(o));
        QCOMPARE(*o, 1);
        QVERIFY(peer.proc().waitForOutput("write unit=7 addr=0 value=2\n"));
        QVERIFY(closed.wait(8000));
        QVERIFY(seen.contains("Busy:Closing"));

        o = watch(b.open(true));
        QVERIFY(settle(o));
        QVERIFY(peer.proc().waitForOutput("write unit=7 addr=0 value=4\n"));

        // A changed unit id applies to the next request, without a new connection; the
        // controller refuses it, the write fails and the open flag stays as it is.
        const bool wasOpen = b.isOpen();
        LogCapture log;
        m_config->set("barrier/unitId", 3);
        o = watch(b.open(false));
        QVERIFY(settle(o));
        QCOMPARE(*o, 2);
        QVERIFY(log.containsPart("[Barrier] ERROR: Write failed : "));
        QCOMPARE(b.isOpen(), wasOpen);
        QCOMPARE(log.countContaining("[Barrier] Connecting to : "), 0);
        QCOMPARE(peer.count("connected\n"), 1);
        QVERIFY(peer.proc().stop());
    }

    // Nothing listening: Disconnected, a new attempt every 5 s; the controller appears
    // and the barrier is Ready; it is killed and restarted, and the barrier is back.
    void reconnects()
    {
        const quint16 port = TestUtil::freePort();
        LogCapture log;
        m_barrier.reset(new Barrier(newConfig(QStringLiteral("127.0.0.1:%1").arg(port))));
        Barrier &b = *m_barrier;
        QVERIFY(stateIs(b, Barrier::Error, "Disconnected"));
        auto o = watch(b.open(false));
        QCOMPARE(*o, 2);
        QVERIFY(log.contains("[Barrier] ERROR: Not connected"));
        const int attempts = log.count(QStringLiteral("[Barrier] Connecting to : tcp://127.0.0.1:%1").arg(port));
        QElapsedTimer t;
        t.start();
        QVERIFY(TestUtil::waitUntil(
            [&] { return log.count(QStringLiteral("[Barrier] Connecting to : tcp://127.0.0.1:%1").arg(port)) > attempts; },
            10000));
        QVERIFY2(t.elapsed() >= 4500, "retried sooner than the reconnect interval");
        QCOMPARE(b.state(), Barrier::Error);

        BarrierPeer peer;
        QVERIFY(peer.start(port));
        QVERIFY(stateIs(b, Barrier::Ready, "", 12000));
        QVERIFY(peer.proc().waitForOutput("read unit=1", 3000));

        peer.proc().kill();
        QVERIFY(stateIs(b, Barrier::Error, "Disconnected"));
        BarrierPeer again;
        QVERIFY(again.start(port));
        QVERIFY(stateIs(b, Barrier::Ready, "", 12000));
        QVERIFY(again.proc().waitForOutput("read unit=1", 3000));
        QVERIFY(again.proc().stop());
    }

    // A new address while connected is used at once.
    void urlChangeWhileConnected()
    {
        BarrierPeer first, second;
        QVERIFY(first.start() && second.start());
        Barrier &b = connectTo(first);
        QVERIFY(stateIs(b, Barrier::Ready, ""));
        QVERIFY(first.proc().waitForOutput("read unit=1"));
        m_config->set("barrier/url", second.url());
        QVERIFY(second.proc().waitForOutput("connected\n", 3000));
        QVERIFY(second.proc().waitForOutput("read unit=1", 3000));
        QCOMPARE(b.state(), Barrier::Ready);
        QVERIFY(first.proc().stop() && second.proc().stop());
    }

    // The same fault word after a reconnection is decoded again; a late answer drops the
    // connection, and the barrier comes back once the controller answers in time.
    void faultAndLateAnswersAcrossReconnection()
    {
        BarrierPeer peer;
        QVERIFY(peer.start());
        QVERIFY(peer.set(0x00100004u, 0, 0) > 0);
        Barrier &b = connectTo(peer, {{"barrier/timeout", 300}, {"barrier/retries", 0}});
        QVERIFY(stateIs(b, Barrier::Error, "Homing not performed"));

        QStringList seen;
        connect(&b, &Barrier::stateChanged, this, [&] { seen << Barrier::stateToStr(b.state()) + ":" + b.reason(); });
        QCOMPARE(peer.command("drop"), QStringLiteral("ok"));
        QVERIFY(TestUtil::waitUntil([&] { return seen.contains("Ready:"); }, 10000));
        QVERIFY(stateIs(b, Barrier::Error, "Homing not performed"));

        LogCapture log;
        seen.clear();
        QCOMPARE(peer.command("delay 1000"), QStringLiteral("ok"));
        QVERIFY(stateIs(b, Barrier::Error, "Disconnected"));
        QVERIFY(log.containsPart("[Barrier] ERROR: Read failed : "));
        QCOMPARE(peer.command("delay 0"), QStringLiteral("ok"));
        QVERIFY(stateIs(b, Barrier::Error, "Homing not performed", 12000));
        QVERIFY(seen.contains("Ready:"));
        QVERIFY(peer.proc().stop());
    }

    // Destroyed while connected, or with a request in flight: nothing of the client
    // reaches the destroyed barrier.
    void destroyWhileConnected_data()
    {
        QTest::addColumn<bool>("inFlight");
        QTest::newRow("idle") << false;
        QTest::newRow("request in flight") << true;
    }
    void destroyWhileConnected()
    {
        QFETCH(bool, inFlight);
        BarrierPeer peer;
        QVERIFY(peer.start());
        Barrier &b = connectTo(peer);
        QVERIFY(stateIs(b, Barrier::Ready, ""));
        if (inFlight) {
            QCOMPARE(peer.command("delay 2000"), QStringLiteral("ok"));
            b.open(false);
            QVERIFY(peer.proc().waitForOutput("write unit=1 addr=0 value=1\n"));
        }
        LogCapture log;
        m_barrier.reset();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QVERIFY2(!log.containsPart("[Barrier] "), qPrintable(log.texts().join('\n')));
        QVERIFY(peer.proc().stop());
    }
};

QTEST_GUILESS_MAIN(TestBarrier)
#include "tst_barrier.moc"
