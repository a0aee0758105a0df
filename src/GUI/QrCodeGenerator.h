#pragma once
// Renders a text as a QR code in one SVG document.
#include "Common/Log/Log.h"
#include <QObject>
#include <QString>

#include <qrcodegen/qrcodegen.hpp>

Q_DECLARE_LOGGING_CATEGORY(qrCodeLogCategory)

class QrCodeGenerator : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QrCodeGenerator)

public:
    explicit QrCodeGenerator(QObject *parent = nullptr);

    // The SVG of the text's QR code (its UTF-8 bytes) with a quiet zone of border
    // modules; empty, with an error logged, when the text cannot be encoded.
    QString generateSvgQr(const QString &text, unsigned short border, qrcodegen::QrCode::Ecc ecc);
    QString toSvgString(const qrcodegen::QrCode &qr, unsigned short border) const;

private:
    static constexpr Log log{"[QrCodeGenerator] ", qrCodeLogCategory};
};
