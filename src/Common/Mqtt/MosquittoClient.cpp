#include "Common/Mqtt/MosquittoClient.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

constexpr int kMiscIntervalMs = 200;

void libraryInit()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

MosquittoClient::ClientError errorOfConnack(int rc)
{
    switch (rc) {
    case 1: return MosquittoClient::InvalidProtocolVersion;
    case 2: return MosquittoClient::IdRejected;
    case 3: return MosquittoClient::ServerUnavailable;
    case 4: return MosquittoClient::BadUsernameOrPassword;
    case 5: return MosquittoClient::NotAuthorized;
    default: return MosquittoClient::UnknownError;
    }
}

MosquittoClient::ClientError errorOfDisconnect(int rc)
{
    switch (rc) {
    case MOSQ_ERR_SUCCESS: return MosquittoClient::NoError;
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
    case MOSQ_ERR_DUPLICATE_PROPERTY:
    case MOSQ_ERR_QOS_NOT_SUPPORTED:
    case MOSQ_ERR_OVERSIZE_PACKET: return MosquittoClient::ProtocolViolation;
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_UNKNOWN: return MosquittoClient::UnknownError;
    default: return MosquittoClient::TransportInvalid;
    }
}

}  // namespace

MosquittoClient::MosquittoClient(QObject *parent)
    : QObject(parent)
{
    libraryInit();
    m_miscTimer = new QTimer(this);
    m_miscTimer->setInterval(kMiscIntervalMs);
    QObject::connect(m_miscTimer, &QTimer::timeout, this, &MosquittoClient::onMiscTimer);
}

MosquittoClient::~MosquittoClient()
{
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
    destroyInstance();
}

void MosquittoClient::connectToHost()
{
    if (m_state == Connected)
        return;
    // A running attempt is dropped quietly and replaced by one with the current settings.
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    destroyInstance();
    const quint64 generation = ++m_generation;
    m_state = Connecting;
    emit stateChanged(Connecting);
    if (m_state != Connecting || generation != m_generation)
        return;  // a listener changed course

    QHostAddress literal;
    if (literal.setAddress(m_host)) {
        startAttempt(m_host);
        return;
    }
    // Name resolution runs off the event loop; the attempt goes on when it answers.
    m_lookupId = QHostInfo::lookupHost(m_host, this, SLOT(onLookedUp(QHostInfo)));
}

void MosquittoClient::onLookedUp(const QHostInfo &info)
{
    if (info.lookupId() != m_lookupId)
        return;
    m_lookupId = -1;
    if (m_state != Connecting || m_mosq)
        return;
    QString address;
    for (const QHostAddress &a : info.addresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            address = a.toString();
            break;
        }
        if (address.isEmpty())
            address = a.toString();
    }
    if (address.isEmpty()) {
        noteReason(info.errorString());
        teardown(TransportInvalid);
        return;
    }
    startAttempt(address);
}

void MosquittoClient::startAttempt(const QString &address)
{
    destroyInstance();
    m_reason.clear();
    const QByteArray id = m_clientId.toUtf8();
    m_mosq = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), m_cleanSession, this);
    if (!m_mosq) {
        teardown(id.isEmpty() && !m_cleanSession ? IdRejected : UnknownError);
        return;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // Small packets go out at once: requests, acknowledgements and unsubscriptions are
    // not held back waiting for earlier ones to be acknowledged by TCP.
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(m_mosq, &MosquittoClient::onConnectCb);
    mosquitto_disconnect_callback_set(m_mosq, &MosquittoClient::onDisconnectCb);
    mosquitto_message_callback_set(m_mosq, &MosquittoClient::onMessageCb);
    mosquitto_subscribe_callback_set(m_mosq, &MosquittoClient::onSubscribeCb);

    if (!m_username.isEmpty()) {
        const QByteArray user = m_username.toUtf8();
        const QByteArray password = m_password.toUtf8();
        mosquitto_username_pw_set(m_mosq, user.constData(),
                                  m_password.isEmpty() ? nullptr : password.constData());
    }
    if (!m_willTopic.isEmpty()) {
        const QByteArray topic = m_willTopic.toUtf8();
        if (mosquitto_will_set(m_mosq, topic.constData(), m_willMessage.size(), m_willMessage.constData(),
                               m_willQoS, m_willRetain)
            != MOSQ_ERR_SUCCESS) {
            teardown(ProtocolViolation);
            return;
        }
    }

    // Asynchronous connect: the TCP handshake and the CONNECT packet go out as the socket
    // becomes writable; the CONNACK arrives through the read notifier.
    const QByteArray host = address.toUtf8();
    const int rc = mosquitto_connect_async(m_mosq, host.constData(), m_port, m_keepAlive);
    if (rc != MOSQ_ERR_SUCCESS) {
        noteResult(rc);
        teardown(rc == MOSQ_ERR_INVAL ? UnknownError : TransportInvalid);
        return;
    }
    m_miscTimer->start();
    afterIo();
}

