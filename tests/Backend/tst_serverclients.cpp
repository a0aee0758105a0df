// The service bus and weighbridge clients against the back-office peer, over HTTPS
// (a test authority: trusted only where TLS errors are ignored) and plain HTTP.
#include "Backend/ESB.h"
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

#include <ctime>

using Backend::ESB;
using Backend::LocalServer;

namespace {

const auto json = &BackOfficePeer::json;
const auto bodyOf = &BackOfficePeer::bodyOf;

// The system's defaults of the two key groups.
const QVariantMap Defaults{{"esb/url", QString()},          {"esb/responseTimeoutMsec", 5000},
                           {"esb/hbIntervalSec", 60},        {"esb/ignoreSslErrors", true},
                           {"local/url", QString()},         {"local/responseTimeoutMsec", 1000},
                           {"local/scaleId", QString()},     {"local/ignoreSslErrors", false}};

const QString Version = "/app/version";
const QString Front = "/integration/internal/cardReader/truckAlprFront";
const QString Back = "/integration/internal/cardReader/truckAlprBack";
const QString Permission = "/integration/internal/cardReader/request";
const QString Passages = "/api/Passages";

QJsonObject asJson(const ESB::PermissionResp &r)
{
    return {{"code", r.code}, {"descr", r.descr}, {"cardReturn", r.cardReturn}};
}

QString date(const QDateTime &t)
{
    return t.toUTC().toString(Qt::ISODate);
}

QJsonObject asJson(const LocalServer::Response &r)
{
    return {{"id", r.id}, {"licensePlate", r.licensePlate}, {"cardId", r.cardId}, {"scaleId", r.scaleId},
            {"status", r.status}, {"weightKg", r.weightKg}, {"createdAt", date(r.createdAt)},
            {"weightAssociatedAt", date(r.weightAssociatedAt)}, {"sentToEsbAt", date(r.sentToEsbAt)},
            {"retryCount", r.retryCount}, {"lastErrorMessage", r.lastErrorMessage}};
}

const QJsonObject EmptyRecord = asJson(LocalServer::Response());

} // namespace

class TstServerClients : public QObject
{
    Q_OBJECT

    BackOfficePeer m_peer;
    QTemporaryDir m_dir;
    int m_configs = 0;

    std::unique_ptr<Config> config(const QVariantMap &values)
    {
        auto c = std::make_unique<Config>(m_dir.filePath(QString("c%1.conf").arg(++m_configs)), Defaults);
        for (auto it = values.begin(); it != values.end(); ++it)
            c->set(it.key(), it.value());
        return c;
    }

private slots:
    void initTestCase()
    {
        qputenv("TZ", "XXX-2"); // two hours east of UTC
        tzset();
        QVERIFY(m_peer.start());
    }

    void cleanupTestCase() { QVERIFY(m_peer.stop()); }

    // Requests made before the first version check already carry the headers and the
    // TLS settings; every field of a plate record reaches the bus, times in UTC.
    void busBeforeFirstCheck()
    {
        LogCapture log(false);
        m_peer.script({{"POST " + Back, json(R"({"json": {"eventId": "E-77"}})")}});
        auto cfg = config({{"esb/url", m_peer.https()}});
        ESB esb(*cfg);
        const ESB::TruckAlprBack back{QDateTime(QDate(2024, 5, 1), QTime(10, 0, 7, 450), Qt::LocalTime),
                                      "DEV-1", "Z-2", "Z-3", "Z-4", "04A1", "ΙΚΥ1234", "truck", "red", "Tarvos", 87,
                                      QStringList{"aW1n", "cGxhdGU="}, "QZXU1234568", QStringList{"Yw=="}, "GR",
                                      "33/1202", "YWRy"};
        auto sent = watch(esb.sendAlprBack(back));
        QCOMPARE(esb.state(), ESB::Init);
        QVERIFY(settle(sent));
        QCOMPARE(sent->state, 1);
        QCOMPARE(sent->value, QString("E-77"));

        const QJsonObject request = m_peer.requests(Back).last();
        QCOMPARE(request["headers"].toObject()["User-Agent"].toString(), QString("zuka/terminal"));
        QCOMPARE(request["headers"].toObject()["Content-Type"].toString(), QString("application/json"));
        QCOMPARE(bodyOf(request), json(R"({"timestamp": "2024-05-01T08:00:07Z", "cardReaderId": "DEV-1",
            "backAlprId": "Z-2", "sideCcr1": "Z-3", "sideCcr2": "Z-4", "cardId": "04A1", "backPlateNumber": "ΙΚΥ1234",
            "vehicleType": "truck", "vehicleColour": "red", "vehicleBrand": "Tarvos", "confidence": 87,
            "backImages": ["aW1n", "cGxhdGU="], "containerISOCode": "QZXU1234568", "containerImages": ["Yw=="],
            "countryCode": "GR", "adrPlate": "33/1202", "adrPlateImage": "YWRy"})"));
        QCOMPARE(log.texts().filter("[Backend::ESB] "),
                 QStringList({"[Backend::ESB] Sending 'Truck ALPR Back' data", "[Backend::ESB] Sending ESB request",
                              R"([Backend::ESB] Received response : {"eventId":"E-77"})"}));
    }

