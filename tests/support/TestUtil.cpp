#include "TestUtil.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QThread>

namespace TestUtil {

ReservedPort::ReservedPort()
{
    // Not shared: no other socket may bind the port, listening or not.
    if (m_socket.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress))
        m_port = m_socket.localPort();
}

bool waitUntil(const std::function<bool()> &cond, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired())
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

QString python()
{
    return QStringLiteral("/usr/bin/python3");
}

bool ownerOnly(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && !(info.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther));
}


QString sqlite3(const QString &file, const QString &sql)
{
    QProcess p;
    p.start("sqlite3", {"-cmd", ".timeout 10000", file, sql});
    if (!p.waitForFinished(20000) || p.exitCode() != 0)
        return "<sqlite3 failed: " + QString::fromUtf8(p.readAllStandardError()) + ">";
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

}
