#pragma once
// The one executor of remote commands, whether they come over MQTT under the application's
// base topic (card tests, test cancel, storage-box reset, camera trigger) or from the card
// back office's heartbeat answer ("resetBox", "systemReboot", "applicationRestart").
// Every MQTT request is answered on its response topic.
#include "Common/Log/Log.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

Q_DECLARE_LOGGING_CATEGORY(remoteCommandsLogCategory)

class Config;
class Terminal;
class Diagnostics;
class Test;
class ScreenLogic;
namespace manager {
class Inspector;
class MqttClient;
}

class RemoteCommands : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(RemoteCommands)

public:
    struct Outcome {
        bool result = false;
        QString error;
    };

    static const QString ValidSound;
    static const QString InvalidSound;

    RemoteCommands(Config &config, manager::MqttClient &mqtt, manager::Inspector &inspector,
                   ScreenLogic &screens, Diagnostics &diagnostics, QObject *parent = nullptr);

    // The request id of a request topic: the text after its last "/" when the topic holds
    // "/request/", else empty.
    static QString requestId(const QString &topic);
    // base + path + id, or base + path without its trailing "/" when the id is empty.
    static QString responseTopic(const QString &base, const QString &path, const QString &id);

    void testRequest(const QString &id, const QByteArray &payload);
    void testCancel(const QString &id);
    void boxReset(const QString &id);
    void cameraTrigger(const QString &id, const QByteArray &payload);
    // The lane the commands act on (none: the storage box and the cameras are absent).
    void setTerminal(Terminal *terminal) { m_terminal = terminal; }

    // A back-office command; the outcome is its acknowledgement.
    Outcome backOfficeCommand(const QString &id, const QString &command);

signals:
    // The application is to end (its exit request).
    void exitRequested();
    // A command changed what the status document shows.
    void statusChanged();

private:
    QString base() const;
    void answer(const QString &path, const QString &id, const QJsonObject &document);
    void testProgress(const Test &test);
    void testFinished(const Test &test, int requested, bool accepted);

    Config *m_config;
    manager::MqttClient *m_mqtt;
    manager::Inspector *m_inspector;
    ScreenLogic *m_screens;
    Diagnostics *m_diagnostics;
    Terminal *m_terminal = nullptr;

private:
    static constexpr Log log{"[GUIManager] ", remoteCommandsLogCategory};
};
