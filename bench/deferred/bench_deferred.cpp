// Cost of a deferred result, single thread, beside two anchors measured in the same run:
//   the floor of the same work: a shared state holding one std::function handler under a
//   mutex (create, register, resolve), and a three-step chain built on that state;
//   std::promise/std::future, built for a blocking hand-off between threads.
//   resolve: create + one done handler + resolve.
//   chain:   a three-step thenAlias chain with a done handler at its end.
#include "Deferred/Deferred.h"
#include "Spread.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

void DeferredResolveWithHandler(benchmark::State &state)
{
    int sink = 0;
    int i = 0;
    for (auto _ : state) {
        Deferred<int> d;
        d.done([&sink](int v) { sink += v; });
        d.resolve(++i);
    }
    benchmark::DoNotOptimize(sink);
}
BENCHMARK(DeferredResolveWithHandler);

void PromiseSetAndGet(benchmark::State &state)
{
    int sink = 0;
    int i = 0;
    for (auto _ : state) {
        std::promise<int> p;
        std::future<int> f = p.get_future();
        p.set_value(++i);
        sink += f.get();
    }
    benchmark::DoNotOptimize(sink);
}
BENCHMARK(PromiseSetAndGet);

// The floor: the least a result with handlers must do. A shared state, one handler
// kept as a std::function, a mutex around registration and settlement.
template<typename T>
class FloorState
{
public:
    using Ptr = std::shared_ptr<FloorState>;
    static Ptr make() { return std::make_shared<FloorState>(); }

    void done(std::function<void(const T &)> handler)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_settled) {
            lock.unlock();
            handler(m_value);
            return;
        }
        m_handler = std::move(handler);
    }
    void resolve(const T &value)
    {
        std::function<void(const T &)> handler;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_value = value;
            m_settled = true;
            handler.swap(m_handler);
        }
        if (handler)
            handler(m_value);
    }
    // The next step: when this state resolves, the continuation makes the step's state,
    // whose value resolves the returned one.
    template<typename F>
    Ptr then(F continuation)
    {
        Ptr next = make();
        done([continuation, next](const T &v) { continuation(v)->done([next](const T &r) { next->resolve(r); }); });
        return next;
    }

private:
    std::mutex m_mutex;
    std::function<void(const T &)> m_handler;
    T m_value{};
    bool m_settled = false;
};

void FloorResolveWithHandler(benchmark::State &state)
{
    int sink = 0;
    int i = 0;
    for (auto _ : state) {
        auto d = FloorState<int>::make();
        d->done([&sink](int v) { sink += v; });
        d->resolve(++i);
    }
    benchmark::DoNotOptimize(sink);
}
BENCHMARK(FloorResolveWithHandler);

FloorState<int>::Ptr floorStep(int v)
{
    auto d = FloorState<int>::make();
    d->resolve(v + 1);
    return d;
}

void FloorThreeStepChain(benchmark::State &state)
{
    int sink = 0;
    int i = 0;
    for (auto _ : state) {
        auto first = FloorState<int>::make();
        first->then(floorStep)->then(floorStep)->then(floorStep)->done([&sink](int v) { sink += v; });
        first->resolve(++i);
    }
    benchmark::DoNotOptimize(sink);
}
BENCHMARK(FloorThreeStepChain);

Deferred<int> step(int v)
{
    Deferred<int> d;
    d.resolve(v + 1);
    return d;
}

void DeferredThreeStepChain(benchmark::State &state)
{
    int sink = 0;
    int i = 0;
    for (auto _ : state) {
        Deferred<int> first;
        first.thenAlias(step).thenAlias(step).thenAlias(step).done([&sink](int v) { sink += v; });
        first.resolve(++i);
    }
    benchmark::DoNotOptimize(sink);
}
BENCHMARK(DeferredThreeStepChain);

void PromiseThreeRoundTrips(benchmark::State &state)
{
    int sink = 0;
    int i = 0;
    for (auto _ : state) {
        int v = ++i;
        for (int k = 0; k < 3; ++k) {
            std::promise<int> p;
            std::future<int> f = p.get_future();
            p.set_value(v + 1);
            v = f.get();
        }
        sink += v;
    }
    benchmark::DoNotOptimize(sink);
}
BENCHMARK(PromiseThreeRoundTrips);

// Keeps the console output and remembers ns per iteration of each repetition of each benchmark.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    std::map<std::string, std::vector<double>> nsPerOp;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &run : runs)
            if (run.iterations > 0 && run.run_type == Run::RT_Iteration)
                nsPerOp[run.run_name.function_name].push_back(run.real_accumulated_time * 1e9 / double(run.iterations));
    }
};

void printRatio(const RatioReporter &r, const std::string &name, const std::string &baseline)
{
    auto a = r.nsPerOp.find(name), b = r.nsPerOp.find(baseline);
    if (a == r.nsPerOp.end() || b == r.nsPerOp.end())
        return;
    const Spread x = Spread::of(a->second), y = Spread::of(b->second);
    std::printf("%-28s %s ns/op\n%-28s %s ns/op\n  ratio of the mins %.2f, of the medians %.2f, of the maxes %.2f\n",
                name.c_str(), x.text("%.1f").c_str(), baseline.c_str(), y.text("%.1f").c_str(), x.min / y.min,
                x.median / y.median, x.max / y.max);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // At the terminal's default log level: no debug lines.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    // Twenty short repetitions of each, in random interleaved order, unless told otherwise:
    // each benchmark then meets the same moments of a shared machine, where a block of
    // repetitions in a row gives the first benchmark run a different machine from the
    // last.
    std::vector<char *> args(argv, argv + argc);
    std::string defaults[] = {"--benchmark_repetitions=20", "--benchmark_min_time=0.1",
                              "--benchmark_enable_random_interleaving=true"};
    for (std::string &d : defaults) {
        const std::string flag = d.substr(0, d.find('='));
        bool given = false;
        for (int i = 1; i < argc; ++i)
            given = given || std::string(argv[i]).rfind(flag, 0) == 0;
        if (!given)
            args.insert(args.begin() + 1, &d[0]);
    }
    int n = int(args.size());
    benchmark::Initialize(&n, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\ncounts: wall time of one repetition over its iterations, in ns an operation, one thread;\n"
                "min / median / max over the repetitions (target: ratio to the floor <= 1.5)\n");
    printRatio(reporter, "DeferredResolveWithHandler", "FloorResolveWithHandler");
    printRatio(reporter, "DeferredThreeStepChain", "FloorThreeStepChain");
    printRatio(reporter, "DeferredResolveWithHandler", "PromiseSetAndGet");
    printRatio(reporter, "DeferredThreeStepChain", "PromiseThreeRoundTrips");
    benchmark::Shutdown();
    return 0;
}
