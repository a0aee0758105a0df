// Topic waits and request/response calls against a real broker and a responder written
// independently of the client (Python + paho).
#include "Broker.h"
#include "Common/Mqtt/MqttClient.h"
#include "LogCapture.h"
#include "PeerProcess.h"
#include "MqttPeer.h"
#include "TestUtil.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using manager::MqttClient;

namespace {

struct Outcome {
    int state = 0;  // 0 pending, 1 resolved, 2 rejected
    QJsonValue value;
    int calls = 0;
};

std::shared_ptr<Outcome> watch(Deferred<QJsonValue> d)
{
    auto o = std::make_shared<Outcome>();
    d.done([o](QJsonValue v) {
        o->state = 1;
        o->value = v;
        ++o->calls;
    });
    d.fail([o](QJsonValue v) {
        o->state = 2;
        o->value = v;
        ++o->calls;
    });
    return o;
}

bool settled(const std::shared_ptr<Outcome> &o, int ms = 5000)
{
    return TestUtil::waitUntil([&] { return o->state != 0; }, ms);
}

}  // namespace

class TstMqttRpc : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void callsAndTheirAnswers();
    void callsThatFailAtOncePublishNothing();
    void waitsLeaveOtherSubscriptionsAlone();
    void pendingWaitsSurviveReconnection();

private:
    bool connectClient();
    bool startResponder(const QString &root);

    std::unique_ptr<Broker> m_broker;
    std::unique_ptr<MqttClient> m_client;
    std::unique_ptr<PeerProcess> m_responder;
};

void TstMqttRpc::init()
{
    m_broker = std::make_unique<Broker>();
    QVERIFY(m_broker->start());
    m_client = std::make_unique<MqttClient>();
    m_client->setHostname(m_broker->host());
    m_client->setPort(m_broker->port());
}

void TstMqttRpc::cleanup()
{
    const bool responderHealthy = !m_responder || m_responder->stop();
    m_responder.reset();
    m_client.reset();
    m_broker.reset();
    QVERIFY(responderHealthy);
}

bool TstMqttRpc::connectClient()
{
    QSignalSpy connected(m_client.get(), &MqttClient::connected);
    m_client->connect();
    return connected.wait(15000);
}

bool TstMqttRpc::startResponder(const QString &root)
{
    m_responder = std::make_unique<PeerProcess>();
    return m_responder->startPython(QStringLiteral("mqtt_responder.py"),
                                    {QStringLiteral("--port"), QString::number(m_broker->port()),
                                     QStringLiteral("--root"), root},
                                    "READY", 10000);
}

