#include "Deferred/ThreadWorker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMutexLocker>
#include <QTimerEvent>

int ThreadWorkerObjectData::incrementPending()
{
    QMutexLocker lock(&m_mutex);
    return ++m_pending;
}

int ThreadWorkerObjectData::decrementPending()
{
    int count;
    {
        QMutexLocker lock(&m_mutex);
        count = --m_pending;
    }
    if (count == 0)
        emit finishedProcessingCallbacks();
    return count;
}

bool ThreadWorkerObjectData::event(QEvent *e)
{
    if (e->type() == ThreadWorkerDataEvent::EventType) {
        auto *event = static_cast<ThreadWorkerDataEvent *>(e);
        if (event->function)
            event->function();
        decrementPending();
        return true;
    }
    return QObject::event(e);
}

void ThreadWorkerObjectData::timerEvent(QTimerEvent *e)
{
    auto it = m_timerMap.constFind(e->timerId());
    if (it != m_timerMap.constEnd())
        it.value()();
}

void ThreadWorkerObjectData::startLoop(int loopId, const std::function<void()> &fn, unsigned int ms)
{
    const int timerId = startTimer(int(ms), Qt::CoarseTimer);
    if (timerId == 0)
        return;
    m_loopMap.insert(loopId, timerId);
    m_timerMap.insert(timerId, fn);
}

bool ThreadWorkerObjectData::stopLoop(int loopId)
{
    auto it = m_loopMap.find(loopId);
    if (it == m_loopMap.end())
        return false;
    const int timerId = it.value();
    m_loopMap.erase(it);
    m_timerMap.remove(timerId);
    killTimer(timerId);
    return true;
}

void ThreadWorkerObjectData::stopAllLoops()
{
    while (!m_loopMap.isEmpty())
        stopLoop(m_loopMap.firstKey());
}

ThreadWorkerData::ThreadWorkerData()
    : thread(new QThread)
    , worker(new ThreadWorkerObjectData)
{
    threadId = QStringLiteral("QThread(0x%1)").arg(quintptr(thread.data()), 0, 16);
    worker->moveToThread(thread);
    QObject::connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start(QThread::InheritPriority);
}

ThreadWorkerData::~ThreadWorkerData()
{
    // Ask the thread to end without waiting; it deletes itself once finished.
    if (!quitting && thread && !thread->isFinished())
        thread->quit();
}

ThreadWorker::ThreadWorker()
    : d(new ThreadWorkerData)
{
}

bool ThreadWorker::isUsable() const
{
    return !d->quitting && d->thread && d->thread->isRunning() && d->worker;
}

bool ThreadWorker::post(std::function<void()> fn, Qt::EventPriority priority)
{
    auto *event = new ThreadWorkerDataEvent;
    event->function = std::move(fn);
    d->worker->incrementPending();
    QCoreApplication::postEvent(d->worker, event, priority);
    return true;
}

bool ThreadWorker::execInThread(const std::function<void()> &fn, const Qt::EventPriority &priority)
{
    if (!isUsable() || !fn)
        return false;
    return post(fn, priority);
}

int ThreadWorker::startLoopInThread(const std::function<void()> &fn, const unsigned int &ms)
{
    if (!isUsable() || !fn)
        return -1;
    const int loopId = ++d->loopCounter;
    QPointer<ThreadWorkerObjectData> worker = d->worker;
    post([worker, loopId, fn, ms]() { worker->startLoop(loopId, fn, ms); }, Qt::HighEventPriority);
    return loopId;
}

Deferred<> ThreadWorker::stopLoopInThread(const int &loopId)
{
    Deferred<> result;
    if (!isUsable()) {
        result.reject();
        return result;
    }
    QPointer<ThreadWorkerObjectData> worker = d->worker;
    post(
        [worker, loopId, result]() {
            if (worker->stopLoop(loopId)) {
                result.resolve();
            } else {
                qWarning().noquote().nospace() << "ThreadWorker::stopLoopInThread : Invalid loop Id.";
                result.reject();
            }
        },
        Qt::HighEventPriority);
    return result;
}

void ThreadWorker::postStopAll(const Deferred<> &result)
{
    QPointer<ThreadWorkerObjectData> worker = d->worker;
    post(
        [worker, result]() {
            worker->stopAllLoops();
            result.resolve();
        },
        Qt::HighEventPriority);
}

Deferred<> ThreadWorker::stopAllLoopsInThread()
{
    Deferred<> result;
    if (!isUsable()) {
        result.reject();
        return result;
    }
    postStopAll(result);
    return result;
}

Deferred<> ThreadWorker::quitThread()
{
    if (d->quitting || !d->thread || d->thread->isFinished() || !d->worker)
        return Deferred<>::resolved();
    Deferred<> result;
    QObject::connect(d->thread, &QThread::finished, d->worker, [result]() { result.resolve(); });
    // The quit hook is registered before the stop-all function is posted, so it runs
    // in the worker thread inside that function, while the function still counts as
    // pending: the thread quits once it and everything posted before it have run.
    Deferred<> stopAll;
    QPointer<ThreadWorkerObjectData> worker = d->worker;
    QPointer<QThread> thread = d->thread;
    stopAll.done(
        [worker, thread]() {
            QObject::connect(worker, &ThreadWorkerObjectData::finishedProcessingCallbacks, worker, [thread]() {
                if (thread)
                    thread->quit();
            });
        },
        Qt::DirectConnection);
    postStopAll(stopAll);
    d->quitting = true;
    return result;
}

bool ThreadWorker::moveQObjectToThread(QObject *object)
{
    if (!isUsable() || !object)
        return false;
    object->moveToThread(d->thread);
    return true;
}

QThread *ThreadWorker::getThread() const
{
    return d->thread;
}

QString ThreadWorker::getThreadId() const
{
    return d->threadId;
}
