// The card back office's answers as its client takes them: the first input byte picks the
// request (registration, data update with customs offices and locations, heartbeat with its
// pushed data and commands, blacklist, a failure, a transaction's answer) and the status,
// the rest is the body as it came over HTTP.
#include "Backend/BlacklistUpdate.h"
#include "Backend/CardBO.h"
#include "Backend/Database.h"
#include "Backend/LaneView.h"
#include "Common/Config.h"
#include "Models/IPv4.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include "AnswerBody.h"
#include "FuzzApp.h"

#include <cstdint>
#include <memory>

namespace {
struct Lane : Backend::LaneView
{
    IPv4 ip;
    QString serialNum() const override { return QStringLiteral("FZ-1"); }
    QString customsId() const override { return QStringLiteral("1"); }
    QString locationId() const override { return QStringLiteral("2"); }
    QString type() const override { return QStringLiteral("CARD_VENDING_MACHINE"); }
    QString cardLevel() const override { return QStringLiteral("OK"); }
    int uptime() const override { return 1; }
    bool rfidActive() const override { return true; }
    QString rfidError() const override { return QString(); }
    bool dispenserActive() const override { return true; }
    bool barrierActive() const override { return true; }
    QString barrierReason() const override { return QString(); }
    bool clockSynced() const override { return true; }
    QList<Camera> cameraStatus() const override { return {}; }
    IPv4 *ipv4() const override { return const_cast<IPv4 *>(&ip); }
    QString softwareVersion() const override { return QStringLiteral("1.0.0"); }
    void installSoftware(const QString &, const QString &, const QString &) override {}
};

struct Client : Backend::CardBO
{
    using CardBO::CardBO;
    using CardBO::handleErrorResponse;
    using CardBO::handleHeartbeatResponse;
    using CardBO::handleRegisterResponse;
    using CardBO::handleUpdateDataResponse;
};

struct Sender : Backend::TransactionSender
{
    using TransactionSender::TransactionSender;
    using TransactionSender::handleAnswer;
};

Backend::Database *g_db = nullptr;
Lane *g_lane = nullptr;
const int Statuses[] = {200, 201, 204, 0, -1, 400, 401, 403, 500, 503};
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzApp(argc, argv);
    // The database and the settings store in a folder of their own (in memory when it can),
    // removed at the end of the run.
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/fuzz-XXXXXX")
                                                                       : QDir::tempPath() + QStringLiteral("/fuzz-XXXXXX"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    // The database file is opened by name in the working folder; the corpus folders
    // given on the command line are read from the caller's.
    const QString here = QDir::currentPath();
    QDir::setCurrent(dir.path());
    g_db = new Backend::Database;
    QDir::setCurrent(here);
    g_lane = new Lane;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QJsonValue body;
    if (!answerBody(data, size, &body))
        return 0;
    const int status = Statuses[(data[0] >> 3) % (sizeof(Statuses) / sizeof(Statuses[0]))];
    // A pushed configuration adds the keys it names: a fresh store for every answer.
    Config config(QString(), {{QStringLiteral("card-bo/url"), QString()},
                              {QStringLiteral("card-bo/hbIntervalSec"), 60},
                              {QStringLiteral("mqtt/password"), QString()}});
    Client client(config, *g_db, *g_lane);
    switch (data[0] % 6) {
    case 0:
        client.handleRegisterResponse(body);
        break;
    case 1:
        client.handleUpdateDataResponse(status, body);
        break;
    case 2:
        client.handleHeartbeatResponse(status, body);
        break;
    case 3:
    { // read as the update's worker reads it, then written a slice at a time
        Backend::BlacklistUpdate::Uids added, removed;
        Backend::BlacklistUpdate::readAnswer(body, &added, &removed);
        while (added.next < added.size() || removed.next < removed.size())
            g_db->blacklistUpdate(added.take(Backend::BlacklistUpdate::SliceUids),
                                  removed.take(Backend::BlacklistUpdate::SliceUids));
        break;
    }
    case 4:
        client.handleErrorResponse(status, body);
        break;
    default: {
        Backend::Transaction::Ptr trans(new Backend::Transaction);
        trans->setUuid(QStringLiteral("fz"));
        HttpClient http;
        Sender(*g_db, http, [] { return QUrl(); }, 1000).handleAnswer(trans, status, body);
        break;
    }
    }
    return 0;
}
