#pragma once
// A real mosquitto broker on a free loopback port, owned by one test.
#include "PeerProcess.h"

#include <QTemporaryDir>

class Broker
{
public:
    Broker();
    ~Broker();
    // Starts mosquitto (on the previous port when restarting) and waits until it accepts connections.
    bool start(quint16 port = 0);
    bool stop();  // SIGTERM and wait; false when it had ended by itself
    void kill();  // SIGKILL and wait
    bool isRunning() const;
    quint16 port() const { return m_port; }
    QString host() const { return QStringLiteral("127.0.0.1"); }

private:
    QTemporaryDir m_dir;
    PeerProcess m_proc{QStringLiteral("mosquitto")};
    quint16 m_port = 0;
};
