#include "CardPath.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Utils.h"
#include "Managers/CardIssuer.h"
#include "Managers/Dispenser.h"
#include "Managers/RFID.h"

CardPath::CardPath(manager::CardIssuer *issuer, const Config &config, const Log &log, Passage passage,
                   QObject *parent)
    : QObject(parent), m_issuer(issuer), m_config(config), m_log(log), m_passage(std::move(passage))
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
        if (m_runs.running() && m_blocked && m_passage.idle())
            clear(m_clearHandBack);
    });
    m_mouthWait.setSingleShot(true);
    connect(&m_mouthWait, &QTimer::timeout, this, [this] {
        // Nobody took the card left in the mouth, and the dispenser did not take it in.
        if (m_runs.running() && m_passage.idle() && m_issuer->dispenser()->cardInMouth() && !cardAtReader())
            clear(false);
    });
}

void CardPath::start()
{
    m_runs.start();
    manager::Dispenser *dispenser = m_issuer->dispenser();
    // A dispenser service that comes back has forgotten the acceptance it had, and a card
    // taken in while it was away was never announced: its report (this one's sensors) tells.
    connect(dispenser, &manager::Dispenser::activeChanged, this, [this] {
        if (!m_issuer->dispenser()->active())
            return;
        m_checkOnReport = true;
        if (wantsCard())
            enableAccept();
    });
    connect(dispenser, &manager::Dispenser::statusReceived, this, &CardPath::onDispenserStatus);
    connect(dispenser, &manager::Dispenser::connectionLost, this, [this] { m_checkOnReport = true; });
    // A card still in the path keeps the lane out of order from the start (the terminal
    // reads it once the engine has started).
    m_checkOnReport = m_issuer->state() == manager::CardIssuer::Init;
    m_blocked = m_pending || cardAtReader();
}

void CardPath::stop()
{
    m_runs.stop();
    m_acceptRetry.stop();
    m_clearRetry.stop();
    m_mouthWait.stop();
    m_clearing = false;
    // Both tried again at the next start.
    setReadiness(m_acceptFailed, false);
    setReadiness(m_blocked, false);
    disconnect(m_issuer->dispenser(), nullptr, this, nullptr);
    disableAccept();
    // A failed passage whose card was still being handed back: finished by the next run.
    if (const Backend::Transaction::Ptr report = std::exchange(m_pending, {})) {
        if (report->cardUid().isEmpty())
            report->setCardUid(m_clearUid);
        emit reportOpen(report);
    }
}

QString CardPath::unready() const
{
    if (m_blocked)
        return QStringLiteral("Card path blocked");
    return m_acceptFailed ? QStringLiteral("Card acceptance off") : QString();
}

int CardPath::collectTimeout() const
{
    return m_config.get(Key::TerminalCollectTimeoutSec).toInt();
}

bool CardPath::cardAtReader() const
{
    return m_issuer->dispenser()->cardInRfid() || m_issuer->rfid()->state() == manager::RFID::CardFound;
}

// Each report of the dispenser's sensors: after a reconnection it tells that the service
// is back, so that what waited for it goes now rather than after a lost request's time-out
// (acceptance not yet confirmed is asked again).
void CardPath::onDispenserStatus()
{
    const bool firstReport = std::exchange(m_checkOnReport, false);
    if ((m_acceptFailed || m_acceptPending) && wantsCard())
        enableAccept();
    // A card found at the reader then was never announced: it goes back to its driver, to
    // be inserted again, also while a truck waits for it.
    const bool unannounced = firstReport && cardAtReader() && m_passage.awaitsCard();
    if (!m_clearing && (unannounced || (m_blocked && m_passage.idle())))
        clear(true);
}

void CardPath::setReadiness(bool &flag, bool value)
{
    if (value == flag)
        return;
    flag = value;
    emit readinessChanged();
}

bool CardPath::wantsCard() const
{
    return m_runs.running() && !m_blocked && m_passage.awaitsCard();
}

// Card acceptance.

void CardPath::enableAccept()
{
    m_acceptRetry.stop();
    const quint64 call = ++m_acceptCall;
    m_acceptPending = true;
    QPointer<CardPath> self(this);
    const Log log = m_log;
    m_issuer->enableAccept()
        .doneZero([self, call, log] {
            log.info("Enabled card auto-accept");
            if (self && call == self->m_acceptCall) {
                self->m_acceptPending = false;
                self->setReadiness(self->m_acceptFailed, false);
            }
        })
        .failZero([self, call, log] {
            // A request sent again since decides (this one may have been lost with the
            // broker). One line for a failure that lasts; tried again while a card is
            // awaited, the lane out of order meanwhile.
            if (self && call != self->m_acceptCall)
                return;
            if (self)
                self->m_acceptPending = false;
            if (!self || !self->m_acceptFailed)
                log.critical("Failed to enable card auto-accept");
            if (!self || !self->wantsCard())
                return;
            self->setReadiness(self->m_acceptFailed, true);
            self->m_acceptRetry.start();
        });
}

