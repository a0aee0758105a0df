#pragma once
// One network recognition camera of the lane: a plate reader (Plate) or a container
// code reader (Container). It polls the camera's device information, pushes its XML
// configuration so that it posts its results to our listener, triggers it, and turns
// the posts routed to it into readings.
#include "Common/Http/HttpClient.h"
#include "Common/Log/LogLimit.h"
#include "Deferred/Deferred.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonValue>
#include <QMetaType>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

class VORReading;

class VORCamera : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(VORCamera)
    Q_PROPERTY(QString firmwareVersion READ firmwareVersion NOTIFY firmwareVersionChanged)
    Q_PROPERTY(QString zuruvId READ zuruvId NOTIFY zuruvIdChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString serialNumber READ serialNumber NOTIFY serialNumberChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString type READ type NOTIFY typeChanged)
    Q_PROPERTY(QString title READ title NOTIFY titleChanged)
    Q_PROPERTY(QDateTime lastCommunication READ lastCommunication NOTIFY statusChanged)
    Q_PROPERTY(QDateTime lastTrigger READ lastTrigger NOTIFY lastTriggerChanged)
    Q_PROPERTY(QString lastPlate READ lastPlate NOTIFY lastReadingChanged)

public:
    enum Type { ALPR = 0, CCR = 1 };
    Q_ENUM(Type)

    // The outcome of this camera in one trigger pass.
    struct Result
    {
        QString message;                    // empty when the camera delivered a reading, else the error
        QSharedPointer<VORReading> reading; // null on failure
    };

    // A wait for one posted result, armed before the trigger is sent so that a camera
    // that posts before answering is not missed; its time-out is started separately.
    struct Wait
    {
        quint64 key = 0;
        Deferred<Result> result;
    };

    // The largest answer taken from a camera (device information, the XML configuration).
    static constexpr qint64 MaxAnswerBytes = 1024 * 1024;
    // What is kept of a post: a text (a plate, a container code, a make, a serial number)
    // of at most MaxPostText characters, the rest cut off. An image (the base64 text of a
    // JPEG, as a camera sends it) is kept whole: the listener bounds the post that holds it.
    static constexpr int MaxPostText = 64;

    VORCamera(Type kind, const QUrl &url, QObject *parent = nullptr);
    // Ends pending triggers and waits as failures carrying the role.
    ~VORCamera() override;

    const QString &type() const { return m_type; }
    Type type2() const { return m_kind; }
    const QString &title() const { return m_title; }
    const QUrl &url() const { return m_url; }
    const QString &model() const { return m_model; }
    const QString &firmwareVersion() const { return m_firmwareVersion; }
    const QString &zuruvId() const { return m_zuruvId; }
    const QString &serialNumber() const { return m_serialNumber; }
    const QString &status() const { return m_status; }
    const QDateTime &lastCommunication() const { return m_lastCommunication; }
    const QDateTime &lastTrigger() const { return m_lastTrigger; }
    const QString &transactionId() const { return m_transactionId; }
    QSharedPointer<VORReading> lastReading() const { return m_lastReading; }
    QString lastPlate() const;
    int responseTimeoutMsec() const { return m_responseTimeoutMsec; }
    int statusIntervalMsec() const { return m_statusIntervalMsec; }

    void setType(const QString &type);
    void setTitle(const QString &title);
    void setUrl(const QUrl &url);
    void setModel(const QString &value);
    void setFirmwareVersion(const QString &value);
    void setZuruvId(const QString &value);
    void setSerialNumber(const QString &value);
    void setStatus(const QString &value);
    void setLastCommunication(const QDateTime &value);
    void setResponseTimeoutMsec(int msec);
    void setStatusIntervalMsec(int msec);
    void stop();
    // Ends pending triggers and waits now, as failures carrying the role: the camera
    // has been taken out of use (also done by the destructor).
    void release();

    // Device information (also the status poll).
    void retrieveCameraInfo();
    void parseCameraInfo(const QByteArray &json);

    // Triggers the camera under the transaction id, re-sending a failed request up to
    // `retries` times. Resolves with an empty text, or is rejected with "Error".
    Deferred<QString> startCameraProcess(const QString &id, int retries);

    // Configuration push: download, patch from the settings file, upload.
    void updateCameraConfiguration(const QString &settingsFile, const QString &localAddress, int port);
    Deferred<int, QJsonValue> downloadConfiguration(const QUrl &url, const QString &settingsFile,
                                                    const QString &localAddress, int port);
    // The downloaded XML with the settings applied; empty on any failure.
    QByteArray parseCameraXMLData(const QByteArray &xml, const QString &settingsFile, const QString &localAddress,
                                  int port);
    Deferred<int, QJsonValue> uploadConfiguration(const QUrl &url, const QJsonValue &xml);

    // One post routed to this camera by the camera manager.
    void handleTCPMessage(const QString &path, const QByteArray &body);
    void processHeartbeatMessage(const QByteArray &body);
    // Fills the reading from a result body; false when the body is not a JSON object.
    virtual bool processData(const QByteArray &body, QSharedPointer<VORReading> reading) = 0;

    // Settled by the camera's next result or after msec milliseconds.
    Deferred<Result> waitTCPDataMessage(int msec);
    // Arms a wait without a time limit yet. A result whose reading carries `id` goes
    // to the wait armed under that id; any other result to the oldest wait.
    Wait armWait(const QString &id);
    // Starts the wait's time-out; nothing when it has settled already.
    void startWaitTimer(const Wait &wait, int msec);
    // Drops an unsettled wait (rejected, with the role, for whoever still holds it).
    void cancelWait(const Wait &wait);

