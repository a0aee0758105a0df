#include "SAM.h"

#include "Common/Property.h"

#include <QJsonValue>


SAM::SAM(QObject *parent)
    : QObject(parent)
{
}

SAM::SAM(const QJsonObject &json, QObject *parent)
    : QObject(parent)
{
    fromJson(json);
}

void SAM::fromJson(const QJsonObject &json)
{
    updateProperty(this, m_slot, json.value(QStringLiteral("slot")).toInt(0), &SAM::slotChanged);
    updateProperty(this, m_enabled, json.value(QStringLiteral("enabled")).toBool(false), &SAM::enabledChanged);
    updateProperty(this, m_unlocked, json.value(QStringLiteral("unlocked")).toBool(false), &SAM::unlockedChanged);
    updateProperty(this, m_atr, json.value(QStringLiteral("atr")).toString(), &SAM::atrChanged);
    updateProperty(this, m_batch, json.value(QStringLiteral("batch")).toString(), &SAM::batchChanged);
    updateProperty(this, m_mode, json.value(QStringLiteral("mode")).toString(), &SAM::modeChanged);
    updateProperty(this, m_name, json.value(QStringLiteral("name")).toString(), &SAM::nameChanged);
    updateProperty(this, m_production,
           QDate::fromString(json.value(QStringLiteral("production")).toString(), QStringLiteral("yyyy-MM-dd")),
           &SAM::productionChanged);
    updateProperty(this, m_uid, json.value(QStringLiteral("uid")).toString(), &SAM::uidChanged);
    updateProperty(this, m_vendor, json.value(QStringLiteral("vendor")).toString(), &SAM::vendorChanged);
    updateProperty(this, m_version, json.value(QStringLiteral("version")).toString(), &SAM::versionChanged);
}
