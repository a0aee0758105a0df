#pragma once
// A small MQTT 3.1.1 client over libmosquitto, run on the thread that owns it (the main
// thread): the library's socket is watched by socket notifiers and its housekeeping is
// driven by a short timer, so no library thread is ever started and no call blocks.
//
// Every connection attempt uses a fresh library instance; the instance is destroyed when the
// connection ends, so a half-open or silent peer is always let go of at once.
#include "Common/Mqtt/MosquittoSubscription.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

class QSocketNotifier;
class QTimer;
class QHostInfo;
struct mosquitto;
struct mosquitto_message;

class MosquittoClient : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MosquittoClient)
public:
    enum ClientState { Disconnected = 0, Connecting, Connected };
    Q_ENUM(ClientState)
    enum ClientError {
        NoError = 0,
        InvalidProtocolVersion = 1,
        IdRejected = 2,
        ServerUnavailable = 3,
        BadUsernameOrPassword = 4,
        NotAuthorized = 5,
        TransportInvalid = 256,
        ProtocolViolation,
        UnknownError
    };
    Q_ENUM(ClientError)

    explicit MosquittoClient(QObject *parent = nullptr);
    ~MosquittoClient() override;

    // Settings, used by the next connectToHost().
    void setHostname(const QString &host) { m_host = host; }
    void setPort(quint16 port) { m_port = port; }
    void setUsername(const QString &user) { m_username = user; }
    void setPassword(const QString &password) { m_password = password; }
    void setCleanSession(bool clean) { m_cleanSession = clean; }
    void setClientId(const QString &id) { m_clientId = id; }
    void setKeepAlive(quint16 seconds) { m_keepAlive = seconds; }
    void setWillMessage(const QByteArray &message) { m_willMessage = message; }
    void setWillQoS(quint8 qos) { m_willQoS = qos; }
    void setWillRetain(bool retain) { m_willRetain = retain; }
    void setWillTopic(const QString &topic) { m_willTopic = topic; }

    QString hostname() const { return m_host; }
    quint16 port() const { return m_port; }
    QString clientId() const { return m_clientId; }
    int protocolVersion() const { return 4; }  // MQTT 3.1.1
    ClientState state() const { return m_state; }
    ClientError error() const { return m_error; }
    // Why the last attempt or connection failed, in words ("Connection refused", "Host not
    // found", ...); empty when nothing failed yet.
    QString errorString() const { return m_errorString; }

    // Starts a connection attempt and returns at once. A call while an attempt is running
    // restarts it with the current settings; a call while connected does nothing.
    void connectToHost();
    // Ends the connection (a clean DISCONNECT when connected) or the running attempt.
    void disconnectFromHost();
    // Drops the network connection at once, without DISCONNECT (a failed attempt).
    void closeTransport();

    // A new hold on the filter, or null when not connected or when the filter or the
    // request is refused. The hold belongs to this client and ends at the next disconnection.
    MosquittoSubscription *subscribe(const QString &filter, quint8 qos);
    // Releases one hold; the broker is told only when no hold on the filter remains.
    void unsubscribe(MosquittoSubscription *subscription);
    // The message id, or -1 when not connected or refused by the library.
    int publish(const QString &topic, const QByteArray &message, quint8 qos = 0, bool retain = false);
    // Whether the topic falls under the filter (its wildcards included).
    static bool matches(const QString &filter, const QString &topic);

signals:
    void connected();
    void disconnected();
    void stateChanged(MosquittoClient::ClientState state);
    void errorChanged(MosquittoClient::ClientError error);
    // retained: the broker's copy of a message published before, handed out on subscribing.
    void messageReceived(const QByteArray &message, const QString &topic, bool retained);

private:
    friend class MosquittoSubscription;
    struct Event {
        enum Kind { Connack, Disconnect, Message, Suback } kind;
        quint64 generation;
        int code;  // CONNACK code, disconnect reason, mid
        QString topic;
        QByteArray payload;
        int granted;
        bool retained = false;
    };
    struct Filter {
        QVector<QPointer<MosquittoSubscription>> holds;
        int brokerQos = -1;      // QoS asked of the broker, -1 when not asked
        bool acknowledged = false;
        bool refused = false;
    };

private slots:
    // The answer of the name lookup under way (an earlier one's is ignored). A slot rather
    // than a functor: a functor would be leaked by a lookup still running at exit.
    void onLookedUp(const QHostInfo &info);

private:
    static void onConnectCb(mosquitto *m, void *self, int rc);
    static void onDisconnectCb(mosquitto *m, void *self, int rc);
    static void onMessageCb(mosquitto *m, void *self, const mosquitto_message *msg);
    static void onSubscribeCb(mosquitto *m, void *self, int mid, int count, const int *granted);

    void startAttempt(const QString &address);
    void onReadable();
    void onWritable();
    void onMiscTimer();
    void afterIo();
    void drain();
    void syncNotifiers();
    void removeNotifiers();
    void teardown(ClientError error);
    // Keeps why the connection is failing, unless a reason was already found for it.
    void noteReason(const QString &reason);
    void noteResult(int rc);
    void destroyInstance();
    void setState(ClientState s);
    bool releaseHold(MosquittoSubscription *subscription);

    QString m_host = QStringLiteral("127.0.0.1");
    quint16 m_port = 1883;
    QString m_username;
    QString m_password;
    bool m_cleanSession = true;
    QString m_clientId;
    quint16 m_keepAlive = 60;
    QByteArray m_willMessage;
    quint8 m_willQoS = 0;
    bool m_willRetain = false;
    QString m_willTopic;

    ClientState m_state = Disconnected;
    ClientError m_error = NoError;
    QString m_errorString;
    QString m_reason;           // of the attempt or connection under way
    QString m_reported;         // the error, broker and reason last announced
    mosquitto *m_mosq = nullptr;
    quint64 m_generation = 0;   // raised with every attempt and every teardown
    int m_lookupId = -1;
    int m_fd = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_miscTimer = nullptr;
    QVector<Event> m_events;
    QHash<QString, Filter> m_filters;
    QHash<int, QString> m_subscribeMids;
};
