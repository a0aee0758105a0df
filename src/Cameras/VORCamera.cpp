#include "Cameras/VORCamera.h"

#include "Cameras/CameraRoles.h"
#include "Cameras/VORReading.h"
#include "Common/Log/Log.h"
#include "Common/Secrets.h"
#include "Common/Utils.h"
#include "Common/Property.h"

#include <QAuthenticator>
#include <QJsonArray>
#include <QNetworkReply>
#include <QCoreApplication>
#include <QDomDocument>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QUrlQuery>

#include <utility>

namespace {
ZUKA_LOG_CATEGORY(logCategory, "cameras.vorcamera")
const Log log("[VORCamera] ", logCategory);
}

VORCamera::VORCamera(Type kind, const QUrl &url, QObject *parent)
    : QObject(parent)
    , m_kind(kind)
    , m_url(url)
    , m_errors(log)
{
    qRegisterMetaType<VORCamera::Result>();
    m_client.setMaxAnswerBytes(MaxAnswerBytes);
    log.info("Camera url : ", Secrets::maskUrls(m_url.toString()));
    connect(&m_client, &HttpClient::authRequired, this,
            [this](QNetworkReply *, QAuthenticator *authenticator) {
                authenticator->setUser(m_url.userName(QUrl::FullyDecoded));
                authenticator->setPassword(m_url.password(QUrl::FullyDecoded));
            },
            Qt::DirectConnection);
    connect(&m_statusTimer, &QTimer::timeout, this, &VORCamera::retrieveCameraInfo);
    retrieveCameraInfo();
}

VORCamera::~VORCamera()
{
    stop();
    release();
}

void VORCamera::release()
{
    // Whoever still waits on this camera gets its failure now, with the role it had.
    const QList<PendingWait> waits = std::exchange(m_waits, {});
    const QHash<quint64, Deferred<QString>> triggers = std::exchange(m_triggers, {});
    if (!waits.isEmpty() || !triggers.isEmpty())
        log.warn("[", m_type, "] Camera removed while busy : triggers=", triggers.size(), ", waits=", waits.size());
    for (const PendingWait &wait : waits)
        wait.result.reject(Result{QStringLiteral("[%1] Timeout").arg(m_type), {}});
    for (const Deferred<QString> &trigger : triggers)
        trigger.reject(QStringLiteral("[%1] Camera removed").arg(m_type));
}

QString VORCamera::lastPlate() const
{
    if (!m_lastReading)
        return QString();
    return m_kind == CCR ? m_lastReading->containerCode() : m_lastReading->plate();
}

void VORCamera::setType(const QString &type)
{
    if (m_type == type)
        return;
    m_type = type;
    setTitle(type);
    emit typeChanged();
}

void VORCamera::setTitle(const QString &title)
{
    if (m_title == title)
        return;
    m_title = CameraRoles::title(title);
    emit titleChanged();
}

void VORCamera::setUrl(const QUrl &url) { updateProperty(this, m_url, url, &VORCamera::urlChanged); }
void VORCamera::setModel(const QString &value) { updateProperty(this, m_model, value, &VORCamera::modelChanged); }
void VORCamera::setFirmwareVersion(const QString &value) { updateProperty(this, m_firmwareVersion, value, &VORCamera::firmwareVersionChanged); }
void VORCamera::setZuruvId(const QString &value) { updateProperty(this, m_zuruvId, value, &VORCamera::zuruvIdChanged); }
void VORCamera::setSerialNumber(const QString &value) { updateProperty(this, m_serialNumber, value, &VORCamera::serialNumberChanged); }
void VORCamera::setStatus(const QString &value) { updateProperty(this, m_status, value, &VORCamera::statusChanged); }
void VORCamera::setLastCommunication(const QDateTime &value) { updateProperty(this, m_lastCommunication, value, &VORCamera::statusChanged); }

void VORCamera::setResponseTimeoutMsec(int msec)
{
    m_responseTimeoutMsec = msec;
}

void VORCamera::setStatusIntervalMsec(int msec)
{
    if (m_statusIntervalMsec == msec)
        return;
    m_statusIntervalMsec = msec;
    // A period of 0 would poll on every turn of the event loop: no period, no poll.
    if (msec > 0)
        m_statusTimer.start(msec);
    else
        m_statusTimer.stop();
}

void VORCamera::stop()
{
    if (m_statusTimer.isActive())
        m_statusTimer.stop();
}

QString VORCamera::appPath() const
{
    if (CameraRoles::isPlate(m_type))
        return QStringLiteral("/local/Vaxreader/");
    if (CameraRoles::isContainer(m_type))
        return QStringLiteral("/local/Vaxcontainer/");
    return QString();
}

