#include "SAM.h"

#include <QJsonValue>

namespace {
template<typename T, typename Signal>
void update(SAM *sam, T &field, const T &value, Signal signal)
{
    if (field == value)
        return;
    field = value;
    emit(sam->*signal)();
}
}

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
    update(this, m_slot, json.value(QStringLiteral("slot")).toInt(0), &SAM::slotChanged);
    update(this, m_enabled, json.value(QStringLiteral("enabled")).toBool(false), &SAM::enabledChanged);
    update(this, m_unlocked, json.value(QStringLiteral("unlocked")).toBool(false), &SAM::unlockedChanged);
    update(this, m_atr, json.value(QStringLiteral("atr")).toString(), &SAM::atrChanged);
    update(this, m_batch, json.value(QStringLiteral("batch")).toString(), &SAM::batchChanged);
    update(this, m_mode, json.value(QStringLiteral("mode")).toString(), &SAM::modeChanged);
    update(this, m_name, json.value(QStringLiteral("name")).toString(), &SAM::nameChanged);
    update(this, m_production,
           QDate::fromString(json.value(QStringLiteral("production")).toString(), QStringLiteral("yyyy-MM-dd")),
           &SAM::productionChanged);
    update(this, m_uid, json.value(QStringLiteral("uid")).toString(), &SAM::uidChanged);
    update(this, m_vendor, json.value(QStringLiteral("vendor")).toString(), &SAM::vendorChanged);
    update(this, m_version, json.value(QStringLiteral("version")).toString(), &SAM::versionChanged);
}
