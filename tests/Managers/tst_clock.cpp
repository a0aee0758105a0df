// The clock manager against stand-ins of timedatectl and systemctl (tests/peers/system,
// put first on PATH, state in files) and a temporary copy of the timesyncd configuration.
#include "LogCapture.h"

#include "Managers/Clock.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using manager::Clock;

namespace {
const QByteArray DebianConfig = "[Time]\n#NTP=\n#FallbackNTP=0.debian.pool.ntp.org 1.debian.pool.ntp.org\n"
                                "#RootDistanceMaxSec=5\n";
}

class TestClock : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    void write(const QString &name, const QByteArray &content)
    {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

    QByteArray read(const QString &name) const
    {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // The stand-ins' calls since the last take.
    QStringList takeCalls()
    {
        const QStringList calls = QString::fromUtf8(read("calls")).split('\n', Qt::SkipEmptyParts);
        QFile::remove(path("calls"));
        return calls;
    }

    // A clock on the prepared state, not refreshing by itself.
    std::unique_ptr<Clock> makeClock()
    {
        auto clock = std::make_unique<Clock>(nullptr, path("timesyncd.conf"));
        clock->setRefreshInterval(0);
        takeCalls();
        return clock;
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(QLatin1String(Clock::DefaultConfigFile), QLatin1String("/etc/systemd/timesyncd.conf"));
        qputenv("PATH", QByteArray(PEERS_DIR "/system:") + qgetenv("PATH"));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("SYSTEM_SIM_DIR", m_dir->path().toUtf8());
        write("timesyncd.conf", DebianConfig);
        write("timezone", "UTC\n");
    }

    // Both forms of timedatectl's status: the older one first, Debian 12's second.
    void statusReading_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QString>("ntp");
        QTest::addColumn<QString>("synced");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("isSynced");

        QTest::newRow("current: active, synchronised") << "new" << "Europe/Athens" << "true" << "yes" << true << true;
        QTest::newRow("current: inactive, not synchronised") << "new" << "Europe/London" << "false" << "no" << false << false;
        QTest::newRow("older: active, synchronised") << "old" << "Europe/Athens" << "true" << "yes" << true << true;
        QTest::newRow("older: inactive") << "old" << "UTC" << "false" << "yes" << false << true;
        QTest::newRow("no synchronisation lines") << "bare" << "UTC" << "true" << "yes" << false << false;
    }

    void statusReading()
    {
        QFETCH(QString, form);
        QFETCH(QString, zone);
        QFETCH(QString, ntp);
        QFETCH(QString, synced);
        QFETCH(bool, enabled);
        QFETCH(bool, isSynced);

        write("form", form.toUtf8());
        write("timezone", zone.toUtf8());
        write("ntp", ntp.toUtf8());
        write("synced", synced.toUtf8());
        LogCapture log;
        auto clock = makeClock();
        QCOMPARE(clock->timezones(), (QStringList{"Europe/Athens", "Europe/London", "UTC"}));
        QCOMPARE(clock->timezone(), zone);
        QCOMPARE(clock->ntpEnabled(), enabled);
        QCOMPARE(clock->ntpSynced(), isSynced);
        QCOMPARE(log.count("[Clock] Timezone changed : " + zone), 1);
        QCOMPARE(log.count("[Clock] NTP status changed : enabled"), enabled ? 1 : 0);
        QCOMPARE(log.count("[Clock] NTP sync changed : synced"), isSynced ? 1 : 0);
    }

    void serverReading_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("server");

        QTest::newRow("commented fallback line read first")
            << QByteArray("[Time]\n#FallbackNTP=0.debian.pool.ntp.org\nNTP=ntp.lane.local\n") << "0.debian.pool.ntp.org";
        QTest::newRow("bare #NTP= only") << QByteArray("[Time]\n#NTP=\n") << "";
        QTest::newRow("servers set") << QByteArray("[Time]\nNTP=ntp.lane.local 10.0.0.1\n") << "ntp.lane.local 10.0.0.1";
    }

    void serverReading()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, server);
        write("timesyncd.conf", config);
        QCOMPARE(makeClock()->ntpServer(), server);
    }

    // Only names and addresses reach the file; it is rewritten whole, its other lines kept.
    void ntpServer_data()
    {
        QTest::addColumn<QString>("name");  // %M: a file that must never appear
        QTest::addColumn<QByteArray>("written");  // empty: refused, the file unchanged

        QTest::newRow("sed command injection") << "x/e touch %M" << QByteArray();
        QTest::newRow("slash") << "ntp.lane.local/x" << QByteArray();
        QTest::newRow("shell characters") << "ntp.lane.local;touch %M" << QByteArray();
        QTest::newRow("line break adds a setting") << "ntp.lane.local\nFallbackNTP=evil.example" << QByteArray();
        QTest::newRow("blanks only") << "   " << QByteArray();
        QTest::newRow("label starting with a hyphen") << "-ntp.lane.local" << QByteArray();
        QTest::newRow("not an IPv4 address") << "300.1.1.1" << QByteArray();
        QTest::newRow("IPv6 with a zone") << "fe80::1%eth0" << QByteArray();
        QTest::newRow("host names and addresses")
            << "  ntp1.lane.local   10.0.0.1 2001:db8::1 "
            << QByteArray("[Time]\nNTP=ntp1.lane.local 10.0.0.1 2001:db8::1\n"
                          "#FallbackNTP=0.debian.pool.ntp.org 1.debian.pool.ntp.org\n#RootDistanceMaxSec=5\n");
    }

    void ntpServer()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, written);
        const QString marker = path("injected");
        name.replace("%M", marker);
        QVERIFY(QFile::setPermissions(path("timesyncd.conf"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                                                | QFile::ReadOther));
        auto clock = makeClock();
        LogCapture log;
        clock->setNtpServer(name);

        QVERIFY(!QFile::exists(marker));
        if (written.isEmpty()) {
            QCOMPARE(log.texts(QtCriticalMsg), QStringList{"[Clock] ERROR: Invalid NTP server : " + name});
            QCOMPARE(read("timesyncd.conf"), DebianConfig);
            QCOMPARE(takeCalls(), QStringList());
            QCOMPARE(clock->ntpServer(), QStringLiteral("0.debian.pool.ntp.org 1.debian.pool.ntp.org"));
            return;
        }
        const QString servers = "ntp1.lane.local 10.0.0.1 2001:db8::1";
        QVERIFY(log.contains("[Clock] Setting NTP server : " + servers));
        QCOMPARE(read("timesyncd.conf"), written);
        QCOMPARE(QFile::permissions(path("timesyncd.conf")) & 0x0777, QFile::Permissions(0x0644));
        QCOMPARE(takeCalls(), QStringList{"systemctl restart systemd-timesyncd"});
        QCOMPARE(clock->ntpServer(), servers);
        QVERIFY(log.contains("[Clock] NTP server changed : " + servers));

        clock->setNtpServer(servers);  // the current value runs nothing
        QCOMPARE(takeCalls(), QStringList());
    }

    void settings()
    {
        auto clock = makeClock();
        LogCapture log;

        clock->setTimezone("Mars/Olympus");
        QCOMPARE(log.texts(QtCriticalMsg), QStringList{"[Clock] ERROR: Unknown time zone : Mars/Olympus"});
        QCOMPARE(takeCalls(), QStringList());
        clock->setProperty("timezone", "Europe/Athens");
        QCOMPARE(takeCalls(), (QStringList{"timedatectl set-timezone Europe/Athens", "timedatectl status"}));
        QCOMPARE(clock->timezone(), QStringLiteral("Europe/Athens"));

        clock->ntpSync();  // already enabled: only a refresh
        QCOMPARE(takeCalls(), QStringList{"timedatectl status"});
        clock->setNtpEnabled(false);
        QVERIFY(log.contains("[Clock] Setting NTP : disabled"));
        QCOMPARE(takeCalls(), (QStringList{"timedatectl set-ntp false", "timedatectl status"}));
        QVERIFY(!clock->ntpEnabled());
        clock->ntpSync();
        QVERIFY(log.contains("[Clock] Requesting NTP sync"));
        QCOMPARE(takeCalls(), (QStringList{"timedatectl set-ntp true", "timedatectl status", "timedatectl status"}));
        QVERIFY(clock->ntpEnabled());

        clock->setRefreshInterval(1);
        QCOMPARE(clock->refreshInterval(), 1);
        QCOMPARE(takeCalls(), QStringList{"timedatectl status"});
        clock->setRefreshInterval(0);
        QCOMPARE(clock->refreshInterval(), 0);
    }

    // A command that hangs costs its bound and leaves the values as they were.
    void hangingCommand()
    {
        write("timezone", "Europe/Athens\n");
        auto clock = makeClock();
        write("hang", "");
        write("timezone", "Europe/London\n");
        LogCapture log;
        QElapsedTimer timer;
        timer.start();
        clock->refreshStatus();
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(elapsed >= Clock::CommandTimeoutMs && elapsed < Clock::CommandTimeoutMs + 1000,
                 QByteArray::number(elapsed));
        QCOMPARE(log.texts(QtCriticalMsg), QStringList{"[Clock] ERROR: Could not execute 'timedatectl status' : error=2"});
        QCOMPARE(clock->timezone(), QStringLiteral("Europe/Athens"));

        log.clear();
        QCOMPARE(clock->executeCmd("zuka-no-such-tool", {"--version"}), QString());
        QCOMPARE(log.texts(QtCriticalMsg), QStringList{"[Clock] ERROR: Could not execute 'zuka-no-such-tool --version' : error=0"});
        log.clear();
        QCOMPARE(clock->executeCmd("sh", {"-c", "printf 'out'; exit 3"}), QString());
        QCOMPARE(log.texts(QtCriticalMsg), QStringList{"[Clock] ERROR: Command failed 'sh -c printf 'out'; exit 3' : exitCode=3 "});
        QCOMPARE(clock->executeCmd("printf", {"a b\\000c"}), QStringLiteral("a b"));
    }
};

QTEST_GUILESS_MAIN(TestClock)
#include "tst_clock.moc"
