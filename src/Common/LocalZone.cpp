#include "Common/LocalZone.h"

#include <QtGlobal>

#include <atomic>
#include <cstdlib>
#include <ctime>

namespace LocalZone {

namespace {

const char Pinned[] = ":/etc/localtime";
std::atomic<bool> pinned{false};

} // namespace

void pin()
{
    // A zone chosen from outside stays as it was chosen.
    if (qEnvironmentVariableIsSet("TZ"))
        return;
    ::setenv("TZ", Pinned, 1);
    ::tzset();
    pinned = true;
}

void reload()
{
    if (!pinned)
        return;
    // Without TZ the library reads the file again when it has changed; named again, it
    // then keeps what it read. The variable exists throughout but for this moment, so a
    // reader on another thread finds it or the same zone through the default.
    ::unsetenv("TZ");
    ::tzset();
    ::setenv("TZ", Pinned, 1);
    ::tzset();
}

} // namespace LocalZone
