// Readings, the parsing of camera posts, the waits for a posted result and the XML
// configuration patch, on camera objects without a network.
#include "Cameras/VORCamera.h"
#include "Cameras/VORReading.h"
#include "LogCapture.h"
#include "Outcome.h"
#include "TestUtil.h"

#include <QCoreApplication>
#include <QDomDocument>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <memory>

namespace {
std::unique_ptr<VORCamera> makeCamera(const QString &role, const QUrl &url = QUrl())
{
    std::unique_ptr<VORCamera> camera;
    if (role.startsWith(QLatin1String("ccr")))
        camera.reset(new Container(VORCamera::CCR, url));
    else
        camera.reset(new Plate(VORCamera::ALPR, url));
    camera->setType(role);
    return camera;
}

QJsonObject parseJson(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

// "tag#index@attribute" of an XML text, empty when absent.
QString attribute(const QDomDocument &doc, const QString &path)
{
    const QStringList tagAttr = path.split('@');
    const QStringList tagIndex = tagAttr.at(0).split('#');
    return doc.elementsByTagName(tagIndex.at(0)).item(tagIndex.value(1).toInt()).toElement().attribute(tagAttr.at(1));
}
} // namespace

class TestCameraReading : public QObject
{
    Q_OBJECT

private slots:
    // Log and JSON forms follow the camera's role, and the reading's own role once its
    // camera was deleted by a rebuild.
    void forms_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<bool>("deleteCamera");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("json");
        const QByteArray plate = R"({"type":"%1","plate":"ABC1234","confidence":87.5,"timestamp":"2026-03-04T05:06:07Z",)"
                                 R"("direction":1,"country":"GR","vehicleSpeed":7,"vehicleClass":"TRUCK",)"
                                 R"("vehicleColor":"white","vehicleMake":"Tarvos","vehicleModel":"T460"})";
        const QByteArray box = R"({"type":"%1","container":"QZXU1234568","confidence":87.5,)"
                               R"("timestamp":"2026-03-04T05:06:07Z","ownerCity":"Volos","ownerCode":"QZX",)"
                               R"("ownerCompany":"Quzex Lines SA","serialCode":"123456","sizeCode":"45G1","sizeTypeCode":"45"})";
        const QString plateText = "ABC1234 (confidence=87.5, country=Greece, vehicleClass=TRUCK, vehicleMake=Tarvos, "
                                  "vehicleColor=white)";
        const QString boxText = "QZXU1234568 (confidence=87.5, sizeCode=45G1)";
        QTest::newRow("alpr2") << "alpr2" << false << plateText << QByteArray(plate).replace("%1", "alpr2");
        QTest::newRow("ccr1") << "ccr1" << false << boxText << QByteArray(box).replace("%1", "ccr1");
        QTest::newRow("alpr1 camera deleted") << "alpr1" << true << plateText << QByteArray(plate).replace("%1", "alpr1");
        QTest::newRow("ccr2 camera deleted") << "ccr2" << true << boxText << QByteArray(box).replace("%1", "ccr2");
    }
    void forms()
    {
        QFETCH(QString, role);
        QFETCH(bool, deleteCamera);
        auto camera = makeCamera(role);
        const auto r = VORReading::create(camera.get());
        // Both parsers on one body: each takes its own keys and the camera's role.
        QVERIFY(camera->processData(R"({"plate":"ABC1234","containercode":"QZXU1234568","confidence":87.5,)"
                                    R"("timestamp":"2026-03-04T05:06:07Z","direction":1,"country":"Greece",)"
                                    R"("countrycode":"GR","speed":7,"class":"TRUCK","color":"white","make":"Tarvos",)"
                                    R"("model":"T460","ownercity":"Volos","ownercode":"QZX","ownercompany":"Quzex Lines SA",)"
                                    R"("serialcode":"123456","sizecode":"45G1","sizetypecode":"45"})",
                                    r));
        if (deleteCamera) {
            camera.reset();
            QCOMPARE(r->camera(), nullptr);
        }
        QFETCH(QByteArray, json);
        QTEST(r->toString(), "text");
        QCOMPARE(r->toJson(), parseJson(json));
    }

