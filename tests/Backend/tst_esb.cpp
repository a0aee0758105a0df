// The service bus client against the back-office peer over HTTPS (test CA, so TLS
// errors are ignored as configured by default) and plain HTTP.
#include "Backend/ESB.h"
#include "Common/Config.h"

#include "BackOfficePeer.h"
#include "LogCapture.h"
#include "Outcome.h"
#include "TestUtil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>

using Backend::ESB;

namespace {

// The system's defaults of the service bus keys.
const QVariantMap Defaults{{"esb/url", QString()},
                           {"esb/responseTimeoutMsec", 5000},
                           {"esb/hbIntervalSec", 60},
                           {"esb/ignoreSslErrors", true}};

const QString Version = "/app/version";
const QString Front = "/integration/internal/cardReader/truckAlprFront";
const QString Back = "/integration/internal/cardReader/truckAlprBack";
const QString Permission = "/integration/internal/cardReader/request";

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(text).object();
}

QJsonObject bodyOf(const QJsonObject &request)
{
    return QJsonDocument::fromJson(request["body"].toString().toUtf8()).object();
}

} // namespace

class TstEsb : public QObject
{
    Q_OBJECT

    BackOfficePeer m_peer;
    QTemporaryDir m_dir;
    int m_configs = 0;

    std::unique_ptr<Config> config(const QVariantMap &values)
    {
        auto c = std::make_unique<Config>(m_dir.filePath(QString("esb%1.conf").arg(++m_configs)), Defaults);
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
    // TLS settings; all fields of a plate record reach the bus, times in UTC.
    void requestsBeforeFirstCheck()
    {
        LogCapture log(false);
        m_peer.script({{"POST " + Back, json(R"({"json": {"eventId": "E-77"}})")}});
        auto cfg = config({{"esb/url", m_peer.https()}});
        ESB esb(*cfg);

        ESB::TruckAlprBack back;
        back.timestamp = QDateTime(QDate(2024, 5, 1), QTime(10, 0, 7, 450), Qt::LocalTime);
        back.cardReaderId = "DEV-1";
        back.backAlprId = "Z-2";
        back.sideCcr1 = "Z-3";
        back.sideCcr2 = "Z-4";
        back.cardId = "04A1";
        back.backPlateNumber = "ΙΚΥ1234";
        back.vehicleType = "truck";
        back.vehicleColour = "red";
        back.vehicleBrand = "Volvo";
        back.confidence = 87;
        back.backImages = QStringList{"aW1n", "cGxhdGU="};
        back.containerISOCode = "MSCU1234565";
        back.containerImages = QStringList{"Yw=="};
        back.countryCode = "GR";
        auto sent = watch(esb.sendAlprBack(back));
        QCOMPARE(esb.state(), ESB::Init);
        QVERIFY(settle(sent));
        QCOMPARE(sent->state, 1);
        QCOMPARE(sent->value, QString("E-77"));

        const QJsonObject request = m_peer.requests(Back).last();
        QCOMPARE(request["headers"].toObject()["User-Agent"].toString(), QString("zuka/terminal"));
        QCOMPARE(request["headers"].toObject()["Content-Type"].toString(), QString("application/json"));
        QCOMPARE(bodyOf(request), QJsonObject({{"timestamp", "2024-05-01T08:00:07Z"},
                                               {"cardReaderId", "DEV-1"},
                                               {"backAlprId", "Z-2"},
                                               {"sideCcr1", "Z-3"},
                                               {"sideCcr2", "Z-4"},
                                               {"cardId", "04A1"},
                                               {"backPlateNumber", "ΙΚΥ1234"},
                                               {"vehicleType", "truck"},
                                               {"vehicleColour", "red"},
                                               {"vehicleBrand", "Volvo"},
                                               {"confidence", 87},
                                               {"backImages", QJsonArray{"aW1n", "cGxhdGU="}},
                                               {"containerISOCode", "MSCU1234565"},
                                               {"containerImages", QJsonArray{"Yw=="}},
                                               {"countryCode", "GR"},
                                               {"adrPlate", ""},
                                               {"adrPlateImage", ""}}));
        QVERIFY(log.contains("[Backend::ESB] Sending 'Truck ALPR Back' data"));
        QVERIFY(log.contains("[Backend::ESB] Sending ESB request"));
        QVERIFY(log.contains(R"([Backend::ESB] Received response : {"eventId":"E-77"})"));
    }

    // The answers to the plate posts, over plain HTTP.
    void plateAnswers_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<int>("outcome"); // 1 resolved, 2 rejected
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("logged");
        QTest::newRow("event id") << json(R"({"json": {"eventId": "E-1"}})") << 1 << "E-1"
                                  << R"(Received response : {"eventId":"E-1"})";
        QTest::newRow("empty answer") << json(R"({"json": {}})") << 1 << "" << "Received response : {}";
        QTest::newRow("id not a text") << json(R"({"json": {"eventId": 12}})") << 1 << "" << "";
        QTest::newRow("refused") << json(R"({"status": 400, "json": {"error": "Bad plate"}})") << 2 << "Bad plate"
                                 << R"(ERROR: Operation failed : (400) {"error":"Bad plate"})";
        QTest::newRow("refused, text") << json(R"({"status": 400, "body": "Bad plate"})") << 2 << ""
                                       << "ERROR: Operation failed : (400) ";
        QTest::newRow("reset") << json(R"({"reset": true})") << 2 << "" << "ERROR: Operation failed : (0) ";
    }

