#include "GUI/Supervision.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/IndentedJson.h"
#include "Common/MqttClient.h"
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
        m_mqtt->subscribe(b + QLatin1String(path), 0);
}

void Supervision::publish(const QByteArray &text, const QString &name)
{
    m_mqtt->publish(text, base() + name, 0, true);
}

void Supervision::publish(const QJsonObject &document, const QString &name)
{
    publish(QJsonDocument(document).toJson(QJsonDocument::Indented), name);
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

// Written straight to text: the document goes out at every change of the lane, several
// times a passage. Members are written in the order of their keys, as the JSON library
// keeps them (the tests compare the text with the library's own).
QByteArray Supervision::statusDocument() const
{
    const ScreenLogic::Lane lane = m_lane();
    IndentedJson json;
    json.beginObject();
    if (Terminal *t = m_terminal) {
        manager::Barrier *barrier = t->barrier();
        json.beginObject("barrier")
            .boolean("isOpen", barrier->isOpen())
            .value("lastChange", Utils::dateToJson(barrier->lastChange()))
            .text("state", enumName(barrier->state()))
            .end();
        StorageBox *box = t->storageBox();
        json.beginObject("box")
            .number("capacity", box->capacity())
            .number("count", box->count())
            .text("level", box->level())
            .number("percent", box->levelPercent())
            .end();
        json.beginObject("button")
            .boolean("isPressed", t->button()->isPressed())
            .value("lastChange", Utils::dateToJson(t->button()->lastPress()))
            .end();
        json.beginArray("cameras");
        for (VORCamera *camera : t->cameras()->list()) {
            json.beginObject()
                .value("lastPlate", Utils::strToJson(camera->lastPlate()))
                .value("lastTrigger", Utils::dateToJson(camera->lastTrigger()))
                .text("name", camera->type().toLower())
                .text("state", camera->status().toLower())
                .text("type", enumName(camera->type2()).toLower())
                .end();
        }
        json.end();
        if (Backend::CardBO *bo = t->cardBO()) {
            Backend::Database *db = t->database();
            const QVector<int> counts = db ? db->transCounts({QStringLiteral("PENDING"), QStringLiteral("FAILED")})
                                           : QVector<int>(2);
            if (!m_blacklistVer)
                m_blacklistVer = bo->blacklistVer();
            json.beginObject("cardBo")
                .text("blacklist", *m_blacklistVer)
                .number("failed", counts[1])
                .value("lastComms", Utils::dateToJson(bo->lastComms()))
                .number("pending", counts[0])
                .value("reason", Utils::strToJson(bo->reason()))
                .text("state", enumName(bo->state()))
                .end();
        }
        json.text("cardLevel", Utils::levelToStr(t->cardLevelPercent()));
        json.number("cardLevel%", t->cardLevelPercent());
    }
    const bool known = lane.state >= 0 && lane.state < int(sizeof StateNames / sizeof *StateNames);
    json.text("error", lane.reason);
    if (Terminal *t = m_terminal) {
        if (Backend::ESB *esb = t->esb()) {
            json.beginObject("esb")
                .value("lastComms", Utils::dateToJson(esb->lastComms()))
                .value("reason", Utils::strToJson(esb->reason()))
                .text("state", enumName(esb->state()))
                .value("version", Utils::strToJson(esb->version()))
                .end();
        }
        json.beginObject("loop")
            .boolean("isOccupied", t->loop()->isOccupied())
            .value("lastChange", Utils::dateToJson(t->loop()->lastChange()))
            .end();
    }
    // A passage in progress, or a lane that is not waiting for one (Stopped counts too).
    json.boolean("occupied", !m_terminal || m_terminal->session()->state() != Session::Idle);
    json.boolean("service", true);
    json.text("state", known ? QString::fromLatin1(StateNames[lane.state]) : QString());
    json.boolean("technician", m_sessions->sessionActive());
    if (m_terminal)
        json.number("uptime", m_terminal->uptime());
    return json.take();
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
            const auto def = defaults.constFind(key);
            if (def == defaults.cend() && !known.contains(key)) {
                leaveOut("Ignoring unknown configuration key : ", Log::outside(key));
                continue;
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
        m_config->fromJson(
            acceptedConfig(Utils::parseJson(data).object(), m_config->defaults(), m_config->keys(), &m_leftOut));
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