    void settersAndClear()
    {
        auto camera = makeCamera("alpr1");
        const QDateTime before = QDateTime::currentDateTime();
        const auto r = VORReading::create(camera.get());
        QVERIFY(r->timestamp() >= before.addMSecs(-1) && r->timestamp() <= QDateTime::currentDateTime());
        QCOMPARE(r->toJson().value("timestamp").toString(), r->timestamp().toString(Qt::ISODate));

        QSignalSpy image(r.data(), &VORReading::imageChanged);
        QSignalSpy confidence(r.data(), &VORReading::confidenceChanged);
        r->setImage("abcd");
        r->setImage("abcd");
        r->setImage("abce"); // same length, other bytes
        r->setConfidence(0);  // the value it has
        r->setConfidence(90);
        QCOMPARE(image.count(), 2);
        QCOMPARE(confidence.count(), 1);
        QCOMPARE(r->toString(), QString(" (confidence=90, country=, vehicleClass=, vehicleMake=, vehicleColor=)"));

        r->setPlate("P1");
        r->setCountryCode("GR");
        r->setVehicleClass("TRUCK");
        r->clearValues();
        const QJsonObject o = r->toJson();
        QCOMPARE(o.value("timestamp").toString(), QString());
        QCOMPARE(o.value("plate").toString(), QString());
        QCOMPARE(o.value("confidence").toDouble(), 90.0);
        QCOMPARE(o.value("country").toString(), QString("GR"));
        QCOMPARE(o.value("vehicleClass").toString(), QString("TRUCK"));
    }

