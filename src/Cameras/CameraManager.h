#pragma once
// Owns the lane's recognition cameras and the HTTP listener they post to: builds them
// from the "cameras/" settings (again on every change of those and of the panel's own
// address, which the cameras post to), routes each post by its sender's address, and
// runs trigger passes that gather one reading per camera role.
#include "Cameras/VORCamera.h"
#include "Cameras/VORReading.h"
#include "Common/Http/HttpServer.h"
#include "Common/Log/LogLimit.h"
#include "Deferred/Deferred.h"

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

class Config;
class IPv4;

namespace manager {

class CameraManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(CameraManager)
    Q_PROPERTY(QVariantList camerasIPsList READ camerasIPsList NOTIFY camerasIPsChanged)

public:
    // Readings of one pass by camera role; a camera that delivered nothing is missing.
    using Readings = QMap<QString, QSharedPointer<VORReading>>;

    // ipv4: the wired interface's live settings, owned by the caller; the cameras are
    // told to post to its address, and are rebuilt whenever it changes.
    CameraManager(Config &config, IPv4 *ipv4, QObject *parent = nullptr);
    ~CameraManager() override;

    // The cameras in ascending order of their addresses.
    QList<VORCamera *> list() const;
    VORCamera *find(const QString &role) const;
    QVariantList camerasIPsList() const;
    int port() const { return m_port; }
    // The port the listener is bound to: the configured one, or the one the system chose
    // when "cameras/serverPort" is 0; 0 while it is not listening.
    quint16 listeningPort() const { return m_server.serverPort(); }
    const QString &localAddress() const { return m_localAddress; }
    // The id of the pass started last.
    const QString &transactionId() const { return m_transactionId; }

    void setPort(int port);
    void initCameras();

    // One trigger pass over the cameras of the listed roles (all when empty) under the
    // id (a new UUID when empty). Always resolves; each pass keeps its own readings.
    Deferred<Readings> cameraProcess(const QString &id, const QStringList &types);
    // The triggers and waits of one pass: the successful results, in order of arrival.
    Deferred<QList<VORCamera::Result>> cameraTriggerReceived(const QStringList &types, const QString &id);
    static Readings parseCameraResults(const QList<VORCamera::Result> &results);

public slots:
    // Maintenance test of all cameras: one diagnosticsTrigger per camera.
    void cameraDiagnosticsTrigger();

signals:
    void camerasResultsChanged(QList<VORCamera::Result> results);
    void portChanged(int port);
    void camerasIPsChanged();
    void cameraStatusChanged();
    void diagnosticsTrigger(QString type, QString res);

private slots:
    void onConfigChanged(const QVariantMap &changes);

private:
    // Takes the interface's address as the local one, unless it is no IPv4 address
    // (logged); false when it was not taken.
    bool takeLocalAddress();
    void onRequest(const QHostAddress &peer, const HttpServer::Request &request);
    void runTriggers(Deferred<QList<VORCamera::Result>> result, const QStringList &types, const QString &id);
    Deferred<QString> triggerCamera(VORCamera *camera, const QString &id,
                                    const std::shared_ptr<QList<VORCamera::Result>> &successes);

    Config &m_config;
    QPointer<IPv4> m_ipv4;
    int m_port = 0;
    QMap<quint32, VORCamera *> m_cameras;
    QString m_localAddress;
    QString m_transactionId;
    HttpServer m_server;
    LogLimit m_strangers; // what others send at will: posts from no camera, a local address that is none
    QList<Deferred<QList<VORCamera::Result>>> m_running; // passes not finished yet
};

} // namespace manager
