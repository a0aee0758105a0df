#include "GUI/QmlSetup.h"

#include <QImage>
#include <QImageReader>
#include <QQmlEngine>
#include <QQuickImageProvider>
#include <QStringList>

static void initResources()
{
    Q_INIT_RESOURCE(qml);
    Q_INIT_RESOURCE(fonts);
    Q_INIT_RESOURCE(translations);
    Q_INIT_RESOURCE(icons);
    Q_INIT_RESOURCE(freevirtualkeyboard);
}

namespace {

// "image://icons/warning-150": the compiled-in icon drawn at build time at the size it is
// shown, read as PNG by name. The screens' icons come this way rather than as "qrc:" images:
// the first image an Image item reads from a file makes Qt Quick ask for every image format
// the system has, which loads each image format plugin (the SVG one brings Qt Widgets).
class IconProvider : public QQuickImageProvider
{
public:
    IconProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}

    QImage requestImage(const QString &id, QSize *size, const QSize &) override
    {
        QImage image;
        if (!id.contains(QLatin1Char('/'))) {
            QImageReader reader(QStringLiteral(":/qml/images/Icons/%1.png").arg(id), "png");
            // Read by Qt's own PNG reader: asked to find one, the reader would load every
            // image format plugin first to see whether one of them claims the file.
            reader.setAutoDetectImageFormat(false);
            image = reader.read();
        }
        if (size)
            *size = image.size();
        return image;
    }
};

} // namespace

void QmlSetup::prepare(QQmlEngine &engine)
{
    initResources();
    QStringList paths = engine.importPathList();
    const QString fallback = QStringLiteral("qrc:/platform");
    if (!paths.contains(fallback)) {
        paths.append(fallback);
        engine.setImportPathList(paths);
    }
    if (!engine.imageProvider(QStringLiteral("icons")))
        engine.addImageProvider(QStringLiteral("icons"), new IconProvider);
}
