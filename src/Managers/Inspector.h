#pragma once
// Client of the local system inspector service: whether it runs and its version, the
// internal audio card's volume, playing sound files, and reboot or shutdown of the
// machine on request or at a scheduled time.
#include "Managers/ServiceClient.h"

#include <QTimer>
#include <QVariantMap>

namespace manager {

class Inspector : public ServiceClient
{
    Q_OBJECT
    Q_DISABLE_COPY(Inspector)
    Q_PROPERTY(QVariantMap info READ info NOTIFY infoChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QVariantMap memory READ memory NOTIFY memoryChanged)
    Q_PROPERTY(QVariantMap cpu READ cpu NOTIFY cpuChanged)
    Q_PROPERTY(QVariantMap disks READ disks NOTIFY disksChanged)
    Q_PROPERTY(int audioVolume READ audioVolume WRITE setAudioVolume NOTIFY audioVolumeChanged)

public:
    Inspector(MqttClient &mqtt, const QString &root, QObject *parent = nullptr);

    QVariantMap info() const { return m_info; }
    // "online", "offline", or empty until the service reported.
    QString status() const { return m_status; }
    QVariantMap memory() const { return m_memory; }
    QVariantMap cpu() const { return m_cpu; }
    QVariantMap disks() const { return m_disks; }
    // The internal card's volume in percent (0 while unknown).
    int audioVolume() const;

signals:
    void infoChanged();
    void statusChanged();
    void memoryChanged();
    void cpuChanged();
    void disksChanged();
    void audioVolumeChanged();
    void systemRebootStarted();
    void systemShutdownStarted();

public slots:
    void refresh();
    void monitor(int msec);
    // Asks the service to set the volume; the stored value follows its next report.
    void setAudioVolume(int value);
    void audioPlay(QString file);
    // Announced at once; the request goes to the service 2000 ms later.
    void systemReboot();
    void systemShutdown();
    void scheduleShutdown(int sec);
    void abortShutdown();

private:
    void subscribe();
    void setStatus(const QString &status);
    void onInfoReceived(const QJsonObject &json, const QString &topic);
    void onStatusReceived(const QJsonObject &json, const QString &topic);
    void onAudioReceived(const QJsonObject &json, const QString &topic);

    QVariantMap m_info;
    QString m_status;
    QVariantMap m_memory;
    QVariantMap m_cpu;
    QVariantMap m_disks;
    QVariantMap m_audio;
    QTimer m_monitorTimer;
    QTimer m_shutdownTimer;
};

} // namespace manager
