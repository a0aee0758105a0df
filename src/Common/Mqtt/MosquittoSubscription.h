#pragma once
#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class MosquittoClient;

// One subscriber's hold on a topic filter. Several holds on the same filter share one
// subscription at the broker, which is dropped only when the last hold goes.
class MosquittoSubscription : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MosquittoSubscription)
public:
    enum SubscriptionState { Unsubscribed = 0, SubscriptionPending, Subscribed, Error };
    Q_ENUM(SubscriptionState)

    QString topic() const { return m_topic; }
    quint8 qos() const { return m_qos; }
    ~MosquittoSubscription() override;
    SubscriptionState state() const { return m_state; }
    // Releases this hold (same as MosquittoClient::unsubscribe(this)).
    void unsubscribe();

signals:
    void messageReceived(const QByteArray &message, const QString &topic, bool retained);
    void stateChanged(MosquittoSubscription::SubscriptionState state);

private:
    friend class MosquittoClient;
    MosquittoSubscription(MosquittoClient *client, const QString &topic, quint8 qos);
    void setState(SubscriptionState s);

    QPointer<MosquittoClient> m_client;
    QString m_topic;
    quint8 m_qos;
    SubscriptionState m_state = SubscriptionPending;
};
