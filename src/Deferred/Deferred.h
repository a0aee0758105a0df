#pragma once
// Deferred results: the one way every asynchronous operation reports success,
// failure and progress.
//
//     Deferred<int, QJsonValue> d;        // pending; copies share one result
//     d.done([](int status, QJsonValue body) { ... });
//     d.fail([](int status, QJsonValue body) { ... });
//     d.resolve(200, body);
//
// Handlers belong to the thread that registered them. With Qt::AutoConnection a
// handler runs at once when the result is settled on its own thread, and is
// delivered through that thread's event loop when it is settled elsewhere.
// A handler registered on a result that is already settled runs at once.
#include <QObject>

#include <functional>
#include <new>
#include <type_traits>
#include <utility>

template<typename... Types> class Deferred;
template<typename... Types> class DeferredData;
template<typename... Types> class DeferredRegistration;
class DeferredProxyObject;
template<typename... Types> struct DeferredAllCallbacks;
template<typename... Types> class DeferredHandler;
template<typename Data> class DeferredKeepAlive;
template<typename T> class DeferredPtr;

template<typename T> struct IsDeferred : std::false_type {};
template<typename... Types> struct IsDeferred<Deferred<Types...>> : std::true_type {};


// The handle to a result. One pointer; copies share the result.
template<typename... Types>
class Deferred
{
public:
    using Data = DeferredData<Types...>;

    Deferred() : d(DeferredPtr<Data>::adopt(new Data)) {}
    Deferred(const Deferred &) noexcept = default;
    Deferred &operator=(const Deferred &) = default;
    // A handle moved from may only be assigned to or destroyed.
    Deferred(Deferred &&) noexcept = default;
    Deferred &operator=(Deferred &&) noexcept = default;
    ~Deferred() = default;

    // A result already resolved with these values: for the operation that has its
    // answer at once.
    static Deferred resolved(const Types &...values)
    {
        Deferred result;
        result.resolve(values...);
        return result;
    }

    bool isPending() const { return d->state() == Data::Pending; }
    bool isResolved() const { return d->state() == Data::Resolved; }
    bool isRejected() const { return d->state() == Data::Rejected; }

    // Each settles through another handle to the result, which keeps it alive for the
    // whole call even when a handler reassigns the handle it was called on.
    void resolve(const Types &...values) const
    {
        settle([&](const Deferred &self) { self.d->resolve(self, values...); });
    }
    void reject(const Types &...values) const
    {
        settle([&](const Deferred &self) { self.d->reject(self, values...); });
    }
    // Rejects without values: only value-less failure handlers run.
    void rejectZero() const
    {
        settle([&](const Deferred &self) { self.d->rejectZero(self); });
    }
    void notify(const Types &...values) const
    {
        settle([&](const Deferred &self) { self.d->notify(self, values...); });
    }

    // Handlers take the values by value (each call gets its own copies). Each returns
    // the handle registered on, to chain further registrations on one expression or to
    // be kept as a Deferred.
    template<typename F>
    DeferredRegistration<Types...> done(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return registerOn<ValueCall>(d.data(), {}, Callbacks::Done, std::forward<F>(handler), type);
    }
    template<typename F>
    DeferredRegistration<Types...> fail(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return registerOn<ValueCall>(d.data(), {}, Callbacks::Fail, std::forward<F>(handler), type);
    }
    template<typename F>
    DeferredRegistration<Types...> progress(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return registerOn<ValueCall>(d.data(), {}, Callbacks::Progress, std::forward<F>(handler), type);
    }
    // Value-less handlers: doneZero on success; failZero on any failure, with or without values.
    template<typename F>
    DeferredRegistration<Types...> doneZero(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return registerOn<ZeroCall>(d.data(), {}, Callbacks::DoneZero, std::forward<F>(handler), type);
    }
    template<typename F>
    DeferredRegistration<Types...> failZero(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return registerOn<ZeroCall>(d.data(), {}, Callbacks::FailZero, std::forward<F>(handler), type);
    }

