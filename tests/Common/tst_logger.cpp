// The process-wide logger: stamp format, syslog priorities and level words, standard
// error switch, level filter rules and colours; text from outside and lines a peer can
// cause at will.
#include "Common/Log/Log.h"
#include "Common/Log/LogLimit.h"
#include "Common/Log/Logger.h"
#include "LogCapture.h"
#include "SyslogSink.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

using manager::Logger;

Q_LOGGING_CATEGORY(lcFramework, "qt.zuka.probe")
ZUKA_LOG_CATEGORY(lcOwn, "probe")

namespace {

// Everything written to file descriptor 2 while it lives.
class StderrCapture
{
public:
    StderrCapture()
    {
        m_file.open();
        fflush(stderr);
        m_saved = dup(2);
        dup2(m_file.handle(), 2);
    }
    ~StderrCapture() { restore(); }
    void restore()
    {
        if (m_saved < 0)
            return;
        fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
        m_saved = -1;
    }
    QStringList lines()
    {
        restore();
        QFile f(m_file.fileName());
        f.open(QIODevice::ReadOnly);
        QStringList out = QString::fromUtf8(f.readAll()).split('\n');
        if (!out.isEmpty() && out.last().isEmpty())
            out.removeLast();
        return out;
    }

private:
    QTemporaryFile m_file;
    int m_saved = -1;
};

// The text of a stamped line, without its "[%9.03f] " stamp.
QString unstamped(const QString &line)
{
    static const QRegularExpression stamp("^\\[[ 0-9-]{5}\\.[0-9]{3}\\] ");
    const auto m = stamp.match(line);
    return m.hasMatch() ? line.mid(m.capturedLength()) : QString();
}

QStringList unstamped(const QStringList &lines)
{
    QStringList out;
    for (const QString &l : lines)
        out << unstamped(l);
    return out;
}

}

class TstLogger : public QObject
{
    Q_OBJECT

    QElapsedTimer m_sinceCreation;

public:
    static void initMain() { SyslogSink::isolate(); }

private slots:
    void initTestCase()
    {
        m_sinceCreation.start();
        Logger::instance();
    }

    void init()
    {
        Logger *l = Logger::instance();
        l->setLevel(2);
        l->setColor(false);
        l->setStderr(true);
        l->setSyslog(false);
    }

    void stampOnStandardError()
    {
        QElapsedTimer local;
        local.start();
        const double before = (m_sinceCreation.elapsed() - 1) / 1000.0;
        StderrCapture cap;
        qInfo().noquote().nospace() << "[Probe] first line";
        qInfo().noquote().nospace() << "[Probe] second line";
        const QStringList lines = cap.lines();
        const double after = (m_sinceCreation.elapsed() + 1) / 1000.0;

        QCOMPARE(lines.size(), 2);
        static const QRegularExpression re("^\\[( *)([0-9]+\\.[0-9]{3})\\] \\[Probe\\] first line$");
        const auto m = re.match(lines.at(0));
        QVERIFY2(m.hasMatch(), qPrintable(lines.at(0)));
        // Nine characters between the brackets, right-aligned, three decimals.
        QCOMPARE(m.captured(1).size() + m.captured(2).size(), 9);
        const double stamp = m.captured(2).toDouble();
        QVERIFY2(stamp >= before - 0.001 && stamp <= after + 0.001,
                 qPrintable(QString("%1 not in [%2, %3]").arg(stamp).arg(before).arg(after)));
        QCOMPARE(unstamped(lines.at(1)), QString("[Probe] second line"));
    }

    void standardErrorSwitch()
    {
        Logger::instance()->setStderr(false);
        StderrCapture cap;
        qWarning().noquote().nospace() << "[Probe] WARN: hidden";
        Logger::instance()->setStderr(true);
        qWarning().noquote().nospace() << "[Probe] WARN: shown";
        QCOMPARE(unstamped(cap.lines()), QStringList{"[Probe] WARN: shown"});
    }

