#pragma once
// One card test run of the diagnostics: a value type whose copies share the run's
// completion result, which settles once, with the final record, when the run ends.
#include "Deferred/Deferred.h"
#include "Models/Tag.h"

#include <QMetaType>
#include <QObject>
#include <QString>

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
    QString id;                // the requester's id of the run (empty from the screens)
    QString name;              // the test mode
    QString error;             // why the test failed
    int currCardIndex = 0;     // cards done so far
    int numberOfCards = 0;     // cards to do
    bool result = false;       // the test passed
    Tag::Ptr card;             // the card handled last
    Deferred<Test> completion; // settled once when the run ends
    bool cancelled = false;    // a cancel was requested
    bool finished = false;     // the run has ended

    static Test create(const QString &name, int numberOfCards, const QString &id)
    {
        Test t;
        t.name = name;
        t.numberOfCards = numberOfCards;
        t.id = id;
        return t;
    }

    // A copy to settle the completion with: it does not hold the completion itself, which
    // would otherwise keep itself alive through its own value.
    Test detached() const
    {
        Test copy(*this);
        copy.completion = Deferred<Test>();
        return copy;
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
    void setFail(const QString &why, const Tag::Ptr &last)
    {
        result = false;
        error = why;
        card = last;
        finished = true;
    }
};

Q_DECLARE_METATYPE(Test)
