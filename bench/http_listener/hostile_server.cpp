// The camera listener as a process of its own, for scripts that attack it
// (bench/http_listener/attack.py): the listener on one port and, for comparison, a
// bare QTcpServer sink on another that reads whatever arrives until the client
// stops sending, then answers and closes. Prints "READY" once both listen, one
// "REQ <path> <bytes>" per request handed on, and "STAT" lines every 250 ms.
//   hostile_server <listener port> <sink port> [max connections]
#include "Common/Http/HttpServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {
QByteArray statusField(const char *name)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return "0";
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(name))
            return line.mid(int(qstrlen(name))).trimmed().split(' ').value(0);
    return "0";
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <listener port> <sink port> [max connections]\n", argv[0]);
        return 2;
    }
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type >= QtWarningMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    HttpServer::Limits limits;
    if (argc > 3)
        limits.maxConnections = QByteArray(argv[3]).toInt();
    HttpServer server(limits);
    int requests = 0;
    QObject::connect(&server, &HttpServer::requestReceived, [&](QHostAddress, HttpServer::Request r) {
        ++requests;
        std::printf("REQ %s %d\n", qPrintable(r.path), r.body.size());
        std::fflush(stdout);
    });
    server.listen(QByteArray(argv[1]).toInt());

    QTcpServer sink;
    QObject::connect(&sink, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *s = sink.nextPendingConnection()) {
            auto *left = new qint64(-1);
            QObject::connect(s, &QTcpSocket::readyRead, [s, left] {
                if (*left < 0) {
                    if (s->bytesAvailable() < 16)
                        return;
                    *left = s->read(16).trimmed().toLongLong();
                }
                *left -= s->readAll().size();
                if (*left <= 0) {
                    s->write("HTTP/1.1 200 OK\r\n\r\n");
                    s->disconnectFromHost();
                }
            });
            QObject::connect(s, &QTcpSocket::disconnected, [s, left] {
                delete left;
                s->deleteLater();
            });
        }
    });
    if (!sink.listen(QHostAddress::LocalHost, quint16(QByteArray(argv[2]).toInt()))) {
        std::fprintf(stderr, "sink cannot listen\n");
        return 1;
    }

    QTimer stat;
    QObject::connect(&stat, &QTimer::timeout, [&] {
        std::printf("STAT rss_kb=%s hwm_kb=%s connections=%d held=%lld requests=%d\n",
                    statusField("VmRSS:").constData(), statusField("VmHWM:").constData(), server.connectionCount(),
                    server.bufferedBytes(), requests);
        std::fflush(stdout);
    });
    stat.start(250);
    std::printf("READY\n");
    std::fflush(stdout);
    return app.exec();
}