    // Chains the next step: when this result resolves, the continuation is called
    // with its values and returns a Deferred<R...>; the returned result then takes
    // that one's outcome and progress. When this result fails, the returned one is
    // rejected without values (only its failZero handlers run).
    template<typename... R, typename F>
    auto thenAlias(const F &continuation, const Qt::ConnectionType &type = Qt::AutoConnection) const
        -> std::decay_t<std::invoke_result_t<F &, Types...>>
    {
        using Next = std::decay_t<std::invoke_result_t<F &, Types...>>;
        static_assert(IsDeferred<Next>::value, "the continuation must return a Deferred");
        static_assert(sizeof...(R) == 0 || std::is_same<Next, Deferred<R...>>::value,
                      "the continuation returns another Deferred type");
        Next next;
        // One entry stands for the done and the failZero handler registered in a row.
        struct Then
        {
            std::decay_t<F> continuation;
            Next next;
        };
        struct ThenCall
        {
            static void run(Then &then, const std::tuple<Types...> *values, Role role)
            {
                if (role == Handler::RoleDone) {
                    const Next step = std::apply(then.continuation, *values);
                    Next::forward(step, std::move(then.next)); // a settlement runs it once
                } else if (role == Handler::RoleFailZero) {
                    then.next.rejectZero();
                }
            }
        };
        d->template add<ThenCall>(Callbacks::Forward, Then{continuation, next}, type);
        return next;
    }

    // Joins results: the returned Deferred<> resolves when every input has
    // resolved and is rejected at the first input that fails.
    template<typename D0, typename... Ds,
             typename = std::enable_if_t<IsDeferred<D0>::value && (IsDeferred<Ds>::value && ...)>>
    static Deferred<> when(D0 first, Ds... rest);
    // Container form (QList<Deferred<QString>>, ...). An empty container resolves at once.
    template<typename C, typename = std::enable_if_t<!IsDeferred<C>::value && IsDeferred<typename C::value_type>::value>>
    static Deferred<> when(const C &inputs);

private:
    template<typename...> friend class Deferred;
    template<typename...> friend class DeferredData;
    template<typename...> friend class DeferredRegistration;

    using Callbacks = DeferredAllCallbacks<Types...>;
    using Handler = DeferredHandler<Types...>;
    using Role = typename Handler::Role;

    // How the kinds of handler are called: with the values, without, or as a forwarder.
    struct ValueCall
    {
        template<typename F>
        static void run(F &f, const std::tuple<Types...> *values, Role)
        {
            if (values) // a value handler is never run without values
                std::apply(f, *values);
        }
    };
    struct ZeroCall
    {
        template<typename F>
        static void run(F &f, const std::tuple<Types...> *, Role)
        {
            f();
        }
    };
    // Passes a chained step's outcome and progress on to the result made for it.
    struct Forwarder
    {
        Deferred next;
    };
    struct ForwardCall
    {
        static void run(Forwarder &f, const std::tuple<Types...> *values, Role role)
        {
            switch (role) {
            case Handler::RoleDone:
                std::apply([&f](const Types &...v) { f.next.resolve(v...); }, *values);
                break;
            case Handler::RoleFail:
                std::apply([&f](const Types &...v) { f.next.reject(v...); }, *values);
                break;
            case Handler::RoleProgress:
                std::apply([&f](const Types &...v) { f.next.notify(v...); }, *values);
                break;
            case Handler::RoleFailZero:
                // A step rejected without values fails the chain the same way; a rejection
                // with values has already reached next through the fail part.
                if (f.next.isPending())
                    f.next.rejectZero();
                break;
            }
        }
    };

    // Runs f with another handle to the result. While this handle is the only one, no
    // other thread can reach the result, so the count is raised without an atomic
    // operation; and when no handle was made or moved while f ran (none can have gone to
    // another thread), it is lowered the same way.
    template<typename F>
    void settle(F &&f) const
    {
        Data *data = d.data();
        if (data->ref.loadAcquire() != 1) {
            const Deferred self(*this);
            f(self);
            return;
        }
        data->ref.storeRelaxed(2);
        alignas(Deferred) unsigned char storage[sizeof(Deferred)];
        const Deferred *self = new (storage) Deferred(data, Adopted());
        const unsigned handles = data->handlesNoted();
        f(*self); // self is not destroyed: its reference is given back below
        if (data->handlesNoted() != handles)
            DeferredPtr<Data>::release(data);
        else if (data->ref.loadRelaxed() == 2)
            data->ref.storeRelaxed(1);  // this handle's and self's
        else
            delete data;                // self's alone: a handler let this handle go
    }
    struct Adopted {};
    // A handle for a reference already counted.
    Deferred(Data *counted, Adopted) : d(DeferredPtr<Data>::adopted(counted)) {}

    // Registers on the state. The caller's handle keeps the state alive for the
    // expression unless a handler runs at once (it may release that handle): the
    // registration returned then holds the state itself.
    template<typename Call, typename F>
    static DeferredRegistration<Types...> registerOn(Data *data, DeferredKeepAlive<Data> &&keep,
                                                     typename Callbacks::Kind kind, F &&handler, Qt::ConnectionType type)
    {
        DeferredRegistration<Types...> r(data, std::move(keep));
        data->template add<Call>(kind, std::forward<F>(handler), type, r.m_keep);
        return r;
    }

