#include "Common/Mqtt/MosquittoSubscription.h"

#include "Common/Mqtt/MosquittoClient.h"

MosquittoSubscription::MosquittoSubscription(MosquittoClient *client, const QString &topic, quint8 qos)
    : QObject(client)
    , m_client(client)
    , m_topic(topic)
    , m_qos(qos)
{
}

MosquittoSubscription::~MosquittoSubscription()
{
    // A hold deleted without unsubscribe() still lets go of its filter.
    if (m_client && m_state != Unsubscribed)
        m_client->releaseHold(this);
}

void MosquittoSubscription::unsubscribe()
{
    if (m_client)
        m_client->unsubscribe(this);
}

void MosquittoSubscription::setState(SubscriptionState s)
{
    if (m_state == s)
        return;
    m_state = s;
    emit stateChanged(s);
}
