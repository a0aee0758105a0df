#pragma once
// Client of the local card dispenser service: mirrors its "/info" and "/status"
// sensors, turns its card events into signals and makes its request/response calls.
#include "Deferred/Deferred.h"
#include "Managers/DeviceClient.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

namespace manager {

class MqttClient;

class Dispenser : public DeviceClient
{
    Q_OBJECT
    Q_DISABLE_COPY(Dispenser)
    Q_PROPERTY(QString cartridge READ cartridge NOTIFY cartridgeChanged)
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
    Q_PROPERTY(bool isJammed READ isJammed NOTIFY isJammedChanged)
    Q_PROPERTY(bool isDoorOpen READ isDoorOpen NOTIFY isDoorOpenChanged)
    Q_PROPERTY(bool cardInMouth READ cardInMouth NOTIFY cardInMouthChanged)
    Q_PROPERTY(bool cardInRfid READ cardInRfid NOTIFY cardInRfidChanged)
    Q_PROPERTY(int cartridgePercent READ cartridgePercent NOTIFY cartridgePercentChanged)

public:
    // Outcome of every call: 0 on success, the service's error code, or -1 when the
    // call itself failed; the description is empty on success.
    struct Result {
        int code = 0;
        QString description;
    };

    // Time-out of every request/response call to the dispenser service.
    static constexpr int RequestTimeoutMs = 30000;

    // requestTimeoutMs: time-out of each call; tests may shorten it.
    Dispenser(MqttClient &mqtt, const QString &topic, QObject *parent = nullptr,
              int requestTimeoutMs = RequestTimeoutMs);

    const QString &cartridge() const { return m_cartridge; }
    bool active() const { return m_active; }
    bool isJammed() const { return m_isJammed; }
    bool isDoorOpen() const { return m_isDoorOpen; }
    bool cardInMouth() const { return m_cardInMouth; }
    bool cardInRfid() const { return m_cardInRfid; }
    int cartridgePercent() const { return m_cartridgePercent; }

    Deferred<Result> accept();
    Deferred<Result> issue();
    Deferred<Result> dispose();
    Deferred<Result> eject();
    Deferred<Result> collect();
    Deferred<Result> enableAccept();
    Deferred<Result> disableAccept();
    // Waits for the card to be taken from the mouth; 0 (or less) waits without a time-out.
    Deferred<Result> waitCollect(int seconds);

    bool setLEDs(uchar leds);

signals:
    void activeChanged();
    void isJammedChanged();
    void isDoorOpenChanged();
    void cardInMouthChanged();
    void cardInRfidChanged();
    void cartridgeChanged();
    void cartridgePercentChanged();
    void sensorsChanged();
    void cardInserted();
    void cardRemoved();
    void cardDisposed();
    // The service reported its sensors (each "/status" of a service that is there, also
    // when nothing changed: after a reconnection it says the service is back).
    void statusReceived();
    // The broker connection was lost: what the service publishes meanwhile (its answers, its
    // card events) is not heard, and its next report tells what happened.
    void connectionLost();

private:
    static ParseRules rules();
    void onStatus(const QJsonObject &status);
    Deferred<Result> executeRpc(const QString &path, const QJsonObject &params, int msec);

    bool m_active = false;
    bool m_isJammed = false;
    bool m_isDoorOpen = false;
    bool m_cardInMouth = false;
    bool m_cardInRfid = false;
    QString m_cartridge;
    int m_cartridgePercent = 0;
    int m_requestTimeoutMs = RequestTimeoutMs;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::Dispenser::Result)
