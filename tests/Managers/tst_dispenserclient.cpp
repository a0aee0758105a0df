// The card dispenser client against a real broker and the simulated lane peer.
#include "Broker.h"
#include "LaneSimFixture.h"
#include "LogCapture.h"
#include "MqttPeer.h"
#include "TestUtil.h"

#include "Common/Mqtt/MqttClient.h"
#include "Managers/Dispenser.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <limits>

using manager::Dispenser;
using manager::MqttClient;

namespace {
using DispOutcome = std::shared_ptr<Outcome<Dispenser::Result>>;
}

class TestDispenserClient : public QObject
{
    Q_OBJECT

    Broker m_broker;
    int m_case = 0;
    std::unique_ptr<MqttClient> m_mqtt;
    std::unique_ptr<Dispenser> m_disp;
    std::unique_ptr<LaneSim> m_sim;

    void setUpLane(int requestTimeoutMs = Dispenser::RequestTimeoutMs)
    {
        ++m_case;
        const QString droot = QStringLiteral("d%1/disp").arg(m_case);
        m_mqtt.reset(new MqttClient);
        m_disp.reset(new Dispenser(*m_mqtt, droot, nullptr, requestTimeoutMs));
        m_sim.reset(new LaneSim(m_broker.port(), QStringLiteral("d%1/rfid").arg(m_case), droot));
        QVERIFY(m_sim->start());
        QVERIFY(connectClient(*m_mqtt, m_broker.port()));
        QVERIFY(TestUtil::waitUntil([&] { return m_disp->active() && !m_disp->model().isEmpty(); }));
    }

    bool control(const char *cmd) { return m_sim->control(*m_mqtt, obj(cmd)).value("ok").toBool(); }

    Dispenser::Result call(Deferred<Dispenser::Result> d, int *state, int ms = 5000)
    {
        auto o = watch(d);
        settle(o, ms);
        *state = o->state;
        return o->value;
    }

private slots:
    void initTestCase() { QVERIFY(m_broker.start()); }

    void cleanup()
    {
        const bool simHealthy = !m_sim || m_sim->stop();
        m_sim.reset();
        m_disp.reset();
        m_mqtt.reset();
        QVERIFY(simHealthy);
    }

