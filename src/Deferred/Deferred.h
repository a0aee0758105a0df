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
#include <QExplicitlySharedDataPointer>
#include <QObject>

#include <functional>
#include <type_traits>
#include <utility>

template<typename... Types> class Deferred;
template<typename... Types> class DeferredData;

template<typename T> struct IsDeferred : std::false_type {};
template<typename... Types> struct IsDeferred<Deferred<Types...>> : std::true_type {};

// The handle to a result. One pointer; copies share the result.
template<typename... Types>
class Deferred
{
public:
    using Data = DeferredData<Types...>;
    using Handler = std::function<void(const Types &...)>;
    using ZeroHandler = std::function<void()>;

    Deferred() : d(new Data) {}
    Deferred(const Deferred &) = default;
    Deferred &operator=(const Deferred &) = default;
    ~Deferred() = default;

    // 0 pending, 1 resolved, 2 rejected.
    int state() const { return d->state(); }

    // Each settles through a copy of this handle, which keeps the result alive for
    // the whole call even when a handler reassigns the handle it was called on.
    void resolve(const Types &...values) const
    {
        const Deferred self(*this);
        self.d->resolve(self, values...);
    }
    void reject(const Types &...values) const
    {
        const Deferred self(*this);
        self.d->reject(self, values...);
    }
    // Rejects without values: only value-less failure handlers run.
    void rejectZero() const
    {
        const Deferred self(*this);
        self.d->rejectZero(self);
    }
    void notify(const Types &...values) const
    {
        const Deferred self(*this);
        self.d->notify(self, values...);
    }

    // Handlers take the values by value (each call gets its own copies).
    template<typename F>
    Deferred done(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return registerHandler(&Data::done, Handler(std::forward<F>(handler)), type);
    }
    template<typename F>
    Deferred fail(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return registerHandler(&Data::fail, Handler(std::forward<F>(handler)), type);
    }
    template<typename F>
    Deferred progress(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return registerHandler(&Data::progress, Handler(std::forward<F>(handler)), type);
    }
    // Value-less handlers: doneZero on success; failZero on any failure, with or without values.
    template<typename F>
    Deferred doneZero(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return registerHandler(&Data::doneZero, ZeroHandler(std::forward<F>(handler)), type);
    }
    template<typename F>
    Deferred failZero(F &&handler, Qt::ConnectionType type = Qt::AutoConnection) const
    {
        return registerHandler(&Data::failZero, ZeroHandler(std::forward<F>(handler)), type);
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
        const Deferred self(*this); // the continuation may run at once and reassign this handle
        self.d->done(Handler([continuation, next](const Types &...values) mutable {
                         Next step = continuation(values...);
                         Next::forward(step, next);
                     }),
                     type);
        self.d->failZero([next]() { next.rejectZero(); }, type);
        return next;
    }

    // Joins results: the returned Deferred<> resolves when every input has
    // resolved and is rejected at the first input that fails.
    template<typename D0, typename... Ds,
             typename = std::enable_if_t<IsDeferred<D0>::value && (IsDeferred<Ds>::value && ...)>>
    static Deferred<> when(D0 first, Ds... rest)
    {
        Deferred<> joined;
        const int n = 1 + int(sizeof...(Ds));
        joinOne(joined, n, first);
        (joinOne(joined, n, rest), ...);
        return joined;
    }
    // Container form (QList<Deferred<QString>>, ...). An empty container resolves at once.
    template<typename C, typename = std::enable_if_t<!IsDeferred<C>::value && IsDeferred<typename C::value_type>::value>>
    static Deferred<> when(const C &inputs)
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

private:
    template<typename...> friend class Deferred;
    template<typename...> friend class DeferredData;

    // Registers on a copy of this handle: a handler run at once may reassign this one.
    template<typename H>
    Deferred registerHandler(void (Data::*add)(H, Qt::ConnectionType), H &&handler, Qt::ConnectionType type) const
    {
        Deferred self(*this);
        (self.d.data()->*add)(std::move(handler), type);
        return self;
    }

    // Passes step's outcome and progress on to next.
    static void forward(const Deferred &step, const Deferred &next)
    {
        step.done([next](const Types &...values) { next.resolve(values...); });
        step.fail([next](const Types &...values) { next.reject(values...); });
        step.progress([next](const Types &...values) { next.notify(values...); });
        // A step rejected without values fails the chain the same way. A rejection
        // with values has already reached next through the fail forwarder.
        step.failZero([next]() {
            if (next.state() == 0)
                next.rejectZero();
        });
    }

    // Counts input's success towards joined's n, and fails joined at input's failure.
    template<typename D>
    static void joinOne(const Deferred<> &joined, int n, const D &input);

    QExplicitlySharedDataPointer<Data> d;
};

#include "Deferred/DeferredDetail.h"

// Defined after the internals: it reaches into the joined result's counter.
template<typename... Types>
template<typename D>
void Deferred<Types...>::joinOne(const Deferred<> &joined, int n, const D &input)
{
    input.d->doneZero(
        [joined, n]() {
            if (++joined.d->m_joinCounter == n)
                joined.resolve();
        },
        Qt::AutoConnection);
    input.d->failZero(
        [joined]() {
            if (joined.state() == 0)
                joined.reject();
        },
        Qt::AutoConnection);
}
