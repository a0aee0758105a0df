#include "GUI/Supervision.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Mqtt/MqttClient.h"
#include "Common/Secrets.h"
#include "GUI/RemoteCommands.h"
#include "Backend/CardBO.h"
#include "Backend/Database.h"
#include "Backend/ESB.h"
#include "Common/Utils.h"
#include "Engines/Session.h"
#include "Engines/Terminal.h"
#include "GUI/SessionManager.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QStringList>

ZUKA_LOG_CATEGORY(supervisionLogCategory, "gui.supervision")

namespace {
const char *const StateNames[] = {"Init", "Busy", "Ready", "Error", "Stopped"};

// The enumerator's own name ("Online", "Ready", ...).
template<typename E>
QString enumName(E value)
{
    return QString::fromLatin1(QMetaEnum::fromType<E>().valueToKey(int(value)));
}
}

Supervision::Supervision(Config &config, manager::MqttClient &mqtt, SessionManager &sessions,
                         RemoteCommands &commands, QObject *parent)
    : QObject(parent)
    , m_config(&config)
    , m_mqtt(&mqtt)
    , m_sessions(&sessions)
    , m_commands(&commands)
    , m_lane([] { return ScreenLogic::Lane(); })
{
}

void Supervision::setTerminal(Terminal *terminal)
{
    if (m_terminal && m_terminal->database())
        disconnect(m_terminal->database(), nullptr, this, nullptr);
    m_terminal = terminal;
    // Read from the database for the first document and when it changes, not for every one.
    m_blacklistVer.reset();
    if (terminal && terminal->database())
        connect(terminal->database(), &Backend::Database::paramChanged, this,
                [this](const QString &, const QVariant &) { m_blacklistVer.reset(); });
}

QString Supervision::base() const
{
    return m_config->get(Key::MqttBase).toString();
}

void Supervision::subscribeToTopics()
{
    const QString b = base();
    if (m_subscribed.contains(b))
        return;
    m_subscribed.insert(b);
    for (const char *path : {"/info/get", "/status/get", "/config/get", "/config/set", "/test/request/+",
                             "/test/cancel/request/+", "/box/reset/request/+", "/cameras/trigger/request/+"})
        m_mqtt->subscribeCommands(b + QLatin1String(path), 0);
}

void Supervision::publish(const QJsonObject &document, const QString &name)
{
    m_mqtt->publish(QJsonDocument(document).toJson(QJsonDocument::Indented), base() + name, 0, true);
}

QJsonObject Supervision::infoDocument() const
{
    QJsonObject terminal;
    for (const char *field : {"type", "serialNum", "customsId", "customsName", "locationId", "locationName"})
        terminal.insert(QLatin1String(field), QString());
    if (Terminal *t = m_terminal) {
        terminal.insert(QStringLiteral("type"), t->type());
        terminal.insert(QStringLiteral("serialNum"), t->serialNum());
        terminal.insert(QStringLiteral("customsId"), t->customsId());
        terminal.insert(QStringLiteral("customsName"), t->customsName());
        terminal.insert(QStringLiteral("locationId"), t->locationId());
        terminal.insert(QStringLiteral("locationName"), t->locationName());
    }
    QJsonObject document;
    document.insert(QStringLiteral("terminal"), terminal);
    document.insert(QStringLiteral("version"), QCoreApplication::applicationVersion());
    return document;
}

QJsonObject Supervision::statusDocument() const
{
    const ScreenLogic::Lane lane = m_lane();
    QJsonObject document;
    if (Terminal *t = m_terminal) {
        QJsonArray cameras;
        for (VORCamera *camera : t->cameras()->list()) {
            cameras.append(QJsonObject{
                {QStringLiteral("name"), camera->type().toLower()},
                {QStringLiteral("type"), enumName(camera->type2()).toLower()},
                {QStringLiteral("state"), camera->status().toLower()},
                {QStringLiteral("lastTrigger"), Utils::dateToJson(camera->lastTrigger())},
                {QStringLiteral("lastPlate"), Utils::strToJson(camera->lastPlate())},
            });
        }
        document.insert(QStringLiteral("cameras"), cameras);
        if (Backend::CardBO *bo = t->cardBO()) {
            Backend::Database *db = t->database();
            const QVector<int> counts = db ? db->transCounts({QStringLiteral("PENDING"), QStringLiteral("FAILED")})
                                           : QVector<int>(2);
            if (!m_blacklistVer)
                m_blacklistVer = bo->blacklistVer();
            document.insert(QStringLiteral("cardBo"), QJsonObject{
                {QStringLiteral("state"), enumName(bo->state())},
                {QStringLiteral("reason"), Utils::strToJson(bo->reason())},
                {QStringLiteral("lastComms"), Utils::dateToJson(bo->lastComms())},
                {QStringLiteral("blacklist"), *m_blacklistVer},
                {QStringLiteral("pending"), counts[0]},
                {QStringLiteral("failed"), counts[1]},
            });
        }
        manager::Barrier *barrier = t->barrier();
        document.insert(QStringLiteral("barrier"), QJsonObject{
            {QStringLiteral("state"), enumName(barrier->state())},
            {QStringLiteral("isOpen"), barrier->isOpen()},
            {QStringLiteral("lastChange"), Utils::dateToJson(barrier->lastChange())},
        });
        document.insert(QStringLiteral("button"), QJsonObject{
            {QStringLiteral("isPressed"), t->button()->isPressed()},
            {QStringLiteral("lastChange"), Utils::dateToJson(t->button()->lastPress())},
        });
        document.insert(QStringLiteral("loop"), QJsonObject{
            {QStringLiteral("isOccupied"), t->loop()->isOccupied()},
            {QStringLiteral("lastChange"), Utils::dateToJson(t->loop()->lastChange())},
        });
        StorageBox *box = t->storageBox();
        document.insert(QStringLiteral("box"), QJsonObject{
            {QStringLiteral("capacity"), box->capacity()},
            {QStringLiteral("count"), box->count()},
            {QStringLiteral("level"), box->level()},
            {QStringLiteral("percent"), box->levelPercent()},
        });
        if (Backend::ESB *esb = t->esb()) {
            document.insert(QStringLiteral("esb"), QJsonObject{
                {QStringLiteral("state"), enumName(esb->state())},
                {QStringLiteral("reason"), Utils::strToJson(esb->reason())},
                {QStringLiteral("lastComms"), Utils::dateToJson(esb->lastComms())},
                {QStringLiteral("version"), Utils::strToJson(esb->version())},
            });
        }
        document.insert(QStringLiteral("cardLevel"), Utils::levelToStr(t->cardLevelPercent()));
        document.insert(QStringLiteral("cardLevel%"), t->cardLevelPercent());
        document.insert(QStringLiteral("uptime"), t->uptime());
    }
    const bool known = lane.state >= 0 && lane.state < int(sizeof StateNames / sizeof *StateNames);
    document.insert(QStringLiteral("state"), known ? QString::fromLatin1(StateNames[lane.state]) : QString());
    document.insert(QStringLiteral("error"), lane.reason);
    // A passage in progress, or a lane that is not waiting for one (Stopped counts too).
    document.insert(QStringLiteral("occupied"), !m_terminal || m_terminal->session()->state() != Session::Idle);
    document.insert(QStringLiteral("technician"), m_sessions->sessionActive());
    document.insert(QStringLiteral("service"), true);
    return document;
}

