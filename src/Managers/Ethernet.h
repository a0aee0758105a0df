#pragma once
// Client of the wired interface through the network service: its live state and
// addresses, its stored configuration, and saving a new configuration (automatic or
// manual addressing). Its root is the network root followed by "/ethernet".
#include "Managers/ServiceClient.h"
#include "Models/IPv4.h"

namespace manager {

class Ethernet : public ServiceClient
{
    Q_OBJECT
    Q_DISABLE_COPY(Ethernet)
    Q_PROPERTY(QString interface READ interface NOTIFY interfaceChanged)
    Q_PROPERTY(QString type READ type NOTIFY typeChanged)
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY reasonChanged)
    Q_PROPERTY(QString mac READ mac NOTIFY macChanged)
    Q_PROPERTY(QString method READ method WRITE setMethod NOTIFY methodChanged)
    Q_PROPERTY(IPv4 *ipv4 READ ipv4 NOTIFY ipv4Changed)
    Q_PROPERTY(IPv4 *config READ config NOTIFY configChanged)

public:
    // root is the network service's root.
    Ethernet(MqttClient &mqtt, const QString &root, QObject *parent = nullptr);

    QString interface() const { return m_interface; }
    QString type() const { return m_type; }
    QString state() const { return m_state; }
    QString reason() const { return m_reason; }
    QString mac() const { return m_mac; }
    QString method() const { return m_method; }
    // Live addresses of the interface.
    IPv4 *ipv4() { return &m_ipv4; }
    // Configured addresses, edited by the screen before save().
    IPv4 *config() { return &m_config; }

    void setMethod(const QString &method);

signals:
    void interfaceChanged();
    void typeChanged();
    void stateChanged();
    void reasonChanged();
    void macChanged();
    void methodChanged();
    void ipv4Changed();
    void configChanged();

public slots:
    // Sends the method and, for "manual", the configured addresses to the service.
    void save();
    // Asks the service for the interface's state and configuration.
    void reset();

private:
    void subscribe();
    void onStateReceived(const QJsonObject &json, const QString &topic);
    void onConfigReceived(const QJsonObject &json, const QString &topic);

    QString m_interface;
    QString m_type;
    QString m_state;
    QString m_reason;
    QString m_mac;
    QString m_method;
    IPv4 m_ipv4;
    IPv4 m_config;
};

} // namespace manager
