// Writes queued transactions into "terminal.db" of the working directory as fast as it
// can, each added row followed by an update of the one before, and prints
// "COMMITTED <n> <uuid>" after each added row, until it is killed.
#include "Backend/Database.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            fprintf(stderr, "%s\n", qPrintable(msg));
    });
    Backend::Database db;
    Backend::Transaction::Ptr previous;
    for (int n = 1;; ++n) {
        auto t = Backend::Transaction::create(Backend::Transaction::Issuance, "DEV-KILL", QString::number(n, 16));
        if (!db.transAdd(t))
            return 1;
        printf("COMMITTED %d %s\n", n, qPrintable(t->uuid()));
        fflush(stdout);
        if (previous) {
            previous->sendDetails().status = Backend::Transaction::SendStatus::Ok;
            previous->sendDetails().date = QDateTime::currentDateTime();
            previous->sendDetails().attempts = 1;
            previous->sendDetails().respStatus = 200;
            db.transUpdate(previous);
        }
        previous = t;
    }
}
