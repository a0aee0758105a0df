#pragma once
// What every target of Qt objects needs: the application object (timers, signals,
// settings) and a silent log. Log lines are still formatted, so their code is fuzzed too.
// The application lives until the process ends and is never destroyed: its end would
// come after Qt's own statics (the database connections) are gone.
#include <QCoreApplication>

inline void startFuzzApp(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}
