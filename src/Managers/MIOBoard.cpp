#include "MIOBoard.h"

#include "Common/Command.h"
#include "Common/Log/Log.h"

#include <QByteArray>
#include <QFile>
#include <QLibrary>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace manager {

namespace {

ZUKA_LOG_CATEGORY(logCategory, "managers.mioboard")
const Log log("[MIOBoard] ", logCategory);

constexpr uint32_t StatusSuccess = 0;
constexpr uint32_t StatusError = 0xFFFFFFFFu;
constexpr uint32_t StatusInvalidParameter = 0xFFFFFFFDu;
constexpr uint32_t StringModel = 1;
constexpr uint32_t StringFirmware = 7;
constexpr uint32_t StringBufferSize = 1000;

const char *const XrandrOutput = "HDMI-1";

} // namespace

// The board library's operations as the board object uses them: each returns a status,
// 0 for success; pin operations take the pin number as id and a bit mask of 0.
class BoardDriver
{
public:
    virtual ~BoardDriver() = default;
    virtual uint32_t initialize() = 0;
    virtual uint32_t getString(uint32_t id, char *buffer, uint32_t *length) = 0;
    virtual uint32_t getDirection(uint32_t pin, uint32_t *direction) = 0;
    virtual uint32_t setDirection(uint32_t pin, uint32_t direction) = 0;
    virtual uint32_t getLevel(uint32_t pin, uint32_t *level) = 0;
    virtual uint32_t setLevel(uint32_t pin, uint32_t level) = 0;
};

namespace {

// The board maker's library, loaded by file name from the library search path.
class LibraryDriver : public BoardDriver
{
public:
    // True when the library was found and exports every operation used.
    bool load(QString *error)
    {
        m_lib.setFileName(QString::fromLatin1(MIOBoard::LibraryName));
        if (!m_lib.load()) {
            *error = m_lib.errorString();
            return false;
        }
        const bool ok = bind(m_init, "SusiLibInitialize", error) && bind(m_getString, "SusiBoardGetStringA", error)
            && bind(m_getDir, "SusiGPIOGetDirection", error) && bind(m_setDir, "SusiGPIOSetDirection", error)
            && bind(m_getLevel, "SusiGPIOGetLevel", error);
        if (ok) // only setGpioState needs it, and no part of the lane sets pin levels
            m_setLevel = reinterpret_cast<SetFn>(m_lib.resolve("SusiGPIOSetLevel"));
        return ok;
    }

    uint32_t initialize() override { return m_init(); }
    uint32_t getString(uint32_t id, char *buffer, uint32_t *length) override { return m_getString(id, buffer, length); }
    uint32_t getDirection(uint32_t pin, uint32_t *direction) override { return m_getDir(pin, 0, direction); }
    uint32_t setDirection(uint32_t pin, uint32_t direction) override { return m_setDir(pin, 0, direction); }
    uint32_t getLevel(uint32_t pin, uint32_t *level) override { return m_getLevel(pin, 0, level); }
    uint32_t setLevel(uint32_t pin, uint32_t level) override
    {
        return m_setLevel ? m_setLevel(pin, 0, level) : StatusError;
    }

private:
    using InitFn = uint32_t (*)();
    using StringFn = uint32_t (*)(uint32_t, char *, uint32_t *);
    using GetFn = uint32_t (*)(uint32_t, uint32_t, uint32_t *);
    using SetFn = uint32_t (*)(uint32_t, uint32_t, uint32_t);

    template<typename Fn>
    bool bind(Fn &fn, const char *name, QString *error)
    {
        fn = reinterpret_cast<Fn>(m_lib.resolve(name));
        if (!fn)
            *error = m_lib.errorString();
        return fn != nullptr;
    }