    void mirrorAndOneSensorAtATime()
    {
        setUpLane();
        QCOMPARE(m_disp->manufacturer(), QStringLiteral("Vexo"));
        QCOMPARE(m_disp->model(), QStringLiteral("ELR19093"));
        QCOMPARE(m_disp->firmware(), QStringLiteral("1.7.0"));
        QCOMPARE(m_disp->software(), QStringLiteral("1.0.0"));
        QCOMPARE(m_disp->cartridge(), QStringLiteral("ok"));
        QCOMPARE(m_disp->cartridgePercent(), 50);
        QVERIFY(!m_disp->isJammed() && !m_disp->isDoorOpen() && !m_disp->cardInMouth() && !m_disp->cardInRfid());

        // One spy per change signal; each status below changes one sensor.
        const QList<QPair<const char *, void (Dispenser::*)()>> signalList{
            {"manufacturer", &Dispenser::manufacturerChanged}, {"model", &Dispenser::modelChanged},
            {"firmware", &Dispenser::firmwareChanged},         {"software", &Dispenser::softwareChanged},
            {"active", &Dispenser::activeChanged},             {"isJammed", &Dispenser::isJammedChanged},
            {"isDoorOpen", &Dispenser::isDoorOpenChanged},     {"cardInMouth", &Dispenser::cardInMouthChanged},
            {"cardInRfid", &Dispenser::cardInRfidChanged},     {"cartridge", &Dispenser::cartridgeChanged},
            {"cartridgePercent", &Dispenser::cartridgePercentChanged}, {"sensors", &Dispenser::sensorsChanged},
        };
        QStringList emitted;
        for (const auto &s : signalList) {
            const QString name = QString::fromLatin1(s.first);
            connect(m_disp.get(), s.second, this, [&emitted, name] { emitted << name; });
        }
        LogCapture log;
        auto expectOnly = [&](const char *cmd, const QStringList &names) {
            emitted.clear();
            if (!control(cmd))
                return false;
            return TestUtil::waitUntil([&] { return emitted == names; }, 3000);
        };

        QVERIFY(expectOnly(R"({"cmd":"cartridge","count":49})", {"cartridgePercent"}));
        QCOMPARE(m_disp->cartridgePercent(), 49);
        QVERIFY(expectOnly(R"({"cmd":"door","open":true})", {"isDoorOpen"}));
        QVERIFY(m_disp->isDoorOpen());
        QVERIFY(expectOnly(R"({"cmd":"door","open":false})", {"isDoorOpen"}));
        QVERIFY(expectOnly(R"({"cmd":"jam","on":true})", {"isJammed"}));
        QVERIFY(expectOnly(R"({"cmd":"jam","on":false})", {"isJammed"}));
        QVERIFY(expectOnly(R"({"cmd":"cartridge","count":0})", {"cartridge", "cartridgePercent"}));
        QCOMPARE(m_disp->cartridge(), QStringLiteral("empty"));
        QVERIFY(expectOnly(R"({"cmd":"active","on":false})", {"active"}));
        QVERIFY(expectOnly(R"({"cmd":"active","on":true})", {"active"}));
        QCOMPARE(log.texts().filter(QRegExp("^\\[Dispenser\\]")), QStringList({"[Dispenser] Door state changed : Open", "[Dispenser] Door state changed : Closed",
                                           "[Dispenser] Jammed changed : true", "[Dispenser] Jammed changed : false",
                                           "[Dispenser] Active changed : false", "[Dispenser] Active changed : true"}));

        // A status that no JSON text can be (a NUL byte first) is refused and changes nothing.
        emitted.clear();
        QVERIFY(MqttPeer(m_broker.port()).publish(m_sim->dispenserRoot() + "/status", QByteArray("\0\xff\xfe{", 4)));
        QVERIFY(log.waitForPart("ERROR: Failed to parse JSON message (topic=" + m_sim->dispenserRoot() + "/status) :\\x00"));
        QCOMPARE(emitted, QStringList());
        // An offline status touches only the active flag.
        emitted.clear();
        QVERIFY(rawPublish(m_broker.port(), m_sim->dispenserRoot() + "/status", R"({"service":"yes","device":{}})"));
        QVERIFY(TestUtil::waitUntil([&] { return emitted == QStringList({"active"}); }));
        QCOMPARE(m_disp->cartridge(), QStringLiteral("empty"));

        // Fields of another type: a text reads empty, a flag false, a level 0; the rest applies.
        emitted.clear();
        QVERIFY(rawPublish(m_broker.port(), m_sim->dispenserRoot() + "/info",
                           R"({"device":{"manufacturer":"Vexo","model":5,"firmware":"1.8.0"},"service":{"version":"1.0.0"}})"));
        QVERIFY(TestUtil::waitUntil([&] { return emitted == QStringList({"firmware", "model"}); }));
        QCOMPARE(m_disp->model(), QString());
        emitted.clear();
        QVERIFY(rawPublish(m_broker.port(), m_sim->dispenserRoot() + "/status",
                           R"({"service":true,"device":{"active":"yes","isJammed":1,"cardInMouth":true,"cartridge":7,"cartridgePercent":42.5}})"));
        QVERIFY(TestUtil::waitUntil([&] { return emitted == QStringList({"cardInMouth", "cartridge"}); }));
        QVERIFY(!m_disp->active() && !m_disp->isJammed() && m_disp->cartridge().isEmpty() && m_disp->cartridgePercent() == 0);
    }

    void cardEventsAndCalls()
    {
        setUpLane();
        QSignalSpy inserted(m_disp.get(), &Dispenser::cardInserted);
        QSignalSpy removed(m_disp.get(), &Dispenser::cardRemoved);
        QSignalSpy disposed(m_disp.get(), &Dispenser::cardDisposed);
        int state = 0;

        Dispenser::Result r = call(m_disp->issue(), &state);
        QCOMPARE(state, 1);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.description, QString());
        QVERIFY(TestUtil::waitUntil([&] { return m_disp->cardInRfid(); }));
        r = call(m_disp->issue(), &state);  // the service's own refusal
        QCOMPARE(state, 2);
        QCOMPARE(r.code, 14);
        QCOMPARE(r.description, QStringLiteral("Card already in RFID position"));
        call(m_disp->dispose(), &state);
        QCOMPARE(state, 1);
        QVERIFY(TestUtil::waitUntil([&] { return disposed.count() == 1; }));

