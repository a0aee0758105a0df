#pragma once
// The record of one vehicle's passage through the lane. The terminal owns one session
// and the engines reuse it for every passage: they reset it, open and close it and
// drive its state; everyone else reads it. The record takes no decisions of its own.
#include "Cameras/VORReading.h"
#include "Models/ZUKAv1Card.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSharedPointer>
#include <QString>

class Session : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Session)
    Q_PROPERTY(bool result READ result WRITE setResult NOTIFY resultChanged)
    Q_PROPERTY(QString error READ error WRITE setError NOTIFY errorChanged)
    Q_PROPERTY(QDateTime start READ start WRITE setStart NOTIFY startChanged)
    Q_PROPERTY(QDateTime end READ end WRITE setEnd NOTIFY endChanged)
    Q_PROPERTY(QString uuid READ uuid WRITE setUuid NOTIFY uuidChanged)
    Q_PROPERTY(QString type READ type WRITE setType NOTIFY typeChanged)
    Q_PROPERTY(QString deviceId READ deviceId WRITE setDeviceId NOTIFY deviceIdChanged)
    Q_PROPERTY(QString customsId READ customsId WRITE setCustomsId NOTIFY customsIdChanged)
    Q_PROPERTY(QString locationId READ locationId WRITE setLocationId NOTIFY locationIdChanged)
    Q_PROPERTY(QString cardId READ cardId WRITE setCardId NOTIFY cardIdChanged)
    Q_PROPERTY(bool cardReturned READ cardReturned WRITE setCardReturned NOTIFY cardReturnedChanged)
    Q_PROPERTY(bool buttonPressed READ buttonPressed WRITE setButtonPressed NOTIFY buttonPressedChanged)

public:
    enum State {
        Stopped = 0,
        Idle = 1,
        DataCollect = 2,
        WaitUser = 3,
        Permission = 4,
        CardProcess = 5,
        WaitCollect = 6,
        Exit = 7,
        PostExit = 8,
        Error = 9,
    };
    Q_ENUM(State)

    using Readings = QMap<QString, VORReading::Ptr>;
    using CardPtr = QSharedPointer<ZUKAv1Card>;

    explicit Session(QObject *parent = nullptr);

    static QString stateToStr(State state);

    State state() const { return m_state; }
    bool result() const { return m_result; }
    QString error() const { return m_error; }
    QDateTime start() const { return m_start; }
    QDateTime end() const { return m_end; }
    QString uuid() const { return m_uuid; }
    QString type() const { return m_type; }
    QString deviceId() const { return m_deviceId; }
    QString customsId() const { return m_customsId; }
    QString locationId() const { return m_locationId; }
    Readings readings() const { return m_readings; }
    QString cardId() const { return m_cardId; }
    CardPtr card() const { return m_card; }
    bool cardReturned() const { return m_cardReturned; }
    bool buttonPressed() const { return m_buttonPressed; }

    // A passage is in progress above Idle, Error included.
    bool inProgress() const { return m_state > Idle; }

    // The reading of the named camera; with no name the front plate ("alpr1") when it
    // holds a reading, else the back plate ("alpr2").
    VORReading::Ptr alprReading(const QString &name = QString()) const;
    // The reading of the named camera; with no name "ccr1" when it holds a real
    // container code (not empty, not "NONE"), else "ccr2".
    VORReading::Ptr ccrReading(const QString &name = QString()) const;
    // Every container camera's entry, in the order of the camera names.
    QList<VORReading::Ptr> ccrReadings() const;

    void setState(State state);
    void setResult(bool value);
    void setError(const QString &value);
    void setStart(const QDateTime &value);
    void setEnd(const QDateTime &value);
    void setUuid(const QString &value);
    void setType(const QString &value);
    void setDeviceId(const QString &value);
    void setCustomsId(const QString &value);
    void setLocationId(const QString &value);
    void setReadings(const Readings &value);
    void setCardId(const QString &value);
    void setCard(const CardPtr &card) { m_card = card; }
    void setCardReturned(bool value);
    void setButtonPressed(bool value);

signals:
    void stateChanged(Session::State prev, Session::State curr);
    void resultChanged();
    void errorChanged();
    void startChanged();
    void endChanged();
    void uuidChanged();
    void typeChanged();
    void deviceIdChanged();
    void customsIdChanged();
    void locationIdChanged();
    void readingsChanged();
    void cardIdChanged();
    void cardReturnedChanged();
    void buttonPressedChanged();

private:
    State m_state = Stopped;
    bool m_result = false;
    QString m_error;
    QDateTime m_start;
    QDateTime m_end;
    QString m_uuid;
    QString m_type;
    QString m_deviceId;
    QString m_customsId;
    QString m_locationId;
    Readings m_readings;
    QString m_cardId;
    CardPtr m_card;
    bool m_cardReturned = false;
    bool m_buttonPressed = false;
};

Q_DECLARE_METATYPE(Session::State)