void MosquittoClient::disconnectFromHost()
{
    if (m_state == Disconnected)
        return;
    if (m_state == Connected && m_mosq) {
        mosquitto_disconnect(m_mosq);
        // The library closes the connection once DISCONNECT is written; the events of that
        // are handled right here.
        afterIo();
    }
    if (m_state != Disconnected)
        teardown(NoError);
}

void MosquittoClient::closeTransport()
{
    if (m_state == Disconnected)
        return;
    noteReason(m_state == Connecting ? QStringLiteral("no answer in time, attempt given up")
                                     : QStringLiteral("connection dropped"));
    teardown(TransportInvalid);
}

MosquittoSubscription *MosquittoClient::subscribe(const QString &filter, quint8 qos)
{
    if (m_state != Connected || !m_mosq || qos > 2)
        return nullptr;
    const QByteArray f = filter.toUtf8();
    if (filter.isEmpty() || mosquitto_sub_topic_check(f.constData()) != MOSQ_ERR_SUCCESS)
        return nullptr;

    Filter &entry = m_filters[filter];
    if (entry.brokerQos < qos) {
        int mid = 0;
        if (mosquitto_subscribe(m_mosq, &mid, f.constData(), qos) != MOSQ_ERR_SUCCESS) {
            if (entry.holds.isEmpty())
                m_filters.remove(filter);
            afterIo();
            return nullptr;
        }
        entry.brokerQos = qos;
        entry.acknowledged = false;
        entry.refused = false;
        m_subscribeMids.insert(mid, filter);
    }
    auto *hold = new MosquittoSubscription(this, filter, qos);
    if (entry.acknowledged)
        hold->m_state = entry.refused ? MosquittoSubscription::Error : MosquittoSubscription::Subscribed;
    entry.holds.append(hold);
    afterIo();
    return hold;
}

void MosquittoClient::unsubscribe(MosquittoSubscription *subscription)
{
    if (subscription && releaseHold(subscription)) {
        subscription->setState(MosquittoSubscription::Unsubscribed);
        subscription->deleteLater();
    }
}

bool MosquittoClient::releaseHold(MosquittoSubscription *subscription)
{
    auto it = m_filters.find(subscription->topic());
    if (it == m_filters.end() || !it->holds.removeOne(subscription))
        return false;  // already released, or dropped with its connection
    for (int i = it->holds.size() - 1; i >= 0; --i)
        if (!it->holds.at(i))
            it->holds.removeAt(i);
    if (!it->holds.isEmpty())
        return true;
    // The last hold on the filter: only now does the broker hear of it.
    const QByteArray filter = it.key().toUtf8();
    m_filters.erase(it);
    if (m_state == Connected && m_mosq) {
        mosquitto_unsubscribe(m_mosq, nullptr, filter.constData());
        afterIo();
    }
    return true;
}

