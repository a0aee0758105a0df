#include "Broker.h"
#include "TestUtil.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>

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
    // Ready once it accepts connections (it prints nothing when it is).
    if (!m_proc.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf}, QByteArray()))
        return false;
    bool accepting = false;
    TestUtil::waitUntil(
        [&] {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, m_port);
            accepting = s.waitForConnected(100);
            return accepting || !m_proc.isRunning();
        },
        5000);
    return accepting;
}

bool Broker::stop()
{
    return m_proc.stop();
}

void Broker::kill()
{
    m_proc.kill();
}

bool Broker::isRunning() const
{
    return m_proc.isRunning();
}
