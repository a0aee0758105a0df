// Logs as the terminal does by default (information level, to standard error), uses a
// deferred result and ends; what it writes on the way out is for the test to judge.
#include "Common/Log/Logger.h"
#include "Deferred/Deferred.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    manager::Logger::instance()->setSyslog(false);
    manager::Logger::instance()->setStderr(true);
    Deferred<>().done([] {});
    return 0;
}
