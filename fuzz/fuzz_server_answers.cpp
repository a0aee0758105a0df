// The answers of the service bus (plate reports, exit permission, version) and of the
// weighbridge server as their clients take them: the first input byte picks the server, the
// outcome and the status, the rest is the body as it came over HTTP.
#include "Backend/ESB.h"
#include "Backend/LocalServer.h"
#include "Common/Config.h"

#include "AnswerBody.h"
#include "FuzzApp.h"

#include <cstdint>

namespace {
struct Bus : Backend::ESB
{
    using ESB::ESB;
    using ESB::handle;
    using ESB::permissionOf;
};

struct Weighbridge : Backend::LocalServer
{
    using LocalServer::LocalServer;
    using LocalServer::handleErrorResponse;
    using LocalServer::parseResponse;
};

struct Clients
{
    Config config{QString(), {{QStringLiteral("esb/url"), QString()}, {QStringLiteral("local/url"), QString()}}};
    Bus bus{config};
    Weighbridge weighbridge{config};
};
Clients *g_clients = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzApp(argc, argv);
    g_clients = new Clients;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QJsonValue body;
    if (!answerBody(data, size, &body))
        return 0;
    const int status = data[0] & 0x08 ? 200 : 400 + (data[0] >> 4);
    switch (data[0] % 4) {
    case 0: { // the bus: an answer, or a failure, read as the permission request does
        Deferred<int, QJsonValue> call;
        g_clients->bus.handle(call).done([](const QJsonObject &answer) { Bus::permissionOf(answer); });
        if (data[0] & 0x08)
            call.resolve(status, body);
        else
            call.reject(status, body);
        break;
    }
    case 1:
        Bus::permissionOf(body.toObject());
        break;
    case 2:
        Weighbridge::parseResponse(body);
        break;
    default:
        g_clients->weighbridge.handleErrorResponse(status, body);
        break;
    }
    return 0;
}