    // The answers to a plate post (here the front one, empty, under a path prefix).
    void busPlateAnswers_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("outcome"); // 1 resolved, 2 rejected
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("logged");
        QTest::newRow("event id") << R"({"json": {"eventId": "E-1"}})" << 1 << "E-1"
                                  << R"(Received response : {"eventId":"E-1"})";
        QTest::newRow("empty answer") << R"({"json": {}})" << 1 << "" << "Received response : {}";
        QTest::newRow("id not a text") << R"({"json": {"eventId": 12}})" << 1 << "" << "Received response : ";
        QTest::newRow("refused") << R"({"status": 400, "json": {"error": "Bad plate"}})" << 2 << "Bad plate"
                                 << R"(ERROR: Operation failed : (400) {"error":"Bad plate"})";
        QTest::newRow("refused, text") << R"({"status": 400, "body": "Bad plate"})" << 2 << ""
                                       << "ERROR: Operation failed : (400) ";
        QTest::newRow("reset") << R"({"reset": true})" << 2 << "" << "ERROR: Operation failed : (0) ";
        QTest::newRow("too large") << R"({"bodyBytes": 5000000})" << 2 << ""
                                   << "ERROR: Operation failed : (0) Answer too large";
        QTest::newRow("redirect elsewhere") << R"({"elsewhere": "localhost"})" << 2 << ""
                                            << "ERROR: Operation failed : (-1) Cannot redirect request to : http://localhost";
    }

    void busPlateAnswers()
    {
        QFETCH(QString, answer);
        QFETCH(int, outcome);
        QFETCH(QString, value);
        QFETCH(QString, logged);
        LogCapture log(false);
        m_peer.script({{"POST /p" + Front, json(answer)}});
        auto cfg = config({{"esb/url", m_peer.http() + "/p/"}});
        ESB esb(*cfg);
        auto sent = watch(esb.sendAlprFront(ESB::TruckAlprFront()));
        QVERIFY(settle(sent));
        QCOMPARE(sent->state, outcome);
        QCOMPARE(sent->value, value);
        QVERIFY(log.containsPart("[Backend::ESB] " + logged));
        QCOMPARE(bodyOf(m_peer.requests("/p" + Front).last()),
                 json(R"({"timestamp": "", "cardReaderId": "", "alprId": "", "cardId": "", "frontPlateNumber": "",
                     "vehicleType": "", "vehicleColour": "", "vehicleBrand": "", "confidence": 0, "frontImages": [],
                     "countryCode": "", "adrPlate": "", "adrPlateImage": ""})"));
    }

    // What the bus answers to an exit request, and the record that comes of it.
    void busPermission_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("outcome"); // 1 resolved, 2 rejected
        QTest::addColumn<QString>("record");
        const QString error = R"({"code": "ERROR", "descr": "Communication error", "cardReturn": true})";
        const QString empty = R"({"code": "", "descr": "", "cardReturn": false})";
        QTest::newRow("OPEN") << R"({"json": {"code": "OPEN", "descr": "Go", "cardReturn": true}})" << 1
                              << R"({"code": "OPEN", "descr": "Go", "cardReturn": true})";
        QTest::newRow("OPEN, no cardReturn") << R"({"json": {"code": "OPEN"}})" << 1
                                             << R"({"code": "OPEN", "descr": "", "cardReturn": false})";
        QTest::newRow("open") << R"({"json": {"code": "open", "descr": "x", "cardReturn": true}})" << 2
                              << R"({"code": "open", "descr": "x", "cardReturn": true})";
        QTest::newRow("cardReturn text") << R"({"json": {"code": "DENIED", "descr": "Hold", "cardReturn": "true"}})"
                                         << 2 << R"({"code": "DENIED", "descr": "Hold", "cardReturn": false})";
        QTest::newRow("time-out") << R"({"delayMs": 1500, "json": {"code": "OPEN"}})" << 2 << error;
        QTest::newRow("500") << R"({"status": 500, "json": {"code": "OPEN"}})" << 2 << error;
        QTest::newRow("reset") << R"({"reset": true})" << 2 << error;
        QTest::newRow("malformed") << "{\"body\": \"{code: OPEN\"}" << 2 << empty;
        QTest::newRow("not JSON") << R"({"body": "OPEN"})" << 2 << empty;
    }

    void busPermission()
    {
        QFETCH(QString, answer);
        QFETCH(int, outcome);
        QFETCH(QString, record);
        m_peer.script({{"POST " + Permission, json(answer)}});
        auto cfg = config({{"esb/url", m_peer.https()}, {"esb/responseTimeoutMsec", 1000}});
        ESB esb(*cfg);
        QSignalSpy emitted(&esb, &ESB::permissionResponse);
        auto asked = watch(esb.permissionRequest(
            {QDateTime(QDate(2024, 12, 31), QTime(23, 30), Qt::LocalTime), "DEV-1", "04A1", "ABC1234"}));
        QVERIFY(settle(asked));
        QCOMPARE(asked->state, outcome);
        QCOMPARE(asJson(asked->value), json(record));
        QCOMPARE(emitted.count(), 1);
        QCOMPARE(asJson(emitted.first().first().value<ESB::PermissionResp>()), json(record));
        QCOMPARE(bodyOf(m_peer.requests(Permission).last()),
                 json(R"({"timestamp": "2024-12-31T21:30:00Z", "cardReaderId": "DEV-1", "cardId": "04A1"})"));
    }

    // The version check and the state it gives: any address but an http(s) URL with a host
    // is an Error, its requests (the exit permission too) failing at once; only an empty one
    // stops it; a URL with credentials and a path prefix checks at once; failures keep the
    // last version and time.
    void busVersionCheck()
    {
        LogCapture log(false);
        auto cfg = config({{"esb/url", "bus.lan:8443"}});
        ESB esb(*cfg);
        QSignalSpy states(&esb, &ESB::stateChanged);
        QVERIFY(TestUtil::waitUntil([&] { return esb.state() == ESB::Error; }, 11000));
        QVERIFY(log.contains("[Backend::ESB] State changed : (2) Error (reason=Invalid URL)"));
        QVERIFY(!log.contains("[Backend::ESB] Sending ESB GET request"));
        QVERIFY(settle(watch(esb.sendAlprFront({}))));
        QVERIFY(log.contains("[Backend::ESB] ERROR: Operation failed : (0) Invalid URL"));
        auto asked = watch(esb.permissionRequest({}));
        QVERIFY(settle(asked));
        QCOMPARE(asJson(asked->value), json(R"({"code": "ERROR", "descr": "Communication error", "cardReturn": true})"));
        for (const QString none : {"", "http://bus lan/", "ftp://bus.lan/", "10.20.30.40:8443", "127.0.0.1:8443",
                                    "[::1]:8443", " https://bus.lan/"}) {
            cfg->set("esb/url", none);
            QCOMPARE(esb.state(), none.isEmpty() ? ESB::Stopped : ESB::Error);
        }

        const QString path = "GET /bus/v2" + Version;
        m_peer.script({{path, json(R"({"auth": "lane:s3cr/t", "json": {"Deployed Version": "3.1.4"}})")}});
        cfg->set("esb/url", m_peer.https().replace("https://", "https://lane:s3cr%2Ft@") + "/bus/v2/");
        QVERIFY(log.contains("[Backend::ESB] WARN: Configuration changed. Applying."));
        QVERIFY(TestUtil::waitUntil([&] { return esb.state() == ESB::Online; }));
        QVERIFY(log.contains("[Backend::ESB] State changed : (1) Online "));
        QCOMPARE(esb.version(), QString("3.1.4"));
        const QDateTime online = esb.lastComms();
        QCOMPARE(online.timeSpec(), Qt::LocalTime);

        // Two failing checks, the second one interval after the first answer.
        m_peer.script({{path, json(R"({"status": 503, "json": {"error": "down"}})")}});
        const int before = m_peer.requests(path).size();
        cfg->set("esb/hbIntervalSec", 1);
        QVERIFY(m_peer.waitForRequests(path, before + 2, 15000));
        QVERIFY(log.waitFor(R"([Backend::ESB] ERROR: Operation failed : (503) {"error":"down"})"));
        QCOMPARE(log.count("[Backend::ESB] State changed : (2) Error (reason=Communication error)"), 1);
        QVERIFY(esb.version() == "3.1.4" && esb.lastComms() == online);
        QCOMPARE(states.count(), 5);

        m_peer.script({{path, json(R"({"json": {}})")}}); // no version, but contact
        QVERIFY(TestUtil::waitUntil([&] { return esb.state() == ESB::Online; }));
        QCOMPARE(esb.version(), QString());
    }

    // A period of 0 makes no request loop: checks stay at least a second apart.
    void busIntervalFloor()
    {
        m_peer.script({{"GET /floor" + Version, json(R"({"json": {"Deployed Version": "1"}})")}});
        auto cfg = config({{"esb/hbIntervalSec", 0}});
        ESB esb(*cfg);
        cfg->set("esb/url", m_peer.http() + "/floor");
        QVERIFY(m_peer.waitForRequests("/floor" + Version, 2, 15000));
        QVERIFY(!m_peer.waitForRequests("/floor" + Version, 5, 800));
    }

    // The weighbridge's record is read strictly: each member only from a value of its
    // own type; failures reject with a default record and leave lastComms alone.
    void weighbridgeAnswers_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("outcome"); // 1 resolved, 2 rejected
        QTest::addColumn<QJsonObject>("record");
        QTest::addColumn<QString>("logged");
        const QString full = R"({"id": "P-1", "licensePlate": "ABC1234", "cardId": "04A1", "scaleId": "S-2",
            "status": "WEIGHED", "weightKg": 41250.5, "createdAt": "2024-05-01T10:00:00+02:00",
            "weightAssociatedAt": "2024-05-01T08:01:30.250Z", "sentToEsbAt": "2024-05-01T08:02:00Z",
            "retryCount": 2, "lastErrorMessage": "none"})";
        QJsonObject parsed = json(full);
        parsed["createdAt"] = "2024-05-01T08:00:00Z";
        parsed["weightAssociatedAt"] = "2024-05-01T08:01:30Z";
        QJsonObject typed = EmptyRecord;
        typed["licensePlate"] = "ABC1234";
        const QString ok = "Data sent successfully to local server : (";
        QTest::newRow("full record") << R"({"json": )" + full + "}" << 1 << parsed << ok + "200) {";
        QTest::newRow("wrong types") << R"({"json": {"id": 17, "licensePlate": "ABC1234", "weightKg": "41000",
            "retryCount": 2.5, "createdAt": "yesterday", "sentToEsbAt": 5, "status": null, "cardId": ["04"]}})"
                                     << 1 << typed << ok;
        QTest::newRow("no body") << R"({"body": ""})" << 1 << EmptyRecord << ok + "200) ";
        QTest::newRow("array") << R"({"json": [{"id": "P-1"}]})" << 1 << EmptyRecord << ok;
        QTest::newRow("malformed") << "{\"status\": 201, \"body\": \"{id: P-1\"}" << 1 << EmptyRecord
                                   << ok + "201) {}";
        QTest::newRow("500") << R"({"status": 500, "json": {"error": "db down"}})" << 2 << EmptyRecord
                             << R"(ERROR: Operation failed : (500) {"error":"db down"})";
        QTest::newRow("404 text") << R"({"status": 404, "body": "nope"})" << 2 << EmptyRecord
                                  << "ERROR: Operation failed : (404) ";
        QTest::newRow("time-out") << R"({"delayMs": 1500, "json": {"id": "late"}})" << 2 << EmptyRecord
                                  << "ERROR: Operation failed : (0) Operation canceled";
        QTest::newRow("reset") << R"({"reset": true})" << 2 << EmptyRecord << "ERROR: Operation failed : (0) ";
        QTest::newRow("no URL") << "" << 2 << EmptyRecord << "ERROR: Operation failed : (0) ";
        QTest::newRow("redirect elsewhere") << R"({"elsewhere": "localhost"})" << 2 << EmptyRecord
                                            << "ERROR: Operation failed : (-1) Cannot redirect request to : http://localhost";
    }

    void weighbridgeAnswers()
    {
        QFETCH(QString, answer);
        QFETCH(int, outcome);
        QFETCH(QJsonObject, record);
        QFETCH(QString, logged);
        LogCapture log(false);
        m_peer.script({{"POST " + Passages, json(answer)}});
        auto cfg = config({{"local/url", answer.isEmpty() ? QString() : m_peer.http()}});
        LocalServer server(*cfg);
        QSignalSpy received(&server, &LocalServer::dataResponseReceived);
        auto sent = watch(server.sendData({"04A1", "ABC1234", "S-2"}));
        QVERIFY(settle(sent));
        QCOMPARE(sent->state, outcome);
        QCOMPARE(asJson(sent->value), record);
        QCOMPARE(received.count(), outcome == 1 ? 1 : 0);
        if (outcome == 1)
            QCOMPARE(asJson(received.first().first().value<LocalServer::Response>()), record);
        QCOMPARE(server.lastComms().isValid(), outcome == 1);
        QVERIFY2(log.containsPart("[Backend::LocalServer] " + logged), qPrintable(log.texts().join('\n')));
    }

    // The request: path under the prefix, headers, body, credentials; the TLS setting
    // takes effect at the next request without a new client.
    void weighbridgeRequest()
    {
        LogCapture log(false);
        m_peer.script({{"POST /wb/v1" + Passages, json(R"({"auth": "scale:p@ss", "json": {"id": "P-9"}})")}});
        auto cfg = config({{"local/url", m_peer.https().replace("https://", "https://scale:p%40ss@") + "/wb/v1/"}});
        LocalServer server(*cfg);
        auto refused = watch(server.sendData({"04A1", "ΧΑΑ1234", "S-2"}));
        QVERIFY(settle(refused));
        QCOMPARE(refused->state, 2); // the test authority is not trusted

        cfg->set("local/ignoreSslErrors", true);
        QVERIFY(log.contains("[Backend::LocalServer] WARN: Configuration changed. Applying."));
        auto sent = watch(server.sendData({"04A1", "ΧΑΑ1234", "S-2"}));
        QVERIFY(settle(sent));
        QCOMPARE(sent->value.id, QString("P-9"));
        const QJsonObject request = m_peer.requests("POST /wb/v1" + Passages).last();
        const QJsonObject headers = request["headers"].toObject();
        QCOMPARE(headers["accept"].toString(), QString("application/json"));
        QCOMPARE(headers["Content-Type"].toString(), QString("application/json"));
        QCOMPARE(headers["User-Agent"].toString(), QString("zuka/terminal"));
        QCOMPARE(bodyOf(request), json(R"({"licensePlate": "ΧΑΑ1234", "cardId": "04A1", "scaleId": "S-2"})"));
        QVERIFY(!log.containsPart("p@ss"));
    }
};

QTEST_GUILESS_MAIN(TstServerClients)
#include "tst_serverclients.moc"
