// The card issuer against a real broker and the simulated lane card devices
// (tests/peers/lane_sim.py): state, preparation, issue, presentation, collection,
// return and the card tests, with the devices' faults injected by the simulator.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

#include "Broker.h"
#include "LaneSimFixture.h"
#include "LogCapture.h"
#include "MqttPeer.h"
#include "Outcome.h"
#include "TestUtil.h"

#include "Common/Mqtt/MqttClient.h"
#include "Managers/CardIssuer.h"
#include "Managers/Dispenser.h"
#include "Managers/RFID.h"
#include "Models/ZUKAv1Card.h"

using manager::CardIssuer;
using Result = manager::CardIssuer::Result;

namespace {

using OutcomePtr = std::shared_ptr<Outcome<Result>>;

bool settled(const OutcomePtr &o, int ms = 8000)
{
    return settle(o, ms);
}

QString uidOf(const Tag::Ptr &t)
{
    return t ? t->uid() : QStringLiteral("<none>");
}

QJsonObject cmd(const char *json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

QJsonObject usageEntry(const QString &type, int counter)
{
    return QJsonObject{{"timestamp", "2026-11-02T08:15:00"}, {"type", type}, {"usageCounter", counter},
                       {"deviceId", "ENTRY-01"}, {"locationId", "LOC-7"}};
}

// Content of a card issued at an entry lane, as a driver brings it to the exit.
QJsonObject issuedContent()
{
    return QJsonObject{{"info", QJsonObject{{"version", 0}, {"customsId", 12}, {"status", "active"}}},
                       {"usageCounter", 2},
                       {"usageLog", QJsonArray{usageEntry("entry", 0), usageEntry("exit", 1)}}};
}

}  // namespace

class TestCardIssuer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void stateTable_data();
    void stateTable();
    void wholeIssue();
    void issueCommandAnswers();
    void tooManyFailures();
    void cardNotCollected();
    void sensorBeforeAnswer();
    void silentMouthSensor();
    void finalDisableFails();
    void invalidCard();
    void insertedCard_data();
    void insertedCard();
    void cardTests_data();
    void cardTests();
    void acceptTestTimesOut();

private:
    // Starts the simulator and the clients on this test's own topic roots.
    bool startLane(int acceptTestTimeoutSec = CardIssuer::DefaultAcceptTestTimeoutSec);
    // Sends a control command to the simulator and returns its reply.
    QJsonObject control(QJsonObject command);
    QJsonObject cardState(const QString &uid);
    QJsonObject simState();
    // Requests that reached the devices' services so far, as topics.
    QStringList requests() const;
    // Carries out a row step: a simulator command, or "@issue" / "@acceptOn" through the clients.
    bool step(const QJsonObject &command);
    bool waitState(CardIssuer::State state, const QString &reason, int ms = 5000);
    QString prepared();

    Broker m_broker;
    int m_case = 0;
    int m_controlId = 0;
    QString m_rroot;
    QString m_droot;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<LaneSim> m_sim;
    std::unique_ptr<MqttPeer> m_peer;
    std::unique_ptr<manager::MqttClient> m_mqtt;
    std::unique_ptr<manager::RFID> m_rfid;
    std::unique_ptr<manager::Dispenser> m_disp;
    std::unique_ptr<CardIssuer> m_issuer;
};

void TestCardIssuer::initTestCase()
{
    qRegisterMetaType<Tag::Ptr>("Tag::Ptr");
    qRegisterMetaType<Card::Ptr>("Card::Ptr");
    QVERIFY(m_broker.start());
}

void TestCardIssuer::init()
{
    ++m_case;
    m_rroot = QStringLiteral("t%1/rfid").arg(m_case);
    m_droot = QStringLiteral("t%1/dispenser").arg(m_case);
    m_log = std::make_unique<LogCapture>();
}

void TestCardIssuer::cleanup()
{
    // Let late answers and events of the case arrive before judging its log.
    if (m_peer && m_sim)
        control(cmd(R"({"cmd": "dump"})"));
    const int doubles = m_log->countContaining(QStringLiteral("already processed deferred object"));
    m_issuer.reset();
    m_disp.reset();
    m_rfid.reset();
    m_mqtt.reset();
    const bool simHealthy = !m_sim || m_sim->stop();
    m_sim.reset();
    m_peer.reset();
    m_log.reset();
    QCOMPARE(doubles, 0);
    QVERIFY(simHealthy);
}

bool TestCardIssuer::startLane(int acceptTestTimeoutSec)
{
    m_sim = std::make_unique<LaneSim>(m_broker.port(), m_rroot, m_droot);
    if (!m_sim->start({QStringLiteral("--cards"), QStringLiteral("20")}))
        return false;

    m_peer = std::make_unique<MqttPeer>(m_broker.port());
    if (!TestUtil::waitUntil([this] { return m_peer->isConnected(); }, 15000))
        return false;
    if (!m_peer->subscribe(m_droot + "/#") || !m_peer->subscribe(m_rroot + "/#"))
        return false;

    m_mqtt = std::make_unique<manager::MqttClient>();
    m_mqtt->setHostname(m_broker.host());
    m_mqtt->setPort(m_broker.port());
    m_rfid = std::make_unique<manager::RFID>(*m_mqtt, m_rroot);
    m_disp = std::make_unique<manager::Dispenser>(*m_mqtt, m_droot);
    m_issuer = std::make_unique<CardIssuer>(m_rfid.get(), m_disp.get(), nullptr, acceptTestTimeoutSec);
    if (m_issuer->state() != CardIssuer::Init || !m_issuer->reason().isEmpty())
        return false;
    m_mqtt->connect();
    return TestUtil::waitUntil([this] { return m_mqtt->isConnected(); }, 5000);
}

