#pragma once
// Client of the local software update service: installed and pending versions, the
// service's state and the progress of a download or installation, and the requests to
// check for updates, download a version and install the pending one.
#include "Managers/ServiceClient.h"

#include <QTimer>

namespace manager {

class Update : public ServiceClient
{
    Q_OBJECT
    Q_DISABLE_COPY(Update)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString current READ current NOTIFY currentChanged)
    Q_PROPERTY(QString pending READ pending NOTIFY pendingChanged)
    Q_PROPERTY(QString progressMessage READ progressMessage NOTIFY progressMessageChanged)
    Q_PROPERTY(int progressPercent READ progressPercent NOTIFY progressPercentChanged)

public:
    Update(MqttClient &mqtt, const QString &root, QObject *parent = nullptr);

    QString status() const { return m_status; }
    QString current() const { return m_current; }
    QString pending() const { return m_pending; }
    QString progressMessage() const { return m_progressMessage; }
    int progressPercent() const { return m_progressPercent; }

    // Asks the service for its status (on every broker connection).
    void refresh();

signals:
    void statusChanged();
    void currentChanged();
    void pendingChanged();
    void progressMessageChanged();
    void progressPercentChanged();

public slots:
    void check();
    void install();
    void trigger(QString version, QString uri, QString checksum);
    void trigger(QString version, QString uri);

private:
    void onStatusReceived(const QJsonObject &json, const QString &topic);
    void onProgressReceived(const QJsonObject &json, const QString &topic);
    void onMqttDisconnected();
    void checkTimerExpired();

    void setStatus(const QString &value) { set(m_status, value, &Update::statusChanged); }
    void setCurrent(const QString &value) { set(m_current, value, &Update::currentChanged); }
    void setPending(const QString &value) { set(m_pending, value, &Update::pendingChanged); }
    void setProgressMessage(const QString &value) { set(m_progressMessage, value, &Update::progressMessageChanged); }
    void setProgressPercent(int value) { set(m_progressPercent, value, &Update::progressPercentChanged); }

    QString m_status = QStringLiteral("Disconnected");
    QString m_current;
    QString m_pending;
    QString m_progressMessage;
    qint32 m_progressPercent = 0;
    QTimer m_checkTimer;
};

} // namespace manager
