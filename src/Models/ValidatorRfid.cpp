#include "ValidatorRfid.h"

#include "Common/Property.h"

#include <QHash>
#include <QJsonValue>


ValidatorRfid::ValidatorRfid(QObject *parent)
    : QObject(parent)
{
}

bool ValidatorRfid::enabled() const
{
    return m_state == QLatin1String("Searching") || m_state == QLatin1String("CardFound");
}

void ValidatorRfid::setActive(bool active)
{
    updateProperty(this, m_active, active, &ValidatorRfid::activeChanged);
}

void ValidatorRfid::setFirmware(const QString &firmware)
{
    updateProperty(this, m_firmware, firmware, &ValidatorRfid::firmwareChanged);
}

void ValidatorRfid::setVersion(const QString &version)
{
    updateProperty(this, m_version, version, &ValidatorRfid::versionChanged);
}

void ValidatorRfid::setManufacturer(const QString &manufacturer)
{
    updateProperty(this, m_manufacturer, manufacturer, &ValidatorRfid::manufacturerChanged);
}

void ValidatorRfid::setModel(const QString &model)
{
    updateProperty(this, m_model, model, &ValidatorRfid::modelChanged);
}

void ValidatorRfid::setDeviceUid(const QString &uid)
{
    updateProperty(this, m_deviceUid, uid, &ValidatorRfid::deviceUidChanged);
}

void ValidatorRfid::setError(const QString &error)
{
    updateProperty(this, m_error, error, &ValidatorRfid::errorChanged);
}

void ValidatorRfid::setState(const QString &state)
{
    if (updateProperty(this, m_state, state, &ValidatorRfid::stateChanged))
        emit enabledChanged();
}

void ValidatorRfid::setSlots(const QJsonArray &slotFlags)
{
    m_slots.clear();
    for (const QJsonValue &flag : slotFlags)
        m_slots.append(flag.toBool(false));
    emit numberOfSlotsChanged();
}

void ValidatorRfid::setSams(const QJsonArray &sams)
{
    // Holders of sam() re-read it on samChanged(); the old modules go with the event loop.
    for (SAM *module : qAsConst(m_modules))
        module->deleteLater();
    m_modules.clear();
    for (const QJsonValue &entry : sams)
        m_modules.append(new SAM(entry.toObject(), this));
    emit samChanged();
}

void ValidatorRfid::fromJson(const QJsonObject &json)
{
    if (json.contains(QStringLiteral("firmware")))
        parseInfo(json);
    if (json.contains(QStringLiteral("state")))
        parseStatus(json);
}

void ValidatorRfid::parseInfo(const QJsonObject &json)
{
    setFirmware(json.value(QStringLiteral("firmware")).toString());
    setModel(json.value(QStringLiteral("model")).toString());
    setManufacturer(json.value(QStringLiteral("manufacturer")).toString());
    setDeviceUid(json.value(QStringLiteral("uid")).toString());
}

void ValidatorRfid::parseStatus(const QJsonObject &json)
{
    setActive(json.value(QStringLiteral("active")).toBool(false));
    setError(json.value(QStringLiteral("error")).toString());
    setState(mapState(json.value(QStringLiteral("state")).toInt(0)));
    setSlots(json.value(QStringLiteral("slots")).toArray());
    setSams(json.value(QStringLiteral("sams")).toArray());
}

QString ValidatorRfid::mapState(int state)
{
    static const QHash<int, QString> names{
        {0, QStringLiteral("Init")},      {1, QStringLiteral("Idle")},     {2, QStringLiteral("Searching")},
        {3, QStringLiteral("CardFound")}, {4, QStringLiteral("Updating")}, {5, QStringLiteral("Error")},
    };
    return names.value(state, QStringLiteral("Unknown"));
}