signals:
    void retrieveTriggerDataSignal(QString type, const VORReading *cameraData);
    void typeChanged();
    void titleChanged();
    void urlChanged();
    void modelChanged();
    void firmwareVersionChanged();
    void zuruvIdChanged();
    void serialNumberChanged();
    void statusChanged();
    void processDataFinished(VORCamera::Result result);
    void lastTriggerChanged();
    void lastReadingChanged();

protected:
    // The path prefix of the camera application, chosen from the role.
    QString appPath() const;
    // The configured URL with its path replaced.
    QUrl requestUrl(const QString &path) const;
    // A result body as a JSON object; false, after an error line, when it is none.
    bool parseBody(const QByteArray &body, QJsonObject *out);
    // A text member of a post as it is kept, within the bound above; what is cut is logged.
    QString postText(const QJsonObject &o, const char *key);

private:
    struct PendingWait
    {
        quint64 key;
        QString id;
        Deferred<Result> result;
        QTimer *timer = nullptr;
    };

    void sendCameraTrigger(const QUrl &url, quint64 key, int retriesLeft);
    void deliver(const Result &result);
    // Removes the wait from the list; false when it was not (or no longer) pending.
    bool takeWait(quint64 key, PendingWait *out);

    QString m_type;
    Type m_kind;
    QUrl m_url;
    HttpClient m_client;
    int m_retries = 0;
    int m_responseTimeoutMsec = 0;
    int m_statusIntervalMsec = 0;
    QDateTime m_lastCommunication;
    QString m_firmwareVersion;
    QString m_zuruvId;
    QString m_model;
    QString m_serialNumber;
    QString m_status = QStringLiteral("OFF");
    QString m_title;
    QString m_transactionId;
    QTimer m_statusTimer;
    QDateTime m_lastTrigger;
    QSharedPointer<VORReading> m_lastReading;

    quint64 m_nextKey = 1;
    QList<PendingWait> m_waits;                   // armed waits, oldest first
    LogLimit m_errors;                            // what a peer at its address can cause
    QHash<quint64, Deferred<QString>> m_triggers; // triggers not answered yet
};

// Licence-plate reader.
class Plate : public VORCamera
{
    Q_OBJECT
    Q_DISABLE_COPY(Plate)
public:
    Plate(Type kind, const QUrl &url, QObject *parent = nullptr) : VORCamera(kind, url, parent) {}
    bool processData(const QByteArray &body, QSharedPointer<VORReading> reading) override;
};

// Container code reader.
class Container : public VORCamera
{
    Q_OBJECT
    Q_DISABLE_COPY(Container)
public:
    Container(Type kind, const QUrl &url, QObject *parent = nullptr) : VORCamera(kind, url, parent) {}
    bool processData(const QByteArray &body, QSharedPointer<VORReading> reading) override;
};

Q_DECLARE_METATYPE(VORCamera::Result)
