#pragma once
// The process-wide log sink: every message of the framework's logger is stamped with the
// seconds since the logger was created and written to syslog and, when enabled, to
// standard error. Also holds the process's log level and colour choice.
#include <QMutex>

namespace manager {

class Logger
{
public:
    // 0 errors only, 1 warnings, 2 information (default), 3 debug, 4 debug including
    // the framework's own categories.
    enum Level {
        Error = 0,
        Warning = 1,
        Info = 2,
        Debug = 3,
        DebugAll = 4,
    };

    // The one logger, created (and installed as the message handler) on first use.
    static Logger *instance();

    void setLevel(Level level);
    // 0, 1, 3 and 4 select that level; any other number selects level 2.
    void setLevel(int level);
    void setSyslog(bool enabled);
    void setStderr(bool enabled);
    void setColor(bool enabled);

    QMutex *getMutex();
    bool getSyslog() const;
    bool getStderr() const;
    double getStartTime() const;

private:
    Logger();
    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

    static Logger *m_instance;

    QMutex m_mutex;
    bool m_syslog = true;
    bool m_stderr = false;
    double m_startTime = 0;
};

}
