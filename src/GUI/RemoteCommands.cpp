#include "GUI/RemoteCommands.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Mqtt/MqttClient.h"
#include "Common/Utils.h"
#include "GUI/Diagnostics.h"
#include "Engines/Terminal.h"
#include "GUI/ScreenLogic.h"
#include "Managers/Inspector.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>

ZUKA_LOG_CATEGORY(remoteCommandsLogCategory, "gui.remotecommands")

const QString RemoteCommands::ValidSound = QStringLiteral("/opt/vexo/zuka-terminal-ui/Valid.wav");
const QString RemoteCommands::InvalidSound = QStringLiteral("/opt/vexo/zuka-terminal-ui/Invalid.wav");

RemoteCommands::RemoteCommands(Config &config, manager::MqttClient &mqtt, manager::Inspector &inspector,
                               ScreenLogic &screens, Diagnostics &diagnostics, QObject *parent)
    : QObject(parent)
    , m_config(&config)
    , m_mqtt(&mqtt)
    , m_inspector(&inspector)
    , m_screens(&screens)
    , m_diagnostics(&diagnostics)
{
}

QString RemoteCommands::requestId(const QString &topic)
{
    if (!topic.contains(QLatin1String("/request/")))
        return QString();
    return topic.mid(topic.lastIndexOf(QLatin1Char('/')) + 1);
}

QString RemoteCommands::responseTopic(const QString &base, const QString &path, const QString &id)
{
    if (id.isEmpty())
        return base + path.left(path.size() - 1);
    return base + path + id;
}

QString RemoteCommands::base() const
{
    return m_config->get(Key::MqttBase).toString();
}

void RemoteCommands::answer(const QString &path, const QString &id, const QJsonObject &document)
{
    m_mqtt->publish(QJsonDocument(document).toJson(QJsonDocument::Indented), responseTopic(base(), path, id), 0,
                    false);
}

void RemoteCommands::testRequest(const QString &id, const QByteArray &payload)
{
    const QJsonObject request = Utils::parseJson(payload).object();
    const QString mode = request.value(QStringLiteral("mode")).toVariant().toString();
    const int cards = request.value(QStringLiteral("numberOfCards")).toVariant().toInt();
    // The diagnostics pause the lane only when they accept the test; a refused request
    // (unknown mode, a passage or another test under way) is only answered, so the
    // screens of a passage stay as they are.
    const quint64 before = m_diagnostics->acceptedRuns();
    Deferred<Test> run = m_diagnostics->performTest(mode, cards, id);
    const bool accepted = m_diagnostics->acceptedRuns() != before;
    if (accepted && run.isPending()) {
        m_screens->setMessage(mode == QLatin1String("dispense") ? QStringLiteral("Dispensing card")
                                                                : QStringLiteral("Insert card"));
        m_screens->setScreen(QStringLiteral("Busy"));
    }
    const QPointer<RemoteCommands> self(this);
    run.progress([self](Test test) {
        if (self)
            self->testProgress(test);
    });
    run.done([self, cards, accepted](Test test) {
        if (self)
            self->testFinished(test, cards, accepted);
    });
}

void RemoteCommands::testProgress(const Test &test)
{
    QJsonObject document;
    document.insert(QStringLiteral("id"), test.id);
    document.insert(QStringLiteral("mode"), test.name);
    document.insert(QStringLiteral("currCardIndex"), test.currCardIndex);
    document.insert(QStringLiteral("numberOfCards"), test.numberOfCards);
    document.insert(QStringLiteral("percent"), test.percent());
    document.insert(QStringLiteral("cardId"), test.cardId());
    document.insert(QStringLiteral("error"), QJsonValue());
    m_mqtt->publish(QJsonDocument(document).toJson(QJsonDocument::Indented), base() + QStringLiteral("/test/progress"),
                    0, false);
    m_screens->setMessage(QStringLiteral("Test %1 of %2 (%3%)")
                              .arg(test.currCardIndex)
                              .arg(test.numberOfCards)
                              .arg(test.percent()));
    m_screens->setScreen(QStringLiteral("Busy"));
}

