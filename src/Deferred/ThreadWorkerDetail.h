#pragma once
// Internals of ThreadWorker: the object that lives in the worker thread and the shared
// state of the handles. Include "Deferred/ThreadWorker.h", not this header.
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
    Q_DISABLE_COPY(ThreadWorkerObjectData)
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
