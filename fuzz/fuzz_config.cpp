// The configuration store: a settings file's text (first byte even) read as the store
// reads its file, or a JSON document (first byte odd) applied as "/config/set" applies
// one, over a table of defaults. The store keeps its values in memory, so nothing is
// written per input.
#include "Common/Config.h"
#include "Common/Utils.h"

#include <QDir>

#include "FuzzApp.h"

#include <cstdint>
#include <vector>

namespace {
const QVariantMap &defaults()
{
    static const QVariantMap d{
        {QStringLiteral("log/level"), 2},          {QStringLiteral("log/stderr"), true},
        {QStringLiteral("mqtt/host"), "localhost"}, {QStringLiteral("mqtt/port"), 1883},
        {QStringLiteral("mqtt/password"), QString()}, {QStringLiteral("topics/rfid"), "vexo/rfid"},
    };
    return d;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The text is parsed from a private copy: in memory, where the system has such a place.
    if (QDir(QStringLiteral("/dev/shm")).exists())
        qputenv("TMPDIR", "/dev/shm");
    startFuzzApp(argc, argv);
    // Qt's settings keep every file they parsed in a cache, so each settings text leaves
    // memory behind on purpose, and a leak search after each input would cost a hundred
    // times the input: leaks are searched once, at the end of the run.
    static std::vector<char *> args(*argv, *argv + *argc);
    static char noLeakSearch[] = "-detect_leaks=0";
    args.insert(args.begin() + 1, noLeakSearch);
    args.push_back(nullptr);
    *argc = int(args.size() - 1);
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), int(size - 1));
    Config config(QString(), defaults());
    if (data[0] % 2 == 0) {
        const QVariantMap values = Config::settingsOf(bytes);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            config.set(it.key(), it.value());
        for (const QString &key : config.keys())
            config.get(key).toString();
    } else {
        config.fromJson(Utils::parseJson(bytes).object());
    }
    config.toJson();
    config.print();
    return 0;
}
