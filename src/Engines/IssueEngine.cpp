#include "IssueEngine.h"

#include "Backend/ESB.h"
#include "Cameras/CameraManager.h"
#include "Cameras/CameraRoles.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Secrets.h"
#include "Managers/Button.h"
#include "Managers/CardIssuer.h"
#include "Managers/Dispenser.h"
#include "Managers/Loop.h"

#include <QTimer>

namespace {
ZUKA_LOG_CATEGORY(logCategory, "engines.issueengine")
const Log engineLog("[IssueEngine] ", logCategory);
} // namespace

// The passage, one row per session state: what the engine does on entering it.
void IssueEngine::onStateChanged(Session::State, Session::State curr)
{
    static const Action<IssueEngine> passage[] = {
        {Session::Stopped, nullptr},
        {Session::Idle, &IssueEngine::enterIdle},         // reset, prepare a card, take a waiting truck
        {Session::DataCollect, &IssueEngine::collectData}, // open, trigger cameras, send the front plate
        {Session::WaitUser, nullptr},                      // wait for the button
        {Session::Permission, &IssueEngine::requestEntry}, // nobody to ask: on to the card
        {Session::CardProcess, &IssueEngine::issueCard},   // write and dispense
        {Session::WaitCollect, &IssueEngine::presentCard}, // wait for the card to be taken
        {Session::Exit, &IssueEngine::openBarrier},        // open, wait for it to close
        {Session::PostExit, &IssueEngine::passed},         // close, ISSUANCE
        {Session::Error, &IssueEngine::failed},            // close, ERROR_REPORT
    };
    dispatch(passage, curr);
}

IssueEngine::IssueEngine(Lane *lane, QObject *parent)
    : Engine(lane, parent), m_localServer(lane->config())
{
}

const Log &IssueEngine::logger() const
{
    return engineLog;
}

void IssueEngine::connectDevices()
{
    connect(m_lane->button(), &manager::Button::pressed, this, &IssueEngine::onButtonPressed);
    connect(m_lane->cardIssuer(), &manager::CardIssuer::cardDisposed, this, &IssueEngine::onCardDisposed);
    connect(m_lane->cardIssuer(), &manager::CardIssuer::cardRemoved, this, &IssueEngine::onCardCollected);
    // Queued: the preparation starts after the issuer has finished its own reaction.
    connect(m_lane->cardIssuer(), &manager::CardIssuer::stateChanged, this, &IssueEngine::onIssuerStateChanged,
            Qt::QueuedConnection);
}

void IssueEngine::releaseDevices()
{
    // The passage ends here: a card it named and did not issue is not issued again. The reports
    // held for such cards are finished by the next run, the cards stay known to this one.
    if (std::exchange(m_named, false))
        spend(m_session->cardId(), {});
    for (auto it = m_spent.begin(); it != m_spent.end(); ++it) {
        if (const Backend::Transaction::Ptr report = std::exchange(it.value(), {}))
            handOver(report);
    }
    // A preparation under way ends with the run: its retries stop and whoever waits
    // for it is released.
    m_preparing = false;
    m_awaitingIssuer = false;
    if (m_prepared.isPending())
        m_prepared.resolve();
}

// Events, with the states that accept them.

void IssueEngine::onVehicleLeft()
{
    engineLog.info("Vehicle left");
    if (!acceptedIn({Session::DataCollect, Session::WaitUser}))
        return;
    if (std::exchange(m_named, false))
        spend(m_session->cardId(), {});
    m_session->setState(Session::Idle);
}

void IssueEngine::onButtonPressed()
{
    engineLog.info("Button pressed");
    m_session->setButtonPressed(true);
    if (m_session->state() == Session::Idle)
        m_session->setState(Session::DataCollect);
    else if (acceptedIn({Session::WaitUser}))
        m_session->setState(Session::Permission);
}

// A preparation given up while the issuer could not prepare is made once it can again, for
// the truck waiting at an idle lane.
void IssueEngine::onIssuerStateChanged()
{
    if (!m_awaitingIssuer || !running() || !m_lane->cardIssuer()->canPrepare()
        || m_session->state() != Session::Idle)
        return;
    prepareCard();
}

void IssueEngine::onCardCollected(Tag::Ptr card)
{
    engineLog.info("Card collected : ", card ? Log::outside(card->uid()) : QString());
}

void IssueEngine::onCardDisposed(Tag::Ptr card)
{
    engineLog.info("Card disposed : uid=", Log::outside(uidOf(card, "<none>")));
    if (card)
        releaseSpent(card->uid());
}

// State actions.

void IssueEngine::enterIdle()
{
    nextCycle();
    m_named = false;
    resetSession();
    if (finishInterrupted())
        return;
    prepareCard();
    if (m_lane->loop()->isOccupied())
        m_session->setState(Session::DataCollect);
}

