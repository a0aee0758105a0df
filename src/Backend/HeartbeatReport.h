#pragma once
// The body of a heartbeat to the card back office: the terminal's identity and versions,
// its queue, network settings, the health of its devices and the configuration keys the
// back office may change, read when the report is built.
#include <QJsonArray>
#include <QJsonObject>

class Config;

namespace Backend {

class Database;
class LaneView;

class HeartbeatReport
{
public:
    HeartbeatReport(const Config &config, const Database &database, const LaneView &lane);

    QJsonObject body() const;

private:
    QJsonObject network() const;
    QJsonArray status() const;
    QJsonArray config() const;

    const Config &m_config;
    const Database &m_database;
    const LaneView &m_lane;
};

} // namespace Backend
