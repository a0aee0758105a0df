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
    void onStateChanged(Session::State prev, Session::State curr) override;

    // State actions, in the order of the passage.
    void enterIdle();
    void collectData();
    void requestPermission();
    void processCard();
    void passed();
    void failed();

    void enableAccept();
    void disableAccept();
    // Whether the passage still waits for its card, so that acceptance must be on.
    bool wantsCard() const;
    void setAcceptFailed(bool failed);
    Deferred<> sendCollectedData();
    Deferred<> returnCard();

    const Log &logger() const override;

    // Acceptance that could not be switched on (the broker or the dispenser service
    // away) is tried again while the lane waits for a card.
    static constexpr int AcceptRetryMs = 1000;
    QTimer m_acceptRetry;
    bool m_acceptFailed = false;
};
