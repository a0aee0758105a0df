#include "Cameras/CameraManager.h"

#include "Cameras/CameraRoles.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Log.h"
#include "Common/Secrets.h"
#include "Models/IPv4.h"

#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <climits>
#include <memory>

namespace manager {

namespace {
ZUKA_LOG_CATEGORY(logCategory, "cameras.cameramanager")
const Log log("[CameraManager] ", logCategory);
}

CameraManager::CameraManager(Config &config, IPv4 *ipv4, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_ipv4(ipv4)
    , m_strangers(log)
{
    connect(this, &CameraManager::portChanged, &m_server, [this](int port) { m_server.listen(port); });
    connect(&m_config, &Config::configChanged, this, &CameraManager::onConfigChanged);
    // An address already known is used at once rather than after its next change.
    if (m_ipv4)
        takeLocalAddress();
    initCameras();
    connect(&m_server, &HttpServer::requestReceived, this, &CameraManager::onRequest);
    if (m_ipv4)
        connect(m_ipv4, &IPv4::addressChanged, this, [this] {
            if (takeLocalAddress())
                initCameras();
        });
}

bool CameraManager::takeLocalAddress()
{
    // The network service's word only: the cameras would be told to post to whatever it is.
    const QString address = m_ipv4->address();
    if (!address.isEmpty() && !IPv4::isDottedQuad(address)) {
        m_strangers.warn("Local address is not an IPv4 address, cameras left as they are : ",
                         Log::outside(address));
        return false;
    }
    m_localAddress = address;
    return true;
}

CameraManager::~CameraManager()
{
    // The cameras go first, while the manager is whole: their pending triggers and
    // waits end as failures, which settles the passes running on them.
    const QList<VORCamera *> cameras = findChildren<VORCamera *>(QString(), Qt::FindDirectChildrenOnly);
    m_cameras.clear();
    qDeleteAll(cameras);
    // Passes still in their trigger delay never reached a camera.
    for (const auto &pass : std::exchange(m_running, {}))
        if (pass.isPending())
            pass.resolve({});
}

QList<VORCamera *> CameraManager::list() const
{
    return m_cameras.values();
}

VORCamera *CameraManager::find(const QString &role) const
{
    for (VORCamera *camera : m_cameras)
        if (camera->type() == role)
            return camera;
    return nullptr;
}

QVariantList CameraManager::camerasIPsList() const
{
    QVariantList out;
    for (VORCamera *camera : m_cameras)
        out.append(QVariant::fromValue(camera));
    return out;
}

void CameraManager::setPort(int port)
{
    log.info("setPort value : ", port);
    // Port 0 lets the system choose one, once: a listener already on it stays.
    if (port == m_port && (port != 0 || m_server.serverPort() != 0))
        return;
    m_port = port;
    emit portChanged(port);
}

void CameraManager::initCameras()
{
    log.info("initCameras");
    if (!m_cameras.isEmpty()) {
        // Out of the table first, so that what release() settles sees the new set only.
        const QList<VORCamera *> old = m_cameras.values();
        m_cameras.clear();
        for (VORCamera *camera : old) {
            camera->stop();
            camera->deleteLater();
        }
        // Passes running on them end now rather than at their deletion.
        for (VORCamera *camera : old)
            camera->release();
        // The screens drop the old cameras even when no new one is built.
        emit camerasIPsChanged();
    }

    QMap<QString, QUrl> urls;
    for (const CameraRoles::Role &role : CameraRoles::All)
        urls.insert(role.name, QUrl(m_config.get(role.key).toString()));
    setPort(m_config.get(Key::CameraServerPort).toInt());
    const QString settingsFile = m_config.get(Key::CameraSettingsFile).toString();

    // Without our own address the cameras would be told to post to "http://:port/...".
    const bool push = !m_localAddress.isEmpty();
    if (!push)
        log.warn("Local address unknown. Skipping camera configuration push.");

    for (const CameraRoles::Role &role : CameraRoles::All) {
        const QUrl url = urls.value(role.name);
        if (!url.isValid())
            continue;
        // A host given by name has no address value (0) and never matches a post.
        const quint32 address = QHostAddress(url.host()).toIPv4Address();
        VORCamera *camera = nullptr;
        if (role.kind == CameraRoles::Kind::Plate) {
            log.info("ALPR camera : ", Secrets::maskUrls(url.toString()));
            camera = new Plate(VORCamera::ALPR, url, this);
        } else {
            log.info("CCR camera : ", Secrets::maskUrls(url.toString()));
            camera = new Container(VORCamera::CCR, url, this);
        }
        camera->setResponseTimeoutMsec(m_config.get(Key::CameraResponseTimeoutMsec).toInt());
        camera->setStatusIntervalMsec(m_config.get(Key::CameraStatusIntervalMsec).toInt());
        camera->setType(role.name);
        if (push)
            camera->updateCameraConfiguration(settingsFile, m_localAddress,
                                              m_server.serverPort() ? m_server.serverPort() : m_port);
        connect(camera, &VORCamera::statusChanged, this, &CameraManager::cameraStatusChanged);
        // Two roles on one host: the later one takes the address; the earlier is not
        // left behind polling.
        if (VORCamera *replaced = m_cameras.value(address)) {
            log.warn("Camera ", replaced->type(), " replaced by ", role.name, " on host ", url.host());
            replaced->stop();
            replaced->deleteLater();
            replaced->release();
        }
        m_cameras.insert(address, camera);
        emit camerasIPsChanged();
    }
}

void CameraManager::onConfigChanged(const QVariantMap &changes)
{
    if (!Config::contains(changes, QStringLiteral("cameras\\/.*")))
        return;
    log.warn("Configuration changed. Applying.");
    initCameras();
}

void CameraManager::onRequest(const QHostAddress &peer, const HttpServer::Request &request)
{
    bool isIPv4 = false;
    const quint32 address = peer.toIPv4Address(&isIPv4);
    // Any other peer would read as address 0, the slot of cameras named by host name.
    if (!isIPv4) {
        m_strangers.warn("Dropping post from a peer that is not IPv4 : ", peer.toString());
        return;
    }
    VORCamera *camera = m_cameras.value(address);
    if (!camera) {
        m_strangers.warn("Unknown peer address : ", peer.toString());
        return;
    }
    camera->handleTCPMessage(request.path, request.body);
}

Deferred<CameraManager::Readings> CameraManager::cameraProcess(const QString &id, const QStringList &types)
{
    log.info("cameraProcess");
    if (m_cameras.isEmpty()) {
        log.warn("Camera list is empty");
        return Deferred<Readings>::resolved(Readings());
    }
    Deferred<Readings> result;
    m_transactionId = id.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : id;
    // The pass's readings stay with the pass: an overlapping pass cannot touch them.
    cameraTriggerReceived(types, m_transactionId).done([result](const QList<VORCamera::Result> &list) {
        log.info("Camera data received, check plates");
        result.resolve(parseCameraResults(list));
    });
    return result;
}

Deferred<QList<VORCamera::Result>> CameraManager::cameraTriggerReceived(const QStringList &types, const QString &id)
{
    log.info("cameraTriggerReceived");
    Deferred<QList<VORCamera::Result>> result;
    m_running.erase(std::remove_if(m_running.begin(), m_running.end(), [](const auto &d) { return !d.isPending(); }),
                    m_running.end());
    m_running.append(result);
    const int delay = qMax(0, m_config.get(Key::CameraTriggerDelayMsec).toInt());
    QTimer::singleShot(delay, delay < 2000 ? Qt::PreciseTimer : Qt::CoarseTimer, this,
                       [this, result, types, id] { runTriggers(result, types, id); });
    return result;
}

void CameraManager::runTriggers(Deferred<QList<VORCamera::Result>> result, const QStringList &types,
                                const QString &id)
{
    auto successes = std::make_shared<QList<VORCamera::Result>>();
    QList<Deferred<QString>> outcomes;
    for (VORCamera *camera : qAsConst(m_cameras))
        if (types.isEmpty() || types.contains(camera->type()))
            outcomes.append(triggerCamera(camera, id, successes));
    if (outcomes.isEmpty()) {
        result.resolve({});
        return;
    }
    const int count = outcomes.size();
    Deferred<>::when(outcomes).doneZero([result, successes, count] {
        log.info("Received all cameras data. Number of cameras : ", count);
        result.resolve(*successes);
    });
}

Deferred<QString> CameraManager::triggerCamera(VORCamera *camera, const QString &id,
                                               const std::shared_ptr<QList<VORCamera::Result>> &successes)
{
    const int retries = m_config.get(Key::CameraRetries).toInt();
    const int timeout = m_config.get(Key::CameraResponseTimeoutMsec).toInt();
    // At least one try's time, also with no re-sends configured.
    const int waitMs = int(qBound<qint64>(0, qint64(timeout) * qMax(retries, 1), INT_MAX));
    const QString host = camera->url().host();
    const QPointer<VORCamera> guarded(camera);
    Deferred<QString> outcome;

    // Armed before the trigger goes out, so that a camera posting before it answers
    // is heard; the time-out runs from the answer.
    const VORCamera::Wait wait = camera->armWait(id);
    camera->startCameraProcess(id, retries)
        .done([guarded, wait, waitMs, host, outcome, successes](const QString &) {
            log.info("Successful trigger, wait data message : ", host);
            if (guarded)
                guarded->startWaitTimer(wait, waitMs);
            wait.result
                .done([host, outcome, successes](const VORCamera::Result &result) {
                    const QString text = QStringLiteral("Camera ") + host + QStringLiteral(" data received");
                    log.info(text);
                    successes->append(result);
                    outcome.resolve(text);
                })
                .fail([host, outcome](const VORCamera::Result &result) {
                    log.warn("Camera ", host, " data message error : ", result.message);
                    outcome.resolve(QStringLiteral("Camera [%1] data message error : [%2]").arg(host, result.message));
                });
        })
        .fail([guarded, wait, host, outcome](const QString &error) {
            log.warn("Camera ", host, " failed: ", error);
            if (guarded)
                guarded->cancelWait(wait);
            outcome.resolve(QStringLiteral("Camera ") + host + QStringLiteral(" failed: ") + error);
        });
    return outcome;
}

CameraManager::Readings CameraManager::parseCameraResults(const QList<VORCamera::Result> &results)
{
    log.info("parseCameraResults");
    Readings readings;
    if (results.isEmpty()) {
        log.warn("No results received from cameras");
        return readings;
    }
    log.info("Received results from ", results.size(), " cameras");
    for (const VORCamera::Result &result : results)
        if (result.reading)
            readings.insert(result.reading->type(), result.reading);
    return readings;
}

void CameraManager::cameraDiagnosticsTrigger()
{
    log.info("cameraDiagnosticsTrigger");
    // A pass of its own, with its own id and readings: a camera that delivers nothing
    // now reports "Failed", never a reading of an earlier pass.
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    cameraTriggerReceived(QStringList(), id).done([this](const QList<VORCamera::Result> &results) {
        log.info("Camera data received, print plates");
        const Readings readings = parseCameraResults(results);
        for (VORCamera *camera : list()) {
            const QSharedPointer<VORReading> reading = readings.value(camera->type());
            QString answer;
            if (reading && CameraRoles::isPlate(camera->type()))
                answer = reading->plate();
            else if (reading && CameraRoles::isContainer(camera->type()))
                answer = reading->containerCode();
            if (answer.isEmpty() || answer == QLatin1String("NONE"))
                answer = QStringLiteral("Failed");
            emit diagnosticsTrigger(camera->type(), answer);
        }
    });
}

} // namespace manager