    void plateAnswers()
    {
        QFETCH(QJsonObject, answer);
        QFETCH(int, outcome);
        QFETCH(QString, value);
        QFETCH(QString, logged);
        LogCapture log(false);
        m_peer.script({{"POST /p" + Front, answer}});
        auto cfg = config({{"esb/url", m_peer.http() + "/p/"}});
        ESB esb(*cfg);
        const int before = m_peer.requests("/p" + Front).size();

        auto sent = watch(esb.sendAlprFront(ESB::TruckAlprFront()));
        QVERIFY(settle(sent));
        QCOMPARE(sent->state, outcome);
        QCOMPARE(sent->value, value);
        QVERIFY(log.containsPart("[Backend::ESB] " + logged));
        QVERIFY(log.contains("[Backend::ESB] Sending 'Truck ALPR Front' data"));
        // An empty record: empty texts, no time, confidence 0, no images.
        QVERIFY(m_peer.requests("/p" + Front).size() > before);
        QCOMPARE(bodyOf(m_peer.requests("/p" + Front).last()),
                 QJsonObject({{"timestamp", ""}, {"cardReaderId", ""}, {"alprId", ""}, {"cardId", ""},
                              {"frontPlateNumber", ""}, {"vehicleType", ""}, {"vehicleColour", ""},
                              {"vehicleBrand", ""}, {"confidence", 0}, {"frontImages", QJsonArray()},
                              {"countryCode", ""}, {"adrPlate", ""}, {"adrPlateImage", ""}}));
    }