QUrl VORCamera::requestUrl(const QString &path) const
{
    QUrl url = m_url;
    url.setPath(path);
    return url;
}

// ---- device information --------------------------------------------------------

void VORCamera::retrieveCameraInfo()
{
    log.info("[", m_type, "] retrieveCameraInfo");
    m_client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
    const QJsonObject request{{QStringLiteral("apiVersion"), QStringLiteral("1.3")},
                              {QStringLiteral("method"), QStringLiteral("getAllProperties")}};
    QPointer<VORCamera> self(this);
    m_client.post(requestUrl(QStringLiteral("/axis-cgi/basicdeviceinfo.cgi")), request, m_responseTimeoutMsec)
        .done([self](int, const QJsonValue &body) {
            if (self)
                self->parseCameraInfo(QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact));
        })
        .fail([self](int status, const QJsonValue &body) {
            if (!self)
                return;
            log.critical("[", self->m_type, "] ERROR status : ", status, " - ", Log::outside(Utils::jsonToText(body)));
            self->setStatus(QStringLiteral("OFF"));
        });
}

void VORCamera::parseCameraInfo(const QByteArray &json)
{
    log.info("[", m_type, "] parseCameraInfo");
    setStatus(QStringLiteral("ON"));
    const QJsonObject properties = Utils::parseJson(json)
                                       .object()
                                       .value(QStringLiteral("data"))
                                       .toObject()
                                       .value(QStringLiteral("propertyList"))
                                       .toObject();
    setModel(properties.value(QStringLiteral("ProdFullName")).toString());
    setFirmwareVersion(properties.value(QStringLiteral("Version")).toString());
    setSerialNumber(properties.value(QStringLiteral("SerialNumber")).toString());
    setLastCommunication(QDateTime::currentDateTime());
    log.info("[", m_type, "] Camera Name : ", Log::outside(m_model), ", FirmwareVersion : ",
             Log::outside(m_firmwareVersion), ", SerialNumber : ", Log::outside(m_serialNumber), ", Last Communication : ",
             m_lastCommunication.toString(Qt::ISODate));
}

// ---- trigger -------------------------------------------------------------------

