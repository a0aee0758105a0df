#include "GUI/RemoteCommands.h"

#include "Common/Config.h"
#include "Common/MqttClient.h"
#include "GUI/ScreenLogic.h"
#include "Managers/Inspector.h"

#include <QJsonArray>
#include <QJsonDocument>

const QString RemoteCommands::ValidSound = QStringLiteral("/opt/vexo/zuka-terminal-ui/Valid.wav");
const QString RemoteCommands::InvalidSound = QStringLiteral("/opt/vexo/zuka-terminal-ui/Invalid.wav");
const QStringList RemoteCommands::TestModes = {QStringLiteral("dispense"), QStringLiteral("acceptEject"),
                                               QStringLiteral("acceptDiscard"), QStringLiteral("acceptDispose")};

RemoteCommands::RemoteCommands(Config &config, manager::MqttClient &mqtt, manager::Inspector &inspector,
                               ScreenLogic &screens, QObject *parent)
    : QObject(parent)
    , m_config(&config)
    , m_mqtt(&mqtt)
    , m_inspector(&inspector)
    , m_screens(&screens)
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
    return m_config->get(QStringLiteral("mqtt/base")).toString();
}

void RemoteCommands::answer(const QString &path, const QString &id, const QJsonObject &document)
{
    m_mqtt->publish(QJsonDocument(document).toJson(QJsonDocument::Indented), responseTopic(base(), path, id), 0,
                    false);
}

void RemoteCommands::testRequest(const QString &id, const QByteArray &payload)
{
    const QJsonObject request = QJsonDocument::fromJson(payload).object();
    const QString mode = request.value(QStringLiteral("mode")).toVariant().toString();
    const int cards = request.value(QStringLiteral("numberOfCards")).toVariant().toInt();
    // A mode that starts no card step would leave the lane paused for good: refused
    // before anything is touched.
    if (!TestModes.contains(mode)) {
        log.warn("Refusing test request : mode=", mode, " id=", id);
        testFinished(id, mode, cards, 0, false, QStringLiteral("Unknown test mode"));
        return;
    }
    m_screens->setMessage(mode == QLatin1String("dispense") ? QStringLiteral("Dispensing card")
                                                            : QStringLiteral("Insert card"));
    m_screens->setScreen(QStringLiteral("Busy"));
    // TODO(terminal): the diagnostics run the test over the terminal's card issuer once the
    // terminal exists (pausing the lane only when the test is accepted); until then there
    // is no card issuer, which fails every test at its first card.
    testFinished(id, mode, cards, 0, false, QStringLiteral("No cardIssuer instance"));
}

void RemoteCommands::testFinished(const QString &id, const QString &mode, int numberOfCards, int done,
                                  bool result, const QString &error)
{
    QJsonObject document;
    document.insert(QStringLiteral("mode"), mode);
    document.insert(QStringLiteral("result"), result);
    document.insert(QStringLiteral("numberOfCards"), result ? numberOfCards : done);
    document.insert(QStringLiteral("error"), result ? QJsonValue() : QJsonValue(error));
    answer(QStringLiteral("/test/response/"), id, document);
    if (error == QLatin1String("Unknown test mode"))
        return;  // refused: nothing was shown, nothing is played
    const int percent = numberOfCards < 1 ? 0 : done * 100 / numberOfCards;
    if (result) {
        m_screens->setMessage(QStringLiteral("Success %1 of %2 (%3%)").arg(done).arg(numberOfCards).arg(percent));
        m_screens->setScreen(QStringLiteral("Success"));
        m_inspector->audioPlay(ValidSound);
    } else {
        m_screens->setMessage(QStringLiteral("Failed %1 of %2 (%3%)\n%4")
                                  .arg(done)
                                  .arg(numberOfCards)
                                  .arg(percent)
                                  .arg(error));
        m_screens->setScreen(QStringLiteral("ErrorScreen"));
        m_inspector->audioPlay(InvalidSound);
    }
}

void RemoteCommands::testCancel(const QString &id)
{
    // TODO(terminal): Diagnostics::cancelTest(); no test can run before the terminal exists.
    QJsonObject document;
    document.insert(QStringLiteral("result"), false);
    document.insert(QStringLiteral("error"), QStringLiteral("No test in progress"));
    answer(QStringLiteral("/test/cancel/response/"), id, document);
}

void RemoteCommands::boxReset(const QString &id)
{
    // TODO(terminal): Terminal::resetBoxCount().
    QJsonObject document;
    document.insert(QStringLiteral("result"), true);
    document.insert(QStringLiteral("error"), QJsonValue());
    answer(QStringLiteral("/box/reset/response/"), id, document);
    emit statusChanged();
}

void RemoteCommands::cameraTrigger(const QString &id, const QByteArray &payload)
{
    QStringList names;
    for (const QJsonValue &v : QJsonDocument::fromJson(payload).array())
        names << v.toVariant().toString();
    log.info("Received MQTT camera trigger command : rpcId=", id, " cameras=", names.join(QLatin1Char(',')));
    // TODO(terminal): CameraManager::cameraProcess(id, names); without cameras the pass
    // resolves with no reading.
    emit statusChanged();
    QJsonObject document;
    document.insert(QStringLiteral("result"), true);
    document.insert(QStringLiteral("error"), QJsonValue());
    document.insert(QStringLiteral("readings"), QJsonArray());
    answer(QStringLiteral("/cameras/trigger/response/"), id, document);
}

RemoteCommands::Outcome RemoteCommands::backOfficeCommand(const QString &id, const QString &command)
{
    log.info("Back-office command : id=", id, " command=", command);
    if (command == QLatin1String("resetBox")) {
        // TODO(terminal): Terminal::resetBoxCount().
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
    log.warn("Unknown back-office command : ", command);
    return {false, QStringLiteral("Unknown command")};
}