    QLibrary m_lib;
    InitFn m_init = nullptr;
    StringFn m_getString = nullptr;
    GetFn m_getDir = nullptr;
    SetFn m_setDir = nullptr;
    GetFn m_getLevel = nullptr;
    SetFn m_setLevel = nullptr;
};

// A board without the library: every pin starts as an input, and its level is the
// number in the file gpio<pin> of the folder named by ZUKA_GPIO_DIR. A missing, empty
// or unreadable file is a failed read (a half-written file is not taken for 0).
//
// The board is polled ten times a second, and opening eight files at each poll cost
// a third of the idle lane's CPU. So the folder is watched (inotify), and a pin's
// file is read again only once something in the folder touched it: written in place,
// replaced by a rename, created, removed, or its permissions changed. Until the watch
// is in place (no folder yet, the folder removed or moved, inotify refused), every
// read goes to the file.
class SimulatedDriver : public BoardDriver
{
public:
    SimulatedDriver()
        : m_folder(folder())
    {
    }

    ~SimulatedDriver() override { stopWatching(); }

    uint32_t initialize() override { return StatusSuccess; }

    uint32_t getString(uint32_t id, char *buffer, uint32_t *length) override
    {
        const QByteArray text = id == StringModel ? "Simulated board" : id == StringFirmware ? "simulated" : "";
        if (!buffer || !length || *length == 0)
            return StatusInvalidParameter;
        const uint32_t n = qMin<uint32_t>(uint32_t(text.size()), *length - 1);
        memcpy(buffer, text.constData(), n);
        buffer[n] = 0;
        return StatusSuccess;
    }

    uint32_t getDirection(uint32_t pin, uint32_t *direction) override
    {
        if (pin >= m_dirs.size() || !direction)
            return StatusInvalidParameter;
        *direction = m_dirs[pin];
        return StatusSuccess;
    }

    uint32_t setDirection(uint32_t pin, uint32_t direction) override
    {
        if (pin >= m_dirs.size())
            return StatusInvalidParameter;
        m_dirs[pin] = direction ? 1 : 0;
        return StatusSuccess;
    }

    uint32_t getLevel(uint32_t pin, uint32_t *level) override
    {
        if (pin >= m_dirs.size() || !level)
            return StatusInvalidParameter;
        followChanges();
        Reading &r = m_readings[pin];
        if (!r.current) {
            r.status = readLevel(pin, &r.level);
            r.current = m_watch >= 0;
        }
        if (r.status == StatusSuccess)
            *level = r.level;
        return r.status;
    }

    uint32_t setLevel(uint32_t pin, uint32_t level) override
    {
        if (pin >= m_dirs.size())
            return StatusInvalidParameter;
        QFile f(fileName(pin));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return StatusError;
        return f.write(level ? "1\n" : "0\n") == 2 ? StatusSuccess : StatusError;
    }

    static QString folder() { return qEnvironmentVariable(MIOBoard::LevelDirEnv); }

private:
    struct Reading {
        bool current = false; // the file has not changed since it was read
        uint32_t status = StatusError;
        uint32_t level = 0;
    };

    QString fileName(uint32_t pin) const
    {
        return m_folder.isEmpty() ? QString() : m_folder + QStringLiteral("/gpio") + QString::number(pin);
    }

    uint32_t readLevel(uint32_t pin, uint32_t *level) const
    {
        if (m_folder.isEmpty())
            return StatusError;
        const int fd = ::open(QFile::encodeName(fileName(pin)).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return StatusError;
        char text[32];
        ssize_t n;
        do
            n = ::read(fd, text, sizeof text);
        while (n < 0 && errno == EINTR);
        ::close(fd);
        bool ok = false;
        const uint value = n > 0 ? QByteArray::fromRawData(text, int(n)).trimmed().toUInt(&ok) : 0;
        if (!ok)
            return StatusError;
        *level = value ? 1 : 0;
        return StatusSuccess;
    }

    // Takes in what the folder's watch has seen since the last read: the pins whose
    // files it touched are read again. Without a watch, one is set up first, and the
    // reads that follow it go to the files.
    void followChanges()
    {
        if (m_folder.isEmpty())
            return;
        if (m_events < 0 && (m_events = inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) < 0)
            return;
        if (m_watch < 0) {
            m_watch = inotify_add_watch(m_events, QFile::encodeName(m_folder).constData(), WatchedEvents);
            return;
        }
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = ::read(m_events, buffer, sizeof buffer)) > 0) {
            for (const char *p = buffer; p < buffer + n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(p);
                p += sizeof(inotify_event) + event->len;
                if (event->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                    stopWatching(); // a fresh start at the next poll; nothing of the old watch left queued
                    return;
                }
                const char *name = event->name;
                if (event->len && !strncmp(name, "gpio", 4) && name[4] >= '0' && name[4] < char('0' + MIOBoard::PinCount)
                    && !name[5])
                    m_readings[size_t(name[4] - '0')].current = false;
            }
        }
    }

