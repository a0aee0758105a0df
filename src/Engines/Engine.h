#pragma once
// The base of the two lane cycles. It gives the engines their handles (the lane,
// its session and its service bus client), the run (start and stop with the devices'
// wiring), the bookkeeping both cycles share (open, close with the delayed return to
// Idle, reset, the cycle's transaction), the steps both take alike and the one
// guard through which every late device or server result passes: a result acts only
// while the engine still runs the cycle that asked for it and the session is still in
// a state that wants it.
#include "Backend/Transaction.h"
#include "Common/Log/Log.h"
#include "Engines/Lane.h"
#include "Engines/Runs.h"
#include "Engines/Session.h"
#include "Models/Tag.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <initializer_list>
#include <utility>

class Config;

namespace Backend {
class CardBO;
class ESB;
}

class Engine : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Engine)

public:
    // How long a passage waits in Exit for the barrier to report closed before it is
    // closed without it ("terminal/exitTimeoutSec" when configured).
    static constexpr int DefaultExitTimeoutSec = 120;
    static constexpr int SuccessResetMs = 2000;
    static constexpr int FailureResetMs = 5000;

    Engine(Lane *lane, QObject *parent = nullptr);
    ~Engine() override;

    // Until when a passage left open may go on: the time it would still have waited for its
    // vehicle, counted from the step its report was held at.
    static QDateTime resumeBy(const Backend::Transaction &report, const Config &config);

    // Begins a run (a run under way is stopped first): the loop, the barrier and the
    // engine's own devices are connected and the session goes to Idle.
    void start();
    // Ends the run: the session goes to Stopped and the engine lets go of its devices.
    void stop();
    void simLoopPresent() { onVehiclePresent(); }
    void simLoopFree() { onVehicleLeft(); }
    virtual void simButtonPressed() = 0;

    Session *session() const { return m_session; }
    // Why the engine cannot serve a vehicle although its devices answer (the exit lane's
    // card acceptance could not be switched on); empty when it can. Announced by
    // readinessChanged; the engine keeps running to recover.
    virtual QString unready() const { return QString(); }

    void openSession();
    // Closes the current cycle once: a second close of the same cycle is refused.
    // Returns whether this call closed it.
    bool closeSession(bool result);
    void resetSession();
    void sendTransaction(Backend::Transaction::Type type);
    // The passage's transaction as the session stands, held on disk (completed as it is at
    // the next start should the program end first) until it is sent with sendReport.
    Backend::Transaction::Ptr holdReport(Backend::Transaction::Type type);
    void sendReport(const Backend::Transaction::Ptr &transaction);
    // The vehicle on the loop left (the lane hears it whatever runs): noted for the open
    // passage and for those this run took over, none of which then opens for the next truck.
    void noteVehicleLeft();
    // The same noted in a held report of a passage left open.
    static void noteVehicleLeft(Backend::CardBO *cardBO, const Backend::Transaction::Ptr &report);

signals:
    void sessionStarted();
    void sessionFinished();
    void readinessChanged();