    // One post routed to a camera, with a wait armed before it.
    void posts_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("outcome"); // 0 nothing for the wait, 1 reading, 2 "Parse Error"
        QTest::addColumn<QString>("code"); // plate or container code of the reading
        QTest::addColumn<QString>("serial");
        QTest::newRow("plate") << "alpr1" << "/camera/alpr/plate"
                               << QByteArray(R"({"plate":"ABC1234","confidence":87.5,"id":"t1","direction":"2"})")
                               << 1 << "ABC1234" << "";
        QTest::newRow("container camera on a plate path")
            << "ccr1" << "/camera/plate" << QByteArray(R"({"plate":"ABC1234","containercode":"QZXU1"})") << 1
            << "QZXU1" << "";
        QTest::newRow("plate camera on a container path")
            << "alpr2" << "/camera/container" << QByteArray(R"({"plate":"XYZ9","containercode":"QZXU1"})") << 1
            << "XYZ9" << "";
        QTest::newRow("empty object") << "alpr1" << "/plate" << QByteArray("{}") << 1 << "" << "";
        QTest::newRow("array") << "alpr1" << "/plate" << QByteArray("[1,2]") << 2 << "" << "";
        QTest::newRow("not json") << "ccr2" << "/container" << QByteArray("{\"containercode\": \"MS") << 2 << ""
                                  << "";
        QTest::newRow("heartbeat and plate") << "alpr1" << "/heartbeat/plate"
                                             << QByteArray(R"({"SerialNumber":"SN-1","FirmwareVersion":"9.8"})")
                                             << 0 << "" << "SN-1";
        QTest::newRow("container heartbeat") << "ccr1" << "/heartbeat" << QByteArray(R"({"SerialNumber":"SN-1"})")
                                             << 0 << "" << "";
        QTest::newRow("other path") << "alpr1" << "/status" << QByteArray(R"({"plate":"ABC"})") << 0 << "" << "";
        // Hostile posts: a plate that would start a log line of its own, a 16 MiB body.
        QTest::newRow("plate with a newline") << "alpr2" << "/plate"
                                              << QByteArray("{\"plate\":\"AB1\\n[Terminal] State changed\"}") << 1
                                              << "AB1\n[Terminal] State changed" << "";
        QTest::newRow("repeated name") << "alpr2" << "/plate" << QByteArray("{\"plate\":{\"a\":1},\"plate\":\"X\"}")
                                       << 2 << "" << "";
        QTest::newRow("16 MiB") << "alpr2" << "/plate"
                                << "{\"plate\":\"ABC1\",\"image\":\"" + QByteArray(16 << 20, 'x') + "\"}" << 1
                                << "ABC1" << "";
        // Texts of 1 MiB: what is kept is cut.
        const QByteArray big = "\"" + QByteArray(1 << 20, 'A') + "\"";
        QTest::newRow("1 MiB texts") << "alpr2" << "/plate"
                                     << "{\"plate\":" + big + ",\"countrycode\":" + big + ",\"class\":" + big
                                            + ",\"color\":" + big + ",\"make\":" + big + ",\"model\":" + big + "}"
                                     << 1 << QString(VORCamera::MaxPostText, 'A') << "";
        QTest::newRow("1 MiB container code") << "ccr1" << "/container" << "{\"containercode\":" + big + "}" << 1
                                              << QString(VORCamera::MaxPostText, 'A') << "";
        QTest::newRow("1 MiB serial number") << "alpr1" << "/heartbeat" << "{\"SerialNumber\":" + big + "}" << 0
                                             << "" << QString(VORCamera::MaxPostText, 'A');
    }
    void posts()
    {
        QFETCH(QString, role);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, outcome);
        QFETCH(QString, code);
        QFETCH(QString, serial);
        auto camera = makeCamera(role);
        QSignalSpy finished(camera.get(), &VORCamera::processDataFinished);
        const auto wait = watch(camera->waitTCPDataMessage(60000));
        LogCapture log(false);
        camera->handleTCPMessage(path, body);
        // Whatever came, each line stays one line within its bound, the full size said.
        for (const QString &line : log.texts())
            QVERIFY(!line.contains('\n') && line.size() < 3 * Log::OutsideLimit);
        if (body.size() > Log::OutsideLimit)
            QVERIFY(log.containsPart(QString::fromUtf8("\u2026 (%1 bytes)").arg(body.size())));
        QCOMPARE(log.countContaining("[VORCamera] ERROR: [" + role + "] Parse Error : "), outcome == 2 ? 1 : 0);
        QCOMPARE(wait->state, outcome);
        QCOMPARE(finished.count(), outcome ? 1 : 0);
        QCOMPARE(camera->serialNumber(), serial);
        if (outcome == 2) {
            QCOMPARE(wait->value.message, QString("Parse Error"));
            QVERIFY(!camera->lastReading());
        }
        if (outcome == 1) {
            const auto r = wait->value.reading;
            QVERIFY(r);
            QCOMPARE(camera->lastReading(), r);
            QCOMPARE(camera->lastPlate(), code);
            QCOMPARE(r->type(), role);
            QCOMPARE(r->image(), QJsonDocument::fromJson(body)["image"].toString().toUtf8()); // kept whole
            for (const QJsonValue &field : r->toJson())
                QVERIFY(field.toString().size() <= VORCamera::MaxPostText);
            if (body == "{}") {
                QCOMPARE(r->confidence(), 0.0);
                QVERIFY(r->timestamp().isNull());
            }
            if (role == "alpr1" && !code.isEmpty()) {
                QCOMPARE(r->direction(), 2); // a number given as text
                QCOMPARE(r->id(), QString("t1"));
            }
        }
    }

    // Waits: each result goes to one wait (the one armed under its id, else the oldest);
    // a time-out and a deleted camera end a wait with the role.
    void waits()
    {
        LogCapture logs;
        auto camera = makeCamera("alpr1");
        const VORCamera::Wait a = camera->armWait("A");
        const VORCamera::Wait b = camera->armWait("B");
        const auto ra = watch(a.result);
        const auto rb = watch(b.result);
        camera->handleTCPMessage("/plate", R"({"plate":"PB","id":"B"})");
        QCOMPARE(rb->state, 1);
        QCOMPARE(rb->value.reading->plate(), QString("PB"));
        QCOMPARE(ra->state, 0);
        camera->handleTCPMessage("/plate", R"({"plate":"PX","id":"X"})");
        QCOMPARE(ra->state, 1);
        QCOMPARE(ra->value.reading->plate(), QString("PX"));

        const auto timedOut = watch(camera->waitTCPDataMessage(0));
        QVERIFY(settle(timedOut));
        QCOMPARE(timedOut->state, 2);
        QCOMPARE(timedOut->value.message, QString("[alpr1] Timeout"));
        QVERIFY(logs.contains("[VORCamera] [alpr1] Timeout"));

        // A wait whose time-out is not started yet, and a trigger that is never answered.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        auto busy = makeCamera("ccr2", QUrl(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort())));
        const auto pending = watch(busy->armWait("T").result);
        const auto trigger = watch(busy->startCameraProcess("T", 3));
        QVERIFY(TestUtil::waitUntil([&] { return silent.hasPendingConnections(); }));
        const auto reading = VORReading::create(busy.get());
        busy.reset();
        QCOMPARE(pending->state, 2);
        QCOMPARE(pending->value.message, QString("[ccr2] Timeout"));
        QCOMPARE(trigger->state, 2);
        QCOMPARE(trigger->value, QString("[ccr2] Camera removed"));
        QVERIFY(reading->toJson().contains("container"));
    }

    // The configuration patch with the shipped settings file.
    void xmlPatch_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QStringList>("expected"); // "tag#index@attribute=value"; empty: no result
        QTest::addColumn<QString>("log");
        const QByteArray xml = "<cfg><zuruv camera_id=\"Z-7\"/><http_post url=\"\" enabled=\"false\"/>"
                               "<group><http_post url=\"old\"/></group><heartbeat interval=\"5\"/></cfg>";
        QTest::newRow("alpr") << "alpr1" << "./cameraSettings.json" << xml
                              << QStringList{"http_post#0@url=http://10.1.2.3:8123/camera/alpr/plate",
                                             "http_post#1@url=http://10.1.2.3:8123/camera/alpr/plate",
                                             "http_post#1@enabled=true", "http_post#1@images=true",
                                             "heartbeat@url=http://10.1.2.3:8123/camera/alpr/heartbeat",
                                             "heartbeat@interval=60", "zuruv@camera_id=Z-7"}
                              << "[VORCamera] [alpr1] Zuruv Camera ID: Z-7";
        QTest::newRow("ccr") << "ccr2" << "cameraSettings.json" << xml
                             << QStringList{"http_post#0@url=http://10.1.2.3:8123/camera/ccr/container"} << "";
        QTest::newRow("no such file") << "alpr1" << "./nope.json" << xml << QStringList()
                                      << "[VORCamera] [" + QCoreApplication::applicationDirPath()
                                             + "/nope.json] file does not exist";
        QTest::newRow("absolute name") << "alpr1" << QCoreApplication::applicationDirPath() + "/cameraSettings.json"
                                       << xml << QStringList() << "";
        QTest::newRow("malformed xml") << "alpr1" << "./cameraSettings.json" << QByteArray("<cfg><a></cfg>")
                                       << QStringList() << "[VORCamera] [alpr1] XML data Error";
        QTest::newRow("role without section") << "gate" << "./cameraSettings.json" << xml << QStringList() << "";
    }
    void xmlPatch()
    {
        QFETCH(QString, role);
        QFETCH(QString, settings);
        QFETCH(QByteArray, xml);
        QFETCH(QStringList, expected);
        QFETCH(QString, log);
        LogCapture logs;
        auto camera = makeCamera(role);
        const QByteArray out = camera->parseCameraXMLData(xml, settings, "10.1.2.3", 8123);
        QCOMPARE(out.isEmpty(), expected.isEmpty());
        QDomDocument doc;
        QVERIFY(out.isEmpty() || doc.setContent(out));
        for (const QString &item : expected)
            QCOMPARE(item.section('=', 0, 0) + '=' + attribute(doc, item.section('=', 0, 0)), item);
        if (!log.isEmpty())
            QVERIFY2(logs.contains(log), qPrintable(logs.texts().join('\n')));
        if (role == "alpr1" && !expected.isEmpty())
            QCOMPARE(camera->zuruvId(), QString("Z-7"));
    }
};

QTEST_GUILESS_MAIN(TestCameraReading)
#include "tst_camerareading.moc"
