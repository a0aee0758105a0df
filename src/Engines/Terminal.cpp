#include "Engines/Terminal.h"

#include "Engines/CollectEngine.h"
#include "Engines/IssueEngine.h"

#include "Backend/Database.h"
#include "Backend/ESB.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Log.h"
#include "Common/Mqtt/MqttClient.h"
#include "Common/Utils.h"
#include "Managers/Ethernet.h"

#include <QElapsedTimer>
#include <QMetaEnum>

namespace {

ZUKA_LOG_CATEGORY(logCategory, "engines.terminal")
const Log termLog("[Terminal] ", logCategory);

const QString VendingMachine = QStringLiteral("CARD_VENDING_MACHINE");
const QString CollectionMachine = QStringLiteral("CARD_COLLECTION_MACHINE");

QString topic(Config &config, QLatin1String key)
{
    return config.get(key).toString();
}

} // namespace

// The lane commands, on fixed topics whatever the interface's base topic: the line each
// logs and what it does. A closing barrier is heard but asks nothing.
const QList<Terminal::LaneCommand> &Terminal::laneCommands()
{
    static const QList<LaneCommand> commands = {
        {QStringLiteral("vexo/ui/button"), "On button pressed from MQTT",
         [](Terminal &t) {
             if (t.m_engine)
                 t.m_engine->simButtonPressed();
         }},
        {QStringLiteral("vexo/ui/loop/present"), "On Vehicle Present from MQTT",
         [](Terminal &t) {
             if (t.m_engine)
                 t.m_engine->simLoopPresent();
         }},
        {QStringLiteral("vexo/ui/loop/free"), "On Vehicle Free from MQTT",
         [](Terminal &t) {
             // As the loop's own report: noted for the passages held, whatever runs.
             t.onVehicleLeft();
             if (t.m_engine)
                 t.m_engine->simLoopFree();
         }},
        {QStringLiteral("vexo/ui/camera/trigger"), "On Camera trigger from MQTT",
         [](Terminal &t) { t.m_cameras.cameraProcess(QString(), QStringList()); }},
        {QStringLiteral("vexo/ui/barrier/open"), "Openning barrier from MQTT",
         [](Terminal &t) {
             t.m_barrier.open(false)
                 .doneZero([] { termLog.info("BARRIER Openned"); })
                 .failZero([] { termLog.error("Failed to open barrier"); });
         }},
        {QStringLiteral("vexo/ui/barrier/close"), nullptr, nullptr},
    };
    return commands;
}

Terminal::Terminal(Config &config, manager::MqttClient &mqtt, QObject *parent, Backend::CardBO::Timing cardBOTiming)
    : QObject(parent)
    , m_config(config)
    , m_mqtt(mqtt)
    , m_rfid(mqtt, topic(config, Key::TopicRfid))
    , m_dispenser(mqtt, topic(config, Key::TopicDispenser))
    , m_storageBox(config)
    , m_cardIssuer(&m_rfid, &m_dispenser)
    , m_network(mqtt, topic(config, Key::TopicNetwork))
    , m_update(mqtt, topic(config, Key::TopicUpdate))
    , m_barrier(config)
    , m_button(m_board, 0)
    , m_loop(m_board, 1)
    , m_cameras(config, m_network.ethernet() ? m_network.ethernet()->ipv4() : nullptr)
    , m_database(new Backend::Database(this))
    , m_cardBO(new Backend::CardBO(config, *m_database, *this, this, cardBOTiming))
    , m_esb(new Backend::ESB(config, this))
    , m_session(new Session(this))
    , m_identity(config)
{
    // What the program's last run left open is finished by the first engine that runs.
    for (const Backend::Transaction::Ptr &report : m_cardBO->interrupted())
        m_interrupted.append({report});
    m_interruptedWatch.setInterval(1000);
    connect(&m_interruptedWatch, &QTimer::timeout, this, &Terminal::reportUnclaimed);
    m_interruptedWatch.start();
    // Before the engine's own reaction to it, and whether an engine runs or not.
    connect(&m_loop, &manager::Loop::vehicleLeft, this, &Terminal::onVehicleLeft);
    connect(&m_identity, &Identity::serialNumChanged, this, &Terminal::serialNumChanged);
    connect(&m_identity, &Identity::customsIdChanged, this, &Terminal::customsIdChanged);
    connect(&m_identity, &Identity::locationIdChanged, this, &Terminal::locationIdChanged);
    // The back office hears of update progress through the terminal's relay.
    connect(this, &Terminal::updateProgress, m_cardBO, &Backend::CardBO::sendProgress);
    for (const LaneCommand &command : laneCommands())
        m_mqtt.subscribeCommands(command.topic, 0);
    connect(&m_mqtt, &manager::MqttClient::received, this, &Terminal::onLaneCommand);
}

