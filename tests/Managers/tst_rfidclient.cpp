// The RFID reader client against a real broker and the simulated lane peer.
#include "LaneSimFixture.h"
#include "LogCapture.h"
#include "TestUtil.h"
#include "Broker.h"

#include "Common/Mqtt/MqttClient.h"
#include "Managers/Dispenser.h"
#include "Managers/RFID.h"
#include "Models/ZUKAv1Card.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using manager::Dispenser;
using manager::MqttClient;
using manager::RFID;

namespace {
using RfidOutcome = std::shared_ptr<Outcome<RFID::Result>>;
using DispOutcome = std::shared_ptr<Outcome<Dispenser::Result>>;
}

class TestRfidClient : public QObject
{
    Q_OBJECT

    Broker m_broker;
    int m_case = 0;
    // Per case: roots of their own, a broker client, the two clients and the peer.
    std::unique_ptr<MqttClient> m_mqtt;
    std::unique_ptr<RFID> m_rfid;
    std::unique_ptr<Dispenser> m_disp;
    std::unique_ptr<LaneSim> m_sim;

    // Builds clients and peer on fresh roots and waits until both mirrors are filled.
    void setUpLane()
    {
        ++m_case;
        const QString rroot = QStringLiteral("r%1/rfid").arg(m_case);
        const QString droot = QStringLiteral("r%1/disp").arg(m_case);
        m_mqtt.reset(new MqttClient);
        m_rfid.reset(new RFID(*m_mqtt, rroot));
        m_disp.reset(new Dispenser(*m_mqtt, droot));
        m_sim.reset(new LaneSim(m_broker.port(), rroot, droot));
        QVERIFY(m_sim->start());
        QVERIFY(connectClient(*m_mqtt, m_broker.port()));
        QVERIFY(TestUtil::waitUntil([&] { return m_rfid->state() == RFID::Idle && m_disp->active(); }));
    }

    // A blank card from the cartridge at the reader, RF on, the card found.
    Tag::Ptr cardOnReader()
    {
        auto issued = watch(m_disp->issue());
        if (!settle(issued) || issued->state != 1)
            return {};
        auto enabled = watch(m_rfid->enable(false));
        if (!settle(enabled) || enabled->state != 1)
            return {};
        TestUtil::waitUntil([&] { return m_rfid->state() == RFID::CardFound; });
        return m_rfid->activeCard();
    }

private slots:
    void initTestCase() { QVERIFY(m_broker.start()); }

    void cleanup()
    {
        const bool simHealthy = !m_sim || m_sim->stop();
        m_sim.reset();
        m_disp.reset();
        m_rfid.reset();
        m_mqtt.reset();
        QVERIFY(simHealthy);
    }

    void mirrorsAndOfflineWill()
    {
        setUpLane();
        QCOMPARE(m_rfid->uid(), QStringLiteral("SIMRDR0001"));
        QCOMPARE(m_rfid->firmware(), QStringLiteral("2.4.1"));
        QCOMPARE(m_rfid->manufacturer(), QStringLiteral("Vexo"));
        QCOMPARE(m_rfid->model(), QStringLiteral("SIM-RFID-1356"));
        QCOMPARE(m_rfid->software(), QStringLiteral("1.0.0"));
        QVERIFY(m_rfid->active());
        QCOMPARE(m_rfid->property("state").toInt(), 1);
        QCOMPARE(m_disp->model(), QStringLiteral("ELR19093"));
        QCOMPARE(m_disp->cartridge(), QStringLiteral("ok"));
        QCOMPARE(m_disp->cartridgePercent(), 50);

        LogCapture log;
        QSignalSpy rfidState(m_rfid.get(), &RFID::stateChanged);
        QSignalSpy dispPercent(m_disp.get(), &Dispenser::cartridgePercentChanged);
        m_sim->kill();  // no clean close: the broker publishes both wills
        QVERIFY(TestUtil::waitUntil([&] { return m_rfid->state() == RFID::Error && !m_disp->active(); }));
        QCOMPARE(m_rfid->error(), QStringLiteral("Service is offline"));
        QVERIFY(!m_rfid->active());
        QVERIFY(!m_rfid->property("active").toBool());
        QCOMPARE(rfidState.count(), 1);
        QCOMPARE(log.count("[RFID] State changed : Error"), 1);
        QCOMPARE(log.count("[Dispenser] Active changed : false"), 1);
        // Identity and the last sensors stay as they were.
        QCOMPARE(m_rfid->uid(), QStringLiteral("SIMRDR0001"));
        QCOMPARE(m_disp->cartridge(), QStringLiteral("ok"));
        QCOMPARE(m_disp->cartridgePercent(), 50);
        QCOMPARE(dispPercent.count(), 0);

        // The service comes back and its status replaces the offline state.
        QVERIFY(m_sim->start());
        QVERIFY(TestUtil::waitUntil([&] { return m_rfid->state() == RFID::Idle && m_disp->active(); }));
        QCOMPARE(m_rfid->error(), QString());
    }