QJsonObject TestCardIssuer::control(QJsonObject command)
{
    const int id = ++m_controlId;
    command.insert("id", id);
    const QString replyTopic = m_droot + "/sim/reply";
    if (!m_peer->publish(m_droot + "/sim/control", QJsonDocument(command).toJson(QJsonDocument::Compact)))
        return {};
    QJsonObject reply;
    TestUtil::waitUntil(
        [&] {
            for (const auto &m : m_peer->messagesOn(replyTopic)) {
                const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
                if (o.value("id").toInt() == id) {
                    reply = o;
                    return true;
                }
            }
            return false;
        },
        5000);
    return reply;
}

QJsonObject TestCardIssuer::simState()
{
    return control(cmd(R"({"cmd": "dump"})")).value("state").toObject();
}

QJsonObject TestCardIssuer::cardState(const QString &uid)
{
    return simState().value("cards").toObject().value(uid).toObject();
}

QStringList TestCardIssuer::requests() const
{
    QStringList out;
    for (const auto &m : m_peer->messages()) {
        if (m.topic.contains("/request/"))
            out << m.topic;
    }
    return out;
}

bool TestCardIssuer::step(const QJsonObject &command)
{
    const QString name = command.value("cmd").toString();
    if (name == "@issue") {
        auto o = watch(m_issuer->moveCardOnRfid());
        return settled(o) && o->state == 1 && TestUtil::waitUntil([this] { return m_disp->cardInRfid(); });
    }
    if (name == "@acceptOn") {
        auto o = watch(m_issuer->enableAccept());
        return settled(o) && o->state == 1;
    }
    return control(command).value("ok").toBool();
}

bool TestCardIssuer::waitState(CardIssuer::State state, const QString &reason, int ms)
{
    return TestUtil::waitUntil([&] { return m_issuer->state() == state && m_issuer->reason() == reason; }, ms);
}

// Prepares a card and returns its uid ("" on failure).
QString TestCardIssuer::prepared()
{
    auto o = watch(m_issuer->prepareCard());
    if (!settled(o) || o->state != 1 || !o->value.card)
        return QString();
    return o->value.card->uid();
}

// ---------------------------------------------------------------------------

void TestCardIssuer::stateTable_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("reason");

    QTest::newRow("ready") << "[]" << int(CardIssuer::Ready) << "";
    QTest::newRow("reader error hides the open door")
        << R"([{"cmd": "door", "open": true}, {"cmd": "reader", "state": 5, "error": "Antenna fault"}])"
        << int(CardIssuer::Error) << "RFID error";
    QTest::newRow("reader service offline") << R"([{"cmd": "offline", "service": "rfid"}])" << int(CardIssuer::Error)
                                            << "RFID error";
    QTest::newRow("reader updating over a jam")
        << R"([{"cmd": "jam", "on": true}, {"cmd": "reader", "state": 4}])" << int(CardIssuer::Init)
        << "RFID updating";
    QTest::newRow("door open over inactive dispenser")
        << R"([{"cmd": "active", "on": false}, {"cmd": "door", "open": true}])" << int(CardIssuer::Error)
        << "Cartridge door open";
    QTest::newRow("inactive dispenser over a jam")
        << R"([{"cmd": "jam", "on": true}, {"cmd": "active", "on": false}])" << int(CardIssuer::Error)
        << "Dispenser error";
    QTest::newRow("dispenser service offline") << R"([{"cmd": "offline", "service": "dispenser"}])"
                                               << int(CardIssuer::Error) << "Dispenser error";
    QTest::newRow("jam over an empty cartridge")
        << R"([{"cmd": "cartridge", "count": 0}, {"cmd": "jam", "on": true}])" << int(CardIssuer::Error)
        << "Dispenser jammed";
    QTest::newRow("empty cartridge") << R"([{"cmd": "cartridge", "count": 0}])" << int(CardIssuer::Error)
                                     << "No more cards";
    QTest::newRow("empty cartridge, last card at the reader")
        << R"([{"cmd": "cartridge", "count": 1}, {"cmd": "@issue"}])" << int(CardIssuer::Busy) << "Card on RFID";
    QTest::newRow("card at the reader over a card in the mouth")
        << R"([{"cmd": "@issue"}, {"cmd": "insert"}])" << int(CardIssuer::Busy) << "Card on RFID";
    QTest::newRow("card in the mouth") << R"([{"cmd": "insert"}])" << int(CardIssuer::Busy) << "Card in Mouth";
    QTest::newRow("card taken from the mouth")
        << R"([{"cmd": "insert"}, {"cmd": "take"}])" << int(CardIssuer::Ready) << "";
}

