// Level change to lane event: each round writes a level into the level file of the loop's
// pin (1) or the button's pin (0) at a varying phase of the board's poll and times the
// loop's vehiclePresent/vehicleLeft or the button's pressed/released. The baseline is a
// bare QTimer polling the same file every 100 ms, timed the same way in the same run.
//   bench_lane_inputs [rounds]   (ZUKA_GPIO_DIR must name a writable folder)
#include "Managers/Button.h"
#include "Managers/Loop.h"
#include "Managers/MIOBoard.h"
#include "Spread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

QString g_dir;

void writeLevel(int pin, int level)
{
    QFile f(g_dir + QStringLiteral("/gpio%1").arg(pin));
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(level ? "1\n" : "0\n");
}

int readLevel(int pin)
{
    QFile f(g_dir + QStringLiteral("/gpio%1").arg(pin));
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toInt() : -1;
}

struct Figures {
    double mean = 0;
    Spread spread;
};

// Runs rounds of: wait a varying 0-99 ms, write the next level, time until arrived() fires.
Figures measure(int pin, int rounds, const std::function<void(std::function<void()>)> &onArrival)
{
    std::vector<double> ms;
    QEventLoop loop;
    QElapsedTimer t;
    int level = readLevel(pin);
    unsigned seed = 12345;
    bool waiting = false;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        QTimer::singleShot(int((seed >> 16) % 100), [&] {
            level = !level;
            t.start();
            waiting = true;
            writeLevel(pin, level);
        });
    };
    onArrival([&] {
        if (!waiting)
            return;
        waiting = false;
        ms.push_back(t.nsecsElapsed() / 1e6);
        if (int(ms.size()) == rounds)
            loop.quit();
        else
            next();
    });
    next();
    loop.exec();
    Figures f;
    for (double v : ms)
        f.mean += v / ms.size();
    f.spread = Spread::of(ms);
    return f;
}

void print(const char *name, const Figures &f, const Figures &base)
{
    std::printf("%-34s %s ms, mean %.1f ms  (baseline %s ms, mean %.1f; ratio of means %.2f)  %s\n", name,
                f.spread.text("%.1f").c_str(), f.mean, base.spread.text("%.1f").c_str(), base.mean,
                base.mean > 0 ? f.mean / base.mean : 0.0, f.spread.max <= 300.0 ? "within 300 ms" : "OVER 300 ms");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qSetMessagePattern(QStringLiteral("%{if-warning}%{message}%{endif}"));
    g_dir = qEnvironmentVariable(manager::MIOBoard::LevelDirEnv);
    const int rounds = argc > 1 ? std::max(2, atoi(argv[1])) : 40;
    for (int pin = 0; pin < 8; ++pin)
        writeLevel(pin, 0);

    // Baseline: a bare 100 ms poll of the loop's file.
    Figures base;
    {
        QTimer poll;
        int last = readLevel(1);
        std::function<void()> arrived;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            const int now = readLevel(1);
            if (now != last && now >= 0) {
                last = now;
                if (arrived)
                    arrived();
            }
        });
        poll.start(100);
        base = measure(1, rounds, [&](std::function<void()> fn) { arrived = fn; });
    }

    manager::MIOBoard board;
    manager::Button button(board, 0);
    manager::Loop loop(board, 1);
    // Let the first poll pass.
    QEventLoop settle;
    QTimer::singleShot(2 * manager::MIOBoard::PollIntervalMs, &settle, &QEventLoop::quit);
    settle.exec();

    std::printf("counts: wall time from the level written to the signal, min / median / max of %d rounds\n",
                rounds);
    std::printf("board: %s (%s)\n", qPrintable(board.model()), board.isSimulated() ? "simulated" : "library");
    const Figures loopFig = measure(1, rounds, [&](std::function<void()> fn) {
        QObject::connect(&loop, &manager::Loop::vehiclePresent, fn);
        QObject::connect(&loop, &manager::Loop::vehicleLeft, fn);
    });
    print("loop: vehiclePresent/vehicleLeft", loopFig, base);
    const Figures buttonFig = measure(0, rounds, [&](std::function<void()> fn) {
        QObject::connect(&button, &manager::Button::pressed, fn);
        QObject::connect(&button, &manager::Button::released, fn);
    });
    print("button: pressed/released", buttonFig, base);
    return loopFig.spread.max <= 300.0 && buttonFig.spread.max <= 300.0 ? 0 : 1;
}
