#pragma once
// The card issuer: joins the RFID reader and the card dispenser into the card
// operations of the lanes and of the diagnostics card tests, and keeps the
// issuer's own state (derived from both devices and a fail counter).
#include <QObject>
#include <QString>

#include "Deferred/Deferred.h"
#include "Managers/Dispenser.h"
#include "Managers/RFID.h"
#include "Models/Card.h"
#include "Models/Tag.h"

namespace manager {

class CardIssuer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(CardIssuer)

public:
    // Outcome of every card operation: the card concerned (null when there is
    // none, and in every failure of the issuer's own) and the error text.
    struct Result {
        Tag::Ptr card;
        QString error;
    };

    // Fixed integer base: any number can be named by stateToStr ("Unknown" outside the table).
    enum State : int { Init = 0, Busy = 1, Ready = 2, Error = 3 };

    // How long the accept-and-dispose card test waits for a card to be inserted.
    static constexpr int DefaultAcceptTestTimeoutSec = 60;

    CardIssuer(RFID *rfid, Dispenser *dispenser, QObject *parent = nullptr,
               int acceptTestTimeoutSec = DefaultAcceptTestTimeoutSec);

    State state() const { return m_state; }
    const QString &reason() const { return m_reason; }
    Tag::Ptr currCard() const { return m_currCard; }
    RFID *rfid() const { return m_rfid; }
    Dispenser *dispenser() const { return m_dispenser; }
    // Why the card inserted last could not be read when it was for want of an answer (the
    // reader's service unreachable); empty when it was read, or when the card itself was
    // the fault.
    const QString &unreadReason() const { return m_unreadReason; }

    static QString stateToStr(State state);

    // Whether a card may be moved to the reader now: not in Error, and not while the reader
    // updates (it could not read the card, which would then go into the box as a failure).
    bool canPrepare() const;

    // Entry lane: preparing, issuing and presenting cards.
    Deferred<Result> prepareCard();
    Deferred<Result> moveCardOnRfid();
    Deferred<Result> readCardUid();
    Deferred<Result> issueCard(Card::Ptr card);
    Deferred<Result> createCard(Card::Ptr card);
    Deferred<Result> writeCard(Card::Ptr card);
    Deferred<Result> eject();
    Deferred<Result> retract();
    Deferred<Result> dispose(bool ok);
    Deferred<Result> waitRemoved(int seconds);
    Deferred<Result> presentCard(int seconds);

    // Exit lane: accepting, reading, collecting and returning cards.
    Deferred<Result> enableAccept();
    Deferred<Result> disableAccept();
    Deferred<Result> acceptCard(int seconds);
    Deferred<Result> waitCardInRfid(int seconds);
    Deferred<Result> waitInserted(int seconds);
    Deferred<Result> readCard();
    Deferred<Result> collectCard();
    Deferred<Result> returnCard(Card::Ptr card);

    // Diagnostics card tests.
    Deferred<Result> testDispense();
    Deferred<Result> testAcceptEject();
    Deferred<Result> testAcceptDispose();

signals:
    void stateChanged();
    void cardInserted(Card::Ptr card);
    void cardPrepared(Tag::Ptr card);
    void cardDisposed(Tag::Ptr card);
    void cardEjected(Tag::Ptr card);
    void cardRemoved(Tag::Ptr card);

private:
    void connectSignals();
    void setState(State state, const QString &reason);
    void checkState();
    bool updating() const;
    void incrFailCount();
    void resetFailCount();
    void setCurrCard(Tag::Ptr card);
    void resolve(Deferred<Result> &d, Tag::Ptr card);
    void reject(Deferred<Result> &d, const QString &error);

    Deferred<Result> acceptMode(Deferred<Dispenser::Result> command);
    Deferred<Dispenser::Result> sendDispose();
    void countDisposed(const Tag::Ptr &card);
    void resolveAfterDisable(Deferred<RFID::Result> disabled, Deferred<Result> d);
    Deferred<RFID::Result> enableAndFindCard(Deferred<Result> d, const QString &searchFailText);

    void onCardFound(Tag::Ptr tag);
    void onCardRemoved();
    void onCardDisposed();
    void onCardInserted();

    RFID *m_rfid;
    Dispenser *m_dispenser;
    State m_state = Init;
    QString m_reason;
    Tag::Ptr m_currCard;
    int m_failCount = 0;
    int m_acceptTestTimeoutSec;
    QString m_unreadReason;
    // Card-disposed events heard so far.
    quint64 m_disposedEvents = 0;
    // A card was counted into the box from the dispenser's sensors: its own event, when
    // it still comes before the next dispose command, is not counted again.
    bool m_disposedCounted = false;
};

}

Q_DECLARE_METATYPE(manager::CardIssuer::Result)
