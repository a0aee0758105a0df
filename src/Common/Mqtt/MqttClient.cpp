#include "Common/Mqtt/MqttClient.h"

#include "Common/Log/Log.h"
#include "Common/Secrets.h"
#include "Common/Utils.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMetaType>
#include <QTimer>
#include <QTimerEvent>

#include <algorithm>

namespace manager {

namespace {

ZUKA_LOG_CATEGORY(logCategory, "common.mqttclient")
const Log log("[MqttClient] ", logCategory);
const Log rpcLog("[MqttClient] [RPC] ", logCategory);

const char *boolText(bool b)
{
    return b ? "true" : "false";
}

}  // namespace

MqttClient::MqttClient(QObject *parent)
    : QObject(parent)
    , m_client(new MosquittoClient())
{
    qRegisterMetaType<MosquittoClient::ClientState>("ClientState");
    qRegisterMetaType<MosquittoClient::ClientError>("ClientError");
}

MqttClient::~MqttClient()
{
    delete m_timer;
    delete m_client;
}

void MqttClient::setHostname(const QString &hostname) { m_hostname = hostname; }
void MqttClient::setPort(quint32 port) { m_port = port; }
void MqttClient::setUsername(const QString &username) { m_username = username; }
void MqttClient::setPassword(const QString &password) { m_password = password; }
void MqttClient::setRetryMillis(quint32 millis) { m_retryMillis = millis; }
void MqttClient::setEncrypted(bool encrypted) { m_encrypted = encrypted; }
void MqttClient::setCleanSession(bool clean) { m_cleanSession = clean; }
void MqttClient::setClientId(const QString &clientId) { m_clientId = clientId; }
void MqttClient::setKeepAlive(quint8 seconds) { m_keepAlive = seconds; }
void MqttClient::setWillMessage(const QByteArray &message) { m_willMessage = message; }
void MqttClient::setWillQoS(quint8 qos) { m_willQoS = qos; }
void MqttClient::setWillRetain(bool retain) { m_willRetain = retain; }
void MqttClient::setWillTopic(const QString &topic) { m_willTopic = topic; }

bool MqttClient::isConnected() const
{
    return m_client->state() == MosquittoClient::Connected;
}

// --- connection ----------------------------------------------------------------------------

void MqttClient::connect()
{
    log.info("Connecting to host");
    initTimer();
    initClient();
    if (m_encrypted)
        log.warning("Encryption not yet supported");
    m_client->connectToHost();
}

void MqttClient::disconnect()
{
    log.info("Disconnecting from host");
    m_client->disconnectFromHost();
}

void MqttClient::initTimer()
{
    if (!m_timer) {
        m_timer = new QTimer();
        m_timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(m_timer, &QTimer::timeout, this, &MqttClient::onTimeout);
    }
    log.debug("Applying client configuration:");
    log.debug("Retry interval millis: ", m_retryMillis);
    m_timer->setInterval(int(m_retryMillis));
}

void MqttClient::initClient()
{
    QObject::disconnect(m_client, nullptr, this, nullptr);
    QObject::connect(m_client, &MosquittoClient::connected, this, &MqttClient::connected);
    QObject::connect(m_client, &MosquittoClient::connected, this, &MqttClient::onConnected);
    QObject::connect(m_client, &MosquittoClient::disconnected, this, &MqttClient::disconnected);
    QObject::connect(m_client, &MosquittoClient::disconnected, this, &MqttClient::onDisconnected);
    QObject::connect(m_client, &MosquittoClient::errorChanged, this, &MqttClient::onError);
    QObject::connect(m_client, &MosquittoClient::stateChanged, this, &MqttClient::onStateChanged);
    QObject::connect(m_client, &MosquittoClient::messageReceived, this, &MqttClient::onReceived);

    log.debug("Applying client configuration:");
    log.debug("Hostname: ", Secrets::maskUrls(m_hostname));
    log.debug("Port    : ", m_port);
    log.debug("Username: ", m_username);
    log.debug("CleanSession: ", boolText(m_cleanSession));
    log.debug("Client Id   : ", m_clientId);
    log.debug("Keepalive   : ", m_keepAlive);
    log.debug("Will Message: ", m_willMessage);
    log.debug("Will QoS    : ", m_willQoS);
    log.debug("Will Retain : ", boolText(m_willRetain));
    log.debug("Will Topic  : ", m_willTopic);

    m_client->setHostname(m_hostname);
    m_client->setPort(quint16(m_port));
    m_client->setUsername(m_username);
    m_client->setPassword(m_password);
    m_client->setCleanSession(m_cleanSession);
    m_client->setClientId(m_clientId);
    m_client->setKeepAlive(m_keepAlive);
    m_client->setWillMessage(m_willMessage);
    m_client->setWillQoS(m_willQoS);
    m_client->setWillRetain(m_willRetain);
    m_client->setWillTopic(m_willTopic);
}

void MqttClient::onStateChanged(MosquittoClient::ClientState state)
{
    switch (state) {
    case MosquittoClient::Connecting:
        log.debug("State is Connecting.");
        m_timer->start();
        break;
    case MosquittoClient::Connected:
        log.debug("State is Connected.");
        m_timer->stop();
        break;
    case MosquittoClient::Disconnected:
        log.debug("State is Disconnected.");
        QTimer::singleShot(int(m_retryMillis), Qt::PreciseTimer, this, &MqttClient::onReconnect);
        break;
    }
}

void MqttClient::onTimeout()
{
    // The attempt did not complete in time: drop its connection; the disconnection
    // schedules the next attempt.
    m_client->closeTransport();
}

void MqttClient::onReconnect()
{
    if (m_client->state() == MosquittoClient::Disconnected)
        connect();
}

void MqttClient::onConnected()
{
    log.info("Connected to broker ", Secrets::maskUrls(m_hostname));
    const auto subscriptions = m_subscriptions;
    for (const auto &s : subscriptions)
        doSubscribe(s.first, uchar(s.second));

    // Pending waits lost their subscriptions with the previous connection.
    const auto ids = m_waits.keys();
    for (quint64 id : ids) {
        auto it = m_waits.find(id);
        if (it == m_waits.end() || !isConnected())
            continue;
        if (it->subscription && it->subscription->state() != MosquittoSubscription::Unsubscribed)
            continue;
        MosquittoSubscription *sub = m_client->subscribe(it->topic, 1);
        if (sub) {
            it->subscription = sub;
            attachWait(id, sub);
        }
    }
}

void MqttClient::onDisconnected()
{
    log.info("Disconnected from broker ", Secrets::maskUrls(m_hostname));
}

// --- messaging -----------------------------------------------------------------------------

void MqttClient::subscribe(QString topic, uchar qos)
{
    m_subscriptions.append({topic, int(qos)});
    if (isConnected())
        doSubscribe(topic, qos);
}

void MqttClient::subscribe(QString topic)
{
    subscribe(topic, 0);
}

void MqttClient::subscribeCommands(QString topic, uchar qos)
{
    m_commandFilters.append(topic);
    subscribe(topic, qos);
}

void MqttClient::doSubscribe(const QString &filter, uchar qos)
{
    log.info("Subscribing to '", filter, "' with QoS = ", int(qos));
    if (!m_client->subscribe(filter, qos))
        emit error(QStringLiteral("Subscription to ") + filter + QStringLiteral(" failed."));
}

bool MqttClient::publish(QByteArray data, QString topic, uchar qos, bool retain)
{
    if (!isConnected())
        return false;
    log.debug("Publishing to topic '", topic, "' with Qos = ", int(qos), " and Retain = ", boolText(retain), ":\n", data);
    if (m_client->publish(topic, data, qos, retain) == -1) {
        emit error(QStringLiteral("Publish to ") + topic + QStringLiteral(" failed."));
        return false;
    }
    return true;
}

bool MqttClient::publish(QByteArray data, QString topic, uchar qos)
{
    return publish(data, topic, qos, false);
}

bool MqttClient::publish(QByteArray data, QString topic)
{
    return publish(data, topic, 0, false);
}

void MqttClient::onReceived(QByteArray message, QString topic, bool retained)
{
    if (retained && std::any_of(m_commandFilters.cbegin(), m_commandFilters.cend(),
                                [&](const QString &filter) { return MosquittoClient::matches(filter, topic); })) {
        log.info("Retained command ignored : ", Log::outside(topic));
        return;
    }
    // Any client of the broker may send anything: the payload is shown bounded, on one
    // line, with secrets (a "/config/set" object) masked.
    if (log.debugEnabled())
        log.debug("Received on topic: ", Log::outside(topic), "\n", Log::outside(Secrets::maskedPayload(message)));
    emit received(message, topic.toUtf8(), retained);
}

void MqttClient::onError(MosquittoClient::ClientError e)
{
    if (e == MosquittoClient::NoError)
        return;
    QString text;
    switch (e) {
    case MosquittoClient::InvalidProtocolVersion:
        text = QStringLiteral("Invalid protocol version: ") + QString::number(m_client->protocolVersion())
               + QStringLiteral(". ") + QStringLiteral("Broker does not accept a connection using the ")
               + QStringLiteral("specified protocol version.");
        break;
    case MosquittoClient::IdRejected:
        text = QStringLiteral("Id rejected: ") + m_client->clientId() + QStringLiteral(". ")
               + QStringLiteral("The client ID is malformed. This might be related to ") + QStringLiteral("its length.");
        break;
    case MosquittoClient::ServerUnavailable:
        text = QStringLiteral("Server unavailable: ") + Secrets::maskUrls(m_client->hostname()) + QStringLiteral(":")
               + QString::number(m_client->port()) + QStringLiteral(". ")
               + QStringLiteral("The network connection has been established, but the ")
               + QStringLiteral("service is unavailable on the broker side.");
        break;
    case MosquittoClient::BadUsernameOrPassword:
        text = QStringLiteral("Bad username or password. The data in the username or ")
               + QStringLiteral("password is malformed.");
        break;
    case MosquittoClient::NotAuthorized:
        text = QStringLiteral("Not authorized: ") + m_client->clientId() + QStringLiteral(". ")
               + QStringLiteral("The client is not authorized to connect.");
        break;
    case MosquittoClient::TransportInvalid:
        text = QStringLiteral("Transport invalid: ") + QStringLiteral("The underlying transport caused an error. For ")
               + QStringLiteral("example, the connection might have been interrupted ") + QStringLiteral("unexpectedly.");
        break;
    case MosquittoClient::ProtocolViolation:
        text = QStringLiteral("Protocol violation:") + QStringLiteral("The client encountered a protocol violation, and ")
               + QStringLiteral("therefore closed the connection.");
        break;
    default:
        text = QStringLiteral("Unknown error.");
        break;
    }
    // Which broker, and why: a wrong port or host shows at once.
    log.warning(text, " (broker ", Secrets::maskUrls(m_client->hostname()), ":", int(m_client->port()), ": ",
                Log::outside(m_client->errorString()), ")");
    emit error(QStringLiteral("Mqtt client error"));
}

// --- topic waits and request/response calls -------------------------------------------------

Deferred<QJsonValue> MqttClient::waitTopic(QString topic)
{
    return waitTopic(topic, 3000);
}

Deferred<QJsonValue> MqttClient::waitTopic(QString topic, int msec)
{
    Deferred<QJsonValue> result;
    if (!isConnected()) {
        result.reject(QJsonValue(QStringLiteral("Not connected")));
        return result;
    }
    MosquittoSubscription *sub = m_client->subscribe(topic, 1);
    if (!sub) {
        result.reject(QJsonValue(QStringLiteral("Subscription failed")));
        return result;
    }

    const quint64 id = ++m_lastWaitId;
    // One timer of this object's own per wait rather than a QTimer: a call makes no
    // object to create and delete later.
    const int timerId = msec != 0 ? startTimer(msec, Qt::PreciseTimer) : 0;
    if (timerId)
        m_waitTimers.insert(timerId, id);
    m_waits.insert(id, Wait{topic, result, timerId, sub});
    attachWait(id, sub);
    return result;
}

void MqttClient::attachWait(quint64 id, MosquittoSubscription *subscription)
{
    QObject::connect(subscription, &MosquittoSubscription::messageReceived, this,
                     [this, id](const QByteArray &payload) { onWaitMessage(id, payload); });
}

MqttClient::Wait MqttClient::takeWait(quint64 id, bool *found)
{
    // Whichever of message and time-out comes first ends the wait; the other finds nothing.
    auto it = m_waits.find(id);
    *found = it != m_waits.end();
    if (!*found)
        return {};
    Wait w = it.value();
    m_waits.erase(it);
    if (w.timerId) {
        killTimer(w.timerId);
        m_waitTimers.remove(w.timerId);
    }
    // Only this wait's own hold on its filter goes; others on the same filter stay.
    if (w.subscription)
        m_client->unsubscribe(w.subscription);
    return w;
}

void MqttClient::onWaitMessage(quint64 id, const QByteArray &payload)
{
    bool found = false;
    Wait w = takeWait(id, &found);
    if (!found)
        return;
    // Bytes that are not UTF-8 become replacement characters rather than spoiling the whole
    // answer; an empty one is an empty object.
    QByteArray text;
    const bool readable = messageText(payload, true, &text);
    QJsonParseError err;
    const QJsonDocument doc = Utils::parseJson(text.isEmpty() ? QByteArrayLiteral("{}") : text, &err);
    if (readable && err.error == QJsonParseError::NoError && doc.isObject())
        w.result.resolve(QJsonValue(doc.object()));
    else
        w.result.reject(QJsonValue(QStringLiteral("Invalid response")));
}

bool MqttClient::messageText(const QByteArray &payload, bool terminated, QByteArray *text)
{
    const int nul = payload.indexOf('\0');
    const int end = nul < 0 ? payload.size() : nul;
    if (nul >= 0 && (!terminated || nul == 0 || std::any_of(payload.cbegin() + nul, payload.cend(), [](char c) { return c; })))
        return false;
    *text = terminated ? QString::fromUtf8(payload.constData(), end).toUtf8() : payload;
    return true;
}

void MqttClient::timerEvent(QTimerEvent *event)
{
    const auto it = m_waitTimers.constFind(event->timerId());
    if (it == m_waitTimers.cend()) {
        QObject::timerEvent(event);
        return;
    }
    onWaitTimeout(it.value());
}

void MqttClient::onWaitTimeout(quint64 id)
{
    bool found = false;
    Wait w = takeWait(id, &found);
    if (found)
        w.result.reject(QJsonValue(QStringLiteral("Timeout")));
}

Deferred<QJsonValue> MqttClient::executeRpc(QString topic, QString rpcId, QJsonObject request)
{
    return executeRpc(topic, rpcId, request, 3000);
}

Deferred<QJsonValue> MqttClient::executeRpc(QString topic, QString rpcId, QJsonObject request, int msec)
{
    Deferred<QJsonValue> result;
    const QString requestTopic = topic + QStringLiteral("/request/") + rpcId;
    const QString responseTopic = topic + QStringLiteral("/response/") + rpcId;
    const QByteArray payload = QJsonDocument(request).toJson(QJsonDocument::Compact);

    Deferred<QJsonValue> wait = waitTopic(responseTopic, msec);
    wait.fail([result](QJsonValue e) mutable {
        rpcLog.critical("ERROR : ", e.toString());
        result.reject(e);
    });
    wait.done([result, responseTopic](QJsonValue answer) mutable {
        if (rpcLog.debugEnabled()) {
            rpcLog.debug("Received : ", responseTopic);
            rpcLog.debug("Data     : ", Log::outside(Utils::jsonToText(Secrets::masked(answer))));
        }
        result.resolve(answer);
    });
    // A call that failed at once sends nothing: its caller has been told it failed, so the
    // device must not act on it.
    if (!wait.isPending())
        return result;

    rpcLog.debug("Sending : ", requestTopic);
    rpcLog.debug("Data    : ", payload);
    m_client->publish(requestTopic, payload, 1, false);
    return result;
}

}  // namespace manager
