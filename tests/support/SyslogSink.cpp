#include "SyslogSink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
const char *const LogPath = "/dev/log";
const char *const LockPath = "/tmp/zuka-test-devlog.lock";

sockaddr_un logAddress()
{
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, LogPath, sizeof addr.sun_path - 1);
    return addr;
}

// Whether something answers on /dev/log.
bool served()
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr = logAddress();
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}
}

SyslogSink::SyslogSink()
{
    m_lockFd = open(LockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (m_lockFd < 0) {
        m_reason = QStringLiteral("cannot open the lock file");
        return;
    }
    // Another test holds /dev/log for the moment: wait for its turn, within a bound.
    QDeadlineTimer deadline(120000);
    while (flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (deadline.hasExpired()) {
            m_reason = QStringLiteral("another test kept /dev/log too long");
            close(m_lockFd);
            m_lockFd = -1;
            return;
        }
        QThread::msleep(20);
    }

    struct stat st;
    if (lstat(LogPath, &st) == 0) {
        if (served()) {
            m_reason = QStringLiteral("/dev/log belongs to a running system logger");
            return;
        }
        if (!S_ISSOCK(st.st_mode)) {
            m_reason = QStringLiteral("/dev/log is not a socket");
            return;
        }
        unlink(LogPath);  // left behind by an earlier run
    }

    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr = logAddress();
    int on = 1;
    if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || setsockopt(m_fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        m_reason = QStringLiteral("cannot bind /dev/log: ") + QString::fromLocal8Bit(strerror(errno));
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
        return;
    }
    chmod(LogPath, 0666);
    if (pipe2(m_stop, O_CLOEXEC) != 0) {
        m_reason = QStringLiteral("no pipe");
        unlink(LogPath);
        close(m_fd);
        m_fd = -1;
        return;
    }
    m_reader = std::thread([this] { receive(); });
}

SyslogSink::~SyslogSink()
{
    if (m_reader.joinable()) {
        const char stop = 's';
        (void)!write(m_stop[1], &stop, 1);
        m_reader.join();
        close(m_stop[0]);
        close(m_stop[1]);
    }
    if (m_fd >= 0) {
        unlink(LogPath);
        close(m_fd);
    }
    if (m_lockFd >= 0) {
        flock(m_lockFd, LOCK_UN);
        close(m_lockFd);
    }
}

void SyslogSink::receive()
{
    for (;;) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        char buf[65536];
        char control[CMSG_SPACE(sizeof(ucred))];
        iovec iov{buf, sizeof buf};
        msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(m_fd, &msg, 0);
        if (n < 0)
            continue;
        Entry e;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                ucred cred;
                memcpy(&cred, CMSG_DATA(c), sizeof cred);
                e.pid = cred.pid;
            }
        }
        // "<PRI>Mmm dd hh:mm:ss ident: message"
        QByteArray raw(buf, int(n));
        while (raw.endsWith('\0') || raw.endsWith('\n'))
            raw.chop(1);
        const int close = raw.indexOf('>');
        if (raw.startsWith('<') && close > 0)
            e.priority = raw.mid(1, close - 1).toInt();
        const int colon = raw.indexOf(": ", close + 16);
        e.message = QString::fromUtf8(colon >= 0 ? raw.mid(colon + 2) : raw.mid(close + 1));
        QMutexLocker lock(&m_mutex);
        m_entries.append(e);
    }
}

QList<SyslogSink::Entry> SyslogSink::entries(pid_t pid)
{
    QMutexLocker lock(&m_mutex);
    if (pid == 0)
        return m_entries;
    QList<Entry> out;
    for (const Entry &e : qAsConst(m_entries))
        if (e.pid == pid)
            out.append(e);
    return out;
}

bool SyslogSink::waitFor(pid_t pid, const std::function<bool(const Entry &)> &cond, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        for (const Entry &e : entries(pid))
            if (cond(e))
                return true;
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}
