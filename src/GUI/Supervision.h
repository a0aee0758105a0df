#pragma once
// The application's MQTT supervision documents under its base topic ("mqtt/base"): the
// retained information, status and configuration documents, the request subscriptions,
// and the dispatch of the requests (document refresh, configuration set, remote commands).
#include "Common/Log/Log.h"
#include "Common/Log/LogLimit.h"
#include "GUI/ScreenLogic.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <functional>
#include <optional>

Q_DECLARE_LOGGING_CATEGORY(supervisionLogCategory)

class Config;
class Terminal;
class RemoteCommands;
class SessionManager;
namespace manager {
class MqttClient;
}

class Supervision : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Supervision)

public:
    Supervision(Config &config, manager::MqttClient &mqtt, SessionManager &sessions, RemoteCommands &commands,
                QObject *parent = nullptr);

    void setLaneSource(std::function<ScreenLogic::Lane()> source) { m_lane = std::move(source); }
    // The lane the documents show (none: the lane's fields are left out).
    void setTerminal(Terminal *terminal);

    QString base() const;
    QJsonObject infoDocument() const;
    QJsonObject statusDocument() const;

    // The part of a "/config/set" object that may be applied: keys the store holds (a
    // default, or one of the known keys of its file), less secrets sent back masked. A key of
    // the file that has no default is applied and named; every other key is named and left
    // out. The lines go through `limit` when given (the sender decides how many lines that
    // makes); the store then judges each value.
    static QJsonObject acceptedConfig(const QJsonObject &groups, const QVariantMap &defaults,
                                      const QStringList &known = QStringList(), LogLimit *limit = nullptr);

public slots:
    // The request topics of the current base topic. The client keeps them and renews them
    // on every connection, so each base topic is subscribed once.
    void subscribeToTopics();
    void publishInfo();
    void publishStatus();
    // Publishes the status document once the current event has been handled: the changes
    // of one event (a session step, a barrier status) make one document.
    void scheduleStatus();
    void publishConfig();
    void onMessage(const QByteArray &data, const QByteArray &topic);

private:
    // Retained, under the base topic read anew.
    void publish(const QJsonObject &document, const QString &name);

    Config *m_config;
    manager::MqttClient *m_mqtt;
    SessionManager *m_sessions;
    RemoteCommands *m_commands;
    std::function<ScreenLogic::Lane()> m_lane;
    Terminal *m_terminal = nullptr;
    QSet<QString> m_subscribed;  // base topics whose requests are subscribed
    bool m_statusScheduled = false;
    mutable std::optional<QString> m_blacklistVer; // the card back office's, as last read
    LogLimit m_leftOut{log}; // the values of "/config/set" messages left out

private:
    static constexpr Log log{"[GUIManager] ", supervisionLogCategory};
};
