// Holds a broker connection with a last will until it is killed.
// Usage: mqtt_will_holder PORT WILL_TOPIC. Prints CONNECTED once connected.
#include "Common/Mqtt/MqttClient.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    manager::MqttClient client;
    client.setHostname(QStringLiteral("127.0.0.1"));
    client.setPort(QString::fromLocal8Bit(argv[1]).toUInt());
    client.setClientId(QStringLiteral("will_holder_%1").arg(QCoreApplication::applicationPid()));
    client.setWillTopic(QString::fromLocal8Bit(argv[2]));
    client.setWillMessage(QByteArrayLiteral("{\"service\": false}"));
    QObject::connect(&client, &manager::MqttClient::connected, &app, [] {
        std::printf("CONNECTED\n");
        std::fflush(stdout);
    });
    client.connect();
    return app.exec();
}
