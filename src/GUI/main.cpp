#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/LocalZone.h"
#include "Common/Log/Log.h"
#include "Common/Secrets.h"
#include "Common/StartupQueue.h"
#include "GUI/GUIManager.h"

#include <QCommandLineParser>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QResource>
#include <QTimer>

#include <QQuickWindow>

#ifdef ZUKA_STARTUP_PROBE
#include <QElapsedTimer>
#include <chrono>
#include <cstdio>
#endif

#include <cstdlib>
#include <memory>

static void addOptions(QCommandLineParser &parser)
{
    parser.addOptions({
        {{"h", "help"}, "Print help and exit"},
        {{"V", "version"}, "Print version and exit"},
        {{"v", "verbose"}, "Set log level: 0=err, 1=warn, 2=info(dfl), 3=dbg", "level"},
        {{"e", "stderr"}, "Print messages to stderr, not just syslog"},
        {{"c", "color"}, "Print messages in color."},
        {{"f", "config"}, "Set configuration file", "filename"},
        {{"H", "host"}, "Set mqtt broker url", "hostname"},
        {{"P", "port"}, "Set mqtt broker port", "port"},
        {{"u", "username"}, "Set mqtt username", "username"},
        {{"p", "password"}, "Set mqtt password", "password"},
    });
}

// The options whose values stand for settings, and those settings.
struct ValueOption
{
    const char *shortName;
    const char *name;
    QLatin1String key;
};
static const ValueOption Verbose{"v", "verbose", Key::LogLevel};
static const ValueOption Host{"H", "host", Key::MqttHost};
static const ValueOption Port{"P", "port", Key::MqttPort};

// The value an option gives its setting, judged as a value of the file is; `why` tells what
// is wrong with it.
static bool optionValue(const QCommandLineParser &parser, const ValueOption &option, QVariant &value, QString &why)
{
    value = parser.value(option.name);
    return Config::judge(option.key, value, ConfigDefaults, why);
}

// What is wrong with an option's value, naming the option and the value.
static QString fault(const QCommandLineParser &parser, const ValueOption &option, const QString &why)
{
    return QStringLiteral("Option -%1/--%2 : '%3' is %4")
        .arg(option.shortName, option.name, Log::outside(parser.value(option.name), 200), why);
}

// The line that names an option whose value no setting takes, or an empty text.
static QString badValue(const QCommandLineParser &parser)
{
    for (const ValueOption *option : {&Host, &Port}) {
        QVariant value;
        QString why;
        if (parser.isSet(option->name) && !optionValue(parser, *option, value, why))
            return fault(parser, *option, why);
    }
    return QString();
}

// True when the command line asks for help or the version, cannot be parsed or gives an
// option a value its setting does not take: the process then ends with a text before
// anything is shown, and needs no display.
static bool endsWithText(int argc, char *argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    addOptions(parser);
    return !parser.parse(args) || parser.isSet("help") || parser.isSet("version") || !badValue(parser).isEmpty();
}

// The command line as configuration overrides. Ends the process for help, version and
// a command line that cannot be parsed or whose values the settings do not take. A log level
// that is not a whole number is left out without a word; one beyond the levels is warned
// about and stands, which the logger takes as its information level.
static QVariantMap parseCLIArgs()
{
    const Log log;
    QCommandLineParser parser;
    addOptions(parser);

    if (!parser.parse(QCoreApplication::arguments())) {
        log.error(parser.errorText());
        std::exit(1);
    }
    if (parser.isSet("help"))
        parser.showHelp(0);
    if (parser.isSet("version"))
        parser.showVersion();
    const QString bad = badValue(parser);
    if (!bad.isEmpty()) {
        log.error(bad);
        std::exit(1);
    }

    QVariantMap overrides;
    bool isLevel = false;
    const int level = parser.value("verbose").toInt(&isLevel);
    if (isLevel) {
        QVariant used = level;
        QString why;
        Config::judge(Key::LogLevel, used, ConfigDefaults, why);
        if (!why.isEmpty())
            log.warn(fault(parser, Verbose, why), ", using ", used.toInt());
        overrides.insert(Key::LogLevel, level);
        log.info("Setting Log level : ", level);
    }
    if (parser.isSet("stderr")) {
        overrides.insert(Key::LogStderr, true);
        log.info("Log to stderr overridden from user to true");
    }
    if (parser.isSet("color")) {
        overrides.insert(Key::LogColor, true);
        log.info("Log with color overridden from user to true");
    }
    if (parser.isSet("host")) {
        const QString host = parser.value("host");
        overrides.insert(Key::MqttHost, host);
        log.info("Setting MQTT Host : ", Secrets::maskUrls(host));
    }
    if (parser.isSet("port")) {
        QVariant port;
        QString why;
        optionValue(parser, Port, port, why);
        overrides.insert(Key::MqttPort, port.toInt());
        log.info("Setting MQTT Port : ", parser.value("port"));
    }
    if (parser.isSet("username")) {
        const QString user = parser.value("username");
        overrides.insert(Key::MqttUsername, user);
        log.info("Setting MQTT User : ", user);
    }
    if (parser.isSet("password"))
        overrides.insert(Key::MqttPassword, parser.value("password"));
    if (parser.isSet("config")) {
        const QString file = parser.value("config");
        overrides.insert("config", file);
        log.info("Using configuration file : ", file);
    }
    return overrides;
}

