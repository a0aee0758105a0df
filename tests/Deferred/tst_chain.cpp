#include "Deferred/Deferred.h"
#include "DeferredTestSupport.h"
#include "LogCapture.h"

#include <QtTest>

std::atomic<int> Tracked::alive{0};

namespace {
// A step result as the card handling passes them along: a value and an error text.
struct StepResult
{
    int card = 0;
    QString error;
};
} // namespace

class TestChain : public QObject
{
    Q_OBJECT
private slots:
    void chainRunsWhenParentResolves();
    void chainOnSettledParent();
    void parentFailureReachesOnlyItsOwnFailHandlers();
    void stepFailureReachesTheStepsFailHandlers();
    void stepRejectedWithoutValuesFailsTheChain();
    void progressOfTheStepOnly();
    void chainOutlivesCallerHandle();
    void threeStepChain();
    void chainAcrossThreads();

    void joinOfSettledInputs();
    void joinWaitsForEveryInput();
    void joinFailsAtFirstFailure();
    void joinOverListInAnyOrder();
    void joinOverEmptyListResolves();
    void joinRunsAfterTheInputsOwnHandlers();
};

void TestChain::chainRunsWhenParentResolves()
{
    LogCapture log;
    Deferred<int> parent;
    Deferred<QString> step;
    int seenByContinuation = -1;
    auto next = parent.thenAlias([&](int n) {
        seenByContinuation = n;
        return step;
    });
    static_assert(std::is_same<decltype(next), Deferred<QString>>::value, "R... deduced from the continuation");
    QString got;
    next.done([&](QString s) { got = s; });
    QCOMPARE(seenByContinuation, -1);
    parent.resolve(5);
    QCOMPARE(seenByContinuation, 5);
    QVERIFY(next.isPending());
    step.resolve("five");
    QCOMPARE(got, QString("five"));
    QVERIFY(next.isResolved());

    // Explicit R..., and the value-less forms.
    Deferred<> a;
    auto b = a.thenAlias<int>([] {
        Deferred<int> k;
        k.resolve(3);
        return k;
    });
    auto c = b.thenAlias([](int n) {
        Deferred<> k;
        if (n == 3)
            k.resolve();
        return k;
    });
    bool reached = false;
    c.done([&] { reached = true; });
    a.resolve();
    QVERIFY(reached);
    QVERIFY(log.texts().isEmpty());
}

void TestChain::chainOnSettledParent()
{
    // Resolved parent: the continuation runs before thenAlias returns.
    Deferred<int> resolved;
    resolved.resolve(1);
    bool ran = false;
    auto next = resolved.thenAlias([&](int n) {
        ran = true;
        Deferred<int> k;
        k.resolve(n + 1);
        return k;
    });
    QVERIFY(ran);
    QVERIFY(next.isResolved());

    // Rejected parent: never runs, returned already rejected without values.
    Deferred<int> rejected;
    rejected.reject(1);
    auto failed = rejected.thenAlias([&](int) {
        QTest::qFail("continuation of a rejected result", __FILE__, __LINE__);
        return Deferred<int>();
    });
    QVERIFY(failed.isRejected());
    bool failHandler = false, failZero = false;
    failed.fail([&](int) { failHandler = true; });
    failed.failZero([&] { failZero = true; });
    QVERIFY(!failHandler);
    QVERIFY(failZero);

    // A continuation that runs at once and reassigns the parent's handle (a member
    // reset for the next operation): the chain stays on the parent it was made from.
    auto parent = std::make_unique<Deferred<int>>();
    parent->resolve(1);
    Deferred<int> step;
    auto chained = parent->thenAlias([&](int) {
        *parent = Deferred<int>();
        return step;
    });
    parent->reject(0); // the next operation's failure is not the chain's
    QVERIFY(chained.isPending());
    step.resolve(4);
    QVERIFY(chained.isResolved());
}

void TestChain::parentFailureReachesOnlyItsOwnFailHandlers()
{
    LogCapture log;
    Deferred<StepResult> parent;
    QStringList calls;
    auto next = parent.thenAlias([](StepResult) { return Deferred<StepResult>(); });
    parent.fail([&](StepResult r) { calls << "parent:" + r.error; });
    next.fail([&](StepResult) { calls << "next"; });
    next.failZero([&] { calls << "nextZero"; });
    next.done([&](StepResult) { calls << "nextDone"; });
    parent.reject({0, "Issue failed : jam"});
    QCOMPARE(calls, QStringList({"parent:Issue failed : jam", "nextZero"}));
    QVERIFY(log.texts().isEmpty());
}

