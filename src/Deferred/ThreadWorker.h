#pragma once
// A worker thread of its own behind a copyable handle: run functions once in it,
// run functions periodically in it (loops), move objects into it, and quit it.
// One worker is driven from one thread.
#include "Deferred/Deferred.h"

#include <QExplicitlySharedDataPointer>
#include <QObject>
#include <QString>

#include <functional>

class QThread;
class ThreadWorkerData;

class ThreadWorker
{
public:
    ThreadWorker();
    ThreadWorker(const ThreadWorker &other) = default;
    ThreadWorker &operator=(const ThreadWorker &other) = default;
    ~ThreadWorker() = default;

    // Runs fn once in the worker thread; false when the worker does not run or is quitting.
    bool execInThread(const std::function<void()> &fn,
                      const Qt::EventPriority &priority = Qt::NormalEventPriority);
    // Runs fn every ms milliseconds in the worker thread; the loop id, or -1.
    int startLoopInThread(const std::function<void()> &fn, const unsigned int &ms);
    // Resolved once the loop is stopped; rejected for an unknown loop id.
    Deferred<> stopLoopInThread(const int &loopId);
    Deferred<> stopAllLoopsInThread();
    // Stops the loops, lets the functions already posted run, and ends the thread;
    // resolved once the thread has finished.
    Deferred<> quitThread();
    bool moveQObjectToThread(QObject *object);

    QThread *getThread() const;
    QString getThreadId() const;

private:
    bool isUsable() const;
    bool post(std::function<void()> fn, Qt::EventPriority priority);
    void postStopAll(const Deferred<> &result);

    QExplicitlySharedDataPointer<ThreadWorkerData> d;
};

#include "Deferred/ThreadWorkerDetail.h"