Deferred<QString> VORCamera::startCameraProcess(const QString &id, int retries)
{
    log.info("[", m_type, "] startCameraProcess");
    m_transactionId = id;
    m_retries = retries;
    Deferred<QString> result;
    const quint64 key = m_nextKey++;
    m_triggers.insert(key, result);

    QUrl url = requestUrl(appPath() + QStringLiteral("trigger.cgi"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("id"), QString::fromLatin1(QUrl::toPercentEncoding(id)));
    url.setQuery(query);
    // Each trigger counts its own re-sends, so overlapping passes do not share them.
    sendCameraTrigger(url, key, qMax(0, retries));
    return result;
}

void VORCamera::sendCameraTrigger(const QUrl &url, quint64 key, int retriesLeft)
{
    log.info("[", m_type, "] sendCameraTrigger");
    QPointer<VORCamera> self(this);
    m_client.get(url, m_responseTimeoutMsec)
        .done([self, key](int, const QJsonValue &) {
            if (!self || !self->m_triggers.contains(key))
                return;
            log.info("[", self->m_type, "] Successful trigger, wait for Camera Post");
            self->m_lastTrigger = QDateTime::currentDateTime();
            emit self->lastTriggerChanged();
            self->m_triggers.take(key).resolve(QString());
        })
        .fail([self, key, url, retriesLeft](int status, const QJsonValue &body) {
            if (!self || !self->m_triggers.contains(key))
                return;
            const QString error = Log::outside(Utils::jsonToText(body));
            log.critical("[", self->m_type, "] ERROR status : ", status, " ", error);
            if (retriesLeft > 0) {
                self->sendCameraTrigger(url, key, retriesLeft - 1);
                return;
            }
            log.info("[", self->m_type, "] Trigger camera error : ", error);
            self->m_triggers.take(key).reject(QStringLiteral("Error"));
        });
}

// ---- configuration push --------------------------------------------------------

void VORCamera::updateCameraConfiguration(const QString &settingsFile, const QString &localAddress, int port)
{
    log.info("[", m_type, "] updateCameraConfiguration");
    const QUrl url = requestUrl(appPath() + QStringLiteral("alpr.cgi"));
    QPointer<VORCamera> self(this);
    downloadConfiguration(url, settingsFile, localAddress, port)
        .done([self, url](int status, const QJsonValue &xml) {
            if (!self)
                return;
            log.info("[", self->m_type, "] Uploading camera configuration was successfull: ", status);
            self->uploadConfiguration(url, xml)
                .done([self](int, const QJsonValue &) {
                    if (!self)
                        return;
                    log.info("[", self->m_type, "] Uploading camera configuration was successfull!");
                    self->m_client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
                })
                .fail([self](int status, const QJsonValue &error) {
                    if (!self)
                        return;
                    log.critical("[", self->m_type, "] ERROR uploading camera configuration : ", status, " - ",
                                 Log::outside(Utils::jsonToText(error)));
                    self->m_client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
                });
        })
        .fail([self](int status, const QJsonValue &error) {
            if (self)
                log.critical("[", self->m_type, "] ERROR downloading camera configuration : ", status, " - ",
                             Log::outside(Utils::jsonToText(error)));
        });
}

Deferred<int, QJsonValue> VORCamera::downloadConfiguration(const QUrl &url, const QString &settingsFile,
                                                           const QString &localAddress, int port)
{
    log.info("[", m_type, "] downloadConfiguration");
    m_client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/xml"));
    Deferred<int, QJsonValue> result;
    QPointer<VORCamera> self(this);
    m_client.get(url, m_responseTimeoutMsec)
        .done([self, result, settingsFile, localAddress, port](int status, const QJsonValue &body) {
            if (!self) {
                result.reject(0, QStringLiteral("Camera removed"));
                return;
            }
            const QByteArray xml = self->parseCameraXMLData(body.toString().toUtf8(), settingsFile, localAddress, port);
            if (xml.isEmpty())
                result.reject(0, QStringLiteral("ERROR: Cannot update XML configuration"));
            else
                result.resolve(status, QString::fromUtf8(xml));
        })
        .fail([result](int status, const QJsonValue &error) { result.reject(status, error); });
    return result;
}

QByteArray VORCamera::parseCameraXMLData(const QByteArray &xml, const QString &settingsFile,
                                         const QString &localAddress, int port)
{
    log.info("[", m_type, "] parseCameraXMLData");
    QString name = settingsFile;
    if (name.startsWith(QLatin1String("./")))
        name.remove(0, 2);
    const QString path = QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        log.critical("[", path, "] file does not exist");
        return QByteArray();
    }
    const QJsonObject settings = QJsonDocument::fromJson(file.readAll()).object();
    QString section;
    if (CameraRoles::isPlate(m_type))
        section = QStringLiteral("alpr");
    else if (CameraRoles::isContainer(m_type))
        section = QStringLiteral("ccr");
    if (section.isEmpty() || !settings.contains(section))
        return QByteArray();

    QDomDocument doc;
    if (!doc.setContent(xml)) {
        log.info("[", m_type, "] XML data Error");
        return QByteArray();
    }
    const QDomElement zuruv = doc.elementsByTagName(QStringLiteral("zuruv")).item(0).toElement();
    if (!zuruv.isNull() && zuruv.hasAttribute(QStringLiteral("camera_id"))) {
        setZuruvId(zuruv.attribute(QStringLiteral("camera_id")));
        log.info("[", m_type, "] Zuruv Camera ID: ", Log::outside(m_zuruvId));
    }

    const QJsonObject tags = settings.value(section).toObject();
    for (auto tag = tags.begin(); tag != tags.end(); ++tag) {
        if (!tag.value().isObject())
            continue;
        const QJsonObject attributes = tag.value().toObject();
        const QDomNodeList elements = doc.elementsByTagName(tag.key());
        for (int i = 0; i < elements.size(); ++i) {
            QDomElement element = elements.item(i).toElement();
            for (auto attr = attributes.begin(); attr != attributes.end(); ++attr) {
                if (attr.key() == QLatin1String("url_path"))
                    element.setAttribute(QStringLiteral("url"), QStringLiteral("http://%1:%2%3")
                                                                   .arg(localAddress)
                                                                   .arg(port)
                                                                   .arg(attr.value().toVariant().toString()));
                else
                    element.setAttribute(attr.key(), attr.value().toVariant().toString());
            }
        }
    }
    return doc.toByteArray(1);
}

Deferred<int, QJsonValue> VORCamera::uploadConfiguration(const QUrl &url, const QJsonValue &xml)
{
    log.info("[", m_type, "] uploadConfiguration");
    m_client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/xml"));
    return m_client.post(url, xml, m_responseTimeoutMsec);
}

// ---- posts ---------------------------------------------------------------------

