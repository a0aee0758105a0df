// The event log: entries and their categories kept across a restart, the 30-day pruning,
// the 1000-entry limits, a failed save reported, and the filters of the screen.
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Logger.h"
#include "GUI/EventManager.h"
#include "GUI/GUIManager.h"
#include "LogCapture.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class TstEventLog : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    QStringList names(const EventManager &m)
    {
        QStringList out;
        for (QObject *o : m.data().value<QList<QObject *>>())
            out << static_cast<Event *>(o)->name();
        return out;
    }
    // A file of n entries, one a minute back from the given time.
    QString writeFile(const QString &name, int n, const QDateTime &newest)
    {
        const QString path = m_dir.filePath(name);
        QSettings s(path, QSettings::NativeFormat);
        s.beginWriteArray("events", n);
        for (int i = 0; i < n; ++i) {
            s.setArrayIndex(i);
            s.setValue("name", QString("e%1").arg(i));
            s.setValue("timestamp", newest.addSecs(60 * (i - n + 1)));
        }
        s.endArray();
        return path;
    }

private slots:
    void initTestCase() { manager::Logger::instance()->setSyslog(false); }

    void keptAcrossRestartAndPruned()
    {
        Config config(m_dir.filePath("a.conf"), ConfigDefaults);
        const QString path = m_dir.filePath("events.ini");
        const QDateTime now = QDateTime::currentDateTime();
        {
            EventManager events(config, nullptr, path);
            events.push(new Event("General", "Application started", "", now.addDays(-31)));
            events.push(new EventLogin("General", "Maintenance login", "User ID : 0", now.addDays(-30).addSecs(60)));
            events.push(new Event("Lane", "Barrier opened", "by hand", now));
        }
        LogCapture log;
        EventManager events(config, nullptr, path);
        // The entry older than 30 days is dropped at start, and the file rewritten.
        QVERIFY(log.contains("[EventManager] Loading saved events : from=0 to=3"));
        QVERIFY(log.containsPart("[EventManager] Deleted 1 event(s) older than "));
        QCOMPARE(names(events), (QStringList{"Barrier opened", "Maintenance login"}));
        const auto list = events.data().value<QList<QObject *>>();
        QCOMPARE(static_cast<Event *>(list[0])->category(), QString("Lane"));
        QCOMPARE(static_cast<Event *>(list[0])->description(), QString("by hand"));
        QCOMPARE(static_cast<Event *>(list[1])->category(), QString("General"));
        QCOMPARE(QSettings(path, QSettings::NativeFormat).value("events/size").toInt(), 2);
    }

    void limits()
    {
        Config config(m_dir.filePath("b.conf"), ConfigDefaults);
        const QDateTime now = QDateTime::currentDateTime();
        const QString path = writeFile("many.ini", 1500, now);
        LogCapture log;
        EventManager events(config, nullptr, path);
        QVERIFY(log.contains("[EventManager] Loading saved events : from=500 to=1500"));
        QCOMPARE(events.size(), 1000);
        QCOMPARE(names(events).last(), QString("e500"));
        events.push(new Event("General", "n1", "", now));
        QCOMPARE(events.size(), 1001);
        events.push(new Event("General", "n2", "", now));
        QCOMPARE(events.size(), 1001);
        QVERIFY(!names(events).contains("e500"));
        // The bound of clear is inclusive.
        events.clear(now.addSecs(-60 * 100));
        QVERIFY(!names(events).contains("e1399"));
        QVERIFY(names(events).contains("e1400"));
        // clear() on an empty log emits nothing.
        events.clear();
        QSignalSpy changed(&events, &EventManager::dataChanged);
        events.clear();
        QCOMPARE(changed.count(), 0);
    }

    void failedSaveIsLogged()
    {
        Config config(m_dir.filePath("c.conf"), ConfigDefaults);
        QFile blocker(m_dir.filePath("not-a-dir"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString path = blocker.fileName() + "/events.ini";
        EventManager events(config, nullptr, path);
        LogCapture log;
        events.push(new Event("General", "Application started", "", QDateTime::currentDateTime()));
        QVERIFY(log.contains("[EventManager] ERROR: Failed to save events to : " + path));
        QCOMPARE(events.size(), 1);  // still held in memory
    }

    void filters_data()
    {
        QTest::addColumn<QString>("period");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("all") << "All history" << "" << QStringList{"now login", "hour ago logout", "yesterday", "week"};
        QTest::newRow("name, any case") << "All history" << "LOGIN" << QStringList{"now login"};
        QTest::newRow("last 2 hours") << "Last 2 hours" << "" << QStringList{"now login", "hour ago logout"};
        QTest::newRow("yesterday") << "Yesterday" << "" << QStringList{"yesterday"};
        QTest::newRow("last week") << "Last week" << "" << QStringList{"now login", "hour ago logout", "yesterday"};
        QTest::newRow("exact text only") << "last week" << "" << QStringList{"now login", "hour ago logout", "yesterday", "week"};
    }
    void filters()
    {
        QFETCH(QString, period);
        QFETCH(QString, name);
        QFETCH(QStringList, shown);
        Config config(m_dir.filePath("d.conf"), ConfigDefaults);
        EventManager events(config, nullptr, m_dir.filePath(QString("f_%1.ini").arg(QTest::currentDataTag())));
        const QDateTime now = QDateTime::currentDateTime();
        const QDate today = now.date();
        events.push(new Event("General", "week", "", QDateTime(today.addDays(-8), QTime(12, 0))));
        events.push(new Event("General", "yesterday", "", QDateTime(today.addDays(-1), QTime(0, 0))));
        events.push(new Event("General", "now login", "", now));
        // Within today also in the first hour of the day, where "an hour ago" is yesterday.
        events.push(new Event("General", "hour ago logout", "", qMax(now.addSecs(-3600), QDateTime(today, QTime(0, 0)))));
        events.applyFilter(name);
        events.applyFilterPeriod(period);
        QCOMPARE(names(events), shown);
    }
};

QTEST_GUILESS_MAIN(TstEventLog)
#include "tst_eventlog.moc"
