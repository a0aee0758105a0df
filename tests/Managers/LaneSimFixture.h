#pragma once
// Test fixture for the card device clients: a real broker, the simulated lane peer
// (tests/peers/lane_sim.py) serving both device services, and helpers to drive it.
#include "Common/Mqtt/MqttClient.h"
#include "Deferred/Deferred.h"
#include "Outcome.h"
#include "PeerProcess.h"

#include <QJsonObject>
#include <QStringList>

#include <memory>

class LaneSim
{
public:
    LaneSim(quint16 brokerPort, const QString &rfidRoot, const QString &dispenserRoot);
    ~LaneSim();

    // Starts the peer and waits until it announced both services.
    bool start(const QStringList &extraArgs = {}, int timeoutMs = 15000);
    // The peer dies without closing its connections: the broker publishes its wills.
    void kill();
    // False when the peer had ended by itself (crashed) before.
    bool stop();

    // One control command through the given broker client; returns the peer's reply
    // (empty when none came within timeoutMs).
    QJsonObject control(manager::MqttClient &mqtt, const QJsonObject &cmd, int timeoutMs = 5000);

    const QString &rfidRoot() const { return m_rfidRoot; }
    const QString &dispenserRoot() const { return m_dispenserRoot; }

private:
    quint16 m_port;
    QString m_rfidRoot;
    QString m_dispenserRoot;
    PeerProcess m_proc{QStringLiteral("lane_sim")};
    int m_controlId = 0;
};

// Publishes one raw message with mosquitto_pub (an empty payload when payload is empty).
bool rawPublish(quint16 brokerPort, const QString &topic, const QByteArray &payload);

// Connects a broker client to the test broker and waits for the connection.
bool connectClient(manager::MqttClient &mqtt, quint16 brokerPort, int timeoutMs = 5000);

// A JSON object from its text.
QJsonObject obj(const char *text);
