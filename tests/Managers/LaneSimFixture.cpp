#include "LaneSimFixture.h"

#include "TestUtil.h"

#include <QJsonDocument>

LaneSim::LaneSim(quint16 brokerPort, const QString &rfidRoot, const QString &dispenserRoot)
    : m_port(brokerPort)
    , m_rfidRoot(rfidRoot)
    , m_dispenserRoot(dispenserRoot)
{
}

LaneSim::~LaneSim() = default;

bool LaneSim::start(const QStringList &extraArgs, int timeoutMs)
{
    const QStringList args{QStringLiteral("--port"),           QString::number(m_port),
                           QStringLiteral("--rfid-root"),      m_rfidRoot,
                           QStringLiteral("--dispenser-root"), m_dispenserRoot,
                           QStringLiteral("--quiet")};
    return m_proc.startPython(QStringLiteral("lane_sim.py"), args + extraArgs, "READY", timeoutMs);
}

void LaneSim::kill()
{
    m_proc.kill();
}

bool LaneSim::stop()
{
    return m_proc.stop();
}

QJsonObject LaneSim::control(manager::MqttClient &mqtt, const QJsonObject &cmd, int timeoutMs)
{
    QJsonObject request = cmd;
    request.insert(QStringLiteral("id"), ++m_controlId);
    auto reply = watch(mqtt.waitTopic(m_dispenserRoot + QStringLiteral("/sim/reply"), timeoutMs));
    mqtt.publish(QJsonDocument(request).toJson(QJsonDocument::Compact), m_dispenserRoot + QStringLiteral("/sim/control"), 1,
                 false);
    TestUtil::waitUntil([&] { return reply->settled(); }, timeoutMs + 1000);
    return reply->state == 1 ? reply->value.toObject() : QJsonObject();
}

bool rawPublish(quint16 brokerPort, const QString &topic, const QByteArray &payload)
{
    QStringList args{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(brokerPort),
                     QStringLiteral("-q"), QStringLiteral("1"), QStringLiteral("-t"), topic};
    if (payload.isEmpty())
        args << QStringLiteral("-n");
    else
        args << QStringLiteral("-m") << QString::fromUtf8(payload);
    return QProcess::execute(QStringLiteral("mosquitto_pub"), args) == 0;
}

bool connectClient(manager::MqttClient &mqtt, quint16 brokerPort, int timeoutMs)
{
    mqtt.setHostname(QStringLiteral("127.0.0.1"));
    mqtt.setPort(brokerPort);
    mqtt.connect();
    return TestUtil::waitUntil([&] { return mqtt.isConnected(); }, timeoutMs);
}

QJsonObject obj(const char *text)
{
    return QJsonDocument::fromJson(text).object();
}
