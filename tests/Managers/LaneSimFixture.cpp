#include "LaneSimFixture.h"

#include "TestUtil.h"

#include <QJsonDocument>

LaneSim::LaneSim(quint16 brokerPort, const QString &rfidRoot, const QString &dispenserRoot)
    : m_port(brokerPort)
    , m_rfidRoot(rfidRoot)
    , m_dispenserRoot(dispenserRoot)
{
}

LaneSim::~LaneSim()
{
    stop();
}

bool LaneSim::start(const QStringList &extraArgs, int timeoutMs)
{
    QStringList args{QStringLiteral(PEERS_DIR "/lane_sim.py"),
                     QStringLiteral("--port"), QString::number(m_port),
                     QStringLiteral("--rfid-root"), m_rfidRoot,
                     QStringLiteral("--dispenser-root"), m_dispenserRoot,
                     QStringLiteral("--quiet")};
    args << extraArgs;
    m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_proc.start(TestUtil::python(), args);
    if (!m_proc.waitForStarted(5000))
        return false;
    QByteArray out;
    return TestUtil::waitUntil(
        [&] {
            out += m_proc.readAllStandardOutput();
            return out.contains("READY") || m_proc.state() == QProcess::NotRunning;
        },
        timeoutMs)
        && out.contains("READY");
}

void LaneSim::kill()
{
    if (m_proc.state() == QProcess::NotRunning)
        return;
    m_proc.kill();
    m_proc.waitForFinished(5000);
}

void LaneSim::stop()
{
    if (m_proc.state() == QProcess::NotRunning)
        return;
    m_proc.terminate();
    if (!m_proc.waitForFinished(5000))
        kill();
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
