// Baseline for the start-up figure: a bare Qt Quick application that opens the same
// empty 1024x600 window, prints the moment of its first frame and leaves.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>

#include <chrono>
#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    engine.loadData("import QtQuick 2.15\nimport QtQuick.Controls 2.15\n"
                    "ApplicationWindow { visible: true; width: 1024; height: 600 }\n");
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    if (!window)
        return 1;
    QObject::connect(window, &QQuickWindow::frameSwapped, &app, [] {
        static bool shown = false;
        if (shown)
            return;
        shown = true;
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        std::printf("startup/first-frame %.6f\n", std::chrono::duration<double>(now).count());
        QCoreApplication::quit();
    }, Qt::DirectConnection);
    QTimer::singleShot(10000, &app, [] { QCoreApplication::exit(1); });
    return app.exec();
}