void TestCardIssuer::stateTable()
{
    QFETCH(QString, steps);
    QFETCH(int, state);
    QFETCH(QString, reason);

    QVERIFY(startLane());
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    QVERIFY(m_log->contains("[CardIssuer] State changed : (2) Ready "));
    QVERIFY(m_log->contains("[CardIssuer] checkState() : Dispenser(true) RFID(Idle) cardInRfid(false) "
                            "cardInMouth(false) cartridge(ok)"));

    for (const QJsonValue &s : QJsonDocument::fromJson(steps.toUtf8()).array())
        QVERIFY2(step(s.toObject()), qPrintable(QJsonDocument(s.toObject()).toJson(QJsonDocument::Compact)));
    QVERIFY2(waitState(CardIssuer::State(state), reason),
             qPrintable(CardIssuer::stateToStr(m_issuer->state()) + " " + m_issuer->reason()));

    const QString line = reason.isEmpty()
                             ? QStringLiteral("[CardIssuer] State changed : (%1) %2 ").arg(state).arg(CardIssuer::stateToStr(CardIssuer::State(state)))
                             : QStringLiteral("[CardIssuer] State changed : (%1) %2 (reason=%3)")
                                   .arg(state)
                                   .arg(CardIssuer::stateToStr(CardIssuer::State(state)), reason);
    QVERIFY(m_log->contains(line));
    QCOMPARE(CardIssuer::stateToStr(CardIssuer::State(7)), QStringLiteral("Unknown"));

    // In Error and while the reader updates a preparation is refused at once: no card moves.
    if (state == CardIssuer::Error || state == CardIssuer::Init) {
        const int sent = requests().size();
        auto refused = watch(m_issuer->prepareCard());
        QCOMPARE(refused->state, 2);
        QCOMPARE(refused->value.error, reason);
        simState();
        QCOMPARE(requests().size(), sent);
    }
}

void TestCardIssuer::wholeIssue()
{
    QVERIFY(startLane());
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    QSignalSpy preparedSpy(m_issuer.get(), &CardIssuer::cardPrepared);
    QSignalSpy ejectedSpy(m_issuer.get(), &CardIssuer::cardEjected);
    QSignalSpy removedSpy(m_issuer.get(), &CardIssuer::cardRemoved);

    auto prep = watch(m_issuer->prepareCard());
    QVERIFY(settled(prep));
    QCOMPARE(prep->state, 1);
    QVERIFY(prep->value.card);
    const QString uid = prep->value.card->uid();
    QCOMPARE(uid, QStringLiteral("5A000001"));
    QCOMPARE(preparedSpy.count(), 1);
    QCOMPARE(uidOf(preparedSpy.at(0).at(0).value<Tag::Ptr>()), uid);
    QVERIFY(m_log->contains("[CardIssuer] Card found : " + uid));
    QVERIFY(m_log->contains("[CardIssuer] RFID disabled"));
    QVERIFY(waitState(CardIssuer::Busy, "Card on RFID"));
    QCOMPARE(uidOf(m_issuer->currCard()), uid);

    // The entry lane's new card: customs office, active, one entry usage.
    auto card = QSharedPointer<ZUKAv1Card>::create();
    card->setCustomsId(12);
    card->setStatus("active");
    card->addUsageLog("entry", "ENTRY-01", "LOC-7");
    card->incrUsageCounter(1);

    auto issued = watch(m_issuer->issueCard(card));
    QVERIFY(settled(issued));
    QCOMPARE(issued->state, 1);
    QCOMPARE(uidOf(issued->value.card), uid);
    QVERIFY(issued->value.error.isEmpty());
    QVERIFY(m_log->contains("[CardIssuer] Card present. Creating."));
    QVERIFY(m_log->contains("[CardIssuer] Creating card : ZUKAv1"));
    QVERIFY(m_log->contains("[CardIssuer] Card written successfully : " + uid));

    auto present = watch(m_issuer->presentCard(20));
    QVERIFY(TestUtil::waitUntil([&] { return ejectedSpy.count() == 1; }));
    QCOMPARE(present->state, 0);  // waits for the driver
    QVERIFY(m_log->waitFor("[CardIssuer] Waiting for card to be collected (timeout=20 sec)"));
    QVERIFY(control(cmd(R"({"cmd": "take"})")).value("ok").toBool());
    QVERIFY(settled(present));
    QCOMPARE(present->state, 1);
    QVERIFY(!present->value.card);
    QVERIFY(present->value.error.isEmpty());
    QCOMPARE(m_log->count("[CardIssuer] Waiting for card to be collected (timeout=20 sec)"), 2);
    QVERIFY(m_log->contains("[CardIssuer] Card collected successfully"));
    QVERIFY(TestUtil::waitUntil([&] { return removedSpy.count() == 1; }));
    QCOMPARE(uidOf(removedSpy.at(0).at(0).value<Tag::Ptr>()), uid);
    QVERIFY(!m_issuer->currCard());
    QVERIFY(waitState(CardIssuer::Ready, QString()));

    // What the driver holds now.
    const QJsonObject stored = cardState(uid);
    QCOMPARE(stored.value("location").toString(), QStringLiteral("hand"));
    QCOMPARE(stored.value("template").toString(), QStringLiteral("ZUKAv1"));
    const QJsonObject data = stored.value("data").toObject();
    QCOMPARE(data.value("info").toObject().value("status").toString(), QStringLiteral("active"));
    QCOMPARE(data.value("info").toObject().value("customsId").toInt(), 12);
    QCOMPARE(data.value("usageCounter").toInt(), 1);
    const QJsonArray log = data.value("usageLog").toArray();
    QCOMPARE(log.size(), 1);
    QCOMPARE(log.at(0).toObject().value("type").toString(), QStringLiteral("entry"));
    QCOMPARE(log.at(0).toObject().value("usageCounter").toInt(), 0);
    QCOMPARE(log.at(0).toObject().value("deviceId").toString(), QStringLiteral("ENTRY-01"));
    QCOMPARE(m_log->countContaining("ERROR: "), 0);
}

