#include "Common/LocalZone.h"
#include "Common/Utils.h"
#include "LogCapture.h"
#include "TestUtil.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>

namespace {
class Emitter : public QObject
{
    Q_OBJECT
signals:
    void ping();
    void card(const QString &uid);
};
} // namespace

class TestUtils : public QObject
{
    Q_OBJECT
private slots:
    void levelNames_data();
    void levelNames();
    void jsonConversions();
    void randomStaysWithinBoundsWithBellShape();
    void randomWithoutRangeGivesMin();

    void waitSignalResolvesOnceForTwoEmissions();
    void waitSignalPassesSignalsWithArguments();
    void waitSignalTimesOut();
    void waitSignalWithoutLimitWaits();
    void waitSignalIgnoresEarlierAndLaterEmissions();
    void waitSignalOnDestroyedObjectStaysPending();
    void localZonePinnedReadsTheSameZone();
};

void TestUtils::levelNames_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("name");
    QTest::newRow("negative") << -5 << "EMPTY";
    QTest::newRow("9") << 9 << "EMPTY";
    QTest::newRow("10") << 10 << "LOW";
    QTest::newRow("24") << 24 << "LOW";
    QTest::newRow("25") << 25 << "OK";
    QTest::newRow("74") << 74 << "OK";
    QTest::newRow("75") << 75 << "ALMOST_FULL";
    QTest::newRow("89") << 89 << "ALMOST_FULL";
    QTest::newRow("90") << 90 << "FULL";
    QTest::newRow("150") << 150 << "FULL";
}

void TestUtils::levelNames()
{
    QFETCH(int, percent);
    QFETCH(QString, name);
    QCOMPARE(Utils::levelToStr(percent), name);
}

void TestUtils::jsonConversions()
{
    QVERIFY(Utils::strToJson(QString()).isNull());
    QVERIFY(Utils::strToJson(QStringLiteral("")).isNull());
    QCOMPARE(Utils::strToJson(QStringLiteral(" ")), QJsonValue(QStringLiteral(" ")));
    QCOMPARE(Utils::strToJson(QStringLiteral("ABC123")), QJsonValue(QStringLiteral("ABC123")));

    QVERIFY(Utils::dateToJson(QDateTime()).isNull());
    const QDate day(2024, 3, 5);
    const QTime time(7, 8, 9, 450);
    QCOMPARE(Utils::dateToJson(QDateTime(day, time, Qt::LocalTime)), QJsonValue("2024-03-05T07:08:09"));
    QCOMPARE(Utils::dateToJson(QDateTime(day, time, Qt::UTC)), QJsonValue("2024-03-05T07:08:09Z"));
    // Written without Qt's formatter, yet exactly its ISO form, for local, UTC and offset times of any year.
    for (const QDateTime &t : {QDateTime(QDate(1000, 1, 1), QTime(0, 0)),
                               QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59, 999), Qt::UTC),
                               QDateTime(QDate(999, 12, 31), QTime(23, 59, 59)),
                               QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC),
                               QDateTime(day, time, Qt::OffsetFromUTC, -5400)}) {
        QCOMPARE(Utils::dateToJson(t), QJsonValue(t.toString(Qt::ISODate)));
        QCOMPARE(Utils::isoText(t.toUTC()), t.toUTC().toString(Qt::ISODate));
        QCOMPARE(Utils::dateTimeText(t), t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
    }

    // Texts from outside that repeat a name in an object are refused before Qt's parser
    // (which would leak the earlier value); names compare unescaped, up to a NUL.
#define WITH_NUL "{\"a\0b\":{},\"a\0c\":1}"
    const QList<QPair<QByteArray, bool>> texts{
        {"{\"a\":{\"b\":1},\"c\":[{\"a\":1}]}", false}, {"[{\"a\":1},{\"a\":2}]", false},
        {"{\"a\":\"a\",\"b\":\"a\"}", false},            {"{\"a\":{},\"a\":1}", true},
        {"{\"x\":{\"a\":[],\"a\":1}}", true},             {"{\"A\":{},\"\\u0041\":1}", true},
        {QByteArray(WITH_NUL, sizeof(WITH_NUL) - 1), true}};
    for (const auto &t : texts) {
        QJsonParseError e;
        QCOMPARE(Utils::parseJson(t.first, &e).isNull(), t.second);
        QCOMPARE(e.error != QJsonParseError::NoError, t.second);
    }
}

