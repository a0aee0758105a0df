// The clock manager against stand-ins of timedatectl and systemctl (tests/peers/system,
// first on PATH, their state in files) and a temporary timesyncd configuration file.
#include "LogCapture.h"

#include "Managers/Clock.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using manager::Clock;

namespace {
const QByteArray DebianConfig = "[Time]\n#NTP=\n#FallbackNTP=0.debian.pool.ntp.org 1.debian.pool.ntp.org\n";
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
        qputenv("PATH", PEERS_DIR "/system:" + qgetenv("PATH"));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        qputenv("SYSTEM_SIM_DIR", m_dir->path().toUtf8());
        write("timesyncd.conf", DebianConfig);
    }

    // Both forms of timedatectl's status (the older one, Debian 12's), and the server line.
    void reading_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QString>("ntp");
        QTest::addColumn<QString>("synced");
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("expected");  // time zone, enabled, synced, server

        QTest::newRow("current form, active") << "new" << "Europe/Athens" << "true" << "yes"
            << QByteArray("[Time]\nNTP=ntp.lane.local 10.0.0.1\n") << "Europe/Athens 1 1 ntp.lane.local 10.0.0.1";
        QTest::newRow("current form, inactive") << "new" << "Europe/London" << "false" << "no"
            << QByteArray("[Time]\n#NTP=\n") << "Europe/London 0 0 ";
        QTest::newRow("older form, active") << "old" << "Europe/Athens" << "true" << "yes"
            << QByteArray("#FallbackNTP=0.pool.ntp.org\nNTP=ntp.lane.local\n") << "Europe/Athens 1 1 0.pool.ntp.org";
        QTest::newRow("older form, inactive") << "old" << "UTC" << "false" << "yes" << DebianConfig
            << "UTC 0 1 0.debian.pool.ntp.org 1.debian.pool.ntp.org";
        QTest::newRow("neither line") << "bare" << "UTC" << "true" << "yes" << QByteArray() << "UTC 0 0 ";
    }

    void reading()
    {
        QFETCH(QString, form);
        QFETCH(QString, zone);
        QFETCH(QString, ntp);
        QFETCH(QString, synced);
        QFETCH(QByteArray, config);
        QFETCH(QString, expected);

        write("form", form.toUtf8());
        write("timezone", zone.toUtf8());
        write("ntp", ntp.toUtf8());
        write("synced", synced.toUtf8());
        write("timesyncd.conf", config);
        LogCapture log;
        auto clock = makeClock();
        QCOMPARE(clock->timezones(), (QStringList{"Europe/Athens", "Europe/London", "UTC"}));
        QCOMPARE(QStringLiteral("%1 %2 %3 %4").arg(clock->timezone()).arg(clock->ntpEnabled()).arg(clock->ntpSynced())
                     .arg(clock->ntpServer()), expected);
        QCOMPARE(log.count("[Clock] Timezone changed : " + zone), 1);
        QCOMPARE(log.count("[Clock] NTP status changed : enabled"), int(clock->ntpEnabled()));
    }

    // Only names and addresses reach the file; it is rewritten whole, its other lines kept.
    void ntpServer_data()
    {
        QTest::addColumn<QString>("name");  // %M: a file that must never appear
        QTest::addColumn<bool>("accepted");

        QTest::newRow("sed command injection") << "x/e touch %M" << false;
        QTest::newRow("shell characters") << "ntp.lane.local;touch %M" << false;
        QTest::newRow("line break adds a setting") << "ntp.lane.local\nFallbackNTP=evil.example" << false;
        QTest::newRow("blanks only") << "   " << false;
        QTest::newRow("label starting with a hyphen") << "-ntp.lane.local" << false;
        QTest::newRow("not an IPv4 address") << "300.1.1.1" << false;
        QTest::newRow("host names and addresses") << "  ntp1.lane.local   10.0.0.1 2001:db8::1 " << true;
    }

    void ntpServer()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        name.replace("%M", path("injected"));
        QVERIFY(QFile::setPermissions(path("timesyncd.conf"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        auto clock = makeClock();
        LogCapture log;
        clock->setNtpServer(name);

        QVERIFY(!QFile::exists(path("injected")));
        if (!accepted) {
            QCOMPARE(log.texts(QtCriticalMsg), QStringList{"[Clock] ERROR: Invalid NTP server : " + name});
            QCOMPARE(read("timesyncd.conf"), DebianConfig);
            QCOMPARE(takeCalls(), QStringList());
            return;
        }
        const QString servers = "ntp1.lane.local 10.0.0.1 2001:db8::1";
        QCOMPARE(read("timesyncd.conf"), "[Time]\nNTP=" + servers.toUtf8()
                                             + "\n#FallbackNTP=0.debian.pool.ntp.org 1.debian.pool.ntp.org\n");
        QCOMPARE(QFile::permissions(path("timesyncd.conf")) & 0x0777, QFile::Permissions(0x0604));
        QCOMPARE(takeCalls(), QStringList{"systemctl restart systemd-timesyncd"});
        QCOMPARE(clock->ntpServer(), servers);
        QVERIFY(log.contains("[Clock] Setting NTP server : " + servers));
        clock->setNtpServer(servers);  // the current value runs nothing
        clock->setNtpServer(" " + servers);
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
        QVERIFY(!clock->ntpEnabled() && log.contains("[Clock] Setting NTP : disabled"));
        clock->ntpSync();
        QVERIFY(clock->ntpEnabled());
        QCOMPARE(takeCalls(), (QStringList{"timedatectl set-ntp false", "timedatectl status", "timedatectl set-ntp true",
                                           "timedatectl status", "timedatectl status"}));
    }

    // A command that hangs costs its bound and leaves the values as they were.
    void failingCommands()
    {
        write("timezone", "Europe/Athens");
        auto clock = makeClock();
        write("hang", "");
        write("timezone", "Europe/London");
        LogCapture log;
        QElapsedTimer timer;
        timer.start();
        clock->refreshStatus();
        QVERIFY2(timer.elapsed() >= Clock::CommandTimeoutMs && timer.elapsed() < Clock::CommandTimeoutMs + 3000,
                 QByteArray::number(timer.elapsed()));
        QCOMPARE(clock->timezone(), QStringLiteral("Europe/Athens"));
        // The clock's own commands keep the system's bound; the test's get one that a loaded
        // machine meets (python3 alone may take a second to start there).
        const int bound = 10000;
        QCOMPARE(clock->executeCmd("zuka-no-such-tool", {"-v"}, bound), QString());
        QCOMPARE(clock->executeCmd("sh", {"-c", "echo out; exit 3"}, bound), QString());
        QCOMPARE(clock->executeCmd("sh", {"-c", "kill -SEGV $$"}, bound), QString());
        // A command whose end cannot be learnt (reaped by the kernel) is no success.
        const auto previous = std::signal(SIGCHLD, SIG_IGN);
        QCOMPARE(clock->executeCmd("echo", {"out"}, bound), QString());
        std::signal(SIGCHLD, previous);
        QCOMPARE(log.texts(QtCriticalMsg), (QStringList{"[Clock] ERROR: Could not execute 'timedatectl status' : error=2",
                                                        "[Clock] ERROR: Could not execute 'zuka-no-such-tool -v' : error=0",
                                                        "[Clock] ERROR: Command failed 'sh -c echo out; exit 3' : exitCode=3 ",
                                                        "[Clock] ERROR: Command crashed 'sh -c kill -SEGV $$'",
                                                        "[Clock] ERROR: Command crashed 'echo out'"}));
        QCOMPARE(clock->executeCmd("printf", {"a b\\000c"}, bound), QStringLiteral("a b"));
        // A command has ended when its process has, even while a process it left behind
        // still holds its output (beyond the bound).
        QCOMPARE(clock->executeCmd("sh", {"-c", "echo out; sleep 12 &"}, bound), QStringLiteral("out\n"));
        // Its output is an ordinary, blocking one, and more than a pipe holds arrives whole.
        QCOMPARE(clock->executeCmd("python3", {"-c", "import fcntl, os; print(fcntl.fcntl(1, fcntl.F_GETFL) & os.O_NONBLOCK)"},
                                   bound),
                 QStringLiteral("0\n"));
        QCOMPARE(clock->executeCmd("sh", {"-c", "head -c 300000 /dev/zero | tr '\\0' a"}, bound), QString(300000, 'a'));
    }
};

QTEST_GUILESS_MAIN(TestClock)
#include "tst_clock.moc"
