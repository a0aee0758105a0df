#pragma once
// Internals of Deferred results: the per-thread delivery of handler calls, the
// shared result with its handler lists. Include "Deferred/Deferred.h", not this header.
#include <QCoreApplication>
#include <QDebug>
#include <QEvent>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSharedData>
#include <QThread>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>
#include <new>
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
template<typename... Types> class DeferredData;
template<typename... Types> class DeferredRegistration;
class DeferredProxyObject;


// The handle's one pointer to its shared state: intrusive and explicitly shared,
// like QExplicitlySharedDataPointer, but a new state is adopted with its count set
// to one rather than raised to it. Besides the count, the state notes every handle
// made or moved (T::noteHandle), so that a settlement can tell that none was passed
// on while it ran (see Deferred::settle).
template<typename T>
class DeferredPtr
{
public:
    static DeferredPtr adopt(T *t)
    {
        t->ref.storeRelaxed(1);
        DeferredPtr p;
        p.m_t = t;
        return p;
    }
    // For a reference already counted.
    static DeferredPtr adopted(T *t)
    {
        DeferredPtr p;
        p.m_t = t;
        return p;
    }
    explicit DeferredPtr(T *t) : m_t(t) { addRef(m_t); }
    DeferredPtr(const DeferredPtr &o) noexcept : m_t(o.m_t) { addRef(m_t); }
    // The source is left empty: it may only be assigned to or destroyed.
    DeferredPtr(DeferredPtr &&o) noexcept : m_t(o.m_t)
    {
        o.m_t = nullptr;
        if (m_t)
            m_t->noteHandle();
    }
    DeferredPtr &operator=(DeferredPtr &&o) noexcept
    {
        std::swap(m_t, o.m_t);
        if (m_t)
            m_t->noteHandle();
        return *this;
    }
    DeferredPtr &operator=(const DeferredPtr &o)
    {
        T *old = m_t;
        addRef(o.m_t);
        m_t = o.m_t;
        release(old);
        return *this;
    }
    ~DeferredPtr() { release(m_t); }
    T *operator->() const { return m_t; }
    T *data() const { return m_t; }

    static void addRef(T *t)
    {
        t->ref.ref();
        t->noteHandle();
    }
    static void release(T *t)
    {
        if (t && !t->ref.deref())
            delete t;
    }

private:
    DeferredPtr() = default;
    T *m_t = nullptr;
};


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
// thread simply stops delivering to it. Hooks live as long as the process (one per
// thread that ever registered a handler), so results refer to them without counting.
class DeferredThreadHook
{
public:
    explicit DeferredThreadHook(QThread *thread) : m_thread(thread) {}
    DeferredThreadHook(const DeferredThreadHook &) = delete;
    DeferredThreadHook &operator=(const DeferredThreadHook &) = delete;

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
    std::atomic<DeferredProxyObject *> m_proxy{nullptr};
    std::atomic<bool> m_registered{true};
    std::mutex m_mutex; // guards posting against the delivery object's destruction
};

// The delivery object of one thread: runs the handler calls posted to it.
class DeferredProxyObject : public QObject
{
    Q_OBJECT
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
    static DeferredThreadHook *currentThreadHook()
    {
        DeferredThreadHook *&cache = hookCache();
        if (cache && cache->isRegistered())
            return cache;
        return refreshHook();
    }
    // QThread::currentThread(), remembered per thread.
    static QThread *currentThread()
    {
        static thread_local QThread *const thread = QThread::currentThread();
        return thread;
    }

private:
    static DeferredThreadHook *&hookCache()
    {
        static thread_local DeferredThreadHook *cache = nullptr;
        return cache;
    }
    static DeferredThreadHook *refreshHook();
    static void threadFinished(QThread *thread);
    static QMutex s_mutex;
    static QMap<QThread *, DeferredProxyObject *> s_threadMap;
    static QObject s_objExitCleaner;
};

// A handler of a result, with its type erased. Closures of up to InlineSize bytes
// (most hold a handle or two and a few references) are kept inline, so registering
// one costs no allocation. A handler is called with the stored values of a
// settlement or of a progress report, or with none.
template<typename... Types>
class DeferredHandler
{
public:
    using Values = std::tuple<Types...>;
    // What a settlement asks of a handler; only forwarders tell the roles apart.
    enum Role { RoleDone, RoleFail, RoleProgress, RoleFailZero };
    static constexpr size_t InlineSize = 40;

