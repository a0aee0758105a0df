#include "Deferred/Deferred.h"
#include "DeferredTestSupport.h"
#include "LogCapture.h"

#include <QJsonValue>
#include <QProcess>
#include <QSemaphore>
#include <QtTest>

std::atomic<int> Tracked::alive{0};

namespace {
const QString kResolveWarning = QStringLiteral("Cannot resolve already processed deferred object.");
const QString kRejectWarning = QStringLiteral("Cannot reject already processed deferred object.");
const QString kNotifyWarning = QStringLiteral("Cannot notify already processed deferred object.");
} // namespace

class TestDeferred : public QObject
{
    Q_OBJECT
private slots:
    void handlersRunInRegistrationOrder();
    void lateHandlersRunAtOnceWithStoredValues();
    void handlersGetTheirOwnCopies();
    void secondSettlementOnlyWarns();
    void rejectZeroRunsOnlyValuelessFailureHandlers();
    void progressRunsOnEveryNotify();
    void connectionTypes();
    void handlersMayCallBackIntoTheirResult();
    void valuelessResults();

    void deliveredToRegisteringThread();
    void progressDeliveredToRegisteringThread();
    void threadThatEndedGetsNothing();
    void restartedThreadGetsOnlyItsNewHandlers();
    void resultOutlivesQueuedDelivery();
    void discardedDeliveryReleasesResult();
    void oneDeliveryObjectPerThread();
    void exitLogsRegistryDeletion();
};

void TestDeferred::handlersRunInRegistrationOrder()
{
    Deferred<int, QJsonValue> d;
    QStringList calls;
    d.done([&](int status, QJsonValue body) { calls << QString("a%1%2").arg(status).arg(body.toString()); })
        .done([&](int status, QJsonValue) { calls << QString("b%1").arg(status); });
    d.doneZero([&] { calls << "zero"; });
    d.fail([&](int, QJsonValue) { calls << "fail"; });
    d.failZero([&] { calls << "failZero"; });
    QVERIFY(d.isPending());
    d.resolve(200, QJsonValue("x"));
    QCOMPARE(calls, QStringList({"a200x", "b200", "zero"}));
    QVERIFY(d.isResolved());

    // Copies share one result.
    Deferred<QString> original;
    Deferred<QString> copy = original;
    QString got;
    copy.done([&](QString s) { got = s; });
    original.resolve("shared");
    QCOMPARE(got, QString("shared"));
    QVERIFY(copy.isResolved());
}

void TestDeferred::lateHandlersRunAtOnceWithStoredValues()
{
    Deferred<int, QString> d;
    d.resolve(7, "seven");
    QString got;
    d.done([&](int n, QString s) { got = QString::number(n) + s; }, Qt::QueuedConnection);
    QCOMPARE(got, QString("7seven")); // at once, whatever the connection type
    bool zero = false;
    d.doneZero([&] { zero = true; });
    QVERIFY(zero);
    bool failed = false;
    d.fail([&](int, QString) { failed = true; });
    d.failZero([&] { failed = true; });
    QVERIFY(!failed);

    Deferred<int> r;
    r.reject(3);
    int rejected = 0;
    r.fail([&](int n) { rejected = n; });
    QCOMPARE(rejected, 3);
    bool rejectedZero = false;
    r.failZero([&] { rejectedZero = true; });
    QVERIFY(rejectedZero);
    r.done([&](int) { QFAIL("done after rejection"); });
}

void TestDeferred::handlersGetTheirOwnCopies()
{
    Deferred<QString, Tracked> d;
    QStringList seen;
    d.done([&](QString s, Tracked t) {
        seen << s + QString::number(t.value);
        s = "changed";
        t.value = 99;
    });
    d.done([&](QString s, Tracked t) { seen << s + QString::number(t.value); });
    d.resolve("v", Tracked(1));
    d.done([&](QString s, Tracked t) { seen << s + QString::number(t.value); });
    QCOMPARE(seen, QStringList({"v1", "v1", "v1"}));
}

void TestDeferred::secondSettlementOnlyWarns()
{
    LogCapture log;
    Deferred<int> d;
    int failed = 0, done = 0;
    d.fail([&](int) { ++failed; });
    d.done([&](int) { ++done; });
    d.resolve(1);
    d.reject(2);
    QCOMPARE(log.count(kRejectWarning), 1);
    d.rejectZero();
    QCOMPARE(log.count(kRejectWarning), 2);
    d.resolve(3);
    QCOMPARE(log.count(kResolveWarning), 1);
    d.notify(4);
    QCOMPARE(log.count(kNotifyWarning), 1);
    QCOMPARE(failed, 0);
    QCOMPARE(done, 1);
    int stored = 0;
    d.done([&](int n) { stored = n; });
    QCOMPARE(stored, 1);
    QVERIFY(d.isResolved());
    // The warnings are logged at warning level, without any prefix.
    QCOMPARE(log.texts(QtWarningMsg), QStringList({kRejectWarning, kRejectWarning, kResolveWarning, kNotifyWarning}));
}

