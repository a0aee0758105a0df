#include "CollectEngine.h"

#include "Backend/CardBO.h"
#include "Backend/ESB.h"
#include "Cameras/CameraManager.h"
#include "Cameras/CameraRoles.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Utils.h"
#include "Managers/CardIssuer.h"
#include "Managers/Dispenser.h"
#include "Managers/Loop.h"
#include "Managers/RFID.h"

#include <QTimer>

#include <utility>

namespace {
ZUKA_LOG_CATEGORY(logCategory, "engines.collectengine")
const Log engineLog("[CollectEngine] ", logCategory);

// The states in which the passage's card is not yet being processed: an insert is
// taken (or an unreadable one ends the passage) only there.
const Session::State BeforeCard[] = {Session::Idle, Session::DataCollect, Session::WaitUser};
} // namespace

// The passage, one row per session state: what the engine does on entering it.
void CollectEngine::onStateChanged(Session::State, Session::State curr)
{
    static const Action<CollectEngine> passage[] = {
        {Session::Stopped, nullptr},                           // stop() disables acceptance
        {Session::Idle, &CollectEngine::enterIdle},            // reset, accept cards, take a waiting truck
        {Session::DataCollect, &CollectEngine::collectData},   // open, trigger cameras
        {Session::WaitUser, nullptr},                          // wait for the card
        {Session::Permission, &CollectEngine::requestPermission}, // send data, ask the service bus
        {Session::CardProcess, &CollectEngine::processCard},   // log the exit; keep or write the card
        {Session::WaitCollect, &CollectEngine::presentCard},   // hand the card back
        {Session::Exit, &CollectEngine::openBarrier},          // open, wait for it to close
        {Session::PostExit, &CollectEngine::passed},           // close, SCAN
        {Session::Error, &CollectEngine::failed},              // hand the card back, close, ERROR_REPORT
    };
    dispatch(passage, curr);
}

CollectEngine::CollectEngine(Lane *lane, QObject *parent) : Engine(lane, parent)
{
    m_acceptRetry.setSingleShot(true);
    m_acceptRetry.setInterval(AcceptRetryMs);
    connect(&m_acceptRetry, &QTimer::timeout, this, [this] {
        if (wantsCard())
            enableAccept();
    });
    m_clearRetry.setSingleShot(true);
    m_clearRetry.setInterval(ClearRetryMs);
    connect(&m_clearRetry, &QTimer::timeout, this, [this] {
        if (running() && m_blocked && m_session->state() == Session::Idle)
            clearCardPath(m_clearHandBack);
    });
    m_mouthWait.setSingleShot(true);
    connect(&m_mouthWait, &QTimer::timeout, this, [this] {
        // Nobody took the card left in the mouth, and the dispenser did not take it in.
        if (running() && m_session->state() == Session::Idle && m_lane->dispenser()->cardInMouth() && !cardAtReader())
            clearCardPath(false);
    });
}

const Log &CollectEngine::logger() const
{
    return engineLog;
}

void CollectEngine::connectDevices()
{
    connect(m_lane->cardIssuer(), &manager::CardIssuer::cardInserted, this, &CollectEngine::onCardInserted);
    // A dispenser service that comes back has forgotten the acceptance it had.
    connect(m_lane->dispenser(), &manager::Dispenser::activeChanged, this, [this] {
        if (m_lane->dispenser()->active() && wantsCard())
            enableAccept();
    });
    connect(m_lane->dispenser(), &manager::Dispenser::statusReceived, this, &CollectEngine::onDispenserStatus);
    connect(m_lane->dispenser(), &manager::Dispenser::connectionLost, this, [this] { m_checkOnReport = true; });
    // A card still in the path keeps the lane out of order from the start (the terminal
    // reads it once the engine has started).
    m_checkOnReport = m_lane->cardIssuer()->state() == manager::CardIssuer::Init;
    m_blocked = m_pending || cardAtReader();
}

void CollectEngine::releaseDevices()
{
    m_acceptRetry.stop();
    m_clearRetry.stop();
    m_mouthWait.stop();
    m_clearing = false;
    // Both tried again at the next start.
    setReadiness(m_acceptFailed, false);
    setReadiness(m_blocked, false);
    disconnect(m_lane->dispenser(), nullptr, this, nullptr);
    disableAccept();
    // A failed passage whose card was still being handed back: finished by the next run.
    if (const Backend::Transaction::Ptr report = std::exchange(m_pending, {})) {
        if (report->cardUid().isEmpty())
            report->setCardUid(m_clearUid);
        handOver(report);
    }
}