    DeferredHandler() noexcept = default;
    DeferredHandler(const DeferredHandler &o) : m_ops(o.m_ops)
    {
        if (m_ops)
            m_ops->copy(m_buf, o.m_buf);
    }
    DeferredHandler(DeferredHandler &&o) noexcept : m_ops(o.m_ops)
    {
        if (m_ops) {
            m_ops->move(m_buf, o.m_buf);
            o.m_ops = nullptr;
        }
    }
    DeferredHandler &operator=(DeferredHandler o) noexcept
    {
        reset();
        if (o.m_ops) {
            o.m_ops->move(m_buf, o.m_buf);
            m_ops = o.m_ops;
            o.m_ops = nullptr;
        }
        return *this;
    }
    ~DeferredHandler() { reset(); }

    // Inv::run(F &, const Values *, Role) calls the closure.
    template<typename Inv, typename F>
    static DeferredHandler make(F &&f)
    {
        DeferredHandler h;
        h.assign<Inv>(std::forward<F>(f));
        return h;
    }
    // Replaces the closure with f, built in place.
    template<typename Inv, typename F>
    void assign(F &&f)
    {
        using Fn = std::decay_t<F>;
        reset();
        if constexpr (fitsInline<Fn>()) {
            new (m_buf) Fn(std::forward<F>(f));
        } else {
            Fn *p = new Fn(std::forward<F>(f));
            std::memcpy(m_buf, &p, sizeof p);
        }
        m_ops = &Ops<Fn, Inv>::table;
    }

    explicit operator bool() const { return m_ops != nullptr; }
    void reset() noexcept
    {
        if (m_ops) {
            m_ops->destroy(m_buf);
            m_ops = nullptr;
        }
    }
    void operator()(const Values *values, Role role) const { m_ops->call(m_buf, values, role); }

private:
    struct Table
    {
        void (*call)(void *buf, const Values *values, Role role);
        void (*copy)(void *to, const void *from);
        void (*move)(void *to, void *from) noexcept;
        void (*destroy)(void *buf) noexcept;
    };
    template<typename Fn>
    static constexpr bool fitsInline()
    {
        return sizeof(Fn) <= InlineSize && alignof(Fn) <= alignof(void *)
               && std::is_nothrow_move_constructible<Fn>::value;
    }
    template<typename Fn, typename Inv>
    struct Ops
    {
        static Fn *get(void *buf)
        {
            if constexpr (fitsInline<Fn>()) {
                return std::launder(reinterpret_cast<Fn *>(buf));
            } else {
                Fn *p;
                std::memcpy(&p, buf, sizeof p);
                return p;
            }
        }
        static void call(void *buf, const Values *values, Role role) { Inv::run(*get(buf), values, role); }
        static void copy(void *to, const void *from)
        {
            const Fn &f = *get(const_cast<void *>(from));
            if constexpr (fitsInline<Fn>()) {
                new (to) Fn(f);
            } else {
                Fn *p = new Fn(f);
                std::memcpy(to, &p, sizeof p);
            }
        }
        static void move(void *to, void *from) noexcept
        {
            if constexpr (fitsInline<Fn>()) {
                Fn *f = get(from);
                new (to) Fn(std::move(*f));
                f->~Fn();
            } else {
                std::memcpy(to, from, sizeof(Fn *));
            }
        }
        static void destroy(void *buf) noexcept
        {
            if constexpr (fitsInline<Fn>())
                get(buf)->~Fn();
            else
                delete get(buf);
        }
        static constexpr Table table{&call, &copy, &move, &destroy};
    };
    const Table *m_ops = nullptr;
    alignas(void *) mutable unsigned char m_buf[InlineSize];
};

