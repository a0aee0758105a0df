#include "Engine.h"

#include "Backend/CardBO.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Utils.h"
#include "Managers/Barrier.h"
#include "Managers/Button.h"
#include "Managers/CardIssuer.h"
#include "Managers/Dispenser.h"
#include "Managers/Loop.h"

#include <QMetaEnum>
#include <QUuid>

Engine::Engine(Lane *lane, QObject *parent)
    : QObject(parent), m_lane(lane), m_session(lane->session()), m_esb(lane->esb())
{
    m_resetTimer.setSingleShot(true);
    connect(&m_resetTimer, &QTimer::timeout, this, [this] {
        logger().warning("----- Resetting state machine -------");
        m_session->setState(Session::Idle);
    });
    m_exitTimer.setSingleShot(true);
    connect(&m_exitTimer, &QTimer::timeout, this, &Engine::exitWaitElapsed);
    connect(m_session, &Session::stateChanged, &m_exitTimer, [this](Session::State, Session::State curr) {
        if (curr != Session::Exit)
            m_exitTimer.stop();
    });
}

Engine::~Engine() = default;

void Engine::openSession()
{
    m_session->setStart(QDateTime::currentDateTime());
    emit sessionStarted();
}

bool Engine::closeSession(bool result)
{
    if (m_session->uuid() == m_closedUuid) {
        logger().warn("Passage already closed : ", m_session->uuid());
        return false;
    }
    m_closedUuid = m_session->uuid();
    m_session->setResult(result);
    m_session->setEnd(QDateTime::currentDateTime());
    emit sessionFinished();
    m_resetTimer.start(result ? SuccessResetMs : FailureResetMs);
    return true;
}

void Engine::resetSession()
{
    m_session->setResult(false);
    m_session->setError(QString());
    m_session->setStart(QDateTime());
    m_session->setEnd(QDateTime());
    m_session->setUuid(QUuid::createUuid().toString(QUuid::WithoutBraces));
    m_session->setType(m_lane->type());
    m_session->setDeviceId(m_lane->serialNum());
    m_session->setCustomsId(m_lane->customsId());
    m_session->setLocationId(m_lane->locationId());
    m_session->setCardId(QString());
    m_session->setReadings(Session::Readings());
    m_session->setCard(Session::CardPtr());
    m_session->setCardReturned(false);
    m_session->setButtonPressed(false);
}

Backend::Transaction::Ptr Engine::passageTransaction(Backend::Transaction::Type type, const QString &error) const
{
    auto transaction = Backend::Transaction::Ptr::create();
    transaction->setType(type);
    transaction->setUuid(m_session->uuid());
    transaction->setTimestamp(QDateTime::currentDateTime());
    transaction->setDeviceSerial(m_session->deviceId());
    transaction->setCardUid(m_session->cardId());
    transaction->setZuruvDbId(m_session->uuid());
    transaction->setErrorDetails(error);
    return transaction;
}

void Engine::sendTransaction(Backend::Transaction::Type type)
{
    m_held.reset();
    sendReport(passageTransaction(type, m_session->error()));
}

void Engine::sendReport(const Backend::Transaction::Ptr &transaction)
{
    logger().info("Sending CardBO transaction : ", transaction->toString());
    if (Backend::CardBO *cardBO = m_lane->cardBO())
        cardBO->sendTransaction(transaction);
}

Backend::Transaction::Ptr Engine::holdReport(Backend::Transaction::Type type)
{
    // It takes the place of the interrupted passage's report (the same uuid).
    m_held.reset();
    const Backend::Transaction::Ptr transaction = passageTransaction(type, m_session->error());
    transaction->journal().lane = m_lane->type();
    transaction->journal().step = Session::stateToStr(m_session->state());
    if (Backend::CardBO *cardBO = m_lane->cardBO())
        cardBO->holdTransaction(transaction);
    return transaction;
}

namespace {
const QString InterruptedIn = QStringLiteral("Passage interrupted in ");
}

QString Engine::interruptedIn(Session::State state)
{
    return InterruptedIn + Session::stateToStr(state);
}

