// The session record: change notification only on real changes, the in-progress rule
// and the selection of plate and container readings.
#include "Engines/Session.h"

#include <QSignalSpy>
#include <QTest>

namespace {
// Readings described as "name=containerCode" ("alpr1=", "ccr1=NONE"); "name=null"
// stores a null pointer under the name.
Session::Readings makeReadings(const QStringList &items)
{
    Session::Readings readings;
    for (const QString &item : items) {
        const QString name = item.section('=', 0, 0);
        const QString code = item.section('=', 1);
        if (code == QLatin1String("null")) {
            readings.insert(name, VORReading::Ptr());
            continue;
        }
        VORReading::Ptr reading = VORReading::create(nullptr);
        reading->setType(name);
        reading->setContainerCode(code);
        readings.insert(name, reading);
    }
    return readings;
}

QString nameOf(const VORReading::Ptr &reading)
{
    return reading ? reading->type() : QStringLiteral("-");
}
} // namespace

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void stateChanges();
    void fieldsNotifyOnlyOnChange();
    void selection_data();
    void selection();
};

void TestSession::stateChanges()
{
    Session session;
    QSignalSpy spy(&session, &Session::stateChanged);
    QCOMPARE(session.state(), Session::Stopped);
    QVERIFY(!session.inProgress());

    session.setState(Session::Stopped);
    QCOMPARE(spy.count(), 0);
    session.setState(Session::Idle);
    QVERIFY(!session.inProgress());
    session.setState(Session::Error);
    QVERIFY(session.inProgress());
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).value<Session::State>(), Session::Idle);
    QCOMPARE(spy.at(1).at(1).value<Session::State>(), Session::Error);

    QCOMPARE(Session::stateToStr(Session::WaitCollect), QStringLiteral("WaitCollect"));
    QCOMPARE(Session::stateToStr(Session::State(42)), QStringLiteral("Unknown"));

    // Queued receivers get both states as arguments.
    QList<QPair<int, int>> seen;
    connect(&session, &Session::stateChanged, this,
            [&](Session::State prev, Session::State curr) { seen.append({prev, curr}); }, Qt::QueuedConnection);
    session.setState(Session::PostExit);
    QTRY_COMPARE(seen.size(), 1);
    QCOMPARE(seen.at(0), qMakePair(int(Session::Error), int(Session::PostExit)));
}

void TestSession::fieldsNotifyOnlyOnChange()
{
    Session session;
    QSignalSpy error(&session, &Session::errorChanged);
    QSignalSpy readings(&session, &Session::readingsChanged);
    QSignalSpy flag(&session, &Session::buttonPressedChanged);

    session.setError(QStringLiteral("Card not collected"));
    session.setError(QStringLiteral("Card not collected"));
    session.setButtonPressed(false);
    session.setButtonPressed(true);
    QCOMPARE(error.count(), 1);
    QCOMPARE(flag.count(), 1);

    const Session::Readings map = makeReadings({QStringLiteral("alpr1=")});
    session.setReadings(map);
    session.setReadings(Session::Readings(map)); // same names, same pointers
    QCOMPARE(readings.count(), 1);
    session.setReadings(makeReadings({QStringLiteral("alpr1=")})); // a new reading
    QCOMPARE(readings.count(), 2);

    QSignalSpy any(&session, &Session::stateChanged);
    session.setCard(QSharedPointer<ZUKAv1Card>::create());
    QVERIFY(session.card());
    QCOMPARE(any.count(), 0);
}

void TestSession::selection_data()
{
    QTest::addColumn<QStringList>("readings");
    QTest::addColumn<QString>("alpr");     // alprReading("")
    QTest::addColumn<QString>("ccr");      // ccrReading("")
    QTest::addColumn<QString>("ccrAll");   // ccrReadings(), joined
    QTest::addColumn<QString>("named");    // alprReading("ccr1")

    QTest::newRow("back plate only") << QStringList{"alpr2="} << "alpr2" << "-" << "" << "-";
    QTest::newRow("front wins") << QStringList{"alpr1=", "alpr2="} << "alpr1" << "-" << "" << "-";
    QTest::newRow("null front") << QStringList{"alpr1=null", "alpr2="} << "alpr2" << "-" << "" << "-";
    QTest::newRow("NONE container") << QStringList{"ccr1=NONE", "ccr2=B"} << "-" << "ccr2" << "ccr1,ccr2" << "ccr1";
    QTest::newRow("lower-case none") << QStringList{"ccr1=none", "ccr2=B"} << "-" << "ccr1" << "ccr1,ccr2" << "ccr1";
    QTest::newRow("empty container") << QStringList{"ccr1=", "ccr2=B"} << "-" << "ccr2" << "ccr1,ccr2" << "ccr1";
    QTest::newRow("no second") << QStringList{"ccr1=NONE"} << "-" << "-" << "ccr1" << "ccr1";
    QTest::newRow("name order") << QStringList{"alpr1=", "ccr2=B", "ccr1=A"} << "alpr1" << "ccr1" << "ccr1,ccr2"
                                << "ccr1";
    QTest::newRow("null container") << QStringList{"ccr1=null"} << "-" << "-" << "-" << "-";
}

void TestSession::selection()
{
    QFETCH(QStringList, readings);
    Session session;
    session.setReadings(makeReadings(readings));

    QTEST(nameOf(session.alprReading()), "alpr");
    QTEST(nameOf(session.ccrReading()), "ccr");
    QStringList all;
    for (const VORReading::Ptr &reading : session.ccrReadings())
        all.append(nameOf(reading));
    QTEST(all.join(','), "ccrAll");
    QTEST(nameOf(session.alprReading(QStringLiteral("ccr1"))), "named");
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_lanesession.moc"
