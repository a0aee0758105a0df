#pragma once
// One card test run of the diagnostics. Copies share the run's completion result.
#include "Deferred/Deferred.h"

#include <QMetaType>
#include <QSharedPointer>
#include <QString>

class Tag;

class Test
{
public:
    QString id;              // the requester's id of the run (empty from the screens)
    QString name;            // the test mode
    QString error;           // why the test failed
    int currCardIndex = 0;   // cards done so far
    int numberOfCards = 0;   // cards to do
    bool result = false;     // the test passed
    QSharedPointer<Tag> card; // the card handled last
    Deferred<Test> completion; // settled once when the run ends
    bool cancelled = false;  // a cancel was requested
    bool finished = false;   // the run has ended
};

Q_DECLARE_METATYPE(Test)