Session::State Engine::stepOf(const Backend::Transaction &report)
{
    const QString step = report.journal().known() ? report.journal().step
                         : report.errorDetails().startsWith(InterruptedIn) ? report.errorDetails().mid(InterruptedIn.size())
                                                                            : QString();
    bool ok = false;
    const int value = QMetaEnum::fromType<Session::State>().keyToValue(step.toLatin1().constData(), &ok);
    return ok ? Session::State(value) : Session::Stopped;
}

QDateTime Engine::resumeBy(const Backend::Transaction &report, const Config &config)
{
    int waitSec = exitTimeoutSec(config);
    if (stepOf(report) == Session::WaitCollect)
        waitSec += config.get(Key::TerminalCollectTimeoutSec).toInt();
    return report.timestamp().addSecs(waitSec);
}

// Each step of a passage that has its card, up to its barrier, is noted in its held report,
// with what the journal noted of it so far.
void Engine::holdPassage(Session::State state)
{
    if (state < Session::DataCollect || state > Session::Exit || !(m_held || m_session->card()))
        return;
    const Backend::Transaction::Ptr before = m_held;
    m_held = passageTransaction(decided(state) ? passageType() : Backend::Transaction::ErrorReport,
                                interruptedIn(state));
    Backend::Transaction::Journal &journal = m_held->journal();
    if (before && before->uuid() == m_held->uuid())
        journal = before->journal();
    journal.lane = m_lane->type();
    journal.step = Session::stateToStr(state);
    journal.cardReturn = m_session->cardReturned();
    m_heldUnwritten = true;
    // The step Exit goes to disk with the open command, which its action sends next.
    if (state != Session::Exit)
        writeHeld();
}

void Engine::note(bool Backend::Transaction::Journal::*fact)
{
    if (!m_held || m_held->journal().*fact)
        return;
    m_held->journal().*fact = true;
    m_heldUnwritten = true;
    // Once the open command may have gone, the other facts guard nothing more: they go to disk
    // with the passage's next write.
    if (fact == &Backend::Transaction::Journal::openSent || !m_held->journal().openSent)
        writeHeld();
}

void Engine::writeHeld()
{
    if (!m_held || !std::exchange(m_heldUnwritten, false))
        return;
    if (Backend::CardBO *cardBO = m_lane->cardBO())
        cardBO->holdTransaction(m_held);
}

void Engine::noteVehicleLeft()
{
    if (running() && m_session->state() >= Session::DataCollect && m_session->state() <= Session::Exit)
        note(&Backend::Transaction::Journal::vehicleLeft);
    for (const InterruptedPassage &passage : qAsConst(m_interrupted))
        noteVehicleLeft(m_lane->cardBO(), passage.report);
}

void Engine::noteVehicleLeft(Backend::CardBO *cardBO, const Backend::Transaction::Ptr &report)
{
    Backend::Transaction::Journal &journal = report->journal();
    if (journal.vehicleLeft)
        return;
    journal.vehicleLeft = true;
    if (cardBO && !journal.openSent)
        cardBO->holdTransaction(report);
}

void Engine::boomSeenOpen()
{
    m_barrierOpened = true;
    note(&Backend::Transaction::Journal::boomOpened);
}

void Engine::handOver(const Backend::Transaction::Ptr &report)
{
    logger().warn("Passage interrupted : ", report->toString());
    m_lane->interruptedPassages().append({report, true});
}

Session::State Engine::resumeAt(const InterruptedPassage &passage)
{
    return passage.report->type() == passageType() ? Session::Exit : Session::Idle;
}

QString Engine::refusal(const InterruptedPassage &passage, Session::State at)
{
    const Backend::Transaction &report = *passage.report;
    const Backend::Transaction::Journal &journal = report.journal();
    if (QDateTime::currentDateTime() > resumeBy(report, m_lane->config()))
        return QStringLiteral("out of time");
    // A report held before the journal was kept: the boom may have opened from its Exit on.
    const Session::State step = stepOf(report);
    if (at == Session::Exit
        && (journal.openSent || journal.boomOpened || (!journal.known() && (step == Session::Stopped || step >= Session::Exit))))
        return QStringLiteral("its barrier may have opened");
    if (journal.vehicleLeft)
        return QStringLiteral("its vehicle left");
    if (at != Session::Exit)
        return QString();
    const manager::Barrier *barrier = m_lane->barrier();
    if (!barrier->active() || barrier->isOpen())
        return QStringLiteral("the barrier is not closed");
    // A free loop leaves a passage the lane watched throughout to go on: its vehicle, never seen
    // leaving, is still to come, as it is for a passage that reaches Exit uninterrupted.
    if (!passage.watched && !m_lane->loop()->isOccupied())
        return QStringLiteral("no vehicle on the loop");
    return QString();
}

