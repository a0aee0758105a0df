#pragma once
// Client of the local weighbridge server.
#include <QDateTime>
#include <QMetaType>
#include <QObject>
#include <QString>

namespace Backend {

class LocalServer : public QObject
{
public:
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
};

} // namespace Backend

Q_DECLARE_METATYPE(Backend::LocalServer::Response)