        // A driver inserts a card; acceptance takes it in.
        QVERIFY(control(R"({"cmd":"insert"})"));
        QVERIFY(TestUtil::waitUntil([&] { return m_disp->cardInMouth(); }));
        call(m_disp->enableAccept(), &state);
        QCOMPARE(state, 1);
        QVERIFY(TestUtil::waitUntil([&] { return inserted.count() == 1 && m_disp->cardInRfid(); }));
        call(m_disp->disableAccept(), &state);
        QCOMPARE(state, 1);

        // Handed back and taken: the wait ends and the event is signalled too.
        call(m_disp->eject(), &state);
        QCOMPARE(state, 1);
        auto collected = watch(m_disp->waitCollect(5));
        QVERIFY(TestUtil::waitUntil([&] { return m_disp->cardInMouth(); }));
        QVERIFY(control(R"({"cmd":"take"})"));
        QVERIFY(settle(collected));
        QCOMPARE(collected->state, 1);
        QCOMPARE(collected->value.code, 0);
        QVERIFY(TestUtil::waitUntil([&] { return removed.count() == 1; }));

        // Event payloads are not read: an empty one counts; unreadable ones are logged only.
        LogCapture log;
        const QString root = m_sim->dispenserRoot();
        QVERIFY(rawPublish(m_broker.port(), root + "/card/removed", QByteArray()));
        QVERIFY(TestUtil::waitUntil([&] { return removed.count() == 2; }));
        QVERIFY(rawPublish(m_broker.port(), root + "/card/inserted", "garbage"));
        QVERIFY(rawPublish(m_broker.port(), root + "/card/disposed", "[1]"));
        QVERIFY(log.waitFor(QStringLiteral("[Dispenser] ERROR: Failed to parse JSON message (topic=%1/card/disposed) :[1] )").arg(root)));
        QVERIFY(log.contains(QStringLiteral("[Dispenser] ERROR: Failed to parse JSON message (topic=%1/card/inserted) :garbage )").arg(root)));
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(disposed.count(), 1);
        QCOMPARE(m_disp->property("active").toBool(), true);
    }

    void callIdsInOrder()
    {
        setUpLane();
        const QString root = m_sim->dispenserRoot();
        m_mqtt->subscribe(root + "/+/request/+", 1);
        m_mqtt->subscribe(root + "/+/+/request/+", 1);
        QSignalSpy wire(m_mqtt.get(), &MqttClient::received);
        int state = 0;
        call(m_disp->enableAccept(), &state);
        call(m_disp->disableAccept(), &state);
        call(m_disp->issue(), &state);
        QStringList requests;
        QVERIFY(TestUtil::waitUntil([&] {
            requests.clear();
            for (const auto &args : wire) {
                const QString topic = QString::fromUtf8(args.at(1).toByteArray());
                if (topic.contains("/request/") && !requests.contains(topic) && args.at(0).toByteArray() == "{}")
                    requests << topic;
            }
            return requests.size() == 3;
        }));
        QCOMPARE(requests, QStringList({root + "/accept/enable/request/1", root + "/accept/disable/request/2",
                                        root + "/issue/request/3"}));
    }

    void injectedFaults()
    {
        // The 30 s call time-out is shortened for the test.
        setUpLane(1500);
        LogCapture log;
        struct Case {
            const char *kind;
            const char *payload;  // answer text of a "raw" fault
            int state;
            int code;
            const char *description;
        };
        const Case cases[] = {
            {"error", nullptr, 2, 5, "Cartridge empty"},
            {"raw", R"({"completed":false,"error":{"code":"7","description":"Stuck"}})", 2, 0, "Stuck"},
            {"raw", R"({"completed":false,"error":{"code":7.5}})", 2, 0, ""},
            {"raw", R"({})", 2, 0, ""},
            {"raw", R"({"completed":"true"})", 2, 0, ""},
            {"empty", nullptr, 2, 0, ""},
            {"array", nullptr, 2, -1, "Invalid response"},
            {"garbage", nullptr, 2, -1, "Invalid response"},
            {"silence", nullptr, 2, -1, "Timeout"},
            {"wrong_id", nullptr, 2, -1, "Timeout"},
            {"ok", nullptr, 1, 0, ""},
        };
        for (const Case &c : cases) {
            QJsonObject fault{{"cmd", "fault"}, {"op", "/accept/enable"}, {"kind", c.kind},
                              {"code", 5}, {"text", "Cartridge empty"}, {"delay_ms", 300}};
            if (c.payload)
                fault.insert("payload", c.payload);
            QVERIFY(m_sim->control(*m_mqtt, fault).value("ok").toBool());
            int state = 0;
            const Dispenser::Result r = call(m_disp->enableAccept(), &state);
            QVERIFY2(state == c.state, c.kind);
            QCOMPARE(r.code, c.code);
            QCOMPARE(r.description, QString::fromUtf8(c.description));
        }
        QCOMPARE(log.count("[MqttClient] [RPC] ERROR : Timeout"), 2);
        QCOMPARE(log.count("[MqttClient] [RPC] ERROR : Invalid response"), 2);

        // Device faults as the service reports them.
        int state = 0;
        QVERIFY(control(R"({"cmd":"door","open":true})"));
        Dispenser::Result r = call(m_disp->issue(), &state);
        QCOMPARE(r.code, 4);
        QCOMPARE(r.description, QStringLiteral("Cartridge door open"));
        QVERIFY(control(R"({"cmd":"jam","on":true})"));
        r = call(m_disp->issue(), &state);
        QCOMPARE(r.code, 3);
        QCOMPARE(r.description, QStringLiteral("Dispenser jammed"));
        QVERIFY(control(R"({"cmd":"active","on":false})"));
        r = call(m_disp->eject(), &state);
        QCOMPARE(state, 2);
        QCOMPARE(r.code, 1);
        QCOMPARE(r.description, QStringLiteral("Dispenser not active"));
    }

    void waitCollectTimeouts()
    {
        setUpLane();
        // Seconds beyond what fits in an int of milliseconds are held, not wrapped:
        // 4294968 s would wrap to a 704 ms timer, 2147484 s to a negative one.
        auto huge = watch(m_disp->waitCollect(4294968));
        auto larger = watch(m_disp->waitCollect(std::numeric_limits<int>::max()));
        QElapsedTimer clock;
        clock.start();
        auto oneSecond = watch(m_disp->waitCollect(1));
        QVERIFY(settle(oneSecond, 10000));
        QVERIFY(clock.elapsed() >= 900);
        QCOMPARE(oneSecond->state, 2);
        QCOMPARE(oneSecond->value.code, -1);
        QCOMPARE(oneSecond->value.description, QStringLiteral("Timeout"));
        QVERIFY(!huge->settled());
        QVERIFY(!larger->settled());

        // Both still end when the card is taken.
        int state = 0;
        call(m_disp->issue(), &state);
        call(m_disp->eject(), &state);
        QCOMPARE(state, 1);
        QVERIFY(control(R"({"cmd":"take"})"));
        QVERIFY(settle(huge));
        QVERIFY(settle(larger));
        QCOMPARE(huge->state, 1);
        QCOMPARE(larger->state, 1);
    }

    void notConnected()
    {
        MqttClient mqtt;
        Dispenser disp(mqtt, QStringLiteral("nc/disp"));
        auto r = watch(disp.issue());
        QCOMPARE(r->state, 2);
        QCOMPARE(r->value.code, -1);
        QCOMPARE(r->value.description, QStringLiteral("Not connected"));
        auto w = watch(disp.waitCollect(0));
        QCOMPARE(w->value.description, QStringLiteral("Not connected"));
        QVERIFY(!disp.setLEDs(3));
    }
};

QTEST_MAIN(TestDispenserClient)
#include "tst_dispenserclient.moc"
