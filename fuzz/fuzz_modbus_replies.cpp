// The barrier controller's answers to the status read: the input is a Modbus TCP answer
// (header, then the PDU) read as the barrier's Modbus link reads the answer to its read of
// the status block (transaction 0, unit 1), and the registers it gives are taken in as the
// barrier takes them. Several inputs in a row meet the words the barrier kept from the one
// before.
#include "Common/Config.h"
#include "Managers/Barrier.h"
#include "Managers/ModbusLink.h"

#include "FuzzApp.h"

#include <cstdint>

namespace {
struct Controller : manager::Barrier
{
    using Barrier::Barrier;
    using Barrier::applyStatus;
};

struct Rig
{
    Config config{QString(), {{QStringLiteral("barrier/url"), QString()}, {QStringLiteral("barrier/timeout"), 1000},
                              {QStringLiteral("barrier/retries"), 3}, {QStringLiteral("barrier/unitId"), 1}}};
    Controller barrier{config};
};
Rig *g_rig = nullptr;
// Read Holding Registers from register 1, six of them, transaction 0, unit 1.
const QByteArray StatusRead = QByteArray::fromHex("000000000006010300010006");
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzApp(argc, argv);
    g_rig = new Rig;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QModbusDataUnit unit(QModbusDataUnit::HoldingRegisters, manager::Barrier::StatusRegister,
                         manager::Barrier::StatusBlockSize);
    const QByteArray frame(reinterpret_cast<const char *>(data), int(size));
    if (manager::ModbusLink::readAnswer(frame, StatusRead, unit).isEmpty())
        g_rig->barrier.applyStatus(unit);
    return 0;
}