bool CollectEngine::decided(Session::State state) const
{
    return state == Session::CardProcess || state == Session::WaitCollect || state == Session::Exit;
}

QString CollectEngine::unready() const
{
    if (m_blocked)
        return QStringLiteral("Card path blocked");
    return m_acceptFailed ? QStringLiteral("Card acceptance off") : QString();
}

int CollectEngine::collectTimeout() const
{
    return m_lane->config().get(Key::TerminalCollectTimeoutSec).toInt();
}

bool CollectEngine::cardAtReader() const
{
    manager::CardIssuer *issuer = m_lane->cardIssuer();
    return issuer->dispenser()->cardInRfid() || issuer->rfid()->state() == manager::RFID::CardFound;
}

// Each report of the dispenser's sensors: after a reconnection it tells that the service
// is back, so that what waited for it goes now rather than after a lost request's time-out
// (acceptance not yet confirmed is asked again).
void CollectEngine::onDispenserStatus()
{
    const bool firstReport = std::exchange(m_checkOnReport, false);
    if ((m_acceptFailed || m_acceptPending) && wantsCard())
        enableAccept();
    if (m_session->state() == Session::Idle && !m_clearing && (m_blocked || (firstReport && cardAtReader())))
        clearCardPath(true);
}

// One of the flags unready() reads.
void CollectEngine::setReadiness(bool &flag, bool value)
{
    if (value == flag)
        return;
    flag = value;
    emit readinessChanged();
}

bool CollectEngine::wantsCard() const
{
    return running() && !m_blocked && !m_session->card()
           && std::find(std::begin(BeforeCard), std::end(BeforeCard), m_session->state()) != std::end(BeforeCard);
}

// Events, with the states that accept them.

void CollectEngine::onVehicleLeft()
{
    engineLog.info("Vehicle left");
    if (!acceptedIn({Session::DataCollect, Session::WaitUser}))
        return;
    if (m_session->card()) {
        // The card is inside: hand it back and record the abandoned passage.
        m_session->setError(QStringLiteral("Vehicle left"));
        m_session->setState(Session::Error);
    } else {
        m_session->setState(Session::Idle);
    }
}

void CollectEngine::onCardInserted(Card::Ptr inserted)
{
    engineLog.info("Card inserted");
    if (!m_session)
        return;
    if (m_blocked) {
        engineLog.warn("Card path blocked : inserted card left to the clearing");
        return;
    }
    const auto card = inserted.dynamicCast<ZUKAv1Card>();
    const bool early = std::find(std::begin(BeforeCard), std::end(BeforeCard), m_session->state())
                       != std::end(BeforeCard);
    if (!early || m_session->card()) {
        // The passage's card is already in: a later insert never replaces it.
        engineLog.warn("Ignoring in current state : ", Session::stateToStr(m_session->state()));
        return;
    }
    if (!card) {
        // A card that could not be read for want of an answer is not an invalid card.
        const QString unread = m_lane->cardIssuer()->unreadReason();
        m_session->setError(unread.isEmpty() ? QStringLiteral("Invalid card") : unread);
        m_session->setState(Session::Error);
        return;
    }
    disableAccept();
    m_session->setButtonPressed(true);
    m_session->setCard(card);
    m_session->setCardId(card->uid());
    if (m_session->state() == Session::Idle)
        m_session->setState(Session::DataCollect);
    else if (m_session->state() == Session::WaitUser)
        m_session->setState(Session::Permission);
}

// Card acceptance.

void CollectEngine::enableAccept()
{
    m_acceptRetry.stop();
    const quint64 call = ++m_acceptCall;
    m_acceptPending = true;
    QPointer<CollectEngine> self(this);
    m_lane->cardIssuer()
        ->enableAccept()
        .doneZero([self, call] {
            engineLog.info("Enabled card auto-accept");
            if (self && call == self->m_acceptCall) {
                self->m_acceptPending = false;
                self->setReadiness(self->m_acceptFailed, false);
            }
        })
        .failZero([self, call] {
            // A request sent again since decides (this one may have been lost with the
            // broker). One line for a failure that lasts; tried again while a card is
            // awaited, the lane out of order meanwhile.
            if (self && call != self->m_acceptCall)
                return;
            if (self)
                self->m_acceptPending = false;
            if (!self || !self->m_acceptFailed)
                engineLog.critical("Failed to enable card auto-accept");
            if (!self || !self->wantsCard())
                return;
            self->setReadiness(self->m_acceptFailed, true);
            self->m_acceptRetry.start();
        });
}

