// The configuration store reading its file (first byte even) or applying a JSON
// document (first byte odd) over a table of defaults.
#include "Common/Config.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include "DuplicateKeys.h"

#include <cstdint>

namespace {
QTemporaryDir *g_dir = nullptr;
int g_count = 0;

const QVariantMap &defaults()
{
    static const QVariantMap d{
        {QStringLiteral("log/level"), 2},          {QStringLiteral("log/stderr"), true},
        {QStringLiteral("mqtt/host"), "localhost"}, {QStringLiteral("mqtt/port"), 1883},
        {QStringLiteral("topics/rfid"), "vexo/rfid"},
    };
    return d;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    g_dir = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), int(size - 1));
    // A file name of its own for each input: the settings layer caches files by name.
    const QString file = g_dir->filePath(QStringLiteral("f%1.conf").arg(++g_count % 64));
    QFile::remove(file);
    if (data[0] % 2 == 0) {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly))
            return 0;
        f.write(bytes);
        f.close();
        Config config(file, defaults());
        for (const QString &key : config.keys())
            config.get(key).toString();
        config.toJson();
        config.print();
    } else if (!mayRepeatJsonKey(reinterpret_cast<const char *>(data + 1), size - 1)) {
        Config config(file, defaults());
        config.fromJson(QJsonDocument::fromJson(bytes).object());
        config.toJson();
    }
    QFile::remove(file);
    return 0;
}
