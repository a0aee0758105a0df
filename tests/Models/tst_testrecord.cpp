// The card test run record: its completion result is shared by every copy, and a
// run settled with its own record is freed once nothing refers to it any more.
#include "Models/Test.h"

#include "LogCapture.h"

#include <QtTest>

#include <memory>

class TestTestRecord : public QObject
{
    Q_OBJECT
private slots:
    void settledWithItselfIsFreed_data()
    {
        QTest::addColumn<bool>("resolve");
        QTest::newRow("resolved") << true;
        QTest::newRow("rejected") << false;
    }
    void settledWithItselfIsFreed()
    {
        QFETCH(bool, resolve);
        LogCapture log(false);
        // A progress handler lives as long as the result: it tells when the result is freed.
        auto sentinel = std::make_shared<int>(0);
        std::weak_ptr<int> alive = sentinel;
        Test kept;
        {
            Test run;
            run.completion.progress([sentinel](Test) {});
            sentinel.reset();
            Test copy = run;
            copy.currCardIndex = 1;
            copy.completion.notify(copy);
            copy.result = resolve;
            resolve ? copy.completion.resolve(copy) : copy.completion.reject(copy);
            auto keep = [&](Test t) { kept = t; };
            resolve ? run.completion.done(keep) : run.completion.fail(keep);
            QCOMPARE(kept.result, resolve);
            QVERIFY(resolve ? kept.completion.isResolved() : kept.completion.isRejected());
            // Settling again only warns.
            kept.completion.resolve(kept);
            QCOMPARE(log.count(QStringLiteral("Cannot resolve already processed deferred object.")), 1);
        }
        // A record copied out of the result still refers to the run.
        QVERIFY(!alive.expired());
        QVERIFY(resolve ? kept.completion.isResolved() : kept.completion.isRejected());
        kept = Test();
        QVERIFY(alive.expired());
    }

    // Handlers that arrive after every record is gone still see how the run ended.
    void lateHandlerAfterRecordsAreGone()
    {
        Deferred<Test> handle;
        {
            Test run;
            run.name = "dispense";
            handle = run.completion;
            run.completion.resolve(run);
        }
        Test seen;
        handle.done([&](Test t) { seen = t; });
        QCOMPARE(seen.name, QStringLiteral("dispense"));
        QVERIFY(seen.completion.isResolved());
        QVERIFY(handle.isResolved());
    }
};

QTEST_GUILESS_MAIN(TestTestRecord)
#include "tst_testrecord.moc"
