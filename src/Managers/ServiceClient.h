#pragma once
// The common form of a client of a local service reached over the shared MQTT
// connection: a topic root kept for the object's life, handlers for exact topics under
// it (the first registered suffix that matches wins), the JSON parse step with its
// critical line, request/response calls with ids of the client's own, and
// notifying-property setters that emit only on a real change.
#include "Common/Log/Log.h"
#include "Common/Log/LogLimit.h"
#include "Common/Property.h"
#include "Deferred/Deferred.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

namespace manager {

class MqttClient;

// How a service client's parse step treats what is not a plain JSON object.
struct ServiceParseRules {
    // The critical line carries the parser's error text, or the raw payload.
    bool rawPayloadInError = false;
    // An empty payload reads as an empty object, or fails like broken JSON.
    bool emptyIsObject = true;
    // A document that parses but is no object (an array) reads as an empty
    // object, or fails like broken JSON.
    bool nonObjectIsEmpty = true;
    // The payload is read as UTF-8 text up to the NUL bytes that end it (a service that
    // pads its messages; a stray byte becomes a replacement character). Any other NUL
    // byte fails like broken JSON (MqttClient::messageText).
    bool textToNul = false;
    // The critical line names the topic, in the form
    // "ERROR: Failed to parse JSON message (topic=T) :payload )".
    bool topicInError = false;
};

class ServiceClient : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ServiceClient)

public:
    const QString &root() const { return m_root; }

protected:
    using ParseRules = ServiceParseRules;

    using Handler = std::function<void(const QJsonObject &json, const QString &topic)>;

    ServiceClient(MqttClient &mqtt, const QString &root, const Log &log, QObject *parent = nullptr,
                  ParseRules rules = ParseRules());

    MqttClient &mqtt() const { return m_mqtt; }
    const Log &log() const { return m_log; }

    // Adds a handled topic: root + suffix, compared for equality, in the order added.
    void handle(const QString &suffix, Handler handler);
    // Subscribes every handled topic at QoS 0.
    void subscribeTopics();
    // Subscribes root + "/#" at QoS 0 instead, for a client that follows the whole tree.
    void subscribeTree();
    // Publishes a document on root + suffix (publishEmpty: an empty payload),
    // QoS 0, not retained; false while the broker is not connected.
    bool publish(const QString &suffix, const QJsonObject &payload);
    bool publishEmpty(const QString &suffix);
    // The same in the given text form (some services are sent indented documents).
    bool publish(const QString &suffix, const QJsonObject &payload, QJsonDocument::JsonFormat format);
    // A request/response call on root + suffix with the next id of this client.
    Deferred<QJsonValue> call(const QString &suffix, const QJsonObject &params, int msec);

    // A call answered by the device services' convention: an answer with "completed" true
    // resolves with completed(answer); any other answer rejects with refused(its "error"
    // object); a call that got no usable answer rejects with failed(the failure text).
    template<typename R, typename Completed, typename Refused, typename Failed>
    Deferred<R> request(const QString &suffix, const QJsonObject &params, int msec, Completed completed,
                        Refused refused, Failed failed)
    {
        Deferred<R> result;
        call(suffix, params, msec)
            .done([result, completed, refused](QJsonValue answer) mutable {
                const QJsonObject json = answer.toObject();
                if (json.value(QStringLiteral("completed")) == QJsonValue(true))
                    result.resolve(completed(json));
                else
                    result.reject(refused(json.value(QStringLiteral("error")).toObject()));
            })
            .fail([result, failed](QJsonValue failure) mutable { result.reject(failed(failure.toString())); });
        return result;
    }

    // Stores a notifying property's value, emitting its signal only when it changed.
    template<typename Obj, typename T, typename V>
    bool set(T &field, const V &value, void (Obj::*signal)())
    {
        return updateProperty(static_cast<Obj *>(this), field, value, signal);
    }
    // The same, writing the information line made of parts before the signal on a change.
    template<typename Obj, typename T, typename V, typename... Parts>
    bool setLogged(T &field, const V &value, void (Obj::*signal)(), const Parts &...parts)
    {
        if (field == value)
            return false;
        m_log.info(parts...);
        field = value;
        emit(static_cast<Obj *>(this)->*signal)();
        return true;
    }

    // Every message of the shared connection passes here first.
    void onMqttReceived(const QByteArray &payload, const QString &topic);

private:
    struct Route {
        QString topic;
        Handler handler;
    };

    MqttClient &m_mqtt;
    const QString m_root;
    const Log m_log;
    LogLimit m_parseErrors; // broken messages, which any client of the broker can send
    const ParseRules m_rules;
    QVector<Route> m_routes;
    quint64 m_callId = 0;
};

} // namespace manager