void TestCardIssuer::issueCommandAnswers()
{
    QVERIFY(startLane());
    QVERIFY(waitState(CardIssuer::Ready, QString()));

    // Code 14: a card is at the reader all the same; the preparation reads it.
    QVERIFY(control(cmd(R"({"cmd": "fault", "op": "/issue", "kind": "error", "code": 14,
                            "text": "Card already in RFID position", "effect": true})"))
                .value("ok").toBool());
    const QString uid = prepared();
    QCOMPARE(uid, QStringLiteral("5A000001"));
    QVERIFY(!m_log->containsPart("Issue failed"));

    // Any other code fails the preparation; nothing is disposed of or counted.
    auto dispose = watch(m_issuer->dispose(true));
    QVERIFY(settled(dispose));
    QCOMPARE(dispose->state, 1);
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    QVERIFY(control(cmd(R"({"cmd": "fault", "op": "/issue", "kind": "error", "code": 5, "text": "Cartridge empty"})"))
                .value("ok").toBool());
    const int sent = requests().size();
    auto failed = watch(m_issuer->prepareCard());
    QVERIFY(settled(failed));
    QCOMPARE(failed->state, 2);
    QCOMPARE(failed->value.error, QStringLiteral("Issue failed : Cartridge empty"));
    QVERIFY(!failed->value.card);
    QCOMPARE(m_log->count("[CardIssuer] ERROR: Issue failed : Cartridge empty"), 1);
    simState();
    QCOMPARE(requests().mid(sent), QStringList{m_droot + "/issue/request/3"});
    QVERIFY(!m_log->containsPart("Incremented fail counter"));
}

void TestCardIssuer::tooManyFailures()
{
    QVERIFY(startLane());
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    auto failPreparation = [this](int count) {
        QVERIFY(control(cmd(R"({"cmd": "fault", "op": "/enable", "kind": "error", "text": "RF module fault"})")).value("ok").toBool());
        auto o = watch(m_issuer->prepareCard());
        QVERIFY(settled(o));
        QCOMPARE(o->state, 2);
        QCOMPARE(o->value.error, QStringLiteral("RFID enable failed : RF module fault"));
        QVERIFY(m_log->contains(QStringLiteral("[CardIssuer] Incremented fail counter : %1").arg(count)));
        QVERIFY(TestUtil::waitUntil([&] { return !m_disp->cardInRfid(); }));
    };
    auto newCard = [] {
        auto card = QSharedPointer<ZUKAv1Card>::create();
        card->setStatus("active");
        return card;
    };

    // Two failed uid reads, then a card created and written: the count starts again.
    failPreparation(1);
    failPreparation(2);
    QVERIFY(!m_issuer->currCard());
    auto issued = watch(m_issuer->issueCard(newCard()));
    QVERIFY(settled(issued));
    QCOMPARE(issued->state, 1);
    QVERIFY(m_log->contains("[CardIssuer] WARN: Card not present. Preparing."));
    QVERIFY(m_log->contains("[CardIssuer] Reset fail counter : 0"));
    auto dispose = watch(m_issuer->dispose(true));
    QVERIFY(settled(dispose));
    QVERIFY(TestUtil::waitUntil([&] { return !m_disp->cardInRfid(); }));

    // Three failed uid reads and a failed write make four.
    for (int i = 1; i <= 3; ++i)
        failPreparation(i);
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    QVERIFY(!prepared().isEmpty());
    QVERIFY(control(cmd(R"({"cmd": "fault", "op": "/card/write", "kind": "error", "text": "Write protected"})"))
                .value("ok").toBool());
    issued = watch(m_issuer->issueCard(newCard()));
    QVERIFY(settled(issued));
    QCOMPARE(issued->state, 2);
    QCOMPARE(issued->value.error, QStringLiteral("Write card failed : Write protected"));
    QVERIFY(m_log->contains("[CardIssuer] Incremented fail counter : 4"));
    QVERIFY(waitState(CardIssuer::Error, "Too many failures"));
    QCOMPARE(simState().value("box").toArray().size(), 7);

    // The fifth is refused at once: no command, only its first line.
    const int sent = requests().size();
    m_log->clear();
    auto refused = watch(m_issuer->prepareCard());
    QCOMPARE(refused->state, 2);
    QCOMPARE(refused->value.error, QStringLiteral("Too many failures"));
    QVERIFY(!refused->value.card);
    simState();
    QCOMPARE(requests().size(), sent);
    QCOMPARE(m_log->texts().filter("[CardIssuer] "), QStringList{"[CardIssuer] Preparing card"});

    // Opening the cartridge door clears the count: no second state line for it.
    QVERIFY(control(cmd(R"({"cmd": "door", "open": true})")).value("ok").toBool());
    QVERIFY(waitState(CardIssuer::Error, "Cartridge door open"));
    QVERIFY(m_log->contains("[CardIssuer] Reset fail counter : 0"));
    QCOMPARE(m_log->countContaining("[CardIssuer] State changed : "), 1);
    QVERIFY(control(cmd(R"({"cmd": "door", "open": false})")).value("ok").toBool());
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    QVERIFY(!prepared().isEmpty());
}