    void stopWatching()
    {
        if (m_events >= 0)
            ::close(m_events);
        m_events = m_watch = -1;
        for (Reading &r : m_readings)
            r.current = false;
    }

    static constexpr uint32_t WatchedEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_CREATE | IN_DELETE
        | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

    const QString m_folder;
    std::array<uint32_t, MIOBoard::PinCount> m_dirs{1, 1, 1, 1, 1, 1, 1, 1};
    std::array<Reading, MIOBoard::PinCount> m_readings{};
    int m_events = -1;
    int m_watch = -1;
};

} // namespace

MIOBoard::MIOBoard(QObject *parent)
    : QObject(parent)
{
    auto library = std::make_unique<LibraryDriver>();
    QString error;
    if (library->load(&error)) {
        m_driver = std::move(library);
    } else {
        const QString dir = SimulatedDriver::folder();
        log.warn("Board library ", LibraryName, " not available (", error, "). Simulating the board: input levels from ",
                 dir.isEmpty() ? QStringLiteral("nowhere, ") + LevelDirEnv + QStringLiteral(" is not set")
                               : QStringLiteral("files gpio0-gpio7 in ") + dir);
        m_driver = std::make_unique<SimulatedDriver>();
    }

    const uint32_t status = m_driver->initialize();
    if (status != StatusSuccess)
        log.error("Failed to initialize Susi4 library, code ", status);
    else
        log.debug("SUSI library initialized");

    m_manufacturer = QStringLiteral("Advantech");
    m_model = readString(StringModel);
    m_firmware = readString(StringFirmware);

    connect(&m_pollTimer, &QTimer::timeout, this, &MIOBoard::onGpiosMonitor);
    m_pollTimer.setInterval(PollIntervalMs);
    m_pollTimer.setSingleShot(false);
    m_pollTimer.start();

    for (int pin = 0; pin < PinCount; ++pin)
        m_monitors.append(GPIOMonitor{pin, 0, 1, false});
}

MIOBoard::~MIOBoard() = default;

bool MIOBoard::isSimulated() const
{
    return dynamic_cast<SimulatedDriver *>(m_driver.get()) != nullptr;
}

QString MIOBoard::readString(quint32 id)
{
    QByteArray buffer(int(StringBufferSize), '\0');
    uint32_t length = StringBufferSize;
    m_driver->getString(id, buffer.data(), &length);
    return QString::fromUtf8(buffer.constData(), int(qstrnlen(buffer.constData(), StringBufferSize)));
}

MIOBoard::GPIOMonitor *MIOBoard::monitor(int pin)
{
    if (pin < 0 || pin >= m_monitors.size()) {
        log.error("No GPIO-", pin, " on this board (pins 0 to ", PinCount - 1, ")");
        return nullptr;
    }
    return &m_monitors[pin];
}

int MIOBoard::gpioState(int pin)
{
    GPIOMonitor *rec = monitor(pin);
    if (!rec)
        return -1;
    uint32_t level = 0;
    const uint32_t status = m_driver->getLevel(uint32_t(pin), &level);
    if (status != StatusSuccess) {
        log.error("Failed to get state for GPIO-", pin, ", SUSI_STATUS code", status);
        return -1;
    }
    log.debug("Got state-", level, " for GPIO-", pin);
    if (!rec->polled)
        rec->lastLevel = int(level);
    return int(level);
}

int MIOBoard::gpioDir(int pin)
{
    if (!monitor(pin))
        return -1;
    uint32_t dir = 0;
    const uint32_t status = m_driver->getDirection(uint32_t(pin), &dir);
    if (status != StatusSuccess) {
        log.error("Failed to get mode for GPIO-", pin);
        return -1;
    }
    log.debug("Got direction-", dir, " for GPIO-", pin);
    return int(dir);
}

