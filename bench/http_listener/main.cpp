// Listener throughput: one POST per iteration over loopback, the client writing
// its body in 64 KiB pieces. A 16 MiB body should cost per byte what a 1 MiB body
// costs: the assembly of a request must stay linear in its size.
#include "Common/Http/HttpServer.h"

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

struct Totals
{
    double seconds = 0;
    double bytes = 0;
};
std::map<qint64, Totals> g_totals;

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
    Totals &t = g_totals[size];
    t = Totals();
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        if (!postOnce(server, port, body)) {
            state.SkipWithError("request not delivered");
            break;
        }
        t.seconds += timer.nsecsElapsed() / 1e9;
        t.bytes += double(size);
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["MB/s"] = t.seconds > 0 ? t.bytes / 1e6 / t.seconds : 0;
}

} // namespace

BENCHMARK(BM_ListenerPost)->Arg(1 << 20)->Arg(16 << 20)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();

    const Totals small = g_totals[1 << 20];
    const Totals large = g_totals[16 << 20];
    if (small.bytes > 0 && large.bytes > 0) {
        const double smallNs = small.seconds * 1e9 / small.bytes;
        const double largeNs = large.seconds * 1e9 / large.bytes;
        std::printf("listener 1 MiB  : %8.1f MB/s (%.3f ns/byte) [baseline]\n", small.bytes / 1e6 / small.seconds,
                    smallNs);
        std::printf("listener 16 MiB : %8.1f MB/s (%.3f ns/byte)\n", large.bytes / 1e6 / large.seconds, largeNs);
        std::printf("per-byte cost ratio 16 MiB / 1 MiB: %.2f (1.0 = linear)\n", largeNs / smallNs);
    }
    benchmark::Shutdown();
    return 0;
}