protected:
    using States = std::initializer_list<Session::State>;

    // A state's action, or an event's acceptance, as a row of an engine's table.
    template<typename E>
    struct Action {
        Session::State state;
        void (E::*run)();
    };

    // The engine's own device events, connected at start; at stop every connection to
    // the loop, the button, the card issuer and the barrier is dropped.
    virtual void connectDevices() = 0;
    // What the engine releases at stop, once the session is Stopped.
    virtual void releaseDevices() = 0;
    bool running() const { return m_runs.running(); }

    // Events both lanes take alike; a vehicle leaving is each lane's own.
    void onVehiclePresent();
    void onBarrierClosed();
    virtual void onVehicleLeft() = 0;
    // Whether the lane must clear its card path before it serves a vehicle.
    virtual bool pathBlocked() const { return false; }

    // The shared guard: wraps a continuation so that it runs only while the engine
    // runs the same cycle as when it was made and the session is in one of the
    // states; otherwise it logs "Ignoring in current state" and does nothing.
    template<typename F>
    auto guarded(States states, F &&f)
    {
        QPointer<Engine> self(this);
        const quint64 cycle = m_cycle;
        QList<Session::State> wanted(states);
        return [self, cycle, wanted, f = std::forward<F>(f)](auto &&...args) {
            if (!self || !self->accepts(cycle, wanted))
                return;
            f(std::forward<decltype(args)>(args)...);
        };
    }
    // The guard of work that belongs to the engine's run rather than to one passage (the
    // card made ready for whichever truck comes next): the continuation runs while the
    // same run goes on, whatever passage the session is in by then.
    template<typename F>
    auto guardedRun(F &&f)
    {
        return m_runs.guard(this, logger(), std::forward<F>(f));
    }
    // Whether an event is accepted in the current state; logs the refusal.
    bool acceptedIn(States states) const;
    // The same question for a result of the given cycle.
    bool accepts(quint64 cycle, const QList<Session::State> &states) const;
    // A new cycle begins (each entry into Idle): results of the old one are dropped.
    void nextCycle();
    // Whether the current passage has been closed.
    bool closed() const { return m_session->uuid() == m_closedUuid; }

    // Runs the action of the new state from the engine's table.
    template<typename E, size_t N>
    void dispatch(const Action<E> (&table)[N], Session::State curr)
    {
        for (const Action<E> &row : table) {
            if (row.state == curr) {
                if (row.run)
                    (static_cast<E *>(this)->*row.run)();
                return;
            }
        }
    }
    // The session's state changes reach onStateChanged queued, so that each action runs
    // after the state setter has returned; a change announced in an earlier run of the
    // engine (before a stop or a restart) is dropped.
    void connectSession();
    void disconnectSession();
    virtual void onStateChanged(Session::State prev, Session::State curr) = 0;

    // The passage journal. From the step at which a passage has its card (the exit lane's
    // taken in, the entry lane's written) until its close, its report is held on disk at
    // each step: an error report "Passage interrupted in" the step, or, once the passage is
    // decided, the passage's own type with that text; completed at the close. Beside it the
    // journal notes the step and the facts that decide whether the passage may still open its
    // barrier: the open command (one that may have reached the controller), the boom seen open,
    // the vehicle seen leaving the loop, the service bus's cardReturn. Each is on disk before
    // the lane acts on it; the step Exit goes with the open command, just before the command.
    // Once the open command may have gone, the boom seen open and the vehicle leaving guard
    // nothing more: they go to disk with the passage's next write. An engine that stops first
    // leaves the report held for the next run; one the program's last run left open waits on
    // disk for the next start. The next run of the lane takes them over at its start and
    // finishes what was decided (finishInterrupted).
    virtual Backend::Transaction::Type passageType() const = 0;
    virtual bool decided(Session::State state) const = 0;
    static QString interruptedIn(Session::State state);
    // The step a held report stood at; a report held before the journal was kept gives its
    // step by its details, or Stopped when they name none.
    static Session::State stepOf(const Backend::Transaction &report);
    // Where an interrupted passage goes on: Exit for one this lane decided (its barrier
    // still to open), Idle for one that is only reported. A lane may decide a held passage
    // from what its devices show now.
    virtual Session::State resumeAt(const InterruptedPassage &passage);
    // Once the lane is back and its card path clear: the latest passage that goes on does
    // so within its time, into Exit only when nothing noted says its boom opened or its
    // vehicle left, the boom is closed and a vehicle stands on the loop (or, for one left open
    // while the program ran on, none was seen leaving it); every other one is reported as it
    // was held. Returns whether a passage goes on.
    bool finishInterrupted();
    // An interrupted passage that does not go on: reported as it was held.
    virtual void reportInterrupted(const Backend::Transaction::Ptr &report) { sendReport(report); }
    bool interruptedLeft() const { return !m_interrupted.isEmpty(); }
    // The passage taken over at this run's start whose card that is; null when none.
    const InterruptedPassage *interruptedCard(const QString &uid) const;
    // A held report of a passage the engine leaves open, for the next engine to finish.
    void handOver(const Backend::Transaction::Ptr &report);

    // Closes the cycle and sends its transaction, once per cycle.
    void finish(bool result, Backend::Transaction::Type type);
    // The close of a passage that reached PostExit with the given type: passed, or failed
    // when the barrier never opened for it.
    void finishExit(Backend::Transaction::Type type);
    // Waits for the barrier in Exit; after the bounded wait the passage is closed as
    // passed with a warning. Cancelled by leaving Exit or stopping.
    void armExitWait();
    void exitWaitElapsed();
    static int exitTimeoutSec(const Config &config);

    // State actions both lanes share: the card handed to the driver (WaitCollect, on to
    // Exit once taken), the barrier opened (Exit).
    void presentCard();
    void openBarrier();
    Backend::Transaction::Ptr passageTransaction(Backend::Transaction::Type type, const QString &error) const;
    // The block that reports the passage's data once the cameras are done.
    void logCollected() const;

    static QString uidOf(const Tag::Ptr &card, const QString &none = QStringLiteral("<null>"));
    // An image as the service bus takes it: the text up to its first zero byte, when any.
    static void addImage(QStringList &images, const QByteArray &image);
    // What a plate reading gives a service-bus record, alike for the front and the back
    // plate: the number and the images into the fields named, the vehicle into its own.
    template <typename Record>
    static void copyPlate(const VORReading &reading, Record &record, QString &number, QStringList &images)
    {
        number = reading.plate();
        record.vehicleType = reading.vehicleClass();
        record.vehicleColour = reading.vehicleColor();
        record.vehicleBrand = reading.vehicleMake();
        record.confidence = qint32(reading.confidence());
        record.countryCode = reading.countryCode();
        addImage(images, reading.plateImage());
        addImage(images, reading.image());
    }

    // Log prefix of the concrete engine.
    virtual const Log &logger() const = 0;

    Lane *m_lane;
    Session *m_session;
    Backend::ESB *m_esb;

