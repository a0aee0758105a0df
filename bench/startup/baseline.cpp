// Baseline for the start-up figure: a bare Qt Quick application that opens the same
// empty 1024x600 window and leaves once the window has shown its first frame.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    engine.loadData("import QtQuick 2.15\nimport QtQuick.Controls 2.15\n"
                    "ApplicationWindow { visible: true; width: 1024; height: 600 }\n");
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    if (!window)
        return 1;
    QObject::connect(window, &QQuickWindow::frameSwapped, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QTimer::singleShot(10000, &app, [] { QCoreApplication::exit(1); });
    return app.exec();
}
