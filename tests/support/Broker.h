#pragma once
// A real mosquitto broker on a free loopback port, owned by one test.
#include "PeerProcess.h"

#include <QTemporaryDir>

class Broker
{
public:
    // extraConf: lines added to the broker's configuration (for example "log_type all",
    // whose lines then show in output()).
    explicit Broker(const QString &extraConf = QString());
    ~Broker();
    // Starts mosquitto (on the previous port when restarting, or on port when given) and
    // waits until it runs. A port of its own choosing that another process took meanwhile
    // gives way to another one.
    bool start(quint16 port = 0);
    bool stop();  // SIGTERM and wait; false when it had ended by itself
    void kill();  // SIGKILL and wait
    bool isRunning() const;
    quint16 port() const { return m_port; }
    QString host() const { return QStringLiteral("127.0.0.1"); }
    // The broker's log so far.
    QByteArray output() { return m_proc.output(); }

private:
    bool startOn(quint16 port);

    QTemporaryDir m_dir;
    QString m_extraConf;
    PeerProcess m_proc{QStringLiteral("mosquitto")};
    quint16 m_port = 0;
};
