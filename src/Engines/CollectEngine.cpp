#include "CollectEngine.h"

#include "Backend/CardBO.h"
#include "Backend/ESB.h"
#include "Cameras/CameraManager.h"
#include "Cameras/CameraRoles.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Managers/CardIssuer.h"
#include "Managers/Loop.h"

#include <QTimer>

#include <algorithm>

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

CollectEngine::CollectEngine(Lane *lane, QObject *parent)
    : Engine(lane, parent)
    , m_path(lane->cardIssuer(), lane->config(), engineLog,
             {[this] { return !m_session->card() && beforeCard(); },
              [this] { return m_session->state() == Session::Idle; },
              [this](const QString &uid) { return interruptedCard(uid); },
              [this](const QString &error) { return passageTransaction(Backend::Transaction::ErrorReport, error); },
              [this](const InterruptedPassage &passage) { return shouldReturnCard(passage.report->journal().cardReturn); }})
{
    connect(&m_path, &CardPath::readinessChanged, this, &CollectEngine::readinessChanged);
    connect(&m_path, &CardPath::cleared, this, &CollectEngine::serve);
    connect(&m_path, &CardPath::reportDue, this, &CollectEngine::sendReport);
    connect(&m_path, &CardPath::reportOpen, this, &CollectEngine::handOver);
}

const Log &CollectEngine::logger() const
{
    return engineLog;
}

void CollectEngine::connectDevices()
{
    connect(m_lane->cardIssuer(), &manager::CardIssuer::cardInserted, this, &CollectEngine::onCardInserted);
    m_path.start();
}

void CollectEngine::releaseDevices()
{
    m_path.stop();
}

bool CollectEngine::decided(Session::State state) const
{
    return state == Session::CardProcess || state == Session::WaitCollect || state == Session::Exit;
}

bool CollectEngine::beforeCard() const
{
    return std::find(std::begin(BeforeCard), std::end(BeforeCard), m_session->state()) != std::end(BeforeCard);
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
    if (m_path.blocked()) {
        engineLog.warn("Card path blocked : inserted card left to the clearing");
        return;
    }
    const auto card = inserted.dynamicCast<ZUKAv1Card>();
    if (!beforeCard() || m_session->card()) {
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
    m_path.disableAccept();
    m_session->setButtonPressed(true);
    m_session->setCard(card);
    m_session->setCardId(card->uid());
    if (m_session->state() == Session::Idle)
        m_session->setState(Session::DataCollect);
    else if (m_session->state() == Session::WaitUser)
        m_session->setState(Session::Permission);
}

// State actions.

void CollectEngine::enterIdle()
{
    nextCycle();
    resetSession();
    if (m_path.clearAtIdle(interruptedLeft()))
        serve();
}

void CollectEngine::serve()
{
    if (finishInterrupted())
        return;
    m_path.enableAccept();
    if (m_lane->loop()->isOccupied())
        m_session->setState(Session::DataCollect);
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

bool CollectEngine::shouldReturnCard(bool esb) const
{
    const QString mode = m_lane->config().get(Key::TerminalCardReturnMode).toString();
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
    const bool giveBack = shouldReturnCard(m_session->cardReturned());
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
    m_path.hold(holdReport(Backend::Transaction::ErrorReport), m_session->cardId());
    QTimer::singleShot(1000, this, guarded({Session::Error}, [this] {
        engineLog.warn("Returning card");
        m_path.handBack()
            .doneZero(guarded({Session::Error}, [this] {
                closeSession(false);
                m_path.sendHeld();
            }))
            .failZero(guarded({Session::Error}, [this] {
                // Cleared before the lane takes the next card.
                engineLog.error("Card left in the path");
                closeSession(false);
            }));
    }));
}
