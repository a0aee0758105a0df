#pragma once
// Client of the customs authority's enterprise service bus: a periodic version check
// that gives the client its state, the front and back plate readings of a passage, and
// the exit permission.
#include "Common/Http/HttpClient.h"
#include "Deferred/Deferred.h"

#include <QDateTime>
#include <QJsonObject>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

class Config;
class QAuthenticator;
class QNetworkReply;

namespace Backend {

class ESB : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ESB)
    Q_PROPERTY(QString version READ version NOTIFY versionChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString reason READ reason NOTIFY stateChanged)
    Q_PROPERTY(QDateTime lastComms READ lastComms NOTIFY lastCommsChanged)

public:
    enum State { Init = 0, Online = 1, Error = 2, Stopped = 3 };
    Q_ENUM(State)

    // Entry lane: the front plate reading of a passage.
    struct TruckAlprFront
    {
        QDateTime timestamp;
        QString cardReaderId;
        QString alprId;
        QString cardId;
        QString frontPlateNumber;
        QString vehicleType;
        QString vehicleColour;
        QString vehicleBrand;
        qint32 confidence = 0;
        QStringList frontImages;
        QString countryCode;
        QString adrPlate;
        QString adrPlateImage;
    };

    // Exit lane: the back plate and container readings of a passage.
    struct TruckAlprBack
    {
        QDateTime timestamp;
        QString cardReaderId;
        QString backAlprId;
        QString sideCcr1;
        QString sideCcr2;
        QString cardId;
        QString backPlateNumber;
        QString vehicleType;
        QString vehicleColour;
        QString vehicleBrand;
        qint32 confidence = 0;
        QStringList backImages;
        QString containerISOCode;
        QStringList containerImages;
        QString countryCode;
        QString adrPlate;
        QString adrPlateImage;
    };

    // Exit lane: the request to let the truck out (plateNumber is not sent).
    struct PermissionReq
    {
        QDateTime timestamp;
        QString cardReaderId;
        QString cardId;
        QString plateNumber;
    };

    // The service bus's answer to an exit request.
    struct PermissionResp
    {
        QString code; // "OPEN" grants the exit
        QString descr;
        bool cardReturn = false;
    };

    ESB(Config &config, QObject *parent = nullptr);

    QString version() const { return m_version; }
    State state() const { return m_state; }
    QString reason() const { return m_reason; }
    QDateTime lastComms() const { return m_lastComms; }

    // Resolved with the bus's event id, rejected with its error text.
    Deferred<QString> sendAlprFront(const TruckAlprFront &data);
    Deferred<QString> sendAlprBack(const TruckAlprBack &data);
    // Resolved when the bus grants the exit ("OPEN"), rejected with the answer
    // otherwise; a failed request is rejected with code "ERROR", card returned.
    Deferred<PermissionResp> permissionRequest(const PermissionReq &data);

signals:
    void versionChanged();
    void stateChanged();
    void lastCommsChanged();
    void permissionResponse(Backend::ESB::PermissionResp resp);

protected:
    // A request's answer: resolved with the body's object, rejected (after the error
    // line) with the failure's object.
    Deferred<QJsonObject> handle(Deferred<int, QJsonValue> request);
    // The exit permission an answer gives.
    static PermissionResp permissionOf(const QJsonObject &answer);

private:
    static QJsonObject toJson(const TruckAlprFront &data);
    static QJsonObject toJson(const TruckAlprBack &data);
    static QJsonObject toJson(const PermissionReq &data);

    void checkState();
    Deferred<QJsonObject> requestVersion();
    Deferred<QJsonObject> getRequest(const QUrl &url);
    Deferred<QJsonObject> postRequest(const QUrl &url, const QJsonObject &object);
    QUrl createUrl(const QString &path) const;
    void initClient();
    void initTimer();
    void onConfigChanged(const QVariantMap &changes);
    void onAuthRequired(QNetworkReply *reply, QAuthenticator *authenticator);
    void handleErrorResponse(int status, const QJsonValue &body);
    void setState(State state, const QString &reason);
    void setVersion(const QString &version);
    void setLastComms(const QDateTime &time);

    Config *m_config;
    State m_state = Init;
    QString m_reason;
    QString m_version;
    QDateTime m_lastComms;
    HttpClient m_client;
    QTimer m_checkTimer;
};

} // namespace Backend

Q_DECLARE_METATYPE(Backend::ESB::PermissionResp)