void TestUtils::randomStaysWithinBoundsWithBellShape()
{
    const int draws = 6000;
    int nearMiddle = 0; // within one standard deviation (100 / 6) of 50
    double sum = 0;
    for (int i = 0; i < draws; ++i) {
        const int v = Utils::random(0, 100);
        QVERIFY2(v >= 0 && v <= 100, qPrintable(QString::number(v)));
        sum += v;
        nearMiddle += qAbs(v - 50) <= 16;
    }
    QVERIFY(qAbs(sum / draws - 50) < 2);
    // About 68 % for a normal spread; a uniform one would give about 33 %.
    QVERIFY2(nearMiddle > draws * 55 / 100 && nearMiddle < draws * 80 / 100, qPrintable(QString::number(nearMiddle)));

    for (int i = 0; i < 200; ++i) {
        const int v = Utils::random(INT_MIN, INT_MAX);
        Q_UNUSED(v) // no overflow on the widest range
        const int w = Utils::random(-3, -1);
        QVERIFY(w >= -3 && w <= -1);
    }
}

void TestUtils::randomWithoutRangeGivesMin()
{
    for (int i = 0; i < 50; ++i)
        QCOMPARE(Utils::random(5, 5), 5);
    QCOMPARE(Utils::random(10, 3), 10);
    QCOMPARE(Utils::random(INT_MAX, INT_MIN), INT_MAX);
}

void TestUtils::waitSignalResolvesOnceForTwoEmissions()
{
    LogCapture log;
    Emitter emitter;
    int done = 0, failed = 0;
    auto wait = Utils::waitSignal(&emitter, &Emitter::ping, 200);
    wait.done([&] { ++done; }).fail([&] { ++failed; });
    emit emitter.ping();
    emit emitter.ping();
    QCOMPARE(done, 1);
    QVERIFY(wait.isResolved());
    // The time-out timer is stopped and goes away; it never rejects afterwards.
    QVERIFY(QTest::qWaitFor([&] { return emitter.findChildren<QTimer *>().isEmpty(); }, 2000));
    Deferred<> later = Utils::waitSignal(&emitter, &Emitter::card, 400); // outlasts the first time-out
    QVERIFY(TestUtil::waitUntil([&] { return !later.isPending(); }, 15000));
    QCOMPARE(done, 1);
    QCOMPARE(failed, 0);
    QCOMPARE(log.countContaining("already processed"), 0);
}

void TestUtils::waitSignalPassesSignalsWithArguments()
{
    Emitter emitter;
    auto wait = Utils::waitSignal(&emitter, &Emitter::card, 5000);
    emit emitter.card(QStringLiteral("04A1B2"));
    QVERIFY(wait.isResolved());
}

void TestUtils::waitSignalTimesOut()
{
    Emitter emitter;
    QElapsedTimer clock;
    clock.start();
    int failed = 0;
    auto wait = Utils::waitSignal(&emitter, &Emitter::ping, 1000);
    wait.fail([&] { ++failed; });
    QVERIFY(TestUtil::waitUntil([&] { return !wait.isPending(); }, 15000));
    const qint64 elapsed = clock.elapsed();
    QVERIFY(wait.isRejected());
    QCOMPARE(failed, 1);
    QVERIFY2(elapsed >= 900, qPrintable(QString::number(elapsed))); // coarse timers may fire 5 % early
    QVERIFY2(elapsed < 6000, qPrintable(QString::number(elapsed)));
}

