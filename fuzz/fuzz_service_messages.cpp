// Messages of the RFID reader and card dispenser services as the two clients
// receive them: the first input byte picks the topic, the rest is the payload.
#include "Common/MqttClient.h"
#include "Managers/Dispenser.h"
#include "Managers/RFID.h"

#include <QCoreApplication>

#include "DuplicateKeys.h"

#include <cstdint>

namespace {
struct Clients
{
    manager::MqttClient mqtt;
    manager::RFID rfid{mqtt, QStringLiteral("fz/rfid")};
    manager::Dispenser dispenser{mqtt, QStringLiteral("fz/dispenser")};
};
Clients *g_clients = nullptr;

const char *const Topics[] = {
    "fz/rfid/info",         "fz/rfid/status",          "fz/rfid/card/found",       "fz/rfid/card/removed",
    "fz/rfid/card/autoread", "fz/rfid/other",          "fz/dispenser/info",        "fz/dispenser/status",
    "fz/dispenser/card/inserted", "fz/dispenser/card/removed", "fz/dispenser/card/disposed", "elsewhere/status",
};
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    g_clients = new Clients;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    if (mayRepeatJsonKey(reinterpret_cast<const char *>(data + 1), size - 1))
        return 0;
    const QByteArray topic(Topics[data[0] % (sizeof(Topics) / sizeof(Topics[0]))]);
    const QByteArray payload(reinterpret_cast<const char *>(data + 1), int(size - 1));
    emit g_clients->mqtt.received(payload, topic);
    g_clients->rfid.activeCard();
    return 0;
}
