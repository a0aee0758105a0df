#pragma once
// An MQTT peer for tests, written on libmosquitto directly (its own network thread), so that
// it shares nothing with the client under test.
#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>

struct mosquitto;
struct mosquitto_message;

class MqttPeer
{
public:
    struct Message {
        QString topic;
        QByteArray payload;
        int qos;
        bool retain;
    };

    explicit MqttPeer(quint16 port, const QString &id = QString());
    ~MqttPeer();

    bool isConnected() const;
    // Subscribes and waits for the broker's acknowledgement.
    bool subscribe(const QString &filter, int qos = 1, int timeoutMs = 15000);
    // Publishes and, for QoS 1 and 2, waits until the broker has the message.
    bool publish(const QString &topic, const QByteArray &payload, int qos = 1, bool retain = false,
                 int timeoutMs = 15000);

    QList<Message> messages() const;
    QList<Message> messagesOn(const QString &topic) const;
    // Runs the caller's event loop until a message on topic has arrived.
    bool waitForMessage(const QString &topic, int timeoutMs = 15000) const;

private:
    static void onConnect(mosquitto *, void *self, int rc);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *msg);
    static void onSubscribe(mosquitto *, void *self, int mid, int, const int *);
    static void onPublish(mosquitto *, void *self, int mid);

    mosquitto *m_mosq = nullptr;
    mutable QMutex m_mutex;
    bool m_connected = false;
    QList<int> m_acked;
    QList<Message> m_messages;
};