// Handler lists of one thread on one result. The five kinds (done, fail, progress,
// doneZero, failZero) are kept in one list in registration order, each entry marked
// with its kind; a settlement runs the entries of its kinds in that order, the value
// handlers first and the value-less ones after them, as five separate lists would.
// A forwarder (chaining) stands for a done, a fail, a progress and a failZero handler
// registered one after the other.
template<typename... Types>
struct DeferredAllCallbacks
{
    using Handler = DeferredHandler<Types...>;
    enum Kind : unsigned char { Done, Fail, Progress, DoneZero, FailZero, Forward };
    struct Entry
    {
        Handler handler;
        Kind kind = Done;
        Qt::ConnectionType type = Qt::AutoConnection;
    };

    // The first two entries are kept inline (a chained result holds two); further ones
    // go to a vector. Only the inline ones stay in place while entries are added.
    class List
    {
    public:
        int size() const { return m_count + int(m_rest.size()); }
        bool isEmpty() const { return m_count == 0; }
        Entry &operator[](int i) { return i < Inline ? m_inline[i] : m_rest[size_t(i - Inline)]; }
        // Adds an entry whose handler is built in place from f.
        template<typename Call, typename F>
        void emplace(F &&f, Kind kind, Qt::ConnectionType type)
        {
            Entry *e;
            if (m_count < Inline) {
                e = &m_inline[m_count++]; // empty: slots past the count hold no handler
            } else {
                m_rest.emplace_back();
                e = &m_rest.back();
            }
            e->handler.template assign<Call>(std::forward<F>(f));
            e->kind = kind;
            e->type = type;
        }
        void clear()
        {
            for (int i = 0; i < m_count; ++i)
                m_inline[i].handler.reset();
            m_count = 0;
            if (!m_rest.empty())
                m_rest.clear();
        }
        // Removes those of the first n entries for which drop(kind) holds, keeping the
        // order of the others and of the entries after them.
        template<typename P>
        void removeFirst(int n, P drop)
        {
            const int total = size();
            int to = 0;
            for (int from = 0; from < total; ++from) {
                Entry &e = (*this)[from];
                if (from < n && drop(e.kind))
                    continue;
                if (to != from) {
                    Entry &t = (*this)[to];
                    t.handler = std::move(e.handler);
                    t.kind = e.kind;
                    t.type = e.type;
                }
                ++to;
            }
            while (size() > to) {
                if (!m_rest.empty())
                    m_rest.pop_back();
                else
                    m_inline[--m_count].handler.reset();
            }
        }

    private:
        static constexpr int Inline = 2;
        Entry m_inline[Inline];
        int m_count = 0;
        std::vector<Entry> m_rest;
    };

    List entries;

    void clearAll() { entries.clear(); }
};

// A recursive lock: a plain mutex plus its owner and depth, which is cheaper to take
// than a recursive pthread mutex. The owner is written only by the thread that holds
// the mutex, and read by others only to learn that they are not it.
class DeferredRecursiveLock
{
public:
    void lock()
    {
        const void *self = threadId();
        if (m_owner.load(std::memory_order_relaxed) == self) {
            ++m_depth;
            return;
        }
        m_mutex.lock();
        m_owner.store(self, std::memory_order_relaxed);
        m_depth = 1;
    }
    void unlock()
    {
        if (--m_depth == 0) {
            m_owner.store(nullptr, std::memory_order_relaxed);
            m_mutex.unlock();
        }
    }

private:
    static const void *threadId()
    {
        static thread_local char marker;
        return &marker;
    }
    std::mutex m_mutex;
    std::atomic<const void *> m_owner{nullptr};
    int m_depth = 0;
};

// Holds a counted reference to a state once hold() was called; lets go when destroyed.
template<typename Data>
class DeferredKeepAlive
{
public:
    DeferredKeepAlive() = default;
    DeferredKeepAlive(DeferredKeepAlive &&o) noexcept : m_d(o.m_d)
    {
        o.m_d = nullptr;
        if (m_d)
            m_d->noteHandle();
    }
    DeferredKeepAlive &operator=(const DeferredKeepAlive &) = delete;
    ~DeferredKeepAlive() { DeferredPtr<Data>::release(m_d); }
    void hold(Data *d)
    {
        if (!m_d) {
            m_d = d;
            DeferredPtr<Data>::addRef(d);
        }
    }

private:
    Data *m_d = nullptr;
};

