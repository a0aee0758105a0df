// The exit lane's card path on a real broker and the simulated card devices, its passage
// played by the test as the lane stands between passages: the card left in the path taken
// out of it (handed back, or kept for the passage that decided it) with the report that
// goes, the steps tried again while a device fails, and acceptance switched on again.
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Engines/CardPath.h"
#include "Managers/CardIssuer.h"

#include "Broker.h"
#include "LaneSimFixture.h"
#include "LogCapture.h"
#include "TestUtil.h"

#include <QJsonDocument>
#include <QtTest>

using Backend::Transaction;

class TstCardPath : public QObject
{
    Q_OBJECT

    Broker m_broker;
    int m_case = 0;

private slots:
    void initTestCase() { QVERIFY(m_broker.start()); }
    void cleanupTestCase() { QVERIFY(m_broker.stop()); }
    void clearing_data();
    void clearing();
};

void TstCardPath::clearing_data()
{
    QTest::addColumn<QString>("at");          // where the card is: "mouth" (handed back), "rfid", "rfid
                                              // unnamed" (found before the clients came: no report named it)
    QTest::addColumn<QString>("passage");     // the type of the interrupted passage of that card, if any
    QTest::addColumn<bool>("held");           // a failed passage's report, without the card's uid, waits
    QTest::addColumn<QStringList>("faults");  // the devices' next answers
    QTest::addColumn<bool>("take");           // the driver takes a card offered
    QTest::addColumn<QString>("place");       // where the card ends
    QTest::addColumn<QString>("report");      // the details of the one report sent, with the card's uid
    QTest::addColumn<QStringList>("lines");   // each logged as often as listed

    const QString enableFails = R"({"cmd": "fault", "op": "/enable", "kind": "error"})";
    QTest::newRow("at the reader, its passage undecided: handed back")
        << "rfid" << "ERROR_REPORT" << false << QStringList() << true << "hand" << ""
        << QStringList{"Clearing card path", "Card collected by user"};
    QTest::newRow("at the reader, its passage decided: kept under that passage's report")
        << "rfid" << "SCAN" << false << QStringList() << true << "box" << ""
        << QStringList{"Card kept : E0000001", "Card of an interrupted passage, reported with it : E0000001"};
    QTest::newRow("at the reader, not taken: kept with a report of its own")
        << "rfid" << "" << false << QStringList() << false << "box" << "Card left in the reader"
        << QStringList{"Card not collected by user."};
    QTest::newRow("at the reader, found unnamed: read again for its passage")
        << "rfid unnamed" << "SCAN" << false << QStringList() << true << "box" << ""
        << QStringList{"Card already present : <none>", "Card kept : E0000001"};
    QTest::newRow("at the reader, the reader failing: clearing tried again")
        << "rfid" << "" << false << QStringList{enableFails} << true << "hand" << ""
        << QStringList{"Clearing card path", "Clearing card path"};
    QTest::newRow("at the reader, a failed passage's report: sent with the uid read")
        << "rfid" << "" << true << QStringList() << true << "hand" << "Invalid card" << QStringList();
    QTest::newRow("left in the mouth: pulled in and kept")
        << "mouth" << "" << false << QStringList() << false << "box" << "Card left in the reader"
        << QStringList{"Clearing card path"};
    QTest::newRow("acceptance refused: tried again")
        << "" << "" << false << QStringList{R"({"cmd": "fault", "op": "/accept/enable", "kind": "error"})"} << false
        << "" << "" << QStringList{"Failed to enable card auto-accept"};
}