Terminal::~Terminal()
{
    // The engine goes first, stopped; the members follow in reverse order. The card back
    // office goes before the store it writes to (the children go in the order made).
    dropEngine();
    delete m_cardBO;
    m_cardBO = nullptr;
    for (const auto &c : qAsConst(m_connections))
        disconnect(c);
}

// A passage left open waits for its own engine while its time runs. After that, one of the
// other lane type (left by a dispenser model flap), or any while the lane is out of order, is
// reported as it stood: an engine that runs later could only report it so too.
void Terminal::reportUnclaimed()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (auto it = m_interrupted.begin(); it != m_interrupted.end();) {
        const QString lane = it->report->journal().lane;
        const bool ownEngineMayRun = m_state != Error && (lane.isEmpty() || lane == m_type);
        if (ownEngineMayRun || now <= Engine::resumeBy(*it->report, m_config)) {
            ++it;
            continue;
        }
        termLog.warn("Interrupted passage reported as it stood : ", it->report->toString());
        m_cardBO->sendTransaction(it->report);
        it = m_interrupted.erase(it);
    }
}

// A vehicle leaving the loop is noted for every passage the lane holds: the engine's open one
// and those it took over, and those left open that wait for a run (the lane paused, no engine
// for the dispenser's model). None of them opens for the truck that comes next.
void Terminal::onVehicleLeft()
{
    if (m_engine)
        m_engine->noteVehicleLeft();
    for (const InterruptedPassage &passage : qAsConst(m_interrupted))
        Engine::noteVehicleLeft(m_cardBO, passage.report);
}

QString Terminal::stateToStr(int state)
{
    switch (state) {
    case Init: return QStringLiteral("Init");
    case Busy: return QStringLiteral("Busy");
    case Ready: return QStringLiteral("Ready");
    case Error: return QStringLiteral("Error");
    case Stopped: return QStringLiteral("Stopped");
    default: return QStringLiteral("Unknown");
    }
}

QString Terminal::modelToType(const QString &model)
{
    if (model == QLatin1String("ELR19093"))
        return VendingMachine;
    if (model == QLatin1String("ELG0909"))
        return CollectionMachine;
    return QString();
}

// --- Identity -----------------------------------------------------------------------

QString Terminal::customsName() const
{
    return m_database->findCustoms(customsId().toInt()).name;
}

QString Terminal::locationName() const
{
    return m_database->findLocation(locationId().toInt()).name;
}

// --- Type, level, uptime ------------------------------------------------------------

void Terminal::onModelChanged()
{
    termLog.warn("Dispenser model changed : ", m_dispenser.model());
    setType(modelToType(m_dispenser.model()));
}

void Terminal::setType(const QString &type)
{
    if (type == m_type)
        return;
    m_type = type;
    emit typeChanged();
}

void Terminal::onTypeChanged()
{
    termLog.warn("Terminal type changed : ", m_type);
    // The engine of the old type is stopped and dropped; the evaluation creates the
    // one of the new type.
    dropEngine();
    updateState();
}

int Terminal::cardLevelPercent() const
{
    if (m_type == VendingMachine)
        return m_dispenser.cartridgePercent();
    if (m_type == CollectionMachine)
        return m_storageBox.levelPercent();
    return 0;
}

QString Terminal::cardLevel() const
{
    return Utils::levelToStr(cardLevelPercent());
}

int Terminal::uptime() const
{
    QElapsedTimer clock; // monotonic: its reference point is the system's start
    clock.start();
    return int(clock.msecsSinceReference() / 1000);
}

// --- What the back office reads -----------------------------------------------------

