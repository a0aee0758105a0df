#include "Backend/ESB.h"
#include "Backend/LocalServer.h"
#include "Cameras/VORCamera.h"
#include "Deferred/Deferred.h"
#include "LogCapture.h"
#include "Models/Test.h"

#include <QJsonObject>
#include <QModbusDataUnit>
#include <QtTest>

// The result records travel whole through deferred results.
class TestResultTypes : public QObject
{
    Q_OBJECT
private slots:
    void recordsTravelWhole();
    void testRunSharesItsCompletion();
    void cameraPassShapes();
};

void TestResultTypes::recordsTravelWhole()
{
    Deferred<Backend::ESB::PermissionResp> permission;
    Backend::ESB::PermissionResp got;
    permission.fail([&](Backend::ESB::PermissionResp r) { got = r; });
    permission.reject({"ERROR", "Communication error", true});
    QCOMPARE(got.code, QString("ERROR"));
    QCOMPARE(got.descr, QString("Communication error"));
    QVERIFY(got.cardReturn);

    const Backend::LocalServer::Response empty;
    QVERIFY(empty.id.isEmpty() && empty.lastErrorMessage.isEmpty());
    QCOMPARE(empty.weightKg, 0.0);
    QCOMPARE(empty.retryCount, 0);
    QVERIFY(!empty.createdAt.isValid() && !empty.weightAssociatedAt.isValid() && !empty.sentToEsbAt.isValid());
    Deferred<Backend::LocalServer::Response> passage;
    Backend::LocalServer::Response sent;
    sent.id = "p-1";
    sent.weightKg = 41250.5;
    sent.createdAt = QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9), Qt::UTC);
    passage.resolve(sent);
    Backend::LocalServer::Response received;
    passage.done([&](Backend::LocalServer::Response r) { received = r; });
    QCOMPARE(received.id, sent.id);
    QCOMPARE(received.weightKg, sent.weightKg);
    QCOMPARE(received.createdAt, sent.createdAt);

    Deferred<QModbusDataUnit> write;
    int startAddress = 0;
    write.fail([&](QModbusDataUnit u) { startAddress = u.startAddress(); });
    QModbusDataUnit invalid;
    invalid.setStartAddress(-1);
    write.reject(invalid);
    QCOMPARE(startAddress, -1);

    Deferred<QJsonObject> body;
    body.resolve(QJsonObject{{"eventId", "e-7"}});
    QString eventId;
    body.done([&](QJsonObject o) { eventId = o.value("eventId").toString(); });
    QCOMPARE(eventId, QString("e-7"));
}

void TestResultTypes::testRunSharesItsCompletion()
{
    LogCapture log;
    Test run;
    run.name = "dispense";
    run.numberOfCards = 2;
    QCOMPARE(run.completion.state(), 0);
    QVERIFY(!run.card);

    QList<int> progress;
    Test finished;
    run.completion.progress([&](Test t) { progress << t.currCardIndex; });
    run.completion.done([&](Test t) { finished = t; });

    Test copy = run; // copies share the completion
    for (int i = 1; i <= 2; ++i) {
        copy.currCardIndex = i;
        if (copy.completion.state() == 0)
            copy.completion.notify(copy);
    }
    copy.result = true;
    copy.finished = true;
    copy.completion.resolve(copy);
    QCOMPARE(progress, QList<int>({1, 2}));
    QCOMPARE(run.completion.state(), 1);
    QVERIFY(finished.result);
    QCOMPARE(finished.currCardIndex, 2);
    // The record in the result carries the same completion.
    QCOMPARE(finished.completion.state(), 1);
    QVERIFY(log.texts().isEmpty());
}

void TestResultTypes::cameraPassShapes()
{
    // One camera: its trigger confirmation chained into its reading.
    Deferred<QString> trigger;
    Deferred<VORCamera::Result> reading;
    auto camera = trigger.thenAlias([&](QString) { return reading; });
    QList<VORCamera::Result> results;
    camera.done([&](VORCamera::Result r) { results << r; });
    int timedOut = 0;
    camera.fail([&](VORCamera::Result r) { timedOut += r.message == "[alpr1] Timeout"; });
    trigger.resolve("[alpr1] Successful trigger, wait for Camera Post");
    reading.reject({"[alpr1] Timeout", {}});
    QCOMPARE(timedOut, 1);
    QVERIFY(results.isEmpty());

    // A failed trigger never waits for a reading.
    Deferred<QString> failedTrigger;
    bool ended = false;
    failedTrigger.thenAlias([](QString) { return Deferred<VORCamera::Result>(); }).failZero([&] { ended = true; });
    failedTrigger.reject("[alpr2] Trigger camera error : refused");
    QVERIFY(ended);

    Deferred<QList<VORCamera::Result>> pass;
    pass.resolve(results);
    Deferred<QMap<QString, QSharedPointer<VORReading>>> readings;
    readings.resolve({});
    int size = -1;
    readings.done([&](QMap<QString, QSharedPointer<VORReading>> m) { size = m.size(); });
    QCOMPARE(size, 0);
}

QTEST_GUILESS_MAIN(TestResultTypes)
#include "tst_resulttypes.moc"
