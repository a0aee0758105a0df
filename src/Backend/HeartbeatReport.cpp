#include "Backend/HeartbeatReport.h"

#include "Backend/Database.h"
#include "Backend/LaneView.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Models/IPv4.h"

#include <QDateTime>
#include <QRegularExpression>

namespace Backend {

namespace {

// The configuration keys the heartbeat reports.
const QStringList WantedList = {QStringLiteral("barrier\\/.+"), QStringLiteral("cameras\\/.+"),
                                QRegularExpression::escape(Key::CardBoHbIntervalSec),
                                QRegularExpression::escape(Key::CardBoHbPolicy),
                                QRegularExpression::escape(Key::TerminalCollectTimeoutSec)};

bool shouldExclude(const QString &key)
{
    // Compiled once: every heartbeat asks it of each configuration key.
    static const QRegularExpression wanted(WantedList.join(QLatin1Char('|')));
    return !wanted.match(key).hasMatch();
}

QString mapType(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QUrl: return QStringLiteral("URL");
    case QMetaType::QString:
    case QMetaType::Bool: return QStringLiteral("STR");
    case QMetaType::QStringList: return QStringLiteral("CSV");
    default: return QStringLiteral("NUM");
    }
}

} // namespace

HeartbeatReport::HeartbeatReport(const Config &config, const Database &database, const LaneView &lane)
    : m_config(config)
    , m_database(database)
    , m_lane(lane)
{
}

QJsonObject HeartbeatReport::body() const
{
    const QDateTime modified = m_config.lastModified();
    return QJsonObject{
        {QStringLiteral("reportTime"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
        {QStringLiteral("deviceSerial"), m_lane.serialNum()},
        {QStringLiteral("softwareVersion"), m_lane.softwareVersion()},
        {QStringLiteral("blacklistVersion"), m_database.param(QStringLiteral("blacklistVer")).toString()},
        {QStringLiteral("cardLevel"), m_lane.cardLevel()},
        {QStringLiteral("pendingTransactions"), m_database.transCount(Transaction::statusText(Transaction::SendStatus::Pending))},
        {QStringLiteral("uptimeSec"), m_lane.uptime()},
        {QStringLiteral("network"), network()},
        {QStringLiteral("status"), status()},
        {QStringLiteral("config"), config()},
        {QStringLiteral("configUpdatedAt"), modified.isValid() ? modified.toUTC().toString(Qt::ISODate) : QString()},
    };
}

QJsonObject HeartbeatReport::network() const
{
    const IPv4 *ip = m_lane.ipv4();
    const QString empty;
    return QJsonObject{{QStringLiteral("ipv4"), ip ? ip->address() : empty},
                       {QStringLiteral("gway"), ip ? ip->gateway() : empty},
                       {QStringLiteral("dns"), QJsonArray{ip ? ip->dns0() : empty, ip ? ip->dns1() : empty}}};
}

QJsonArray HeartbeatReport::status() const
{
    auto entry = [](const QString &name, const QString &status, const QString &text) {
        return QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("status"), status},
                           {QStringLiteral("statusText"), text}};
    };
    const QString ok = QStringLiteral("OK");
    const QString error = QStringLiteral("ERROR");
    QJsonArray list;
    list.append(entry(QStringLiteral("RFID"), m_lane.rfidActive() ? ok : error,
                      m_lane.rfidActive() ? ok : m_lane.rfidError()));
    list.append(entry(QStringLiteral("Dispenser"), m_lane.dispenserActive() ? ok : error,
                      m_lane.dispenserActive() ? ok : QStringLiteral("Dispenser is inactive")));
    list.append(entry(QStringLiteral("Barrier"), m_lane.barrierActive() ? ok : error,
                      m_lane.barrierActive() ? ok : m_lane.barrierReason()));
    list.append(entry(QStringLiteral("NTP"), m_lane.clockSynced() ? ok : QStringLiteral("WARNING"),
                      m_lane.clockSynced() ? ok : QStringLiteral("Clock not synchronized")));
    for (const LaneView::Camera &camera : m_lane.cameraStatus()) {
        const bool on = camera.status == QLatin1String("ON");
        list.append(entry(camera.role.toUpper(), on ? ok : error, on ? ok : QStringLiteral("Camera disconnected")));
    }
    return list;
}

QJsonArray HeartbeatReport::config() const
{
    QJsonArray list;
    QStringList keys = m_config.keys();
    keys.sort();
    for (const QString &key : keys) {
        if (shouldExclude(key))
            continue;
        const QVariant value = m_config.get(key);
        list.append(QJsonObject{{QStringLiteral("name"), key},
                                {QStringLiteral("type"), mapType(value)},
                                {QStringLiteral("value"), QJsonValue::fromVariant(value)}});
    }
    return list;
}

} // namespace Backend
