#include "TestUtil.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>

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


bool rowSelected()
{
    static const QString rows = qEnvironmentVariable("ZUKA_TEST_ROWS");
    const QRegularExpression part(rows);
    if (!part.isValid()) {
        QTest::qFail(qPrintable("ZUKA_TEST_ROWS: " + part.errorString()), __FILE__, __LINE__);
        return false;
    }
    if (rows.isEmpty() || part.match(QString::fromUtf8(QTest::currentDataTag())).hasMatch())
        return true;
    QTest::qSkip(qPrintable("not in this part of the test: ZUKA_TEST_ROWS=" + rows), __FILE__, __LINE__);
    return false;
}
} // namespace TestUtil