void CardPath::disableAccept()
{
    const Log log = m_log;
    m_issuer->disableAccept()
        .doneZero([log] { log.info("Disabled card auto-accept"); })
        .failZero([log] { log.critical("Failed to disable card auto-accept"); });
}

// Clearing.

bool CardPath::clearAtIdle(bool claimed)
{
    if (!m_pending) {
        m_clearUid.clear();
        m_clearKept = false;
    }
    // A card in the mouth while passages taken over at the run's start are to be finished is
    // theirs: offered again, kept when not taken.
    const bool inMouth = m_issuer->dispenser()->cardInMouth();
    if (m_pending || cardAtReader() || (inMouth && claimed)) {
        clear(true);
        return false;
    }
    const int timeout = collectTimeout();
    if (inMouth && timeout > 0)
        m_mouthWait.start(Utils::secondsToMsec(timeout));
    return true;
}

void CardPath::hold(const Backend::Transaction::Ptr &report, const QString &uid)
{
    m_pending = report;
    m_clearUid = uid;
    m_clearKept = false;
    m_uidReads = 0;
}

void CardPath::sendHeld()
{
    const Backend::Transaction::Ptr report = std::exchange(m_pending, {});
    if (report->cardUid().isEmpty())
        report->setCardUid(m_clearUid);
    emit reportDue(report);
}

// The card path cleared between passages: the failed passage's report, none for the card
// of an interrupted passage (its own report names it), or one of its own for a card kept
// from the path; then the lane serves again.
void CardPath::clear(bool handBack)
{
    setReadiness(m_blocked, true);
    if (m_clearing)
        return;
    m_clearing = true;
    m_clearHandBack = handBack;
    m_clearRetry.stop();
    m_mouthWait.stop();
    m_uidReads = 0;
    m_log.warn("Clearing card path");
    clearPath(handBack)
        .doneZero(inRun([this] {
            m_clearing = false;
            if (m_pending) {
                sendHeld();
            } else if (m_clearKept && m_passage.interrupted(m_clearUid)) {
                m_log.info("Card of an interrupted passage, reported with it : ", Log::outside(m_clearUid));
            } else if (m_clearKept) {
                const Backend::Transaction::Ptr left = m_passage.errorReport(QStringLiteral("Card left in the reader"));
                const QString uuid = Backend::Transaction::createUid();
                left->setUuid(uuid);
                left->setZuruvDbId(uuid);
                left->setCardUid(m_clearUid);
                emit reportDue(left);
            }
            m_clearKept = false;
            m_clearUid.clear();
            setReadiness(m_blocked, false);
            if (m_passage.idle())
                emit cleared();
            else if (wantsCard())
                enableAccept();
        }))
        .failZero(inRun([this] {
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
Deferred<> CardPath::clearPath(bool handBack)
{
    using Result = manager::CardIssuer::Result;
    manager::CardIssuer *issuer = m_issuer;
    Deferred<> clear;
    auto cleared = inRun([clear](const Result &) { clear.resolve(); });
    auto stuck = inRun([clear](const Result &) { clear.rejectZero(); });
    auto onward = [this, clear](bool handBack) {
        return inRun([this, clear, handBack](const Result &) {
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
            .done(inRun([this, onward, handBack](const Result &r) {
                m_clearUid = r.card ? r.card->uid() : QString();
                onward(handBack)(r);
            }))
            .fail(inRun([this, onward, stuck, handBack](const Result &r) {
                // A reader that does not answer leaves the card for later; one that cannot
                // find it does not keep it in the lane.
                if (r.error.startsWith(QLatin1String("RFID enable failed")))
                    return stuck(r);
                m_uidReads = UidReads;
                onward(handBack)(r);
            }));
    } else if (cardAtReader() && handBack && !keptCard(m_clearUid)) {
        issuer->presentCard(timeout)
            .done(inRun([this, cleared](const Result &r) {
                m_log.info("Card collected by user");
                cleared(r);
            }))
            .fail(inRun([this, onward](const Result &r) {
                m_log.error("Card not collected by user.");
                onward(false)(r);
            }));
    } else if (cardAtReader()) {
        issuer->collectCard()
            .done(inRun([this, cleared](const Result &r) {
                m_log.info("Card kept : ", Log::outside(m_clearUid));
                m_clearKept = true;
                cleared(r);
            }))
            .fail(stuck);
    } else {
        clear.resolve();
    }
    return clear;
}

bool CardPath::keptCard(const QString &uid) const
{
    const InterruptedPassage *passage = m_passage.interrupted(uid);
    return passage && passage->report->type() != Backend::Transaction::ErrorReport && !m_passage.returnsCard(*passage);
}
