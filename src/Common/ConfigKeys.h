#pragma once
// Every setting of the system by name, and the table of their defaults that the one
// configuration store is built on. Code reads and writes settings by these names only: a
// key spelled out elsewhere would read an empty value without a word.
#include <QHash>
#include <QLatin1String>
#include <QSet>
#include <QVariantMap>

#include <cstddef>

// A Latin-1 text known at compile time ("log/level"_l1), its length counted by the
// compiler.
constexpr QLatin1String operator""_l1(const char *text, std::size_t size)
{
    return QLatin1String(text, int(size));
}

namespace Key {

constexpr QLatin1String LogLevel = "log/level"_l1;
constexpr QLatin1String LogSyslog = "log/syslog"_l1;
constexpr QLatin1String LogStderr = "log/stderr"_l1;
constexpr QLatin1String LogColor = "log/color"_l1;

constexpr QLatin1String MqttHost = "mqtt/host"_l1;
constexpr QLatin1String MqttPort = "mqtt/port"_l1;
constexpr QLatin1String MqttUsername = "mqtt/username"_l1;
constexpr QLatin1String MqttPassword = "mqtt/password"_l1;
constexpr QLatin1String MqttBase = "mqtt/base"_l1;

constexpr QLatin1String GuiSettingsPin = "gui/settingsPin"_l1;
constexpr QLatin1String GuiShowCursor = "gui/showCursor"_l1;
constexpr QLatin1String GuiLocale = "gui/locale"_l1;
constexpr QLatin1String GuiDisplayOffMin = "gui/displayOffMin"_l1;
constexpr QLatin1String GuiShutdownDelaySec = "gui/shutdownDelaySec"_l1;
constexpr QLatin1String GuiShowErrorDesc = "gui/showErrorDesc"_l1;
constexpr QLatin1String GuiScreenSaverBg = "gui/screenSaverBg"_l1;
constexpr QLatin1String GuiScreenSaverImg = "gui/screenSaverImg"_l1;

constexpr QLatin1String TopicUpdate = "topics/update"_l1;
constexpr QLatin1String TopicInspector = "topics/inspector"_l1;
constexpr QLatin1String TopicNetwork = "topics/network"_l1;
constexpr QLatin1String TopicRfid = "topics/rfid"_l1;
constexpr QLatin1String TopicDispenser = "topics/dispenser"_l1;

// The address of each camera, by its role.
constexpr QLatin1String CameraAlpr1 = "cameras/alpr1"_l1;
constexpr QLatin1String CameraAlpr2 = "cameras/alpr2"_l1;
constexpr QLatin1String CameraCcr1 = "cameras/ccr1"_l1;
constexpr QLatin1String CameraCcr2 = "cameras/ccr2"_l1;
constexpr QLatin1String CameraServerPort = "cameras/serverPort"_l1;
constexpr QLatin1String CameraRetries = "cameras/numberOfRetries"_l1;
constexpr QLatin1String CameraTriggerDelayMsec = "cameras/triggerDelayMsec"_l1;
constexpr QLatin1String CameraResponseTimeoutMsec = "cameras/responseTimeoutMsec"_l1;
constexpr QLatin1String CameraStatusIntervalMsec = "cameras/statusIntervalMsec"_l1;
constexpr QLatin1String CameraSettingsFile = "cameras/settingsFile"_l1;

constexpr QLatin1String BarrierUrl = "barrier/url"_l1;
constexpr QLatin1String BarrierTimeout = "barrier/timeout"_l1;
constexpr QLatin1String BarrierRetries = "barrier/retries"_l1;
constexpr QLatin1String BarrierUnitId = "barrier/unitId"_l1;

constexpr QLatin1String CardBoUrl = "card-bo/url"_l1;
constexpr QLatin1String CardBoPubCert = "card-bo/pubCert"_l1;
constexpr QLatin1String CardBoPrivKey = "card-bo/privKey"_l1;
constexpr QLatin1String CardBoRootCA = "card-bo/rootCA"_l1;
constexpr QLatin1String CardBoIgnoreSslErrors = "card-bo/ignoreSslErrors"_l1;
constexpr QLatin1String CardBoHbIntervalSec = "card-bo/hbIntervalSec"_l1;
constexpr QLatin1String CardBoHbPolicy = "card-bo/hbPolicy"_l1;
constexpr QLatin1String CardBoRespTimeoutMsec = "card-bo/respTimeoutMsec"_l1;

constexpr QLatin1String TerminalDeviceId = "terminal/deviceId"_l1;
constexpr QLatin1String TerminalCustomsId = "terminal/customsId"_l1;
constexpr QLatin1String TerminalLocationId = "terminal/locationId"_l1;
constexpr QLatin1String TerminalCollectTimeoutSec = "terminal/collectTimeoutSec"_l1;
constexpr QLatin1String TerminalExitTimeoutSec = "terminal/exitTimeoutSec"_l1;
constexpr QLatin1String TerminalStorageBoxCapacity = "terminal/storageBoxCapacity"_l1;
constexpr QLatin1String TerminalCardReturnMode = "terminal/cardReturnMode"_l1;

constexpr QLatin1String EsbResponseTimeoutMsec = "esb/responseTimeoutMsec"_l1;
constexpr QLatin1String EsbHbIntervalSec = "esb/hbIntervalSec"_l1;
constexpr QLatin1String EsbIgnoreSslErrors = "esb/ignoreSslErrors"_l1;
constexpr QLatin1String EsbUrl = "esb/url"_l1;

constexpr QLatin1String LocalUrl = "local/url"_l1;
constexpr QLatin1String LocalResponseTimeoutMsec = "local/responseTimeoutMsec"_l1;
constexpr QLatin1String LocalScaleId = "local/scaleId"_l1;
constexpr QLatin1String LocalIgnoreSslErrors = "local/ignoreSslErrors"_l1;

} // namespace Key

// Every setting above with its default. A value is read as the type of its default: a whole
// number, a truth value or a text.
extern const QVariantMap ConfigDefaults;

// The settings that name a server or a camera: empty (none), or an http or https URL with a
// host. Anything else stands as written, with a warning: its requests fail.
extern const QSet<QString> ConfigUrlKeys;

// The range of each setting that is a number. The least is 0 where 0 means none (a time-out
// of 0 waits without limit) or at once, above 0 where 0 would poll without pause or would not
// be taken at all. Beyond the most lies what no one means: a time or a period of more than a
// day is a typo, and a day in milliseconds is far inside what a timer takes (24 days), so no
// reader's product overflows. A value outside gives way to the default; with `taken`, it is
// taken as the default, also where a change would otherwise keep the value in force.
struct ConfigRange
{
    int least;
    int most;
    bool taken = false;
};
extern const QHash<QString, ConfigRange> ConfigRanges;

// The text settings that may not be empty.
extern const QSet<QString> ConfigRequiredTexts;