void TestCardIssuer::cardNotCollected()
{
    QVERIFY(startLane());
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    const QString uid = prepared();
    QVERIFY(!uid.isEmpty());

    auto present = watch(m_issuer->presentCard(1));
    QVERIFY(settled(present, 10000));
    QCOMPARE(present->state, 2);
    QCOMPARE(present->value.error, QStringLiteral("Card not collected"));
    QVERIFY(!present->value.card);
    QVERIFY(m_log->contains("[CardIssuer] Card ejected successfully"));
    QVERIFY(m_log->contains("[CardIssuer] Retracted card : " + uid));
    QCOMPARE(m_log->count("[CardIssuer] ERROR: Card not collected"), 2);
    QCOMPARE(simState().value("rfid").toString(), uid);
    QVERIFY(waitState(CardIssuer::Busy, "Card on RFID"));

    // Not taken and not retracted either: waitRemoved says so, presentCard does not.
    QVERIFY(control(cmd(R"({"cmd": "fault", "op": "/accept", "kind": "error", "code": 3, "text": "Dispenser jammed", "count": 2})"))
                .value("ok").toBool());
    present = watch(m_issuer->presentCard(1));
    QVERIFY(settled(present, 10000));
    QCOMPARE(present->value.error, QStringLiteral("Card not collected"));
    QVERIFY(m_log->contains("[CardIssuer] ERROR: Accept failed : Dispenser jammed"));
    QCOMPARE(simState().value("mouth").toString(), uid);

    auto removed = watch(m_issuer->waitRemoved(1));
    QVERIFY(settled(removed, 10000));
    QCOMPARE(removed->state, 2);
    QCOMPARE(removed->value.error, QStringLiteral("Card not collected and card retract failed"));
}

void TestCardIssuer::sensorBeforeAnswer()
{
    QVERIFY(startLane());
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    const QString uid = prepared();
    QVERIFY(!uid.isEmpty());

    // The service reports the card in the mouth before it answers the eject.
    QVERIFY(control(cmd(R"({"cmd": "fault", "op": "/eject", "status": "before", "count": 2})")).value("ok").toBool());
    QSignalSpy ejectedSpy(m_issuer.get(), &CardIssuer::cardEjected);
    auto present = watch(m_issuer->presentCard(20));
    QVERIFY(TestUtil::waitUntil([&] { return ejectedSpy.count() == 1; }));
    QCOMPARE(uidOf(ejectedSpy.at(0).at(0).value<Tag::Ptr>()), uid);
    QVERIFY(m_log->contains("[CardIssuer] Card ejected successfully"));
    QVERIFY(!m_log->containsPart("Timeout waiting for mouth sensor"));
    QCOMPARE(present->state, 0);  // the driver has not taken it yet
    QVERIFY(control(cmd(R"({"cmd": "take"})")).value("ok").toBool());
    QVERIFY(settled(present));
    QCOMPARE(present->state, 1);
    QVERIFY(present->value.error.isEmpty());
    QVERIFY(!m_log->containsPart("Considering eject successful"));

    // The same for the retraction of a card that was not taken.
    QVERIFY(!prepared().isEmpty());
    QVERIFY(control(cmd(R"({"cmd": "fault", "op": "/accept", "status": "before"})")).value("ok").toBool());
    present = watch(m_issuer->presentCard(1));
    QVERIFY(settled(present, 10000));
    QCOMPARE(present->value.error, QStringLiteral("Card not collected"));
    QVERIFY(!m_log->containsPart("Retract timeout"));
    QVERIFY(!m_log->containsPart("card retract failed"));
    QVERIFY(m_log->contains("[CardIssuer] Retracted card : 5A000002"));
}

void TestCardIssuer::silentMouthSensor()
{
    QVERIFY(startLane());
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    QVERIFY(!prepared().isEmpty());

    // No sensor report at all: the eject counts as presented, without a wait for the driver.
    QVERIFY(control(cmd(R"({"cmd": "fault", "op": "/eject", "status": "none"})")).value("ok").toBool());
    auto present = watch(m_issuer->presentCard(20));
    QVERIFY(settled(present, 15000));
    QCOMPARE(present->state, 1);
    QCOMPARE(present->value.error, QStringLiteral("Timeout waiting for mouth sensor"));
    QVERIFY(!present->value.card);
    QVERIFY(m_log->contains("[CardIssuer] WARN: Eject failed : Timeout waiting for mouth sensor"));
    QVERIFY(m_log->contains("[CardIssuer] WARN: Considering eject successful."));
    QCOMPARE(m_log->count("[CardIssuer] Waiting for card to be collected (timeout=20 sec)"), 1);

    // In the dispense test the same silence stops the test with the card where it is.
    QVERIFY(control(cmd(R"({"cmd": "take"})")).value("ok").toBool());
    QVERIFY(TestUtil::waitUntil([&] { return !m_disp->cardInRfid() && !m_disp->cardInMouth(); }));
    QVERIFY(control(cmd(R"({"cmd": "fault", "op": "/eject", "status": "none"})")).value("ok").toBool());
    const int sent = requests().size();
    auto test = watch(m_issuer->testDispense());
    QVERIFY(settled(test, 15000));
    QCOMPARE(test->state, 2);
    QCOMPARE(test->value.error, QStringLiteral("Timeout waiting for mouth sensor"));
    simState();
    const QStringList after = requests().mid(sent);
    QVERIFY(!after.filter("/eject/").isEmpty());
    QVERIFY(after.filter("/accept/").isEmpty());
    QVERIFY(after.filter("/dispose/").isEmpty());
}

