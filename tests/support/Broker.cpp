#include "Broker.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpServer>

Broker::Broker(const QString &extraConf)
    : m_extraConf(extraConf)
{
}

Broker::~Broker()
{
    stop();
}

bool Broker::start(quint16 port)
{
    if (isRunning())
        return true;
    if (port || m_port)
        return startOn(port ? port : m_port);
    // mosquitto cannot listen on a port of the system's choosing: a port free a moment
    // ago is tried, and another one when something else bound it first.
    for (int attempt = 0; attempt < 10; ++attempt) {
        quint16 candidate = 0;
        {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return false;
            candidate = probe.serverPort();
        }
        if (startOn(candidate))
            return true;
        if (!m_proc.output().contains("Address already in use"))
            return false;
        m_port = 0;
    }
    return false;
}

bool Broker::startOn(quint16 port)
{
    m_port = port;
    const QString conf = m_dir.filePath(QStringLiteral("mosquitto.conf"));
    QFile f(conf);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    // The broker keeps the user it was started as ("user root"): one that changed its user
    // would not end with the test.
    f.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n"
                           "log_dest stdout\nuser root\n%2\n")
                .arg(m_port)
                .arg(m_extraConf)
                .toUtf8());
    f.close();
    // "running" once its listener is open; the log line-buffered, so that it is seen at once.
    return m_proc.start(QStringLiteral("stdbuf"), {QStringLiteral("-oL"), QStringLiteral("mosquitto"),
                                                   QStringLiteral("-c"), conf},
                        "running");
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
