// Messages of the local device services as their clients receive them through the shared
// connection: every topic of the RFID reader, card dispenser, network (with ethernet),
// update, system inspector and GPS clients, and the answers to the reader's and the
// dispenser's request/response calls. The first input byte picks the topic (or the
// call), the rest is the payload. Calls go over a real connection to a small broker of
// the target's own, which answers each request with the payload, as a service would.
#include "Common/Mqtt/MqttClient.h"
#include "Managers/Dispenser.h"
#include "Managers/GPSManager.h"
#include "Managers/Inspector.h"
#include "Managers/Network.h"
#include "Managers/RFID.h"
#include "Managers/Update.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include "FuzzApp.h"

#include <cstdint>
#include <cstdlib>

namespace {

// Just enough of an MQTT 3.1.1 broker for one client: every packet is acknowledged, and
// the topic of the last request ("/request/") published to it is kept.
class TinyBroker : public QObject
{
public:
    TinyBroker()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            m_client = m_server.nextPendingConnection();
            connect(m_client, &QTcpSocket::readyRead, this, [this] { read(); });
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    QString request;

    void publish(const QString &topic, const QByteArray &payload)
    {
        const QByteArray name = topic.toUtf8();
        send(0x30, QByteArray(1, char(name.size() >> 8)) + char(name.size() & 0xff) + name + payload);
    }

private:
    void send(quint8 type, const QByteArray &body)
    {
        QByteArray packet(1, char(type));
        for (int n = body.size();;) { // remaining length, seven bits a byte
            const char digit = char(n % 128);
            n /= 128;
            packet += n ? char(digit | 0x80) : digit;
            if (!n)
                break;
        }
        if (m_client)
            m_client->write(packet + body);
    }
    void read()
    {
        m_in += m_client->readAll();
        for (;;) {
            int length = 0, at = 1, shift = 0;
            for (; at < m_in.size() && at < 5; ++at, shift += 7) {
                length |= (quint8(m_in[at]) & 0x7f) << shift;
                if (!(quint8(m_in[at]) & 0x80))
                    break;
            }
            if (at >= m_in.size() || m_in.size() < at + 1 + length)
                return;
            handle(quint8(m_in[0]), m_in.mid(at + 1, length));
            m_in.remove(0, at + 1 + length);
        }
    }
    void handle(quint8 type, const QByteArray &body)
    {
        const QByteArray id = body.left(2);
        switch (type >> 4) {
        case 1: send(0x20, QByteArray(2, 0)); break;                  // CONNECT: accepted
        case 3: {                                                      // PUBLISH
            const int n = (quint8(body[0]) << 8) | quint8(body[1]);
            const QString topic = QString::fromUtf8(body.mid(2, n));
            if (topic.contains(QLatin1String("/request/")))
                request = topic;
            const int qos = (type >> 1) & 3;
            if (qos)
                send(qos == 1 ? 0x40 : 0x50, body.mid(2 + n, 2));
            break;
        }
        case 6: send(0x70, id); break;                                 // PUBREL
        case 8: send(0x90, id + QByteArray(1, 0)); break;             // SUBSCRIBE: QoS 0
        case 10: send(0xb0, id); break;                                // UNSUBSCRIBE
        case 12: send(0xd0, QByteArray()); break;                      // PINGREQ
        default: break;
        }
    }

    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    QByteArray m_in;
};

struct Clients
{
    manager::MqttClient mqtt;
    manager::RFID rfid{mqtt, QStringLiteral("fz/rfid")};
    manager::Dispenser dispenser{mqtt, QStringLiteral("fz/dispenser")};
    manager::Network network{mqtt, QStringLiteral("fz/network")};
    manager::Update update{mqtt, QStringLiteral("fz/update")};
    manager::Inspector inspector{mqtt, QStringLiteral("fz/inspector")};
    manager::GPSManager gps{mqtt, QStringLiteral("fz/gps")};
};
Clients *g_clients = nullptr;
TinyBroker *g_broker = nullptr;

const char *const Topics[] = {
    "fz/rfid/info", "fz/rfid/status", "fz/rfid/card/found", "fz/rfid/card/removed", "fz/rfid/card/autoread",
    "fz/dispenser/info", "fz/dispenser/status", "fz/dispenser/card/inserted", "fz/dispenser/card/removed",
    "fz/dispenser/card/disposed", "fz/network/info", "fz/network/status", "fz/network/ethernet/state",
    "fz/network/ethernet/config", "fz/update/status", "fz/update/progress", "fz/inspector/info",
    "fz/inspector/status", "fz/inspector/audio", "fz/inspector/stats/cpu", "fz/gps/info", "fz/gps/status",
    "fz/gps/data", "fz/rfid/other", "elsewhere/status",
};
constexpr int TopicCount = int(sizeof(Topics) / sizeof(Topics[0]));

bool spinUntil(const std::function<bool()> &done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    return done();
}

// One call of the reader or the dispenser, answered with the payload.
void answerCall(int which, const QByteArray &payload)
{
    bool settled = false;
    const auto mark = [&settled](auto) { settled = true; };
    g_broker->request.clear();
    if (which == 0)
        g_clients->rfid.readCard(QStringLiteral("ZUKAv1"), 2).done(mark).fail(mark);
    else if (which == 1)
        g_clients->rfid.createCard(QStringLiteral("ZUKAv1")).done(mark).fail(mark);
    else
        g_clients->dispenser.issue().done(mark).fail(mark);
    if (!spinUntil([] { return !g_broker->request.isEmpty(); }, 5000))
        abort(); // the request never left
    QString response = g_broker->request;
    g_broker->publish(response.replace(QLatin1String("/request/"), QLatin1String("/response/")), payload);
    if (!spinUntil([&settled] { return settled; }, 5000))
        abort(); // an answer that settles nothing
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzApp(argc, argv);
    g_broker = new TinyBroker;
    g_clients = new Clients;
    g_clients->mqtt.setPort(g_broker->port());
    g_clients->mqtt.connect();
    if (!spinUntil([] { return g_clients->mqtt.isConnected(); }, 10000))
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray payload(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const int pick = data[0] % (TopicCount + 3);
    if (pick >= TopicCount) {
        answerCall(pick - TopicCount, payload);
    } else {
        const QByteArray topic(Topics[pick]);
        emit g_clients->mqtt.received(payload, topic, false);
    }
    g_clients->rfid.activeCard();
    return 0;
}