void TestCardIssuer::finalDisableFails()
{
    QVERIFY(startLane());
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    const char *failDisable = R"({"cmd": "fault", "op": "/disable", "kind": "error", "text": "RF stuck on"})";
    const QString warning = QStringLiteral("[CardIssuer] WARN: RFID disable failed : RF stuck on");

    // Preparation: the uid read after searching the card.
    QVERIFY(control(cmd(failDisable)).value("ok").toBool());
    auto prep = watch(m_issuer->prepareCard());
    QVERIFY(settled(prep));
    QCOMPARE(prep->state, 1);
    const QString uid = uidOf(prep->value.card);
    QCOMPARE(uid, QStringLiteral("5A000001"));
    QCOMPARE(m_log->count(warning), 1);

    // The reader stayed on with the card found: the uid read takes the reader's card.
    QVERIFY(TestUtil::waitUntil([&] { return m_rfid->state() == manager::RFID::CardFound; }));
    QVERIFY(control(cmd(failDisable)).value("ok").toBool());
    auto again = watch(m_issuer->readCardUid());
    QVERIFY(settled(again));
    QCOMPARE(again->state, 1);
    QCOMPARE(uidOf(again->value.card), uid);
    QVERIFY(m_log->contains("[CardIssuer] Card already present : " + uid));
    QCOMPARE(m_log->count(warning), 2);

    // Create and write.
    auto card = QSharedPointer<ZUKAv1Card>::create();
    card->setStatus("active");
    QVERIFY(control(cmd(failDisable)).value("ok").toBool());
    auto issued = watch(m_issuer->issueCard(card));
    QVERIFY(settled(issued));
    QCOMPARE(issued->state, 1);
    QCOMPARE(uidOf(issued->value.card), uid);
    QCOMPARE(m_log->count(warning), 3);

    // Write of a card on the reader (the reader is still on).
    auto written = Card::cast(issued->value.card);
    QVERIFY(written);
    QVERIFY(control(cmd(failDisable)).value("ok").toBool());
    auto rewrite = watch(m_issuer->writeCard(written));
    QVERIFY(settled(rewrite));
    QCOMPARE(rewrite->state, 1);
    QCOMPARE(uidOf(rewrite->value.card), uid);
    QCOMPARE(m_log->count(warning), 4);

    // Collection: the card is in the box whatever the reader did.
    QSignalSpy disposedSpy(m_issuer.get(), &CardIssuer::cardDisposed);
    QVERIFY(control(cmd(failDisable)).value("ok").toBool());
    auto collect = watch(m_issuer->collectCard());
    QVERIFY(settled(collect));
    QCOMPARE(collect->state, 1);
    QVERIFY(collect->value.error.isEmpty());
    QCOMPARE(m_log->count(warning), 5);
    QVERIFY(TestUtil::waitUntil([&] { return disposedSpy.count() == 1; }));
    QCOMPARE(simState().value("box").toArray().first().toString(), uid);
    QVERIFY(!m_log->containsPart("ERROR: "));
}

void TestCardIssuer::invalidCard()
{
    QVERIFY(startLane());
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    const QString uid = prepared();
    QVERIFY(!uid.isEmpty());
    simState();
    const int sent = requests().size();

    QList<OutcomePtr> outcomes{watch(m_issuer->createCard(Card::Ptr())), watch(m_issuer->writeCard(Card::Ptr())),
                               watch(m_issuer->issueCard(Card::Ptr())), watch(m_issuer->returnCard(Card::Ptr()))};
    for (const auto &o : outcomes) {
        QCOMPARE(o->state, 2);
        QCOMPARE(o->value.error, QStringLiteral("Invalid card"));
        QVERIFY(!o->value.card);
    }
    QCOMPARE(m_log->count("[CardIssuer] ERROR: Invalid card"), 4);
    simState();
    QCOMPARE(requests().size(), sent);
    QVERIFY(!m_log->containsPart("Incremented fail counter"));
    QCOMPARE(uidOf(m_issuer->currCard()), uid);
}

void TestCardIssuer::insertedCard_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("collected") << "collect";
    QTest::newRow("returned") << "return";
    QTest::newRow("blank card") << "blank";
    QTest::newRow("other template") << "other";
}

