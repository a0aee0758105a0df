// The lane without its touch interface: builds the configuration, the broker client and
// the terminal, starts the terminal and runs until it is stopped. For end-to-end tests.
//
//   lane_runner --config FILE [--host H] [--port P] [--second-ms MS] [--queue N] [--address A]
//
// Each return of the lane to Idle also prints "HEAP in-use=B sqlite=S": the bytes held by
// malloc (mallinfo2) and, of them, by SQLite (sqlite3_memory_used of the library the Qt
// driver loaded; -1 before it is loaded), for memory runs over many passages.
//
// --second-ms shortens the card back office's second (default 1000 ms); --queue hands N
// new transactions to the card back office once it has started; --address gives the wired
// interface's address as the network service would report it (the cameras post there). Log lines go to standard
// output; "READY" follows the start.
#include "Backend/CardBO.h"
#include "Backend/Transaction.h"
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Mqtt/MqttClient.h"
#include "Engines/Session.h"
#include "Engines/Terminal.h"
#include "Managers/Ethernet.h"
#include "Models/IPv4.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <dlfcn.h>
#include <malloc.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("vexo");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &msg) {
        fprintf(stdout, "%s\n", qPrintable(msg));
        fflush(stdout);
    });

    QCommandLineParser parser;
    parser.setApplicationDescription("The lane without its touch interface: the terminal with its devices and "
                                     "servers, running until it is stopped. Prints READY once started.");
    parser.addHelpOption();
    parser.addOptions({{"config", "configuration file", "file", "gui.conf"},
                       {"host", "broker host", "host", "127.0.0.1"},
                       {"port", "broker port", "port", "1883"},
                       {"second-ms", "the card back office's second", "ms", "1000"},
                       {"queue", "transactions to hand over at start", "n", "0"},
                       {"address", "the wired interface's address", "address"}});
    parser.process(app); // help and errors under the runner's own name
    // The terminal's settings store (the card back office's API key) is the program's own.
    QCoreApplication::setApplicationName("zuka-terminal-ui");

    Config config(parser.value("config"), ConfigDefaults);
    manager::MqttClient mqtt;
    mqtt.setHostname(parser.value("host"));
    mqtt.setPort(parser.value("port").toUInt());
    mqtt.connect();

    Backend::CardBO::Timing timing;
    timing.secondMs = parser.value("second-ms").toInt();
    Terminal terminal(config, mqtt, nullptr, timing);
    if (parser.isSet("address"))
        terminal.network()->ethernet()->ipv4()->setAddress(parser.value("address"));
    QObject::connect(terminal.session(), &Session::stateChanged, [](Session::State, Session::State curr) {
        if (curr != Session::Idle)
            return;
        const struct mallinfo2 heap = mallinfo2();
        long long sqlite = -1;
        if (void *lib = dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_NOLOAD)) {
            if (auto used = reinterpret_cast<long long (*)()>(dlsym(lib, "sqlite3_memory_used")))
                sqlite = used();
            dlclose(lib);
        }
        fprintf(stdout, "HEAP in-use=%zu sqlite=%lld\n", heap.uordblks + heap.hblkhd, sqlite);
        fflush(stdout);
    });
    terminal.start();
    const int queue = parser.value("queue").toInt();
    for (int i = 1; i <= queue; ++i) {
        auto t = Backend::Transaction::create(Backend::Transaction::Scan, terminal.serialNum(),
                                              QString::number(i, 16).toUpper());
        terminal.cardBO()->sendTransaction(t);
    }
    fprintf(stdout, "READY\n");
    fflush(stdout);
    return app.exec();
}