void RemoteCommands::testFinished(const Test &test, int requested, bool accepted)
{
    QJsonObject document;
    document.insert(QStringLiteral("mode"), test.name);
    document.insert(QStringLiteral("result"), test.result);
    document.insert(QStringLiteral("numberOfCards"), test.result ? requested : test.currCardIndex);
    document.insert(QStringLiteral("error"), test.result ? QJsonValue() : QJsonValue(test.error));
    answer(QStringLiteral("/test/response/"), test.id, document);
    if (!accepted)
        return;
    const QString fields = QStringLiteral("%1 of %2 (%3%)").arg(test.currCardIndex).arg(test.numberOfCards).arg(test.percent());
    if (test.result) {
        m_screens->setMessage(QStringLiteral("Success ") + fields);
        m_screens->setScreen(QStringLiteral("Success"));
        m_inspector->audioPlay(ValidSound);
    } else {
        m_screens->setMessage(QStringLiteral("Failed ") + fields + QLatin1Char('\n') + test.error);
        m_screens->setScreen(QStringLiteral("ErrorScreen"));
        m_inspector->audioPlay(InvalidSound);
    }
}

void RemoteCommands::testCancel(const QString &id)
{
    const bool cancelled = m_diagnostics->cancelTest();
    QJsonObject document;
    document.insert(QStringLiteral("result"), cancelled);
    document.insert(QStringLiteral("error"), cancelled ? QJsonValue() : QJsonValue(QStringLiteral("No test in progress")));
    answer(QStringLiteral("/test/cancel/response/"), id, document);
}

void RemoteCommands::boxReset(const QString &id)
{
    if (m_terminal)
        m_terminal->resetBoxCount();
    QJsonObject document;
    document.insert(QStringLiteral("result"), true);
    document.insert(QStringLiteral("error"), QJsonValue());
    answer(QStringLiteral("/box/reset/response/"), id, document);
    emit statusChanged();
}

void RemoteCommands::cameraTrigger(const QString &id, const QByteArray &payload)
{
    QStringList names;
    for (const QJsonValue &v : Utils::parseJson(payload).array())
        names << v.toVariant().toString();
    log.info("Received MQTT camera trigger command : rpcId=", Log::outside(id), " cameras=",
             Log::outside(names.join(QLatin1Char(','))));
    const auto answerReadings = [this, id](const manager::CameraManager::Readings &readings) {
        emit statusChanged();
        QJsonArray list;
        for (const auto &reading : readings)
            if (reading)
                list.append(reading->toJson());
        QJsonObject document;
        document.insert(QStringLiteral("result"), true);
        document.insert(QStringLiteral("error"), QJsonValue());
        document.insert(QStringLiteral("readings"), list);
        answer(QStringLiteral("/cameras/trigger/response/"), id, document);
    };
    if (!m_terminal) {
        answerReadings({});
        return;
    }
    const QPointer<RemoteCommands> self(this);
    m_terminal->cameras()
        ->cameraProcess(id, names)
        .done([self, answerReadings](manager::CameraManager::Readings readings) {
            if (self)
                answerReadings(readings);
        })
        .fail([self, id](manager::CameraManager::Readings) {
            if (!self)
                return;
            QJsonObject document;
            document.insert(QStringLiteral("result"), false);
            document.insert(QStringLiteral("error"), QStringLiteral("Failed to trigger camera(s)"));
            document.insert(QStringLiteral("readings"), QJsonValue());
            self->answer(QStringLiteral("/cameras/trigger/response/"), id, document);
        });
}

RemoteCommands::Outcome RemoteCommands::backOfficeCommand(const QString &id, const QString &command)
{
    log.info("Back-office command : id=", Log::outside(id), " command=", Log::outside(command));
    if (command == QLatin1String("resetBox")) {
        if (m_terminal)
            m_terminal->resetBoxCount();
        emit statusChanged();
        return {true, QString()};
    }
    if (command == QLatin1String("systemReboot")) {
        m_inspector->systemReboot();
        return {true, QString()};
    }
    if (command == QLatin1String("applicationRestart")) {
        emit exitRequested();
        return {true, QString()};
    }
    log.warn("Unknown back-office command : ", Log::outside(command));
    return {false, QStringLiteral("Unknown command")};
}