void CollectEngine::disableAccept()
{
    m_lane->cardIssuer()
        ->disableAccept()
        .doneZero([] { engineLog.info("Disabled card auto-accept"); })
        .failZero([] { engineLog.critical("Failed to disable card auto-accept"); });
}

// State actions.

void CollectEngine::enterIdle()
{
    nextCycle();
    resetSession();
    if (!m_pending) {
        m_clearUid.clear();
        m_clearKept = false;
    }
    // A card in the mouth while passages taken over at the run's start are to be finished is
    // theirs: offered again, kept when not taken.
    const bool inMouth = m_lane->dispenser()->cardInMouth();
    if (m_pending || cardAtReader() || (inMouth && interruptedLeft()))
        return clearCardPath(true);
    const int timeout = collectTimeout();
    if (inMouth && timeout > 0)
        m_mouthWait.start(Utils::secondsToMsec(timeout));
    serve();
}

void CollectEngine::serve()
{
    if (finishInterrupted())
        return;
    enableAccept();
    if (m_lane->loop()->isOccupied())
        m_session->setState(Session::DataCollect);
}

// The card path cleared while the session is Idle: the failed passage's report, none for the
// card of an interrupted passage (its own report names it), or one of its own for a card
// kept from the path; then the lane serves again.
void CollectEngine::clearCardPath(bool handBack)
{
    setReadiness(m_blocked, true);
    if (m_clearing)
        return;
    m_clearing = true;
    m_clearHandBack = handBack;
    m_clearRetry.stop();
    m_mouthWait.stop();
    m_uidReads = 0;
    engineLog.warn("Clearing card path");
    clearPath(handBack)
        .doneZero(guardedRun([this] {
            m_clearing = false;
            if (m_pending) {
                sendPending();
            } else if (m_clearKept && interruptedCard(m_clearUid)) {
                engineLog.info("Card of an interrupted passage, reported with it : ", Log::outside(m_clearUid));
            } else if (m_clearKept) {
                const Backend::Transaction::Ptr left =
                    passageTransaction(Backend::Transaction::ErrorReport, QStringLiteral("Card left in the reader"));
                const QString uuid = Backend::Transaction::createUid();
                left->setUuid(uuid);
                left->setZuruvDbId(uuid);
                left->setCardUid(m_clearUid);
                sendReport(left);
            }
            m_clearKept = false;
            m_clearUid.clear();
            setReadiness(m_blocked, false);
            if (m_session->state() == Session::Idle)
                serve();
        }))
        .failZero(guardedRun([this] {
            // Tried again when the dispenser reports (back after an outage), or a little later.
            m_clearing = false;
            m_clearRetry.start();
        }));
}

// Takes the card the lane holds out of its path, a step at a time as the dispenser's
// sensors show it: a card left in the mouth offered to the driver (handBack) or pulled
// in; the card at the reader read for its uid when that is not known, handed back
// (handBack) and, when not taken, kept in the storage box. Resolves once the path is
// clear; rejects, the card left where it is, when a device does not do its part.
Deferred<> CollectEngine::clearPath(bool handBack)
{
    using Result = manager::CardIssuer::Result;
    manager::CardIssuer *issuer = m_lane->cardIssuer();
    Deferred<> clear;
    auto cleared = guardedRun([clear](const Result &) { clear.resolve(); });
    auto stuck = guardedRun([clear](const Result &) { clear.rejectZero(); });
    auto onward = [this, clear](bool handBack) {
        return guardedRun([this, clear, handBack](const Result &) {
            clearPath(handBack).doneZero([clear] { clear.resolve(); }).failZero([clear] { clear.rejectZero(); });
        });
    };
    const int timeout = collectTimeout();
    if (!cardAtReader() && issuer->dispenser()->cardInMouth()) {
        if (handBack)
            issuer->waitRemoved(timeout).done(cleared).fail(onward(false));
        else
            issuer->retract().done(onward(false)).fail(stuck);
    } else if (cardAtReader() && m_clearUid.isEmpty() && m_uidReads < UidReads) {
        ++m_uidReads;
        issuer->readCardUid()
            .done(guardedRun([this, onward, handBack](const Result &r) {
                m_clearUid = uidOf(r.card, QString());
                onward(handBack)(r);
            }))
            .fail(guardedRun([this, onward, stuck, handBack](const Result &r) {
                // A reader that does not answer leaves the card for later; one that cannot
                // find it does not keep it in the lane.
                if (r.error.startsWith(QLatin1String("RFID enable failed")))
                    return stuck(r);
                m_uidReads = UidReads;
                onward(handBack)(r);
            }));
    } else if (cardAtReader() && handBack && !keptCard(m_clearUid)) {
        issuer->presentCard(timeout)
            .done(guardedRun([cleared](const Result &r) {
                engineLog.info("Card collected by user");
                cleared(r);
            }))
            .fail(guardedRun([onward](const Result &r) {
                engineLog.error("Card not collected by user.");
                onward(false)(r);
            }));
    } else if (cardAtReader()) {
        issuer->collectCard()
            .done(guardedRun([this, cleared](const Result &r) {
                engineLog.info("Card kept : ", Log::outside(m_clearUid));
                m_clearKept = true;
                cleared(r);
            }))
            .fail(stuck);
    } else {
        clear.resolve();
    }
    return clear;
}