#ifdef ZUKA_STARTUP_PROBE
// Start-up measurement build: the time each phase of the start took, on standard output.
static QElapsedTimer probeClock;
static qint64 probeLast = 0;
static void probe(const char *phase)
{
    const qint64 now = probeClock.nsecsElapsed();
    std::printf("startup/phase %-28s %7.1f ms\n", phase, (now - probeLast) / 1e6);
    probeLast = now;
}
#else
static void probe(const char *) {}
#endif

// The compiled-in font, used where it lies in the program's resources (it is stored
// uncompressed) rather than from a copy.
static void installFont(const QString &path)
{
    const QResource font(path);
    if (font.isValid() && font.compressionAlgorithm() == QResource::NoCompression)
        QFontDatabase::addApplicationFontFromData(
            QByteArray::fromRawData(reinterpret_cast<const char *>(font.data()), int(font.size())));
    else
        QFontDatabase::addApplicationFont(path);
}

// Releases the start-up queue at the window's first frame, at once without a window, and
// after five seconds at the latest (a window that is never drawn, a display that is off).
static void releaseAfterFirstFrame(QObject *context)
{
    const auto release = [] {
        if (StartupQueue::isHeld())
            StartupQueue::release();
    };
    for (QWindow *w : QGuiApplication::topLevelWindows()) {
        if (auto *quick = qobject_cast<QQuickWindow *>(w)) {
            // Queued: a threaded render loop reports its frames from its own thread.
            QObject::connect(quick, &QQuickWindow::frameSwapped, context, release, Qt::QueuedConnection);
            QTimer::singleShot(5000, context, release);
            return;
        }
    }
    release();
}

int main(int argc, char *argv[])
{
#ifdef ZUKA_STARTUP_PROBE
    probeClock.start();
#endif
    LocalZone::pin();
    qputenv("QT_IM_MODULE", "freevirtualkeyboard");
    // While something moves on the screen, a frame at most every 16 ms (a display's 60 Hz):
    // where nothing paces the frames (the software renderer, no vertical sync) the
    // platform's default of 5 ms draws 200 a second, each costing the lane's CPU.
    if (!qEnvironmentVariableIsSet("QT_QPA_UPDATE_IDLE_TIME"))
        qputenv("QT_QPA_UPDATE_IDLE_TIME", "16");
    // Only takes effect when set before the application object exists.
    QGuiApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);

    const std::unique_ptr<QCoreApplication> app(endsWithText(argc, argv) ? new QCoreApplication(argc, argv)
                                                                          : new QGuiApplication(argc, argv));
    QGuiApplication::setApplicationName("zuka-terminal-ui");
    QGuiApplication::setApplicationDisplayName("zuka-terminal-ui");
    QGuiApplication::setApplicationVersion(APP_VERSION);
    QGuiApplication::setOrganizationName("vexo");
    QGuiApplication::setOrganizationDomain("vexo.gr");

    probe("application");
    const QVariantMap overrides = parseCLIArgs();
    const QString fileName = overrides.contains("config") ? overrides.value("config").toString()
                                                          : QStringLiteral("gui.conf");

    Config config(fileName, ConfigDefaults);
    config.addOverrides(overrides);
    probe("configuration");

    // What can wait for the screen runs once the window has shown its first frame: the
    // clock's readings through the system's tools, and the registration of the compiled-in
    // font here (the window's font loader registers the same font before anything is drawn).
    StartupQueue::hold();
    Q_INIT_RESOURCE(fonts);
    StartupQueue::run(app.get(), [] { installFont(QStringLiteral(":/qml/fonts/DejaVuSans.ttf")); });
    QGuiApplication::setFont(QFont("DejaVu Sans"));
    probe("font");

    GUIManager gui(config);
    probe("root object");
    gui.load();
    probe("interface loaded");
    releaseAfterFirstFrame(app.get());

#ifdef ZUKA_STARTUP_PROBE
    // Leave once the window has shown its first frame (or after ten seconds, as a failure).
    for (QWindow *w : QGuiApplication::topLevelWindows()) {
        if (auto *quick = qobject_cast<QQuickWindow *>(w)) {
            QObject::connect(quick, &QQuickWindow::frameSwapped, app.get(), [] {
                static bool shown = false;
                if (!shown) {
                    shown = true;
                    probe("first frame");
                    // The moment of the first frame on the system clock, for the time since launch.
                    const auto now = std::chrono::system_clock::now().time_since_epoch();
                    std::printf("startup/first-frame %.6f\n", std::chrono::duration<double>(now).count());
                    QCoreApplication::quit();
                }
            }, Qt::DirectConnection);
        }
    }
    QTimer::singleShot(10000, app.get(), [] { QCoreApplication::exit(1); });
#endif

    // Objects on this stack go in reverse order: the root object, the store, the file
    // name, the overrides, the application.
    return app->exec();
}