void TestDeferred::rejectZeroRunsOnlyValuelessFailureHandlers()
{
    LogCapture log;
    Deferred<QString> d;
    QStringList calls;
    d.fail([&](QString) { calls << "fail"; });
    d.failZero([&] { calls << "failZero"; });
    d.doneZero([&] { calls << "doneZero"; });
    d.rejectZero();
    QCOMPARE(calls, QStringList({"failZero"}));
    QVERIFY(d.isRejected());
    d.fail([&](QString) { calls << "late fail"; });
    d.failZero([&] { calls << "late failZero"; });
    QCOMPARE(calls, QStringList({"failZero", "late failZero"}));
    d.reject("again");
    QCOMPARE(log.count(kRejectWarning), 1);
    QCOMPARE(calls.size(), 2);
}

void TestDeferred::progressRunsOnEveryNotify()
{
    LogCapture log;
    Deferred<int, QString> d;
    QStringList a, b;
    d.progress([&](int n, QString s) { a << QString::number(n) + s; });
    d.progress([&](int n, QString s) { b << QString::number(n) + s; });
    d.notify(10, "x");
    d.notify(20, "y");
    QCOMPARE(a, QStringList({"10x", "20y"}));
    QCOMPARE(b, a);
    d.resolve(100, "done");
    d.notify(30, "z");
    QCOMPARE(log.count(kNotifyWarning), 1);
    d.progress([&](int, QString) { a << "late"; });
    QCOMPARE(a.size(), 2);
    QCOMPARE(b.size(), 2);
}

void TestDeferred::connectionTypes()
{
    // Queued on the registering thread: runs from the event loop, after resolve returned.
    Deferred<int> d;
    int queued = 0, direct = 0, other = 0;
    d.done([&](int n) { queued = n; }, Qt::QueuedConnection);
    d.done([&](int n) { direct = n; }, Qt::DirectConnection);
    d.done([&](int n) { other = n; }, Qt::BlockingQueuedConnection); // never delivered at settlement
    d.resolve(5);
    QCOMPARE(direct, 5);
    QCOMPARE(queued, 0);
    QVERIFY(QTest::qWaitFor([&] { return queued == 5; }, 2000));
    QCoreApplication::processEvents();
    QCOMPARE(other, 0);
    // Registered after settlement it runs at once whatever its type.
    d.done([&](int n) { other = n; }, Qt::BlockingQueuedConnection);
    QCOMPARE(other, 5);

    Deferred<> z;
    bool zeroQueued = false;
    z.failZero([&] { zeroQueued = true; }, Qt::QueuedConnection);
    z.rejectZero();
    QVERIFY(!zeroQueued);
    QVERIFY(QTest::qWaitFor([&] { return zeroQueued; }, 2000));
}

