#include "GUI/QrCodeGenerator.h"

#include <QDebug>

#include <exception>
#include <vector>

ZUKA_LOG_CATEGORY(qrCodeLogCategory, "gui.qrcode")

QrCodeGenerator::QrCodeGenerator(QObject *parent)
    : QObject(parent)
{
}

QString QrCodeGenerator::generateSvgQr(const QString &text, unsigned short border,
                                       qrcodegen::QrCode::Ecc ecc)
{
    const QByteArray bytes = text.toUtf8();
    try {
        if (bytes.contains('\0')) {
            // The text encoding stops at the first NUL: carry such a text as raw bytes.
            const std::vector<std::uint8_t> data(bytes.cbegin(), bytes.cend());
            return toSvgString(qrcodegen::QrCode::encodeBinary(data, ecc), border);
        }
        return toSvgString(qrcodegen::QrCode::encodeText(bytes.constData(), ecc), border);
    } catch (const std::exception &e) {
        log.error("Cannot encode ", bytes.size(), " byte(s) as a QR code : ", e.what());
    }
    return QString();
}

QString QrCodeGenerator::toSvgString(const qrcodegen::QrCode &qr, unsigned short border) const
{
    const int size = qr.getSize();
    const int n = size + 2 * int(border);
    QString svg;
    svg.reserve(400 + size * size * 8);
    svg += QLatin1String("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                         "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" "
                         "\"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\">"
                         "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" viewBox=\"0 0 ");
    svg += QString::number(n);
    svg += QLatin1Char(' ');
    svg += QString::number(n);
    svg += QLatin1String("\" stroke=\"none\"><rect width=\"100%\" height=\"100%\" "
                         "fill=\"#FFFFFF\"/><path d=\"");
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            if (!qr.getModule(x, y))
                continue;
            if (x != 0 || y != 0)
                svg += QLatin1Char(' ');
            svg += QLatin1Char('M');
            svg += QString::number(x + border);
            svg += QLatin1Char(',');
            svg += QString::number(y + border);
            svg += QLatin1String("h1v1h-1z");
        }
    }
    svg += QLatin1String("\" fill=\"#000000\"/></svg>");
    return svg;
}
