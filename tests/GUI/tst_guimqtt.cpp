// The root object's broker connection: settings from the configuration, the last will,
// reconnection on a change of the broker settings, and its handlers wired exactly once; a
// request the broker kept is not carried out at the start nor at a reconnection.
#include "Broker.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Logger.h"
#include "GUI/GUIManager.h"
#include "LogCapture.h"
#include "MqttPeer.h"
#include "TestUtil.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QtTest>

class TstGuiMqtt : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { manager::Logger::instance()->setSyslog(false); }
    void brokerSettingsFollowTheConfiguration();
};

void TstGuiMqtt::brokerSettingsFollowTheConfiguration()
{
    Broker broker;
    QVERIFY(broker.start());
    QTemporaryDir dir;
    Config config(dir.filePath(QStringLiteral("gui.conf")), ConfigDefaults);
    config.set(QStringLiteral("log/level"), 3);
    config.set(QStringLiteral("mqtt/host"), QStringLiteral("127.0.0.1"));
    config.set(QStringLiteral("mqtt/port"), broker.port());
    config.set(QStringLiteral("mqtt/base"), QStringLiteral("g1/ui"));
    config.set(QStringLiteral("cameras/serverPort"), 0);

    MqttPeer peer(broker.port());
    QVERIFY(peer.subscribe(QStringLiteral("g1/ui/box/reset/response/+")));
    QVERIFY(peer.publish(QStringLiteral("g1/ui/box/reset/request/7"), "{}", 1, true));
    const QString ignored = QStringLiteral("[MqttClient] Retained command ignored : g1/ui/box/reset/request/7");

    LogCapture log;
    GUIManager gui(config);
    QVERIFY(log.waitFor(QStringLiteral("[GUIManager] Connected to MQTT broker")));
    QVERIFY(log.waitFor(ignored));
    const QString id = QStringLiteral("%1_%2").arg(QCoreApplication::applicationName()).arg(QCoreApplication::applicationPid());
    QVERIFY(log.contains(QStringLiteral("[MqttClient] Client Id   : ") + id));
    QVERIFY(log.contains(QStringLiteral("[MqttClient] Will Topic  : g1/ui/status")));
    QVERIFY(log.contains(QStringLiteral("[MqttClient] Will Message: {\"service\": false}")));

    // Other groups leave the broker alone.
    log.clear();
    config.set(QStringLiteral("gui/locale"), QStringLiteral("en_US"));
    QCOMPARE(log.count(QStringLiteral("[GUIManager] MQTT configuration changed. Applying.")), 0);
    QCOMPARE(log.count(QStringLiteral("[MqttClient] Connecting to host")), 0);

    // Each change under "mqtt/" reconnects with the new settings, and each connection is
    // handled once, however often the settings changed before.
    for (int round = 0; round < 2; ++round) {
        log.clear();
        config.set(QStringLiteral("mqtt/username"), QStringLiteral("operator%1").arg(round));
        config.set(QStringLiteral("mqtt/password"), QStringLiteral("Hidden-%1").arg(7710 + round));
        QCOMPARE(log.count(QStringLiteral("[GUIManager] MQTT configuration changed. Applying.")), 2);
        QVERIFY(log.contains(QStringLiteral("[MqttClient] Disconnecting from host")));
        QVERIFY(log.contains(QStringLiteral("[MqttClient] Username: operator%1").arg(round)));
        QVERIFY(log.waitFor(QStringLiteral("[GUIManager] Connected to MQTT broker")));
        QCOMPARE(log.count(QStringLiteral("[GUIManager] Connected to MQTT broker")), 1);
        QCOMPARE(log.count(QStringLiteral("[GUIManager] WARN: Disconnected from MQTT broker")), 1);
        QCOMPARE(log.countContaining(QStringLiteral("Hidden-77")), 0);
        QVERIFY(log.waitFor(ignored));
    }
    // Requests sent now are answered; the kept one never was.
    QVERIFY(peer.publish(QStringLiteral("g1/ui/box/reset/request/8"), "{}", 1));
    QVERIFY(peer.waitForMessage(QStringLiteral("g1/ui/box/reset/response/8")));
    QVERIFY(peer.messagesOn(QStringLiteral("g1/ui/box/reset/response/7")).isEmpty());

    // A lost broker: reported once, as an error.
    log.clear();
    broker.kill();
    QVERIFY(log.waitFor(QStringLiteral("[GUIManager] WARN: Disconnected from MQTT broker")));
    QVERIFY(log.waitFor(QStringLiteral("[GUIManager] ERROR: Mqtt client error")));
    QCOMPARE(log.count(QStringLiteral("[GUIManager] WARN: Disconnected from MQTT broker")), 1);
    QCOMPARE(log.count(QStringLiteral("[GUIManager] ERROR: Mqtt client error")), 1);
}

QTEST_MAIN(TstGuiMqtt)
#include "tst_guimqtt.moc"