void TstMqttRpc::callsAndTheirAnswers()
{
    LogCapture log;
    QVERIFY(connectClient());
    QVERIFY(startResponder(QStringLiteral("r1")));

    // The request goes out as compact JSON at QoS 1, not retained, and the answer comes back.
    const QJsonObject request{{QStringLiteral("op"), QStringLiteral("read")}, {QStringLiteral("n"), 2}};
    auto echo = watch(m_client->executeRpc(QStringLiteral("r1/echo"), QStringLiteral("1"), request));
    QVERIFY(settled(echo));
    QCOMPARE(echo->state, 1);
    const QJsonObject answer = echo->value.toObject();
    QCOMPARE(answer.value(QStringLiteral("echo")).toObject(), request);
    QCOMPARE(answer.value(QStringLiteral("raw")).toString(), QStringLiteral("{\"n\":2,\"op\":\"read\"}"));
    QCOMPARE(answer.value(QStringLiteral("qos")).toInt(), 1);
    QCOMPARE(answer.value(QStringLiteral("retain")).toBool(), false);
    QVERIFY(log.contains(QStringLiteral("[MqttClient] [RPC] Sending : r1/echo/request/1")));
    QVERIFY(log.contains(QStringLiteral("[MqttClient] [RPC] Data    : {\"n\":2,\"op\":\"read\"}")));
    QVERIFY(log.contains(QStringLiteral("[MqttClient] [RPC] Received : r1/echo/response/1")));

    // Answers that are not one JSON object.
    auto array = watch(m_client->executeRpc(QStringLiteral("r1/array"), QStringLiteral("2"), {}));
    auto garbage = watch(m_client->executeRpc(QStringLiteral("r1/garbage"), QStringLiteral("3"), {}));
    auto empty = watch(m_client->executeRpc(QStringLiteral("r1/empty"), QStringLiteral("4"), {}));
    auto twice = watch(m_client->executeRpc(QStringLiteral("r1/twice"), QStringLiteral("5"), {}));
    for (const auto &o : {array, garbage, empty, twice})
        QVERIFY(settled(o));
    QCOMPARE(array->state, 2);
    QCOMPARE(array->value, QJsonValue(QStringLiteral("Invalid response")));
    QCOMPARE(garbage->state, 2);
    QCOMPARE(garbage->value, QJsonValue(QStringLiteral("Invalid response")));
    QCOMPARE(log.count(QStringLiteral("[MqttClient] [RPC] ERROR : Invalid response")), 2);
    QCOMPARE(empty->state, 1);
    QCOMPARE(empty->value, QJsonValue(QJsonObject()));
    QCOMPARE(twice->state, 1);
    QCOMPARE(twice->value.toObject().value(QStringLiteral("n")).toInt(), 1);

    // A byte that is not UTF-8 spoils only its own character, not the whole answer.
    {
        MqttPeer device(m_broker->port());
        auto latin = watch(m_client->waitTopic(QStringLiteral("r1/latin")));
        QVERIFY(device.publish(QStringLiteral("r1/latin"), "{\"name\":\"M\xfc" "ller\"}", 1, true));
        QVERIFY(settled(latin));
        QCOMPARE(latin->state, 1);
        QCOMPARE(latin->value.toObject().value(QStringLiteral("name")).toString(),
                 QStringLiteral("M") + QChar(0xFFFD) + QStringLiteral("ller"));
        auto nul = watch(m_client->waitTopic(QStringLiteral("r1/nul")));
        QVERIFY(device.publish(QStringLiteral("r1/nul"), QByteArray("\0\xff\xfe{", 4), 1, true));
        QVERIFY(settled(nul));
        QCOMPARE(nul->value, QJsonValue(QStringLiteral("Invalid response")));
    }

    // A call sees only its own id's answer: the responder answers id 7, the call waits on 6.
    auto otherId = watch(m_client->waitTopic(QStringLiteral("r1/echo/response/6"), 600));
    auto own = watch(m_client->executeRpc(QStringLiteral("r1/echo"), QStringLiteral("7"), {}));
    QVERIFY(settled(own));
    QCOMPARE(own->state, 1);
    QVERIFY(settled(otherId));
    QCOMPARE(otherId->value, QJsonValue(QStringLiteral("Timeout")));

    // No answer: "Timeout" once the call's own time-out has passed, and the second message
    // of a settled call changes nothing.
    QElapsedTimer clock;
    clock.start();
    auto silent = watch(m_client->executeRpc(QStringLiteral("r1/silent"), QStringLiteral("8"), {}, 700));
    QVERIFY(settled(silent, 10000));
    QVERIFY(clock.elapsed() >= 690);
    QCOMPARE(silent->value, QJsonValue(QStringLiteral("Timeout")));
    QVERIFY(log.contains(QStringLiteral("[MqttClient] [RPC] ERROR : Timeout")));
    QCOMPARE(twice->calls, 1);

    // The default time-out is 3000 ms.
    clock.restart();
    auto silentDefault = watch(m_client->executeRpc(QStringLiteral("r1/silent"), QStringLiteral("9"), {}));
    QVERIFY(settled(silentDefault, 10000));
    QVERIFY(clock.elapsed() >= 2990);
}

void TstMqttRpc::callsThatFailAtOncePublishNothing()
{
    LogCapture log;
    // Not connected: rejected before the call returns, logged, nothing sent.
    auto offline = watch(m_client->executeRpc(QStringLiteral("r2/dispense"), QStringLiteral("1"), {}));
    QCOMPARE(offline->state, 2);
    QCOMPARE(offline->value, QJsonValue(QStringLiteral("Not connected")));
    QCOMPARE(log.count(QStringLiteral("[MqttClient] [RPC] ERROR : Not connected")), 1);
    QCOMPARE(log.countContaining(QStringLiteral("[RPC] Sending")), 0);
    auto offlineWait = watch(m_client->waitTopic(QStringLiteral("r2/x")));
    QCOMPARE(offlineWait->value, QJsonValue(QStringLiteral("Not connected")));

    QVERIFY(connectClient());
    MqttPeer sniffer(m_broker->port());
    QVERIFY(sniffer.subscribe(QStringLiteral("#")));

    // The answer cannot be awaited: the request must not go out either.
    auto refused = watch(m_client->executeRpc(QStringLiteral("r2/dis#pose"), QStringLiteral("2"), {}));
    QCOMPARE(refused->state, 2);
    QCOMPARE(refused->value, QJsonValue(QStringLiteral("Subscription failed")));
    QCOMPARE(log.count(QStringLiteral("[MqttClient] [RPC] ERROR : Subscription failed")), 1);
    QCOMPARE(log.countContaining(QStringLiteral("[RPC] Sending")), 0);

    // Whatever the client had sent before its marker has reached the sniffer by now.
    QVERIFY(m_client->publish("end", QStringLiteral("r2/marker"), 1));
    QVERIFY(sniffer.waitForMessage(QStringLiteral("r2/marker")));
    for (const auto &m : sniffer.messages())
        QVERIFY2(!m.topic.contains(QStringLiteral("/request/")), qPrintable(m.topic));
}

