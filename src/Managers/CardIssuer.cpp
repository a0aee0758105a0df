#include "CardIssuer.h"

#include <QMap>
#include <functional>
#include <memory>
#include <utility>

#include "Common/Log/Log.h"
#include "Common/Utils.h"

namespace manager {

namespace {

// How long the reader gets to report the card at its position.
constexpr int CardSearchMs = 1000;
// How long a dispenser sensor gets to confirm a card movement.
constexpr int SensorMs = 1000;
// The dispenser's answer to an issue command that still leaves a card at the reader.
constexpr int IssueCodeCardAtReader = 14;

ZUKA_LOG_CATEGORY(logCategory, "managers.cardissuer")
const Log log("[CardIssuer] ", logCategory);
const char *const MouthTimeout = "Timeout waiting for mouth sensor";
const char *const ReaderUpdating = "RFID updating";

QString uidText(const Tag::Ptr &tag)
{
    return tag ? Log::outside(tag->uid()) : QStringLiteral("<none>");
}

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// A final switch-off of the reader failed after the operation's work was done:
// the operation still succeeds, the failure only shows in the log.
void logDisableFailed(const QString &error)
{
    log.warn(QStringLiteral("RFID disable failed : ") + Log::outside(error));
}

using Result = CardIssuer::Result;

// Whether an operation failed for want of an answer: its text ends with a failure of the
// call itself (the service unreachable), not with what the service said.
bool unanswered(const QString &error)
{
    static const QStringList noAnswer{QStringLiteral("Timeout"), QStringLiteral("Not connected"),
                                      QStringLiteral("Subscription failed"), QStringLiteral("Invalid response")};
    const int at = error.lastIndexOf(QLatin1String(" : "));
    return noAnswer.contains(at < 0 ? error : error.mid(at + 3));
}

// Settles `to` with the outcome and values of `from`, unchanged.
void passOn(Deferred<Result> from, Deferred<Result> to)
{
    from.done([to](Result r) mutable { to.resolve(r); });
    from.fail([to](Result r) mutable { to.reject(r); });
}

// Runs `then` once `step` has finished, successfully or not.
void whenFinished(Deferred<Result> step, std::function<void()> then)
{
    step.done([then](Result) { then(); });
    step.fail([then](Result) { then(); });
}

}

CardIssuer::CardIssuer(RFID *rfid, Dispenser *dispenser, QObject *parent, int acceptTestTimeoutSec)
    : QObject(parent)
    , m_rfid(rfid)
    , m_dispenser(dispenser)
    , m_acceptTestTimeoutSec(acceptTestTimeoutSec)
{
    connectSignals();
}

QString CardIssuer::stateToStr(State state)
{
    static const QMap<int, QString> names = {
        {Init, QStringLiteral("Init")},
        {Busy, QStringLiteral("Busy")},
        {Ready, QStringLiteral("Ready")},
        {Error, QStringLiteral("Error")},
    };
    return names.value(int(state), QStringLiteral("Unknown"));
}

void CardIssuer::connectSignals()
{
    connect(m_rfid, &RFID::stateChanged, this, &CardIssuer::checkState);
    connect(m_rfid, &RFID::cardFound, this, &CardIssuer::onCardFound);
    connect(m_dispenser, &Dispenser::activeChanged, this, &CardIssuer::checkState);
    connect(m_dispenser, &Dispenser::isJammedChanged, this, &CardIssuer::checkState);
    connect(m_dispenser, &Dispenser::cartridgeChanged, this, &CardIssuer::checkState);
    connect(m_dispenser, &Dispenser::isDoorOpenChanged, this, &CardIssuer::checkState);
    connect(m_dispenser, &Dispenser::cardInMouthChanged, this, &CardIssuer::checkState);
    connect(m_dispenser, &Dispenser::cardInRfidChanged, this, &CardIssuer::checkState);
    connect(m_dispenser, &Dispenser::cardRemoved, this, &CardIssuer::onCardRemoved);
    connect(m_dispenser, &Dispenser::cardDisposed, this, &CardIssuer::onCardDisposed);
    connect(m_dispenser, &Dispenser::cardInserted, this, &CardIssuer::onCardInserted);
}

// ---------------------------------------------------------------------------
// State

void CardIssuer::setState(State state, const QString &reason)
{
    if (state == m_state && reason == m_reason)
        return;
    const QString reasonText = reason.isEmpty() ? QString() : QStringLiteral("(reason=") + reason + QStringLiteral(")");
    log.info(QStringLiteral("State changed : (%1) %2 %3").arg(QString::number(int(state)), stateToStr(state), reasonText));
    m_state = state;
    m_reason = reason;
    emit stateChanged();
}

void CardIssuer::checkState()
{
    const RFID::State reader = m_rfid->state();
    const bool active = m_dispenser->active();
    const bool inRfid = m_dispenser->cardInRfid();
    const bool inMouth = m_dispenser->cardInMouth();
    const QString cartridge = m_dispenser->cartridge();

    log.debug(QStringLiteral("checkState() :") + QStringLiteral(" Dispenser(") + boolText(active) + QStringLiteral(")")
             + QStringLiteral(" RFID(") + RFID::stateToStr(reader) + QStringLiteral(")") + QStringLiteral(" cardInRfid(")
             + boolText(inRfid) + QStringLiteral(")") + QStringLiteral(" cardInMouth(") + boolText(inMouth)
             + QStringLiteral(")") + QStringLiteral(" cartridge(") + cartridge + QStringLiteral(")"));

    if (reader == RFID::Error) {
        setState(Error, QStringLiteral("RFID error"));
    } else if (reader == RFID::Updating) {
        setState(Init, QLatin1String(ReaderUpdating));
    } else if (m_dispenser->isDoorOpen()) {
        setState(Error, QStringLiteral("Cartridge door open"));
        resetFailCount();
    } else if (!active) {
        setState(Error, QStringLiteral("Dispenser error"));
        resetFailCount();
    } else if (m_dispenser->isJammed()) {
        setState(Error, QStringLiteral("Dispenser jammed"));
    } else if (cartridge == QLatin1String("empty") && !inRfid) {
        setState(Error, QStringLiteral("No more cards"));
    } else if (m_failCount > 3) {
        setState(Error, QStringLiteral("Too many failures"));
    } else if (reader == RFID::CardFound || inRfid) {
        setState(Busy, QStringLiteral("Card on RFID"));
    } else if (inMouth) {
        setState(Busy, QStringLiteral("Card in Mouth"));
    } else {
        setState(Ready, QString());
    }

    if (reader == RFID::CardFound && !m_currCard)
        setCurrCard(m_rfid->activeCard());
}

bool CardIssuer::updating() const
{
    return m_state == Init && m_reason == QLatin1String(ReaderUpdating);
}

bool CardIssuer::canPrepare() const
{
    return m_state != Error && !updating();
}

void CardIssuer::incrFailCount()
{
    if (m_failCount >= 4)
        return;
    ++m_failCount;
    log.info(QStringLiteral("Incremented fail counter : ") + QString::number(m_failCount));
    checkState();
}

void CardIssuer::resetFailCount()
{
    if (m_failCount == 0)
        return;
    m_failCount = 0;
    log.info(QStringLiteral("Reset fail counter : ") + QString::number(m_failCount));
    checkState();
}

void CardIssuer::setCurrCard(Tag::Ptr card)
{
    if (card.data() != m_currCard.data())
        m_currCard = card;
}

void CardIssuer::resolve(Deferred<Result> &d, Tag::Ptr card)
{
    d.resolve(Result{card, QString()});
}

void CardIssuer::reject(Deferred<Result> &d, const QString &error)
{
    log.error(Log::outside(error));
    d.reject(Result{Tag::Ptr(), error});
}

// ---------------------------------------------------------------------------
// Device events

void CardIssuer::onCardFound(Tag::Ptr tag)
{
    setCurrCard(tag);
}

void CardIssuer::onCardRemoved()
{
    emit cardRemoved(m_currCard);
    setCurrCard(Tag::Ptr());
}

void CardIssuer::onCardDisposed()
{
    ++m_disposedEvents;
    if (std::exchange(m_disposedCounted, false)) {
        log.warn(QStringLiteral("Card disposed event of a card already counted"));
        return;
    }
    emit cardDisposed(m_currCard);
    setCurrCard(Tag::Ptr());
}

// A card the dispenser's sensors show in the box although its event was not heard.
void CardIssuer::countDisposed(const Tag::Ptr &card)
{
    m_disposedCounted = true;
    emit cardDisposed(card);
    if (m_currCard == card)
        setCurrCard(Tag::Ptr());
}

Deferred<Dispenser::Result> CardIssuer::sendDispose()
{
    m_disposedCounted = false;
    return m_dispenser->dispose();
}

void CardIssuer::onCardInserted()
{
    log.info(QStringLiteral("Card inserted"));
    Deferred<Result> read = readCard();
    read.done([this](Result r) {
        m_unreadReason.clear();
        const Card::Ptr card = Card::cast(r.card);
        if (card) {
            log.info(QStringLiteral("Card read successfully : uid=%1 name=%2")
                         .arg(Log::outside(card->uid()), Log::outside(card->name())));
            setCurrCard(r.card);
            emit cardInserted(card);
        } else {
            log.error(QStringLiteral("Invalid card : uid=%1").arg(QStringLiteral("<none>")));
            emit cardInserted(Card::Ptr());
        }
    });
    read.fail([this](Result r) {
        log.error(QStringLiteral("Read card failed : ") + Log::outside(r.error));
        m_unreadReason = unanswered(r.error) ? r.error : QString();
        emit cardInserted(Card::Ptr());
    });
}

// ---------------------------------------------------------------------------
// Building blocks

Deferred<Result> CardIssuer::moveCardOnRfid()
{
    Deferred<Result> d;
    log.info(QStringLiteral("Moving card on RFID"));

    if (m_dispenser->cardInRfid()) {
        log.warn(QStringLiteral("Card already present. Skipping."));
        resolve(d, Tag::Ptr());
        return d;
    }

    if (m_dispenser->cardInMouth()) {
        log.warn(QStringLiteral("Card in mouth. Retracting."));
        m_dispenser->accept()
            .done([this, d](Dispenser::Result) mutable { resolve(d, Tag::Ptr()); })
            .fail([this, d](Dispenser::Result r) mutable { reject(d, QStringLiteral("Accept failed : ") + r.description); });
        return d;
    }

    m_dispenser->issue()
        .done([this, d](Dispenser::Result) mutable { resolve(d, Tag::Ptr()); })
        .fail([this, d](Dispenser::Result r) mutable {
            if (r.code == IssueCodeCardAtReader)
                resolve(d, Tag::Ptr());
            else
                reject(d, QStringLiteral("Issue failed : ") + r.description);
        });
    return d;
}

// First steps of every operation on the card at the reader: switch the reader on and
// wait for the card. Each failure rejects d with its own text.
Deferred<RFID::Result> CardIssuer::enableAndFindCard(Deferred<Result> d, const QString &searchFailText)
{
    Deferred<RFID::Result> enabled = m_rfid->enable(false);
    enabled.fail([this, d](RFID::Result r) mutable { reject(d, QStringLiteral("RFID enable failed : ") + r.error); });

    Deferred<RFID::Result> found = enabled.thenAlias([this](RFID::Result) {
        log.info(QStringLiteral("RFID enabled."));
        return m_rfid->waitCardFound(CardSearchMs);
    });
    found.fail([this, d, searchFailText](RFID::Result r) mutable { reject(d, searchFailText + r.error); });
    return found;
}

Deferred<Result> CardIssuer::readCardUid()
{
    Deferred<Result> d;
    log.info(QStringLiteral("Reading card UID"));

    if (m_rfid->state() == RFID::CardFound) {
        const Tag::Ptr card = m_rfid->activeCard();
        log.info(QStringLiteral("Card already present : ") + uidText(card));
        m_rfid->disable()
            .done([this, d, card](RFID::Result) mutable {
                log.info(QStringLiteral("RFID disabled"));
                resolve(d, card);
            })
            .fail([this, d, card](RFID::Result r) mutable {
                logDisableFailed(r.error);
                resolve(d, card);
            });
        return d;
    }

    Deferred<RFID::Result> found = enableAndFindCard(d, QStringLiteral("Failed to find card : "));

    Deferred<RFID::Result> disabled = found.thenAlias([this](RFID::Result r) {
        log.info(QStringLiteral("Card found : ") + uidText(r.card));
        setCurrCard(r.card);
        return m_rfid->disable();
    });
    disabled.done([this, d](RFID::Result) mutable {
        log.info(QStringLiteral("RFID disabled"));
        resolve(d, m_currCard);
    });
    disabled.fail([this, d](RFID::Result r) mutable {
        logDisableFailed(r.error);
        resolve(d, m_currCard);
    });
    return d;
}

Deferred<Result> CardIssuer::dispose(bool ok)
{
    Deferred<Result> d;
    log.info(QStringLiteral("Disposing card : ") + uidText(m_currCard));
    if (!ok)
        incrFailCount();

    sendDispose()
        .done([this, d](Dispenser::Result) mutable {
            log.info(QStringLiteral("Card disposed : ") + uidText(m_currCard));
            resolve(d, Tag::Ptr());
        })
        .fail([this, d](Dispenser::Result r) mutable { reject(d, QStringLiteral("Dispose failed : ") + r.description); });
    return d;
}

Deferred<Result> CardIssuer::createCard(Card::Ptr card)
{
    Deferred<Result> d;
    if (!card) {
        reject(d, QStringLiteral("Invalid card"));
        return d;
    }
    const QString templateName = card->name();
    log.info(QStringLiteral("Creating card : %1").arg(templateName));

    Deferred<RFID::Result> found = enableAndFindCard(d, QStringLiteral("Card search failed : "));

    // The tag the reader found, in case the create answer carries no card.
    auto foundTag = std::make_shared<Tag::Ptr>();
    Deferred<RFID::Result> created = found.thenAlias([this, templateName, foundTag](RFID::Result r) {
        log.info(QStringLiteral("Card found : ") + uidText(r.card));
        *foundTag = r.card;
        return m_rfid->createCard(templateName);
    });
    created.fail([this, d](RFID::Result r) mutable { reject(d, QStringLiteral("Create card failed : ") + r.error); });

    Deferred<RFID::Result> written = created.thenAlias([this, card, foundTag](RFID::Result r) {
        log.info(QStringLiteral("Writing card : ") + uidText(r.card));
        // The given content goes onto the card just created on the reader, so the
        // write is addressed to that card (a new card object has no uid of its own).
        const Tag::Ptr target = r.card ? r.card : *foundTag;
        if (target) {
            card->setUid(target->uid());
            card->setType(target->type());
        }
        return m_rfid->writeCard(card);
    });
    written.fail([this, d](RFID::Result r) mutable { reject(d, QStringLiteral("Write card failed : ") + r.error); });

    Deferred<RFID::Result> disabled = written.thenAlias([this](RFID::Result r) {
        log.info(QStringLiteral("Card written successfully : ") + uidText(r.card));
        setCurrCard(r.card);
        resetFailCount();
        return m_rfid->disable();
    });
    resolveAfterDisable(disabled, d);
    return d;
}

// The card's work is done once the reader is switched off again; a failed
// switch-off is only logged, the operation still succeeds with the current card.
void CardIssuer::resolveAfterDisable(Deferred<RFID::Result> disabled, Deferred<Result> d)
{
    disabled.done([this, d](RFID::Result) mutable {
        resolve(d, m_currCard);
        log.info(QStringLiteral("RFID disabled"));
    });
    disabled.fail([this, d](RFID::Result r) mutable {
        logDisableFailed(r.error);
        resolve(d, m_currCard);
    });
}

Deferred<Result> CardIssuer::writeCard(Card::Ptr card)
{
    Deferred<Result> d;
    if (!card) {
        reject(d, QStringLiteral("Invalid card"));
        return d;
    }
    log.info(QStringLiteral("Writing card : uid=%1 name=%2").arg(Log::outside(card->uid()), Log::outside(card->name())));

    Deferred<RFID::Result> written = m_rfid->writeCard(card);
    written.fail([this, d](RFID::Result r) mutable { reject(d, QStringLiteral("Write card failed : ") + r.error); });

    Deferred<RFID::Result> disabled = written.thenAlias([this](RFID::Result r) {
        log.info(QStringLiteral("Card written successfully : ") + uidText(r.card));
        setCurrCard(r.card);
        return m_rfid->disable();
    });
    resolveAfterDisable(disabled, d);
    return d;
}

Deferred<Result> CardIssuer::eject()
{
    Deferred<Result> d;
    log.info(QStringLiteral("Ejecting card"));

    Deferred<Dispenser::Result> command = m_dispenser->eject();
    command.fail([this, d](Dispenser::Result r) mutable {
        reject(d, QStringLiteral("Failed to eject card : ") + r.description);
    });

    // The service may report the card in the mouth before it answers the command:
    // then the sensor already shows it there and there is no change left to wait for.
    Deferred<> atMouth = command.thenAlias([this](Dispenser::Result) {
        if (m_dispenser->cardInMouth())
            return Deferred<>::resolved();
        return Utils::waitSignal(m_dispenser, &Dispenser::cardInMouthChanged, SensorMs);
    });
    atMouth.done([this, d]() mutable {
        log.info(QStringLiteral("Card ejected successfully"));
        resolve(d, m_currCard);
        emit cardEjected(m_currCard);
    });
    atMouth.fail([this, d]() mutable { reject(d, QString::fromLatin1(MouthTimeout)); });
    return d;
}

Deferred<Result> CardIssuer::retract()
{
    Deferred<Result> d;
    log.info(QStringLiteral("Retracting card : ") + uidText(m_currCard));

    Deferred<Dispenser::Result> command = m_dispenser->accept();
    command.fail([this, d](Dispenser::Result r) mutable { reject(d, QStringLiteral("Accept failed : ") + r.description); });

    // As with the eject: a sensor that already shows the card at the reader is the confirmation.
    Deferred<> atReader = command.thenAlias([this](Dispenser::Result) {
        if (m_dispenser->cardInRfid())
            return Deferred<>::resolved();
        return Utils::waitSignal(m_dispenser, &Dispenser::cardInRfidChanged, SensorMs);
    });
    atReader.done([this, d]() mutable {
        log.info(QStringLiteral("Retracted card : ") + uidText(m_currCard));
        resolve(d, Tag::Ptr());
    });
    atReader.fail([this, d]() mutable { reject(d, QStringLiteral("Retract timeout")); });
    return d;
}

Deferred<Result> CardIssuer::waitRemoved(int seconds)
{
    Deferred<Result> d;
    log.info(QStringLiteral("Waiting for card to be collected (timeout=%1 sec)").arg(seconds));

    // The card may be taken while the broker connection is down: the removal announced then
    // is never heard. The dispenser's first report once the connection is back tells where the
    // card is: neither in the mouth nor pulled back in means taken.
    struct Watch {
        bool settled = false;
        bool lost = false; // the connection dropped since the last report
        QMetaObject::Connection status;
        QMetaObject::Connection connection;
    };
    auto watch = std::make_shared<Watch>();
    auto settle = [watch] {
        const bool first = !std::exchange(watch->settled, true);
        disconnect(watch->status);
        disconnect(watch->connection);
        return first;
    };
    watch->connection = connect(m_dispenser, &Dispenser::connectionLost, this, [watch] { watch->lost = true; });
    watch->status = connect(m_dispenser, &Dispenser::statusReceived, this, [this, d, watch, settle]() mutable {
        if (!std::exchange(watch->lost, false) || m_dispenser->cardInMouth() || m_dispenser->cardInRfid())
            return;
        settle();
        log.warn(QStringLiteral("Dispenser reports no card left : card taken"));
        onCardRemoved();
        resolve(d, Tag::Ptr());
    });

    Deferred<Dispenser::Result> taken = m_dispenser->waitCollect(seconds);
    taken.done([this, d, settle](Dispenser::Result) mutable {
        if (!settle())
            return;
        log.info(QStringLiteral("Card collected successfully"));
        resolve(d, Tag::Ptr());
    });
    taken.fail([this, d, settle](Dispenser::Result) mutable {
        if (!settle())
            return;
        Deferred<Result> back = retract();
        back.done([this, d](Result) mutable { reject(d, QStringLiteral("Card not collected")); });
        back.fail([this, d](Result) mutable {
            reject(d, QStringLiteral("Card not collected and card retract failed"));
        });
    });
    return d;
}

// ---------------------------------------------------------------------------
// Entry lane

Deferred<Result> CardIssuer::prepareCard()
{
    Deferred<Result> d;
    log.info(QStringLiteral("Preparing card"));

    if (!canPrepare()) {
        d.reject(Result{Tag::Ptr(), m_reason});
        return d;
    }

    Deferred<Result> moved = moveCardOnRfid();
    moved.fail([d](Result r) mutable { d.reject(r); });

    Deferred<Result> read = moved.thenAlias([this](Result) { return readCardUid(); });
    read.done([this, d](Result r) mutable {
        d.resolve(r);
        emit cardPrepared(r.card);
    });
    read.fail([this, d](Result r) mutable { whenFinished(dispose(false), [d, r]() mutable { d.reject(r); }); });
    return d;
}

Deferred<Result> CardIssuer::issueCard(Card::Ptr card)
{
    Deferred<Result> d;
    if (!card) {
        reject(d, QStringLiteral("Invalid card"));
        return d;
    }
    // The updating reader cannot write the card at it, which would go into the box as a
    // failure: it stays there for the next driver.
    if (updating()) {
        d.reject(Result{Tag::Ptr(), m_reason});
        return d;
    }

    Deferred<Result> created;
    if (m_currCard) {
        log.info(QStringLiteral("Card present. Creating."));
        created = createCard(card);
    } else {
        log.warn(QStringLiteral("Card not present. Preparing."));
        Deferred<Result> prepared = prepareCard();
        prepared.fail([d](Result r) mutable { d.reject(r); });
        created = prepared.thenAlias([this, card](Result) { return createCard(card); });
    }
    created.done([d](Result r) mutable { d.resolve(r); });
    created.fail([this, d](Result r) mutable { whenFinished(dispose(false), [d, r]() mutable { d.reject(r); }); });
    return d;
}

Deferred<Result> CardIssuer::presentCard(int seconds)
{
    Deferred<Result> d;
    log.info(QStringLiteral("Waiting for card to be collected (timeout=%1 sec)").arg(seconds));

    Deferred<Result> ejected = eject();
    ejected.fail([this, d](Result r) mutable {
        if (r.error.contains(QLatin1String(MouthTimeout))) {
            log.warn(QStringLiteral("Eject failed : ") + Log::outside(r.error));
            log.warn(QStringLiteral("Considering eject successful."));
            d.resolve(r);
        } else {
            reject(d, QStringLiteral("Eject failed: ") + r.error);
        }
    });

    Deferred<Result> removed = ejected.thenAlias([this, seconds](Result) { return waitRemoved(seconds); });
    removed.done([d](Result r) mutable { d.resolve(r); });
    removed.fail([this, d](Result) mutable { reject(d, QStringLiteral("Card not collected")); });
    return d;
}

// ---------------------------------------------------------------------------
// Exit lane

Deferred<Result> CardIssuer::acceptMode(Deferred<Dispenser::Result> command)
{
    Deferred<Result> d;
    command.done([this, d](Dispenser::Result) mutable { resolve(d, Tag::Ptr()); });
    command.fail([this, d](Dispenser::Result r) mutable { reject(d, r.description); });
    return d;
}

Deferred<Result> CardIssuer::enableAccept()
{
    log.info(QStringLiteral("Enabling automatic card acceptance"));
    return acceptMode(m_dispenser->enableAccept());
}

Deferred<Result> CardIssuer::disableAccept()
{
    log.info(QStringLiteral("Disabling automatic card acceptance"));
    return acceptMode(m_dispenser->disableAccept());
}

Deferred<Result> CardIssuer::acceptCard(int seconds)
{
    Deferred<Result> d;
    Deferred<Result> enabled = enableAccept();
    enabled.fail([d](Result r) mutable { d.reject(r); });
    passOn(enabled.thenAlias([this, seconds](Result) { return waitCardInRfid(seconds); }), d);
    return d;
}

Deferred<Result> CardIssuer::waitCardInRfid(int seconds)
{
    Deferred<Result> d;
    log.info(QStringLiteral("Waiting for card to be placed on Rfid : timeout=") + QString::number(seconds)
            + QStringLiteral(" sec"));

    if (m_dispenser->cardInRfid()) {
        resolve(d, m_currCard);
        return d;
    }
    Deferred<> changed = Utils::waitSignal(m_dispenser, &Dispenser::cardInRfidChanged, Utils::secondsToMsec(seconds));
    changed.done([this, d]() mutable { resolve(d, m_currCard); });
    changed.fail([this, d]() mutable { reject(d, QStringLiteral("Timeout")); });
    return d;
}

Deferred<Result> CardIssuer::waitInserted(int seconds)
{
    Deferred<Result> d;
    log.info(QStringLiteral("Waiting for card to be inserted : timeout=") + QString::number(seconds)
            + QStringLiteral(" sec"));

    Deferred<> inserted = Utils::waitSignal(this, &CardIssuer::cardInserted, Utils::secondsToMsec(seconds));
    inserted.done([this, d]() mutable { resolve(d, m_currCard); });
    inserted.fail([this, d]() mutable { reject(d, QStringLiteral("Timeout")); });
    return d;
}

Deferred<Result> CardIssuer::readCard()
{
    Deferred<Result> d;
    log.info(QStringLiteral("Reading card"));

    Deferred<RFID::Result> found = enableAndFindCard(d, QStringLiteral("Failed to find card : "));

    Deferred<RFID::Result> read = found.thenAlias([this](RFID::Result r) {
        log.info(QStringLiteral("Card found : ") + uidText(r.card));
        return m_rfid->readCard(QStringLiteral("auto"), 1);
    });
    read.fail([this, d](RFID::Result r) mutable { reject(d, QStringLiteral("Failed to read card : ") + r.error); });
    read.done([this, d](RFID::Result r) mutable {
        log.info(QStringLiteral("Card read successfully"));
        setCurrCard(r.card);
        resolve(d, m_currCard);
    });
    return d;
}

Deferred<Result> CardIssuer::collectCard()
{
    Deferred<Result> d;
    log.info(QStringLiteral("Collecting card : uid=") + uidText(m_currCard));

    // The answer may be lost on its way (the broker gone meanwhile): the dispenser's
    // sensors showing no card at the reader or in the mouth then tell that the card went
    // into the box. The service reports its sensors before its answer, so a report heard
    // over an unbroken connection only waits for the answer; one heard after the
    // connection was lost, or an answer that never comes, settles the keep from them.
    struct Watch {
        bool settled = false;
        bool lost = false;  // the connection dropped since the dispose was sent
        bool empty = false; // the sensors have shown the path empty since then
        QMetaObject::Connection status;
        QMetaObject::Connection connection;
    };
    auto watch = std::make_shared<Watch>();
    auto kept = [this, d, watch]() mutable {
        watch->settled = true;
        disconnect(watch->status);
        disconnect(watch->connection);
        m_rfid->disable()
            .done([this, d](RFID::Result) mutable { resolve(d, Tag::Ptr()); })
            .fail([this, d](RFID::Result r) mutable {
                logDisableFailed(r.error);
                resolve(d, Tag::Ptr());
            });
    };
    const Tag::Ptr card = m_currCard;
    const quint64 events = m_disposedEvents;
    auto keptBySensors = [this, kept, card, events]() mutable {
        log.warn(QStringLiteral("Dispenser reports no card left : card kept"));
        if (m_disposedEvents == events)
            countDisposed(card);
        kept();
    };
    watch->connection = connect(m_dispenser, &Dispenser::connectionLost, this, [watch] { watch->lost = true; });
    watch->status = connect(m_dispenser, &Dispenser::statusReceived, this, [this, watch, keptBySensors]() mutable {
        if (m_dispenser->cardInRfid() || m_dispenser->cardInMouth())
            return;
        watch->empty = true;
        if (watch->lost)
            keptBySensors();
    });

    sendDispose()
        .done([watch, kept](Dispenser::Result) mutable {
            if (!watch->settled)
                kept();
        })
        .fail([this, d, watch, keptBySensors](Dispenser::Result r) mutable {
            if (watch->settled)
                return;
            if (watch->empty)
                return keptBySensors();
            disconnect(watch->status);
            disconnect(watch->connection);
            reject(d, r.description);
        });
    return d;
}

Deferred<Result> CardIssuer::returnCard(Card::Ptr card)
{
    return writeCard(card);
}

// ---------------------------------------------------------------------------
// Card tests

Deferred<Result> CardIssuer::testDispense()
{
    Deferred<Result> d;

    Deferred<Result> moved = moveCardOnRfid();
    moved.fail([d](Result r) mutable { d.reject(r); });

    Deferred<Result> read = moved.thenAlias([this](Result) { return readCardUid(); });
    read.fail([this, d](Result r) mutable { whenFinished(dispose(true), [d, r]() mutable { d.reject(r); }); });

    Deferred<Result> ejected = read.thenAlias([this](Result) { return eject(); });
    ejected.fail([d](Result r) mutable { d.reject(r); });

    Deferred<Result> retracted = ejected.thenAlias([this](Result) { return retract(); });
    retracted.fail([d](Result r) mutable { d.reject(r); });

    passOn(retracted.thenAlias([this](Result) { return dispose(true); }), d);
    return d;
}

Deferred<Result> CardIssuer::testAcceptEject()
{
    Deferred<Result> d;
    if (m_dispenser->cardInMouth()) {
        log.info(QStringLiteral("Card in mouth. Retracting."));
        Deferred<Result> retracted = retract();
        retracted.fail([d](Result r) mutable { d.reject(r); });
        passOn(retracted.thenAlias([this](Result) { return eject(); }), d);
    } else if (m_dispenser->cardInRfid()) {
        log.info(QStringLiteral("Card in RFID. Ejecting."));
        passOn(eject(), d);
    } else {
        reject(d, QStringLiteral("No card found"));
    }
    return d;
}

Deferred<Result> CardIssuer::testAcceptDispose()
{
    Deferred<Result> d;
    Deferred<Result> ready;
    if (m_dispenser->cardInMouth()) {
        log.info(QStringLiteral("Card in mouth. Retracting and disposing."));
        ready = retract();
    } else if (m_dispenser->cardInRfid()) {
        log.info(QStringLiteral("Card in RFID. Disposing."));
        passOn(dispose(true), d);
        return d;
    } else {
        log.info(QStringLiteral("No card found. Waiting insert."));
        ready = acceptCard(m_acceptTestTimeoutSec);
    }
    ready.fail([d](Result r) mutable { d.reject(r); });
    passOn(ready.thenAlias([this](Result) { return dispose(true); }), d);
    return d;
}

}
