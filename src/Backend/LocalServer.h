#pragma once
// Client of the local weighbridge server: reports each entry passage (plate, card and
// scale) and hands back the server's record of it.
#include "Common/Http/HttpClient.h"
#include "Deferred/Deferred.h"

#include <QDateTime>
#include <QJsonValue>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>

class Config;
class QAuthenticator;
class QNetworkReply;

namespace Backend {

class LocalServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(LocalServer)

public:
    // One passage as the entry lane reports it.
    struct Request
    {
        QString cardId;
        QString licensePlate;
        QString scaleId;
    };

    // The server's record of a passage. A default record has empty texts, zero
    // numbers and invalid date-times.
    struct Response
    {
        QString id;
        QString licensePlate;
        QString cardId;
        QString scaleId;
        QString status;
        double weightKg = 0;
        QDateTime createdAt;
        QDateTime weightAssociatedAt;
        QDateTime sentToEsbAt;
        qint32 retryCount = 0;
        QString lastErrorMessage;
    };

    LocalServer(Config &config, QObject *parent = nullptr);

    // Resolved with the server's record, rejected with a default record.
    Deferred<Response> sendData(const Request &request);
    QDateTime lastComms() const { return m_lastComms; }

signals:
    void lastCommsChanged();
    void dataResponseReceived(Backend::LocalServer::Response resp);

protected:
    // Reads the record strictly: a member of another type counts as missing.
    static Response parseResponse(const QJsonValue &body);
    void handleErrorResponse(int status, const QJsonValue &body);

private:
    void initClient();
    void onConfigChanged(const QVariantMap &changes);
    void onAuthRequired(QNetworkReply *reply, QAuthenticator *authenticator);
    QUrl createUrl(const QString &path) const;
    void setLastComms(const QDateTime &time);

    Config *m_config;
    QDateTime m_lastComms;
    HttpClient m_client;
};

} // namespace Backend

Q_DECLARE_METATYPE(Backend::LocalServer::Response)