// A passage interrupted while its card was presented goes on while the card waits in the
// mouth; a card taken meanwhile (the engine away, or the program down or starting: the
// dispenser reports it neither in the mouth nor at the reader) decided it.
Session::State IssueEngine::resumeAt(const InterruptedPassage &passage)
{
    if (stepOf(*passage.report) != Session::WaitCollect)
        return Engine::resumeAt(passage);
    const manager::Dispenser *dispenser = m_lane->dispenser();
    if (dispenser->cardInMouth())
        return Session::WaitCollect;
    if (dispenser->cardInRfid() || !dispenser->active()) // taken back in, or not known
        return Session::Idle;
    passage.report->setType(passageType());
    return Session::Exit;
}

// The card of a passage that ended without it being taken is held to that passage until it is
// in the box, or seen to be out of the lane.
void IssueEngine::reportInterrupted(const Backend::Transaction::Ptr &report)
{
    if (report->type() == Backend::Transaction::ErrorReport && !report->cardUid().isEmpty())
        spend(report->cardUid(), report);
    else
        sendReport(report);
}

void IssueEngine::spend(const QString &uid, const Backend::Transaction::Ptr &report)
{
    if (uid.isEmpty()) {
        if (report)
            sendReport(report);
        return;
    }
    engineLog.warn("Card not to be issued again : ", Log::outside(uid));
    if (report || !m_spent.contains(uid))
        m_spent.insert(uid, report);
}

void IssueEngine::releaseSpent(const QString &uid)
{
    if (const Backend::Transaction::Ptr report = m_spent.take(uid))
        sendReport(report);
}

void IssueEngine::prepareCard()
{
    engineLog.info("Preparing card");
    if (m_preparing) {
        engineLog.warn("Card preparation already in progress. Skipping");
        return;
    }
    m_preparing = true;
    m_awaitingIssuer = false;
    m_prepared = Deferred<>();
    const Deferred<> prepared = m_prepared;
    const int id = ++m_preparation;
    QPointer<IssueEngine> self(this);
    prepared.doneZero([self, id] {
        if (self && self->m_preparation == id)
            self->m_preparing = false;
    });
    prepareCardAttempt(prepared);
}

void IssueEngine::prepareCardAttempt(Deferred<> result)
{
    if (!result.isPending() || !running())
        return;
    manager::CardIssuer *issuer = m_lane->cardIssuer();
    if (!issuer) {
        engineLog.error("Card issuer is null");
        result.resolve();
        return;
    }
    // In Error, or while the reader updates: nothing is moved; the issue prepares a card
    // itself, or the next preparation is made once the issuer can again.
    if (!issuer->canPrepare()) {
        engineLog.error(issuer->reason());
        m_awaitingIssuer = true;
        result.resolve();
        return;
    }
    // The card is made ready for the next truck: a passage that ends meanwhile (its truck
    // gone before the card was ready) leaves the preparation to the next one.
    issuer->prepareCard()
        .done(guardedRun([this, result](const manager::CardIssuer::Result &r) {
            // The next card is made ready once the dispenser has reported this one gone.
            if (spent(r.card)) {
                engineLog.warn("Disposing card of an earlier passage : ", Log::outside(r.card->uid()));
                const auto next = guardedRun([this, result] { scheduleNextAttempt(result); });
                m_lane->cardIssuer()->dispose(false).doneZero(next).failZero(next);
                return;
            }
            // Another card at the reader: the cards held back before are out of the lane.
            if (r.card) {
                for (const QString &uid : m_spent.keys())
                    releaseSpent(uid);
            }
            engineLog.info("Card prepared : ", Log::outside(uidOf(r.card, "")));
            m_session->setCardId(r.card ? r.card->uid() : QString());
            result.resolve();
        }))
        .fail(guardedRun([this, result](const manager::CardIssuer::Result &r) {
            engineLog.error("Failed to prepare card : ", Log::outside(r.error));
            scheduleNextAttempt(result);
        }));
}

void IssueEngine::scheduleNextAttempt(Deferred<> result)
{
    QTimer::singleShot(1000, this, guardedRun([this, result] { prepareCardAttempt(result); }));
}

void IssueEngine::collectData()
{
    openSession();
    Deferred<> cameras;
    m_lane->cameras()
        ->cameraProcess(m_session->uuid(), QStringList())
        .done(guarded({Session::DataCollect}, [this, cameras](const manager::CameraManager::Readings &readings) {
            m_session->setReadings(readings);
            cameras.resolve();
        }));
    Deferred<>::when(m_prepared, cameras).doneZero(guarded({Session::DataCollect}, [this] {
        logCollected();
        sendCollectedData();
        m_session->setState(m_session->buttonPressed() ? Session::Permission : Session::WaitUser);
    }));
}

void IssueEngine::sendCollectedData()
{
    const bool weighed = sendDataToLocalServer();
    const bool bus = sendDataToEsb();
    m_named = !m_session->cardId().isEmpty() && (weighed || bus);
}

