#pragma once
// One plate or container recognition result of a camera. Readings are made with
// create() and shared as QSharedPointer<VORReading>; the camera's parser fills a
// reading once, after which it is only read.
#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QTime>

#include "Cameras/VORCamera.h"

class VORReading : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString containerCode READ containerCode NOTIFY containerCodeChanged)
    Q_PROPERTY(QString sizeCode READ sizeCode NOTIFY sizeCodeChanged)
    Q_PROPERTY(QString country READ country NOTIFY countryChanged)
    Q_PROPERTY(QString plate READ plate NOTIFY plateChanged)
    Q_PROPERTY(QString vehicleColor READ vehicleColor NOTIFY vehicleColorChanged)
    Q_PROPERTY(QString vehicleMake READ vehicleMake NOTIFY vehicleMakeChanged)
    Q_PROPERTY(QString vehicleModel READ vehicleModel NOTIFY vehicleModelChanged)
    Q_PROPERTY(VORCamera *camera READ camera NOTIFY cameraChanged)

public:
    using Ptr = QSharedPointer<VORReading>;

    explicit VORReading(VORCamera *camera, QObject *parent = nullptr);
    // Every reading of the system is made here: no parent, owned by the shared pointer.
    static Ptr create(VORCamera *camera);

    // The camera that produced the reading; null once a rebuild of the cameras deleted it.
    VORCamera *camera() const { return m_camera.data(); }
    // Plate reading: decided by the camera's role, or by the reading's own role once
    // the camera is gone.
    bool isPlate() const;

    const double &confidence() const { return m_confidence; }
    const double &processingTime() const { return m_processingTime; }
    const QByteArray &image() const { return m_image; }
    const QByteArray &patch() const { return m_patch; }
    const QByteArray &plateImage() const { return m_plateImage; }
    const QDateTime &timestamp() const { return m_timestamp; }
    const int &confidenceCode() const { return m_confidenceCode; }
    const int &controlDigit() const { return m_controlDigit; }
    const int &direction() const { return m_direction; }
    const int &numDigits() const { return m_numDigits; }
    const int &signalEd() const { return m_signalEd; }
    const int &tag() const { return m_tag; }
    const int &vehicleSpeed() const { return m_vehicleSpeed; }
    const QString &category() const { return m_category; }
    const QString &containerCode() const { return m_containerCode; }
    const QString &country() const { return m_country; }
    const QString &countryCode() const { return m_countryCode; }
    const QString &directionStr() const { return m_directionStr; }
    const QString &id() const { return m_id; }
    const QString &imageId() const { return m_imageId; }
    const QString &ip() const { return m_ip; }
    const QString &ownerCity() const { return m_ownerCity; }
    const QString &ownerCode() const { return m_ownerCode; }
    const QString &ownerCompany() const { return m_ownerCompany; }
    const QString &plate() const { return m_plate; }
    const QString &serialCode() const { return m_serialCode; }
    const QString &sizeCode() const { return m_sizeCode; }
    const QString &sizeTypeCode() const { return m_sizeTypeCode; }
    const QString &state() const { return m_state; }
    const QString &type() const { return m_type; }
    const QString &vehicleClass() const { return m_vehicleClass; }
    const QString &vehicleColor() const { return m_vehicleColor; }
    const QString &vehicleMake() const { return m_vehicleMake; }
    const QString &vehicleModel() const { return m_vehicleModel; }
    const QTime &localTime() const { return m_localTime; }

    void setConfidence(const double &value);
    void setProcessingTime(const double &value);
    void setImage(const QByteArray &value);
    void setPatch(const QByteArray &value);
    void setPlateImage(const QByteArray &value);
    void setTimestamp(const QDateTime &value);
    void setConfidenceCode(const int &value);
    void setControlDigit(const int &value);
    void setDirection(const int &value);
    void setNumDigits(const int &value);
    void setSignalEd(const int &value);
    void setTag(const int &value);
    void setVehicleSpeed(const int &value);
    void setCategory(const QString &value);
    void setContainerCode(const QString &value);
    void setCountry(const QString &value);
    void setCountryCode(const QString &value);
    void setDirectionStr(const QString &value);
    void setId(const QString &value);
    void setImageId(const QString &value);
    void setIp(const QString &value);
    void setOwnerCity(const QString &value);
    void setOwnerCode(const QString &value);
    void setOwnerCompany(const QString &value);
    void setPlate(const QString &value);
    void setSerialCode(const QString &value);
    void setSizeCode(const QString &value);
    void setSizeTypeCode(const QString &value);
    void setState(const QString &value);
    void setType(const QString &value);
    void setVehicleClass(const QString &value);
    void setVehicleColor(const QString &value);
    void setVehicleMake(const QString &value);
    void setVehicleModel(const QString &value);
    void setLocalTime(const QTime &value);

    // Empties plate, id, country, make, model, colour, image id, time stamp, ip,
    // container code and size code; the other fields keep their values.
    void clearValues();

    QString toString() const;
    QJsonObject toJson() const;

signals:
    void cameraChanged();
    void categoryChanged();
    void confidenceChanged();
    void confidenceCodeChanged();
    void containerCodeChanged();
    void controlDigitChanged();
    void countryChanged();
    void countryCodeChanged();
    void directionChanged();
    void directionStrChanged();
    void idChanged();
    void imageChanged();
    void imageIdChanged();
    void ipChanged();
    void localTimeChanged();
    void numDigitsChanged();
    void ownerCityChanged();
    void ownerCodeChanged();
    void ownerCompanyChanged();
    void patchChanged();
    void plateChanged();
    void plateImageChanged();
    void processingTimeChanged();
    void serialCodeChanged();
    void signalEdChanged();
    void sizeCodeChanged();
    void sizeTypeCodeChanged();
    void stateChanged();
    void tagChanged();
    void timestampChanged();
    void typeChanged();
    void vehicleClassChanged();
    void vehicleColorChanged();
    void vehicleMakeChanged();
    void vehicleModelChanged();
    void vehicleSpeedChanged();

private:
    // Guarded: a rebuild of the cameras may delete the camera while the reading lives on.
    QPointer<VORCamera> m_camera;
    double m_confidence = 0;
    double m_processingTime = 0;
    QByteArray m_image;
    QByteArray m_patch;
    QByteArray m_plateImage;
    QDateTime m_timestamp;
    int m_confidenceCode = 0;
    int m_controlDigit = 0;
    int m_direction = 0;
    int m_numDigits = 0;
    int m_signalEd = 0;
    int m_tag = 0;
    int m_vehicleSpeed = 0;
    QString m_category;
    QString m_containerCode;
    QString m_country;
    QString m_countryCode;
    QString m_directionStr;
    QString m_id;
    QString m_imageId;
    QString m_ip;
    QString m_ownerCity;
    QString m_ownerCode;
    QString m_ownerCompany;
    QString m_plate;
    QString m_serialCode;
    QString m_sizeCode;
    QString m_sizeTypeCode;
    QString m_state;
    QString m_type;
    QString m_vehicleClass;
    QString m_vehicleColor;
    QString m_vehicleMake;
    QString m_vehicleModel;
    QTime m_localTime;
};
