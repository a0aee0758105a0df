// Build-time tool: draws an SVG image at one pixel size into a PNG file, so that the
// interface shows its icons as plain images and never loads an SVG renderer.
//   zuka-render-icon <in.svg> <width> <height> <out.png>
// The pixels are those Qt's SVG image loader gives at that size: the whole image scaled to
// the size on a transparent ground.
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s <in.svg> <width> <height> <out.png>\n", argv[0]);
        return 2;
    }
    const QString in = QString::fromLocal8Bit(argv[1]);
    const QString out = QString::fromLocal8Bit(argv[4]);
    bool okWidth = false;
    bool okHeight = false;
    const QSize size(QString::fromLatin1(argv[2]).toInt(&okWidth), QString::fromLatin1(argv[3]).toInt(&okHeight));
    if (!okWidth || !okHeight || size.isEmpty()) {
        std::fprintf(stderr, "%s: not a size: %s x %s\n", argv[0], argv[2], argv[3]);
        return 2;
    }

    QSvgRenderer svg(in);
    if (!svg.isValid()) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 1;
    }
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    svg.render(&painter);
    painter.end();
    if (!image.save(out, "PNG")) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[4]);
        return 1;
    }
    return 0;
}
