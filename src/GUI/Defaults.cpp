#include "GUI/Defaults.h"

const QVariantMap ConfigDefaults = {
    {QStringLiteral("log/level"), 2},
    {QStringLiteral("log/syslog"), true},
    {QStringLiteral("log/stderr"), false},
    {QStringLiteral("log/color"), false},

    {QStringLiteral("mqtt/host"), QStringLiteral("localhost")},
    {QStringLiteral("mqtt/port"), 1883},
    {QStringLiteral("mqtt/username"), QString()},
    {QStringLiteral("mqtt/password"), QString()},
    {QStringLiteral("mqtt/base"), QStringLiteral("vexo/ui")},

    {QStringLiteral("gui/settingsPin"), QStringLiteral("5817")},
    {QStringLiteral("gui/showCursor"), true},
    {QStringLiteral("gui/locale"), QStringLiteral("el_GR")},
    {QStringLiteral("gui/displayOffMin"), 3},
    {QStringLiteral("gui/shutdownDelaySec"), 60},
    {QStringLiteral("gui/showErrorDesc"), false},
    {QStringLiteral("gui/screenSaverBg"), QStringLiteral("black")},
    {QStringLiteral("gui/screenSaverImg"), QStringLiteral("qrc:/qml/images/Icons/rolu-logo-top-gr.svg")},

    {QStringLiteral("topics/update"), QStringLiteral("vexo/update")},
    {QStringLiteral("topics/inspector"), QStringLiteral("vexo/inspector")},
    {QStringLiteral("topics/network"), QStringLiteral("vexo/network")},
    {QStringLiteral("topics/rfid"), QStringLiteral("vexo/rfid")},
    {QStringLiteral("topics/dispenser"), QStringLiteral("vexo/dispenser")},

    {QStringLiteral("cameras/alpr1"), QString()},
    {QStringLiteral("cameras/alpr2"), QString()},
    {QStringLiteral("cameras/ccr1"), QString()},
    {QStringLiteral("cameras/ccr2"), QString()},
    {QStringLiteral("cameras/serverPort"), 8000},
    {QStringLiteral("cameras/numberOfRetries"), 3},
    {QStringLiteral("cameras/triggerDelayMsec"), 0},
    {QStringLiteral("cameras/responseTimeoutMsec"), 5000},
    {QStringLiteral("cameras/statusIntervalMsec"), 60000},
    {QStringLiteral("cameras/settingsFile"), QStringLiteral("./cameraSettings.json")},

    {QStringLiteral("barrier/url"), QString()},
    {QStringLiteral("barrier/timeout"), 1000},
    {QStringLiteral("barrier/retries"), 3},
    {QStringLiteral("barrier/unitId"), 1},

    {QStringLiteral("card-bo/url"), QString()},
    {QStringLiteral("card-bo/pubCert"), QStringLiteral("/opt/certs/device.crt")},
    {QStringLiteral("card-bo/privKey"), QStringLiteral("/opt/certs/device.key")},
    {QStringLiteral("card-bo/rootCA"), QStringLiteral("/opt/certs/rootCA.crt")},
    {QStringLiteral("card-bo/ignoreSslErrors"), true},
    {QStringLiteral("card-bo/hbIntervalSec"), 60},
    {QStringLiteral("card-bo/hbPolicy"), QStringLiteral("on-change")},
    {QStringLiteral("card-bo/respTimeoutMsec"), 5000},

    {QStringLiteral("terminal/deviceId"), QStringLiteral("/etc/serialnumber")},
    {QStringLiteral("terminal/customsId"), QStringLiteral("/etc/customsId")},
    {QStringLiteral("terminal/locationId"), QStringLiteral("/etc/locationId")},
    {QStringLiteral("terminal/collectTimeoutSec"), 60},
    // Bounded wait for the barrier to report closed once the truck is through: past it the
    // passage is closed anyway, with a warning.
    {QStringLiteral("terminal/exitTimeoutSec"), 120},
    {QStringLiteral("terminal/storageBoxCapacity"), 250},
    {QStringLiteral("terminal/cardReturnMode"), QStringLiteral("auto")},

    {QStringLiteral("esb/responseTimeoutMsec"), 5000},
    {QStringLiteral("esb/hbIntervalSec"), 60},
    {QStringLiteral("esb/ignoreSslErrors"), true},
    {QStringLiteral("esb/url"), QString()},

    {QStringLiteral("local/url"), QString()},
    {QStringLiteral("local/responseTimeoutMsec"), 1000},
    {QStringLiteral("local/scaleId"), QString()},
    {QStringLiteral("local/ignoreSslErrors"), false},
};
