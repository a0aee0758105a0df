#pragma once
// Client of the local network service: the machine's overall connection state,
// connectivity, host name and primary connection, and the wired-interface client
// under the same root.
#include "Managers/ServiceClient.h"
#include "Models/IPv4.h"

#include <QTimer>
#include <QVariantMap>

namespace manager {

class Ethernet;

// One connection as the network service reports it, with its IPv4 settings.
class Connection : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Connection)
    Q_PROPERTY(QString interface READ interface NOTIFY interfaceChanged)
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString type READ type NOTIFY typeChanged)
    Q_PROPERTY(IPv4 *ipv4 READ ipv4 NOTIFY ipv4Changed)

public:
    explicit Connection(QObject *parent = nullptr);
    Connection(const QVariantMap &map, QObject *parent);

    // Takes "interface", "stateStr", "typeStr" and the "ipv4" object of a connection document.
    Connection &fromMap(const QVariantMap &map);

    QString interface() const { return m_interface; }
    QString state() const { return m_state; }
    QString type() const { return m_type; }
    IPv4 *ipv4() { return &m_ipv4; }

signals:
    void interfaceChanged();
    void stateChanged();
    void typeChanged();
    void ipv4Changed();

private:
    QString m_interface;
    QString m_state;
    QString m_type;
    IPv4 m_ipv4;
};

class Network : public ServiceClient
{
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(QString connectionState READ connectionState NOTIFY connectionStateChanged)
    Q_PROPERTY(QString connectivity READ connectivity NOTIFY connectivityChanged)
    Q_PROPERTY(QString hostname READ hostname NOTIFY hostnameChanged)
    Q_PROPERTY(manager::Connection *primaryConnection READ primaryConnection NOTIFY primaryConnectionChanged)
    Q_PROPERTY(manager::Ethernet *ethernet READ ethernet NOTIFY ethernetChanged)

public:
    Network(MqttClient &mqtt, const QString &root, QObject *parent = nullptr);

    // No document of the service carries it: it stays false.
    bool isConnected() const { return m_isConnected; }
    QString connectionState() const { return m_connectionState; }
    QString connectivity() const { return m_connectivity; }
    QString hostname() const { return m_hostname; }
    // The service's version from its info document.
    QString version() const { return m_version; }
    Connection *primaryConnection() { return &m_primaryConnection; }
    Ethernet *ethernet() const { return m_ethernet; }

signals:
    void isConnectedChanged();
    void connectionStateChanged();
    void connectivityChanged();
    void hostnameChanged();
    void primaryConnectionChanged();
    void ethernetChanged();

public slots:
    // The service publishes on its own; a refresh only notes that it ran.
    void refresh();
    // Refreshes at once and then every msec; 0 stops.
    void monitor(int msec);

private:
    void subscribe();
    void onInfoReceived(const QJsonObject &json, const QString &topic);
    void onStatusReceived(const QJsonObject &json, const QString &topic);

    QTimer m_monitorTimer;
    bool m_isConnected = false;
    QString m_connectionState;
    QString m_connectivity;
    QString m_version;
    QString m_hostname;
    Connection m_primaryConnection;
    Ethernet *m_ethernet = nullptr;
};

} // namespace manager