void TestDeferred::handlersMayCallBackIntoTheirResult()
{
    LogCapture log;
    Deferred<int> d;
    QStringList calls;
    d.done([&](int) {
        calls << "first";
        d.done([&](int) { calls << "nested"; }); // resolved already: runs at once, nested
        d.resolve(2);                            // settling again only warns
    });
    d.done([&](int) { calls << "second"; });
    d.resolve(1);
    QCOMPARE(calls, QStringList({"first", "nested", "second"}));
    QCOMPARE(log.count(kResolveWarning), 1);

    // A handler that settles another result runs that settlement nested.
    Deferred<int> other;
    int got = 0;
    other.done([&](int n) { got = n; });
    Deferred<int> trigger;
    trigger.done([&](int n) { other.resolve(n * 2); });
    trigger.resolve(21);
    QCOMPARE(got, 42);

    // A handler that replaces the very handle the result is being settled through
    // (a member reset for the next operation): the settlement still finishes on the
    // old result, and later handlers get its values.
    auto member = std::make_unique<Deferred<int>>();
    QList<int> seen;
    member->done([&](int n) {
        seen << n;
        *member = Deferred<int>(); // drops the last other holder of the settling result
    });
    member->done([&](int n) { seen << n; });
    member->done([&](int n) { seen << n; }, Qt::QueuedConnection);
    member->resolve(5);
    QCOMPARE(seen, QList<int>({5, 5}));
    QVERIFY(QTest::qWaitFor([&] { return seen.size() == 3; }, 2000));
    QCOMPARE(seen, QList<int>({5, 5, 5}));
    QVERIFY(member->isPending());

    // The same for a rejection without values and for progress.
    member->failZero([&] {
        seen << -1;
        *member = Deferred<int>();
    });
    member->failZero([&] { seen << -2; });
    member->rejectZero();
    QCOMPARE(seen.mid(3), QList<int>({-1, -2}));
    member->progress([&](int n) {
        seen << n;
        *member = Deferred<int>();
    });
    member->progress([&](int n) { seen << n; });
    member->notify(9);
    QCOMPARE(seen.mid(5), QList<int>({9, 9}));

    // A handler run at once on registration may reassign the handle too.
    member->resolve(3);
    const Deferred<int> same = member->done([&](int n) {
        seen << n;
        *member = Deferred<int>();
    });
    QCOMPARE(seen.mid(7), QList<int>({3}));
    QVERIFY(same.isResolved()); // the handle returned is still the one registered on
    QVERIFY(member->isPending());
}

void TestDeferred::valuelessResults()
{
    Deferred<> ok, bad;
    int done = 0, failed = 0;
    ok.done([&] { ++done; }).fail([&] { ++failed; });
    bad.done([&] { ++done; }).fail([&] { ++failed; });
    ok.resolve();
    bad.reject();
    QCOMPARE(done, 1);
    QCOMPARE(failed, 1);
    bad.fail([&] { ++failed; }); // rejected with (no) values: a later fail runs at once
    QCOMPARE(failed, 2);
}

void TestDeferred::deliveredToRegisteringThread()
{
    LoopThread b;
    // Registered on the main thread, settled on b: runs later on the main thread.
    {
        Deferred<int> d;
        std::atomic<QThread *> ranOn{nullptr};
        std::atomic<int> got{0};
        d.done([&](int n) {
            got = n;
            ranOn = QThread::currentThread();
        });
        b.call([&] { d.resolve(9); }); // the main thread is blocked meanwhile
        QCOMPARE(got.load(), 0);
        QVERIFY(QTest::qWaitFor([&] { return got == 9; }, 2000));
        QCOMPARE(ranOn.load(), QThread::currentThread());
    }
    // Registered on thread a, settled on thread b: runs on a.
    {
        LoopThread a;
        Deferred<QString> d;
        std::atomic<QThread *> doneOn{nullptr}, zeroOn{nullptr};
        a.call([&] {
            d.done([&](QString) { doneOn = QThread::currentThread(); });
            d.doneZero([&] { zeroOn = QThread::currentThread(); });
        });
        b.call([&] { d.resolve("x"); });
        QVERIFY(QTest::qWaitFor([&] { return doneOn && zeroOn; }, 2000));
        QCOMPARE(doneOn.load(), static_cast<QThread *>(&a));
        QCOMPARE(zeroOn.load(), static_cast<QThread *>(&a));
    }
    // Rejection with values reaches fail handlers on their own thread too.
    {
        LoopThread a;
        Deferred<int> d;
        std::atomic<int> got{0};
        std::atomic<QThread *> ranOn{nullptr};
        a.call([&] {
            d.fail([&](int n) {
                ranOn = QThread::currentThread();
                got = n;
            });
        });
        d.reject(4);
        QVERIFY(QTest::qWaitFor([&] { return got == 4; }, 2000));
        QCOMPARE(ranOn.load(), static_cast<QThread *>(&a));
    }
}

void TestDeferred::progressDeliveredToRegisteringThread()
{
    LoopThread b;
    Deferred<int> d;
    QList<int> seen;
    QList<QThread *> threads;
    d.progress([&](int n) {
        seen << n;
        threads << QThread::currentThread();
    });
    b.call([&] {
        d.notify(1);
        d.notify(2);
        d.notify(3);
    });
    QVERIFY(seen.isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return seen.size() == 3; }, 2000));
    QCOMPARE(seen, QList<int>({1, 2, 3}));
    QCOMPARE(threads, QList<QThread *>({QThread::currentThread(), QThread::currentThread(), QThread::currentThread()}));
}

