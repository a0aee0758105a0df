#include "GUI/QmlSetup.h"

#include <QQmlEngine>
#include <QStringList>

static void initResources()
{
    Q_INIT_RESOURCE(qml);
    Q_INIT_RESOURCE(fonts);
    Q_INIT_RESOURCE(translations);
    Q_INIT_RESOURCE(freevirtualkeyboard);
}

void QmlSetup::prepare(QQmlEngine &engine)
{
    initResources();
    QStringList paths = engine.importPathList();
    const QString fallback = QStringLiteral("qrc:/platform");
    if (!paths.contains(fallback)) {
        paths.append(fallback);
        engine.setImportPathList(paths);
    }
}