void TestChain::stepFailureReachesTheStepsFailHandlers()
{
    LogCapture log;
    Deferred<int> parent;
    Deferred<StepResult> step;
    QStringList calls;
    parent.fail([&](int) { calls << "parent"; });
    auto next = parent.thenAlias([&](int) { return step; });
    next.fail([&](StepResult r) { calls << "next:" + r.error; });
    next.failZero([&] { calls << "nextZero"; });
    parent.resolve(1);
    step.reject({0, "Read failed : timeout"});
    QCOMPARE(calls, QStringList({"next:Read failed : timeout", "nextZero"}));
    // An ordinary rejection is passed on once: no warning about a second one.
    QVERIFY(log.texts().isEmpty());
}

void TestChain::stepRejectedWithoutValuesFailsTheChain()
{
    LogCapture log;
    Deferred<> parent;
    Deferred<StepResult> step;
    QStringList calls;
    auto next = parent.thenAlias([&] { return step; });
    next.fail([&](StepResult) { calls << "fail"; });
    next.failZero([&] { calls << "failZero"; });
    auto last = next.thenAlias([](StepResult) { return Deferred<>(); });
    last.failZero([&] { calls << "lastZero"; });
    parent.resolve();
    step.rejectZero();
    QVERIFY(next.isRejected());
    QVERIFY(last.isRejected());
    QCOMPARE(calls, QStringList({"failZero", "lastZero"}));
    QVERIFY(log.texts().isEmpty());

    // The same when the step is already rejected when the continuation returns it.
    Deferred<> p2;
    p2.resolve();
    auto n2 = p2.thenAlias([] {
        Deferred<int> k;
        k.rejectZero();
        return k;
    });
    QVERIFY(n2.isRejected());
    QVERIFY(log.texts().isEmpty());
}

void TestChain::progressOfTheStepOnly()
{
    Deferred<int> parent;
    Deferred<int> step;
    auto next = parent.thenAlias([&](int) { return step; });
    QList<int> progress;
    next.progress([&](int n) { progress << n; });
    parent.notify(1); // not passed on
    parent.resolve(0);
    step.notify(40);
    step.notify(80);
    QCOMPARE(progress, QList<int>({40, 80}));
}

void TestChain::chainOutlivesCallerHandle()
{
    Deferred<int> parent;
    Deferred<int> step;
    int got = 0;
    parent.thenAlias([&](int) { return step; }).done([&](int n) { got = n; });
    // No handle to the chained result is kept by the caller.
    parent.resolve(1);
    step.resolve(77);
    QCOMPARE(got, 77);

    // Nothing is leaked once the chain has run.
    QCOMPARE(Tracked::alive.load(), 0);
    {
        Deferred<Tracked> p;
        p.thenAlias([](Tracked t) {
             Deferred<Tracked> k;
             k.resolve(Tracked(t.value + 1));
             return k;
         }).done([](Tracked) {});
        p.resolve(Tracked(1));
    }
    QCOMPARE(Tracked::alive.load(), 0);
}

void TestChain::threeStepChain()
{
    LogCapture log;
    // First step fails: nothing later runs; only that step's fail handler.
    {
        Deferred<StepResult> first;
        QStringList calls;
        first.fail([&](StepResult r) { calls << "first:" + r.error; });
        auto second = first.thenAlias([&](StepResult) {
            calls << "cont2";
            return Deferred<StepResult>();
        });
        second.fail([&](StepResult) { calls << "second"; });
        second.failZero([&] { calls << "secondZero"; });
        auto third = second.thenAlias([&](StepResult) {
            calls << "cont3";
            return Deferred<StepResult>();
        });
        third.fail([&](StepResult) { calls << "third"; });
        third.failZero([&] { calls << "thirdZero"; });
        first.reject({0, "e1"});
        QCOMPARE(calls, QStringList({"first:e1", "secondZero", "thirdZero"}));
        QVERIFY(third.isRejected());
    }
    QVERIFY(log.texts().isEmpty());
}