void TstCardPath::clearing()
{
    QFETCH(QString, at);
    QFETCH(QString, passage);
    QFETCH(bool, held);
    QFETCH(QStringList, faults);
    QFETCH(bool, take);
    QFETCH(QString, place);
    QFETCH(QString, report);
    QFETCH(QStringList, lines);
    LogCapture logs;

    // The devices, the card where the row puts it.
    const QString root = QString("path%1").arg(++m_case), uid = "E0000001";
    LaneSim sim(m_broker.port(), root + "/rfid", root + "/dispenser");
    QVERIFY(sim.start({"--model", "ELG0909"}));
    manager::MqttClient mqtt;
    QVERIFY(connectClient(mqtt, m_broker.port()));
    auto command = [&](const QString &json) { return sim.control(mqtt, QJsonDocument::fromJson(json.toUtf8()).object()); };
    auto devices = [&] { return command(R"({"cmd": "dump"})")["state"].toObject(); };
    if (!at.isEmpty()) {
        QVERIFY(command(QString(R"({"cmd": "insert", "uid": "%1"})").arg(uid))["ok"].toBool());
        QVERIFY(rawPublish(m_broker.port(), root + "/dispenser/accept/request/1", "{}"));
        QVERIFY(TestUtil::waitUntil([&] { return devices()["rfid"].toString() == uid; }));
    }
    if (at == "mouth") { // handed back, not taken
        QVERIFY(rawPublish(m_broker.port(), root + "/dispenser/eject/request/1", "{}"));
        QVERIFY(TestUtil::waitUntil([&] { return devices()["mouth"].toString() == uid; }));
    }
    if (at == "rfid unnamed") {
        QVERIFY(rawPublish(m_broker.port(), root + "/rfid/enable/request/1", "{}"));
        QVERIFY(TestUtil::waitUntil([&] { return devices()["reader"].toObject()["found"].toString() == uid; }));
    }
    for (const QString &fault : faults)
        QVERIFY(command(fault)["ok"].toBool());
    manager::RFID rfid(mqtt, root + "/rfid");
    manager::Dispenser dispenser(mqtt, root + "/dispenser");
    manager::CardIssuer issuer(&rfid, &dispenser);
    QVERIFY(TestUtil::waitUntil([&] { // both devices heard
        return issuer.state() == manager::CardIssuer::Ready || issuer.state() == manager::CardIssuer::Busy;
    }));

    // The passage: between passages, awaiting a card; the lane serves once the path is clear.
    Config config(QString(), ConfigDefaults);
    config.set(Key::TerminalCollectTimeoutSec, take ? 15 : 1);
    auto errorReport = [&](const QString &error) {
        const auto t = Transaction::Ptr::create();
        t->setType(Transaction::ErrorReport);
        t->setErrorDetails(error);
        return t;
    };
    const InterruptedPassage interrupted{errorReport(QString())};
    interrupted.report->setType(Transaction::strToType(passage));
    interrupted.report->setCardUid(uid);
    auto interruptedCard = [&](const QString &card) { return !passage.isEmpty() && card == uid ? &interrupted : nullptr; };
    CardPath path(&issuer, config, Log("[Lane] "), {[] { return true; }, [] { return true; }, interruptedCard, errorReport,
                                                                   [](const InterruptedPassage &) { return false; }});
    QList<Transaction::Ptr> sent;
    connect(&path, &CardPath::reportDue, this, [&](const Transaction::Ptr &r) { sent << r; });
    connect(&path, &CardPath::cleared, &path, &CardPath::enableAccept);
    path.start();
    if (held)
        path.hold(errorReport("Invalid card"), QString());
    if (path.clearAtIdle(!passage.isEmpty()))
        path.enableAccept();

    QJsonObject now;
    auto location = [&] { return now["cards"].toObject()[uid].toObject()["location"].toString(); };
    TestUtil::waitUntil([&] {
        now = devices();
        if (take && now["mouth"].toString() == uid)
            command(R"({"cmd": "take"})");
        return location() == place && sent.size() == (report.isEmpty() ? 0 : 1) && path.unready().isEmpty()
               && now["accepting"].toBool();
    }, 30000);
    QCOMPARE(location(), place);
    QCOMPARE(path.unready(), QString());
    QVERIFY(now["accepting"].toBool());
    QCOMPARE(sent.size(), report.isEmpty() ? 0 : 1);
    if (!report.isEmpty()) {
        QCOMPARE(sent[0]->errorDetails(), report);
        QCOMPARE(sent[0]->cardUid(), uid);
    }
    for (const QString &line : lines)
        QVERIFY2(logs.countContaining(line) == lines.count(line), qPrintable(line));
    path.stop();
    QVERIFY(sim.stop());
}

QTEST_GUILESS_MAIN(TstCardPath)
#include "tst_cardpath.moc"
