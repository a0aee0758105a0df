#include "Common/Log/Logger.h"

#include "Common/Log/Log.h"

#include <QLoggingCategory>
#include <QString>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <syslog.h>

namespace manager {

namespace {

double millis()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1000000.0;
}

// The seconds since the start as "%9.3f" writes them, without formatting a floating-point
// number (which costs more than the rest of a line).
void stampText(double ms, char (&text)[40])
{
    if (!(ms >= 0 && ms < 1e15)) {
        std::snprintf(text, sizeof text, "%9.03f", ms / 1000.0);
        return;
    }
    const long long whole = std::llround(ms);
    std::snprintf(text, sizeof text, "%5lld.%03lld", whole / 1000, whole % 1000);
}

const char *const FilterRules[] = {
    "*=true\n*.warning=false\n*.info=false\n*.debug=false\nqt.*=false",
    "*=true\n*.info=false\n*.debug=false\nqt.*=false",
    "*=true\n*.debug=false\nqt.*=false",
    "*=true\nqt.*=false",
    "*=true",
};

const char *const ColorPattern =
    "%{if-category}[%{category}] %{endif}"
    "%{if-info}%{message}%{endif}"
    "%{if-warning}\033[33m%{message}\033[39m%{endif}"
    "%{if-debug}\033[35m%{message}\033[39m%{endif}"
    "%{if-critical}\033[31m%{message}\033[39m%{endif}"
    "%{if-fatal}%{function} at %{file}:%{line} (%{pid}:%{threadid}:%{qthreadptr}) - "
    "\033[31m%{message}\033[39m%{endif}";

const char *const PlainPattern =
    "%{if-fatal}%{function} at %{file}:%{line} (%{pid}:%{threadid}:%{qthreadptr}) - %{endif}"
    "%{message}";

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    Logger *logger = Logger::instance();
    logger->getMutex()->lock();

    // The system's own categories only choose which lines are written: theirs read as
    // lines of the default category, with no category name.
    const bool own = context.category && qstrncmp(context.category, Log::CategoryRoot, sizeof Log::CategoryRoot - 1) == 0;
    const QMessageLogContext plain(context.file, context.line, context.function, "default");
    const QByteArray text = qFormatLogMessage(type, own ? plain : context, message).toUtf8();
    char stamp[40];
    stampText(millis() - logger->getStartTime(), stamp);

    if (logger->getSyslog()) {
        switch (type) {
        case QtDebugMsg:
            syslog(LOG_DEBUG, "[%s] [debug] %s", stamp, text.constData());
            break;
        case QtWarningMsg:
            syslog(LOG_WARNING, "[%s] [warning] %s", stamp, text.constData());
            break;
        case QtCriticalMsg:
            syslog(LOG_CRIT, "[%s] [error] %s", stamp, text.constData());
            break;
        case QtFatalMsg:
            syslog(LOG_ERR, "[%s] [fatal] %s", stamp, text.constData());
            break;
        case QtInfoMsg:
            syslog(LOG_INFO, "[%s] %s", stamp, text.constData());
            break;
        }
    }
    if (logger->getStderr())
        fprintf(stderr, "[%s] %s\n", stamp, text.constData());

    if (type == QtFatalMsg)
        abort();

    logger->getMutex()->unlock();
}

}

Logger *Logger::m_instance = nullptr;

Logger *Logger::instance()
{
    if (!m_instance)
        new Logger();
    return m_instance;
}

Logger::Logger()
{
    // Known before the handler is installed, so that a line logged from another thread
    // right after the installation finds this logger instead of making a second one.
    m_instance = this;
    m_startTime = millis();
    setColor(false);
    setLevel(Info);
    Log::useCategories();
    qInstallMessageHandler(handler);
}

void Logger::setLevel(Level level)
{
    if (level < Error || level > DebugAll)
        return;
    QMutexLocker lock(&m_mutex);
    QLoggingCategory::setFilterRules(QString::fromLatin1(FilterRules[level]));
}

void Logger::setLevel(int level)
{
    switch (level) {
    case Error:
    case Warning:
    case Debug:
    case DebugAll:
        setLevel(Level(level));
        break;
    default:
        setLevel(Info);
        break;
    }
}

void Logger::setSyslog(bool enabled)
{
    QMutexLocker lock(&m_mutex);
    m_syslog = enabled;
}

void Logger::setStderr(bool enabled)
{
    QMutexLocker lock(&m_mutex);
    m_stderr = enabled;
}

void Logger::setColor(bool enabled)
{
    QMutexLocker lock(&m_mutex);
    qSetMessagePattern(QString::fromLatin1(enabled ? ColorPattern : PlainPattern));
}

QMutex *Logger::getMutex()
{
    return &m_mutex;
}

bool Logger::getSyslog() const
{
    return m_syslog;
}

bool Logger::getStderr() const
{
    return m_stderr;
}

double Logger::getStartTime() const
{
    return m_startTime;
}

}