void TestChain::chainAcrossThreads()
{
    // The chain is built on the main thread and its first result settled on another
    // thread: the continuation and the handlers run on the main thread.
    LoopThread b;
    Deferred<int> parent;
    QThread *continuationOn = nullptr, *doneOn = nullptr;
    int got = 0;
    parent
        .thenAlias([&](int n) {
            continuationOn = QThread::currentThread();
            Deferred<int> k;
            k.resolve(n + 1);
            return k;
        })
        .done([&](int n) {
            doneOn = QThread::currentThread();
            got = n;
        });
    b.call([&] { parent.resolve(1); });
    QVERIFY(!continuationOn);
    QVERIFY(QTest::qWaitFor([&] { return got == 2; }, 2000));
    QCOMPARE(continuationOn, QThread::currentThread());
    QCOMPARE(doneOn, QThread::currentThread());

    // The step settled on another thread, too.
    Deferred<> p;
    Deferred<QString> step;
    QString text;
    p.thenAlias([&] { return step; }).done([&](QString s) { text = s; });
    p.resolve();
    b.call([&] { step.resolve("late"); });
    QVERIFY(text.isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return text == "late"; }, 2000));
}

void TestChain::joinOfSettledInputs()
{
    Deferred<> a, b;
    a.resolve();
    b.resolve();
    QVERIFY(Deferred<>::when(a, b).isResolved());

    Deferred<int> c;
    Deferred<QString> e;
    c.resolve(1);
    e.reject("x");
    auto joined = Deferred<>::when(c, e);
    QVERIFY(joined.isRejected());
    bool failed = false;
    joined.fail([&] { failed = true; }); // ordinary rejection: a later fail runs at once
    QVERIFY(failed);
}

void TestChain::joinWaitsForEveryInput()
{
    Deferred<> a;
    Deferred<int> b;
    auto joined = Deferred<>::when(a, b);
    int done = 0;
    joined.done([&] { ++done; });
    a.resolve();
    QVERIFY(joined.isPending());
    b.resolve(1);
    QVERIFY(joined.isResolved());
    QCOMPARE(done, 1);
}

void TestChain::joinFailsAtFirstFailure()
{
    LogCapture log;
    {
        Deferred<> a, b;
        auto joined = Deferred<>::when(a, b);
        int failed = 0, failedZero = 0;
        joined.fail([&] { ++failed; }).failZero([&] { ++failedZero; });
        a.reject();
        QVERIFY(joined.isRejected());
        QCOMPARE(failed, 1);
        QCOMPARE(failedZero, 1);
        b.reject(); // nothing more, and no warning
        QCOMPARE(failed, 1);
    }
    {
        Deferred<> a, b;
        auto joined = Deferred<>::when(a, b);
        bool done = false;
        joined.done([&] { done = true; });
        a.rejectZero();
        b.resolve();
        QVERIFY(!done);
        QVERIFY(joined.isRejected());
    }
    QVERIFY(log.texts().isEmpty());
}

void TestChain::joinOverListInAnyOrder()
{
    const QList<QList<int>> orders = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (const auto &order : orders) {
        QList<Deferred<QString>> markers{Deferred<QString>(), Deferred<QString>(), Deferred<QString>()};
        auto joined = Deferred<>::when(markers);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(joined.isPending());
            markers[order[i]].resolve(QString::number(i));
        }
        QVERIFY(joined.isResolved());
    }
}

void TestChain::joinOverEmptyListResolves()
{
    // A trigger pass whose role filter selects no camera joins nothing.
    QList<Deferred<QString>> none;
    auto joined = Deferred<>::when(none);
    QVERIFY(joined.isResolved());
    bool done = false;
    joined.done([&] { done = true; });
    QVERIFY(done);
}

void TestChain::joinRunsAfterTheInputsOwnHandlers()
{
    Deferred<QString> a, b;
    QStringList calls;
    auto joined = Deferred<>::when(QList<Deferred<QString>>{a, b});
    joined.done([&] { calls << "joined"; });
    a.done([&](QString s) { calls << s; });
    b.done([&](QString s) { calls << s; });
    a.resolve("a");
    b.resolve("b");
    QCOMPARE(calls, QStringList({"a", "b", "joined"}));
}

QTEST_GUILESS_MAIN(TestChain)
#include "tst_chain.moc"
