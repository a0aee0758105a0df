// QR codes as SVG: the document's form, and a round trip through a real renderer
// (rsvg-convert) and a real decoder (zbarimg).
#include "GUI/QrCodeGenerator.h"
#include "LogCapture.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using qrcodegen::QrCode;

class TstQrCode : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // Renders the SVG to PNG and decodes it; returns the decoded bytes.
    QByteArray decode(const QString &svg, const QString &name)
    {
        const QString svgFile = m_dir.filePath(name + ".svg");
        const QString pngFile = m_dir.filePath(name + ".png");
        QFile f(svgFile);
        if (!f.open(QIODevice::WriteOnly))
            return "<cannot write>";
        f.write(svg.toUtf8());
        f.close();
        if (QProcess::execute("rsvg-convert", {"-w", "600", "-h", "600", "-o", pngFile, svgFile}) != 0)
            return "<rsvg-convert failed>";
        QProcess z;
        z.start("zbarimg", {"--quiet", "--raw", "-Sdisable", "-Sqrcode.enable", pngFile});
        if (!z.waitForFinished(20000) || z.exitCode() != 0)
            return "<zbarimg failed: " + z.readAllStandardError() + ">";
        QByteArray out = z.readAllStandardOutput();
        if (out.endsWith('\n'))
            out.chop(1);
        return out;
    }

private slots:
    void documentForm()
    {
        QrCodeGenerator gen;
        const QString svg0 = gen.generateSvgQr("HELLO", 0, QrCode::Ecc::LOW);
        const QString head =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
            "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" "
            "\"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\">"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" viewBox=\"0 0 ";
        const QString body = "\" stroke=\"none\"><rect width=\"100%\" height=\"100%\" "
                             "fill=\"#FFFFFF\"/><path d=\"";
        QVERIFY(svg0.startsWith(head + "21 21" + body + "M0,0h1v1h-1z M1,0h1v1h-1z"));
        QVERIFY(svg0.endsWith("h1v1h-1z\" fill=\"#000000\"/></svg>"));
        QVERIFY(!svg0.contains('\n'));

        const QString svg1 = gen.generateSvgQr("HELLO", 1, QrCode::Ecc::LOW);
        QVERIFY(svg1.startsWith(head + "23 23" + body + "M1,1h1v1h-1z M2,1"));
        // Same modules, shifted by the border.
        QCOMPARE(svg1.count('M'), svg0.count('M'));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("ecc");
        QTest::newRow("ascii") << "Diagnostics: barrier OK, loop OK, reader OK" << int(QrCode::Ecc::MEDIUM);
        QTest::newRow("digits") << "0123456789012345" << int(QrCode::Ecc::HIGH);
        QTest::newRow("greek") << QString::fromUtf8("Διάγνωση: μπάρα εντάξει, κάρτες 250 — ΑΒΓ 1234")
                               << int(QrCode::Ecc::QUARTILE);
        QTest::newRow("mixed") << QString::fromUtf8("Terminal ΤΕΡΜ-07 / café ✓") << int(QrCode::Ecc::LOW);
    }

    void roundTrip()
    {
        QFETCH(QString, text);
        QFETCH(int, ecc);
        QrCodeGenerator gen;
        const QString svg = gen.generateSvgQr(text, 4, QrCode::Ecc(ecc));
        QVERIFY(!svg.isEmpty());
        QCOMPARE(QString::fromUtf8(decode(svg, QTest::currentDataTag())), text);
    }

    void textTooLongIsAnErrorNotACrash()
    {
        LogCapture log;
        QrCodeGenerator gen;
        const QString text(4000, QChar(0x03A9));  // 8000 UTF-8 bytes
        QCOMPARE(gen.generateSvgQr(text, 4, QrCode::Ecc::HIGH), QString());
        const QStringList errors = log.texts(QtCriticalMsg);
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().startsWith("[QrCodeGenerator] ERROR: "), qPrintable(errors.first()));
        // Still working afterwards.
        QVERIFY(!gen.generateSvgQr("ok", 4, QrCode::Ecc::HIGH).isEmpty());
    }

    void textWithNulIsNotCut()
    {
        QrCodeGenerator gen;
        const QString text = QString("A") + QChar(0) + QString("B");
        QVERIFY(gen.generateSvgQr(text, 4, QrCode::Ecc::LOW) != gen.generateSvgQr("A", 4, QrCode::Ecc::LOW));
    }
};

QTEST_GUILESS_MAIN(TstQrCode)
#include "tst_qrcode.moc"