bool Engine::finishInterrupted()
{
    bool resumed = false;
    const QList<InterruptedPassage> passages = std::exchange(m_interrupted, {});
    for (auto it = passages.crbegin(); it != passages.crend(); ++it) { // the latest first
        const Session::State at = resumeAt(*it);
        const QString refused = resumed || at == Session::Idle ? QStringLiteral("-") : refusal(*it, at);
        if (refused.isEmpty()) {
            resume(*it, at);
            resumed = true;
            continue;
        }
        if (refused != QLatin1String("-"))
            logger().warn("Interrupted passage not taken up (", refused, ") : ", it->report->toString());
        reportInterrupted(it->report);
    }
    return resumed;
}

void Engine::resume(const InterruptedPassage &passage, Session::State at)
{
    const Backend::Transaction::Ptr &report = passage.report;
    logger().info("Resuming interrupted passage in ", Session::stateToStr(at), " : ", report->toString());
    m_session->setUuid(report->uuid());
    m_session->setCardId(report->cardUid());
    m_session->setCardReturned(report->journal().cardReturn);
    m_session->setError(report->errorDetails()); // the report's details at its close
    m_held = report;
    m_resumedUuid = report->uuid();
    m_session->setState(at);
}

const InterruptedPassage *Engine::interruptedCard(const QString &uid) const
{
    for (const InterruptedPassage &passage : m_interrupted) {
        if (!uid.isEmpty() && passage.report->cardUid() == uid)
            return &passage;
    }
    return nullptr;
}

void Engine::finish(bool result, Backend::Transaction::Type type)
{
    if (closeSession(result))
        sendTransaction(type);
}

void Engine::finishExit(Backend::Transaction::Type type)
{
    if (!m_barrierOpened) {
        // The vehicle may still stand before the closed barrier; the card was issued, kept
        // or handed back all the same.
        logger().error("Barrier never opened");
        m_session->setError(QStringLiteral("Barrier never opened"));
    }
    finish(m_barrierOpened, type);
}

void Engine::nextCycle()
{
    ++m_cycle;
    m_barrierOpened = false;
    m_reopen = false;
    m_openWaiting.reset();
}

void Engine::connectSession()
{
    disconnect(m_sessionLink);
    m_sessionLink = connect(m_session, &Session::stateChanged, this, [this](Session::State prev, Session::State curr) {
        const quint64 run = m_runs.current();
        QMetaObject::invokeMethod(
            this,
            [this, run, prev, curr] {
                if (run != m_runs.current())
                    return;
                logStateChange(prev, curr);
                if (!m_runs.running())
                    return;
                holdPassage(curr);
                onStateChanged(prev, curr);
            },
            Qt::QueuedConnection);
    });
}

void Engine::disconnectSession()
{
    disconnect(m_sessionLink);
}

void Engine::logStateChange(Session::State prev, Session::State curr) const
{
    logger().info("State changed : (", int(prev), ")", Session::stateToStr(prev), " -> (", int(curr), ")",
                  Session::stateToStr(curr));
}

// A run: every continuation and timer of the run before is dropped from its start on.
void Engine::start()
{
    if (m_session->state() != Session::Stopped)
        stop();
    logger().info("Starting engine");
    m_runs.start();
    ++m_cycle;
    // The passages of this lane left open; those of the other lane type that may still go on
    // wait for their own engine.
    QList<InterruptedPassage> &left = m_lane->interruptedPassages();
    for (auto it = left.begin(); it != left.end();) {
        const Backend::Transaction::Journal &journal = it->report->journal();
        if (journal.lane.isEmpty() || journal.lane == m_lane->type() || journal.openSent || journal.boomOpened
            || journal.vehicleLeft) {
            m_interrupted.append(*it);
            it = left.erase(it);
        } else {
            ++it;
        }
    }
    connect(m_lane->loop(), &manager::Loop::vehiclePresent, this, &Engine::onVehiclePresent);
    connect(m_lane->loop(), &manager::Loop::vehicleLeft, this, &Engine::onVehicleLeft);
    connectDevices();
    manager::Barrier *barrier = m_lane->barrier();
    connect(barrier, &manager::Barrier::barrierClosed, this, &Engine::onBarrierClosed);
    connect(barrier, &manager::Barrier::barrierOpened, this, [this] {
        if (m_session->state() == Session::Exit)
            boomSeenOpen();
    });
    connect(barrier, &manager::Barrier::stateChanged, this, [this] {
        if (m_reopen && !m_lane->barrier()->active())
            m_barrierDropped = true;
    });
    connect(barrier, &manager::Barrier::statusRead, this, &Engine::onBarrierStatus);
    connectSession();
    m_session->setState(Session::Idle);
}

