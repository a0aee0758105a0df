#pragma once
// Client of a local GPS service: the receiver's information, fix status and position
// as three records, and requests to switch the receiver on and off. Nothing in the
// terminal builds one; an owner gives it the shared connection and the service's root.
#include "Managers/ServiceClient.h"

#include <QDateTime>
#include <QMetaType>

namespace manager {

class GPSManager : public ServiceClient
{
    Q_OBJECT
    Q_DISABLE_COPY(GPSManager)

public:
    struct Info {
        QString firmware;
        QString manufacturer;
        QString model;
        QString imei;
        bool assisted = false;
        QString type;
        QString version;
    };

    struct Status {
        int fix = 0;
        int state = 0;
        bool simulation = false;
        QString error;
    };

    struct Telemetry {
        double latitude = 0;
        double longitude = 0;
        double altitude = 0;
        double direction = 0;
        double groundSpeed = 0;
        double verticalSpeed = 0;
        double verticalAccuracy = 0;
        double horizontalAccuracy = 0;
        double magneticVariation = 0;
    };

    GPSManager(MqttClient &client, const QString &root, QObject *parent = nullptr);

    const Info &info() const { return m_info; }
    const Status &status() const { return m_status; }
    const Telemetry &telemetry() const { return m_telemetry; }

    // Empty requests on root + "/enable" and root + "/disable"; false while disconnected.
    bool enable();
    bool disable();

signals:
    void infoChanged(manager::GPSManager::Info info);
    void statusChanged(manager::GPSManager::Status status);
    void telemetryChanged(manager::GPSManager::Telemetry data);

private:
    void onInfoReceived(const QJsonObject &json, const QString &topic);
    void onStatusReceived(const QJsonObject &json, const QString &topic);
    void onTelemetryReceived(const QJsonObject &json, const QString &topic);

    Info m_info;
    Status m_status;
    Telemetry m_telemetry;
    QDateTime m_time;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::GPSManager::Info)
Q_DECLARE_METATYPE(manager::GPSManager::Status)
Q_DECLARE_METATYPE(manager::GPSManager::Telemetry)
