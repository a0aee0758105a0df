#pragma once
// Receives what processes send to the system log, on a socket at /dev/log that the test
// owns. Tests that use it run one at a time (a lock file serialises them). Where /dev/log
// belongs to a running system logger the sink is not available and those checks skip.
#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>

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

    int m_lockFd = -1;
    int m_fd = -1;
    int m_stop[2] = {-1, -1};
    std::thread m_reader;
    QString m_reason;
    mutable QMutex m_mutex;
    QList<Entry> m_entries;
};
