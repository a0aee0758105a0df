// Baseline for the start-up figure: a bare Qt Quick application that opens the same
// empty 1024x600 window and leaves as soon as its event loop runs.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QTimer>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    engine.loadData("import QtQuick 2.15\nimport QtQuick.Controls 2.15\n"
                    "ApplicationWindow { visible: true; width: 1024; height: 600 }\n");
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
