// The two camera kinds: how each parses the body of a result post.
#include "Cameras/VORCamera.h"
#include "Cameras/VORReading.h"
#include "Common/Log.h"
#include "Common/Utils.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
ZUKA_LOG_CATEGORY(logCategory, "cameras.vorcamera")
const Log log("[VORCamera] ", logCategory);

// Mistyped values are converted where a conversion exists ("87.5" still gives 87.5);
// a missing key gives the empty or zero value.
QString text(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toVariant().toString();
}
double number(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toVariant().toDouble();
}
int integer(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toVariant().toInt();
}
QDateTime dateTime(const QJsonObject &o, const char *key)
{
    return QDateTime::fromString(text(o, key), Qt::ISODate);
}
QByteArray bytes(const QJsonObject &o, const char *key)
{
    return text(o, key).toUtf8();
}
} // namespace

bool Plate::processData(const QByteArray &body, QSharedPointer<VORReading> reading)
{
    log.info("[", type(), "] Plate::processData");
    QJsonObject o;
    if (!parseBody(body, &o))
        return false;
    VORReading &r = *reading;
    r.setTimestamp(dateTime(o, "timestamp"));
    r.setConfidence(number(o, "confidence"));
    r.setProcessingTime(number(o, "processingtime"));
    r.setDirection(integer(o, "direction"));
    r.setSignalEd(integer(o, "signaled"));
    r.setTag(integer(o, "tag"));
    r.setVehicleSpeed(integer(o, "speed"));
    r.setCategory(text(o, "category"));
    r.setCountry(text(o, "country"));
    r.setCountryCode(text(o, "countrycode"));
    r.setDirectionStr(text(o, "directionstr"));
    r.setId(text(o, "id"));
    r.setImageId(text(o, "imageid"));
    r.setIp(text(o, "ip"));
    r.setPlate(text(o, "plate"));
    r.setState(text(o, "state"));
    r.setVehicleClass(text(o, "class"));
    r.setVehicleColor(text(o, "color"));
    r.setVehicleMake(text(o, "make"));
    r.setVehicleModel(text(o, "model"));
    r.setImage(bytes(o, "image"));
    r.setPlateImage(bytes(o, "plateImage"));
    r.setLocalTime(QTime::fromString(text(o, "localtime"), Qt::ISODate));
    r.setType(type());
    log.info("Plate : ", Log::outside(r.plate()), ", Country : ", Log::outside(r.country()), ", Country Code : ",
             Log::outside(r.countryCode()), ", Confidence : ", r.confidence(), ", Direction : ", r.direction(),
             ", Directionstr : ", Log::outside(r.directionStr()), ", Id : ", Log::outside(r.id()), ", Imageid : ",
             Log::outside(r.imageId()), ", IP : ", Log::outside(r.ip()));
    return true;
}

bool Container::processData(const QByteArray &body, QSharedPointer<VORReading> reading)
{
    log.info("[", type(), "] Container::processData");
    QJsonObject o;
    if (!parseBody(body, &o))
        return false;
    VORReading &r = *reading;
    r.setContainerCode(text(o, "containercode"));
    r.setTimestamp(dateTime(o, "timestamp"));
    r.setConfidence(number(o, "confidence"));
    r.setProcessingTime(number(o, "processingtime"));
    r.setConfidenceCode(integer(o, "confidencecode"));
    r.setControlDigit(integer(o, "controldigit"));
    r.setNumDigits(integer(o, "numdigits"));
    // The event id, as the plate reader has it: the id of the trigger it answers.
    r.setId(text(o, "id"));
    r.setIp(text(o, "ip"));
    r.setOwnerCity(text(o, "ownercity"));
    r.setOwnerCode(text(o, "ownercode"));
    r.setOwnerCompany(text(o, "ownercompany"));
    r.setSerialCode(text(o, "serialcode"));
    r.setSizeCode(text(o, "sizecode"));
    r.setSizeTypeCode(text(o, "sizetypecode"));
    r.setImage(bytes(o, "image"));
    r.setPatch(bytes(o, "patch"));
    r.setType(type());
    log.info("Container : ", Log::outside(r.containerCode()), ", Date : ", Utils::isoText(r.timestamp()),
             ", Confidence : ", r.confidence(), ", Processingtime : ", r.processingTime(), ", SizeCode : ",
             Log::outside(r.sizeCode()), ", IP : ", Log::outside(r.ip()));
    return true;
}
