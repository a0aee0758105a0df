// The barrier controller's answers to the status read: the input is a Modbus response
// (function code, then its data) decoded as the Modbus client decodes a read reply, and
// the registers it gives are taken in as the barrier takes them. Several inputs in a row
// meet the words the barrier kept from the one before.
#include "Common/Config.h"
#include "Managers/Barrier.h"

#include <QModbusTcpClient>

#include "FuzzApp.h"

#include <cstdint>

namespace {
struct Decoder : QModbusTcpClient
{
    using QModbusTcpClient::processResponse;
};

struct Controller : manager::Barrier
{
    using Barrier::Barrier;
    using Barrier::applyStatus;
};

struct Rig
{
    Config config{QString(), {{QStringLiteral("barrier/url"), QString()}, {QStringLiteral("barrier/timeout"), 1000},
                              {QStringLiteral("barrier/retries"), 3}, {QStringLiteral("barrier/unitId"), 1}}};
    Decoder decoder;
    Controller barrier{config};
};
Rig *g_rig = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzApp(argc, argv);
    g_rig = new Rig;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QModbusResponse response(QModbusPdu::FunctionCode(data[0]),
                                   QByteArray(reinterpret_cast<const char *>(data + 1), int(size - 1)));
    // What the barrier asks for: its status block of holding registers.
    QModbusDataUnit unit(QModbusDataUnit::HoldingRegisters, manager::Barrier::StatusRegister,
                         manager::Barrier::StatusBlockSize);
    if (g_rig->decoder.processResponse(response, &unit))
        g_rig->barrier.applyStatus(unit);
    return 0;
}