    void levelFilterRules_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QStringList>("expected");
        const QString d = "D", i = "I", w = "W", c = "C", fd = "qd", fi = "qi", fw = "qw", fc = "qc";
        QTest::newRow("0") << 0 << QStringList{c};
        QTest::newRow("1") << 1 << QStringList{w, c};
        QTest::newRow("2") << 2 << QStringList{i, w, c};
        QTest::newRow("3") << 3 << QStringList{d, i, w, c};
        QTest::newRow("4") << 4 << QStringList{d, i, w, c, fd, fi, fw, fc};
        QTest::newRow("7 falls back to 2") << 7 << QStringList{i, w, c};
        QTest::newRow("-1 falls back to 2") << -1 << QStringList{i, w, c};
    }

    void levelFilterRules()
    {
        QFETCH(int, level);
        QFETCH(QStringList, expected);
        Logger::instance()->setLevel(level);
        StderrCapture cap;
        qDebug().noquote() << "D";
        qInfo().noquote() << "I";
        qWarning().noquote() << "W";
        qCritical().noquote() << "C";
        qCDebug(lcFramework).noquote() << "qd";
        qCInfo(lcFramework).noquote() << "qi";
        qCWarning(lcFramework).noquote() << "qw";
        qCCritical(lcFramework).noquote() << "qc";
        QCOMPARE(unstamped(cap.lines()), expected);
    }

    void colours()
    {
        Logger *l = Logger::instance();
        l->setLevel(4);
        l->setColor(true);
        StderrCapture cap;
        qInfo().noquote() << "plain";
        qWarning().noquote() << "yellow";
        qDebug().noquote() << "magenta";
        qCritical().noquote() << "red";
        qCInfo(lcFramework).noquote() << "framework";
        l->setColor(false);
        qWarning().noquote() << "uncoloured";
        QCOMPARE(unstamped(cap.lines()), (QStringList{
            "plain",
            "\033[33myellow\033[39m",
            "\033[35mmagenta\033[39m",
            "\033[31mred\033[39m",
            "[qt.zuka.probe] framework",
            "uncoloured",
        }));
    }

    // A class's own category: the level holds for it as for any other, a rule of its own
    // (as QT_LOGGING_RULES adds) shows its debug lines alone, and they carry no category name.
    void ownCategories()
    {
        const Log own("[Probe] ", lcOwn), other("[Other] ");
        StderrCapture cap;
        own.debug("hidden");
        QLoggingCategory::setFilterRules("*=true\n*.debug=false\nqt.*=false\nzuka.probe.debug=true");
        own.debug("shown");
        other.debug("hidden too");
        QVERIFY(own.debugEnabled() && !other.debugEnabled());
        Logger::instance()->setColor(true);
        own.info("plain");
        Logger::instance()->setColor(false);
        QCOMPARE(unstamped(cap.lines()), (QStringList{"[Probe] shown", "[Probe] plain"}));
    }

    // Parts read as the framework's debug stream writes them, without quotes or blanks.
    void partsAsTheDebugStream()
    {
        enum Plain { Three = 3 };
        const Log own("[Probe] ", lcOwn);
        const char *none = nullptr;
        char name[] = "büro";
        const auto stream = [](const auto &...parts) {
            QString line;
            QDebug d(&line);
            d.noquote().nospace() << "[Probe] ";
            (d << ... << parts);
            return line;
        };
        QStringList expected;
        StderrCapture cap;
        const auto both = [&](const auto &...parts) {
            own.info(parts...);
            expected << stream(parts...);
        };
        both("text ", QString("é\"quoted\""), ' ', none, name, QLatin1String("latin"), QByteArray("bytes\t\xff"));
        both(-7, 7u, -8L, 8UL, -(qint64(1) << 40), quint64(1) << 63, short(-2), quint8(200), qint8(-3));
        both(true, false, 87.5, 1e-7, 0.1f, 123456789.0, QChar(0x3a9), Three, QStringList{"a", "b"});
        QCOMPARE(unstamped(cap.lines()), expected);
    }

    void syslogPrioritiesAndLevelWords()
    {
        SyslogSink sink;
        SYSLOG_SINK_REQUIRED(sink);
        Logger *l = Logger::instance();
        l->setLevel(3);
        l->setSyslog(true);
        l->setStderr(false);
        qDebug().noquote().nospace() << "[Probe] a debug line";
        qInfo().noquote().nospace() << "[Probe] an information line";
        qWarning().noquote().nospace() << "[Probe] WARN: a warning";
        qCritical().noquote().nospace() << "[Probe] ERROR: an error";
        l->setSyslog(false);
        qInfo().noquote().nospace() << "[Probe] not in the system log";

        const pid_t me = getpid();
        QVERIFY(sink.waitFor(me, [](const SyslogSink::Entry &e) {
            return e.message.endsWith("an error");
        }));
        const auto entries = sink.entries(me);
        QCOMPARE(entries.size(), 4);
        const int user = LOG_USER;
        const QList<QPair<int, QString>> expected{
            {user | LOG_DEBUG, "[debug] [Probe] a debug line"},
            {user | LOG_INFO, "[Probe] an information line"},
            {user | LOG_WARNING, "[warning] [Probe] WARN: a warning"},
            {user | LOG_CRIT, "[error] [Probe] ERROR: an error"},
        };
        for (int k = 0; k < entries.size(); ++k) {
            QCOMPARE(entries.at(k).priority, expected.at(k).first);
            QCOMPARE(unstamped(entries.at(k).message), expected.at(k).second);
        }
    }

    // A fatal message reaches syslog at LOG_ERR with its location, then ends the process.
    void fatalAbortsAfterLogging()
    {
        SyslogSink sink;
        SYSLOG_SINK_REQUIRED(sink);
        Logger::instance()->setSyslog(true);
        const pid_t child = fork();
        if (child == 0) {
            qFatal("[Probe] fatal end");
            _exit(0);
        }
        Logger::instance()->setSyslog(false);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), SIGABRT);
        QVERIFY(sink.waitFor(child, [](const SyslogSink::Entry &) { return true; }));
        const auto entries = sink.entries(child);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.at(0).priority, LOG_USER | LOG_ERR);
        const QString text = unstamped(entries.at(0).message);
        QVERIFY2(text.startsWith("[fatal] ") && text.contains(" at ")
                     && text.endsWith(QString(" - [Probe] fatal end")),
                 qPrintable(text));
    }

    // The deferred results' line at a process's exit is a debug line like the others.
    void noDebugLineAtExit()
    {
        QProcess probe;
        probe.start(QStringLiteral(BUILD_DIR "/tests/Common/exit_line_probe"), QStringList());
        QVERIFY(probe.waitForFinished(30000));
        QCOMPARE(probe.readAllStandardError(), QByteArray());
        QCOMPARE(probe.exitCode(), 0);
    }

    // Text from outside stays on its line and within its bound, its full size said.
    void outsideText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("shown");
        QTest::newRow("forged line") << QByteArray("AB1\n[Terminal] State changed") << 100
                                     << "AB1\\n[Terminal] State changed";
        QTest::newRow("controls") << QByteArray("a\r\tb\x1b[31m\x7f") << 100 << "a\\r\\tb\\x1b[31m\\x7f";
        QTest::newRow("line separator") << QByteArray("a\xe2\x80\xa8" "b") << 100 << "a\\u2028b";
        QTest::newRow("cut") << QByteArray(5000, 'x') << 4 << QString::fromUtf8("xxxx\u2026 (5000 bytes)");
        QTest::newRow("cut in a character") << QByteArray("ab\xc3\xa9") << 3 << QString::fromUtf8("ab\u2026 (4 bytes)");
    }

    void outsideText()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, limit);
        QFETCH(QString, shown);
        QCOMPARE(Log::outside(text, limit), shown);
        QCOMPARE(Log::outside(QString::fromUtf8(text), limit), shown);
    }

    // A few lines a second, then one count of the ones held back.
    void limitedLines()
    {
        LogCapture log(false);
        static const Log peer("[Peer] ");
        LogLimit limit(peer, 2, 200);
        for (int i = 0; i < 10; ++i)
            limit.warn("Closing ", i);
        QCOMPARE(log.texts(), QStringList({"[Peer] WARN: Closing 0", "[Peer] WARN: Closing 1"}));
        QVERIFY(log.waitFor("[Peer] WARN: Left out 8 more lines like these within 200 ms"));
        limit.warn("Closing ", 10);
        QCOMPARE(log.texts().last(), QString("[Peer] WARN: Closing 10"));
    }
};

QTEST_GUILESS_MAIN(TstLogger)
#include "tst_logger.moc"
