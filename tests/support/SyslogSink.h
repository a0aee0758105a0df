#pragma once
// Receives what processes send to the system log, on a socket at /dev/log that the test
// owns: the test first moves into a mount namespace of its own (isolate()), where /dev/log
// is free whatever the machine's own system logger does, so tests that use the sink run side
// by side and never wait on each other.
#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QtTest>

#include <functional>
#include <thread>
#include <sys/types.h>

class SyslogSink
{
public:
    struct Entry {
        int priority = -1;  // facility * 8 + severity
        pid_t pid = 0;      // sender, from the socket's credentials
        QString message;    // the text after "ident: "
    };

    // Moves this process (and all it starts from then on) into a mount namespace of its own,
    // through a user namespace where it may not make one outright. There /dev is a file system
    // of its own that leads every name but "log" to the machine's /dev. Call it while the
    // process runs one thread: in a test's static initMain(), which runs first in main.
    static void isolate();

    SyslogSink();
    ~SyslogSink();

    bool available() const { return m_fd >= 0; }
    QString reason() const { return m_reason; }

    // Everything received so far from that process (every process when pid is 0).
    QList<Entry> entries(pid_t pid = 0);
    // Waits (running the event loop) until an entry of that process satisfies cond.
    bool waitFor(pid_t pid, const std::function<bool(const Entry &)> &cond, int timeoutMs = 5000);

private:
    // Senders block once a few datagrams wait unread, so a thread reads them at once.
    void receive();

    int m_fd = -1;
    int m_stop[2] = {-1, -1};
    std::thread m_reader;
    QString m_reason;
    mutable QMutex m_mutex;
    QList<Entry> m_entries;
};

// A check of the system log does not pass without its sink: it is skipped with the reason,
// and fails under CI (CI set in the environment), where every check must run.
#define SYSLOG_SINK_REQUIRED(sink)                                                              \
    do {                                                                                        \
        if (!(sink).available()) {                                                              \
            const QByteArray why = "no system-log sink: " + (sink).reason().toLocal8Bit();     \
            if (!qEnvironmentVariableIsEmpty("CI"))                                             \
                QFAIL(why.constData());                                                         \
            QSKIP(why.constData());                                                             \
        }                                                                                       \
    } while (false)
