// The HTTP client against a real Python HTTPS/HTTP server whose certificates are
// made by openssl when the test starts, and which requires a client certificate.
#include "Common/Http/HttpAnswerParser.h"
#include "Common/Http/HttpClient.h"

#include "LogCapture.h"
#include "PeerProcess.h"
#include "TestUtil.h"

#include <QAuthenticator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {

struct Outcome
{
    int state = 0; // 0 pending, 1 resolved, 2 rejected
    int status = -99;
    QJsonValue body;
    QList<QPair<int, QString>> progress;
};

// Registers on the result and runs the event loop until it settles (or ms pass).
Outcome settle(Deferred<int, QJsonValue> d, int ms = 10000)
{
    auto out = std::make_shared<Outcome>();
    d.progress([out](int percent, QJsonValue text) { out->progress.append({percent, text.toString()}); });
    d.done([out](int status, QJsonValue body) {
        out->state = 1;
        out->status = status;
        out->body = body;
    });
    d.fail([out](int status, QJsonValue body) {
        out->state = 2;
        out->status = status;
        out->body = body;
    });
    TestUtil::waitUntil([out] { return out->state != 0; }, ms);
    return *out;
}

} // namespace

class TestHttpClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_certs.isValid());
        QProcess ca;
        ca.start("sh", {PEERS_DIR "/make_test_ca.sh", m_certs.path()});
        QVERIFY(ca.waitForFinished(60000));
        QCOMPARE(ca.exitCode(), 0);

        QVERIFY(m_peer.startPython(QStringLiteral("http_peer.py"), {m_certs.path()}, "PORTS", 10000));
        const QList<QByteArray> words = m_peer.output().split('\n').first().trimmed().split(' ');
        QCOMPARE(words.size(), 3);
        m_https = QString("https://127.0.0.1:%1").arg(words[1].toInt());
        m_http = QString("http://127.0.0.1:%1").arg(words[2].toInt());
    }

    void cleanupTestCase()
    {
        QVERIFY(m_peer.stop());
    }

    // The right certificate gets in; the body, headers and method reach the server.
    void tlsWithClientCertificate()
    {
        LogCapture log(false);
        HttpClient client;
        trust(client);
        client.setHeader("X-Api-Key", "k-123");
        client.setHeader("Content-Type", "application/json");

        Outcome o = settle(client.post(QUrl(m_https + "/echo"), QJsonObject{{"plate", "ABC1234"}}));
        QCOMPARE(o.state, 1);
        QCOMPARE(o.status, 200);
        QJsonObject echo = o.body.toObject();
        QCOMPARE(echo["method"].toString(), QString("POST"));
        QCOMPARE(echo["tls"].toString(), QString("TLSv1.2"));
        QCOMPARE(echo["body"].toString(), QString(R"({"plate":"ABC1234"})"));
        QCOMPARE(echo["headers"].toObject()["X-Api-Key"].toString(), QString("k-123"));
        QCOMPARE(echo["headers"].toObject()["Content-Type"].toString(), QString("application/json"));
        QVERIFY(log.contains("[HttpClient] Performing POST request : " + m_https + "/echo"));
        QVERIFY(log.contains(R"([HttpClient] Data : {"plate":"ABC1234"})"));
        o = settle(client.post(QUrl(m_https + "/echo"), QJsonObject{{"plate", "B"}, {"token", "t1"}}));
        QCOMPARE(o.body.toObject()["body"].toString(), QString(R"({"plate":"B","token":"t1"})"));
        QVERIFY(log.contains(R"([HttpClient] Data : {"plate":"B","token":"****"})"));
        QCOMPARE(log.count("[HttpClient] Creating new Network Access Manager for thread "), 1);

        // The other operations, and the other kinds of body.
        o = settle(client.put(QUrl(m_https + "/echo?x=1"), QJsonArray{1, 2}));
        QCOMPARE(o.body.toObject()["method"].toString(), QString("PUT"));
        QCOMPARE(o.body.toObject()["body"].toString(), QString("[1,2]"));
        QCOMPARE(o.body.toObject()["query"].toString(), QString("x=1"));
        o = settle(client.post(QUrl(m_https + "/echo"), QJsonValue("plain text")));
        QCOMPARE(o.body.toObject()["body"].toString(), QString("plain text"));
        QVERIFY(log.contains("[HttpClient] Data : []"));
        o = settle(client.post(QUrl(m_https + "/echo"), QJsonValue(42)));
        QCOMPARE(o.body.toObject()["body"].toString(), QString());
        o = settle(client.del(QUrl(m_https + "/echo")));
        QCOMPARE(o.body.toObject()["method"].toString(), QString("DELETE"));
        o = settle(client.get(QUrl(m_https + "/echo")));
        QCOMPARE(o.body.toObject()["method"].toString(), QString("GET"));
        QCOMPARE(log.count("[HttpClient] Creating new Network Access Manager for thread "), 1);
    }

    void tlsRefused()
    {
        LogCapture log(false);
        {
            // No client certificate: only the root is set.
            HttpClient client;
            client.setTLSRootCA(m_certs.filePath("ca.pem"));
            const Outcome o = settle(client.get(QUrl(m_https + "/echo")));
            QCOMPARE(o.state, 2);
            QCOMPARE(o.status, 0);
            QVERIFY(!o.body.toString().isEmpty());
            QCOMPARE(log.count("[HttpClient] ERROR: Could not open file : "), 2);
            settle(client.get(QUrl(m_https + "/echo"))); // and again at every request
            QCOMPARE(log.count("[HttpClient] ERROR: Could not open file : "), 4);
        }
        {
            // A key others may read (everyone, or its group) draws one warning, however often it is set.
            const QString open = m_certs.filePath("open.key");
            QVERIFY(QFile::copy(m_certs.filePath("client.key"), open));
            QVERIFY(QFile::setPermissions(open, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
            HttpClient a, b;
            a.setTLSKey(open);
            b.setTLSKey(open);
            QCOMPARE(log.count("[HttpClient] WARN: Client key file is readable by others : " + open), 1);
            const QString group = m_certs.filePath("group.key"); // readable by its group
            QVERIFY(QFile::copy(open, group) && QFile::setPermissions(group, QFile::ReadOwner | QFile::ReadGroup));
            a.setTLSKey(group);
            QCOMPARE(log.count("[HttpClient] WARN: Client key file is readable by others : " + group), 1);
        }
        {
            // A certificate from an authority the server does not know; once the files are
            // replaced by the right ones, the next request uses them.
            QTemporaryDir dir;
            auto install = [&](const QString &from, const QString &to) {
                QFile in(m_certs.filePath(from)), out(dir.filePath(to));
                return in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly)
                       && out.setPermissions(QFile::ReadOwner | QFile::WriteOwner) && out.write(in.readAll()) > 0;
            };
            QVERIFY(install("other.pem", "cert.pem") && install("other.key", "key.pem"));
            HttpClient client;
            client.setTLSRootCA(m_certs.filePath("ca.pem"));
            client.setTLSCert(dir.filePath("cert.pem"));
            client.setTLSKey(dir.filePath("key.pem"));
            Outcome o = settle(client.get(QUrl(m_https + "/echo")));
            QCOMPARE(o.state, 2);
            QCOMPARE(o.status, 0);
            QVERIFY(install("client.pem", "cert.pem") && install("client.key", "key.pem"));
            o = settle(client.get(QUrl(m_https + "/echo")));
            QVERIFY2(o.state == 1, qPrintable(o.body.toString()));
        }
        {
            // The server is not trusted: only the configured root counts, not the system's.
            HttpClient client;
            trust(client);
            client.setTLSRootCA(m_certs.filePath("other.pem"));
            Outcome o = settle(client.get(QUrl(m_https + "/echo")));
            QCOMPARE(o.state, 2);
            QCOMPARE(o.status, 0);
            QVERIFY(log.contains("[HttpClient] SSL Error(s) occured : "));
            QVERIFY(log.containsPart("[HttpClient]  - "));

            client.setIgnoreSslErrors(true);
            QVERIFY(client.ignoreSslErrors());
            o = settle(client.get(QUrl(m_https + "/echo")));
            QCOMPARE(o.state, 1);
            QCOMPARE(o.status, 200);
            QVERIFY(log.contains(
                "[HttpClient] Ignoring SSL Errors ('ignoreSslErrors' is set to 'true' in configuration)"));
        }
    }

    void answers_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("status");
        QTest::addColumn<QJsonValue>("body");

        QTest::newRow("204 empty") << "/status/204" << 1 << 204 << QJsonValue(QString(""));
        QTest::newRow("text") << "/status/200?body=hello" << 1 << 200 << QJsonValue("hello");
        QTest::newRow("array") << "/status/200?body=[1,2]" << 1 << 200 << QJsonValue(QJsonArray{1, 2});
        QTest::newRow("blank before object") << "/status/200?body=%20{\"a\":1}" << 1 << 200
                                             << QJsonValue(" {\"a\":1}");
        QTest::newRow("broken object") << "/status/200?body={oops" << 1 << 200 << QJsonValue(QJsonObject());
        QTest::newRow("error object") << "/status/400?body={\"error\":\"bad plate\"}" << 2 << 400
                                      << QJsonValue(QJsonObject{{"error", "bad plate"}});
        QTest::newRow("error text") << "/status/500?body=database%20down" << 2 << 500 << QJsonValue();
        QTest::newRow("error array") << "/status/422?body=[1]" << 2 << 422 << QJsonValue();
        QTest::newRow("error, token in the address") << "/status/500?token=s3cret" << 2 << 500 << QJsonValue();
        // Beyond the bound: no answer at all, whether its length was announced or not.
        QTest::newRow("too large") << "/big?size=4200000" << 2 << 0 << QJsonValue("Answer too large");
        QTest::newRow("too large, chunked") << "/big?size=4200000&chunked=1" << 2 << 0 << QJsonValue("Answer too large");
    }
    void answers()
    {
        QFETCH(QString, path);
        QFETCH(int, state);
        QFETCH(int, status);
        QFETCH(QJsonValue, body);

        LogCapture log(false);
        HttpClient client;
        const Outcome o = settle(client.get(QUrl(m_http + path)));
        QCOMPARE(log.countContaining("s3cret") + int(o.body.toString().contains("s3cret")), 0);
        QCOMPARE(o.state, state);
        QCOMPARE(o.status, status);
        if (body.isUndefined() || body.isNull()) {
            // Not an object: the network layer's error text.
            QVERIFY(o.body.isString());
            QVERIFY2(o.body.toString().contains("server replied"), qPrintable(o.body.toString()));
        } else {
            QCOMPARE(o.body, body);
        }
    }

    // Answers fed in the pieces between the '|' marks (or byte by byte), then the close.
    void answerParser_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("bytewise");
        QTest::addColumn<int>("state"); // 0 complete, 1 failed, 2 too large
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        QTest::newRow("length, split") << ok + "Content-Le|ngth: 5\r\n\r|\nhel|lo" << false << 0 << 200 << QByteArray("hello");
        const QByteArray chunked = ok + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2;x=1\r\nde\r\n0\r\nT: 1\r\n\r\n";
        QTest::newRow("chunked") << chunked << false << 0 << 200 << QByteArray("abcde");
        QTest::newRow("chunked, byte by byte") << chunked << true << 0 << 200 << QByteArray("abcde");
        QTest::newRow("interim skipped") << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n")
                                         << false << 0 << 201 << QByteArray();
        QTest::newRow("until closed") << ok + "\r\nab|c" << false << 0 << 200 << QByteArray("abc");
        QTest::newRow("same length twice") << ok + "Content-Length: 2, 2\r\n\r\nab" << false << 0 << 200 << QByteArray("ab");
        QTest::newRow("cut short") << ok + "Content-Length: 5\r\n\r\nabc" << false << 1 << 200 << QByteArray();
        QTest::newRow("bad length") << ok + "Content-Length: 5x\r\n\r\nhello" << false << 1 << 200 << QByteArray();
        QTest::newRow("conflicting lengths") << ok + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd" << false << 1
                                             << 200 << QByteArray();
        QTest::newRow("length and chunked") << ok + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
                                            << false << 1 << 200 << QByteArray();
        QTest::newRow("chunk size overflow") << ok + "Transfer-Encoding: chunked\r\n\r\n10000000000000000\r\n" << false
                                             << 1 << 200 << QByteArray();
        QTest::newRow("bad status line") << QByteArray("HTTP/2 200 OK\r\n\r\n") << false << 1 << 0 << QByteArray();
        QTest::newRow("oversized header") << ok + "X: " + QByteArray(70000, 'a') + "\r\n\r\n" << false << 1 << 200
                                          << QByteArray();
        QTest::newRow("too many headers") << ok + QByteArray("X: 1\r\n").repeated(101) + "\r\n" << false << 1 << 200
                                          << QByteArray();
        QTest::newRow("too large, announced") << ok + "Content-Length: 17\r\n\r\n" << false << 2 << 200 << QByteArray();
        QTest::newRow("too large, chunked") << ok + "Transfer-Encoding: chunked\r\n\r\n9\r\n123456789\r\n9\r\n" << false
                                            << 2 << 200 << QByteArray();
    }
    void answerParser()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, bytewise);
        QFETCH(int, state);
        HttpAnswerParser parser(16);
        const QList<QByteArray> pieces = bytes.split('|');
        for (const QByteArray &piece : pieces) {
            for (int at = 0; at < piece.size(); at += bytewise ? 1 : piece.size())
                parser.feed(piece.constData() + at, bytewise ? 1 : piece.size());
        }
        parser.closed();
        QCOMPARE(int(parser.isComplete() ? 0 : parser.state() == HttpAnswerParser::State::TooLarge ? 2 : 1), state);
        QTEST(parser.status(), "status");
        if (state == 0)
            QTEST(parser.body(), "body");
    }

    // A kept connection the server closed as the next request came is replaced once, for a
    // request of which no answer came; a request whose answer was cut off is not sent again.
    void keptConnectionClosed_data()
    {
        QTest::addColumn<QStringList>("script"); // per connection, per request: a=answer, c=close, p=part, then close
        QTest::addColumn<QList<int>>("states"); // of the requests made one after the other
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("connections");
        QTest::newRow("closed when the request came") << QStringList{"ac", "a"} << QList<int>{1, 1} << 3 << 2;
        QTest::newRow("answer cut off") << QStringList{"ap", "a"} << QList<int>{1, 2} << 2 << 1;
        QTest::newRow("closed on a new connection") << QStringList{"c", "a"} << QList<int>{2} << 1 << 1;
    }
    void keptConnectionClosed()
    {
        QFETCH(QStringList, script);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        int requests = 0, connections = 0;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = server.nextPendingConnection();
            const QString steps = script.value(connections++);
            auto seen = std::make_shared<int>(0);
            connect(socket, &QTcpSocket::readyRead, socket, [socket, steps, seen, &requests] {
                if (!socket->readAll().endsWith("\r\n\r\n")) // a request comes whole in one read here
                    return;
                ++requests;
                const QChar step = *seen < steps.size() ? steps[(*seen)++] : QChar();
                const QByteArray answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}";
                if (step == 'a')
                    socket->write(answer);
                else if (step == 'p')
                    socket->write(answer.left(20));
                if (step != 'a')
                    socket->disconnectFromHost();
            });
        });
        HttpClient client;
        const QUrl url(QString("http://127.0.0.1:%1/x").arg(server.serverPort()));
        QFETCH(QList<int>, states);
        QList<int> got;
        while (got.size() < states.size())
            got.append(settle(client.get(url)).state);
        QCOMPARE(got, states);
        QTEST(requests, "requests");
        QTEST(connections, "connections");
    }

    void failuresWithoutAnswer()
    {
        LogCapture log(false);
        HttpClient client;

        // Invalid URL: rejected before the call returns, nothing sent.
        auto d = client.get(QUrl("http://127.0.0.1:99999/x"));
        QVERIFY(d.isRejected());
        Outcome o = settle(d, 0);
        QCOMPARE(o.status, 0);
        QCOMPARE(o.body, QJsonValue("Invalid URL"));
        QVERIFY(log.containsPart("[HttpClient] ERROR: Invalid URL : "));
        QCOMPARE(settle(client.post(QUrl(), QJsonObject()), 0).body, QJsonValue("Invalid URL"));

        // Nobody listening.
        const TestUtil::ReservedPort closed;
        o = settle(client.get(QUrl(QString("http://127.0.0.1:%1/").arg(closed.port()))));
        QCOMPARE(o.state, 2);
        QCOMPARE(o.status, 0);
        QCOMPARE(o.body, QJsonValue("Connection refused"));
    }

    void timeouts()
    {
        LogCapture log(false);
        HttpClient client;
        trust(client);
        Outcome o = settle(client.get(QUrl(m_https + "/slow?ms=5000"), 300));
        QCOMPARE(o.state, 2);
        QCOMPARE(o.status, 0);
        QCOMPARE(o.body, QJsonValue("Operation canceled"));
        QVERIFY(log.contains("[HttpClient] ERROR: Request timed-out (timeout=300 msec). Aborting."));
        QVERIFY(!log.containsPart("device not open")); // the aborted reply is not read

        // 0: no time-out at all (a timer armed with 0 would abort at once).
        log.clear();
        o = settle(client.get(QUrl(m_https + "/slow?ms=400"), 0));
        QCOMPARE(o.state, 1);
        QVERIFY(!log.containsPart("timed-out"));

        // A redirected request runs with the default time-out, not the first one's.
        o = settle(client.get(QUrl(m_https + "/redirect?to=/slow%3Fms%3D600"), 300));
        QCOMPARE(o.state, 1);
        QCOMPARE(o.body, QJsonValue(QJsonObject{{"slow", true}}));
    }

    void redirects()
    {
        LogCapture log(false);
        HttpClient client;
        trust(client);
        client.setHeader("X-Api-Key", "k-123");

        // Relative target: the POST is repeated with its body on the resolved URL.
        auto redirected = client.post(QUrl(m_https + "/redirect?to=echo&code=307"), QJsonObject{{"n", 1}});
        client.setHeader("X-Api-Key", "k-456"); // for later requests: this one keeps its own
        Outcome o = settle(redirected);
        QCOMPARE(o.state, 1);
        QCOMPARE(o.body.toObject()["method"].toString(), QString("POST"));
        QCOMPARE(o.body.toObject()["path"].toString(), QString("/echo"));
        QCOMPARE(o.body.toObject()["body"].toString(), QString(R"({"n":1})"));
        QCOMPARE(o.body.toObject()["headers"].toObject()["X-Api-Key"].toString(), QString("k-123"));
        QVERIFY(log.contains("[HttpClient] WARN: Request was redirected to : " + m_https + "/echo"));

        // Ten hops are followed, an eleventh is not; a loop ends the same way.
        o = settle(client.get(QUrl(m_https + "/hops/10")));
        QCOMPARE(o.state, 1);
        QCOMPARE(o.body, QJsonValue(QJsonObject{{"hops", 0}}));
        o = settle(client.del(QUrl(m_https + "/hops/11")));
        QCOMPARE(o.state, 2);
        QCOMPARE(o.status, -1);
        QCOMPARE(o.body, QJsonValue("Cannot redirect request to : " + m_https + "/hops/0"));
        log.clear();
        o = settle(client.put(QUrl(m_https + "/loop"), QJsonObject()));
        QCOMPARE(o.state, 2);
        QCOMPARE(o.status, -1);
        QCOMPARE(o.body, QJsonValue("Cannot redirect request to : " + m_https + "/loop"));
        QCOMPARE(log.count("[HttpClient] WARN: Request was redirected to : " + m_https + "/loop"), 11);
        QVERIFY(log.contains("[HttpClient] ERROR: Too many redirects (10). Giving up."));

        // From HTTPS to plain HTTP: refused, and the plain server never hears of it.
        const QString down = m_http + "/echo";
        o = settle(client.post(QUrl(m_https + "/redirect?to=" + QUrl::toPercentEncoding(down)), QJsonObject()));
        QCOMPARE(o.state, 2);
        QCOMPARE(o.status, -1);
        QCOMPARE(o.body, QJsonValue("Cannot redirect request to : " + down));
        QVERIFY(log.contains("[HttpClient] ERROR: Refusing redirect from HTTPS to HTTP : " + down));

        // A redirect status without a target is an answer like any other, not a redirect to itself.
        o = settle(client.get(QUrl(m_https + "/status/302?body=x")));
        QCOMPARE(o.state, 1);
        QCOMPARE(o.status, 302);

        // Nor to anything but HTTP(S).
        o = settle(client.get(QUrl(m_https + "/redirect?to=file:///etc/hostname")));
        QCOMPARE(o.status, -1);
        QCOMPARE(o.body, QJsonValue("Cannot redirect request to : file:///etc/hostname"));

        // Plain HTTP to plain HTTP is followed.
        HttpClient plain;
        o = settle(plain.get(QUrl(m_http + "/redirect?to=" + QUrl::toPercentEncoding(m_http + "/echo"))));
        QCOMPARE(o.state, 1);
        QCOMPARE(o.body.toObject()["server"].toString(), QString("http"));

        // Kept to its origin: followed there, refused to another server, which hears nothing.
        plain.setSameOriginRedirects(true);
        QCOMPARE(settle(plain.get(QUrl(m_http + "/redirect?to=/echo"))).state, 1);
        const QString elsewhere = m_https + "/status/201";
        o = settle(plain.post(QUrl(m_http + "/redirect?to=" + QUrl::toPercentEncoding(elsewhere)), QJsonObject()));
        QCOMPARE(o.status, -1);
        QVERIFY(log.contains("[HttpClient] ERROR: Refusing redirect to another server : " + elsewhere));
        QVERIFY(!settle(client.get(QUrl(m_https + "/seen"))).body.toArray().contains(QJsonValue("POST /status/201")));

        o = settle(plain.get(QUrl(m_http + "/seen")));
        QVERIFY(!o.body.toArray().contains(QJsonValue("POST /echo")));
    }

    void downloadProgress()
    {
        HttpClient client;
        Outcome o = settle(client.get(QUrl(m_http + "/big?size=300001")));
        QCOMPARE(o.state, 1);
        QCOMPARE(o.body.toArray().size(), 150000);
        QVERIFY(!o.progress.isEmpty());
        QCOMPARE(o.progress.last(), qMakePair(100, QString("Downloaded 300.0 KB / 300.0 KB")));
        for (int i = 1; i < o.progress.size(); ++i)
            QVERIFY(o.progress[i].first >= o.progress[i - 1].first);

        // Without a known size.
        // Without a known size (the network layer reports at most every 50 ms, and gives
        // the total once the body is complete, so the body comes slowly).
        o = settle(client.get(QUrl(m_http + "/big?size=400001&chunked=1&pause=40")));
        QCOMPARE(o.state, 1);
        QCOMPARE(o.body.toArray().size(), 200000);
        bool unknown = false;
        for (const auto &p : o.progress)
            unknown = unknown || (p.first == 0 && p.second.endsWith(" / -- KB"));
        QVERIFY(unknown);
    }

    // A challenge is answered with the URL's credentials, else the owner's, and the request
    // sent again; a later one goes with them at once (a stale nonce is renewed without
    // asking). Credentials refused, or none given, end it with the 401.
    void authentication_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("credentials"); // the owner's; in the URL after "@"
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("algorithm");   // the Digest one the server took
        QTest::addColumn<int>("sent");            // requests the server saw for the second one
        QTest::addColumn<int>("asked");           // times the owner was asked, both together
        QTest::newRow("none given") << "/auth" << "" << 401 << "" << 1 << 2;
        QTest::newRow("basic") << "/auth" << "lane:secret" << 200 << "" << 1 << 1;
        QTest::newRow("digest MD5") << "/auth?digest=MD5" << "lane:secret" << 200 << "MD5" << 1 << 1;
        QTest::newRow("digest SHA-256 first") << "/auth?digest=MD5,SHA-256&basic=1" << "lane:secret" << 200
                                              << "SHA-256" << 1 << 1;
        QTest::newRow("digest, URL") << "/auth?digest=SHA-256" << "@lane:secret" << 200 << "SHA-256" << 1 << 0;
        QTest::newRow("digest, refused") << "/auth?digest=MD5" << "lane:wrong" << 401 << "" << 2 << 2;
        QTest::newRow("digest, stale nonce") << "/auth?digest=SHA-256&uses=1" << "lane:secret" << 200 << "SHA-256"
                                             << 2 << 1;
    }
    void authentication()
    {
        QFETCH(QString, credentials);
        QFETCH(int, status);
        HttpClient owner, probe;
        int asked = 0;
        connect(&owner, &HttpClient::authRequired, this, [&](QNetworkReply *, QAuthenticator *auth) {
            ++asked;
            if (!credentials.startsWith('@') && !credentials.isEmpty()) {
                auth->setUser(credentials.section(':', 0, 0));
                auth->setPassword(credentials.section(':', 1));
            }
        });
        QFETCH(QString, path);
        QUrl url(m_http + path);
        if (credentials.startsWith('@'))
            url.setUserInfo(credentials.mid(1));
        const auto seen = [&] {
            return settle(probe.get(QUrl(m_http + "/seen"))).body.toArray().toVariantList().count("POST /auth");
        };
        // A request keeps the Content-Type it was made with, when it is sent again too.
        const auto post = [&] {
            owner.setHeader("Content-Type", "application/json");
            const auto result = owner.post(url, QJsonObject{{"plate", "IKB-1234"}});
            owner.setHeader("Content-Type", "application/xml");
            return settle(result);
        };
        const Outcome o = post();
        QCOMPARE(o.status, status);
        const int before = seen();
        const Outcome again = post();
        QCOMPARE(again.status, status);
        QCOMPARE(again.state, status == 200 ? 1 : 2);
        for (const Outcome &r : {o, again}) {
            if (status == 200)
                QCOMPARE(r.body.toObject()["type"].toString(), QString("application/json"));
            else // which of the two: none given, or refused
                QCOMPARE(r.body.toString(), credentials.isEmpty() ? "Host requires authentication" : "credentials refused");
        }
        QCOMPARE(again.body.toObject()["auth"].toBool(), status == 200);
        QTEST(again.body.toObject()["algorithm"].toString(), "algorithm");
        QTEST(seen() - before, "sent");
        QTEST(asked, "asked");
    }

    // A client that goes away with a request in flight leaves it pending and nothing dangling.
    void destroyedWithRequestInFlight()
    {
        HttpClient probe;
        trust(probe);
        auto slowSeen = [&] {
            int n = 0;
            for (const QJsonValue &v : settle(probe.get(QUrl(m_https + "/seen"))).body.toArray())
                n += v.toString() == "GET /slow";
            return n;
        };
        const int before = slowSeen();
        auto client = std::make_unique<HttpClient>();
        trust(*client);
        auto pending = client->get(QUrl(m_https + "/slow?ms=2000"));
        QVERIFY(TestUtil::waitUntil([&] { return slowSeen() > before; }));
        client.reset();
        QCOMPARE(settle(probe.get(QUrl(m_https + "/slow?ms=500"))).state, 1);
        QVERIFY(pending.isPending());
    }

    // Each thread gets its own access manager; the reply is handled, and the result
    // delivered, in the thread that made the request.
    void requestsFromAWorkerThread()
    {
        LogCapture log(false);
        HttpClient client;
        QCOMPARE(settle(client.get(QUrl(m_http + "/echo"))).status, 200);

        QThread worker;
        worker.start();
        QObject context;
        context.moveToThread(&worker);
        std::atomic<int> status{0};
        std::atomic<QThread *> handledIn{nullptr};
        QMetaObject::invokeMethod(&context, [&] {
            client.get(QUrl(m_http + "/echo")).done([&](int s, QJsonValue) {
                handledIn = QThread::currentThread();
                status = s;
            });
        });
        QVERIFY(TestUtil::waitUntil([&] { return status.load() != 0; }));
        QCOMPARE(status.load(), 200);
        QCOMPARE(handledIn.load(), &worker);
        QCOMPARE(log.count("[HttpClient] Creating new Network Access Manager for thread "), 2);
        worker.quit();
        QVERIFY(worker.wait(15000));
        // The worker's manager went with its thread; the client still works here.
        QCOMPARE(settle(client.get(QUrl(m_http + "/echo"))).status, 200);
        QCOMPARE(log.count("[HttpClient] Creating new Network Access Manager for thread "), 2);
    }

    void bytesToStr()
    {
        QCOMPARE(HttpClient::bytesToStr(-1), QString("-- KB"));
        QCOMPARE(HttpClient::bytesToStr(0), QString("0.0 KB"));
        QCOMPARE(HttpClient::bytesToStr(999), QString("1.0 KB"));
        QCOMPARE(HttpClient::bytesToStr(1000000), QString("1000.0 KB"));
        QCOMPARE(HttpClient::bytesToStr(1000001), QString("1.0 MB"));
        QCOMPARE(HttpClient::bytesToStr(1500000000), QString("1.5 GB"));
    }

private:
    void trust(HttpClient &client)
    {
        client.setTLSRootCA(m_certs.filePath("ca.pem"));
        client.setTLSCert(m_certs.filePath("client.pem"));
        client.setTLSKey(m_certs.filePath("client.key"));
    }

    QTemporaryDir m_certs;
    PeerProcess m_peer;
    QString m_https;
    QString m_http;
};

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
