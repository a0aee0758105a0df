// The weighbridge client against the back-office peer: its strict reading of the
// server's record, its failures, and its request and settings.
#include "Backend/LocalServer.h"
#include "Common/Config.h"

#include "BackOfficePeer.h"
#include "LogCapture.h"
#include "Outcome.h"
#include "TestUtil.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using Backend::LocalServer;

namespace {

// The system's defaults of the weighbridge keys.
const QVariantMap Defaults{{"local/url", QString()},
                           {"local/responseTimeoutMsec", 1000},
                           {"local/scaleId", QString()},
                           {"local/ignoreSslErrors", false}};

const QString Passages = "/api/Passages";

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(text).object();
}

QString date(const QDateTime &t)
{
    return t.isValid() ? t.toUTC().toString(Qt::ISODate) : QString();
}

// A record as JSON, for whole-record comparisons.
QJsonObject asJson(const LocalServer::Response &r)
{
    return QJsonObject{{"id", r.id},
                       {"licensePlate", r.licensePlate},
                       {"cardId", r.cardId},
                       {"scaleId", r.scaleId},
                       {"status", r.status},
                       {"weightKg", r.weightKg},
                       {"createdAt", date(r.createdAt)},
                       {"weightAssociatedAt", date(r.weightAssociatedAt)},
                       {"sentToEsbAt", date(r.sentToEsbAt)},
                       {"retryCount", r.retryCount},
                       {"lastErrorMessage", r.lastErrorMessage}};
}

const QJsonObject Empty = asJson(LocalServer::Response());

} // namespace

class TstLocalServer : public QObject
{
    Q_OBJECT

    BackOfficePeer m_peer;
    QTemporaryDir m_dir;
    int m_configs = 0;

    std::unique_ptr<Config> config(const QString &url)
    {
        auto c = std::make_unique<Config>(m_dir.filePath(QString("local%1.conf").arg(++m_configs)), Defaults);
        c->set("local/url", url);
        return c;
    }

private slots:
    void initTestCase() { QVERIFY(m_peer.start()); }
    void cleanupTestCase() { QVERIFY(m_peer.stop()); }

    // Each member is taken only from a value of its own type.
    void parsing_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<QJsonObject>("record");
        QJsonObject full = Empty;
        full["id"] = "P-1";
        full["licensePlate"] = "ABC1234";
        full["cardId"] = "04A1";
        full["scaleId"] = "S-2";
        full["status"] = "WEIGHED";
        full["weightKg"] = 41250.5;
        full["createdAt"] = "2024-05-01T08:00:00Z";
        full["weightAssociatedAt"] = "2024-05-01T08:01:30Z";
        full["sentToEsbAt"] = "2024-05-01T08:02:00Z";
        full["retryCount"] = 2;
        full["lastErrorMessage"] = "none";
        QJsonObject sent = full;
        sent["createdAt"] = "2024-05-01T10:00:00+02:00";
        sent["weightAssociatedAt"] = "2024-05-01T08:01:30.250Z";
        QTest::newRow("full record") << QJsonObject{{"json", sent}} << full;