    void foundThenRemoved()
    {
        setUpLane();
        LogCapture log;
        QSignalSpy found(m_rfid.get(), &RFID::cardFound);
        QSignalSpy removed(m_rfid.get(), &RFID::cardRemoved);
        QSignalSpy activeChanged(m_rfid.get(), &RFID::activeCardChanged);

        // Outside Searching/CardFound there is nothing to wait for.
        auto disabled = watch(m_rfid->waitCardFound(1000));
        QCOMPARE(disabled->state, 2);
        QVERIFY(disabled->value.card.isNull());
        QCOMPARE(disabled->value.error, QStringLiteral("RF is disabled"));

        const Tag::Ptr tag = cardOnReader();
        QVERIFY(tag);
        QCOMPARE(found.count(), 1);
        QCOMPARE(found.at(0).at(0).value<Tag::Ptr>(), tag);
        QCOMPARE(tag->uid(), QStringLiteral("5A000001"));
        QCOMPARE(tag->type(), Tag::MifareClassic1K);
        QVERIFY(Card::cast(tag).isNull());  // a found tag is a plain tag, not a card
        QVERIFY(log.contains("[RFID] Active tag changed : old=<none> new=5A000001"));
        QVERIFY(log.contains("[RFID] State changed : CardFound"));

        auto present = watch(m_rfid->waitCardFound(1000));
        QCOMPARE(present->state, 1);
        QCOMPARE(present->value.card, tag);

        // The card leaves the field: the signal carries the same tag, then no card is active.
        auto ejected = watch(m_disp->eject());
        QVERIFY(settle(ejected));
        QCOMPARE(ejected->state, 1);
        QVERIFY(TestUtil::waitUntil([&] { return removed.count() == 1; }));
        QCOMPARE(removed.at(0).at(0).value<Tag::Ptr>(), tag);
        QVERIFY(m_rfid->activeCard().isNull());
        QCOMPARE(activeChanged.count(), 2);
        QVERIFY(log.contains("[RFID] Active tag changed : old=5A000001 new=<none>"));

        // Searching with no card: the wait ends with the transport's time-out.
        QVERIFY(TestUtil::waitUntil([&] { return m_rfid->state() == RFID::Searching; }));
        QElapsedTimer clock;
        clock.start();
        auto none = watch(m_rfid->waitCardFound(1000));
        QVERIFY(settle(none, 10000));
        QVERIFY(clock.elapsed() >= 900);
        QCOMPARE(none->state, 2);
        QCOMPARE(none->value.error, QStringLiteral("Timeout"));

        // A card arriving while a wait is on resolves it with a tag of its own.
        auto waiting = watch(m_rfid->waitCardFound(3000));
        auto back = watch(m_disp->accept());
        QVERIFY(settle(back));
        QVERIFY(settle(waiting));
        QCOMPARE(waiting->state, 1);
        QCOMPARE(waiting->value.card->uid(), QStringLiteral("5A000001"));
        QCOMPARE(found.count(), 2);
    }

