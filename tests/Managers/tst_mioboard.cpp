// The board object with the button and the loop over level files, and the display
// brightness through a stand-in xrandr (tests/peers/xrandr). CTest runs it twice: with
// the stand-in board library on the library path (BOARD_LIBRARY=1) and without it, on
// the simulated board.
#include "Deferred/Deferred.h"
#include "LogCapture.h"
#include "TestUtil.h"

#include "Managers/Button.h"
#include "Managers/Loop.h"
#include "Managers/MIOBoard.h"

#include <QFile>
#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using manager::Button;
using manager::Loop;
using manager::MIOBoard;

namespace {

bool withLibrary()
{
    return qEnvironmentVariableIntValue("BOARD_LIBRARY") == 1;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestMIOBoard : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_levels;

    void setLevel(int pin, const QByteArray &level)
    {
        QFile f(m_levels + QStringLiteral("/gpio%1").arg(pin));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(level + '\n');
    }

private slots:
    void initTestCase()
    {
        m_levels = m_dir.filePath("gpio");
        QVERIFY(QDir().mkpath(m_levels));
        for (int pin = 0; pin < MIOBoard::PinCount; ++pin)
            setLevel(pin, "0");
        qputenv(MIOBoard::LevelDirEnv, m_levels.toLocal8Bit());
        qputenv("PATH", QByteArray(PEERS_DIR "/xrandr:") + qgetenv("PATH"));
    }

    // The library is taken when it can be loaded (the identity comes from it), the
    // simulated board otherwise, with one warning.
    void identity()
    {
        LogCapture log;
        MIOBoard board;
        QCOMPARE(board.manufacturer(), QStringLiteral("Advantech"));
        QCOMPARE(board.isSimulated(), !withLibrary());
        QCOMPARE(board.model(), withLibrary() ? QStringLiteral("Stand-in SUSI board") : QStringLiteral("Simulated board"));
        QCOMPARE(board.firmware(), withLibrary() ? QStringLiteral("standin-4.00") : QStringLiteral("simulated"));
        QCOMPARE(log.countContaining("[MIOBoard] WARN: Board library libSUSI-4.00.so.1 not available"),
                 withLibrary() ? 0 : 1);
    }

    // One passage of levels through the files: what the board, the button (pin 0) and
    // the loop (pin 1) announce at each step.
    void levelsToButtonAndLoop()
    {
        for (int pin = 0; pin < 3; ++pin)
            setLevel(pin, "0");
        MIOBoard board;
        board.setGpioDir(2, 1);
        QStringList events;
        connect(&board, &MIOBoard::gpioStateChanged, this,
                [&](int pin, int state) { events << QStringLiteral("gpio%1=%2").arg(pin).arg(state); });
        Button button(board, 0);
        Loop loop(board, 1);
        QVERIFY(!button.isPressed() && !loop.isOccupied());
        QVERIFY(!button.lastPress().isValid() && !loop.lastChange().isValid());
        connect(&button, &Button::pressed, this, [&] { events << "pressed"; });
        connect(&button, &Button::released, this, [&] { events << "released"; });
        connect(&loop, &Loop::vehiclePresent, this, [&] { events << "present"; });
        connect(&loop, &Loop::vehicleLeft, this, [&] { events << "left"; });

        struct Step {
            const char *what;
            int pin;
            QByteArray level;
            QStringList expected;
        };
        // Every pin's last level starts at 1, so the first poll reports each input at 0.
        const QList<Step> steps{
            {"start-up", -1, "", {"gpio0=0", "released", "gpio1=0", "left", "gpio2=0"}},
            {"truck on the loop", 1, "1", {"gpio1=1", "present"}},
            {"other pin", 2, "1", {"gpio2=1"}},
            {"press", 0, "1", {"gpio0=1", "pressed"}},
            {"release", 0, "0", {"gpio0=0", "released"}},
            {"disabled press", 0, "1", {"gpio0=1"}},
            {"disabled release", 0, "0", {"gpio0=0"}},
            {"truck leaves", 1, "0", {"gpio1=0", "left"}},
        };
        QDateTime lastPress, lastChange;
        for (const Step &s : steps) {
            events.clear();
            if (QByteArray(s.what) == "disabled press")
                button.disable();
            if (s.pin >= 0)
                setLevel(s.pin, s.level);
            QVERIFY2(TestUtil::waitUntil([&] { return events.size() >= s.expected.size(); }, 3000), s.what);
            QCOMPARE(events, s.expected);
            if (QByteArray(s.what) == "press") {
                QVERIFY(button.isPressed() && button.lastPress().isValid());
                lastPress = button.lastPress();
            }
            if (QByteArray(s.what) == "release" || QByteArray(s.what).startsWith("disabled"))
                QCOMPARE(button.lastPress(), lastPress);
            if (QByteArray(s.what) == "disabled press")
                QVERIFY(!button.isPressed());
            if (QByteArray(s.what) == "truck on the loop") {
                QVERIFY(loop.isOccupied());
                lastChange = loop.lastChange();
            }
            if (QByteArray(s.what) == "truck leaves")
                QVERIFY(!loop.isOccupied() && loop.lastChange() > lastChange);
        }
    }

    // A wait ends with the next press; a second wait pending at once only ends by its
    // own time-out, since a press ends the press watch of both.
    void waitPress()
    {
        setLevel(0, "0");
        MIOBoard board;
        Button button(board, 0);
        QSignalSpy released(&button, &Button::released);
        QVERIFY(released.wait(2000)); // the first poll: 1 -> 0
        int first = 0, second = 0;
        button.waitPress(0).done([&] { first = 1; }).failZero([&] { first = 2; });
        button.waitPress(1).done([&] { second = 1; }).failZero([&] { second = 2; });
        setLevel(0, "1");
        QVERIFY(TestUtil::waitUntil([&] { return first != 0; }, 3000));
        QCOMPARE(first, 1);
        QVERIFY(TestUtil::waitUntil([&] { return second != 0; }, 3000));
        QCOMPARE(second, 2);
    }

    // Directions and output levels; a pin already an input is still polled.
    void directionsAndOutputs()
    {
        setLevel(5, "0");
        setLevel(6, "0");
        MIOBoard board;
        QSignalSpy dirs(&board, &MIOBoard::gpioDirChanged), states(&board, &MIOBoard::gpioStateChanged);
        LogCapture log;
        board.setGpioDir(5, 0);
        board.setGpioDir(5, 1);
        board.setGpioDir(5, 1);
        QCOMPARE(dirs.count(), 2);
        QCOMPARE(dirs.at(0), (QVariantList{5, 0}));
        QVERIFY(log.contains("[MIOBoard] Succesfully set GPIO-5 to direction 1"));
        QVERIFY(log.contains("[MIOBoard] GPIO-5 already set to direction 1"));
        QCOMPARE(board.gpioDir(5), 1);
        QVERIFY(states.wait(2000)); // 1 -> 0 at the first poll
        setLevel(5, "1");
        QVERIFY(states.wait(2000));
        QCOMPARE(states.last(), (QVariantList{5, 1}));

        board.setGpioDir(6, 0);
        states.clear();
        board.setGpioState(6, 1);
        QCOMPARE(states.count(), 1);
        QCOMPARE(readAll(m_levels + "/gpio6").trimmed(), QByteArray("1"));
        QCOMPARE(board.gpioState(6), 1);
        board.setGpioState(6, 1);
        QVERIFY(log.contains("[MIOBoard] GPIO-6 already has state 1"));
        QCOMPARE(states.count(), 1);
    }

    // Pins outside 0-7 are refused before they reach the pin table.
    void pinOutsideTheBoard_data()
    {
        QTest::addColumn<int>("pin");
        QTest::newRow("8") << 8;
        QTest::newRow("-1") << -1;
        QTest::newRow("1000") << 1000;
    }
    void pinOutsideTheBoard()
    {
        QFETCH(int, pin);
        MIOBoard board;
        QSignalSpy dirs(&board, &MIOBoard::gpioDirChanged), states(&board, &MIOBoard::gpioStateChanged);
        LogCapture log;
        board.setGpioDir(pin, 1);
        board.setGpioState(pin, 1);
        QCOMPARE(board.gpioState(pin), -1);
        QCOMPARE(board.gpioDir(pin), -1);
        Loop loop(board, pin);
        QVERIFY(!loop.isOccupied());
        QCOMPARE(dirs.count() + states.count(), 0);
        QVERIFY(log.count(QStringLiteral("[MIOBoard] ERROR: No GPIO-%1 on this board (pins 0 to 7)").arg(pin)) >= 4);
    }

    // No level folder: every read fails, the button and the loop stay released and free.
    void noLevelFolder()
    {
        const QByteArray saved = qgetenv(MIOBoard::LevelDirEnv);
        qunsetenv(MIOBoard::LevelDirEnv);
        LogCapture log;
        {
            MIOBoard board;
            QSignalSpy states(&board, &MIOBoard::gpioStateChanged);
            Button button(board, 0);
            Loop loop(board, 1);
            QVERIFY(!button.isPressed() && !loop.isOccupied());
            QVERIFY(log.containsPart("[MIOBoard] ERROR: Failed to get state for GPIO-1, SUSI_STATUS code"));
            QVERIFY(!states.wait(350));
        }
        qputenv(MIOBoard::LevelDirEnv, saved);
    }

    // Brightness through xrandr, in the C locale whatever the interface's language.
    void brightness_data()
    {
        QTest::addColumn<QByteArray>("current");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QByteArray>("setExit");
        QTest::addColumn<int>("read");
        QTest::addColumn<int>("percent");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("set 75") << QByteArray("1.0") << QByteArray() << QByteArray() << 100 << 75
                                << "--output HDMI-1 --brightness 0.75" << "[MIOBoard] Succesfully changed brighness to: 75";
        QTest::newRow("set 100") << QByteArray("0.5") << QByteArray() << QByteArray() << 50 << 100
                                 << "--output HDMI-1 --brightness 1.00" << "";
        QTest::newRow("0.53 truncates to 52") << QByteArray("0.53") << QByteArray() << QByteArray() << 52 << 52 << ""
                                              << "[MIOBoard] Display brightness already set to: 52";
        QTest::newRow("0.125 truncates to 12") << QByteArray("0.125") << QByteArray() << QByteArray() << 12 << 12 << ""
                                               << "[MIOBoard] Display brightness already set to: 12";
        QTest::newRow("no HDMI-1") << QByteArray("0.5") << QByteArray("none") << QByteArray() << -1 << 30 << ""
                                   << "[MIOBoard] ERROR: Failed to find Brightness value in xrandr output";
        QTest::newRow("xrandr fails") << QByteArray("0.5") << QByteArray() << QByteArray("3") << 50 << 30
                                      << "--output HDMI-1 --brightness 0.30"
                                      << "[MIOBoard] ERROR: Failed to set brightness to: 30 code: 3";
    }
    void brightness()
    {
        QFETCH(QByteArray, current);
        QFETCH(QByteArray, output);
        QFETCH(QByteArray, setExit);
        QFETCH(int, read);
        QFETCH(int, percent);
        QFETCH(QString, command);
        QFETCH(QString, logLine);
        const QString state = m_dir.filePath("brightness"), calls = m_dir.filePath("xrandr.log");
        QFile::remove(calls);
        {
            QFile f(state);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(current + '\n');
        }
        qputenv("XRANDR_STATE", state.toLocal8Bit());
        qputenv("XRANDR_LOG", calls.toLocal8Bit());
        qputenv("XRANDR_OUTPUT", output);
        qputenv("XRANDR_SET_EXIT", setExit);
        QLocale::setDefault(QLocale(QLocale::Greek, QLocale::Greece));

        MIOBoard board;
        QSignalSpy changed(&board, &MIOBoard::displayBrightnessChanged);
        LogCapture log;
        QCOMPARE(board.displayBrightness(), read);
        QVERIFY(board.setProperty("displayBrightness", percent));
        QLocale::setDefault(QLocale::c());

        const QStringList sets = QString::fromLocal8Bit(readAll(calls)).split('\n').filter("--output");
        QCOMPARE(sets, command.isEmpty() ? QStringList() : QStringList{command});
        if (!logLine.isEmpty())
            QVERIFY2(log.contains(logLine), qPrintable(log.texts().join('\n')));
        const bool applied = !command.isEmpty() && setExit.isEmpty();
        QCOMPARE(changed.count(), applied ? 1 : 0);
        if (applied)
            QCOMPARE(board.displayBrightness(), percent);
    }
};

QTEST_GUILESS_MAIN(TestMIOBoard)
#include "tst_mioboard.moc"
