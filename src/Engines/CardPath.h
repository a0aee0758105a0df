#pragma once
// The exit lane's card path: the card the lane still holds (at the reader, or in the
// mouth with nobody to take it) and the acceptance of the next driver's card.
//
// A card left in the path is taken out of it before the lane serves again, the lane out of
// order meanwhile, and tried again while a device does not answer. A card found at the
// reader goes back to its driver unless a passage decided before it was interrupted keeps
// it; a card in the mouth is offered, or pulled in. Acceptance that could not be switched on
// (the broker or the dispenser service away) is tried again while the passage waits for a
// card, the lane out of order meanwhile.
//
// The engine that owns the path keeps the passage: the path asks it through Passage what
// the passage is at, and tells it when the path is clear again and which reports go. Its
// lines are written under the owner's log.
#include "Backend/Transaction.h"
#include "Common/Log/Log.h"
#include "Deferred/Deferred.h"
#include "Engines/Lane.h"
#include "Engines/Runs.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <utility>

class CardPath : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(CardPath)

public:
    // What the path asks of the passage.
    struct Passage
    {
        // The passage waits for its card: acceptance must be on.
        std::function<bool()> awaitsCard;
        // Between passages: the path may be cleared, and the lane serves once it is clear.
        std::function<bool()> idle;
        // The passage taken over at the run's start whose card that is; null when none.
        std::function<const InterruptedPassage *(const QString &uid)> interrupted;
        // An error report of the lane as it stands, with the given details.
        std::function<Backend::Transaction::Ptr(const QString &error)> errorReport;
        // Whether the card of an interrupted passage goes back to its driver (the service
        // bus said so before the interruption).
        std::function<bool(const InterruptedPassage &passage)> returnsCard;
    };

    static constexpr int AcceptRetryMs = 1000;
    static constexpr int ClearRetryMs = 2000;

    CardPath(manager::CardIssuer *issuer, const Config &config, const Log &log, Passage passage,
             QObject *parent = nullptr);

    // A run of the lane: the dispenser's reports heard from its start; at its stop, what
    // waits is dropped, acceptance switched off, and a held report left open (reportOpen).
    void start();
    void stop();

    // Whether the lane must clear the path before it serves a vehicle.
    bool blocked() const { return m_blocked; }
    // Why the lane cannot serve ("Card path blocked", "Card acceptance off"); empty when it
    // can. Announced by readinessChanged.
    QString unready() const;

    void enableAccept();
    void disableAccept();

    // The lane back between passages: true when the path is clear and the lane may serve;
    // otherwise it is cleared first, and cleared() follows. A card in the mouth is offered
    // again when the passages taken over at the run's start are still to be finished
    // (claimed), else pulled in once nobody took it within the collect time.
    bool clearAtIdle(bool claimed);

    // The report of a failed passage whose card the lane still holds: held until the card is
    // out of the path (handBack, then sendHeld), and sent then with the card's uid; a
    // clearing between passages sends it too.
    void hold(const Backend::Transaction::Ptr &report, const QString &uid);
    Deferred<> handBack() { return clearPath(true); }
    void sendHeld();

signals:
    void readinessChanged();
    // The path is clear again between passages: the lane serves.
    void cleared();
    // A report to send now.
    void reportDue(const Backend::Transaction::Ptr &report);
    // A held report left at the stop, for the next run to finish.
    void reportOpen(const Backend::Transaction::Ptr &report);

private:
    // Whether the passage still waits for its card, so that acceptance must be on.
    bool wantsCard() const;
    // One of the flags unready() reads.
    void setReadiness(bool &flag, bool value);
    bool cardAtReader() const;
    void onDispenserStatus();
    // Takes the card out of the path while the lane is between passages; then the held
    // report, or one for a card kept, goes and the lane serves again.
    void clear(bool handBack);
    Deferred<> clearPath(bool handBack);
    // The card of a passage decided before it was interrupted: kept, its driver let out,
    // unless it was to go back to its driver.
    bool keptCard(const QString &uid) const;
    int collectTimeout() const;

    // Runs the continuation only while the run that made it goes on.
    template<typename F>
    auto inRun(F &&f)
    {
        return m_runs.guard(this, m_log, std::forward<F>(f));
    }

    manager::CardIssuer *m_issuer;
    const Config &m_config;
    const Log m_log;
    const Passage m_passage;
    Runs m_runs;

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
    Backend::Transaction::Ptr m_pending;
};