int MosquittoClient::publish(const QString &topic, const QByteArray &message, quint8 qos, bool retain)
{
    if (m_state != Connected || !m_mosq)
        return -1;
    const QByteArray t = topic.toUtf8();
    int mid = 0;
    const int rc = mosquitto_publish(m_mosq, &mid, t.constData(), message.size(), message.constData(), qos, retain);
    afterIo();
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

bool MosquittoClient::matches(const QString &filter, const QString &topic)
{
    bool match = false;
    return mosquitto_topic_matches_sub(filter.toUtf8().constData(), topic.toUtf8().constData(), &match)
               == MOSQ_ERR_SUCCESS
           && match;
}

// --- library callbacks: recorded only, handled once the library call has returned -----------

void MosquittoClient::onConnectCb(mosquitto *m, void *self, int rc)
{
    auto *c = static_cast<MosquittoClient *>(self);
    if (c->m_mosq == m)
        c->m_events.append({Event::Connack, c->m_generation, rc, {}, {}, 0});
}

void MosquittoClient::onDisconnectCb(mosquitto *m, void *self, int rc)
{
    auto *c = static_cast<MosquittoClient *>(self);
    if (c->m_mosq == m && rc != MOSQ_ERR_SUCCESS)
        c->noteResult(rc);
    if (c->m_mosq == m)
        c->m_events.append({Event::Disconnect, c->m_generation, rc, {}, {}, 0});
}

void MosquittoClient::onMessageCb(mosquitto *m, void *self, const mosquitto_message *msg)
{
    auto *c = static_cast<MosquittoClient *>(self);
    if (c->m_mosq != m || !msg || !msg->topic)
        return;
    c->m_events.append({Event::Message, c->m_generation, msg->mid, QString::fromUtf8(msg->topic),
                        QByteArray(static_cast<const char *>(msg->payload), msg->payloadlen), 0, msg->retain});
}

void MosquittoClient::onSubscribeCb(mosquitto *m, void *self, int mid, int count, const int *granted)
{
    auto *c = static_cast<MosquittoClient *>(self);
    if (c->m_mosq == m)
        c->m_events.append({Event::Suback, c->m_generation, mid, {}, {}, count > 0 && granted ? granted[0] : 0x80});
}

// --- event loop side ---------------------------------------------------------------------------

void MosquittoClient::onReadable()
{
    if (!m_mosq)
        return;
    noteResult(mosquitto_loop_read(m_mosq, 1));
    afterIo();
}

void MosquittoClient::onWritable()
{
    if (!m_mosq)
        return;
    noteResult(mosquitto_loop_write(m_mosq, 1));
    afterIo();
}

void MosquittoClient::onMiscTimer()
{
    if (!m_mosq) {
        m_miscTimer->stop();
        return;
    }
    mosquitto_loop_misc(m_mosq);
    afterIo();
}

void MosquittoClient::afterIo()
{
    drain();
    if (!m_mosq)
        return;
    if (mosquitto_socket(m_mosq) < 0) {
        // The library let go of the connection without telling (or before a CONNACK).
        teardown(TransportInvalid);
        return;
    }
    syncNotifiers();
}

void MosquittoClient::drain()
{
    while (!m_events.isEmpty()) {
        QVector<Event> events;
        events.swap(m_events);
        QPointer<MosquittoClient> self(this);
        for (const Event &e : qAsConst(events)) {
            if (!self)
                return;
            if (e.generation != m_generation || !m_mosq)
                continue;  // left over from a connection that has ended
            switch (e.kind) {
            case Event::Connack:
                if (e.code != 0) {
                    noteReason(QString::fromUtf8(mosquitto_connack_string(e.code)));
                    teardown(errorOfConnack(e.code));
                    break;
                }
                m_error = NoError;
                m_reason.clear();
                m_reported.clear();
                setState(Connected);
                if (self && m_state == Connected)
                    emit connected();
                break;
            case Event::Disconnect:
                teardown(m_state == Connected ? errorOfDisconnect(e.code)
                                              : (e.code == MOSQ_ERR_SUCCESS ? NoError : TransportInvalid));
                break;
            case Event::Suback: {
                const QString filter = m_subscribeMids.take(e.code);
                auto it = m_filters.find(filter);
                if (filter.isEmpty() || it == m_filters.end())
                    break;
                it->acknowledged = true;
                it->refused = e.granted >= 0x80;
                const auto holds = it->holds;
                for (const auto &h : holds)
                    if (h && h->state() == MosquittoSubscription::SubscriptionPending)
                        h->setState(it->refused ? MosquittoSubscription::Error : MosquittoSubscription::Subscribed);
                break;
            }
            case Event::Message: {
                emit messageReceived(e.payload, e.topic, e.retained);
                if (!self || e.generation != m_generation)
                    break;
                // Everyone holding a matching filter, gathered first: handlers may subscribe
                // and unsubscribe while the message is handed out.
                QVector<QPointer<MosquittoSubscription>> targets;
                for (auto it = m_filters.cbegin(); it != m_filters.cend(); ++it)
                    if (matches(it.key(), e.topic))
                        targets += it->holds;
                for (const auto &h : qAsConst(targets)) {
                    if (!self || e.generation != m_generation)
                        break;
                    if (h && h->state() != MosquittoSubscription::Unsubscribed)
                        emit h->messageReceived(e.payload, e.topic, e.retained);
                }
                break;
            }
            }
        }
    }
}

void MosquittoClient::syncNotifiers()
{
    const int fd = m_mosq ? mosquitto_socket(m_mosq) : -1;
    if (fd != m_fd)
        removeNotifiers();
    if (fd < 0)
        return;
    if (!m_readNotifier) {
        m_fd = fd;
        m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        QObject::connect(m_readNotifier, &QSocketNotifier::activated, this, &MosquittoClient::onReadable);
        m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        QObject::connect(m_writeNotifier, &QSocketNotifier::activated, this, &MosquittoClient::onWritable);
    }
    const bool wantWrite = mosquitto_want_write(m_mosq);
    if (m_writeNotifier->isEnabled() != wantWrite)
        m_writeNotifier->setEnabled(wantWrite);
}

void MosquittoClient::removeNotifiers()
{
    // Notifiers go before the library closes their socket.
    for (QSocketNotifier **n : {&m_readNotifier, &m_writeNotifier}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->disconnect(this);
            (*n)->deleteLater();
            *n = nullptr;
        }
    }
    m_fd = -1;
}

