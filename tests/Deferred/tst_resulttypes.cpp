#include "Cameras/VORCamera.h"
#include "Deferred/Deferred.h"
#include "LogCapture.h"
#include "Models/Test.h"

#include <QtTest>

// Result records that carry or travel through deferred results.
class TestResultTypes : public QObject
{
    Q_OBJECT
private slots:
    void testRunSharesItsCompletion();
    void cameraPassShapes();
};

void TestResultTypes::testRunSharesItsCompletion()
{
    LogCapture log;
    Test run;
    run.name = "dispense";
    run.numberOfCards = 2;
    QVERIFY(run.completion.isPending());
    QVERIFY(!run.card);

    QList<int> progress;
    Test finished;
    run.completion.progress([&](Test t) { progress << t.currCardIndex; });
    run.completion.done([&](Test t) { finished = t; });

    Test copy = run; // copies share the completion
    for (int i = 1; i <= 2; ++i) {
        copy.currCardIndex = i;
        if (copy.completion.isPending())
            copy.completion.notify(copy);
    }
    copy.result = true;
    copy.finished = true;
    copy.completion.resolve(copy);
    QCOMPARE(progress, QList<int>({1, 2}));
    QVERIFY(run.completion.isResolved());
    QVERIFY(finished.result);
    QCOMPARE(finished.currCardIndex, 2);
    // The record in the result carries the same completion.
    QVERIFY(finished.completion.isResolved());
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