    void callIdsInOrder()
    {
        setUpLane();
        QSignalSpy wire(m_mqtt.get(), &MqttClient::received);
        QStringList requests;
        QStringList payloads;
        auto collect = [&] {
            for (const auto &args : wire) {
                const QString topic = QString::fromUtf8(args.at(1).toByteArray());
                if (topic.contains("/request/") && !requests.contains(topic)) {
                    requests << topic;
                    payloads << QString::fromUtf8(args.at(0).toByteArray());
                }
            }
        };

        auto r1 = watch(m_rfid->enable(false));
        QVERIFY(settle(r1));
        auto refused = watch(m_rfid->writeCard(Card::Ptr()));  // refused before anything is sent
        QCOMPARE(refused->state, 2);
        QCOMPARE(refused->value.error, QStringLiteral("No card to write"));
        auto r2 = watch(m_rfid->disable());
        QVERIFY(settle(r2));
        auto r3 = watch(m_rfid->readCard(QStringLiteral("auto"), 1));
        QVERIFY(settle(r3));
        QCOMPARE(r3->state, 2);
        QCOMPARE(r3->value.error, QStringLiteral("RF is disabled"));
        QVERIFY(TestUtil::waitUntil([&] { collect(); return requests.size() == 3; }));
        const QString root = m_sim->rfidRoot();
        QCOMPARE(requests, QStringList({root + "/enable/request/1", root + "/disable/request/2",
                                        root + "/card/read/request/3"}));
        QCOMPARE(payloads, QStringList({R"({"autoread":false})", "{}", R"({"template":"auto","topupLogs":0,"usageLogs":1})"}));
    }

    void writeThenReadAppendsHistory()
    {
        setUpLane();
        QVERIFY(cardOnReader());

        auto created = watch(m_rfid->createCard(ZUKAv1Card::Name));
        QVERIFY(settle(created));
        QCOMPARE(created->state, 1);
        auto blank = created->value.card.dynamicCast<ZUKAv1Card>();
        QVERIFY(blank);
        QCOMPARE(blank->status(), QStringLiteral("available"));
        QCOMPARE(m_rfid->activeCard(), created->value.card);

        // Entry lane: a new card with one "entry" usage.
        auto card = QSharedPointer<ZUKAv1Card>::create();
        card->setUid(blank->uid());
        card->setType(blank->type());
        card->setCustomsId(1203);
        card->setStatus(QStringLiteral("active"));
        ZUKAv1Card::_Usage entry;
        entry.type = QStringLiteral("entry");
        entry.deviceId = QStringLiteral("T-ENTRY");
        entry.locationId = QStringLiteral("L-7");
        entry.timestamp = QDateTime(QDate(2026, 12, 6), QTime(9, 5, 7), Qt::LocalTime);
        entry.usageCounter = card->usageCounter();
        card->addUsageLog(entry);
        card->incrUsageCounter(1);
        auto written = watch(m_rfid->writeCard(card));
        QVERIFY(settle(written));
        QCOMPARE(written->state, 1);
        auto asWritten = Card::cast(written->value.card).dynamicCast<ZUKAv1Card>();
        QVERIFY(asWritten);
        QCOMPARE(asWritten->usageLogs().size(), 1);
        QCOMPARE(m_rfid->activeCard(), written->value.card);

        // Exit lane: read the last entry, add an "exit" usage, write back.
        auto read = watch(m_rfid->readCard(QStringLiteral("auto"), 1));
        QVERIFY(settle(read));
        QCOMPARE(read->state, 1);
        auto onCard = read->value.card.dynamicCast<ZUKAv1Card>();
        QVERIFY(onCard);
        QCOMPARE(onCard->customsId(), 1203);
        QCOMPARE(onCard->usageCounter(), 1);
        QCOMPARE(onCard->usageLogs().size(), 1);
        QVERIFY(onCard->lastUsage());
        QCOMPARE(onCard->lastUsage()->deviceId, QStringLiteral("T-ENTRY"));
        ZUKAv1Card::_Usage exit;
        exit.type = QStringLiteral("exit");
        exit.deviceId = QStringLiteral("T-EXIT");
        exit.locationId = QStringLiteral("L-9");
        exit.timestamp = QDateTime(QDate(2026, 12, 6), QTime(11, 0, 0), Qt::LocalTime);
        exit.usageCounter = onCard->usageCounter();
        onCard->incrUsageCounter(1);
        onCard->addUsageLog(exit);
        auto rewritten = watch(m_rfid->writeCard(onCard));
        QVERIFY(settle(rewritten));
        QCOMPARE(rewritten->state, 1);

        // The stored card now holds both usages, each once, in order.
        auto history = watch(m_rfid->readCard(QStringLiteral("auto"), 10));
        QVERIFY(settle(history));
        QCOMPARE(history->state, 1);
        auto full = history->value.card.dynamicCast<ZUKAv1Card>();
        QVERIFY(full);
        QCOMPARE(full->usageCounter(), 2);
        QCOMPARE(full->status(), QStringLiteral("active"));
        QCOMPARE(full->usageLogs().size(), 2);
        QCOMPARE(full->usageLogs().at(0).toJson(), entry.toJson());
        QCOMPARE(full->usageLogs().at(1).toJson(), exit.toJson());
    }