void TestUtils::waitSignalWithoutLimitWaits()
{
    Emitter emitter, reference;
    auto unlimited = Utils::waitSignal(&emitter, &Emitter::ping, 0);
    auto limited = Utils::waitSignal(&reference, &Emitter::ping, 300);
    QVERIFY(TestUtil::waitUntil([&] { return limited.isRejected(); }, 15000));
    QVERIFY(unlimited.isPending());
    emit emitter.ping();
    QVERIFY(unlimited.isResolved());
}

void TestUtils::waitSignalIgnoresEarlierAndLaterEmissions()
{
    LogCapture log;
    Emitter emitter;
    emit emitter.ping();
    auto wait = Utils::waitSignal(&emitter, &Emitter::ping, 100);
    QVERIFY(wait.isPending());
    QVERIFY(TestUtil::waitUntil([&] { return !wait.isPending(); }, 15000));
    QVERIFY(wait.isRejected());
    emit emitter.ping(); // after the time-out: no longer connected
    QVERIFY(wait.isRejected());
    QCOMPARE(log.countContaining("already processed"), 0);
    QVERIFY(QTest::qWaitFor([&] { return emitter.findChildren<QTimer *>().isEmpty(); }, 2000));
}

void TestUtils::waitSignalOnDestroyedObjectStaysPending()
{
    auto *emitter = new Emitter;
    auto wait = Utils::waitSignal(emitter, &Emitter::ping, 100);
    delete emitter; // the timer goes with it
    auto reference = Utils::waitSignal(this, &QObject::objectNameChanged, 300);
    QVERIFY(TestUtil::waitUntil([&] { return reference.isRejected(); }, 15000));
    QVERIFY(wait.isPending());
}

// Pinned or read again, the zone is the system's: a summer and a winter day convert as
// before. A zone chosen from outside is left alone.
void TestUtils::localZonePinnedReadsTheSameZone()
{
    const QDateTime winter(QDate(2026, 1, 15), QTime(12, 0)), summer(QDate(2026, 7, 15), QTime(12, 0));
    const auto offsets = [&] { return QPair<int, int>(winter.toLocalTime().offsetFromUtc(), summer.toLocalTime().offsetFromUtc()); };
    const QByteArray given = qgetenv("TZ");
    qunsetenv("TZ");
    const auto before = offsets();
    LocalZone::pin();
    QCOMPARE(qgetenv("TZ"), QByteArray(":/etc/localtime"));
    QCOMPARE(offsets(), before);
    LocalZone::reload();
    QCOMPARE(qgetenv("TZ"), QByteArray(":/etc/localtime"));
    QCOMPARE(offsets(), before);
    qputenv("TZ", "UTC");
    LocalZone::pin();
    QCOMPARE(qgetenv("TZ"), QByteArray("UTC"));

    // A changed zone file is taken up at reload(), not before.
    QTemporaryDir dir;
    const QString file = dir.filePath("localtime");
    const auto summerOffset = [] { return QDateTime(QDate(2026, 7, 15), QTime(12, 0), Qt::UTC).toLocalTime().offsetFromUtc(); };
    QVERIFY(QFile::copy("/usr/share/zoneinfo/Europe/Athens", file));
    qunsetenv("TZ");
    LocalZone::pin(QFile::encodeName(file).constData());
    QCOMPARE(summerOffset(), 3 * 3600);
    QVERIFY(QFile::remove(file) && QFile::copy("/usr/share/zoneinfo/Asia/Tokyo", file));
    QCOMPARE(summerOffset(), 3 * 3600);
    LocalZone::reload();
    QCOMPARE(summerOffset(), 9 * 3600);
    given.isNull() ? qunsetenv("TZ") : qputenv("TZ", given);
}

QTEST_GUILESS_MAIN(TestUtils)
#include "tst_utils.moc"