bool CollectEngine::keptCard(const QString &uid) const
{
    const InterruptedPassage *passage = interruptedCard(uid);
    return passage && passage->report->type() != Backend::Transaction::ErrorReport;
}

void CollectEngine::sendPending()
{
    const Backend::Transaction::Ptr report = std::exchange(m_pending, {});
    if (report->cardUid().isEmpty())
        report->setCardUid(m_clearUid);
    sendReport(report);
}

void CollectEngine::collectData()
{
    openSession();
    m_lane->cameras()
        ->cameraProcess(m_session->uuid(), QStringList())
        .done(guarded({Session::DataCollect}, [this](const manager::CameraManager::Readings &readings) {
            m_session->setReadings(readings);
            logCollected();
            m_session->setState(m_session->buttonPressed() ? Session::Permission : Session::WaitUser);
        }));
}

Deferred<> CollectEngine::sendCollectedData()
{
    if (m_esb->state() == Backend::ESB::Stopped) {
        engineLog.warn("ESB is inactive. Skipping ESB data transmission.");
        return Deferred<>::resolved();
    }
    if (m_lane->cameras()->list().isEmpty()) {
        engineLog.warn("No cameras configured. Skipping ESB data transmission.");
        return Deferred<>::resolved();
    }
    engineLog.info("Seding collected data to ESB");
    Backend::ESB::TruckAlprBack data;
    data.timestamp = m_session->start();
    data.cardReaderId = m_session->deviceId();
    data.cardId = m_session->cardId();
    if (const VORReading::Ptr back = m_session->alprReading(CameraRoles::BackPlate.name)) {
        if (back->camera())
            data.backAlprId = back->camera()->zuruvId();
        copyPlate(*back, data, data.backPlateNumber, data.backImages);
    }
    for (const VORReading::Ptr &ccr : m_session->ccrReadings()) {
        if (!ccr)
            continue;
        data.containerISOCode = ccr->containerCode();
        const QString cameraId = ccr->camera() ? ccr->camera()->zuruvId() : QString();
        if (ccr->type() == CameraRoles::Container1.name)
            data.sideCcr1 = cameraId;
        else if (ccr->type() == CameraRoles::Container2.name)
            data.sideCcr2 = cameraId;
        if (!ccr->plateImage().isEmpty())
            data.containerImages.append(QString::fromLatin1(ccr->plateImage()));
        if (!ccr->image().isEmpty())
            data.containerImages.append(QString::fromLatin1(ccr->image()));
    }
    Deferred<> sent;
    m_esb->sendAlprBack(data)
        .done([sent](const QString &eventId) {
            engineLog.info("Data sent successfully : eventId=", Log::outside(eventId));
            sent.resolve();
        })
        .fail([sent](const QString &error) {
            engineLog.error("Data send failed : ", Log::outside(error));
            sent.resolve();
        });
    return sent;
}

