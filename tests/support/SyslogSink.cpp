#include "SyslogSink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
const char *const LogPath = "/dev/log";

// Why the sink cannot be had in this process; empty once isolate() has succeeded.
QString g_unavailable = QStringLiteral("the test did not call SyslogSink::isolate()");

sockaddr_un logAddress()
{
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, LogPath, sizeof addr.sun_path - 1);
    return addr;
}

QString failed(const QByteArray &what)
{
    return QString::fromLocal8Bit(what) + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
}

bool writeFile(const char *path, const QByteArray &text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.constData(), size_t(text.size())) == text.size();
    close(fd);
    return ok;
}

// The user and group ids outside stay the ids inside, so files keep their owners.
bool mapIds(uid_t uid, gid_t gid)
{
    return writeFile("/proc/self/setgroups", "deny")
        && writeFile("/proc/self/uid_map", QByteArray::number(uid) + ' ' + QByteArray::number(uid) + " 1")
        && writeFile("/proc/self/gid_map", QByteArray::number(gid) + ' ' + QByteArray::number(gid) + " 1");
}

// A file system of its own in the empty folder dir, in which every name of the machine's
// /dev but "log" is a link to that /dev, mounted beneath it at .host.
QString fillDev(const QByteArray &dir)
{
    if (mount("devlog", dir.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0)
        return failed("cannot mount a file system for /dev");
    const QByteArray host = dir + "/.host";
    if (mkdir(host.constData(), 0755) != 0
        || mount("/dev", host.constData(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return failed("cannot reach the machine's /dev");
    DIR *listing = opendir(host.constData());
    if (!listing)
        return failed("cannot list the machine's /dev");
    QString why;
    while (const dirent *e = readdir(listing)) {
        const QByteArray name(e->d_name);
        if (name == "." || name == ".." || name == "log")
            continue;
        if (symlink((".host/" + name).constData(), (dir + '/' + name).constData()) != 0) {
            why = failed("cannot link /dev/" + name);
            break;
        }
    }
    closedir(listing);
    return why;
}

// That file system, made aside and then moved over /dev. Returns why not, or nothing.
QString privateDev()
{
    QByteArray aside = "/tmp/devlog-XXXXXX";
    if (!mkdtemp(aside.data()))
        return failed("cannot make a folder in /tmp");
    QString why = fillDev(aside);
    if (why.isEmpty() && mount(aside.constData(), "/dev", nullptr, MS_MOVE, nullptr) != 0)
        why = failed("cannot move a file system over /dev");
    if (!why.isEmpty())
        umount2(aside.constData(), MNT_DETACH);
    rmdir(aside.constData());
    return why;
}
}

void SyslogSink::isolate()
{
    // A mount namespace outright where the process may make one (as root), else through a
    // user namespace of its own.
    if (unshare(CLONE_NEWNS) != 0) {
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            g_unavailable = failed("no mount namespace of its own");
            return;
        }
        if (!mapIds(uid, gid)) {
            g_unavailable = failed("cannot map the user in its namespace");
            return;
        }
    }
    // Nothing mounted from here on shows anywhere else on the machine.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        g_unavailable = failed("cannot keep its mounts private");
        return;
    }
    g_unavailable = privateDev();
}

SyslogSink::SyslogSink()
{
    if (!g_unavailable.isEmpty()) {
        m_reason = g_unavailable;
        return;
    }
    unlink(LogPath);  // an earlier sink's in this process
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr = logAddress();
    int on = 1;
    if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || setsockopt(m_fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        m_reason = failed("cannot bind /dev/log");
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
