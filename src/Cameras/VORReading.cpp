#include "Cameras/VORReading.h"

#include "Cameras/CameraRoles.h"

#include "Common/Property.h"
#include "Common/Utils.h"

VORReading::VORReading(VORCamera *camera, QObject *parent)
    : QObject(parent)
    , m_camera(camera)
    , m_timestamp(QDateTime::currentDateTime())
    , m_localTime(QTime::currentTime())
{
}

VORReading::Ptr VORReading::create(VORCamera *camera)
{
    return Ptr(new VORReading(camera));
}

bool VORReading::isPlate() const
{
    const QString &role = m_camera ? m_camera->type() : m_type;
    return CameraRoles::isPlate(role);
}

void VORReading::setConfidence(const double &value) { updateProperty(this, m_confidence, value, &VORReading::confidenceChanged); }
void VORReading::setProcessingTime(const double &value) { updateProperty(this, m_processingTime, value, &VORReading::processingTimeChanged); }
void VORReading::setImage(const QByteArray &value) { updateProperty(this, m_image, value, &VORReading::imageChanged); }
void VORReading::setPatch(const QByteArray &value) { updateProperty(this, m_patch, value, &VORReading::patchChanged); }
void VORReading::setPlateImage(const QByteArray &value) { updateProperty(this, m_plateImage, value, &VORReading::plateImageChanged); }
void VORReading::setTimestamp(const QDateTime &value) { updateProperty(this, m_timestamp, value, &VORReading::timestampChanged); }
void VORReading::setConfidenceCode(const int &value) { updateProperty(this, m_confidenceCode, value, &VORReading::confidenceCodeChanged); }
void VORReading::setControlDigit(const int &value) { updateProperty(this, m_controlDigit, value, &VORReading::controlDigitChanged); }
void VORReading::setDirection(const int &value) { updateProperty(this, m_direction, value, &VORReading::directionChanged); }
void VORReading::setNumDigits(const int &value) { updateProperty(this, m_numDigits, value, &VORReading::numDigitsChanged); }
void VORReading::setSignalEd(const int &value) { updateProperty(this, m_signalEd, value, &VORReading::signalEdChanged); }
void VORReading::setTag(const int &value) { updateProperty(this, m_tag, value, &VORReading::tagChanged); }
void VORReading::setVehicleSpeed(const int &value) { updateProperty(this, m_vehicleSpeed, value, &VORReading::vehicleSpeedChanged); }
void VORReading::setCategory(const QString &value) { updateProperty(this, m_category, value, &VORReading::categoryChanged); }
void VORReading::setContainerCode(const QString &value) { updateProperty(this, m_containerCode, value, &VORReading::containerCodeChanged); }
void VORReading::setCountry(const QString &value) { updateProperty(this, m_country, value, &VORReading::countryChanged); }
void VORReading::setCountryCode(const QString &value) { updateProperty(this, m_countryCode, value, &VORReading::countryCodeChanged); }
void VORReading::setDirectionStr(const QString &value) { updateProperty(this, m_directionStr, value, &VORReading::directionStrChanged); }
void VORReading::setId(const QString &value) { updateProperty(this, m_id, value, &VORReading::idChanged); }
void VORReading::setImageId(const QString &value) { updateProperty(this, m_imageId, value, &VORReading::imageIdChanged); }
void VORReading::setIp(const QString &value) { updateProperty(this, m_ip, value, &VORReading::ipChanged); }
void VORReading::setOwnerCity(const QString &value) { updateProperty(this, m_ownerCity, value, &VORReading::ownerCityChanged); }
void VORReading::setOwnerCode(const QString &value) { updateProperty(this, m_ownerCode, value, &VORReading::ownerCodeChanged); }
void VORReading::setOwnerCompany(const QString &value) { updateProperty(this, m_ownerCompany, value, &VORReading::ownerCompanyChanged); }
void VORReading::setPlate(const QString &value) { updateProperty(this, m_plate, value, &VORReading::plateChanged); }
void VORReading::setSerialCode(const QString &value) { updateProperty(this, m_serialCode, value, &VORReading::serialCodeChanged); }
void VORReading::setSizeCode(const QString &value) { updateProperty(this, m_sizeCode, value, &VORReading::sizeCodeChanged); }
void VORReading::setSizeTypeCode(const QString &value) { updateProperty(this, m_sizeTypeCode, value, &VORReading::sizeTypeCodeChanged); }
void VORReading::setState(const QString &value) { updateProperty(this, m_state, value, &VORReading::stateChanged); }
void VORReading::setType(const QString &value) { updateProperty(this, m_type, value, &VORReading::typeChanged); }
void VORReading::setVehicleClass(const QString &value) { updateProperty(this, m_vehicleClass, value, &VORReading::vehicleClassChanged); }
void VORReading::setVehicleColor(const QString &value) { updateProperty(this, m_vehicleColor, value, &VORReading::vehicleColorChanged); }
void VORReading::setVehicleMake(const QString &value) { updateProperty(this, m_vehicleMake, value, &VORReading::vehicleMakeChanged); }
void VORReading::setVehicleModel(const QString &value) { updateProperty(this, m_vehicleModel, value, &VORReading::vehicleModelChanged); }
void VORReading::setLocalTime(const QTime &value) { updateProperty(this, m_localTime, value, &VORReading::localTimeChanged); }

void VORReading::clearValues()
{
    setPlate(QString());
    setId(QString());
    setCountry(QString());
    setVehicleMake(QString());
    setVehicleModel(QString());
    setVehicleColor(QString());
    setImageId(QString());
    setTimestamp(QDateTime());
    setIp(QString());
    setContainerCode(QString());
    setSizeCode(QString());
}

QString VORReading::toString() const
{
    const QString confidence = QString::number(m_confidence, 'g', 6);
    if (isPlate())
        return QStringLiteral("%1 (confidence=%2, country=%3, vehicleClass=%4, vehicleMake=%5, vehicleColor=%6)")
            .arg(m_plate, confidence, m_country, m_vehicleClass, m_vehicleMake, m_vehicleColor);
    return QStringLiteral("%1 (confidence=%2, sizeCode=%3)").arg(m_containerCode, confidence, m_sizeCode);
}

QJsonObject VORReading::toJson() const
{
    const QString timestamp = Utils::isoText(m_timestamp);
    if (isPlate())
        return QJsonObject{
            {QStringLiteral("type"), m_type},
            {QStringLiteral("plate"), m_plate},
            {QStringLiteral("confidence"), m_confidence},
            {QStringLiteral("timestamp"), timestamp},
            {QStringLiteral("direction"), m_direction},
            {QStringLiteral("country"), m_countryCode},
            {QStringLiteral("vehicleSpeed"), m_vehicleSpeed},
            {QStringLiteral("vehicleClass"), m_vehicleClass},
            {QStringLiteral("vehicleColor"), m_vehicleColor},
            {QStringLiteral("vehicleMake"), m_vehicleMake},
            {QStringLiteral("vehicleModel"), m_vehicleModel},
        };
    return QJsonObject{
        {QStringLiteral("type"), m_type},
        {QStringLiteral("container"), m_containerCode},
        {QStringLiteral("confidence"), m_confidence},
        {QStringLiteral("timestamp"), timestamp},
        {QStringLiteral("ownerCity"), m_ownerCity},
        {QStringLiteral("ownerCode"), m_ownerCode},
        {QStringLiteral("ownerCompany"), m_ownerCompany},
        {QStringLiteral("serialCode"), m_serialCode},
        {QStringLiteral("sizeCode"), m_sizeCode},
        {QStringLiteral("sizeTypeCode"), m_sizeTypeCode},
    };
}
