// What supervisors send under the application's base topic ("/config/set" objects, card
// test, test cancel, box reset and camera trigger requests, document refreshes) and the
// commands of the card back office's heartbeat answer, as the operator interface takes
// them. The first input byte picks the topic, the rest is the payload (or the command).
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Mqtt/MqttClient.h"
#include "GUI/Diagnostics.h"
#include "GUI/RemoteCommands.h"
#include "GUI/ScreenLogic.h"
#include "GUI/SessionManager.h"
#include "GUI/Supervision.h"
#include "Managers/Inspector.h"

#include "FuzzApp.h"

#include <cstdint>

namespace {
struct Interface
{
    // In memory: the configuration's own defaults, nothing written.
    Config config{QString(), ConfigDefaults};
    manager::MqttClient mqtt;
    manager::Inspector inspector{mqtt, QStringLiteral("vexo/inspector")};
    SessionManager sessions{config};
    ScreenLogic screens{config, sessions};
    Diagnostics diagnostics{Diagnostics::Lane()};
    RemoteCommands commands{config, mqtt, inspector, screens, diagnostics};
    Supervision supervision{config, mqtt, sessions, commands};
};
Interface *g_ui = nullptr;

const char *const Topics[] = {
    "vexo/ui/config/set",          "vexo/ui/test/request/7",    "vexo/ui/test/request",
    "vexo/ui/test/cancel/request/7", "vexo/ui/box/reset/request/7", "vexo/ui/cameras/trigger/request/7",
    "vexo/ui/info/get",            "vexo/ui/status/get",        "vexo/ui/config/get",
    "vexo/ui/button",              "elsewhere/config/set",
};
constexpr int TopicCount = int(sizeof(Topics) / sizeof(Topics[0]));
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzApp(argc, argv);
    g_ui = new Interface;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray payload(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const int pick = data[0] % (TopicCount + 1);
    if (pick == TopicCount) {
        g_ui->commands.backOfficeCommand(QStringLiteral("c-1"), QString::fromUtf8(payload));
        return 0;
    }
    g_ui->supervision.onMessage(payload, QByteArray(Topics[pick]));
    return 0;
}
