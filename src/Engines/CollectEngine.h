#pragma once
// The exit lane of a card collection machine: the card inserted by the driver, the
// cameras triggered, the back plate and container codes sent to the service bus with
// the request to let the truck out, the exit logged on the card, the card kept in the
// storage box or written and handed back, and the barrier opened. Any failure hands
// the card back before the passage is closed.
#include "Deferred/Deferred.h"
#include "Engines/CardPath.h"
#include "Engines/Engine.h"
#include "Models/Card.h"

class CollectEngine : public Engine
{
    Q_OBJECT
    Q_DISABLE_COPY(CollectEngine)

public:
    explicit CollectEngine(Lane *lane, QObject *parent = nullptr);

    void simButtonPressed() override {}

    // Whether the card goes back to its driver, by the configured mode and the service
    // bus's answer (esb).
    bool shouldReturnCard(bool esb) const;
    QString unready() const override { return m_path.unready(); }

private:
    void connectDevices() override;
    void releaseDevices() override;

    void onVehicleLeft() override;
    void onCardInserted(Card::Ptr card);
    void onStateChanged(Session::State prev, Session::State curr) override;
    bool pathBlocked() const override { return m_path.blocked(); }
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
    // Whether the passage's card is not yet being processed: an insert is taken (or an
    // unreadable one ends the passage) only then.
    bool beforeCard() const;
    Deferred<> sendCollectedData();

    const Log &logger() const override;

    // The card the lane still holds and the acceptance of the next one.
    CardPath m_path;
};
