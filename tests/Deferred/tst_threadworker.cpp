#include "Deferred/ThreadWorker.h"
#include "LogCapture.h"

#include <QPointer>
#include <QSemaphore>
#include <QtTest>

#include <atomic>

namespace {
const QString kInvalidLoop = QStringLiteral("ThreadWorker::stopLoopInThread : Invalid loop Id.");

// Waits (handling events) until the result is settled; returns it.
Deferred<> settle(const Deferred<> &d, int ms = 5000)
{
    const bool settled = QTest::qWaitFor([&] { return !d.isPending(); }, ms);
    Q_UNUSED(settled)
    return d;
}
} // namespace

class TestThreadWorker : public QObject
{
    Q_OBJECT
private slots:
    void runsFunctionsInItsThread();
    void loopsRunUntilStopped();
    void unknownLoopIdIsRefused();
    void stopAllStopsEveryLoop();
    void quitRunsPendingFunctionsFirst();
    void quittingWorkerRefusesEverything();
    void lastHandleEndsTheThread();
};

void TestThreadWorker::runsFunctionsInItsThread()
{
    ThreadWorker worker;
    QThread *thread = worker.getThread();
    QVERIFY(thread && thread != QThread::currentThread());
    QCOMPARE(worker.getThreadId(), QString("QThread(0x%1)").arg(quintptr(thread), 0, 16));
    QVERIFY(!worker.getThreadId().contains("0x0"));

    std::atomic<QThread *> ranOn{nullptr};
    QVERIFY(worker.execInThread([&] { ranOn = QThread::currentThread(); }));
    QVERIFY(QTest::qWaitFor([&] { return ranOn.load() != nullptr; }, 5000));
    QCOMPARE(ranOn.load(), thread);

    // Copies drive the same thread.
    ThreadWorker copy = worker;
    QCOMPARE(copy.getThread(), thread);

    QObject *object = new QObject;
    QVERIFY(worker.moveQObjectToThread(object));
    QCOMPARE(object->thread(), thread);
    QVERIFY(worker.execInThread([object] { delete object; }));

    QVERIFY(!worker.execInThread(std::function<void()>())); // nothing to run
    QCOMPARE(worker.startLoopInThread(std::function<void()>(), 10), -1);
    QVERIFY(settle(worker.quitThread()).isResolved());
}

void TestThreadWorker::loopsRunUntilStopped()
{
    ThreadWorker worker;
    std::atomic<int> ticks{0};
    std::atomic<QThread *> ranOn{nullptr};
    const int first = worker.startLoopInThread(
        [&] {
            ranOn = QThread::currentThread();
            ++ticks;
        },
        5);
    QCOMPARE(first, 1);
    QCOMPARE(worker.startLoopInThread([] {}, 1000), 2);
    QVERIFY(QTest::qWaitFor([&] { return ticks >= 3; }, 5000));
    QCOMPARE(ranOn.load(), worker.getThread());

    Deferred<> stopped = worker.stopLoopInThread(first);
    bool done = false;
    stopped.done([&] { done = true; });
    QVERIFY(settle(stopped).isResolved());
    QVERIFY(QTest::qWaitFor([&] { return done; }, 2000)); // delivered to this thread
    const int atStop = ticks;

    // A stopped id is not handed out again; the new loop serves as a clock.
    std::atomic<int> clock{0};
    QCOMPARE(worker.startLoopInThread([&] { ++clock; }, 5), 3);
    QVERIFY(QTest::qWaitFor([&] { return clock >= 10; }, 5000));
    QCOMPARE(ticks.load(), atStop);
    QVERIFY(settle(worker.quitThread()).isResolved());
}

void TestThreadWorker::unknownLoopIdIsRefused()
{
    LogCapture log;
    ThreadWorker worker;
    QVERIFY(settle(worker.stopLoopInThread(42)).isRejected());
    QVERIFY(log.contains(kInvalidLoop));
    const int id = worker.startLoopInThread([] {}, 50);
    QVERIFY(settle(worker.stopLoopInThread(id)).isResolved());
    QVERIFY(settle(worker.stopLoopInThread(id)).isRejected());
    QCOMPARE(log.count(kInvalidLoop), 2);
    QCOMPARE(log.texts(QtWarningMsg).count(kInvalidLoop), 2);
    QVERIFY(settle(worker.quitThread()).isResolved());
}