void Engine::stop()
{
    // What the stop leaves open is finished by the next run (of this engine or another).
    m_lane->interruptedPassages().append(std::exchange(m_interrupted, {}));
    // An open command still waiting its turn may go out yet.
    if (const std::shared_ptr<OpenCommand> command = std::exchange(m_openWaiting, {})) {
        command->presumed = m_held && !m_held->journal().openSent;
        note(&Backend::Transaction::Journal::openSent);
    }
    m_heldUnwritten = false;
    if (const Backend::Transaction::Ptr held = std::exchange(m_held, {}))
        handOver(held);
    m_runs.stop();
    ++m_cycle;
    m_resetTimer.stop();
    m_exitTimer.stop();
    m_session->setState(Session::Stopped);
    releaseDevices();
    disconnect(m_lane->loop(), nullptr, this, nullptr);
    disconnect(m_lane->button(), nullptr, this, nullptr);
    disconnect(m_lane->cardIssuer(), nullptr, this, nullptr);
    disconnect(m_lane->barrier(), nullptr, this, nullptr);
    disconnectSession();
}

void Engine::onVehiclePresent()
{
    logger().info("Vehicle present");
    if (m_session->state() == Session::Idle && pathBlocked()) {
        logger().warn("Card path blocked : the vehicle waits");
        return;
    }
    if (acceptedIn({Session::Idle}))
        m_session->setState(Session::DataCollect);
}

void Engine::onBarrierClosed()
{
    logger().info("Barrier closed");
    if (acceptedIn({Session::Exit}))
        m_session->setState(Session::PostExit);
}

bool Engine::acceptedIn(States states) const
{
    for (Session::State state : states) {
        if (m_session->state() == state)
            return true;
    }
    logger().warn("Ignoring in current state : ", Session::stateToStr(m_session->state()));
    return false;
}

bool Engine::accepts(quint64 cycle, const QList<Session::State> &states) const
{
    if (!m_runs.running() || cycle != m_cycle) {
        logger().warn("Ignoring result of a finished passage");
        return false;
    }
    if (states.size() == 0 || states.contains(m_session->state()))
        return true;
    logger().warn("Ignoring in current state : ", Session::stateToStr(m_session->state()));
    return false;
}

int Engine::exitTimeoutSec(const Config &config)
{
    const QVariant configured = config.get(Key::TerminalExitTimeoutSec);
    return qMax(1, configured.isValid() ? configured.toInt() : DefaultExitTimeoutSec);
}

void Engine::armExitWait()
{
    m_exitTimer.start(Utils::secondsToMsec(exitTimeoutSec(m_lane->config())));
}

void Engine::presentCard()
{
    const int timeout = m_lane->config().get(Key::TerminalCollectTimeoutSec).toInt();
    manager::CardIssuer *issuer = m_lane->cardIssuer();
    // A card already in the mouth (a passage taken up again) is not ejected again; one that the
    // dispenser no longer holds at all was taken just before.
    const manager::Dispenser *dispenser = m_lane->dispenser();
    const bool inMouth = dispenser->cardInMouth();
    if (m_session->uuid() == m_resumedUuid && !inMouth && !dispenser->cardInRfid() && dispenser->active()) {
        logger().info("Card collected meanwhile : ", Log::outside(m_session->cardId()));
        m_session->setState(Session::Exit);
        return;
    }
    if (!inMouth)
        logger().info("Ejecting card for collection (collectTimeout=", timeout, " sec)");
    (inMouth ? issuer->waitRemoved(timeout) : issuer->presentCard(timeout))
        .done(guarded({Session::WaitCollect}, [this](const manager::CardIssuer::Result &) {
            logger().info("Card collected successfully : ", Log::outside(m_session->cardId()));
            m_session->setState(Session::Exit);
        }))
        .fail(guarded({Session::WaitCollect}, [this](const manager::CardIssuer::Result &r) {
            logger().error(r.error);
            m_session->setError(r.error);
            m_session->setState(Session::Error);
        }));
}

