// One trigger pass over four cameras that answer at once, against the round trip of
// the slowest single camera (a pass over that camera alone), both measured here. The
// pass triggers its cameras in parallel, so it should take little more than the
// slowest of them: target ratio <= 1.2.
#include "Cameras/CameraManager.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Models/IPv4.h"
#include "PeerProcess.h"
#include "Spread.h"
#include "TestUtil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {
const QStringList Roles{"alpr1", "alpr2", "ccr1", "ccr2"};
constexpr int Rounds = 40;

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// Milliseconds of one pass over the roles (all when empty); -1 when not all readings came.
double timedPass(manager::CameraManager &cameras, const QStringList &roles, int n)
{
    QElapsedTimer clock;
    bool done = false;
    int readings = 0;
    clock.start();
    cameras.cameraProcess(QStringLiteral("bench-%1").arg(n), roles).done([&](const manager::CameraManager::Readings &r) {
        readings = r.size();
        done = true;
    });
    TestUtil::waitUntil([&] { return done; }, 20000);
    const double ms = clock.nsecsElapsed() / 1e6;
    return readings == (roles.isEmpty() ? 4 : roles.size()) ? ms : -1;
}

// The spread of the passes; a pass that lost a reading makes it invalid (min -1).
Spread spreadOf(const QVector<double> &v)
{
    return Spread::of(std::vector<double>(v.begin(), v.end()));
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // At the terminal's default log level: no debug lines.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    std::array<std::unique_ptr<PeerProcess>, 4> peers;
    QTemporaryDir dir;
    Config config(dir.filePath("gui.conf"), ConfigDefaults);
    config.set("cameras/serverPort", 0);
    for (int i = 0; i < 4; ++i) {
        peers[i].reset(new PeerProcess(Roles[i]));
        const QString address = QStringLiteral("127.0.0.%1").arg(i + 2);
        if (!peers[i]->startPython("camera_peer.py", {"--address", address, "--role", Roles[i]})) {
            std::fprintf(stderr, "camera peer %s did not start\n", qPrintable(Roles[i]));
            return 1;
        }
        config.set("cameras/" + Roles[i], QRegularExpression("READY (\\S+)").match(peers[i]->output()).captured(1));
    }
    IPv4 ipv4;
    ipv4.setAddress("127.0.0.1");
    qInstallMessageHandler(quiet);
    manager::CameraManager cameras(config, &ipv4);
    for (auto &peer : peers)
        if (!peer->waitForOutput("UPLOAD", 10000))
            return 1;

    // Warm-up: connections and the first round trips.
    for (int n = 0; n < 5; ++n)
        timedPass(cameras, {}, n);

    Spread slowest;
    QString slowestRole;
    for (const QString &role : Roles) {
        QVector<double> single;
        for (int n = 0; n < Rounds; ++n)
            single.append(timedPass(cameras, {role}, n));
        const Spread m = spreadOf(single);
        if (m.median > slowest.median) {
            slowest = m;
            slowestRole = role;
        }
    }
    QVector<double> full;
    for (int n = 0; n < Rounds; ++n)
        full.append(timedPass(cameras, {}, n));
    const Spread pass = spreadOf(full);
    qInstallMessageHandler(nullptr);

    std::printf("counts: wall time from the pass asked for to all its readings in; min / median / max of %d "
                "passes\n", Rounds);
    std::printf("camera pass over 4 peers: %s ms\n", pass.text().c_str());
    std::printf("baseline, the slowest single camera's round trip (%s, by median): %s ms\n", qPrintable(slowestRole),
                slowest.text().c_str());
    std::printf("ratio of the medians: %.2f (target <= 1.2)\n", pass.median / slowest.median);
    for (auto &peer : peers)
        peer->stop();
    return (pass.min > 0 && slowest.min > 0) ? 0 : 1;
}
