#include "Common/HttpRequestBody.h"

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

int HttpRequestBody::sendAtOnce(quint16 serverPort)
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return 0;
    int changed = 0;
    const int own = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end || fd == own)
            continue;
        int value = 0;
        socklen_t length = sizeof value;
        // Anything but a TCP socket fails here or is skipped.
        if (getsockopt(int(fd), SOL_SOCKET, SO_PROTOCOL, &value, &length) != 0 || value != IPPROTO_TCP)
            continue;
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        if (getpeername(int(fd), reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
            continue;
        const quint16 port = peer.ss_family == AF_INET6
                                 ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port)
                                 : peer.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port)
                                                             : 0;
        length = sizeof value;
        if (port != serverPort || getsockopt(int(fd), IPPROTO_TCP, TCP_NODELAY, &value, &length) != 0 || value)
            continue;
        value = 1;
        if (setsockopt(int(fd), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0)
            ++changed;
    }
    closedir(dir);
    return changed;
}
