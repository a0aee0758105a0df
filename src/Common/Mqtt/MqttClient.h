#pragma once
// The application's one connection to the local MQTT broker: publish, lasting subscriptions
// renewed on every connection, topic waits and request/response calls, and reconnection
// after every loss of the connection.
#include "Common/Mqtt/MosquittoClient.h"
#include "Deferred/Deferred.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

class QTimer;

namespace manager {

class MqttClient : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MqttClient)
public:
    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    // Settings, applied at the next connect().
    void setHostname(const QString &hostname);
    void setPort(quint32 port);
    void setUsername(const QString &username);
    void setPassword(const QString &password);
    void setRetryMillis(quint32 millis);
    void setEncrypted(bool encrypted);
    void setCleanSession(bool clean);
    void setClientId(const QString &clientId);
    void setKeepAlive(quint8 seconds);
    void setWillMessage(const QByteArray &message);
    void setWillQoS(quint8 qos);
    void setWillRetain(bool retain);
    void setWillTopic(const QString &topic);

    bool isConnected() const;

    // The JSON text of a local service's message: the payload as it came, or with `terminated`
    // its UTF-8 text up to the NUL bytes that end it (a service may end or pad its messages
    // with them; a byte that is not UTF-8 becomes a replacement character). False for a
    // payload with a NUL byte anywhere else, or with nothing before the first: no JSON text
    // holds one, and such a message is refused, not read as an empty one.
    static bool messageText(const QByteArray &payload, bool terminated, QByteArray *text);

signals:
    void connected();
    void disconnected();
    // retained: the broker's kept copy of an earlier message, handed out on subscribing.
    void received(QByteArray data, QByteArray from, bool retained);
    void error(QString error);

public slots:
    void connect();
    void disconnect();
    void subscribe(QString topic, uchar qos);
    void subscribe(QString topic);
    // A lasting subscription to commands. A command acts once: the copy the broker keeps of
    // a retained one, handed out again at every subscription, is not passed on (one line
    // names its topic).
    void subscribeCommands(QString topic, uchar qos);
    bool publish(QByteArray data, QString topic, uchar qos, bool retain);
    bool publish(QByteArray data, QString topic, uchar qos);
    bool publish(QByteArray data, QString topic);
    // Publishes request on topic + "/request/" + rpcId and resolves with the first JSON object
    // on topic + "/response/" + rpcId; rejects with "Not connected", "Subscription failed",
    // "Timeout" or "Invalid response". Nothing is published when the call fails at once.
    Deferred<QJsonValue> executeRpc(QString topic, QString rpcId, QJsonObject request, int msec);
    Deferred<QJsonValue> executeRpc(QString topic, QString rpcId, QJsonObject request);
    // Resolves with the first JSON object published on topic; msec 0 waits without time-out.
    Deferred<QJsonValue> waitTopic(QString topic, int msec);
    Deferred<QJsonValue> waitTopic(QString topic);

private slots:
    void onConnected();
    void onDisconnected();
    void onStateChanged(MosquittoClient::ClientState state);
    void onTimeout();
    void onReconnect();
    void onReceived(QByteArray message, QString topic, bool retained);
    void onError(MosquittoClient::ClientError e);

private:
    struct Wait {
        QString topic;
        Deferred<QJsonValue> result;
        int timerId = 0; // this object's timer for the time-out; 0 without one
        QPointer<MosquittoSubscription> subscription;
    };

    void initTimer();
    void initClient();
    void doSubscribe(const QString &filter, uchar qos);
    void attachWait(quint64 id, MosquittoSubscription *subscription);
    void onWaitMessage(quint64 id, const QByteArray &payload);
    void onWaitTimeout(quint64 id);
    Wait takeWait(quint64 id, bool *found);
    void timerEvent(QTimerEvent *event) override;

    MosquittoClient *m_client = nullptr;
    QTimer *m_timer = nullptr;
    QVector<QPair<QString, int>> m_subscriptions;
    QStringList m_commandFilters;
    QHash<quint64, Wait> m_waits;  // pending waits, renewed on every connection
    QHash<int, quint64> m_waitTimers; // time-out timer -> wait
    quint64 m_lastWaitId = 0;

    QString m_hostname = QStringLiteral("127.0.0.1");
    quint32 m_port = 1883;
    QString m_username;
    QString m_password;
    quint32 m_retryMillis = 3000;
    bool m_encrypted = false;
    bool m_cleanSession = true;
    QString m_clientId;
    quint8 m_keepAlive = 5;
    QByteArray m_willMessage;
    quint8 m_willQoS = 2;
    bool m_willRetain = true;
    QString m_willTopic;
};

}  // namespace manager
