#pragma once
// The entry lane of a card vending machine: a blank card kept ready on the reader, the
// cameras triggered when a truck arrives, the front plate reported to the weighbridge
// and the service bus, the driver's button, the card written and dispensed, the barrier
// opened once the card is taken, and the passage closed when the barrier closes.
#include "Backend/LocalServer.h"
#include "Deferred/Deferred.h"
#include "Engines/Engine.h"
#include "Models/Tag.h"

class IssueEngine : public Engine
{
    Q_OBJECT
    Q_DISABLE_COPY(IssueEngine)

public:
    explicit IssueEngine(Lane *lane, QObject *parent = nullptr);

    void simButtonPressed() override { onButtonPressed(); }

    QSharedPointer<ZUKAv1Card> createCard() const;

private:
    void connectDevices() override;
    void releaseDevices() override;

    void onVehicleLeft() override;
    void onButtonPressed();
    void onIssuerStateChanged();
    void onCardCollected(Tag::Ptr card);
    void onCardDisposed(Tag::Ptr card);
    void onStateChanged(Session::State prev, Session::State curr) override;
    Backend::Transaction::Type passageType() const override { return Backend::Transaction::Issuance; }
    // Once the driver took the card.
    bool decided(Session::State state) const override { return state == Session::Exit; }
    Session::State resumeAt(const InterruptedPassage &passage) override;
    void reportInterrupted(const Backend::Transaction::Ptr &report) override;

    // State actions, in the order of the passage.
    void enterIdle();
    void collectData();
    void requestEntry();
    void issueCard();
    void issuePrepared();
    void passed();
    void failed();

    void prepareCard();
    void prepareCardAttempt(Deferred<> result);
    void scheduleNextAttempt(Deferred<> result);
    void sendCollectedData();
    // Each returns whether the data went out.
    bool sendDataToLocalServer();
    bool sendDataToEsb();

    // A card whose uid went out in a passage that did not issue it belongs to that passage:
    // it is issued to nobody else, but goes into the box (counted as a failure) when the next
    // card is made ready. The failed passage's report, when there is one, is held until then.
    void spend(const QString &uid, const Backend::Transaction::Ptr &report);
    bool spent(const Tag::Ptr &card) const { return card && m_spent.contains(card->uid()); }
    void releaseSpent(const QString &uid);

    const Log &logger() const override;

    Deferred<> m_prepared;
    bool m_preparing = false;
    int m_preparation = 0; // which preparation m_prepared belongs to
    bool m_awaitingIssuer = false; // a preparation given up: made once the issuer can prepare
    bool m_named = false;          // the passage's card went out with its data, not yet issued
    QMap<QString, Backend::Transaction::Ptr> m_spent; // by uid, with the report held for it
    Backend::LocalServer m_localServer;
};
