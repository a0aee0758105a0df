#pragma once
// Every setting of the system by name, and the table of their defaults that the one
// configuration store is built on. Code reads and writes settings by these names only: a
// key spelled out elsewhere would read an empty value without a word.
#include <QLatin1String>
#include <QVariantMap>

namespace Key {

constexpr QLatin1String LogLevel{"log/level"};
constexpr QLatin1String LogSyslog{"log/syslog"};
constexpr QLatin1String LogStderr{"log/stderr"};
constexpr QLatin1String LogColor{"log/color"};

constexpr QLatin1String MqttHost{"mqtt/host"};
constexpr QLatin1String MqttPort{"mqtt/port"};
constexpr QLatin1String MqttUsername{"mqtt/username"};
constexpr QLatin1String MqttPassword{"mqtt/password"};
constexpr QLatin1String MqttBase{"mqtt/base"};

constexpr QLatin1String GuiSettingsPin{"gui/settingsPin"};
constexpr QLatin1String GuiShowCursor{"gui/showCursor"};
constexpr QLatin1String GuiLocale{"gui/locale"};
constexpr QLatin1String GuiDisplayOffMin{"gui/displayOffMin"};
constexpr QLatin1String GuiShutdownDelaySec{"gui/shutdownDelaySec"};
constexpr QLatin1String GuiShowErrorDesc{"gui/showErrorDesc"};
constexpr QLatin1String GuiScreenSaverBg{"gui/screenSaverBg"};
constexpr QLatin1String GuiScreenSaverImg{"gui/screenSaverImg"};

constexpr QLatin1String TopicUpdate{"topics/update"};
constexpr QLatin1String TopicInspector{"topics/inspector"};
constexpr QLatin1String TopicNetwork{"topics/network"};
constexpr QLatin1String TopicRfid{"topics/rfid"};
constexpr QLatin1String TopicDispenser{"topics/dispenser"};

// The address of each camera, by its role.
constexpr QLatin1String CameraAlpr1{"cameras/alpr1"};
constexpr QLatin1String CameraAlpr2{"cameras/alpr2"};
constexpr QLatin1String CameraCcr1{"cameras/ccr1"};
constexpr QLatin1String CameraCcr2{"cameras/ccr2"};
constexpr QLatin1String CameraServerPort{"cameras/serverPort"};
constexpr QLatin1String CameraRetries{"cameras/numberOfRetries"};
constexpr QLatin1String CameraTriggerDelayMsec{"cameras/triggerDelayMsec"};
constexpr QLatin1String CameraResponseTimeoutMsec{"cameras/responseTimeoutMsec"};
constexpr QLatin1String CameraStatusIntervalMsec{"cameras/statusIntervalMsec"};
constexpr QLatin1String CameraSettingsFile{"cameras/settingsFile"};

constexpr QLatin1String BarrierUrl{"barrier/url"};
constexpr QLatin1String BarrierTimeout{"barrier/timeout"};
constexpr QLatin1String BarrierRetries{"barrier/retries"};
constexpr QLatin1String BarrierUnitId{"barrier/unitId"};

constexpr QLatin1String CardBoUrl{"card-bo/url"};
constexpr QLatin1String CardBoPubCert{"card-bo/pubCert"};
constexpr QLatin1String CardBoPrivKey{"card-bo/privKey"};
constexpr QLatin1String CardBoRootCA{"card-bo/rootCA"};
constexpr QLatin1String CardBoIgnoreSslErrors{"card-bo/ignoreSslErrors"};
constexpr QLatin1String CardBoHbIntervalSec{"card-bo/hbIntervalSec"};
constexpr QLatin1String CardBoHbPolicy{"card-bo/hbPolicy"};
constexpr QLatin1String CardBoRespTimeoutMsec{"card-bo/respTimeoutMsec"};

constexpr QLatin1String TerminalDeviceId{"terminal/deviceId"};
constexpr QLatin1String TerminalCustomsId{"terminal/customsId"};
constexpr QLatin1String TerminalLocationId{"terminal/locationId"};
constexpr QLatin1String TerminalCollectTimeoutSec{"terminal/collectTimeoutSec"};
constexpr QLatin1String TerminalExitTimeoutSec{"terminal/exitTimeoutSec"};
constexpr QLatin1String TerminalStorageBoxCapacity{"terminal/storageBoxCapacity"};
constexpr QLatin1String TerminalCardReturnMode{"terminal/cardReturnMode"};

constexpr QLatin1String EsbResponseTimeoutMsec{"esb/responseTimeoutMsec"};
constexpr QLatin1String EsbHbIntervalSec{"esb/hbIntervalSec"};
constexpr QLatin1String EsbIgnoreSslErrors{"esb/ignoreSslErrors"};
constexpr QLatin1String EsbUrl{"esb/url"};

constexpr QLatin1String LocalUrl{"local/url"};
constexpr QLatin1String LocalResponseTimeoutMsec{"local/responseTimeoutMsec"};
constexpr QLatin1String LocalScaleId{"local/scaleId"};
constexpr QLatin1String LocalIgnoreSslErrors{"local/ignoreSslErrors"};

} // namespace Key

// Every setting above with its default.
extern const QVariantMap ConfigDefaults;
