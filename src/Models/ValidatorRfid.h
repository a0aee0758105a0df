#pragma once
// Model of a validator reader with slots for secure access modules, filled from
// the reader's identity and status reports.
#include "Models/SAM.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>

class ValidatorRfid : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ValidatorRfid)
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
    Q_PROPERTY(bool enabled READ enabled NOTIFY enabledChanged)
    Q_PROPERTY(int numberOfSlots READ numberOfSlots NOTIFY numberOfSlotsChanged)
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(QString version READ version NOTIFY versionChanged)
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString deviceUid READ deviceUid NOTIFY deviceUidChanged)
    Q_PROPERTY(SAM *sam READ sam NOTIFY samChanged)

public:
    explicit ValidatorRfid(QObject *parent = nullptr);

    bool active() const { return m_active; }
    bool enabled() const;
    int numberOfSlots() const { return m_slots.size(); }
    QString state() const { return m_state; }
    QString error() const { return m_error; }
    QString firmware() const { return m_firmware; }
    QString version() const { return m_version; }
    QString manufacturer() const { return m_manufacturer; }
    QString model() const { return m_model; }
    QString deviceUid() const { return m_deviceUid; }
    SAM *sam() const { return m_modules.isEmpty() ? nullptr : m_modules.first(); }

    void setActive(bool active);
    void setFirmware(const QString &firmware);
    void setVersion(const QString &version);
    void setManufacturer(const QString &manufacturer);
    void setModel(const QString &model);
    void setDeviceUid(const QString &uid);
    void setError(const QString &error);
    void setState(const QString &state);
    void setSlots(const QJsonArray &slotFlags);
    void setSams(const QJsonArray &sams);

    // An identity report carries "firmware", a status report "state"; one object may be both.
    void fromJson(const QJsonObject &json);
    void parseInfo(const QJsonObject &json);
    void parseStatus(const QJsonObject &json);

    static QString mapState(int state);

signals:
    void activeChanged();
    void enabledChanged();
    void numberOfSlotsChanged();
    void stateChanged();
    void errorChanged();
    void firmwareChanged();
    void versionChanged();
    void manufacturerChanged();
    void modelChanged();
    void deviceUidChanged();
    void samChanged();

private:
    bool m_active = false;
    QString m_firmware;
    QString m_version;
    QString m_manufacturer;
    QString m_model;
    QString m_deviceUid;
    QString m_error;
    QString m_state;
    QList<bool> m_slots;
    QList<SAM *> m_modules;
};