void MosquittoClient::destroyInstance()
{
    removeNotifiers();
    m_miscTimer->stop();
    if (m_mosq) {
        mosquitto *m = m_mosq;
        m_mosq = nullptr;
        mosquitto_destroy(m);
    }
}

void MosquittoClient::teardown(ClientError error)
{
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    destroyInstance();
    ++m_generation;
    m_events.clear();
    m_subscribeMids.clear();

    // Every hold ends with its connection.
    const auto filters = m_filters;
    m_filters.clear();

    const bool wasConnected = m_state == Connected;
    const ClientState before = m_state;
    m_state = Disconnected;
    QPointer<MosquittoClient> self(this);

    for (const Filter &f : filters) {
        for (const auto &h : f.holds) {
            if (h) {
                h->setState(MosquittoSubscription::Unsubscribed);
                if (h)
                    h->deleteLater();
            }
        }
    }
    if (!self)
        return;
    if (before != Disconnected) {
        emit stateChanged(Disconnected);
        if (!self)
            return;
        if (wasConnected)
            emit disconnected();
        if (!self)
            return;
    }
    // A failure is announced when it differs from the last one: another error, broker or
    // reason (the same refusal every few seconds is announced once).
    if (error == NoError)
        return;
    m_errorString = m_reason.isEmpty() ? QStringLiteral("connection lost") : m_reason;
    const QString report = QString::number(error) + QLatin1Char(' ') + m_host + QLatin1Char(':')
                           + QString::number(m_port) + QLatin1Char(' ') + m_errorString;
    if (report != m_reported || error != m_error) {
        m_error = error;
        m_reported = report;
        emit errorChanged(error);
    }
}

void MosquittoClient::noteReason(const QString &reason)
{
    if (m_reason.isEmpty())
        m_reason = reason;
}

void MosquittoClient::noteResult(int rc)
{
    if (rc == MOSQ_ERR_SUCCESS)
        return;
    // The library's own words for the outcome, or the system's for a failed call.
    const int number = errno;
    noteReason(QString::fromLocal8Bit(rc == MOSQ_ERR_ERRNO ? std::strerror(number) : mosquitto_strerror(rc)));
}

void MosquittoClient::setState(ClientState s)
{
    if (m_state == s)
        return;
    m_state = s;
    emit stateChanged(s);
}