    // Passes step's outcome and progress on to next: one forwarder standing for a done,
    // a fail, a progress and a failZero handler.
    static void forward(const Deferred &step, Deferred next)
    {
        step.d->template add<ForwardCall>(Callbacks::Forward, Forwarder{std::move(next)}, Qt::AutoConnection);
    }

    template<typename D>
    static void joinOne(const Deferred<> &joined, int n, const D &input);

    // Another handle to an existing state.
    explicit Deferred(Data *existing) : d(existing) {}

    DeferredPtr<Data> d;
};

// What done, fail, progress, doneZero and failZero return: the handle registered on,
// for further registrations on the same expression (d.done(...).fail(...)) or to be
// kept as a Deferred. It is meant to be used within the expression that made it.
template<typename... Types>
class DeferredRegistration
{
public:
    using Handle = Deferred<Types...>;
    DeferredRegistration(DeferredRegistration &&) = default;
    DeferredRegistration &operator=(const DeferredRegistration &) = delete;

    operator Handle() && { return Handle(m_data); }

    template<typename F>
    DeferredRegistration done(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) &&
    {
        return Handle::template registerOn<typename Handle::ValueCall>(m_data, std::move(m_keep), Handle::Callbacks::Done,
                                                                       std::forward<F>(handler), type);
    }
    template<typename F>
    DeferredRegistration fail(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) &&
    {
        return Handle::template registerOn<typename Handle::ValueCall>(m_data, std::move(m_keep), Handle::Callbacks::Fail,
                                                                       std::forward<F>(handler), type);
    }
    template<typename F>
    DeferredRegistration progress(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) &&
    {
        return Handle::template registerOn<typename Handle::ValueCall>(
            m_data, std::move(m_keep), Handle::Callbacks::Progress, std::forward<F>(handler), type);
    }
    template<typename F>
    DeferredRegistration doneZero(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) &&
    {
        return Handle::template registerOn<typename Handle::ZeroCall>(
            m_data, std::move(m_keep), Handle::Callbacks::DoneZero, std::forward<F>(handler), type);
    }
    template<typename F>
    DeferredRegistration failZero(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) &&
    {
        return Handle::template registerOn<typename Handle::ZeroCall>(
            m_data, std::move(m_keep), Handle::Callbacks::FailZero, std::forward<F>(handler), type);
    }
    bool isPending() && { return m_data->state() == Handle::Data::Pending; }
    bool isResolved() && { return m_data->state() == Handle::Data::Resolved; }
    bool isRejected() && { return m_data->state() == Handle::Data::Rejected; }

private:
    friend Handle;
    DeferredRegistration(typename Handle::Data *data, DeferredKeepAlive<typename Handle::Data> &&keep)
        : m_data(data)
        , m_keep(std::move(keep))
    {
    }
    typename Handle::Data *m_data;
    DeferredKeepAlive<typename Handle::Data> m_keep;
};

#include "Deferred/DeferredDetail.h"

// Defined after the internals: a joined result is a complete Deferred<> only here.
template<typename... Types>
template<typename D>
void Deferred<Types...>::joinOne(const Deferred<> &joined, int n, const D &input)
{
    using Input = std::decay_t<D>;
    input.d->template add<typename Input::ZeroCall, typename Input::ZeroCall>(
        Input::Callbacks::DoneZero,
        [joined, n]() {
            if (++joined.d->m_joinCounter == n)
                joined.resolve();
        },
        Input::Callbacks::FailZero,
        [joined]() {
            if (joined.isPending())
                joined.reject();
        },
        Qt::AutoConnection);
}

template<typename... Types>
template<typename D0, typename... Ds, typename>
Deferred<> Deferred<Types...>::when(D0 first, Ds... rest)
{
    Deferred<> joined;
    const int n = 1 + int(sizeof...(Ds));
    joinOne(joined, n, first);
    (joinOne(joined, n, rest), ...);
    return joined;
}

template<typename... Types>
template<typename C, typename>
Deferred<> Deferred<Types...>::when(const C &inputs)
{
    Deferred<> joined;
    const int n = int(inputs.size());
    if (n == 0) {
        joined.resolve();
        return joined;
    }
    for (const auto &input : inputs)
        joinOne(joined, n, input);
    return joined;
}
