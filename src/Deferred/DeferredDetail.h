#pragma once
// Internals of Deferred results: the per-thread delivery of handler calls, the
// shared result with its handler lists. Include "Deferred/Deferred.h", not this header.
#include <QCoreApplication>
#include <QDebug>
#include <QEvent>
#include <QExplicitlySharedDataPointer>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSharedData>
#include <QThread>
#include <QVarLengthArray>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

template<typename... Types> class Deferred;
class DeferredProxyObject;

namespace GCC_DEF_FIX {
// Calls a handler with the stored values of a settled result (or of one progress report).
template<typename... Types>
void finishedFunctionTemplate(const std::function<void(const Types &...)> &handler, const Types &...values)
{
    handler(values...);
}
} // namespace GCC_DEF_FIX

// The event that carries one handler call to the thread that registered it.
class DeferredProxyEvent : public QEvent
{
public:
    static constexpr QEvent::Type EventType = QEvent::Type(QEvent::User + 123);
    DeferredProxyEvent() : QEvent(EventType) {}
    void setFunction(std::function<void()> fn) { m_function = std::move(fn); }
    void run() const { if (m_function) m_function(); }

private:
    std::function<void()> m_function;
};

// Links the results that hold handlers of one thread to that thread's delivery
// object. The delivery object clears it when it is destroyed, so a result never
// posts to a delivery object that is gone, and a result that outlives the
// thread simply stops delivering to it.
class DeferredThreadHook
{
public:
    explicit DeferredThreadHook(QThread *thread) : m_thread(thread) {}
    DeferredThreadHook(const DeferredThreadHook &) = delete;
    DeferredThreadHook &operator=(const DeferredThreadHook &) = delete;

    void ref() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    void deref()
    {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
    QThread *thread() const { return m_thread; }
    // True while the thread's delivery object exists.
    bool isDelivering() const { return m_proxy.load(std::memory_order_acquire) != nullptr; }
    // True while the delivery object is the thread's registered one.
    bool isRegistered() const { return m_registered.load(std::memory_order_acquire); }
    // Posts fn to the delivery object with high priority; false (fn dropped) when it is gone.
    bool post(std::function<void()> &&fn);

private:
    friend class DeferredProxyObject;
    friend class DeferredDataBase;
    QThread *const m_thread;
    std::atomic<int> m_refs{1};
    std::atomic<DeferredProxyObject *> m_proxy{nullptr};
    std::atomic<bool> m_registered{true};
    std::mutex m_mutex; // guards posting against the delivery object's destruction
};

// The delivery object of one thread: runs the handler calls posted to it.
class DeferredProxyObject : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DeferredProxyObject)
public:
    DeferredProxyObject();
    ~DeferredProxyObject() override;
    bool event(QEvent *e) override;
    DeferredThreadHook *hook() const { return m_hook; }

private:
    DeferredThreadHook *m_hook;
};

// Process-wide registry of the delivery objects, one per thread.
class DeferredDataBase
{
public:
    // The thread's delivery object, created (in the calling thread) when it has none.
    static DeferredProxyObject *getObjectForThread(QThread *thread);
    // The calling thread's hook; valid as long as the calling thread runs.
    static DeferredThreadHook *currentThreadHook();

private:
    static void threadFinished(QThread *thread);
    static QMutex s_mutex;
    static QMap<QThread *, DeferredProxyObject *> s_threadMap;
    static QObject s_objExitCleaner;
};

// Small list that keeps its first element inline, so a result with one handler
// of a kind costs no allocation.
template<typename T>
class DeferredSmallList
{
public:
    int size() const { return m_first ? 1 + int(m_rest.size()) : 0; }
    bool isEmpty() const { return !m_first; }
    T &operator[](int i) { return i == 0 ? *m_first : m_rest[size_t(i - 1)]; }
    void append(T &&v)
    {
        if (!m_first)
            m_first.emplace(std::move(v));
        else
            m_rest.push_back(std::move(v));
    }
    void clear()
    {
        m_first.reset();
        m_rest.clear();
    }
    // Moves the whole list out, leaving this one empty.
    DeferredSmallList take()
    {
        DeferredSmallList out;
        if (m_first) {
            out.m_first.emplace(std::move(*m_first));
            m_first.reset();
            out.m_rest.swap(m_rest);
        }
        return out;
    }

private:
    std::optional<T> m_first;
    std::vector<T> m_rest;
};