// The shared state of a result.
template<typename... Types>
class DeferredData : public QSharedData, public DeferredDataBase
{
public:
    using Handle = Deferred<Types...>;
    using Callbacks = DeferredAllCallbacks<Types...>;
    using Handler = typename Callbacks::Handler;
    using Values = std::tuple<Types...>;
    using Kind = typename Callbacks::Kind;
    using Entry = typename Callbacks::Entry;
    enum State { Pending = 0, Resolved = 1, Rejected = 2 };

    DeferredData() = default;
    DeferredData(const DeferredData &) = delete;
    DeferredData &operator=(const DeferredData &) = delete;
    // Handlers still waiting are dropped without running.
    ~DeferredData() = default;

    int state()
    {
        std::lock_guard<DeferredRecursiveLock> lock(m_lock);
        return m_state;
    }

    void resolve(const Handle &self, const Types &...values)
    {
        std::lock_guard<DeferredRecursiveLock> lock(m_lock);
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
        std::lock_guard<DeferredRecursiveLock> lock(m_lock);
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
        std::lock_guard<DeferredRecursiveLock> lock(m_lock);
        if (m_state != Pending) {
            qWarning().noquote().nospace() << "Cannot reject already processed deferred object.";
            return;
        }
        m_state = Rejected;
        settle(self, Pending); // no values: failZero handlers only
    }

    void notify(const Handle &self, const Types &...values)
    {
        std::lock_guard<DeferredRecursiveLock> lock(m_lock);
        if (m_state != Pending) {
            qWarning().noquote().nospace() << "Cannot notify already processed deferred object.";
            return;
        }
        const Values bound(values...);
        QThread *const current = DeferredDataBase::currentThread();
        const auto threads = snapshot();
        for (ThreadEntry *e : threads) {
            if (!e->hook->isDelivering()) {
                e->cbs.clearAll();
                continue;
            }
            // The length is read anew: a handler may add another one for this thread.
            for (int i = 0; i < e->cbs.entries.size(); ++i) {
                const Entry &entry = e->cbs.entries[i];
                if (entry.kind != Callbacks::Progress && entry.kind != Callbacks::Forward)
                    continue;
                const Qt::ConnectionType type = entry.type;
                if (type == Qt::DirectConnection || (type == Qt::AutoConnection && e->thread == current)) {
                    Handler h = entry.handler; // the handler may add to this list
                    h(&bound, Handler::RoleProgress);
                } else if (type == Qt::QueuedConnection || type == Qt::AutoConnection) {
                    e->hook->post([self, bound, h = entry.handler]() { h(&bound, Handler::RoleProgress); });
                }
            }
        }
    }

    // Registration of f, called through Call::run(f, values, role). A handler that
    // runs at once may release the handle it was registered through: the state then
    // keeps itself alive until `keep` lets go (at the caller's end of the expression).
    template<typename Call, typename F>
    void add(Kind kind, F &&f, Qt::ConnectionType type, DeferredKeepAlive<DeferredData> &keep)
    {
        if (isUnique()) {
            addLocked<Call>(kind, std::forward<F>(f), type, keep);
            return;
        }
        std::lock_guard<DeferredRecursiveLock> lock(m_lock);
        addLocked<Call>(kind, std::forward<F>(f), type, keep);
    }
    template<typename Call, typename F>
    void add(Kind kind, F &&f, Qt::ConnectionType type)
    {
        DeferredKeepAlive<DeferredData> keep;
        add<Call>(kind, std::forward<F>(f), type, keep);
    }
    // Registers a pair under one lock (chaining: done, then failZero).
    template<typename Call1, typename Call2, typename F1, typename F2>
    void add(Kind kind1, F1 &&f1, Kind kind2, F2 &&f2, Qt::ConnectionType type)
    {
        DeferredKeepAlive<DeferredData> keep;
        std::unique_lock<DeferredRecursiveLock> lock(m_lock, std::defer_lock);
        if (!isUnique())
            lock.lock();
        addLocked<Call1>(kind1, std::forward<F1>(f1), type, keep);
        addLocked<Call2>(kind2, std::forward<F2>(f2), type, keep);
    }

    // The calling thread's handler lists, created on first use.
    Callbacks &getCallbacksForThread()
    {
        std::lock_guard<DeferredRecursiveLock> lock(m_lock);
        return callbacksForThread();
    }

