#pragma once
// The application's root object: builds the system on the one configuration store,
// applies logging and configuration changes and carries the QML interface.
#include "Common/Log.h"
#include "Common/MqttClient.h"

#include <QByteArray>
#include <QObject>
#include <QQmlApplicationEngine>
#include <QString>
#include <QTranslator>
#include <QVariantMap>

class Config;
class QQmlContext;

class GUIManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(GUIManager)
    Q_PROPERTY(QString screen READ screen NOTIFY screenChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)

public:
    // Every setting of the system with its default (the table of GUI/Defaults.h).
    static const QVariantMap &Defaults;

    explicit GUIManager(Config &config);
    ~GUIManager() override;

    // Opens the QML interface.
    void load();

    QString screen() const;
    QString message() const;

public slots:
    // Shows the busy screen and ends the event loop (exit code 0) two seconds later.
    void exitRequest();

signals:
    void screenChanged();
    void messageChanged();

private:
    void initLog();
    void initConfig();
    void onConfigChanged(const QVariantMap &changes);
    void onConfigFileChanged();
    void initMqtt();
    void onMqttConnected();
    void onMqttDisconnected();
    void onMqttError(const QString &error);
    void onMqttMessage(const QByteArray &data, const QByteArray &topic);
    void showBusy(const QString &message);

    Config *m_config = nullptr;
    QString m_screen;
    QString m_message;
    QTranslator m_translator;
    manager::MqttClient m_mqtt;
    // Members go in reverse order: the QML engine is declared last so that it goes
    // first, while everything its bindings read still exists.
    QQmlApplicationEngine m_engine;
    QQmlContext *m_rootContext = nullptr;

private:
    static constexpr Log log{"[GUIManager] "};
};
