// The camera listener against real clients: nc and curl processes, and raw TCP
// sockets where the test must control how the bytes are cut into packets.
#include "Common/Http/HttpServer.h"
#include "Common/Http/HttpRequestAssembler.h"

#include "LogCapture.h"
#include "TestUtil.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

const QByteArray Ok("HTTP/1.1 200 OK\r\n\r\n");

struct Received
{
    QHostAddress peer;
    HttpServer::Request request;
};

// Records every request that the listener hands on.
class Recorder : public QObject
{
public:
    explicit Recorder(HttpServer &server)
    {
        connect(&server, &HttpServer::requestReceived, this,
                [this](QHostAddress peer, HttpServer::Request r) { list.append({peer, r}); });
    }
    QList<Received> list;
};

// A raw TCP client whose writes go out at once, one packet each.
class RawClient
{
public:
    explicit RawClient(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.waitForConnected(3000);
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { reply += socket.readAll(); });
    }
    bool connected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    // Writes the bytes and gives the listener, in this same thread, the chance to read them.
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.waitForBytesWritten(3000);
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }
    bool waitClosed(int ms = 5000)
    {
        return TestUtil::waitUntil([this] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms);
    }
    QTcpSocket socket;
    QByteArray reply;
};

// Runs a command line tool without blocking the listener that runs in this thread.
struct Tool
{
    QProcess proc;
    void start(const QString &program, const QStringList &args, const QByteArray &input = {})
    {
        proc.start(program, args);
        QVERIFY(proc.waitForStarted(3000));
        if (!input.isNull()) {
            proc.write(input);
            proc.closeWriteChannel();
        }
    }
    bool finish(int ms = 10000)
    {
        return TestUtil::waitUntil([this] { return proc.state() == QProcess::NotRunning; }, ms);
    }
};

QByteArray post(const QByteArray &path, const QByteArray &body)
{
    return "POST " + path + " HTTP/1.1\r\nHost: lane\r\nContent-Type: application/json\r\nContent-Length: "
           + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray pattern(char seed, int size)
{
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        b[i] = char('a' + (seed + i * 7 + i / 251) % 26);
    return b;
}

} // namespace

class TestHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_server.reset(new HttpServer);
        m_rec.reset(new Recorder(*m_server));
        m_server->listen(0);
        m_port = m_server->serverPort();
        QVERIFY(m_port);
    }
    void cleanup()
    {
        m_rec.reset();
        m_server.reset();
    }

    void deliversAndAnswers_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");

        QTest::newRow("crlf") << post("/plate", R"({"plate":"ABC1234"})") << "POST"
                              << "/plate" << QByteArray(R"({"plate":"ABC1234"})");
        QTest::newRow("lf only") << QByteArray("POST /container HTTP/1.1\nContent-Length: 4\n\nQZXU")
                                 << "POST" << "/container" << QByteArray("QZXU");
        QTest::newRow("query string") << post("/plate?camera=front&x=1", "{}") << "POST" << "/plate"
                                      << QByteArray("{}");
        QTest::newRow("header case, second length ignored")
            << QByteArray("PUT /a HTTP/1.1\r\ncOnTeNt-LeNgTh:   3 \r\nContent-Length: 9\r\n\r\nxyz")
            << "PUT" << "/a" << QByteArray("xyz");
        QTest::newRow("bytes after body dropped") << post("/b", "12345") + "TRAILING" << "POST"
                                                  << "/b" << QByteArray("12345");
        QTest::newRow("body holds a blank line")
            << QByteArray("POST /c HTTP/1.1\nContent-Length: 8\n\nab\r\n\r\ncd") << "POST"
            << "/c" << QByteArray("ab\r\n\r\ncd");
    }
    void deliversAndAnswers()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);

        LogCapture log(false);
        Tool nc;
        nc.start("nc", {"127.0.0.1", QString::number(m_port)}, raw);
        QVERIFY(nc.finish());
        QCOMPARE(nc.proc.readAllStandardOutput(), Ok);
        QCOMPARE(m_rec->list.size(), 1);
        QCOMPARE(m_rec->list[0].request.method, method);
        QCOMPARE(m_rec->list[0].request.path, path);
        QCOMPARE(m_rec->list[0].request.body, body);
        QCOMPARE(m_rec->list[0].peer, QHostAddress(QHostAddress::LocalHost));
        QVERIFY(log.contains("[HttpServer] New connection received from : 127.0.0.1"));
        QVERIFY(log.contains(QString("[HttpServer] HTTP request received : method=%1, path=%2").arg(method, path)));
    }

    // As curl posts: with a length, chunked, and waiting for "100 Continue" (for longer
    // than the test waits, so a listener that does not answer it fails).
    void curlPost_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("interim");
        QTest::newRow("length") << QStringList() << false;
        QTest::newRow("chunked") << QStringList{"-H", "Transfer-Encoding: chunked"} << false;
        QTest::newRow("expect 100-continue") << QStringList{"--expect100-timeout", "60", "-H", "Expect: 100-continue"}
                                             << true;
    }
    void curlPost()
    {
        QFETCH(QStringList, args);
        QTemporaryDir dir;
        QByteArray body = R"({"type":"plate","value":"ΚΗΝ-1234","image":"_"})";
        body.replace("_", pattern('i', 300000));
        QFile f(dir.filePath("body.json"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(body);
        f.close();
        Tool curl;
        curl.start("curl", args + QStringList{"-sS", "-v", "-o", "/dev/null", "-w", "%{http_code}", "--data-binary",
                                              "@" + f.fileName(), "-H", "Content-Type: application/json",
                                              QString("http://127.0.0.1:%1/vor/plate?seq=7").arg(m_port)});
        QVERIFY(curl.finish(30000));
        QCOMPARE(curl.proc.readAllStandardOutput(), QByteArray("200"));
        QTEST(curl.proc.readAllStandardError().contains("< HTTP/1.1 100 Continue"), "interim");
        QCOMPARE(m_rec->list.size(), 1);
        QCOMPARE(m_rec->list[0].request.path, QString("/vor/plate"));
        QCOMPARE(m_rec->list[0].request.body, body);
    }

    // Delivered once, when the last body byte has arrived, whatever the cuts.
    void splitAcrossPackets()
    {
        const QByteArray raw = post("/plate", "0123456789");
        const QList<int> cuts{3, 14, 40, raw.indexOf("\r\n\r\n") + 1, raw.indexOf("\r\n\r\n") + 3,
                              raw.size() - 4, raw.size() - 1};
        RawClient c(m_port);
        QVERIFY(c.connected());
        int from = 0;
        for (int cut : cuts) {
            c.send(raw.mid(from, cut - from));
            from = cut;
            QCOMPARE(m_rec->list.size(), 0);
            QVERIFY(c.reply.isEmpty());
        }
        c.send(raw.mid(from));
        QVERIFY(c.waitClosed());
        QCOMPARE(c.reply, Ok);
        QCOMPARE(m_rec->list.size(), 1);
        QCOMPARE(m_rec->list[0].request.body, QByteArray("0123456789"));

        // The same through nc: the header goes out first, the body once nc is connected.
        LogCapture log(false);
        Tool nc;
        nc.start("nc", {"127.0.0.1", QString::number(m_port)});
        nc.proc.write("POST /split HTTP/1.1\nContent-Length: 6\n\nabc");
        QVERIFY(log.waitFor("[HttpServer] New connection received from : 127.0.0.1"));
        nc.proc.write("def");
        nc.proc.closeWriteChannel();
        QVERIFY(nc.finish());
        QCOMPARE(nc.proc.readAllStandardOutput(), Ok);
        QCOMPARE(m_rec->list.size(), 2);
        QCOMPARE(m_rec->list[1].request.body, QByteArray("abcdef"));
    }

    // Several cameras posting at the same moment: each body arrives whole.
    void interleavedSenders()
    {
        const int senders = 4;
        QList<QByteArray> raws;
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < senders; ++i) {
            raws << post("/cam" + QByteArray::number(i), pattern(char(i), 60000 + i * 1000));
            clients.emplace_back(new RawClient(m_port));
            QVERIFY(clients.back()->connected());
        }
        const int piece = 4096;
        for (int off = 0; off < raws.last().size(); off += piece)
            for (int i = 0; i < senders; ++i)
                if (off < raws[i].size())
                    clients[i]->send(raws[i].mid(off, piece));
        for (auto &c : clients) {
            QVERIFY(c->waitClosed());
            QCOMPARE(c->reply, Ok);
        }
        QCOMPARE(m_rec->list.size(), senders);
        for (const Received &r : m_rec->list) {
            const int i = r.request.path.mid(4).toInt();
            QCOMPARE(r.request.body, pattern(char(i), 60000 + i * 1000));
        }

        // And from separate processes, as the kernel happens to schedule them.
        QTemporaryDir dir;
        std::vector<std::unique_ptr<Tool>> curls;
        for (int i = 0; i < 6; ++i) {
            QFile f(dir.filePath(QString("b%1").arg(i)));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(pattern(char(10 + i), 1500000 + i));
            f.close();
            curls.emplace_back(new Tool);
            curls.back()->start("curl", {"-s", "--data-binary", "@" + f.fileName(),
                                         QString("http://127.0.0.1:%1/p%2").arg(m_port).arg(i)});
        }
        for (auto &c : curls)
            QVERIFY(c->finish(30000));
        QCOMPARE(m_rec->list.size(), senders + 6);
        for (const Received &r : m_rec->list.mid(senders)) {
            const int i = r.request.path.mid(2).toInt();
            QCOMPARE(r.request.body.size(), 1500000 + i);
            QVERIFY(r.request.body == pattern(char(10 + i), 1500000 + i));
        }
    }

    // Requests without a usable length are refused, saying why; later posts still arrive.
    void requestWithoutBodyDoesNotBlock()
    {
        LogCapture log(false);
        const QList<QPair<QByteArray, QByteArray>> bodiless{
            {"GET /status HTTP/1.1\r\nHost: lane\r\n\r\n",
             "HTTP/1.1 411 Length Required\r\nContent-Type: text/plain\r\nConnection: close\r\n"
             "Content-Length: 24\r\n\r\nContent-Length required\n"},
            {"POST /x HTTP/1.1\r\nContent-Length: abc\r\n\r\nabc", "HTTP/1.1 400 "},
            {"POST /x HTTP/1.1\nContent-Length: -4\n\n", "HTTP/1.1 400 "},
            {"POST /x HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 400 "},
        };
        for (const auto &request : bodiless) {
            Tool nc;
            nc.start("nc", {"127.0.0.1", QString::number(m_port)}, request.first);
            QVERIFY(nc.finish());
            QVERIFY(nc.proc.readAllStandardOutput().startsWith(request.second));
        }
        QCOMPARE(m_rec->list.size(), 0);
        QCOMPARE(log.count("[HttpServer] WARN: Dropping request without body from : 127.0.0.1"), 4);

        Tool nc;
        nc.start("nc", {"127.0.0.1", QString::number(m_port)}, post("/after", "[1,2]"));
        QVERIFY(nc.finish());
        QCOMPARE(nc.proc.readAllStandardOutput(), Ok);
        QCOMPARE(m_rec->list.size(), 1);
        QCOMPARE(m_rec->list[0].request.body, QByteArray("[1,2]"));
    }

    // A request line that does not parse is refused, not handed on; a sender
    // that goes away mid-request leaves nothing behind for the next one.
    void malformedAndAbandoned()
    {
        {
            RawClient c(m_port);
            c.send("!!! garbage\r\nContent-Length: 3\r\n\r\nabc");
            QVERIFY(c.waitClosed());
            QVERIFY(c.reply.startsWith("HTTP/1.1 400 Bad Request\r\n"));
        }
        {
            RawClient c(m_port);
            c.send(post("/partial", "0123456789").left(60));
            c.socket.disconnectFromHost();
            QVERIFY(c.waitClosed());
        }
        RawClient c(m_port);
        c.send(post("/whole", "abc"));
        QVERIFY(c.waitClosed());
        QCOMPARE(c.reply, Ok);
        QCOMPARE(m_rec->list.size(), 1);
        QCOMPARE(m_rec->list[0].request.path, QString("/whole"));
        QCOMPARE(m_rec->list[0].request.body, QByteArray("abc"));
    }

    void oversizeClosesConnection()
    {
        LogCapture log(false);
        {
            // A header that never ends.
            RawClient c(m_port);
            QByteArray header = "POST /big HTTP/1.1\r\n";
            while (header.size() <= HttpServer::MaxHeaderSize)
                header += "X-Filler: " + QByteArray(100, 'f') + "\r\n";
            c.send(header);
            QVERIFY(c.waitClosed());
            QVERIFY(c.reply.startsWith("HTTP/1.1 431 "));
            QVERIFY(log.contains("[HttpServer] WARN: Request header too large from : 127.0.0.1. Closing connection."));
        }
        {
            // A complete header that is over the limit.
            RawClient c(m_port);
            QByteArray header = "POST /big HTTP/1.1\r\nContent-Length: 2\r\n";
            while (header.size() <= HttpServer::MaxHeaderSize)
                header += "X-Filler: " + QByteArray(100, 'f') + "\r\n";
            c.send(header + "\r\nab");
            QVERIFY(c.waitClosed());
            QVERIFY(c.reply.startsWith("HTTP/1.1 431 "));
        }
        {
            // A body announced over the limit is refused before it is sent.
            RawClient c(m_port);
            c.send("POST /big HTTP/1.1\r\nContent-Length: " + QByteArray::number(HttpServer::MaxBodySize + 1)
                   + "\r\n\r\n0123");
            QVERIFY(c.waitClosed());
            QVERIFY(c.reply.startsWith("HTTP/1.1 413 "));
            QVERIFY(log.contains("[HttpServer] WARN: Request body too large (Content-Length=16777217) from : "
                                 "127.0.0.1. Closing connection."));
        }
        {
            RawClient c(m_port);
            c.send("POST /big HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n");
            QVERIFY(c.waitClosed());
            QVERIFY(c.reply.startsWith("HTTP/1.1 400 ")); // a length that is not a number counts as none
        }
        // A client that sends its whole request before it reads gets the refusal, not a reset.
        Tool python;
        python.start("/usr/bin/python3", {"-c", "import http.client as h, sys; c = h.HTTPConnection('127.0.0.1', sys.argv[1]); "
                                               "c.request('POST', '/big', b'x' * (17 << 20)); print(c.getresponse().status)", QString::number(m_port)});
        QVERIFY(python.finish(60000));
        QCOMPARE(python.proc.readAll().trimmed(), QByteArray("413"));
        QCOMPARE(m_rec->list.size(), 0);

        RawClient c(m_port);
        c.send(post("/fine", "ok"));
        QVERIFY(c.waitClosed());
        QCOMPARE(c.reply, Ok);
        QCOMPARE(m_rec->list.size(), 1);
    }

    // Moving to another port keeps serving connections already open; the old port is closed.
    void listenAgainAndClose()
    {
        LogCapture log(false);
        RawClient early(m_port);
        QVERIFY(early.connected());
        early.send("POST /early HTTP/1.1\r\nContent-Length: 2\r\n\r\n");

        m_server->listen(0);
        const quint16 second = m_server->serverPort();
        QVERIFY(second && second != m_port);
        QVERIFY(log.contains("[HttpServer] Listening for HTTP requests on : 0.0.0.0:0"));
        early.send("hi");
        QVERIFY(early.waitClosed());
        QCOMPARE(early.reply, Ok);
        QCOMPARE(m_rec->list.size(), 1);
        QCOMPARE(m_rec->list[0].request.body, QByteArray("hi"));

        QTcpSocket old;
        old.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(!old.waitForConnected(3000));

        RawClient moved(second);
        moved.send(post("/moved", "x"));
        QVERIFY(moved.waitClosed());
        QCOMPARE(moved.reply, Ok);

        m_server->close();
        QVERIFY(log.contains("[HttpServer] Stopped listening for HTTP requests"));
        log.clear();
        m_server->close();
        QVERIFY(!log.containsPart("Stopped listening"));

        // A port that another listener holds: tried again quietly, taken once it is free.
        HttpServer::Limits quick;
        quick.listenRetryMs = 50;
        HttpServer other, clash(quick);
        other.listen(0);
        const quint16 held = other.serverPort();
        clash.listen(held);
        other.close();
        QVERIFY(TestUtil::waitUntil([&] { return clash.isListening(); }));
        QCOMPARE(log.countContaining("[HttpServer] ERROR: Failed to listen : "), 1);
        RawClient taken(held);
        taken.send(post("/taken", "x"));
        QVERIFY(taken.waitClosed() && taken.reply == Ok);
    }

    // The outcome of a request never depends on how its bytes are cut: a header that
    // ends right at the limit is taken whether it arrives whole or a byte at a time.
    void assemblyIgnoresCuts_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("status");
        const int limit = 512;
        auto header = [](const QByteArray &end, int size) {
            QByteArray h = "POST /p HTTP/1.1\r\nContent-Length: 2\r\nX: ";
            h += QByteArray(size - h.size(), 'x');
            return h + end + "ab";
        };
        using S = HttpRequestAssembler::Status;
        QTest::newRow("lf end at limit") << header("\n\n", limit) << int(S::Complete);
        QTest::newRow("crlf end at limit") << header("\r\n\r\n", limit) << int(S::Complete);
        QTest::newRow("end past limit") << header("\n\n", limit + 1) << int(S::HeaderTooLarge);
        QTest::newRow("no end") << QByteArray(limit + 4, 'x') << int(S::HeaderTooLarge);
        const QByteArray chunked = "POST /p HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n";
        QTest::newRow("chunked") << chunked + "1\r\na\r\n1;x=y\r\nb\r\n0\r\nT: 1\r\n\r\nnext" << int(S::Complete);
        QTest::newRow("chunked, empty") << chunked + "0\r\n\r\n" << int(S::NoBody);
        QTest::newRow("chunked past the bound") << chunked + "800\r\n" + QByteArray(2048, 'x') + "\r\n801\r\n"
                                                << int(S::BodyTooLarge);
        QTest::newRow("chunked, bad size") << chunked + "1x\r\na\r\n" << int(S::Malformed);
        QTest::newRow("chunked and a length") << chunked.left(18) + "Content-Length: 2\r\n" + chunked.mid(18) + "ab"
                                              << int(S::Malformed);
    }
    void assemblyIgnoresCuts()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, status);
        for (int piece : {1, 3, 7, raw.size()}) {
            HttpRequestAssembler a(512, 4096);
            for (int at = 0; at < raw.size() && a.status() == HttpRequestAssembler::Status::Incomplete; at += piece)
                a.feed(raw.constData() + at, qMin(piece, raw.size() - at));
            QCOMPARE(int(a.status()), status);
            HttpServer::Request r;
            QCOMPARE(a.take(r), status == int(HttpRequestAssembler::Status::Complete));
            if (status == int(HttpRequestAssembler::Status::Complete))
                QCOMPARE(r.body, QByteArray("ab"));
        }
    }

    // Clients that hold a connection without completing a request are closed at their
    // time-out, while a camera's post is still served.
    void timeouts_data()
    {
        QTest::addColumn<QByteArray>("first");   // sent at once
        QTest::addColumn<QByteArray>("trickle"); // then one byte every 50 ms
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("atLeastMs");
        const QByteArray header = "POST /t HTTP/1.1\r\nContent-Length: 15728640\r\n\r\n";
        QTest::newRow("nothing sent") << QByteArray() << QByteArray() << "header" << 300;
        QTest::newRow("header stalls") << QByteArray("POST /t HTTP/1.1\r\n") << QByteArray() << "header" << 300;
        QTest::newRow("header trickles") << QByteArray() << QByteArray(200, 'x') << "header" << 300;
        QTest::newRow("body stalls") << header + "abc" << QByteArray() << "idle" << 400;
        QTest::newRow("body trickles") << header << QByteArray(200, 'x') << "request" << 1000;
    }
    void timeouts()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, trickle);
        QFETCH(QString, reason);
        QFETCH(int, atLeastMs);
        HttpServer::Limits limits;
        limits.headerTimeoutMs = 300;
        limits.idleTimeoutMs = 400;
        limits.requestTimeoutMs = 1000;
        HttpServer server(limits);
        Recorder rec(server);
        server.listen(0);
        const quint16 port = server.serverPort();
        LogCapture log(false);

        RawClient c(port);
        QElapsedTimer held;
        held.start();
        if (!first.isEmpty())
            c.send(first);
        QTimer drip;
        int sent = 0;
        QObject::connect(&drip, &QTimer::timeout, [&] {
            if (sent < trickle.size())
                c.socket.write(trickle.mid(sent++, 1));
        });
        drip.start(50);
        // The header announced 15 MiB; what is held grows with what arrived.
        QVERIFY(TestUtil::waitUntil([&] { return server.connectionCount() == 1; }));
        QVERIFY(server.bufferedBytes() < 256 * 1024);

        RawClient camera(port);
        camera.send(post("/camera", "{}"));
        QVERIFY(camera.waitClosed());
        QCOMPARE(camera.reply, Ok);

        QVERIFY(c.waitClosed(5000));
        QVERIFY2(held.elapsed() >= atLeastMs, qPrintable(QString::number(held.elapsed())));
        QVERIFY(c.reply.isEmpty());
        QVERIFY(log.contains(QString("[HttpServer] WARN: Closing connection from : 127.0.0.1 (%1 time-out)").arg(reason)));
        QCOMPARE(rec.list.size(), 1);
        QVERIFY(TestUtil::waitUntil([&] { return server.connectionCount() == 0 && server.bufferedBytes() == 0; }));
    }

    // At the cap of connections the one idle longest gives way; a request whose body
    // would grow past the byte budget waits until another request releases its bytes.
    void connectionAndByteBounds()
    {
        HttpServer::Limits limits;
        limits.maxConnections = 3;
        limits.maxBufferedBytes = 256 * 1024;
        limits.idleTimeoutMs = 600;
        HttpServer server(limits);
        Recorder rec(server);
        server.listen(0);
        const quint16 port = server.serverPort();
        LogCapture log(false);

        std::vector<std::unique_ptr<RawClient>> idle;
        for (int i = 0; i < 3; ++i) {
            idle.emplace_back(new RawClient(port));
            QVERIFY(TestUtil::waitUntil([&] { return server.connectionCount() == i + 1; }));
        }
        RawClient first(port);
        QVERIFY(idle[0]->waitClosed());
        QVERIFY(log.contains("[HttpServer] WARN: Too many connections: closing the one idle longest, from : 127.0.0.1"));
        QCOMPARE(server.connectionCount(), 3);
        first.send(post("/first", "1"));
        QVERIFY(first.waitClosed());
        QCOMPARE(first.reply, Ok);
        idle.clear();
        QVERIFY(TestUtil::waitUntil([&] { return server.connectionCount() == 0; }));

        // A flood of connections: a few eviction lines, then one count of the rest.
        for (int i = 0; i < 16; ++i)
            idle.emplace_back(new RawClient(port));
        QVERIFY(log.waitForPart("[HttpServer] WARN: Left out "));
        QVERIFY(log.countContaining("Too many connections") < 12);
        idle.clear();
        QVERIFY(TestUtil::waitUntil([&] { return server.connectionCount() == 0; }));

        // A holds the whole budget and stalls; B's body waits for it.
        RawClient a(port);
        a.send("POST /a HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + QByteArray(256 * 1024, 'a'));
        QVERIFY(TestUtil::waitUntil([&] { return server.bufferedBytes() >= limits.maxBufferedBytes; }));
        RawClient b(port);
        const QByteArray body = pattern('b', 200 * 1024);
        b.socket.write(post("/b", body));
        qint64 most = 0;
        bool aClosedFirst = false;
        QVERIFY(TestUtil::waitUntil([&] {
            most = qMax(most, server.bufferedBytes());
            aClosedFirst = a.socket.state() == QAbstractSocket::UnconnectedState;
            return !b.reply.isEmpty();
        }, 5000));
        QVERIFY(aClosedFirst);
        QVERIFY(log.contains("[HttpServer] WARN: Closing connection from : 127.0.0.1 (idle time-out)"));
        QCOMPARE(rec.list.size(), 2);
        QCOMPARE(rec.list[1].request.body, body);
        QVERIFY2(most <= 2 * limits.maxBufferedBytes, qPrintable(QString::number(most)));

        // Two requests that each need more than half the budget do not wait for each other.
        RawClient c1(port), c2(port);
        c1.socket.write(post("/c1", pattern('c', 300 * 1024)));
        c2.socket.write(post("/c2", pattern('d', 300 * 1024)));
        QVERIFY(c1.waitClosed(3000));
        QVERIFY(c2.waitClosed(3000));
        QCOMPARE(c1.reply, Ok);
        QCOMPARE(c2.reply, Ok);
        QCOMPARE(rec.list.size(), 4);
    }

private:
    quint16 m_port = 0;
    std::unique_ptr<HttpServer> m_server;
    std::unique_ptr<Recorder> m_rec;
};

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