    // Calls a value handler with the stored values. Used without the lock by queued
    // deliveries: the values are written once, before any delivery is posted.
    void callFinished(const Handler &handler, typename Handler::Role role) const { handler(&*m_finished, role); }

    // Join counter of `when`; only touched on the thread that made the join.
    int m_joinCounter = 0;

    // Every handle made or moved; compared by a settlement on its own thread only, so a
    // plain increment does (see Deferred::settle).
    void noteHandle() { m_handles.store(m_handles.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
    unsigned handlesNoted() const { return m_handles.load(std::memory_order_relaxed); }

private:
    // True while the caller's handle is the only one: no other thread can reach the state
    // then, and registering needs no lock. A handler that runs at once and passes a copy on
    // cannot meet the registration: it has ended by then.
    bool isUnique() const { return this->ref.loadAcquire() == 1; }

    struct ThreadEntry
    {
        explicit ThreadEntry(DeferredThreadHook *h) : thread(h->thread()), hook(h) {}
        QThread *thread;
        DeferredThreadHook *hook;
        Callbacks cbs;
    };

    template<typename Call, typename F>
    void addLocked(Kind kind, F &&f, Qt::ConnectionType type, DeferredKeepAlive<DeferredData> &keep)
    {
        if (m_state != Pending) {
            const Values *values = m_finished ? &*m_finished : nullptr;
            bool now = false;
            switch (kind) {
            case Callbacks::Done:
            case Callbacks::DoneZero:
                now = m_state == Resolved;
                break;
            case Callbacks::Fail:
                // A rejection without values has nothing to give: the handler waits for ever.
                now = m_state == Rejected && values;
                break;
            case Callbacks::FailZero:
            case Callbacks::Forward:
                now = m_state == Rejected || (kind == Callbacks::Forward && m_state == Resolved);
                break;
            case Callbacks::Progress:
                break;
            }
            if (now) {
                keep.hold(this);
                if (kind == Callbacks::Forward && m_state == Rejected) {
                    // Stands for done, fail, progress and failZero registered in a row.
                    if (values)
                        Call::run(f, values, Handler::RoleFail);
                    Call::run(f, nullptr, Handler::RoleFailZero);
                } else {
                    Call::run(f, values,
                               kind == Callbacks::Fail       ? Handler::RoleFail
                               : kind == Callbacks::FailZero ? Handler::RoleFailZero
                                                             : Handler::RoleDone);
                }
                return;
            }
        }
        callbacksForThread().entries.template emplace<Call>(std::forward<F>(f), kind, type);
    }

    Callbacks &callbacksForThread()
    {
        DeferredThreadHook *hook = DeferredDataBase::currentThreadHook();
        if (m_first && m_first->hook == hook)
            return m_first->cbs;
        if (!m_first) {
            m_first.emplace(hook);
            return m_first->cbs;
        }
        return otherThreadCallbacks(hook);
    }

    Callbacks &otherThreadCallbacks(DeferredThreadHook *hook)
    {
        for (auto &e : m_more)
            if (e->hook == hook)
                return e->cbs;
        // A thread restarted after it finished gets a new delivery object; what it
        // registered before is dropped.
        ThreadEntry *entry = nullptr;
        if (m_first && m_first->thread == hook->thread())
            entry = &*m_first;
        for (auto &e : m_more)
            if (e->thread == hook->thread())
                entry = e.get();
        if (entry) {
            entry->cbs.clearAll();
            entry->hook = hook;
            return entry->cbs;
        }
        if (!m_first) {
            m_first.emplace(hook);
            return m_first->cbs;
        }
        m_more.push_back(std::make_unique<ThreadEntry>(hook));
        return m_more.back()->cbs;
    }

    // Entries in ascending thread order, taken before any handler runs.
    QVarLengthArray<ThreadEntry *, 4> snapshot()
    {
        QVarLengthArray<ThreadEntry *, 4> out;
        if (m_first)
            out.append(&*m_first);
        for (auto &e : m_more)
            out.append(e.get());
        if (out.size() > 1)
            std::stable_sort(out.begin(), out.end(),
                             [](ThreadEntry *a, ThreadEntry *b) { return std::less<QThread *>()(a->thread, b->thread); });
        return out;
    }

    // Runs entry i of the thread's list now or delivers it to its thread. A handler
    // may add entries while it runs, which may move those past the inline ones: such
    // an entry is run from a copy.
    void run(const Handle &self, ThreadEntry *e, bool here, int i, typename Handler::Role role, bool values)
    {
        if (i >= 2) {
            Entry copy = e->cbs.entries[i];
            run(self, e, here, copy, role, values);
        } else {
            run(self, e, here, e->cbs.entries[i], role, values);
        }
    }
    void run(const Handle &self, ThreadEntry *e, bool here, const Entry &entry, typename Handler::Role role, bool values)
    {
        if (entry.type == Qt::DirectConnection || (entry.type == Qt::AutoConnection && here)) {
            if (values)
                callFinished(entry.handler, role);
            else
                entry.handler(nullptr, role);
        } else if (entry.type == Qt::QueuedConnection || entry.type == Qt::AutoConnection) {
            if (values)
                e->hook->post([self, role, h = entry.handler]() { self.d->callFinished(h, role); });
            else
                e->hook->post([self, role, h = entry.handler]() { h(nullptr, role); });
        }
    }

    // Runs or delivers the handlers of a settlement. outcome: Resolved (done handlers),
    // Rejected (fail handlers), Pending for a rejection without values (failZero only).
    void settle(const Handle &self, int outcome)
    {
        QThread *const current = DeferredDataBase::currentThread();
        if (m_more.empty()) {
            if (m_first)
                settleThread(self, &*m_first, current, outcome);
            return;
        }
        const auto threads = snapshot();
        for (ThreadEntry *e : threads)
            settleThread(self, e, current, outcome);
    }

    void settleThread(const Handle &self, ThreadEntry *e, QThread *current, int outcome)
    {
        {
            if (!e->hook->isDelivering()) {
                // The thread has ended: nothing is delivered to it any more.
                e->cbs.clearAll();
                return;
            }
            const bool here = e->thread == current;
            auto &list = e->cbs.entries;
            const int n = list.size(); // entries added by the handlers below are not run
            // Handlers given the values run first, then those without, each round in the
            // order of registration. The first round notes whether the second has anything
            // to run, and whether a progress handler stays.
            bool zeros = false;
            bool progress = false;
            if (outcome == Resolved) {
                for (int i = 0; i < n; ++i) {
                    const Kind kind = list[i].kind;
                    if (kind == Callbacks::Done || kind == Callbacks::Forward)
                        run(self, e, here, i, Handler::RoleDone, true);
                    else if (kind == Callbacks::DoneZero)
                        zeros = true;
                    else if (kind == Callbacks::Progress)
                        progress = true;
                }
                for (int i = 0; zeros && i < n; ++i)
                    if (list[i].kind == Callbacks::DoneZero)
                        run(self, e, here, i, Handler::RoleDone, false);
            } else {
                for (int i = 0; i < n; ++i) {
                    const Kind kind = list[i].kind;
                    if (outcome == Rejected && (kind == Callbacks::Fail || kind == Callbacks::Forward))
                        run(self, e, here, i, Handler::RoleFail, true);
                    zeros = zeros || kind == Callbacks::FailZero || kind == Callbacks::Forward;
                    progress = progress || kind == Callbacks::Progress;
                }
                for (int i = 0; zeros && i < n; ++i)
                    if (list[i].kind == Callbacks::FailZero || list[i].kind == Callbacks::Forward)
                        run(self, e, here, i, Handler::RoleFailZero, false);
            }
            // Progress handlers stay; after a rejection without values the done and fail
            // handlers stay too (they never run).
            if (outcome == Pending)
                list.removeFirst(n, [](Kind k) { return k == Callbacks::DoneZero || k == Callbacks::FailZero; });
            else if (progress || list.size() != n)
                list.removeFirst(n, [](Kind k) { return k != Callbacks::Progress; });
            else
                list.clear();
        }
    }

    std::atomic<unsigned> m_handles{0};
    std::optional<Values> m_finished;           // the settlement values, once set
    std::optional<ThreadEntry> m_first;         // the first registering thread
    std::vector<std::unique_ptr<ThreadEntry>> m_more; // further registering threads
    int m_state = Pending;
    DeferredRecursiveLock m_lock;
};
