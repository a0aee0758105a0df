// Listener throughput: one POST per iteration over loopback, the client writing
// its body in 64 KiB pieces. A 16 MiB body should cost per byte what a 1 MiB body
// costs: the assembly of a request must stay linear in its size. Three repetitions of each.
#include "Common/Http/HttpServer.h"
#include "Spread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>

namespace {

constexpr qint64 Piece = 64 * 1024;

// Keeps the console output and remembers the ns a byte of each repetition, by body size
// (the runs that size the iteration count are not reported).
class ByteReporter : public benchmark::ConsoleReporter
{
public:
    std::map<qint64, std::vector<double>> nsPerByte;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &run : runs)
            if (run.iterations > 0 && run.run_type == Run::RT_Iteration && !run.error_occurred) {
                const qint64 size = std::stoll(run.run_name.args);
                nsPerByte[size].push_back(run.real_accumulated_time * 1e9 / double(run.iterations) / double(size));
            }
    }
};

// Sends one request and returns once the listener has handed it on and closed the connection.
bool postOnce(HttpServer &server, quint16 port, const QByteArray &body)
{
    QEventLoop loop;
    bool delivered = false;
    bool closed = false;
    auto finish = [&] {
        if (delivered && closed)
            loop.quit();
    };
    QMetaObject::Connection c = QObject::connect(&server, &HttpServer::requestReceived,
                                                 [&](QHostAddress, HttpServer::Request r) {
                                                     delivered = r.body.size() == body.size();
                                                     finish();
                                                 });
    QTcpSocket socket;
    const QByteArray header = "POST /bench HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: "
                              + QByteArray::number(body.size()) + "\r\n\r\n";
    qint64 sent = 0;
    auto next = [&] {
        if (sent < body.size() && socket.bytesToWrite() == 0) {
            const qint64 n = qMin(Piece, body.size() - sent);
            socket.write(body.constData() + sent, n);
            sent += n;
        }
    };
    QObject::connect(&socket, &QTcpSocket::connected, [&] {
        socket.write(header);
        next();
    });
    QObject::connect(&socket, &QTcpSocket::bytesWritten, [&](qint64) { next(); });
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { socket.readAll(); });
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] {
        closed = true;
        finish();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(30000);
    socket.connectToHost(QHostAddress::LocalHost, port);
    loop.exec();
    QObject::disconnect(c);
    return delivered && closed;
}

void BM_ListenerPost(benchmark::State &state)
{
    const qint64 size = state.range(0);
    QByteArray body(int(size), 'x');
    HttpServer server;
    server.listen(0);
    const quint16 port = server.serverPort();
    double seconds = 0, bytes = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        if (!postOnce(server, port, body)) {
            state.SkipWithError("request not delivered");
            break;
        }
        seconds += timer.nsecsElapsed() / 1e9;
        bytes += double(size);
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["MB/s"] = seconds > 0 ? bytes / 1e6 / seconds : 0;
}

} // namespace

BENCHMARK(BM_ListenerPost)->Arg(1 << 20)->Arg(16 << 20)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    benchmark::Initialize(&argc, argv);
    ByteReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const Spread small = Spread::of(reporter.nsPerByte[1 << 20]), large = Spread::of(reporter.nsPerByte[16 << 20]);
    if (small.count > 0 && large.count > 0) {
        std::printf("counts: wall time of the POSTs (each from connecting to the request delivered and the\n"
                    "connection closed) over their bodies' bytes; min / median / max over %d repetitions\n",
                    small.count);
        std::printf("listener 1 MiB  : %s ns/byte [baseline]\n", small.text("%.3f").c_str());
        std::printf("listener 16 MiB : %s ns/byte\n", large.text("%.3f").c_str());
        std::printf("per-byte cost ratio 16 MiB / 1 MiB, of the medians: %.2f (1.0 = linear)\n",
                    large.median / small.median);
    }
    benchmark::Shutdown();
    return 0;
}
