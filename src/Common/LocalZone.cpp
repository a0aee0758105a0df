#include "Common/LocalZone.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdlib>
#include <ctime>

namespace LocalZone {

namespace {

QByteArray pinned; // the value of TZ that names the zone file, once pinned

} // namespace

void pin(const char *zoneFile)
{
    // A zone chosen from outside stays as it was chosen.
    if (qEnvironmentVariableIsSet("TZ"))
        return;
    pinned = QByteArray(":") + zoneFile;
    ::setenv("TZ", pinned.constData(), 1);
    ::tzset();
}

void reload()
{
    if (pinned.isEmpty())
        return;
    // Named again after a moment without it, the file is read anew; the library keeps a
    // zone whose name it has already read.
    ::unsetenv("TZ");
    ::tzset();
    ::setenv("TZ", pinned.constData(), 1);
    ::tzset();
}

} // namespace LocalZone