    void otherTemplateIsNull()
    {
        setUpLane();
        LogCapture log;
        const QJsonObject reply = m_sim->control(
            *m_mqtt, obj(R"({"cmd":"insert","uid":"0BADCAFE","template":"Parking","data":{"zone":3}})"));
        QVERIFY(reply.value("ok").toBool());
        auto accepting = watch(m_disp->enableAccept());
        QVERIFY(settle(accepting));
        QVERIFY(TestUtil::waitUntil([&] { return m_disp->cardInRfid(); }));
        auto enabled = watch(m_rfid->enable(false));
        QVERIFY(settle(enabled));
        QVERIFY(TestUtil::waitUntil([&] { return m_rfid->activeCard(); }));

        auto read = watch(m_rfid->readCard(QStringLiteral("auto"), 1));
        QVERIFY(settle(read));
        QCOMPARE(read->state, 1);
        QVERIFY(read->value.card.isNull());
        QCOMPARE(read->value.error, QString());
        QVERIFY(m_rfid->activeCard().isNull());
        QVERIFY(log.contains("[RFID] Active tag changed : old=0BADCAFE new=<none>"));

        // An automatic read of that card announces no card either.
        QSignalSpy autoread(m_rfid.get(), &RFID::cardAutoread);
        auto again = watch(m_rfid->enable(true));
        QVERIFY(settle(again));
        QVERIFY(TestUtil::waitUntil([&] { return autoread.count() == 1; }));
        QVERIFY(autoread.at(0).at(0).value<Card::Ptr>().isNull());
        QVERIFY(m_rfid->activeCard().isNull());
    }