bool Terminal::rfidActive() const { return m_rfid.active(); }
QString Terminal::rfidError() const { return m_rfid.error(); }
bool Terminal::dispenserActive() const { return m_dispenser.active(); }
bool Terminal::barrierActive() const { return m_barrier.active(); }
QString Terminal::barrierReason() const { return m_barrier.reason(); }
bool Terminal::clockSynced() const { return m_clock.ntpSynced(); }
QString Terminal::softwareVersion() const { return m_update.current(); }

QList<Backend::LaneView::Camera> Terminal::cameraStatus() const
{
    QList<Camera> list;
    for (VORCamera *camera : m_cameras.list())
        list.append(Camera{camera->type(), camera->status()});
    return list;
}

IPv4 *Terminal::ipv4() const
{
    return m_network.ethernet() ? m_network.ethernet()->ipv4() : nullptr;
}

void Terminal::installSoftware(const QString &version, const QString &url, const QString &md5)
{
    m_update.trigger(version, url, md5);
}

// --- Life cycle ---------------------------------------------------------------------

void Terminal::start()
{
    if (m_state != Init && m_state != Stopped)
        return;
    termLog.info("Starting Terminal engine");
    auto add = [this](QMetaObject::Connection c) { m_connections.append(c); };
    add(connect(&m_config, &Config::configChanged, this, &Terminal::onConfigChanged));
    add(connect(&m_update, &manager::Update::progressPercentChanged, this, &Terminal::onUpdateProgress));
    add(connect(&m_update, &manager::Update::statusChanged, this, &Terminal::onUpdateProgress));
    add(connect(&m_dispenser, &manager::Dispenser::modelChanged, this, &Terminal::onModelChanged));
    add(connect(&m_dispenser, &manager::Dispenser::cartridgePercentChanged, this, &Terminal::cardLevelPercentChanged));
    add(connect(&m_dispenser, &manager::Dispenser::cartridgeChanged, this, &Terminal::cardLevelChanged));
    add(connect(&m_storageBox, &StorageBox::levelPercentChanged, this, &Terminal::cardLevelPercentChanged));
    add(connect(&m_storageBox, &StorageBox::levelChanged, this, &Terminal::cardLevelChanged));
    add(connect(&m_cardIssuer, &manager::CardIssuer::stateChanged, this, &Terminal::updateState));
    add(connect(&m_cardIssuer, &manager::CardIssuer::cardDisposed, this, &Terminal::onCardDisposed));
    add(connect(&m_button, &manager::Button::pressed, this, &Terminal::onButtonPressed));
    add(connect(&m_barrier, &manager::Barrier::stateChanged, this, &Terminal::updateState));
    add(connect(&m_barrier, &manager::Barrier::isPriorityChanged, this, &Terminal::updateState));
    add(connect(m_cardBO, &Backend::CardBO::stateChanged, this, &Terminal::updateState));
    add(connect(m_session, &Session::stateChanged, this, &Terminal::updateState, Qt::QueuedConnection));
    add(connect(this, &Terminal::typeChanged, this, &Terminal::onTypeChanged));
    add(connect(this, &Terminal::serialNumChanged, this, &Terminal::updateState));
    add(connect(this, &Terminal::customsIdChanged, this, &Terminal::updateState));
    add(connect(this, &Terminal::locationIdChanged, this, &Terminal::updateState));
    add(connect(this, &Terminal::stateChanged, this, &Terminal::updateEngine, Qt::QueuedConnection));
    m_identity.start();
    // A model reported before the start counts.
    setType(modelToType(m_dispenser.model()));
    if (m_cardBO)
        m_cardBO->start();
    if (m_engine && !m_paused)
        m_engine->start();
    updateState();
}

void Terminal::stop()
{
    if (m_state == Stopped)
        return;
    termLog.info("Stopping Terminal engine");
    if (m_cardBO)
        m_cardBO->stop();
    if (m_engine)
        m_engine->stop();
    for (const auto &c : qAsConst(m_connections))
        disconnect(c);
    m_connections.clear();
    m_identity.stop();
    setState(Stopped, QStringLiteral("User request"));
}

void Terminal::pause()
{
    m_paused = true;
    if (m_engine)
        m_engine->stop();
}

// The end of a pause always lifts it; the engine runs again at once only on a Ready
// lane, otherwise once the lane has recovered. The lane is judged afresh first: what changed
// while a passage was under way (the barrier gone) was not judged then.
void Terminal::resume()
{
    m_paused = false;
    updateState();
    if (m_engine && m_state == Ready && m_session->state() == Session::Stopped)
        m_engine->start();
}