bool IssueEngine::sendDataToLocalServer()
{
    const Config &config = m_lane->config();
    const QUrl url(config.get(Key::LocalUrl).toString());
    const QString scaleId = config.get(Key::LocalScaleId).toString();
    const int timeout = config.get(Key::LocalResponseTimeoutMsec).toInt();
    engineLog.info("Seding collected data to local server (scaleId", scaleId, ", timeout=", timeout, " msec) : ",
                   Secrets::maskUrls(url.toString()));
    if (!url.isValid() || url.isEmpty()) {
        engineLog.warn("Local server url is invalid. Will not send collected data");
        return false;
    }
    if (scaleId.isEmpty()) {
        engineLog.warn("Local server scaleId is empty. Will not send collected data");
        return false;
    }
    Backend::LocalServer::Request request;
    request.cardId = m_session->cardId();
    if (const VORReading::Ptr plate = m_session->alprReading())
        request.licensePlate = plate->plate();
    request.scaleId = scaleId;
    m_localServer.sendData(request)
        .done([](const Backend::LocalServer::Response &resp) {
            engineLog.info("Data sent to local server successfully : id=", Log::outside(resp.id));
        })
        .failZero([] { engineLog.error("Request to local server failed"); });
    return true;
}

bool IssueEngine::sendDataToEsb()
{
    if (m_esb->state() == Backend::ESB::Stopped) {
        engineLog.warn("ESB is inactive. Skipping ESB data transmission.");
        return false;
    }
    engineLog.info("Seding collected data to ESB");
    Backend::ESB::TruckAlprFront data;
    data.timestamp = m_session->start();
    data.cardReaderId = m_session->deviceId();
    data.cardId = m_session->cardId();
    if (const VORReading::Ptr reading = m_session->alprReading(CameraRoles::FrontPlate.name)) {
        if (VORCamera *camera = m_lane->cameras()->find(CameraRoles::FrontPlate.name))
            data.alprId = camera->zuruvId();
        copyPlate(*reading, data, data.frontPlateNumber, data.frontImages);
    }
    m_esb->sendAlprFront(data)
        .done([](const QString &eventId) { engineLog.info("Data sent successfully : eventId=", Log::outside(eventId)); })
        .fail([](const QString &error) { engineLog.error("Data send failed : ", Log::outside(error)); });
    return true;
}

void IssueEngine::requestEntry()
{
    m_session->setState(Session::CardProcess);
}

QSharedPointer<ZUKAv1Card> IssueEngine::createCard() const
{
    auto card = QSharedPointer<ZUKAv1Card>::create();
    bool ok = false;
    const int customsId = m_lane->customsId().toInt(&ok, 10);
    card->setCustomsId(ok ? customsId : 0);
    card->setStatus(QStringLiteral("active"));
    card->addUsageLog(QStringLiteral("entry"), m_lane->serialNum(), m_lane->locationId());
    card->incrUsageCounter(1);
    return card;
}

void IssueEngine::issueCard()
{
    engineLog.info("Issuing card");
    // While a card named in an earlier passage may still be at the reader, the card is made
    // ready here rather than by the issue: that one goes into the box, not to this driver.
    const Tag::Ptr current = m_lane->cardIssuer()->currCard();
    if (!m_spent.isEmpty() && (!current || spent(current))) {
        prepareCard();
        m_prepared.doneZero(guarded({Session::CardProcess}, [this] { issuePrepared(); }));
        return;
    }
    issuePrepared();
}

void IssueEngine::issuePrepared()
{
    const QSharedPointer<ZUKAv1Card> card = createCard();
    manager::CardIssuer *issuer = m_lane->cardIssuer();
    const auto failed = guarded({Session::CardProcess}, [this](const manager::CardIssuer::Result &r) {
        engineLog.error(Log::outside(r.error));
        m_session->setError(r.error);
        m_session->setState(Session::Error);
    });
    // Still there: the issuer could not make another ready, and says why.
    if (spent(issuer->currCard()))
        return failed(manager::CardIssuer::Result{Tag::Ptr(), issuer->reason()});
    issuer->issueCard(card)
        .done(guarded({Session::CardProcess}, [this, card](const manager::CardIssuer::Result &r) {
            m_named = false; // the card is this passage's
            m_session->setCard(card);
            m_session->setCardId(uidOf(r.card));
            engineLog.info("Card issued successfully : ", Log::outside(m_session->cardId()));
            m_session->setState(Session::WaitCollect);
        }))
        .fail(failed);
}

void IssueEngine::passed()
{
    finishExit(Backend::Transaction::Issuance);
}

// A card the passage named and that is still at the reader (or the mouth) is its: the report
// names it once it is in the box.
void IssueEngine::failed()
{
    if (!closeSession(false))
        return;
    const QString uid = m_session->cardId();
    const Tag::Ptr current = m_lane->cardIssuer()->currCard();
    if (!uid.isEmpty() && current && current->uid() == uid)
        spend(uid, holdReport(Backend::Transaction::ErrorReport));
    else
        sendTransaction(Backend::Transaction::ErrorReport);
}
