// The storage box against its capacity, with the count kept in a real settings file.
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Engines/StorageBox.h"

#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TstStorageBox : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_n = 0;

    QString settingsFile() const { return m_dir.filePath("settings/vexo/zuka-terminal-ui.conf"); }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName("vexo");
        QCoreApplication::setApplicationName("zuka-terminal-ui");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath("settings"));
    }

    void init() { QSettings().clear(); }

    // Count and capacity give the percentage (truncated), the level word and the full flag.
    void levels_data()
    {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("full");
        QTest::newRow("empty") << 250 << 0 << "EMPTY (0%, 0 of 250)" << false;
        QTest::newRow("89") << 250 << 224 << "ALMOST_FULL (89%, 224 of 250)" << false;
        QTest::newRow("90") << 250 << 225 << "FULL (90%, 225 of 250)" << true;
        QTest::newRow("truncated") << 7 << 1 << "LOW (14%, 1 of 7)" << false;
        QTest::newRow("no capacity") << 0 << 40 << "EMPTY (0%, 40 of 0)" << false;
        QTest::newRow("overfull") << 10 << 12 << "FULL (120%, 12 of 10)" << true;
    }

    void levels()
    {
        QFETCH(int, capacity);
        QFETCH(int, count);
        QFETCH(QString, text);
        QFETCH(bool, full);
        Config config(m_dir.filePath(QString("c%1.conf").arg(++m_n)), ConfigDefaults);
        config.set("terminal/storageBoxCapacity", capacity);
        StorageBox box(config);
        box.incrCount(count);
        QCOMPARE(box.toString(), text);
        QCOMPARE(box.isFull(), full);
    }

    // Every change of the count is on disk at once; a new box starts from it; a capacity
    // change moves the level at once; a reset of an empty box announces nothing.
    void keptAndFollowed()
    {
        Config config(m_dir.filePath("keep.conf"), {{"terminal/storageBoxCapacity", 250}});
        {
            StorageBox box(config);
            box.incrCount(49);
            box.incrCount();
            QSettings onDisk(settingsFile(), QSettings::IniFormat);
            QCOMPARE(onDisk.value("storageBox/count").toInt(), 50);
        }
        StorageBox box(config);
        QCOMPARE(box.toString(), QString("LOW (20%, 50 of 250)"));
        QSignalSpy level(&box, &StorageBox::levelChanged);
        QSignalSpy capacity(&box, &StorageBox::capacityChanged);
        config.set("terminal/storageBoxCapacity", 100);
        QCOMPARE(box.toString(), QString("OK (50%, 50 of 100)"));
        QCOMPARE(level.size(), 1);
        QCOMPARE(capacity.size(), 1);
        box.resetCount();
        QSignalSpy count(&box, &StorageBox::countChanged);
        box.resetCount();
        QCOMPARE(count.size(), 0);
        QCOMPARE(QSettings(settingsFile(), QSettings::IniFormat).value("storageBox/count").toInt(), 0);
    }
};

QTEST_GUILESS_MAIN(TstStorageBox)
#include "tst_storagebox.moc"