        QJsonObject numbers = Empty;
        numbers["licensePlate"] = "ABC1234";
        QTest::newRow("wrong types") << json(R"({"json": {"id": 17, "licensePlate": "ABC1234", "weightKg": "41000",
                                                "retryCount": 2.5, "createdAt": "yesterday", "sentToEsbAt": 5,
                                                "status": null, "cardId": ["04"]}})")
                                     << numbers;
        QTest::newRow("no body") << json(R"({"body": ""})") << Empty;
        QTest::newRow("array") << json(R"({"json": [{"id": "P-1"}]})") << Empty;
        QTest::newRow("malformed") << QJsonObject{{"body", "{\"id\": \"P-1\""}} << Empty;
        QTest::newRow("201 text") << json(R"({"status": 201, "body": "created"})") << Empty;
    }

    void parsing()
    {
        QFETCH(QJsonObject, answer);
        QFETCH(QJsonObject, record);
        LogCapture log(false);
        m_peer.script({{"POST " + Passages, answer}});
        auto cfg = config(m_peer.http());
        LocalServer server(*cfg);
        QSignalSpy received(&server, &LocalServer::dataResponseReceived);
        QSignalSpy comms(&server, &LocalServer::lastCommsChanged);

        auto sent = watch(server.sendData({"04A1", "ABC1234", "S-2"}));
        QVERIFY(settle(sent));
        QCOMPARE(sent->state, 1);
        QCOMPARE(asJson(sent->value), record);
        QCOMPARE(received.count(), 1);
        QCOMPARE(asJson(received.first().first().value<LocalServer::Response>()), record);
        QCOMPARE(comms.count(), 1);
        QVERIFY(server.lastComms().isValid());
        QVERIFY(log.containsPart("[Backend::LocalServer] Data sent successfully to local server : ("));
    }

    // Failures reject with a default record and leave the last contact time alone.
    void failures_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<QString>("logged");
        QTest::newRow("500") << json(R"({"status": 500, "json": {"error": "db down"}})")
                             << R"(ERROR: Operation failed : (500) {"error":"db down"})";
        QTest::newRow("404 text") << json(R"({"status": 404, "body": "nope"})") << "ERROR: Operation failed : (404) ";
        QTest::newRow("time-out") << json(R"({"delayMs": 1500, "json": {"id": "late"}})")
                                  << "ERROR: Operation failed : (0) Operation canceled";
        QTest::newRow("reset") << json(R"({"reset": true})") << "ERROR: Operation failed : (0) ";
        QTest::newRow("no URL") << QJsonObject() << "ERROR: Operation failed : (0) ";
    }

    void failures()
    {
        QFETCH(QJsonObject, answer);
        QFETCH(QString, logged);
        LogCapture log(false);
        m_peer.script({{"POST " + Passages, answer}});
        auto cfg = config(answer.isEmpty() ? QString() : m_peer.http());
        LocalServer server(*cfg);
        QSignalSpy received(&server, &LocalServer::dataResponseReceived);

        auto sent = watch(server.sendData({"04A1", "ABC1234", "S-2"}));
        QVERIFY(settle(sent));
        QCOMPARE(sent->state, 2);
        QCOMPARE(asJson(sent->value), Empty);
        QCOMPARE(received.count(), 0);
        QVERIFY(!server.lastComms().isValid());
        QVERIFY2(log.containsPart("[Backend::LocalServer] " + logged), qPrintable(log.texts().join('\n')));
    }

    // The request: path under the prefix, headers, body, credentials; the TLS setting
    // takes effect at the next request without a new client.
    void requestAndSettings()
    {
        LogCapture log(false);
        m_peer.script({{"POST /wb/v1" + Passages, json(R"({"auth": "scale:p@ss", "json": {"id": "P-9"}})")}});
        auto cfg = config(m_peer.https().replace("https://", "https://scale:p%40ss@") + "/wb/v1/");
        LocalServer server(*cfg);

        auto refused = watch(server.sendData({"04A1", "ΧΑΑ1234", "S-2"}));
        QVERIFY(settle(refused));
        QCOMPARE(refused->state, 2); // the test authority is not trusted

        cfg->set("local/ignoreSslErrors", true);
        QVERIFY(log.contains("[Backend::LocalServer] WARN: Configuration changed. Applying."));
        auto sent = watch(server.sendData({"04A1", "ΧΑΑ1234", "S-2"}));
        QVERIFY(settle(sent));
        QCOMPARE(sent->state, 1);
        QCOMPARE(sent->value.id, QString("P-9"));
        QVERIFY(log.contains(R"([Backend::LocalServer] Data sent successfully to local server : (200) {"id":"P-9"})"));

        const QJsonObject request = m_peer.requests("/wb/v1" + Passages).last();
        QCOMPARE(request["method"].toString(), QString("POST"));
        const QJsonObject headers = request["headers"].toObject();
        QCOMPARE(headers["accept"].toString(), QString("application/json"));
        QCOMPARE(headers["Content-Type"].toString(), QString("application/json"));
        QCOMPARE(headers["User-Agent"].toString(), QString("zuka/terminal"));
        QCOMPARE(QJsonDocument::fromJson(request["body"].toString().toUtf8()).object(),
                 QJsonObject({{"licensePlate", "ΧΑΑ1234"}, {"cardId", "04A1"}, {"scaleId", "S-2"}}));
        QVERIFY(!log.containsPart("p@ss"));
    }
};

QTEST_GUILESS_MAIN(TstLocalServer)
#include "tst_localserver.moc"