// Handler lists of one thread on one result.
template<typename... Types>
struct DeferredAllCallbacks
{
    using Handler = std::function<void(const Types &...)>;
    using ZeroHandler = std::function<void()>;
    struct CallbackData
    {
        Handler handler;
        Qt::ConnectionType type;
    };
    struct CallbackDataZero
    {
        ZeroHandler handler;
        Qt::ConnectionType type;
    };

    DeferredSmallList<CallbackData> done;
    DeferredSmallList<CallbackData> fail;
    DeferredSmallList<CallbackData> progress;
    DeferredSmallList<CallbackDataZero> doneZero;
    DeferredSmallList<CallbackDataZero> failZero;

    void clearSettlementLists()
    {
        done.clear();
        fail.clear();
        doneZero.clear();
        failZero.clear();
    }
    void clearAll()
    {
        clearSettlementLists();
        progress.clear();
    }
};

// The shared state of a result.
template<typename... Types>
class DeferredData : public QSharedData, public DeferredDataBase
{
public:
    using Handle = Deferred<Types...>;
    using Callbacks = DeferredAllCallbacks<Types...>;
    using Handler = typename Callbacks::Handler;
    using ZeroHandler = typename Callbacks::ZeroHandler;
    enum State { Pending = 0, Resolved = 1, Rejected = 2 };

    DeferredData() = default;
    DeferredData(const DeferredData &) = delete;
    DeferredData &operator=(const DeferredData &) = delete;
    ~DeferredData()
    {
        // Handlers still waiting are dropped without running.
        if (m_first)
            m_first->hook->deref();
        for (auto &e : m_more)
            e->hook->deref();
    }

    int state()
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        return m_state;
    }

    void resolve(const Handle &self, const Types &...values)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state != Pending) {
            qWarning().noquote().nospace() << "Cannot resolve already processed deferred object.";
            return;
        }
        m_state = Resolved;
        m_finished.emplace(values...);
        settle(self, Resolved);
    }

    void reject(const Handle &self, const Types &...values)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state != Pending) {
            qWarning().noquote().nospace() << "Cannot reject already processed deferred object.";
            return;
        }
        m_state = Rejected;
        m_finished.emplace(values...);
        settle(self, Rejected);
    }

    void rejectZero(const Handle &self)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state != Pending) {
            qWarning().noquote().nospace() << "Cannot reject already processed deferred object.";
            return;
        }
        m_state = Rejected;
        settle(self, Pending); // no values: failZero handlers only
    }

    void notify(const Handle &self, const Types &...values)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state != Pending) {
            qWarning().noquote().nospace() << "Cannot notify already processed deferred object.";
            return;
        }
        const std::tuple<Types...> bound(values...);
        QThread *const current = QThread::currentThread();
        const auto entries = snapshot();
        for (Entry *e : entries) {
            if (!e->hook->isDelivering()) {
                e->cbs.clearAll();
                continue;
            }
            // The length is read anew: a handler may add another one for this thread.
            for (int i = 0; i < e->cbs.progress.size(); ++i) {
                const Qt::ConnectionType type = e->cbs.progress[i].type;
                Handler h = e->cbs.progress[i].handler;
                if (type == Qt::DirectConnection || (type == Qt::AutoConnection && e->thread == current)) {
                    std::apply([&h](const Types &...v) { GCC_DEF_FIX::finishedFunctionTemplate<Types...>(h, v...); },
                               bound);
                } else if (type == Qt::QueuedConnection || type == Qt::AutoConnection) {
                    e->hook->post([self, bound, h = std::move(h)]() {
                        std::apply([&h](const Types &...v) { GCC_DEF_FIX::finishedFunctionTemplate<Types...>(h, v...); },
                                   bound);
                    });
                }
            }
        }
    }

    void done(Handler handler, Qt::ConnectionType type)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state == Resolved)
            callFinished(handler);
        else
            getCallbacksForThread().done.append({std::move(handler), type});
    }

    void fail(Handler handler, Qt::ConnectionType type)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state == Rejected && m_finished)
            callFinished(handler);
        else
            getCallbacksForThread().fail.append({std::move(handler), type});
    }

    void progress(Handler handler, Qt::ConnectionType type)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        getCallbacksForThread().progress.append({std::move(handler), type});
    }

    void doneZero(ZeroHandler handler, Qt::ConnectionType type)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state == Resolved)
            handler();
        else
            getCallbacksForThread().doneZero.append({std::move(handler), type});
    }

    void failZero(ZeroHandler handler, Qt::ConnectionType type)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (m_state == Rejected)
            handler();
        else
            getCallbacksForThread().failZero.append({std::move(handler), type});
    }

    // The calling thread's handler lists, created on first use. Caller holds the lock.
    Callbacks &getCallbacksForThread()
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        DeferredThreadHook *hook = DeferredDataBase::currentThreadHook();
        if (m_first && m_first->hook == hook)
            return m_first->cbs;
        for (auto &e : m_more)
            if (e->hook == hook)
                return e->cbs;
        // A thread restarted after it finished gets a new delivery object; what it
        // registered before is dropped.
        Entry *entry = nullptr;
        if (m_first && m_first->thread == hook->thread())
            entry = &*m_first;
        for (auto &e : m_more)
            if (e->thread == hook->thread())
                entry = e.get();
        if (entry) {
            entry->cbs.clearAll();
            entry->hook->deref();
            entry->hook = hook;
            hook->ref();
            return entry->cbs;
        }
        hook->ref();
        if (!m_first) {
            m_first.emplace(hook);
            return m_first->cbs;
        }
        m_more.push_back(std::make_unique<Entry>(hook));
        return m_more.back()->cbs;
    }

    // Calls handler with the stored values. Used without the lock by queued
    // deliveries: the values are written once, before any delivery is posted.
    void callFinished(const Handler &handler) const
    {
        std::apply([&handler](const Types &...v) { GCC_DEF_FIX::finishedFunctionTemplate<Types...>(handler, v...); },
                   *m_finished);
    }

    // Join counter of `when`; only touched on the thread that made the join.
    int m_joinCounter = 0;

