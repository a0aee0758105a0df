// executeRpc round trip against an echo responder on a loopback broker, beside the floor:
// the same call (subscribe the answer, publish the request at QoS 1, take the answer,
// unsubscribe) made with bare libmosquitto in a tight poll loop on its socket. A second
// baseline keeps a standing subscription and only publishes and waits, for reference.
// Three repetitions of each, interleaved at random; each repetition gives the median of its
// calls, and the figures are min / median / max of those over the repetitions. Every
// wait has a limit. The client logs at the terminal's default level.
#include "Broker.h"
#include "Common/Log/Logger.h"
#include "Common/Mqtt/MqttClient.h"
#include "Spread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>

#include <benchmark/benchmark.h>
#include <mosquitto.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

Broker *g_broker = nullptr;
std::map<std::string, std::vector<double>> g_medians; // of each repetition's calls, in us
const auto Limit = std::chrono::seconds(10);          // for any one wait

double medianUs(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Answers every request on bench/<op>/request/<id> with its own payload on .../response/<id>.
class EchoResponder
{
public:
    explicit EchoResponder(int port)
    {
        m = mosquitto_new("bench-echo", true, this);
        mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(m, [](mosquitto *m, void *, int) {
            mosquitto_subscribe(m, nullptr, "bench/+/request/+", 1);
        });
        mosquitto_subscribe_callback_set(m, [](mosquitto *, void *self, int, int, const int *) {
            static_cast<EchoResponder *>(self)->ready = true;
        });
        mosquitto_message_callback_set(m, [](mosquitto *m, void *, const mosquitto_message *msg) {
            std::string topic(msg->topic);
            const auto at = topic.find("/request/");
            topic.replace(at, 9, "/response/");
            mosquitto_publish(m, nullptr, topic.c_str(), msg->payloadlen, msg->payload, 1, false);
        });
        mosquitto_connect(m, "127.0.0.1", port, 30);
        mosquitto_loop_start(m);
        const auto until = std::chrono::steady_clock::now() + Limit;
        while (!ready && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::atomic<bool> ready{false};
    ~EchoResponder()
    {
        mosquitto_disconnect(m);
        mosquitto_loop_stop(m, true);
        mosquitto_destroy(m);
    }

private:
    mosquitto *m = nullptr;
};

// A bare libmosquitto caller driven by its own poll loop on the benchmark thread.
class BareCaller
{
public:
    explicit BareCaller(int port)
    {
        m = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_message_callback_set(m, [](mosquitto *, void *self, const mosquitto_message *) {
            static_cast<BareCaller *>(self)->answered = true;
        });
        mosquitto_connect(m, "127.0.0.1", port, 30);
    }
    ~BareCaller()
    {
        mosquitto_disconnect(m);
        mosquitto_destroy(m);
    }
    // One call: optionally subscribe the answer, publish the request, wait, unsubscribe.
    bool call(const std::string &id, const std::string &payload, bool perCallSubscription)
    {
        const std::string request = "bench/bare/request/" + id;
        const std::string response = "bench/bare/response/" + id;
        answered = false;
        if (perCallSubscription)
            mosquitto_subscribe(m, nullptr, response.c_str(), 1);
        mosquitto_publish(m, nullptr, request.c_str(), int(payload.size()), payload.data(), 1, false);
        const auto until = std::chrono::steady_clock::now() + Limit;
        while (!answered && std::chrono::steady_clock::now() < until)
            if (!step(100))
                return false;
        if (perCallSubscription)
            mosquitto_unsubscribe(m, nullptr, response.c_str());
        return answered;
    }
    void standing()
    {
        mosquitto_subscribe(m, nullptr, "bench/bare/response/+", 1);
        for (int i = 0; i < 20; ++i)
            step(5);
    }
    // One turn of the poll loop on the connection's own socket: read what is there, write
    // what is queued. (mosquitto_loop() would also wake for every packet queued through its
    // internal pipe, a round the client under test does not make.)
    bool step(int timeoutMs)
    {
        pollfd p{mosquitto_socket(m), short(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
        if (p.fd < 0 || poll(&p, 1, timeoutMs) < 0)
            return false;
        if ((p.revents & POLLIN) && mosquitto_loop_read(m, 1) != MOSQ_ERR_SUCCESS)
            return false;
        if (mosquitto_want_write(m) && mosquitto_loop_write(m, 1) != MOSQ_ERR_SUCCESS)
            return false;
        return mosquitto_loop_misc(m) == MOSQ_ERR_SUCCESS;
    }

private:
    mosquitto *m = nullptr;
    bool answered = false;
};

const char *kPayload = "{\"cardId\":\"04A1B2C3D4E5F6\",\"op\":\"read\",\"sector\":1}";

void BM_ExecuteRpc(benchmark::State &state)
{
    manager::MqttClient client;
    client.setHostname(QStringLiteral("127.0.0.1"));
    client.setPort(g_broker->port());
    bool up = false;
    QObject::connect(&client, &manager::MqttClient::connected, [&] { up = true; });
    client.connect();
    QElapsedTimer waited;
    waited.start();
    while (!up && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    if (!up) {
        state.SkipWithError("not connected");
        return;
    }

    const QJsonObject request{{QStringLiteral("cardId"), QStringLiteral("04A1B2C3D4E5F6")},
                              {QStringLiteral("op"), QStringLiteral("read")},
                              {QStringLiteral("sector"), 1}};
    std::vector<double> samples;
    int id = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        int outcome = 0;
        auto d = client.executeRpc(QStringLiteral("bench/echo"), QString::number(++id), request, 3000);
        d.done([&](const QJsonValue &) { outcome = 1; });
        d.fail([&](const QJsonValue &) { outcome = 2; });
        // Sleeps until something happens, as the terminal's event loop does (with a time
        // limit, processEvents would poll without sleeping); the call's own time-out (3 s)
        // ends the wait.
        while (!outcome)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const auto t1 = std::chrono::steady_clock::now();
        if (outcome != 1) {
            state.SkipWithError("call failed");
            break;
        }
        const double us = std::chrono::duration<double, std::micro>(t1 - t0).count();
        samples.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    state.counters["median_us"] = medianUs(samples);
    if (!samples.empty())
        g_medians["executeRpc"].push_back(medianUs(samples));
}

void bareRun(benchmark::State &state, bool perCall, const char *name)
{
    BareCaller caller(g_broker->port());
    if (!perCall)
        caller.standing();
    std::vector<double> samples;
    int id = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!caller.call(std::to_string(++id), kPayload, perCall)) {
            state.SkipWithError("call failed");
            break;
        }
        const auto t1 = std::chrono::steady_clock::now();
        const double us = std::chrono::duration<double, std::micro>(t1 - t0).count();
        samples.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    state.counters["median_us"] = medianUs(samples);
    if (!samples.empty())
        g_medians[name].push_back(medianUs(samples));
}

void BM_BareLibmosquitto(benchmark::State &state)
{
    bareRun(state, true, "floor");
}

void BM_BareStandingSubscription(benchmark::State &state)
{
    bareRun(state, false, "standing");
}

}  // namespace

BENCHMARK(BM_BareLibmosquitto)->UseManualTime()->Iterations(3000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExecuteRpc)->UseManualTime()->Iterations(3000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareStandingSubscription)->UseManualTime()->Iterations(3000)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Logged as the terminal logs by default (information and above), kept out of syslog.
    manager::Logger::instance()->setSyslog(false);
    mosquitto_lib_init();
    Broker broker;
    if (!broker.start()) {
        std::fprintf(stderr, "cannot start mosquitto\n");
        return 1;
    }
    g_broker = &broker;
    EchoResponder echo(broker.port());
    if (!echo.ready) {
        std::fprintf(stderr, "the echo responder did not subscribe\n");
        return 1;
    }

    // Three repetitions of each, interleaved, unless told otherwise.
    std::vector<char *> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=3", interleave = "--benchmark_enable_random_interleaving=true";
    bool given = false;
    for (int i = 1; i < argc; ++i)
        given = given || std::string(argv[i]).rfind("--benchmark_repetitions", 0) == 0;
    if (!given)
        args.insert(args.begin() + 1, {&repetitions[0], &interleave[0]});
    int n = int(args.size());
    benchmark::Initialize(&n, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const Spread rpc = Spread::of(g_medians["executeRpc"]), floor = Spread::of(g_medians["floor"]),
                 standing = Spread::of(g_medians["standing"]);
    std::printf("\ncounts: wall time of one call, from the request to its answer handled, median of each\n"
                "repetition's calls; min / median / max over %d repetitions\n", rpc.count);
    std::printf("executeRpc round trip:                        %s us\n", rpc.text("%.1f").c_str());
    std::printf("floor (bare libmosquitto, same packets):      %s us\n", floor.text("%.1f").c_str());
    std::printf("ratio executeRpc / floor, of the medians: %.2f (target <= 1.1)\n",
                floor.median > 0 ? rpc.median / floor.median : 0.0);
    std::printf("reference (bare libmosquitto, standing subscription): %s us, ratio of the medians %.2f\n",
                standing.text("%.1f").c_str(), standing.median > 0 ? rpc.median / standing.median : 0.0);
    return 0;
}
