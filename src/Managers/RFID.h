#pragma once
// Client of the local RFID reader service: mirrors its "/info" and "/status",
// turns its card events into signals and an active card, and makes its
// request/response calls.
#include "Deferred/Deferred.h"
#include "Managers/DeviceClient.h"
#include "Models/Card.h"
#include "Models/Tag.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

namespace manager {

class MqttClient;

class RFID : public DeviceClient
{
    Q_OBJECT
    Q_DISABLE_COPY(RFID)
    Q_PROPERTY(QString uid READ uid NOTIFY uidChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(int state READ state NOTIFY stateChanged)
    Q_PROPERTY(Tag::Ptr activeCard READ activeCard NOTIFY activeCardChanged)
    Q_PROPERTY(bool active READ active NOTIFY stateChanged)

public:
    // The numbers are those the service sends. Fixed integer base: a number outside
    // this list is stored unchanged and shown as "Unknown".
    enum State : int {
        Init = 0,
        Idle = 1,
        Searching = 2,
        CardFound = 3,
        Updating = 4,
        Error = 5,
    };

    // Outcome of every call: the card (or found tag) and an error text (empty on success).
    struct Result {
        Tag::Ptr card;
        QString error;
    };

    // Time-out of every request/response call to the reader service.
    static constexpr int RequestTimeoutMs = 3000;

    RFID(MqttClient &mqtt, const QString &topic, QObject *parent = nullptr);

    const QString &uid() const { return m_uid; }
    const QString &error() const { return m_error; }
    State state() const { return m_state; }
    bool active() const;
    Tag::Ptr activeCard() const { return m_activeCard; }

    static QString stateToStr(State state);

    Deferred<Result> enable(bool autoread);
    Deferred<Result> disable();
    Deferred<Result> createCard(const QString &templateName);
    Deferred<Result> readCard(QString templateName, int usageLogs);
    Deferred<Result> writeCard(Card::Ptr card);
    Deferred<Result> waitCardFound(int msec);

    bool beepValid();
    bool beepInvalid();

signals:
    void uidChanged();
    void stateChanged();
    void errorChanged();
    void activeCardChanged();
    void cardFound(Tag::Ptr tag);
    void cardRemoved(Tag::Ptr tag);
    void cardAutoread(Card::Ptr card);
    void cardAutoreadFailed(QString error);
    void updateProgress(int percent, int minutes, int seconds);

private:
    static ParseRules rules();
    void onStatus(const QJsonObject &status);
    void onAutoread(const QJsonObject &json);
    Deferred<Result> executeRpc(const QString &path, const QJsonObject &params, int msec);
    static Card::Ptr makeCard(const QJsonObject &card);

    void setState(State state);
    void setActiveCard(const Tag::Ptr &card);

    QString m_uid;
    State m_state = Init;
    QString m_error;
    Tag::Ptr m_activeCard;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::RFID::Result)
