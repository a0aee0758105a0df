#include "Common/ConfigKeys.h"

#include <limits>

const QVariantMap ConfigDefaults = {
    {Key::LogLevel, 2},
    {Key::LogSyslog, true},
    {Key::LogStderr, false},
    {Key::LogColor, false},

    {Key::MqttHost, QStringLiteral("localhost")},
    {Key::MqttPort, 1883},
    {Key::MqttUsername, QString()},
    {Key::MqttPassword, QString()},
    {Key::MqttBase, QStringLiteral("vexo/ui")},

    {Key::GuiSettingsPin, QStringLiteral("5817")},
    {Key::GuiShowCursor, true},
    {Key::GuiLocale, QStringLiteral("el_GR")},
    {Key::GuiDisplayOffMin, 3},
    {Key::GuiShutdownDelaySec, 60},
    {Key::GuiShowErrorDesc, false},
    {Key::GuiScreenSaverBg, QStringLiteral("black")},
    {Key::GuiScreenSaverImg, QStringLiteral("qrc:/qml/images/Icons/rolu-logo-top-gr.svg")},

    {Key::TopicUpdate, QStringLiteral("vexo/update")},
    {Key::TopicInspector, QStringLiteral("vexo/inspector")},
    {Key::TopicNetwork, QStringLiteral("vexo/network")},
    {Key::TopicRfid, QStringLiteral("vexo/rfid")},
    {Key::TopicDispenser, QStringLiteral("vexo/dispenser")},

    {Key::CameraAlpr1, QString()},
    {Key::CameraAlpr2, QString()},
    {Key::CameraCcr1, QString()},
    {Key::CameraCcr2, QString()},
    {Key::CameraServerPort, 8000},
    {Key::CameraRetries, 3},
    {Key::CameraTriggerDelayMsec, 0},
    {Key::CameraResponseTimeoutMsec, 5000},
    {Key::CameraStatusIntervalMsec, 60000},
    {Key::CameraSettingsFile, QStringLiteral("./cameraSettings.json")},

    {Key::BarrierUrl, QString()},
    {Key::BarrierTimeout, 1000},
    {Key::BarrierRetries, 3},
    {Key::BarrierUnitId, 1},

    {Key::CardBoUrl, QString()},
    {Key::CardBoPubCert, QStringLiteral("/opt/certs/device.crt")},
    {Key::CardBoPrivKey, QStringLiteral("/opt/certs/device.key")},
    {Key::CardBoRootCA, QStringLiteral("/opt/certs/rootCA.crt")},
    {Key::CardBoIgnoreSslErrors, true},
    {Key::CardBoHbIntervalSec, 60},
    {Key::CardBoHbPolicy, QStringLiteral("on-change")},
    {Key::CardBoRespTimeoutMsec, 5000},

    {Key::TerminalDeviceId, QStringLiteral("/etc/serialnumber")},
    {Key::TerminalCustomsId, QStringLiteral("/etc/customsId")},
    {Key::TerminalLocationId, QStringLiteral("/etc/locationId")},
    {Key::TerminalCollectTimeoutSec, 60},
    // Bounded wait for the barrier to report closed once the truck is through: past it the
    // passage is closed anyway, with a warning.
    {Key::TerminalExitTimeoutSec, 120},
    {Key::TerminalStorageBoxCapacity, 250},
    {Key::TerminalCardReturnMode, QStringLiteral("auto")},

    {Key::EsbResponseTimeoutMsec, 5000},
    {Key::EsbHbIntervalSec, 60},
    {Key::EsbIgnoreSslErrors, true},
    {Key::EsbUrl, QString()},

    {Key::LocalUrl, QString()},
    {Key::LocalResponseTimeoutMsec, 1000},
    {Key::LocalScaleId, QString()},
    {Key::LocalIgnoreSslErrors, false},
};

const QSet<QString> ConfigUrlKeys = {
    Key::CameraAlpr1, Key::CameraAlpr2, Key::CameraCcr1, Key::CameraCcr2,
    Key::CardBoUrl,   Key::EsbUrl,      Key::LocalUrl,
};

namespace {
constexpr int DaySec = 24 * 60 * 60;
constexpr int DayMsec = DaySec * 1000;
// A count with no most of its own.
constexpr int NoMost = std::numeric_limits<int>::max();
} // namespace

const QHash<QString, ConfigRange> ConfigRanges = {
    // Errors only to everything, the framework's own lines included; any other number is the
    // logger's information level.
    {Key::LogLevel, {0, 4, true}},
    {Key::MqttPort, {1, 65535}},
    // The maintenance page's own range; the display-off timer holds it to what a timer takes.
    {Key::GuiDisplayOffMin, {0, 86400}},
    {Key::GuiShutdownDelaySec, {0, DaySec}},
    // 0: a port of the system's choosing, which the cameras are told.
    {Key::CameraServerPort, {0, 65535}},
    {Key::CameraRetries, {0, NoMost}},
    {Key::CameraTriggerDelayMsec, {0, DayMsec}},
    {Key::CameraResponseTimeoutMsec, {0, DayMsec}},
    // Each poll is a request to every camera.
    {Key::CameraStatusIntervalMsec, {1, DayMsec}},
    // The Modbus client keeps its time-out when given one shorter than 10 ms. A read gives up
    // after the time-out for each of its tries (1 + retries): at the longest time-out and the
    // most retries a silent controller is noticed within a minute (5 x 10 s, and the poll's
    // second).
    {Key::BarrierTimeout, {10, 10000}},
    {Key::BarrierRetries, {0, 4}},
    // It travels in one byte.
    {Key::BarrierUnitId, {0, 255}},
    // 0 is the heartbeat's own default period of 30 s.
    {Key::CardBoHbIntervalSec, {0, DaySec}},
    {Key::CardBoRespTimeoutMsec, {0, DayMsec}},
    {Key::TerminalCollectTimeoutSec, {0, DaySec}},
    // Past it the passage is closed with the truck perhaps still under the boom.
    {Key::TerminalExitTimeoutSec, {1, DaySec}},
    // 0: a box of no known capacity, never full.
    {Key::TerminalStorageBoxCapacity, {0, NoMost}},
    {Key::EsbResponseTimeoutMsec, {0, DayMsec}},
    // 0: each check follows the answer to the previous one (the client keeps them 1 s apart).
    {Key::EsbHbIntervalSec, {0, DaySec}},
    {Key::LocalResponseTimeoutMsec, {0, DayMsec}},
};

// Nothing can be reached at no host.
const QSet<QString> ConfigRequiredTexts = {Key::MqttHost};
