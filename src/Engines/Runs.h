#pragma once
// The runs of a part of the lane that is started and stopped: a continuation made in one
// run is dropped, with a line, once that run has ended, whatever run came after.
#include "Common/Log/Log.h"

#include <QPointer>

#include <utility>

class Runs
{
public:
    void start() { ++m_run; m_running = true; }
    void stop() { ++m_run; m_running = false; }
    bool running() const { return m_running; }
    quint64 current() const { return m_run; }

    // f, run only while the run it was made in goes on; owner holds these runs and log.
    template<typename Owner, typename F>
    auto guard(Owner *owner, const Log &log, F &&f) const
    {
        QPointer<Owner> self(owner);
        return [self, runs = this, log = &log, run = m_run, f = std::forward<F>(f)](auto &&...args) {
            if (!self || !runs->m_running || runs->m_run != run) {
                if (self)
                    log->warn("Ignoring result of a finished passage");
                return;
            }
            f(std::forward<decltype(args)>(args)...);
        };
    }

private:
    quint64 m_run = 0;
    bool m_running = false;
};
