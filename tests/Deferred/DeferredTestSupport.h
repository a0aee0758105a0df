#pragma once
// Helpers shared by the deferred tests: a value type that counts its live copies,
// and a thread with an event loop that runs functions on request.
#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>

struct Tracked
{
    static std::atomic<int> alive;
    int value = 0;
    Tracked(int v = 0) : value(v) { ++alive; }
    Tracked(const Tracked &o) : value(o.value) { ++alive; }
    Tracked &operator=(const Tracked &o) = default;
    ~Tracked() { --alive; }
};

// A QThread running its own event loop; run() executes a function there and waits for it.
class LoopThread : public QThread
{
public:
    LoopThread() { begin(); }
    ~LoopThread() override { stop(); }

    // Starts (or restarts) the thread.
    void begin()
    {
        start();
        m_context = new QObject;
        m_context->moveToThread(this);
    }
    // Runs fn in the thread and waits for it; the calling thread handles no events meanwhile.
    void call(const std::function<void()> &fn)
    {
        QMetaObject::invokeMethod(m_context, fn, Qt::BlockingQueuedConnection);
    }
    // Ends the thread and waits until it has finished.
    void stop()
    {
        if (isRunning()) {
            call([this] { delete m_context; });
            m_context = nullptr;
            quit();
            wait();
        }
    }

private:
    QObject *m_context = nullptr;
};