    // What the bus answers to an exit request, and the record that comes of it.
    void permission_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<int>("outcome"); // 1 resolved, 2 rejected
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("descr");
        QTest::addColumn<bool>("cardReturn");
        QTest::newRow("OPEN") << json(R"({"json": {"code": "OPEN", "descr": "Go", "cardReturn": true}})") << 1
                              << "OPEN" << "Go" << true;
        QTest::newRow("OPEN, no cardReturn") << json(R"({"json": {"code": "OPEN"}})") << 1 << "OPEN" << "" << false;
        QTest::newRow("open") << json(R"({"json": {"code": "open", "descr": "lower", "cardReturn": true}})") << 2
                              << "open" << "lower" << true;
        QTest::newRow("DENIED, cardReturn text")
            << json(R"({"json": {"code": "DENIED", "descr": "Customs hold", "cardReturn": "true"}})") << 2
            << "DENIED" << "Customs hold" << false;
        QTest::newRow("time-out") << json(R"({"delayMs": 1500, "json": {"code": "OPEN"}})") << 2 << "ERROR"
                                  << "Communication error" << true;
        QTest::newRow("500") << json(R"({"status": 500, "json": {"code": "OPEN"}})") << 2 << "ERROR"
                             << "Communication error" << true;
        QTest::newRow("reset") << json(R"({"reset": true})") << 2 << "ERROR" << "Communication error" << true;
        QTest::newRow("malformed") << QJsonObject{{"body", "{\"code\": \"OPEN\""}} << 2 << "" << "" << false;
        QTest::newRow("not JSON") << json(R"({"body": "OPEN"})") << 2 << "" << "" << false;
    }

    void permission()
    {
        QFETCH(QJsonObject, answer);
        QFETCH(int, outcome);
        QFETCH(QString, code);
        QFETCH(QString, descr);
        QFETCH(bool, cardReturn);
        m_peer.script({{"POST " + Permission, answer}});
        auto cfg = config({{"esb/url", m_peer.https()}, {"esb/responseTimeoutMsec", 1000}});
        ESB esb(*cfg);
        QSignalSpy emitted(&esb, &ESB::permissionResponse);

        ESB::PermissionReq req{QDateTime(QDate(2024, 12, 31), QTime(23, 30), Qt::LocalTime), "DEV-1", "04A1",
                               "ABC1234"};
        auto asked = watch(esb.permissionRequest(req));
        QVERIFY(settle(asked));
        QCOMPARE(asked->state, outcome);
        QCOMPARE(asked->value.code, code);
        QCOMPARE(asked->value.descr, descr);
        QCOMPARE(asked->value.cardReturn, cardReturn);
        QCOMPARE(emitted.count(), 1);
        const auto resp = emitted.first().first().value<ESB::PermissionResp>();
        QVERIFY(resp.code == code && resp.descr == descr && resp.cardReturn == cardReturn);
        QCOMPARE(bodyOf(m_peer.requests(Permission).last()),
                 QJsonObject({{"timestamp", "2024-12-31T21:30:00Z"}, {"cardReaderId", "DEV-1"}, {"cardId", "04A1"}}));
    }

    // The version check and the state it gives: no URL stops it; a URL with credentials
    // and a path prefix checks at once; a failure keeps the last version and time.
    void versionCheck()
    {
        LogCapture log(false);
        auto cfg = config({});
        ESB esb(*cfg);
        QSignalSpy states(&esb, &ESB::stateChanged);
        QVERIFY(TestUtil::waitUntil([&] { return esb.state() == ESB::Stopped; }, 11000));
        QCOMPARE(esb.reason(), QString("Invalid URL"));
        QVERIFY(log.contains("[Backend::ESB] State changed : (3) Stopped (reason=Invalid URL)"));
        QVERIFY(!log.contains("[Backend::ESB] Sending ESB GET request"));

        m_peer.script({{"GET /bus/v2" + Version,
                        json(R"({"auth": "lane:s3cr/t", "json": {"Deployed Version": "3.1.4"}})")}});
        cfg->set("esb/url", m_peer.https().replace("https://", "https://lane:s3cr%2Ft@") + "/bus/v2/");
        QVERIFY(log.contains("[Backend::ESB] WARN: Configuration changed. Applying."));
        QVERIFY(TestUtil::waitUntil([&] { return esb.state() == ESB::Online; }));
        QCOMPARE(esb.version(), QString("3.1.4"));
        QVERIFY(esb.lastComms().isValid());
        QCOMPARE(esb.lastComms().timeSpec(), Qt::LocalTime);
        QVERIFY(log.contains("[Backend::ESB] State changed : (1) Online "));
        const QDateTime online = esb.lastComms();

        // Failing checks, each following the previous answer after the interval.
        m_peer.script({{"GET /bus/v2" + Version, json(R"({"status": 503, "json": {"error": "down"}})")}});
        const int before = m_peer.requests("/bus/v2" + Version).size();
        cfg->set("esb/hbIntervalSec", 1);
        QVERIFY(TestUtil::waitUntil([&] { return esb.state() == ESB::Error; }));
        QCOMPARE(esb.reason(), QString("Communication error"));
        QVERIFY(m_peer.waitForRequests("/bus/v2" + Version, before + 2, 5000));
        QVERIFY(log.waitFor(R"([Backend::ESB] ERROR: Operation failed : (503) {"error":"down"})"));
        QCOMPARE(log.count("[Backend::ESB] State changed : (2) Error (reason=Communication error)"), 1);
        QCOMPARE(esb.version(), QString("3.1.4"));
        QCOMPARE(esb.lastComms(), online);
        QCOMPARE(states.count(), 3);

        // An answer without a version still counts as contact.
        m_peer.script({{"GET /bus/v2" + Version, json(R"({"json": {}})")}});
        QVERIFY(TestUtil::waitUntil([&] { return esb.state() == ESB::Online; }));
        QCOMPARE(esb.version(), QString());
        QVERIFY(esb.lastComms() > online || esb.lastComms() == online);
    }

    // An interval of 0 does not make a request loop: checks stay at least a second apart.
    void intervalFloor()
    {
        m_peer.script({{"GET /floor" + Version, json(R"({"json": {"Deployed Version": "1"}})")}});
        auto cfg = config({{"esb/hbIntervalSec", 0}});
        ESB esb(*cfg);
        cfg->set("esb/url", m_peer.http() + "/floor");
        QVERIFY(m_peer.waitForRequests("/floor" + Version, 2, 5000));
        QVERIFY(!m_peer.waitForRequests("/floor" + Version, 5, 800));
    }
};

QTEST_GUILESS_MAIN(TstEsb)
#include "tst_esb.moc"