void VORCamera::handleTCPMessage(const QString &path, const QByteArray &body)
{
    log.info("[", m_type, "] handleCameraPostMessage");
    log.info("Received post message : ", Log::outside(body.left(int(qstrnlen(body.constData(), uint(body.size()))))));
    const QSharedPointer<VORReading> reading = VORReading::create(this);
    if (path.contains(QLatin1String("heartbeat"))) {
        log.info("ALPR heartbeat");
        processHeartbeatMessage(body);
        return;
    }
    if (!path.contains(QLatin1String("plate")) && !path.contains(QLatin1String("container")))
        return;
    Result result;
    if (processData(body, reading)) {
        m_lastReading = reading;
        emit lastReadingChanged();
        result.reading = reading;
    } else {
        result.message = QStringLiteral("Parse Error");
    }
    QPointer<VORCamera> self(this);
    emit processDataFinished(result);
    if (self)
        deliver(result);
}

bool VORCamera::parseBody(const QByteArray &body, QJsonObject *out)
{
    QJsonParseError error;
    const QJsonDocument doc = Utils::parseJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        m_errors.error("[", m_type, "] Parse Error : ", error.errorString(), " at offset ", error.offset);
        return false;
    }
    if (!doc.isObject()) {
        m_errors.error("[", m_type, "] Parse Error : not a JSON object");
        return false;
    }
    *out = doc.object();
    return true;
}

QString VORCamera::postText(const QJsonObject &o, const char *key)
{
    QString text = o.value(QLatin1String(key)).toVariant().toString();
    if (text.size() <= MaxPostText)
        return text;
    // Not between the two halves of a character.
    const int kept = text.at(MaxPostText - 1).isHighSurrogate() ? MaxPostText - 1 : MaxPostText;
    m_errors.warn("[", m_type, "] Cutting ", key, " to ", kept, " characters (", text.size(), " received)");
    text.truncate(kept);
    return text;
}

void VORCamera::processHeartbeatMessage(const QByteArray &body)
{
    log.info("[", m_type, "] parseHeartbeatMessage");
    if (!CameraRoles::isPlate(m_type))
        return;
    log.info("[", m_type, "] Heartbeat message received");
    const QJsonDocument doc = Utils::parseJson(body);
    if (!doc.isObject())
        return;
    const QJsonObject o = doc.object();
    setSerialNumber(postText(o, "SerialNumber"));
    setFirmwareVersion(postText(o, "FirmwareVersion"));
    setLastCommunication(QDateTime::fromString(o.value(QStringLiteral("Date")).toString(), Qt::ISODate));
}

// ---- waits ---------------------------------------------------------------------

Deferred<VORCamera::Result> VORCamera::waitTCPDataMessage(int msec)
{
    const Wait wait = armWait(QString());
    startWaitTimer(wait, msec);
    return wait.result;
}

VORCamera::Wait VORCamera::armWait(const QString &id)
{
    log.info("[", m_type, "] waitTCPDataMessage");
    PendingWait pending{m_nextKey++, id, Deferred<Result>(), nullptr};
    m_waits.append(pending);
    return Wait{pending.key, pending.result};
}

void VORCamera::startWaitTimer(const Wait &wait, int msec)
{
    for (PendingWait &pending : m_waits) {
        if (pending.key != wait.key)
            continue;
        if (!pending.timer) {
            pending.timer = new QTimer(this);
            pending.timer->setSingleShot(true);
            const quint64 key = wait.key;
            connect(pending.timer, &QTimer::timeout, this, [this, key] {
                PendingWait expired;
                if (!takeWait(key, &expired))
                    return;
                expired.timer->deleteLater();
                log.info("[", m_type, "] Timeout");
                expired.result.reject(Result{QStringLiteral("[%1] Timeout").arg(m_type), {}});
            });
        }
        pending.timer->start(qMax(0, msec));
        return;
    }
}

void VORCamera::cancelWait(const Wait &wait)
{
    PendingWait pending;
    if (!takeWait(wait.key, &pending))
        return;
    delete pending.timer;
    pending.result.reject(Result{QStringLiteral("[%1] Wait cancelled").arg(m_type), {}});
}

bool VORCamera::takeWait(quint64 key, PendingWait *out)
{
    for (int i = 0; i < m_waits.size(); ++i) {
        if (m_waits.at(i).key == key) {
            *out = m_waits.takeAt(i);
            return true;
        }
    }
    return false;
}

void VORCamera::deliver(const Result &result)
{
    if (m_waits.isEmpty())
        return;
    int index = 0;
    if (result.reading && !result.reading->id().isEmpty()) {
        for (int i = 0; i < m_waits.size(); ++i) {
            if (m_waits.at(i).id == result.reading->id()) {
                index = i;
                break;
            }
        }
    }
    const PendingWait wait = m_waits.takeAt(index);
    delete wait.timer;
    if (result.reading)
        wait.result.resolve(result);
    else
        wait.result.reject(result);
}
