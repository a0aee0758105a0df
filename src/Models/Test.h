#pragma once
// One card test run of the diagnostics. Copies share the run's completion result.
#include "Deferred/Deferred.h"

#include "Models/Tag.h"

#include <QMetaType>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <memory>

class Test;

// The completion result of one test run, shared by every copy of the run's record.
//
// The run is settled with a copy of its own record, so that record would hold the
// result that holds it, and neither would ever be freed. The copy kept inside the
// result therefore links to the run weakly; a record copied out of it (a handler's
// argument) links strongly again while any other record of the run still exists,
// and otherwise only remembers how the run ended.
class TestCompletion
{
public:
    TestCompletion() : m_run(std::make_shared<Deferred<Test>>()) {}
    TestCompletion(const TestCompletion &other) { copyFrom(other); }
    TestCompletion &operator=(const TestCompletion &other)
    {
        if (this != &other)
            copyFrom(other);
        return *this;
    }

    bool isPending() const { return state() == Pending; }
    bool isResolved() const { return state() == Resolved; }
    bool isRejected() const { return state() == Rejected; }
    void resolve(const Test &record) const;
    void reject(const Test &record) const;
    void notify(const Test &record) const;

    template<typename F>
    Deferred<Test> done(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return deferred().done(std::forward<F>(handler), type);
    }
    template<typename F>
    Deferred<Test> fail(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return deferred().fail(std::forward<F>(handler), type);
    }
    template<typename F>
    Deferred<Test> progress(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return deferred().progress(std::forward<F>(handler), type);
    }

    // A handle to the run's result. Settle it through the record (resolve, reject,
    // notify above), which keeps the stored copy from holding the run.
    Deferred<Test> deferred() const;
    operator Deferred<Test>() const { return deferred(); }

private:
    enum State { Pending, Resolved, Rejected };
    State state() const;
    void copyFrom(const TestCompletion &other);
    void settle(const Test &record, bool resolved) const;
    std::shared_ptr<Deferred<Test>> link() const;

    std::shared_ptr<Deferred<Test>> m_run; // strong link of an ordinary record
    std::weak_ptr<Deferred<Test>> m_weak;  // link of a record stored in the run's own result
    State m_ended = Pending;               // how the run ended, for a stored record
    bool m_storing = false;                // the next copy is the one the result keeps
};

class Test
{
    Q_GADGET
    Q_PROPERTY(QString id MEMBER id)
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(QString error MEMBER error)
    Q_PROPERTY(int currCardIndex MEMBER currCardIndex)
    Q_PROPERTY(int numberOfCards MEMBER numberOfCards)
    Q_PROPERTY(bool result MEMBER result)
    Q_PROPERTY(QString cardId READ cardId)
    Q_PROPERTY(int percent READ percent)
    Q_PROPERTY(bool inProgress READ inProgress)
    Q_PROPERTY(bool isFinished READ isFinished)
    Q_PROPERTY(bool isCancelled READ isCancelled)

public:
    QString id;              // the requester's id of the run (empty from the screens)
    QString name;            // the test mode
    QString error;           // why the test failed
    int currCardIndex = 0;   // cards done so far
    int numberOfCards = 0;   // cards to do
    bool result = false;     // the test passed
    QSharedPointer<Tag> card; // the card handled last
    TestCompletion completion; // settled once when the run ends
    bool cancelled = false;  // a cancel was requested
    bool finished = false;   // the run has ended

    static Test create(const QString &name, int numberOfCards, const QString &id)
    {
        Test t;
        t.name = name;
        t.numberOfCards = numberOfCards;
        t.id = id;
        return t;
    }

    QString cardId() const { return card ? card->uid() : QStringLiteral("<none>"); }
    int percent() const { return numberOfCards < 1 ? 0 : currCardIndex * 100 / numberOfCards; }
    bool isFinished() const { return finished || currCardIndex >= numberOfCards; }
    bool isCancelled() const { return cancelled; }
    bool inProgress() const { return !isFinished() && !isCancelled(); }

    Q_INVOKABLE void cancel() { cancelled = true; }
    void incrCardIndex()
    {
        if (currCardIndex < numberOfCards)
            ++currCardIndex;
    }
    void setPass()
    {
        result = true;
        error.clear();
        finished = true;
    }
    void setFail(const QString &why, const QSharedPointer<Tag> &last)
    {
        result = false;
        error = why;
        card = last;
        finished = true;
    }
};

inline void TestCompletion::copyFrom(const TestCompletion &other)
{
    m_ended = other.m_ended;
    m_storing = false;
    if (other.m_storing) {
        // The copy that the result keeps: weak.
        m_run.reset();
        m_weak = other.m_weak;
    } else if (other.m_run) {
        m_run = other.m_run;
        m_weak.reset();
    } else {
        // Copied out of the result: strong again while the run has other records.
        m_run = other.m_weak.lock();
        m_weak = m_run ? std::weak_ptr<Deferred<Test>>() : other.m_weak;
    }
}

inline std::shared_ptr<Deferred<Test>> TestCompletion::link() const
{
    return m_run ? m_run : m_weak.lock();
}

inline Deferred<Test> TestCompletion::deferred() const
{
    if (const auto run = link())
        return *run;
    // Every record of the run is gone: a result settled the way the run ended.
    Deferred<Test> ended;
    ended.rejectZero();
    return ended;
}

inline TestCompletion::State TestCompletion::state() const
{
    const auto run = link();
    if (!run)
        return m_ended;
    return run->isPending() ? Pending : run->isResolved() ? Resolved : Rejected;
}

inline void TestCompletion::settle(const Test &record, bool resolved) const
{
    const auto run = link();
    if (!run || !run->isPending()) {
        // Settled already: the result only warns.
        const Deferred<Test> d = deferred();
        resolved ? d.resolve(record) : d.reject(record);
        return;
    }
    Test stored = record;
    if (stored.completion.link() == run) {
        stored.completion.m_run.reset();
        stored.completion.m_weak = run;
        stored.completion.m_ended = resolved ? Resolved : Rejected;
        stored.completion.m_storing = true;
    }
    resolved ? run->resolve(stored) : run->reject(stored);
}

inline void TestCompletion::resolve(const Test &record) const
{
    settle(record, true);
}

inline void TestCompletion::reject(const Test &record) const
{
    settle(record, false);
}

inline void TestCompletion::notify(const Test &record) const
{
    deferred().notify(record);
}

Q_DECLARE_METATYPE(Test)
