#include "Broker.h"
#include "TestUtil.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>

Broker::Broker() = default;

Broker::~Broker()
{
    stop();
}

bool Broker::start(quint16 port)
{
    if (isRunning())
        return true;
    if (port)
        m_port = port;
    else if (!m_port)
        m_port = TestUtil::freePort();
    const QString conf = m_dir.filePath(QStringLiteral("mosquitto.conf"));
    QFile f(conf);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n")
                .arg(m_port)
                .toUtf8());
    f.close();
    m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_proc.setStandardOutputFile(QProcess::nullDevice());
    m_proc.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf});
    if (!m_proc.waitForStarted(5000))
        return false;
    for (int i = 0; i < 250; ++i) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, m_port);
        if (s.waitForConnected(100))
            return true;
        if (m_proc.state() != QProcess::Running)
            return false;
        QThread::msleep(20);
    }
    return false;
}

void Broker::stop()
{
    if (m_proc.state() == QProcess::NotRunning)
        return;
    m_proc.terminate();
    if (!m_proc.waitForFinished(3000)) {
        m_proc.kill();
        m_proc.waitForFinished(3000);
    }
}

void Broker::kill()
{
    if (m_proc.state() == QProcess::NotRunning)
        return;
    m_proc.kill();
    m_proc.waitForFinished(3000);
}

bool Broker::isRunning() const
{
    return m_proc.state() == QProcess::Running;
}
