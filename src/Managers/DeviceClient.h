#pragma once
// A client of a local device service (the RFID reader, the card dispenser): the service
// client form, plus the device's identity as its service reports it on "/info".
#include "Managers/ServiceClient.h"

namespace manager {

class DeviceClient : public ServiceClient
{
    Q_OBJECT
    Q_DISABLE_COPY(DeviceClient)
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(QString software READ software NOTIFY softwareChanged)

public:
    const QString &manufacturer() const { return m_manufacturer; }
    const QString &model() const { return m_model; }
    const QString &firmware() const { return m_firmware; }
    const QString &software() const { return m_software; }

signals:
    void manufacturerChanged();
    void modelChanged();
    void firmwareChanged();
    void softwareChanged();

protected:
    using ServiceClient::ServiceClient;

    // Device services send objects only: anything else is refused like broken JSON,
    // and the critical line shows the payload as it came.
    static ParseRules objectRules()
    {
        ParseRules rules;
        rules.rawPayloadInError = true;
        rules.nonObjectIsEmpty = false;
        return rules;
    }

    // Takes the identity from an "/info" document: "device" firmware, manufacturer and
    // model, "service" version.
    void onInfo(const QJsonObject &info);

private:
    QString m_manufacturer;
    QString m_model;
    QString m_firmware;
    QString m_software;
};

} // namespace manager