void TestCardIssuer::insertedCard()
{
    QFETCH(QString, kind);
    QVERIFY(startLane());
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    QSignalSpy insertedSpy(m_issuer.get(), &CardIssuer::cardInserted);

    auto enabled = watch(m_issuer->enableAccept());
    QVERIFY(settled(enabled));
    QCOMPARE(enabled->state, 1);
    QVERIFY(m_log->contains("[CardIssuer] Enabling automatic card acceptance"));

    QJsonObject insert{{"cmd", "insert"}, {"uid", "04A1B2C3"}};
    if (kind == "blank") {
        insert.insert("template", QJsonValue::Null);
    } else if (kind == "other") {
        insert.insert("template", "OTHERv2");
        insert.insert("data", QJsonObject{{"x", 1}});
    } else {
        insert.insert("template", "ZUKAv1");
        insert.insert("data", issuedContent());
    }

    auto waiting = watch(m_issuer->waitInserted(10));
    QVERIFY(m_log->contains("[CardIssuer] Waiting for card to be inserted : timeout=10 sec"));
    QVERIFY(control(insert).value("ok").toBool());
    QVERIFY(TestUtil::waitUntil([&] { return insertedSpy.count() == 1; }, 15000));
    QVERIFY(m_log->contains("[CardIssuer] Card inserted"));
    QVERIFY(settled(waiting));
    QCOMPARE(waiting->state, 1);
    const Card::Ptr card = insertedSpy.at(0).at(0).value<Card::Ptr>();

    if (kind == "blank") {
        QVERIFY(!card);
        QVERIFY(m_log->contains("[CardIssuer] ERROR: Failed to read card : Card is not formatted"));
        QVERIFY(m_log->contains("[CardIssuer] ERROR: Read card failed : Failed to read card : Card is not formatted"));
        return;
    }
    if (kind == "other") {
        QVERIFY(!card);
        QVERIFY(m_log->contains("[CardIssuer] Card read successfully"));
        QVERIFY(m_log->contains("[CardIssuer] ERROR: Invalid card : uid=<none>"));
        QVERIFY(!m_issuer->currCard());
        return;
    }

    QVERIFY(card);
    QCOMPARE(card->uid(), QStringLiteral("04A1B2C3"));
    QVERIFY(m_log->contains("[CardIssuer] Card read successfully : uid=04A1B2C3 name=ZUKAv1"));
    QCOMPARE(m_issuer->currCard().data(), static_cast<Tag *>(card.data()));
    QCOMPARE(waiting->value.card.data(), static_cast<Tag *>(card.data()));
    auto zuka = card.dynamicCast<ZUKAv1Card>();
    QVERIFY(zuka);
    QCOMPARE(zuka->usageLogs().size(), 1);  // the last entry only
    QVERIFY(waitState(CardIssuer::Busy, "Card on RFID"));

    if (kind == "collect") {
        QSignalSpy disposedSpy(m_issuer.get(), &CardIssuer::cardDisposed);
        auto collect = watch(m_issuer->collectCard());
        QVERIFY(settled(collect));
        QCOMPARE(collect->state, 1);
        QVERIFY(!collect->value.card);
        QVERIFY(m_log->contains("[CardIssuer] Collecting card : uid=04A1B2C3"));
        QVERIFY(TestUtil::waitUntil([&] { return disposedSpy.count() == 1; }));
        QCOMPARE(disposedSpy.at(0).at(0).value<Tag::Ptr>().data(), static_cast<Tag *>(card.data()));
        QVERIFY(!m_issuer->currCard());
        QCOMPARE(cardState("04A1B2C3").value("location").toString(), QStringLiteral("box"));
        QCOMPARE(simState().value("reader").toObject().value("enabled").toBool(), false);
        return;
    }

    // Returned to the driver with one more usage entry.
    zuka->addUsageLog("entry", "EXIT-02", "LOC-9");
    zuka->incrUsageCounter(1);
    auto returned = watch(m_issuer->returnCard(card));
    QVERIFY(settled(returned));
    QCOMPARE(returned->state, 1);
    QCOMPARE(uidOf(returned->value.card), QStringLiteral("04A1B2C3"));
    QVERIFY(m_log->contains("[CardIssuer] Writing card : uid=04A1B2C3 name=ZUKAv1"));
    const QJsonObject data = cardState("04A1B2C3").value("data").toObject();
    QCOMPARE(data.value("usageCounter").toInt(), 3);
    const QJsonArray log = data.value("usageLog").toArray();
    QCOMPARE(log.size(), 3);
    QCOMPARE(log.at(2).toObject().value("deviceId").toString(), QStringLiteral("EXIT-02"));
    QCOMPARE(log.at(2).toObject().value("usageCounter").toInt(), 2);

    auto present = watch(m_issuer->presentCard(20));
    QVERIFY(m_log->waitFor("[CardIssuer] Card ejected successfully"));
    QVERIFY(control(cmd(R"({"cmd": "take"})")).value("ok").toBool());
    QVERIFY(settled(present));
    QCOMPARE(present->state, 1);
    QCOMPARE(cardState("04A1B2C3").value("location").toString(), QStringLiteral("hand"));
}

void TestCardIssuer::cardTests_data()
{
    QTest::addColumn<QString>("test");
    QTest::addColumn<QString>("place");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("endsIn");

    QTest::newRow("dispense, no card") << "dispense" << "none" << "" << "" << "box";
    QTest::newRow("dispense, card in mouth") << "dispense" << "mouth" << "" << "WARN: Card in mouth. Retracting." << "box";
    QTest::newRow("dispense, card on reader") << "dispense" << "reader" << "" << "WARN: Card already present. Skipping."
                                              << "box";
    QTest::newRow("dispense, uid not read") << "dispense" << "uidfail" << "RFID enable failed : Simulated failure" << ""
                                            << "box";
    QTest::newRow("accept-eject, no card") << "eject" << "none" << "No card found" << "ERROR: No card found" << "";
    QTest::newRow("accept-eject, card in mouth") << "eject" << "mouth" << "" << "Card in mouth. Retracting." << "mouth";
    QTest::newRow("accept-eject, card on reader") << "eject" << "reader" << "" << "Card in RFID. Ejecting." << "mouth";
    QTest::newRow("accept-dispose, no card") << "dispose" << "none" << "" << "No card found. Waiting insert." << "box";
    QTest::newRow("accept-dispose, card in mouth")
        << "dispose" << "mouth" << "" << "Card in mouth. Retracting and disposing." << "box";
    QTest::newRow("accept-dispose, card on reader") << "dispose" << "reader" << "" << "Card in RFID. Disposing." << "box";
    // The final dispose refused: its own failure, the card stays at the reader.
    QTest::newRow("dispense, dispose refused") << "dispense" << "disposefail" << "Dispose failed : Box full"
                                               << "ERROR: Dispose failed : Box full" << "reader";
    // The uid read fails and so does its dispose: the read's failure is reported.
    QTest::newRow("dispense, uid not read, dispose refused")
        << "dispense" << "uidfail+disposefail" << "RFID enable failed : Simulated failure"
        << "ERROR: Dispose failed : Box full" << "reader";
    // Both sensors set: the mouth branch is taken (its retract finds the reader position occupied).
    QTest::newRow("accept-eject, both sensors") << "eject" << "both" << "Accept failed : RFID position occupied"
                                                << "Card in mouth. Retracting." << "both";
    QTest::newRow("accept-dispose, both sensors") << "dispose" << "both" << "Accept failed : RFID position occupied"
                                                  << "Card in mouth. Retracting and disposing." << "both";
}

