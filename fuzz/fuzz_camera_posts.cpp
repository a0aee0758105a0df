// What the recognition cameras send: result posts (plate and container bodies) and
// heartbeats as the camera manager routes them, their device information and the XML
// configuration they hand out. The first input byte picks the camera and the kind.
#include "Cameras/VORCamera.h"
#include "Cameras/VORReading.h"

#include <QCoreApplication>
#include <QFile>

#include "FuzzApp.h"

#include <cstdint>
#include <cstdlib>

namespace {
struct Cameras
{
    // Nothing listens at port 9: their own status requests fail unseen.
    Plate plate{VORCamera::ALPR, QUrl(QStringLiteral("http://127.0.0.1:9/"))};
    Container container{VORCamera::CCR, QUrl(QStringLiteral("http://127.0.0.1:9/"))};
};
Cameras *g_cameras = nullptr;
const QString SettingsFile = QStringLiteral("fuzz_cameraSettings.json");
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzApp(argc, argv);
    // The settings the configuration is patched from are read beside the executable.
    QFile settings(QCoreApplication::applicationDirPath() + QLatin1Char('/') + SettingsFile);
    if (settings.open(QIODevice::WriteOnly | QIODevice::Truncate))
        settings.write(R"({"alpr": {"http_post": {"url_path": "/plate", "images": true}, "heartbeat": {"interval": 60}},
                           "ccr": {"http_post": {"url_path": "/container"}}})");
    g_cameras = new Cameras;
    g_cameras->plate.setType(QStringLiteral("alpr1"));
    g_cameras->container.setType(QStringLiteral("ccr1"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray body(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const int kind = data[0] % 8;
    VORCamera &camera = data[0] & 0x80 ? static_cast<VORCamera &>(g_cameras->container)
                                       : static_cast<VORCamera &>(g_cameras->plate);
    switch (kind) {
    case 0:
    case 1:
        camera.handleTCPMessage(QStringLiteral("/camera/plate"), body);
        break;
    case 2:
    case 3:
        camera.handleTCPMessage(QStringLiteral("/camera/container"), body);
        break;
    case 4:
        camera.handleTCPMessage(QStringLiteral("/camera/alpr/heartbeat"), body);
        break;
    case 5:
        camera.parseCameraInfo(body);
        break;
    default:
        camera.parseCameraXMLData(body, SettingsFile, QStringLiteral("10.0.0.2"), 8000);
        break;
    }
    if (const QSharedPointer<VORReading> reading = camera.lastReading())
        reading->toJson();
    return 0;
}
