#pragma once
// A worker thread of its own behind a copyable handle: run functions once in it,
// run functions periodically in it (loops), move objects into it, and quit it.
// One worker is driven from one thread.
#include "Deferred/Deferred.h"

#include <QEvent>
#include <QExplicitlySharedDataPointer>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSharedData>
#include <QString>
#include <QThread>

#include <functional>

// Carries one function into the worker thread.
class ThreadWorkerDataEvent : public QEvent
{
public:
    static constexpr QEvent::Type EventType = QEvent::Type(QEvent::User + 666);
    ThreadWorkerDataEvent() : QEvent(EventType) {}
    std::function<void()> function;
};

// Lives in the worker thread; runs the posted functions and the loops.
class ThreadWorkerObjectData : public QObject
{
    Q_OBJECT
public:
    ThreadWorkerObjectData() = default;
    ~ThreadWorkerObjectData() override = default;

    int incrementPending();
    int decrementPending();

    bool event(QEvent *e) override;

    // Worker thread only.
    void startLoop(int loopId, const std::function<void()> &fn, unsigned int ms);
    bool stopLoop(int loopId);
    void stopAllLoops();

signals:
    void finishedProcessingCallbacks();

protected:
    void timerEvent(QTimerEvent *e) override;

private:
    QMap<int, std::function<void()>> m_timerMap; // timer id to loop function
    QMap<int, int> m_loopMap;                    // loop id to timer id
    int m_pending = 0;
    QMutex m_mutex; // guards m_pending
};

class ThreadWorkerData : public QSharedData
{
public:
    ThreadWorkerData();
    ~ThreadWorkerData();

    QPointer<QThread> thread;
    QPointer<ThreadWorkerObjectData> worker;
    QString threadId;
    int loopCounter = 0;
    bool quitting = false;
};

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
