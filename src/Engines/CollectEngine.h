#pragma once
// The exit lane of a card collection machine: the card inserted by the driver, the
// cameras triggered, the back plate and container codes sent to the service bus with
// the request to let the truck out, the exit logged on the card, the card kept in the
// storage box or written and handed back, and the barrier opened. Any failure hands
// the card back before the passage is closed.
#include "Deferred/Deferred.h"
#include "Engines/Engine.h"
#include "Models/Card.h"

#include <QTimer>

class CollectEngine : public Engine
{
    Q_OBJECT
    Q_DISABLE_COPY(CollectEngine)

public:
    explicit CollectEngine(Lane *lane, QObject *parent = nullptr);

    void simButtonPressed() override {}

    bool shouldReturnCard() const;
    QString unready() const override;

private:
    void connectDevices() override;
    void releaseDevices() override;

    void onVehicleLeft() override;
    void onCardInserted(Card::Ptr card);
    void onDispenserStatus();
    void onStateChanged(Session::State prev, Session::State curr) override;
    bool pathBlocked() const override { return m_blocked; }
    Backend::Transaction::Type passageType() const override { return Backend::Transaction::Scan; }
    // From the card's processing on (the permission given): the card is kept or written.
    bool decided(Session::State state) const override;

    // State actions, in the order of the passage.
    void enterIdle();
    void collectData();
    void requestPermission();
    void processCard();
    void passed();
    void failed();

    // Acceptance switched on and the waiting truck taken, once the card path is clear.
    void serve();
    void enableAccept();
    void disableAccept();
    // Whether the passage still waits for its card, so that acceptance must be on.
    bool wantsCard() const;
    void setReadiness(bool &flag, bool value);
    Deferred<> sendCollectedData();

    // A card the lane still holds (at the reader, or in the mouth with nobody to take it)
    // is taken out of the path before the lane serves again: the lane is out of order
    // meanwhile, and tries again while a device does not answer. A card found at the
    // reader goes back to its driver (handBack) unless a passage decided before it was
    // interrupted keeps it; a card in the mouth is offered (handBack) or pulled in.
    bool cardAtReader() const;
    void clearCardPath(bool handBack);
    Deferred<> clearPath(bool handBack);
    // The card of a passage decided before it was interrupted: kept, its driver let out.
    bool keptCard(const QString &uid) const;
    void sendPending();
    int collectTimeout() const;

    const Log &logger() const override;

    // Acceptance that could not be switched on (the broker or the dispenser service
    // away) is tried again while the lane waits for a card.
    static constexpr int AcceptRetryMs = 1000;
    static constexpr int ClearRetryMs = 2000;
    QTimer m_acceptRetry;
    bool m_acceptFailed = false;
    quint64 m_acceptCall = 0; // only the latest request's outcome counts
    bool m_acceptPending = false;

    QTimer m_clearRetry;
    QTimer m_mouthWait;
    bool m_blocked = false;
    bool m_clearing = false;
    bool m_clearHandBack = false; // of the clearing tried again
    // Started before the devices had reported, or the broker connection lost since: the
    // dispenser's next report tells whether a card is left at the reader (one taken in
    // while the connection was down was never announced).
    bool m_checkOnReport = false;
    // What clearing the path learned: the card's uid, the reads tried for it (a second
    // when a reader that reported the card found had not said which), whether the card
    // went into the box.
    static constexpr int UidReads = 2;
    QString m_clearUid;
    int m_uidReads = 0;
    bool m_clearKept = false;
    // The report of a failed passage whose card the lane still held when it closed: sent,
    // with the card's uid, once the card is out of the path.
    Backend::Transaction::Ptr m_pending;
};