    void injectedFaults()
    {
        setUpLane();
        const Tag::Ptr tag = cardOnReader();
        QVERIFY(tag);
        LogCapture log;
        QSignalSpy removed(m_rfid.get(), &RFID::cardRemoved);
        QSignalSpy found(m_rfid.get(), &RFID::cardFound);

        // Unreadable events are logged and change nothing.
        QVERIFY(rawPublish(m_broker.port(), m_sim->rfidRoot() + "/card/removed", QByteArray()));
        QVERIFY(rawPublish(m_broker.port(), m_sim->rfidRoot() + "/card/found", "[1,2]"));
        QVERIFY(log.waitFor("[RFID] Failed to parse JSON message: [1,2]"));
        QCOMPARE(log.count("[RFID] Failed to parse JSON message: "), 1);
        QCOMPARE(removed.count(), 0);
        QCOMPARE(found.count(), 0);
        QCOMPARE(m_rfid->activeCard(), tag);

        struct Case {
            const char *kind;
            const char *payload;  // answer text of a "raw" fault
            const char *error;
        };
        const Case cases[] = {
            {"error", nullptr, "Read error"},
            {"raw", R"({"completed":false})", ""},
            {"raw", R"({"completed":1,"data":{}})", ""},
            {"empty", nullptr, ""},
            {"array", nullptr, "Invalid response"},
            {"garbage", nullptr, "Invalid response"},
        };
        for (const Case &c : cases) {
            QJsonObject fault{{"cmd", "fault"}, {"op", "/card/read"}, {"kind", c.kind}, {"text", "Read error"}};
            if (c.payload)
                fault.insert("payload", c.payload);
            QVERIFY(m_sim->control(*m_mqtt, fault).value("ok").toBool());
            auto read = watch(m_rfid->readCard(QStringLiteral("auto"), 1));
            QVERIFY(settle(read));
            QVERIFY2(read->state == 2, c.kind);
            QVERIFY(read->value.card.isNull());
            QCOMPARE(read->value.error, QString::fromUtf8(c.error));
            QCOMPARE(m_rfid->activeCard(), tag);  // a failed call leaves the active card
        }
        QCOMPARE(log.count("[MqttClient] [RPC] ERROR : Invalid response"), 2);

        // No answer, or an answer under another call id: time-out after 3000 ms.
        QVERIFY(m_sim->control(*m_mqtt, obj(R"({"cmd":"fault","op":"/card/read","kind":"silence"})")).value("ok").toBool());
        QVERIFY(m_sim->control(*m_mqtt, obj(R"({"cmd":"fault","op":"/card/read","kind":"wrong_id"})")).value("ok").toBool());
        QElapsedTimer clock;
        clock.start();
        auto silent = watch(m_rfid->readCard(QStringLiteral("auto"), 1));
        auto misrouted = watch(m_rfid->readCard(QStringLiteral("auto"), 1));
        QVERIFY(settle(silent, 10000));
        QVERIFY(settle(misrouted, 10000));
        QVERIFY(clock.elapsed() >= 2900);
        QCOMPARE(silent->value.error, QStringLiteral("Timeout"));
        QCOMPARE(misrouted->value.error, QStringLiteral("Timeout"));
        QCOMPARE(log.count("[MqttClient] [RPC] ERROR : Timeout"), 2);

        // RF switched off under a found card: the status clears it before the answer does.
        auto off = watch(m_rfid->disable());
        QVERIFY(settle(off));
        QCOMPARE(off->state, 1);
        QCOMPARE(log.count("[RFID] WARN: RF disabled. Clearing active card"), 1);
        QVERIFY(m_rfid->activeCard().isNull());

        // Reader states as the service reports them, also numbers it does not know.
        QVERIFY(m_sim->control(*m_mqtt, obj(R"({"cmd":"reader","state":5,"error":"Antenna failure"})")).value("ok").toBool());
        QVERIFY(TestUtil::waitUntil([&] { return m_rfid->error() == QLatin1String("Antenna failure"); }));
        QCOMPARE(m_rfid->state(), RFID::Error);
        QVERIFY(log.contains("[RFID] State changed : Error"));
        auto refused = watch(m_rfid->enable(false));
        QVERIFY(settle(refused));
        QCOMPARE(refused->value.error, QStringLiteral("Antenna failure"));

        QVERIFY(m_sim->control(*m_mqtt, obj(R"({"cmd":"reader","state":9})")).value("ok").toBool());
        QVERIFY(TestUtil::waitUntil([&] { return int(m_rfid->state()) == 9; }));
        QCOMPARE(m_rfid->property("state").toInt(), 9);
        QCOMPARE(RFID::stateToStr(m_rfid->state()), QStringLiteral("Unknown"));
        QVERIFY(!m_rfid->active());
        QVERIFY(log.contains("[RFID] State changed : Unknown"));
        QCOMPARE(m_rfid->error(), QString());
        auto waitUnknown = watch(m_rfid->waitCardFound(1000));
        QCOMPARE(waitUnknown->value.error, QStringLiteral("RF is disabled"));

        QVERIFY(m_sim->control(*m_mqtt, obj(R"({"cmd":"reader","state":4})")).value("ok").toBool());
        QVERIFY(TestUtil::waitUntil([&] { return m_rfid->state() == RFID::Updating; }));
        QVERIFY(log.contains("[RFID] State changed : Updating"));

        // A status with a state beyond 32 bits is no state number: it reads as Init.
        QVERIFY(rawPublish(m_broker.port(), m_sim->rfidRoot() + "/status",
                           R"({"service":true,"device":{"state":4294967297,"error":null}})"));
        QVERIFY(TestUtil::waitUntil([&] { return m_rfid->state() == RFID::Init; }));
        QVERIFY(log.contains("[RFID] State changed : Init"));
    }

    void notConnected()
    {
        MqttClient mqtt;  // never connected
        RFID rfid(mqtt, QStringLiteral("nc/rfid"));
        auto r = watch(rfid.enable(false));
        QCOMPARE(r->state, 2);  // rejected before the call returned
        QVERIFY(r->value.card.isNull());
        QCOMPARE(r->value.error, QStringLiteral("Not connected"));
        QCOMPARE(rfid.state(), RFID::Init);
        QVERIFY(!rfid.active());
    }
};

QTEST_MAIN(TestRfidClient)
#include "tst_rfidclient.moc"
