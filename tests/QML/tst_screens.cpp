// Every screen of the touch interface renders in Greek and in English, shows the texts of
// the translation in its language, loads without a QML warning and shows every text
// whole, inside the window and clear of the others.
#include "PeerProcess.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QXmlStreamReader>
#include <QtTest>

class TstScreens : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void screens_data();
    void screens();
    void cleanupTestCase();

private:
    PeerProcess m_xvfb{QStringLiteral("Xvfb")};
    QString m_display;
    QList<QPair<QString, QString>> m_translation; // source, Greek
};

void TstScreens::initTestCase()
{
    // A display of our own: Xvfb picks a free number and prints it once it listens.
    QVERIFY(m_xvfb.start(QStringLiteral("Xvfb"),
                         {"-displayfd", "1", "-screen", "0", "1024x600x24", "-nolisten", "tcp"}, "\n", 15000));
    m_display = QStringLiteral(":") + QString::fromLatin1(m_xvfb.output().trimmed());
    QVERIFY2(m_display.size() > 1, qPrintable(m_display));

    QFile ts(QStringLiteral(TRANSLATION_TS));
    QVERIFY(ts.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&ts);
    QString source;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("source"))
            source = xml.readElementText();
        else if (xml.isStartElement() && xml.name() == QLatin1String("translation"))
            m_translation.append({source, xml.readElementText()});
    }
    QVERIFY(!xml.hasError());
    QCOMPARE(m_translation.size(), 21);
}

void TstScreens::cleanupTestCase()
{
    QVERIFY(m_xvfb.stop());
}

void TstScreens::screens_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("greek");
    QTest::newRow("Greek") << "el_GR" << true;
    QTest::newRow("English") << "en_US" << false;
}

void TstScreens::screens()
{
    QFETCH(QString, locale);
    QFETCH(bool, greek);

    const QString outDir = QStringLiteral(BUILD_DIR "/screenshots/") + locale;
    QDir(outDir).removeRecursively();
    QProcess shots;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", m_display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.remove("QT_IM_MODULE");
    shots.setProcessEnvironment(env);
    shots.start(QStringLiteral(SCREENSHOTS_EXE), {"--locale", locale, "--out", outDir});
    QVERIFY(shots.waitForFinished(180000));
    const QString err = QString::fromUtf8(shots.readAllStandardError());
    QVERIFY2(shots.exitStatus() == QProcess::NormalExit && shots.exitCode() == 0, qPrintable(err));
    // "Layout fault": a text past the window's edge or over another text, a field
    // showing the end of its text, an icon missing or scaled (the screenshot program
    // looks at every screen).
    for (const char *warning : {"is not installed", "ReferenceError", "TypeError", "Cannot open", "Binding loop",
                                "Layout fault"})
        QVERIFY2(!err.contains(QLatin1String(warning)), qPrintable(err));

    QFile file(outDir + QStringLiteral("/texts.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject dump = QJsonDocument::fromJson(file.readAll()).object();
    QVERIFY(dump.size() >= 28);
    // Saving an address with a part above 255 in manual mode stops at the address check.
    QVERIFY(dump.value("Settings-Ethernet-Invalid").toArray().contains("IPv4 address is not a valid IP address"));
    QVERIFY(!dump.value("Settings-Update").toArray().contains("IPv4 address is not a valid IP address"));

    QSet<QString> shown;
    for (auto it = dump.begin(); it != dump.end(); ++it) {
        const QString screen = it.key();
        const QVariantList texts = it.value().toArray().toVariantList();
        QVERIFY2(!texts.isEmpty(), qPrintable(screen + " shows no text"));
        for (const QVariant &t : texts)
            shown.insert(t.toString());

        // Rendered: the full window, and not flat: antialiased text and icons give many
        // colours, and no one colour covers nearly everything.
        QImage image(outDir + "/" + screen + ".png");
        QCOMPARE(image.size(), QSize(1024, 600));
        QHash<QRgb, int> counts;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                ++counts[image.pixel(x, y)];
        int top = 0;
        for (int c : qAsConst(counts))
            top = qMax(top, c);
        QVERIFY2(counts.size() >= 16 && top < 0.995 * (image.width() / 2) * (image.height() / 2),
                 qPrintable(screen + " is flat"));
    }

    for (const auto &entry : qAsConst(m_translation)) {
        const QString expected = greek ? entry.second : entry.first;
        const QString other = greek ? entry.first : entry.second;
        QVERIFY2(shown.contains(expected), qPrintable(locale + " misses " + expected));
        // Texts that are the same in both languages are none; the other language never shows.
        QVERIFY2(!shown.contains(other), qPrintable(locale + " shows " + other));
    }
}

QTEST_GUILESS_MAIN(TstScreens)
#include "tst_screens.moc"