void Supervision::publishInfo()
{
    publish(infoDocument(), QStringLiteral("/info"));
}

void Supervision::publishStatus()
{
    publish(statusDocument(), QStringLiteral("/status"));
}

void Supervision::scheduleStatus()
{
    if (m_statusScheduled)
        return;
    m_statusScheduled = true;
    QMetaObject::invokeMethod(this, [this] {
        m_statusScheduled = false;
        publishStatus();
    }, Qt::QueuedConnection);
}

void Supervision::publishConfig()
{
    // The PIN and the broker password are shown masked: the document is retained for every
    // local client and its publication is logged.
    publish(Secrets::masked(m_config->toJson()), QStringLiteral("/config"));
}

QJsonObject Supervision::acceptedConfig(const QJsonObject &groups, const QVariantMap &defaults,
                                        const QStringList &known, LogLimit *limit)
{
    const auto leaveOut = [limit](const auto &...parts) {
        if (!limit || limit->allow())
            log.warn(parts...);
    };
    QJsonObject out;
    for (auto g = groups.begin(); g != groups.end(); ++g) {
        if (!g.value().isObject()) {
            leaveOut("Ignoring configuration value : ", Log::outside(g.key()), " (not a group)");
            continue;
        }
        QJsonObject inner;
        const QJsonObject in = g.value().toObject();
        for (auto n = in.begin(); n != in.end(); ++n) {
            const QString key = g.key() + QLatin1Char('/') + n.key();
            const QJsonValue v = n.value();
            if (!defaults.contains(key)) {
                if (!known.contains(key)) {
                    leaveOut("Ignoring unknown configuration key : ", Log::outside(key));
                    continue;
                }
                // A line of the file that nothing reads (a misspelt key): changed as asked,
                // and named, as the file's load names it.
                leaveOut("Unknown configuration key : ", Log::outside(key));
            }
            // A masked secret sent back unchanged keeps the stored secret.
            if (Secrets::isSecretKey(key) && v.isString() && v.toString() == Secrets::Mask)
                continue;
            // Whether the value reads as the key's type is the store's to judge.
            inner.insert(n.key(), v);
        }
        if (!inner.isEmpty())
            out.insert(g.key(), inner);
    }
    return out;
}

void Supervision::onMessage(const QByteArray &data, const QByteArray &topicBytes)
{
    const QString topic = QString::fromUtf8(topicBytes);
    const QString b = base();
    if (!topic.contains(b))
        return;
    log.info("Message received : ", Log::outside(topic));
    const bool configSet = topic.contains(QLatin1String("/config/set"))
                           && !topic.contains(QLatin1String("/info/get"))
                           && !topic.contains(QLatin1String("/status/get"))
                           && !topic.contains(QLatin1String("/config/get"));
    // A "/config/set" object may carry the broker password or the PIN: logged masked.
    if (log.debugEnabled())
        log.debug("Data : ", Log::outside(Secrets::maskedPayload(data)));

    if (topic.contains(QLatin1String("/info/get"))) {
        publishInfo();
    } else if (topic.contains(QLatin1String("/status/get"))) {
        publishStatus();
    } else if (topic.contains(QLatin1String("/config/get"))) {
        publishConfig();
    } else if (configSet) {
        m_config->fromJson(acceptedConfig(Utils::parseJson(data).object(), m_config->defaults(), m_config->keys(), &m_leftOut));
    } else if (topic.contains(QLatin1String("/test/request"))) {
        m_commands->testRequest(RemoteCommands::requestId(topic), data);
    } else if (topic.contains(QLatin1String("/test/cancel/request"))) {
        m_commands->testCancel(RemoteCommands::requestId(topic));
    } else if (topic.contains(QLatin1String("/box/reset/request"))) {
        m_commands->boxReset(RemoteCommands::requestId(topic));
    } else if (topic.contains(QLatin1String("/cameras/trigger/request"))) {
        m_commands->cameraTrigger(RemoteCommands::requestId(topic), data);
    }
}