private:
    struct Entry
    {
        explicit Entry(DeferredThreadHook *h) : thread(h->thread()), hook(h) {}
        QThread *thread;
        DeferredThreadHook *hook;
        Callbacks cbs;
    };

    // Entries in ascending thread order, taken before any handler runs.
    QVarLengthArray<Entry *, 4> snapshot()
    {
        QVarLengthArray<Entry *, 4> out;
        if (m_first)
            out.append(&*m_first);
        for (auto &e : m_more)
            out.append(e.get());
        if (out.size() > 1)
            std::stable_sort(out.begin(), out.end(),
                             [](Entry *a, Entry *b) { return std::less<QThread *>()(a->thread, b->thread); });
        return out;
    }

    // Runs or delivers the handlers of a settlement. outcome: Resolved (done lists),
    // Rejected (fail lists), Pending for a rejection without values (failZero only).
    void settle(const Handle &self, int outcome)
    {
        QThread *const current = QThread::currentThread();
        const auto entries = snapshot();
        for (Entry *e : entries) {
            if (!e->hook->isDelivering()) {
                // The thread has ended: nothing is delivered to it any more.
                e->cbs.clearAll();
                continue;
            }
            const bool here = e->thread == current;
            if (outcome != Pending) {
                auto values = outcome == Resolved ? e->cbs.done.take() : e->cbs.fail.take();
                for (int i = 0; i < values.size(); ++i) {
                    auto &cb = values[i];
                    if (cb.type == Qt::DirectConnection || (cb.type == Qt::AutoConnection && here)) {
                        callFinished(cb.handler);
                    } else if (cb.type == Qt::QueuedConnection || cb.type == Qt::AutoConnection) {
                        e->hook->post([self, h = std::move(cb.handler)]() { self.d->callFinished(h); });
                    }
                }
            }
            auto zeros = outcome == Resolved ? e->cbs.doneZero.take() : e->cbs.failZero.take();
            for (int i = 0; i < zeros.size(); ++i) {
                auto &cb = zeros[i];
                if (cb.type == Qt::DirectConnection || (cb.type == Qt::AutoConnection && here)) {
                    cb.handler();
                } else if (cb.type == Qt::QueuedConnection || cb.type == Qt::AutoConnection) {
                    e->hook->post([self, h = std::move(cb.handler)]() { h(); });
                }
            }
            if (outcome != Pending) {
                e->cbs.clearSettlementLists();
            } else {
                e->cbs.doneZero.clear();
                e->cbs.failZero.clear();
            }
        }
    }

    std::optional<std::tuple<Types...>> m_finished; // the settlement values, once set
    std::optional<Entry> m_first;                   // the first registering thread
    std::vector<std::unique_ptr<Entry>> m_more;     // further registering threads
    int m_state = Pending;
    std::recursive_mutex m_lock;
};