void Engine::openBarrier()
{
    logger().info("Opening barrier");
    armExitWait();
    sendOpen();
}

// The command is written down just before its first byte goes out (the barrier tells at
// once, on this thread): a passage taken up again never sends a second. One that never goes
// out (refused while the controller is away, or failed while it waited its turn behind a
// read) is not: the passage may still open for its truck after a restart or a pause. A stop
// while the command waits its turn counts it as sent, until it fails unwritten.
void Engine::sendOpen()
{
    QPointer<Engine> self(this);
    Lane *lane = m_lane;
    const auto command = std::make_shared<OpenCommand>();
    command->report = m_held;
    m_openWaiting = command;
    const Deferred<> open = m_lane->barrier()->open(false, [self, command] {
        command->written = true;
        if (self && self->m_openWaiting == command) {
            self->m_openWaiting.reset();
            self->note(&Backend::Transaction::Journal::openSent);
        }
    });
    writeHeld(); // the step, when the command has not gone with it
    open.failZero([self, command, lane] {
            if (self && self->m_openWaiting == command)
                self->m_openWaiting.reset();
            else if (command->presumed && !command->written)
                openNeverSent(lane, command->report);
        })
        .doneZero([self] {
            if (self)
                self->logger().info("Barrier opened");
        })
        .doneZero(guarded({Session::Exit}, [this] { boomSeenOpen(); }))
        .failZero([self] {
            if (self)
                self->logger().error("Failed to send Barrier open command");
        })
        .failZero(guarded({Session::Exit}, [this] {
            // Sent again once the controller is connected again, unless its words show by
            // then that it took the command all the same.
            m_reopen = true;
            m_barrierDropped = !m_lane->barrier()->active();
        }));
}

void Engine::openNeverSent(Lane *lane, const Backend::Transaction::Ptr &report)
{
    for (const InterruptedPassage &passage : qAsConst(lane->interruptedPassages())) {
        if (passage.report == report) {
            report->journal().openSent = false;
            if (Backend::CardBO *cardBO = lane->cardBO())
                cardBO->holdTransaction(report);
            return;
        }
    }
}

// The controller's words, read while an open command of this Exit waits to be sent again.
void Engine::onBarrierStatus()
{
    if (!m_reopen || m_session->state() != Session::Exit)
        return;
    if (m_lane->barrier()->isOpen()) {
        m_reopen = false;
        boomSeenOpen();
        logger().info("Barrier seen open after a failed open command");
    } else if (m_barrierDropped) {
        m_reopen = false;
        logger().info("Opening barrier again");
        sendOpen();
    }
}

void Engine::logCollected() const
{
    const Session::Readings readings = m_session->readings();
    logger().info("--- DATA COLLECTED -----------------");
    logger().info("Card UID : ", m_session->cardId());
    logger().info("Cameras  : ", readings.size());
    for (auto it = readings.cbegin(); it != readings.cend(); ++it)
        logger().info("  ", it.key(), " : ", it.value() ? Log::outside(it.value()->toString()) : QStringLiteral("<null>"));
    logger().info("------------------------------------");
}

QString Engine::uidOf(const Tag::Ptr &card, const QString &none)
{
    return card ? card->uid() : none;
}

void Engine::addImage(QStringList &images, const QByteArray &image)
{
    const int zero = image.indexOf('\0');
    const QString text = QString::fromLatin1(zero < 0 ? image : image.left(zero));
    if (!text.isEmpty())
        images.append(text);
}

void Engine::exitWaitElapsed()
{
    if (!m_runs.running() || m_session->state() != Session::Exit)
        return;
    logger().warn("Barrier not closed after ", m_exitTimer.interval() / 1000, " sec. Closing passage");
    m_session->setState(Session::PostExit);
}