void TstMqttRpc::waitsLeaveOtherSubscriptionsAlone()
{
    QVERIFY(connectClient());
    QSignalSpy received(m_client.get(), &MqttClient::received);
    MqttPeer device(m_broker->port());
    const QString removed = QStringLiteral("r3/dispenser/card/removed");
    auto receivedOn = [&](const QByteArray &topic, const QByteArray &payload) {
        for (const auto &args : received)
            if (args.at(1).toByteArray() == topic && args.at(0).toByteArray() == payload)
                return true;
        return false;
    };

    // A lasting subscription, then a wait on the very same topic that ends with a message.
    m_client->subscribe(removed, 1);
    auto collected = watch(m_client->waitTopic(removed, 5000));
    QVERIFY(device.publish(removed, "{\"n\":1}"));
    QVERIFY(settled(collected));
    QCOMPARE(collected->value.toObject().value(QStringLiteral("n")).toInt(), 1);
    QVERIFY(TestUtil::waitUntil([&] { return receivedOn(removed.toUtf8(), "{\"n\":1}"); }));

    // ... and one that ends by time-out.
    auto late = watch(m_client->waitTopic(removed, 200));
    QVERIFY(settled(late));
    QCOMPARE(late->value, QJsonValue(QStringLiteral("Timeout")));

    // The lasting subscription still delivers.
    QVERIFY(device.publish(removed, "{\"n\":2}"));
    QVERIFY(TestUtil::waitUntil([&] { return receivedOn(removed.toUtf8(), "{\"n\":2}"); }));

    // A wait on a pattern gives up the pattern itself, not the topic that matched it.
    auto any = watch(m_client->waitTopic(QStringLiteral("r3/+/event"), 5000));
    QVERIFY(device.publish(QStringLiteral("r3/a/event"), "{}"));
    QVERIFY(settled(any));
    QCOMPARE(any->state, 1);
    // The broker handles the client's packets in order: once the client's own message
    // comes back, its unsubscription has been handled too.
    m_client->subscribe(QStringLiteral("r3/sync"), 1);
    QVERIFY(TestUtil::waitUntil([&] {
        m_client->publish("{}", QStringLiteral("r3/sync"), 1);
        return TestUtil::waitUntil([&] { return receivedOn("r3/sync", "{}"); }, 200);
    }));
    QVERIFY(device.publish(QStringLiteral("r3/b/event"), "{}"));
    QVERIFY(device.publish(removed, "{\"n\":3}"));
    QVERIFY(TestUtil::waitUntil([&] { return receivedOn(removed.toUtf8(), "{\"n\":3}"); }));
    QVERIFY(receivedOn("r3/a/event", "{}"));
    QVERIFY(!receivedOn("r3/b/event", "{}"));
}

void TstMqttRpc::pendingWaitsSurviveReconnection()
{
    LogCapture log;
    QVERIFY(connectClient());
    QSignalSpy connected(m_client.get(), &MqttClient::connected);

    auto endless = watch(m_client->waitTopic(QStringLiteral("r4/endless"), 0));
    auto bounded = watch(m_client->waitTopic(QStringLiteral("r4/bounded"), 20000));

    m_broker->kill();
    QVERIFY(log.waitFor(QStringLiteral("[MqttClient] Disconnected from broker 127.0.0.1")));
    QCOMPARE(endless->state, 0);
    QVERIFY(m_broker->start(m_broker->port()));
    QVERIFY(connected.wait(10000));

    MqttPeer device(m_broker->port());
    QVERIFY(device.publish(QStringLiteral("r4/endless"), "{\"ok\":true}"));
    QVERIFY(device.publish(QStringLiteral("r4/bounded"), "{\"ok\":true}"));
    QVERIFY(settled(endless));
    QVERIFY(settled(bounded));
    QCOMPARE(endless->value.toObject().value(QStringLiteral("ok")).toBool(), true);
    QCOMPARE(bounded->value.toObject().value(QStringLiteral("ok")).toBool(), true);
}

QTEST_GUILESS_MAIN(TstMqttRpc)
#include "tst_mqttrpc.moc"
