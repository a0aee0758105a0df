#pragma once
// Records how a deferred result settled, for tests that wait on it.
#include "Deferred/Deferred.h"
#include "TestUtil.h"

#include <memory>

template<typename R>
struct Outcome {
    int state = 0;  // 0 pending, 1 resolved, 2 rejected (with or without a value)
    R value{};
    bool settled() const { return state != 0; }
};

template<typename R>
std::shared_ptr<Outcome<R>> watch(Deferred<R> d)
{
    auto o = std::make_shared<Outcome<R>>();
    d.done([o](R v) {
        o->state = 1;
        o->value = v;
    });
    d.fail([o](R v) {
        o->state = 2;
        o->value = v;
    });
    d.failZero([o]() {
        if (o->state == 0)
            o->state = 2;
    });
    return o;
}

// Runs the event loop until the result settled or ms passed; returns whether it settled.
template<typename R>
bool settle(const std::shared_ptr<Outcome<R>> &o, int ms = 15000)
{
    return TestUtil::waitUntil([o] { return o->settled(); }, ms);
}