void TestDeferred::threadThatEndedGetsNothing()
{
    std::atomic<int> ran{0};
    Deferred<int> first;
    Deferred<> second;
    Deferred<int> dropped;
    LoopThread a;
    a.call([&] {
        first.done([&](int) { ++ran; }, Qt::DirectConnection);
        first.done([&](int) { ++ran; });
        second.failZero([&] { ++ran; });
        dropped.done([&](int) { ++ran; });
    });
    dropped = Deferred<int>(); // destroyed before the thread's delivery object
    a.stop();
    QVERIFY(a.isFinished());
    QCoreApplication::processEvents();
    first.resolve(1);
    second.rejectZero();
    QCOMPARE(ran.load(), 0);
    // The results still serve the threads that remain.
    int here = 0;
    first.done([&](int n) { here = n; });
    QCOMPARE(here, 1);
}

void TestDeferred::restartedThreadGetsOnlyItsNewHandlers()
{
    Deferred<QString> d;
    std::atomic<int> before{0}, after{0};
    LoopThread a;
    a.call([&] { d.done([&](QString) { ++before; }); });
    a.stop();
    a.begin();
    a.call([&] { d.done([&](QString) { ++after; }); });
    d.resolve("x");
    QVERIFY(QTest::qWaitFor([&] { return after == 1; }, 2000));
    a.stop();
    QCOMPARE(before.load(), 0);
    QCOMPARE(after.load(), 1);
}

void TestDeferred::resultOutlivesQueuedDelivery()
{
    QCOMPARE(Tracked::alive.load(), 0);
    int got = 0;
    {
        Deferred<Tracked> d;
        d.done([&](Tracked t) { got = t.value; }, Qt::QueuedConnection);
        d.resolve(Tracked(8));
    } // last handle gone while the delivery is queued
    QVERIFY(Tracked::alive > 0);
    QCOMPARE(got, 0);
    QVERIFY(QTest::qWaitFor([&] { return got == 8; }, 2000));
    QVERIFY(QTest::qWaitFor([&] { return Tracked::alive == 0; }, 2000));
}

void TestDeferred::discardedDeliveryReleasesResult()
{
    // A thread without an event loop registers, its delivery is posted, and the
    // thread ends before dispatching it: the delivery is discarded with the result.
    class Registrar : public QThread
    {
    public:
        Deferred<Tracked> *d = nullptr;
        QSemaphore registered, release;
        std::atomic<bool> ran{false};
        void run() override
        {
            d->done([this](Tracked) { ran = true; });
            registered.release();
            release.acquire();
        }
    } thread;
    QCOMPARE(Tracked::alive.load(), 0);
    {
        Deferred<Tracked> d;
        thread.d = &d;
        thread.start();
        thread.registered.acquire();
        d.resolve(Tracked(1));
        thread.d = nullptr;
    }
    QVERIFY(Tracked::alive > 0); // held by the queued delivery
    thread.release.release();
    QVERIFY(thread.wait(15000));
    QVERIFY(!thread.ran);
    QCOMPARE(Tracked::alive.load(), 0);
}

void TestDeferred::oneDeliveryObjectPerThread()
{
    LoopThread a;
    DeferredProxyObject *first = nullptr, *second = nullptr;
    Deferred<int> x;
    Deferred<QString> y;
    a.call([&] {
        x.done([](int) {});
        first = DeferredDataBase::getObjectForThread(QThread::currentThread());
        y.fail([](QString) {});
        second = DeferredDataBase::getObjectForThread(QThread::currentThread());
    });
    QVERIFY(first);
    QCOMPARE(first, second);
    QCOMPARE(first->thread(), static_cast<QThread *>(&a));
    QVERIFY(first != DeferredDataBase::getObjectForThread(QThread::currentThread()));
}

void TestDeferred::exitLogsRegistryDeletion()
{
    auto runChild = [](const QString &mode) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DEFERRED_EXIT_CHILD", mode);
        env.remove("QT_MESSAGE_PATTERN");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        if (!child.waitForFinished(20000))
            return QStringList({"timeout"});
        return QString::fromUtf8(child.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    };
    const QStringList used = runChild("register");
    QCOMPARE(used.count("DeferredDataBase was deleted."), 1);
    const QStringList unused = runChild("idle");
    QCOMPARE(unused.count("DeferredDataBase was deleted."), 0);
}

int main(int argc, char **argv)
{
    const QByteArray child = qgetenv("DEFERRED_EXIT_CHILD");
    if (!child.isEmpty()) {
        QCoreApplication app(argc, argv);
        if (child == "register") {
            Deferred<int> d;
            d.done([](int) {});
            d.resolve(1);
        }
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestDeferred test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_deferred.moc"