void MIOBoard::setGpioDir(int pin, int dir)
{
    GPIOMonitor *rec = monitor(pin);
    if (!rec)
        return;
    uint32_t current = 0;
    const uint32_t status = m_driver->getDirection(uint32_t(pin), &current);
    if (status != StatusSuccess) {
        log.error("Failed to get mode for GPIO-", pin, ", SUSI_STATUS code", status);
        return;
    }
    if (int(current) == dir) {
        log.info("GPIO-", pin, " already set to direction ", dir);
        rec->direction = dir;
        return;
    }
    m_driver->setDirection(uint32_t(pin), dir ? 1 : 0);
    emit gpioDirChanged(pin, dir);
    rec->direction = dir;
    log.info("Succesfully set GPIO-", pin, " to direction ", dir);
}

void MIOBoard::setGpioState(int pin, int state)
{
    GPIOMonitor *rec = monitor(pin);
    if (!rec)
        return;
    uint32_t level = 0;
    uint32_t status = m_driver->getLevel(uint32_t(pin), &level);
    if (status != StatusSuccess) {
        log.error("Failed to get state for GPIO-", pin, ", SUSI_STATUS code", status);
        return;
    }
    if (int(level) == state) {
        log.info("GPIO-", pin, " already has state ", state);
        rec->lastLevel = state;
        return;
    }
    status = m_driver->setLevel(uint32_t(pin), state ? 1 : 0);
    if (status != StatusSuccess) {
        log.error("Failed to set state for GPIO-", pin, ", SUSI_STATUS code", status);
        return;
    }
    emit gpioStateChanged(pin, state);
    rec->lastLevel = state;
    log.info("Succesfully set GPIO-", pin, " to state ", state);
}

void MIOBoard::onGpiosMonitor()
{
    for (GPIOMonitor &rec : m_monitors) {
        if (rec.direction == 0)
            continue;
        uint32_t level = 0;
        if (m_driver->getLevel(uint32_t(rec.pin), &level) != StatusSuccess)
            continue;
        rec.polled = true;
        if (int(level) == rec.lastLevel)
            continue;
        log.info("GPIO-", rec.pin, " state change from ", rec.lastLevel, " to ", level);
        rec.lastLevel = int(level);
        emit gpioStateChanged(rec.pin, int(level));
    }
}

int MIOBoard::brightnessXrandr()
{
    const Command::Result run = Command::run(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("xrandr --verbose | grep -A 10 %1 | grep Brightness").arg(XrandrOutput)},
        XrandrTimeoutMs);
    const QString out = QString::fromLocal8Bit(run.output).trimmed();
    if (out.isEmpty()) {
        log.error("xrandr query returned empty result. Is ", XrandrOutput, " connected?");
        return -1;
    }
    const QStringList parts = out.split(QLatin1Char(':'));
    if (parts.size() < 2) {
        log.error("Failed to parse xrandr response: ", out);
        return -1;
    }
    // xrandr writes the C locale's decimal point, whatever the interface's language.
    const float value = parts.at(1).trimmed().toFloat();
    const float percent = value * 100.0f;
    return int(percent);
}

void MIOBoard::setDisplayBrightness(int percent)
{
    const int current = brightnessXrandr();
    if (current < 0) {
        log.error("Failed to find Brightness value in xrandr output");
        return;
    }
    if (current == percent) {
        log.info("Display brightness already set to: ", percent);
        return;
    }
    const Command::Result run =
        Command::run(QStringLiteral("xrandr"),
                     {QStringLiteral("--output"), QString::fromLatin1(XrandrOutput), QStringLiteral("--brightness"),
                      QString::number(percent / 100.0, 'f', 2)},
                     XrandrTimeoutMs);
    const int code = run.outcome == Command::Outcome::Finished ? run.exitCode : -1;
    if (code != 0) {
        log.error("Failed to set brightness to: ", percent, " code: ", code);
        return;
    }
    m_displayBrightness = percent;
    emit displayBrightnessChanged();
    log.info("Succesfully changed brighness to: ", percent);
}

} // namespace manager