void Terminal::resetBoxCount()
{
    termLog.warn("Resettig card storage box counter");
    m_storageBox.resetCount();
    termLog.info("Card Storage box : ", m_storageBox.toString());
}

void Terminal::updateEngine()
{
    // Stops the engine when the terminal enters Error and starts it again when it
    // recovers; a paused lane stays stopped until it is resumed.
    if (!m_engine)
        return;
    const bool stopped = m_session->state() == Session::Stopped;
    // An engine that cannot serve stays running: it is what recovers.
    if (m_state == Error && !stopped && m_reason != m_engine->unready()) {
        termLog.warn("Terminal in error state : stopping engine");
        m_engine->stop();
    } else if (m_state != Error && stopped && !m_paused) {
        termLog.warn("Terminal recovered from error: starting engine");
        m_engine->start();
    }
}

QSharedPointer<Engine> Terminal::createEngine(const QString &type)
{
    termLog.info("Creating terminal engine for : ", type);
    QSharedPointer<Engine> engine;
    if (type == VendingMachine)
        engine.reset(new IssueEngine(this));
    else if (type == CollectionMachine)
        engine.reset(new CollectEngine(this));
    if (!engine) {
        termLog.error("Terminal type not supported");
        return engine;
    }
    connect(engine.data(), &Engine::sessionStarted, this, &Terminal::sessionStarted);
    connect(engine.data(), &Engine::sessionFinished, this, &Terminal::sessionFinished);
    connect(engine.data(), &Engine::readinessChanged, this, &Terminal::updateState);
    if (!m_paused)
        engine->start();
    emit sessionChanged();
    return engine;
}

void Terminal::dropEngine()
{
    // Stopped before it goes, so that the session does not stay in a passage that no
    // engine runs any more; what it announces then is of no concern.
    if (m_engine) {
        m_engine->disconnect(this);
        m_engine->stop();
    }
    m_engine.reset();
}

bool Terminal::sessionInProgress() const
{
    return m_session && m_session->inProgress();
}

// --- State --------------------------------------------------------------------------

void Terminal::updateState()
{
    if (sessionInProgress())
        return;
    if (!m_cardBO)
        return setState(Error, QStringLiteral("No backend instance"));
    if (m_cardBO->state() == Backend::CardBO::NotRegistered)
        return setState(Error, QStringLiteral("Terminal not registered"));
    if (m_cardBO->state() == Backend::CardBO::Disabled)
        return setState(Error, QStringLiteral("Terminal disabled"));
    if (m_cardIssuer.state() == manager::CardIssuer::Error)
        return setState(Error, m_cardIssuer.reason());
    if (!m_barrier.active())
        return setState(Error, QStringLiteral("Barrier inactive"));
    if (m_barrier.isPriority())
        return setState(Error, QStringLiteral("Barrier priority open"));
    if (serialNum().isEmpty())
        return setState(Error, QStringLiteral("Missing Device id"));
    if (customsId().isEmpty())
        return setState(Error, QStringLiteral("Missing Customs id"));
    if (locationId().isEmpty())
        return setState(Error, QStringLiteral("Missing Location id"));
    if (m_type.isEmpty())
        return setState(Error, QStringLiteral("Missing Terminal type"));
    if (!m_engine)
        m_engine = createEngine(m_type);
    if (!m_engine)
        return setState(Error, QStringLiteral("Unsupported dispenser model"));
    if (!m_engine->unready().isEmpty())
        return setState(Error, m_engine->unready());
    setState(Ready, QString());
}

void Terminal::setState(State state, const QString &reason)
{
    if (state == m_state && reason == m_reason)
        return;
    const QString reasonText = reason.isEmpty() ? QString() : QStringLiteral("(reason=%1)").arg(reason);
    termLog.info(QStringLiteral("State changed : (%1) %2 %3").arg(int(state)).arg(stateToStr(state), reasonText));
    m_state = state;
    m_reason = reason;
    emit stateChanged();
    if (state == Ready || state == Error)
        printState();
}

