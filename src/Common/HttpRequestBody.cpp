#include "Common/HttpRequestBody.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QVector>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

HttpRequestBody::HttpRequestBody(QByteArray data, quint16 serverPort, QObject *parent)
    : QIODevice(parent)
    , m_data(std::move(data))
    , m_port(serverPort)
{
    open(QIODevice::ReadOnly | QIODevice::Unbuffered); // pos() is where readData() reads
}

qint64 HttpRequestBody::readData(char *data, qint64 maxSize)
{
    const qint64 at = pos();
    if (at == 0)
        sendAtOnce(m_port); // again after a rewind: a retry may run on a new connection
    const qint64 n = qMin(maxSize, qint64(m_data.size()) - at);
    if (n <= 0)
        return 0;
    std::memcpy(data, m_data.constData() + at, size_t(n));
    return n;
}

namespace {

// The port a TCP socket is connected to; 0 for anything else (not a socket, not TCP, not
// connected).
quint16 tcpPeerPort(int fd)
{
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &value, &length) != 0 || value != IPPROTO_TCP)
        return 0;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
        return 0;
    return peer.ss_family == AF_INET6  ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port)
           : peer.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port)
                                       : 0;
}

bool noDelay(int fd)
{
    int value = 0;
    socklen_t length = sizeof value;
    return getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0 && value;
}

// The connections last found to each server port, and when the process's descriptors were
// last looked through for it.
struct Known {
    QVector<int> fds;
    QElapsedTimer scanned;
};
QMutex knownMutex;
QHash<quint16, Known> known;

// How long the connections found stay trusted while every one of them is still in place:
// a connection opened beside them is found at the next request after this.
constexpr qint64 RescanMillis = 1000;

} // namespace

int HttpRequestBody::sendAtOnce(quint16 serverPort)
{
    // A kept-alive connection is set once: while the connections found last time are all
    // still there, to this port and set, the descriptors are not looked through again.
    QMutexLocker lock(&knownMutex);
    Known &k = known[serverPort];
    bool intact = !k.fds.isEmpty() && k.scanned.isValid() && !k.scanned.hasExpired(RescanMillis);
    for (int i = 0; intact && i < k.fds.size(); ++i)
        intact = noDelay(k.fds.at(i)) && tcpPeerPort(k.fds.at(i)) == serverPort;
    if (intact)
        return 0;

    k.fds.clear();
    k.scanned.start();
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return 0;
    int changed = 0;
    const int own = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end || fd == own || tcpPeerPort(int(fd)) != serverPort)
            continue;
        if (!noDelay(int(fd))) {
            const int value = 1;
            if (setsockopt(int(fd), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0)
                continue;
            ++changed;
        }
        k.fds.append(int(fd));
    }
    closedir(dir);
    return changed;
}
