// Cost of a deferred result beside std::promise/std::future, single thread.
//   resolve: create + one done handler + resolve, against promise set_value + future get.
//   chain:   a three-step thenAlias chain, against three promise round trips.
#include "Deferred/Deferred.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <future>
#include <map>
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

// Keeps the console output and remembers ns per iteration of each benchmark.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    std::map<std::string, double> nsPerOp;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &run : runs) {
            if (run.iterations > 0 && run.run_type == Run::RT_Iteration)
                nsPerOp[run.benchmark_name()] = run.real_accumulated_time * 1e9 / double(run.iterations);
        }
    }
};

void printRatio(const RatioReporter &r, const std::string &name, const std::string &baseline)
{
    auto a = r.nsPerOp.find(name), b = r.nsPerOp.find(baseline);
    if (a == r.nsPerOp.end() || b == r.nsPerOp.end())
        return;
    std::printf("%-28s %8.1f ns/op   %-24s %8.1f ns/op   ratio %.2f\n", name.c_str(), a->second, baseline.c_str(),
                b->second, a->second / b->second);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    printRatio(reporter, "DeferredResolveWithHandler", "PromiseSetAndGet");
    printRatio(reporter, "DeferredThreeStepChain", "PromiseThreeRoundTrips");
    benchmark::Shutdown();
    return 0;
}
