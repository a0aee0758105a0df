#pragma once
// Client of the local card dispenser service: mirrors its "/info" and "/status"
// sensors, turns its card events into signals and makes its request/response calls.
#include "Deferred/Deferred.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

namespace manager {

class MqttClient;

class Dispenser : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(QString software READ software NOTIFY softwareChanged)
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

    const QString &manufacturer() const { return m_manufacturer; }
    const QString &model() const { return m_model; }
    const QString &firmware() const { return m_firmware; }
    const QString &software() const { return m_software; }
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
    void manufacturerChanged();
    void modelChanged();
    void firmwareChanged();
    void softwareChanged();
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

private slots:
    void onReceived(const QByteArray &data, const QByteArray &from);

private:
    void onStatus(const QJsonObject &status);
    Deferred<Result> executeRpc(const QString &path, const QJsonObject &params, int msec);

    void setManufacturer(const QString &value);
    void setModel(const QString &value);
    void setFirmware(const QString &value);
    void setSoftware(const QString &value);
    void setCartridge(const QString &value);
    void setActive(bool value);
    void setIsJammed(bool value);
    void setIsDoorOpen(bool value);
    void setCardInMouth(bool value);
    void setCardInRfid(bool value);
    void setCartridgePercent(int value);

    MqttClient &m_mqtt;
    QString m_topic;
    QString m_manufacturer;
    QString m_model;
    QString m_firmware;
    QString m_software;
    bool m_active = false;
    bool m_isJammed = false;
    bool m_isDoorOpen = false;
    bool m_cardInMouth = false;
    bool m_cardInRfid = false;
    QString m_cartridge;
    int m_cartridgePercent = 0;
    int m_rpcId = 0;
    int m_requestTimeoutMs = RequestTimeoutMs;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::Dispenser::Result)
