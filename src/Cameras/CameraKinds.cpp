// The two camera kinds: how each parses the body of a result post.
#include "Cameras/VORCamera.h"
#include "Cameras/VORReading.h"
#include "Common/Log/Log.h"
#include "Common/Utils.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
ZUKA_LOG_CATEGORY(logCategory, "cameras.vorcamera")
const Log log("[VORCamera] ", logCategory);

// Mistyped values are converted where a conversion exists ("87.5" still gives 87.5);
// a missing key gives the empty or zero value. Texts are read within their bound
// (VORCamera::postText); an image is kept whole, as the UTF-8 bytes of its text.
QString text(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toVariant().toString();
}
QByteArray image(const QJsonObject &o, const char *key)
{
    return text(o, key).toUtf8();
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
    r.setCategory(postText(o, "category"));
    r.setCountry(postText(o, "country"));
    r.setCountryCode(postText(o, "countrycode"));
    r.setDirectionStr(postText(o, "directionstr"));
    r.setId(postText(o, "id"));
    r.setImageId(postText(o, "imageid"));
    r.setIp(postText(o, "ip"));
    r.setPlate(postText(o, "plate"));
    r.setState(postText(o, "state"));
    r.setVehicleClass(postText(o, "class"));
    r.setVehicleColor(postText(o, "color"));
    r.setVehicleMake(postText(o, "make"));
    r.setVehicleModel(postText(o, "model"));
    r.setImage(image(o, "image"));
    r.setPlateImage(image(o, "plateImage"));
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
    r.setContainerCode(postText(o, "containercode"));
    r.setTimestamp(dateTime(o, "timestamp"));
    r.setConfidence(number(o, "confidence"));
    r.setProcessingTime(number(o, "processingtime"));
    r.setConfidenceCode(integer(o, "confidencecode"));
    r.setControlDigit(integer(o, "controldigit"));
    r.setNumDigits(integer(o, "numdigits"));
    // The event id, as the plate reader has it: the id of the trigger it answers.
    r.setId(postText(o, "id"));
    r.setIp(postText(o, "ip"));
    r.setOwnerCity(postText(o, "ownercity"));
    r.setOwnerCode(postText(o, "ownercode"));
    r.setOwnerCompany(postText(o, "ownercompany"));
    r.setSerialCode(postText(o, "serialcode"));
    r.setSizeCode(postText(o, "sizecode"));
    r.setSizeTypeCode(postText(o, "sizetypecode"));
    r.setImage(image(o, "image"));
    r.setPatch(image(o, "patch"));
    r.setType(type());
    log.info("Container : ", Log::outside(r.containerCode()), ", Date : ", Utils::isoText(r.timestamp()),
             ", Confidence : ", r.confidence(), ", Processingtime : ", r.processingTime(), ", SizeCode : ",
             Log::outside(r.sizeCode()), ", IP : ", Log::outside(r.ip()));
    return true;
}