void Terminal::printState()
{
    auto occupied = [](bool b) { return b ? QStringLiteral("occupied") : QStringLiteral("free"); };
    const QString line(49, QLatin1Char('-'));
    termLog.info(line);
    termLog.info(" TERMINAL STATE");
    termLog.info(line);
    termLog.info(" Serial Num : ", serialNum());
    termLog.info(" Type       : ", m_type);
    termLog.info(" State      : ", stateToStr(m_state));
    termLog.info(" Reason     : ", m_reason);
    termLog.info(QStringLiteral(" Customs    : (%1) %2").arg(customsId(), customsName()));
    termLog.info(QStringLiteral(" Location   : (%1) %2").arg(locationId(), locationName()));
    termLog.info(" Uptime     : ", uptime());
    termLog.info("--- CARDS ---------------------------------------");
    termLog.info(" RFID       : ", m_rfid.active() ? "active" : "inactive");
    termLog.info(" Dispenser  : ", m_dispenser.active() ? "active" : "inactive");
    termLog.info(QStringLiteral(" Card Level : %1 (%2%)").arg(cardLevel()).arg(cardLevelPercent()));
    termLog.info("--- STORAGE BOX ---------------------------------");
    termLog.info(QStringLiteral(" Card count : %1 of %2").arg(m_storageBox.count()).arg(m_storageBox.capacity()));
    termLog.info(QStringLiteral(" Fill Level : %1 (%2%)").arg(m_storageBox.level()).arg(m_storageBox.levelPercent()));
    termLog.info("--- CAMERAS -------------------------------------");
    termLog.info(" Pres. Loop : ", occupied(m_loop.isOccupied()));
    for (VORCamera *camera : m_cameras.list())
        termLog.info(QStringLiteral(" %1 : %2").arg(camera->type().toUpper().leftJustified(10), camera->status()));
    termLog.info("--- BARRIER -------------------------------------");
    termLog.info(" Active     : ", m_barrier.active() ? "yes" : "no");
    termLog.info(" Reason     : ", m_barrier.reason());
    termLog.info(" State      : ", m_barrier.isOpen() ? "open" : "closed");
    termLog.info(" Loop A     : ", occupied(m_barrier.loopA()));
    termLog.info(" Loop B     : ", occupied(m_barrier.loopB()));
    termLog.info("--- CARD BO -------------------------------------");
    termLog.info(" State      : ", QMetaEnum::fromType<Backend::CardBO::State>().valueToKey(m_cardBO->state()));
    termLog.info(" Reason     : ", m_cardBO->reason());
    termLog.info("--- ESB -----------------------------------------");
    termLog.info(" State      : ", QMetaEnum::fromType<Backend::ESB::State>().valueToKey(m_esb->state()));
    termLog.info(" Reason     : ", m_esb->reason());
    termLog.info(" Last comms : ", m_esb->lastComms().toString());
    termLog.info(line);
}

// --- Reactions ----------------------------------------------------------------------

void Terminal::onConfigChanged(const QVariantMap &changes)
{
    if (Config::contains(changes, QStringLiteral("terminal\\/.+")))
        termLog.warn("Configuration changed. Applying.");
}

void Terminal::onUpdateProgress()
{
    const QString status = m_update.status();
    if (status == QLatin1String("Downloading"))
        emit updateProgress(status, m_update.progressPercent());
    else if (status == QLatin1String("Installing"))
        emit updateProgress(status, 0);
    else if (status.contains(QLatin1String("failed")))
        emit updateProgress(status, 100);
    else if (status == QLatin1String("Installation success"))
        emit updateProgress(QStringLiteral("Updated"), 100);
}

void Terminal::onCardDisposed(const Tag::Ptr &card)
{
    termLog.info("Card disposed : uid=", card ? Log::outside(card->uid()) : QStringLiteral("<none>"));
    m_storageBox.incrCount();
    termLog.info("Card Storage box : ", m_storageBox.toString());
}

void Terminal::onButtonPressed()
{
    if (m_type != CollectionMachine)
        return;
    termLog.warn("Internal button pressed");
    resetBoxCount();
}

void Terminal::onLaneCommand(const QByteArray &, const QByteArray &from)
{
    const QString topic = QString::fromUtf8(from);
    for (const LaneCommand &command : laneCommands()) {
        if (command.topic != topic || !command.act)
            continue;
        termLog.info(command.line);
        command.act(*this);
        return;
    }
}