void TestThreadWorker::stopAllStopsEveryLoop()
{
    ThreadWorker worker;
    QVERIFY(settle(worker.stopAllLoopsInThread()).isResolved()); // no loops

    std::atomic<int> a{0}, b{0}, c{0};
    worker.startLoopInThread([&] { ++a; }, 2);
    worker.startLoopInThread([&] { ++b; }, 3);
    worker.startLoopInThread([&] { ++c; }, 4);
    QVERIFY(QTest::qWaitFor([&] { return a > 0 && b > 0 && c > 0; }, 5000));
    Deferred<> all = worker.stopAllLoopsInThread();
    int done = 0;
    all.done([&] { ++done; });
    QVERIFY(settle(all).isResolved());
    QVERIFY(QTest::qWaitFor([&] { return done == 1; }, 2000));
    const int sa = a, sb = b, sc = c;
    std::atomic<int> clock{0};
    worker.startLoopInThread([&] { ++clock; }, 5);
    QVERIFY(QTest::qWaitFor([&] { return clock >= 10; }, 5000));
    QCOMPARE(a.load(), sa);
    QCOMPARE(b.load(), sb);
    QCOMPARE(c.load(), sc);
    QCOMPARE(done, 1);
    QVERIFY(settle(worker.quitThread()).isResolved());
}

void TestThreadWorker::quitRunsPendingFunctionsFirst()
{
    ThreadWorker worker;
    QPointer<QThread> thread = worker.getThread();
    QSemaphore busy, release;
    std::atomic<bool> pendingRan{false};
    std::atomic<int> ticks{0};
    worker.startLoopInThread([&] { ++ticks; }, 1);
    // Keep the worker busy so that the next function is still queued at the quit.
    worker.execInThread([&] {
        busy.release();
        release.acquire();
    });
    worker.execInThread([&] { pendingRan = true; });
    busy.acquire();
    std::atomic<bool> finished{false};
    connect(thread, &QThread::finished, thread, [&] { finished = true; }, Qt::DirectConnection);
    Deferred<> quit = worker.quitThread();
    bool resolved = false, finishedFirst = false;
    quit.done([&] {
        resolved = true;
        finishedFirst = finished;
    });
    release.release();
    QVERIFY(QTest::qWaitFor([&] { return resolved; }, 5000));
    QVERIFY(pendingRan);
    QVERIFY(finishedFirst);
    // The thread object deletes itself once finished.
    QVERIFY(QTest::qWaitFor([&] { return thread.isNull(); }, 5000));
    QVERIFY(worker.quitThread().isResolved());
}

void TestThreadWorker::quittingWorkerRefusesEverything()
{
    ThreadWorker worker;
    QSemaphore release;
    worker.execInThread([&] { release.acquire(); });
    Deferred<> quit = worker.quitThread();
    // Refused at once, without a message, while quitting and after.
    LogCapture log;
    QVERIFY(!worker.execInThread([] {}));
    QCOMPARE(worker.startLoopInThread([] {}, 5), -1);
    QVERIFY(worker.stopLoopInThread(1).isRejected());
    QVERIFY(worker.stopAllLoopsInThread().isRejected());
    QObject object;
    QVERIFY(!worker.moveQObjectToThread(&object));
    QVERIFY(worker.quitThread().isResolved());
    release.release();
    QVERIFY(settle(quit).isResolved());
    QVERIFY(!worker.execInThread([] {}));
    QVERIFY(worker.stopLoopInThread(1).isRejected());
    QVERIFY(worker.quitThread().isResolved());
    QVERIFY(log.texts().isEmpty());
}

void TestThreadWorker::lastHandleEndsTheThread()
{
    QPointer<QThread> thread;
    {
        ThreadWorker worker;
        thread = worker.getThread();
        worker.startLoopInThread([] {}, 5);
    }
    // Asked to quit without waiting; once finished, the thread object goes away.
    QVERIFY(QTest::qWaitFor([&] { return thread.isNull(); }, 5000));

    // A worker whose thread ended and was deleted underneath it refuses safely.
    ThreadWorker worker;
    thread = worker.getThread();
    thread->quit();
    QVERIFY(QTest::qWaitFor([&] { return thread.isNull(); }, 5000));
    QVERIFY(!worker.execInThread([] {}));
    QVERIFY(worker.stopAllLoopsInThread().isRejected());
    QVERIFY(worker.quitThread().isResolved());
    QCOMPARE(worker.getThread(), static_cast<QThread *>(nullptr));
}

QTEST_GUILESS_MAIN(TestThreadWorker)
#include "tst_threadworker.moc"
