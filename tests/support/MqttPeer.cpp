#include "MqttPeer.h"

#include "TestUtil.h"

#include <mosquitto.h>

MqttPeer::MqttPeer(quint16 port, const QString &id)
{
    mosquitto_lib_init();
    const QByteArray cid = id.toUtf8();
    m_mosq = mosquitto_new(cid.isEmpty() ? nullptr : cid.constData(), true, this);
    mosquitto_connect_callback_set(m_mosq, &MqttPeer::onConnect);
    mosquitto_message_callback_set(m_mosq, &MqttPeer::onMessage);
    mosquitto_subscribe_callback_set(m_mosq, &MqttPeer::onSubscribe);
    mosquitto_publish_callback_set(m_mosq, &MqttPeer::onPublish);
    if (mosquitto_connect(m_mosq, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS) {
        mosquitto_loop_start(m_mosq);
        TestUtil::waitUntil([this] { return isConnected(); }, 5000);
    }
}

MqttPeer::~MqttPeer()
{
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, true);
    mosquitto_destroy(m_mosq);
}

bool MqttPeer::isConnected() const
{
    QMutexLocker l(&m_mutex);
    return m_connected;
}

bool MqttPeer::subscribe(const QString &filter, int qos, int timeoutMs)
{
    int mid = 0;
    if (mosquitto_subscribe(m_mosq, &mid, filter.toUtf8().constData(), qos) != MOSQ_ERR_SUCCESS)
        return false;
    return TestUtil::waitUntil([&] { QMutexLocker l(&m_mutex); return m_acked.contains(mid); }, timeoutMs);
}

bool MqttPeer::publish(const QString &topic, const QByteArray &payload, int qos, bool retain, int timeoutMs)
{
    int mid = 0;
    if (mosquitto_publish(m_mosq, &mid, topic.toUtf8().constData(), payload.size(), payload.constData(), qos, retain)
        != MOSQ_ERR_SUCCESS)
        return false;
    return TestUtil::waitUntil([&] { QMutexLocker l(&m_mutex); return m_acked.contains(mid); }, timeoutMs);
}

QList<MqttPeer::Message> MqttPeer::messages() const
{
    QMutexLocker l(&m_mutex);
    return m_messages;
}

QList<MqttPeer::Message> MqttPeer::messagesOn(const QString &topic) const
{
    QList<Message> out;
    for (const Message &m : messages())
        if (m.topic == topic)
            out << m;
    return out;
}

bool MqttPeer::waitForMessage(const QString &topic, int timeoutMs) const
{
    return TestUtil::waitUntil([&] { return !messagesOn(topic).isEmpty(); }, timeoutMs);
}

void MqttPeer::onConnect(mosquitto *, void *self, int rc)
{
    auto *p = static_cast<MqttPeer *>(self);
    QMutexLocker l(&p->m_mutex);
    p->m_connected = rc == 0;
}

void MqttPeer::onMessage(mosquitto *, void *self, const mosquitto_message *msg)
{
    auto *p = static_cast<MqttPeer *>(self);
    QMutexLocker l(&p->m_mutex);
    p->m_messages.append({QString::fromUtf8(msg->topic),
                          QByteArray(static_cast<const char *>(msg->payload), msg->payloadlen), msg->qos,
                          msg->retain});
}

void MqttPeer::onSubscribe(mosquitto *, void *self, int mid, int, const int *)
{
    auto *p = static_cast<MqttPeer *>(self);
    QMutexLocker l(&p->m_mutex);
    p->m_acked.append(mid);
}

void MqttPeer::onPublish(mosquitto *, void *self, int mid)
{
    auto *p = static_cast<MqttPeer *>(self);
    QMutexLocker l(&p->m_mutex);
    p->m_acked.append(mid);
}