private:
    void logStateChange(Session::State prev, Session::State curr) const;
    void holdPassage(Session::State state);
    // A fact of the journal noted for the open passage, on disk before the lane acts on it
    // while the passage may still open its barrier.
    void note(bool Backend::Transaction::Journal::*fact);
    // The held report written, when it holds more than the disk does.
    void writeHeld();
    void boomSeenOpen();
    // Why a passage may not go on at the step, empty when it may.
    QString refusal(const InterruptedPassage &passage, Session::State at);
    void resume(const InterruptedPassage &passage, Session::State at);
    void sendOpen();
    // An open command that a stop counted as sent failed before any byte of it went out: its
    // passage, while it still waits for the lane's next run, may open for its truck after all.
    static void openNeverSent(Lane *lane, const Backend::Transaction::Ptr &report);
    void onBarrierStatus();

    QTimer m_resetTimer;
    QTimer m_exitTimer;
    quint64 m_cycle = 0;
    QMetaObject::Connection m_sessionLink;
    QString m_closedUuid;
    Backend::Transaction::Ptr m_held; // of the open passage, once held
    bool m_heldUnwritten = false;     // it holds more than the disk does
    QList<InterruptedPassage> m_interrupted; // taken over at the run's start, until finished
    QString m_resumedUuid; // the passage last taken up again
    Runs m_runs;
    // The barrier in this passage's Exit: seen open (or its open command taken); an open
    // command that failed, to be sent again once the controller's connection is back.
    bool m_barrierOpened = false;
    bool m_reopen = false;
    bool m_barrierDropped = false;
    // An open command given to the barrier, and what became of it.
    struct OpenCommand
    {
        Backend::Transaction::Ptr report; // of its passage
        bool written = false;             // its first byte went out
        bool presumed = false;            // counted as sent by a stop while it waited its turn
    };
    // This passage's, while it waits its turn: neither written nor failed yet.
    std::shared_ptr<OpenCommand> m_openWaiting;
};