void CollectEngine::requestPermission()
{
    if (m_esb->state() == Backend::ESB::Stopped) {
        engineLog.warn("ESB is inactive. Skipping ESB permission request.");
        m_session->setState(Session::CardProcess);
        return;
    }
    sendCollectedData().doneZero(guarded({Session::Permission}, [this] {
        engineLog.info("Requesting ESB permission for opening barrier");
        Backend::ESB::PermissionReq request;
        request.timestamp = m_session->start();
        request.cardReaderId = m_session->deviceId();
        request.cardId = m_session->cardId();
        if (const VORReading::Ptr plate = m_session->alprReading())
            request.plateNumber = plate->plate();
        const auto answered = guarded({Session::Permission}, [this](const Backend::ESB::PermissionResp &resp) {
            const QString yesNo = resp.cardReturn ? QStringLiteral("yes") : QStringLiteral("no");
            if (resp.code == QLatin1String("OPEN")) {
                engineLog.info("ESB permission granted : code=", Log::outside(resp.code), " desc=",
                               Log::outside(resp.descr), " cardReturn=", yesNo);
                m_session->setCardReturned(resp.cardReturn);
                m_session->setState(Session::CardProcess);
            } else {
                engineLog.info("ERROR: ESB Permission rejected : code=", Log::outside(resp.code), " desc=", Log::outside(resp.descr),
                               " cardReturn=", yesNo);
                m_session->setError(resp.descr);
                m_session->setState(Session::Error);
            }
        });
        m_esb->permissionRequest(request).done(answered).fail(answered);
    }));
}

bool CollectEngine::shouldReturnCard() const
{
    const QString mode = m_lane->config().get(Key::TerminalCardReturnMode).toString();
    const bool esb = m_session->cardReturned();
    engineLog.info("Checking if card should be returned : conf=", mode, " esb=", esb ? "true" : "false");
    if (mode.isEmpty() || mode == QLatin1String("auto") || mode == QLatin1String("esb"))
        return esb;
    if (mode == QLatin1String("true"))
        return true;
    if (mode == QLatin1String("false"))
        return false;
    engineLog.warn("Invalid configuration cardReturnMode : ", mode);
    return esb;
}

void CollectEngine::processCard()
{
    const Session::CardPtr card = m_session->card();
    if (!card) {
        m_session->setError(QStringLiteral("Invalid card"));
        m_session->setState(Session::Error);
        return;
    }
    engineLog.info("Processing card : ", Log::outside(card->uid()));
    const bool giveBack = shouldReturnCard();
    ZUKAv1Card::_Usage usage;
    usage.timestamp = m_session->start();
    usage.type = giveBack ? QStringLiteral("entry") : QStringLiteral("exit");
    usage.usageCounter = card->usageCounter();
    usage.deviceId = m_session->deviceId();
    usage.locationId = m_session->locationId();
    card->incrUsageCounter(1);
    card->addUsageLog(usage);

    const auto failed = guarded({Session::CardProcess}, [this](const manager::CardIssuer::Result &r) {
        engineLog.error(Log::outside(r.error));
        m_session->setError(r.error);
        m_session->setState(Session::Error);
    });
    if (giveBack) {
        engineLog.info("Writing card : ", Log::outside(card->uid()));
        m_lane->cardIssuer()
            ->returnCard(card)
            .done(guarded({Session::CardProcess}, [this](const manager::CardIssuer::Result &r) {
                engineLog.info("Card written successfully : ", Log::outside(uidOf(r.card)));
                m_session->setState(Session::WaitCollect);
            }))
            .fail(failed);
    } else {
        engineLog.info("Collecting card : ", Log::outside(card->uid()));
        m_lane->cardIssuer()
            ->collectCard()
            .done(guarded({Session::CardProcess}, [this](const manager::CardIssuer::Result &) {
                engineLog.info("Card collected successfully : ", Log::outside(m_session->cardId()));
                m_session->setState(Session::Exit);
            }))
            .fail(failed);
    }
}

void CollectEngine::passed()
{
    finishExit(Backend::Transaction::Scan);
}

// The card handed back, kept when not taken; the passage's report goes once the card is
// out of the path, with its uid.
void CollectEngine::failed()
{
    if (closed()) {
        closeSession(false); // refused, with its line
        return;
    }
    m_pending = holdReport(Backend::Transaction::ErrorReport);
    m_clearUid = m_session->cardId();
    m_clearKept = false;
    m_uidReads = 0;
    QTimer::singleShot(1000, this, guarded({Session::Error}, [this] {
        engineLog.warn("Returning card");
        clearPath(true)
            .doneZero(guarded({Session::Error}, [this] {
                closeSession(false);
                sendPending();
            }))
            .failZero(guarded({Session::Error}, [this] {
                // Cleared before the lane takes the next card.
                engineLog.error("Card left in the path");
                closeSession(false);
            }));
    }));
}