void TestCardIssuer::cardTests()
{
    QFETCH(QString, test);
    QFETCH(QString, place);
    QFETCH(QString, error);
    QFETCH(QString, line);
    QFETCH(QString, endsIn);

    QVERIFY(startLane());
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    QString uid;
    if (place == "mouth") {
        uid = control(cmd(R"({"cmd": "insert", "uid": "04C0FFEE", "template": "ZUKAv1", "data": {}})")).value("uid").toString();
        QVERIFY(waitState(CardIssuer::Busy, "Card in Mouth"));
    } else if (place == "reader") {
        QVERIFY(step(cmd(R"({"cmd": "@issue"})")));
        uid = QStringLiteral("5A000001");
    } else if (place == "both") {
        QVERIFY(step(cmd(R"({"cmd": "@issue"})")));
        uid = control(cmd(R"({"cmd": "insert", "uid": "04C0FFEE", "template": "ZUKAv1", "data": {}})")).value("uid").toString();
        QVERIFY(TestUtil::waitUntil([&] { return m_disp->cardInMouth() && m_disp->cardInRfid(); }));
    }
    if (place.startsWith("uidfail"))
        QVERIFY(control(cmd(R"({"cmd": "fault", "op": "/enable", "kind": "error"})")).value("ok").toBool());
    if (place.endsWith("disposefail")) {
        QVERIFY(control(cmd(R"({"cmd": "fault", "op": "/dispose", "kind": "error", "code": 11, "text": "Box full"})"))
                    .value("ok").toBool());
    }
    QSignalSpy disposedSpy(m_issuer.get(), &CardIssuer::cardDisposed);
    QSignalSpy insertedSpy(m_issuer.get(), &CardIssuer::cardInserted);
    simState();
    const int sent = requests().size();

    OutcomePtr o;
    if (test == "dispense")
        o = watch(m_issuer->testDispense());
    else if (test == "eject")
        o = watch(m_issuer->testAcceptEject());
    else
        o = watch(m_issuer->testAcceptDispose());

    if (test == "dispose" && place == "none") {
        QVERIFY(m_log->waitFor("[CardIssuer] Waiting for card to be placed on Rfid : timeout=60 sec"));
        uid = control(cmd(R"({"cmd": "insert", "uid": "04BADA55", "template": "ZUKAv1", "data": {}})")).value("uid").toString();
        // The dispenser announces the inserted card, which the issuer reads on its own.
        QVERIFY(TestUtil::waitUntil([&] { return insertedSpy.count() == 1; }, 15000));
    }
    if (uid.isEmpty() && test == "dispense")
        uid = QStringLiteral("5A000001");

    QVERIFY(settled(o, 10000));
    if (error.isEmpty()) {
        QCOMPARE(o->state, 1);
        QVERIFY(o->value.error.isEmpty());
    } else {
        QCOMPARE(o->state, 2);
        QCOMPARE(o->value.error, error);
    }
    if (!line.isEmpty())
        QVERIFY2(m_log->contains("[CardIssuer] " + line), qPrintable(line));

    const QJsonObject sim = simState();
    if (endsIn == "box") {
        QCOMPARE(sim.value("box").toArray(), QJsonArray{uid});
        QVERIFY(TestUtil::waitUntil([&] { return disposedSpy.count() == 1; }));
    } else if (endsIn == "mouth") {
        QCOMPARE(sim.value("mouth").toString(), uid);
        QVERIFY(sim.value("rfid").isNull());
    } else if (endsIn == "reader") {
        QCOMPARE(sim.value("rfid").toString(), uid);
        QVERIFY(sim.value("box").toArray().isEmpty());
        QCOMPARE(disposedSpy.count(), 0);
    } else if (endsIn == "both") {
        QCOMPARE(sim.value("mouth").toString(), uid);
        QCOMPARE(sim.value("rfid").toString(), QStringLiteral("5A000001"));
        QVERIFY(requests().mid(sent).filter("/eject/").isEmpty());
        QVERIFY(requests().mid(sent).filter("/dispose/").isEmpty());
    } else {
        QCOMPARE(requests().size(), sent);  // nothing was sent
    }
    // The card tests never count failures.
    QVERIFY(!m_log->containsPart("Incremented fail counter"));
}

void TestCardIssuer::acceptTestTimesOut()
{
    QVERIFY(startLane(1));
    QVERIFY(waitState(CardIssuer::Ready, QString()));
    auto o = watch(m_issuer->testAcceptDispose());
    QVERIFY(m_log->waitFor("[CardIssuer] Waiting for card to be placed on Rfid : timeout=1 sec"));
    QVERIFY(settled(o, 15000));
    QCOMPARE(o->state, 2);
    QCOMPARE(o->value.error, QStringLiteral("Timeout"));
    QCOMPARE(m_log->count("[CardIssuer] ERROR: Timeout"), 1);
    QCOMPARE(simState().value("accepting").toBool(), true);
}

QTEST_MAIN(TestCardIssuer)
#include "tst_cardissuer.moc"
