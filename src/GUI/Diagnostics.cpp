#include "GUI/Diagnostics.h"

#include "Common/PrivateFile.h"
#include "Common/Utils.h"
#include "GUI/QrCodeGenerator.h"
#include "Managers/CardIssuer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTextStream>

ZUKA_LOG_CATEGORY(diagnosticsLogCategory, "gui.diagnostics")

const Diagnostics::UsbDevice Diagnostics::UsbDevices[6] = {
    {"USB Hub #1", "0451:2077", "1-1", "usbHub"}, {"mPCIE #1", "*", "1-1.2", "mPCIe1"},
    {"RFID", "0ab1:0007", "1-1.3", "rfidUsb"},    {"USB Host", "*", "1-1.4", "usbHost"},
    {"FTDI", "0403:6015", "1-1.5", "ftdi"},       {"Touch", "222a:0001", "1-1.7", "touch"},
};

namespace {
const QStringList Modes = {QStringLiteral("dispense"), QStringLiteral("acceptEject"),
                           QStringLiteral("acceptDiscard"), QStringLiteral("acceptDispose")};
}

Diagnostics::Diagnostics(Lane lane, QObject *parent)
    : Diagnostics(std::move(lane), parent, Places())
{
}

Diagnostics::Diagnostics(Lane lane, QObject *parent, Places places)
    : QObject(parent)
    , m_lane(std::move(lane))
    , m_places(std::move(places))
{
    connect(&m_checkTimer, &QTimer::timeout, this, &Diagnostics::check);
}

void Diagnostics::followEthernet(QObject *network, const char *signal)
{
    connect(network, signal, this, SIGNAL(ethernetChanged()));
}

QString Diagnostics::ethernet() const
{
    return m_lane.ethernetState() == QLatin1String("Connected") ? QStringLiteral("OK") : QStringLiteral("ERROR");
}

void Diagnostics::setStatus(const char *name, const QString &value)
{
    const QString key = QLatin1String(name);
    if (m_status.value(key) == value && m_status.contains(key))
        return;
    m_status.insert(key, value);
    const QByteArray signal = QByteArray(name) + "Changed";
    QMetaObject::invokeMethod(this, signal.constData(), Qt::DirectConnection);
}

void Diagnostics::start(int intervalSec)
{
    log.info(QStringLiteral("Starting Diagnostic check (interval=%1 sec)").arg(intervalSec));
    m_checkTimer.stop();
    check();
    if (intervalSec > 0)
        m_checkTimer.start(Utils::secondsToMsec(intervalSec));
}

void Diagnostics::stop()
{
    log.info("Stopping Diagnostic check");
    m_checkTimer.stop();
}

QString Diagnostics::readFile(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        log.error("Failed to open fle : ", path);
        return QString();
    }
    QByteArray data = file.readAll();
    const int zero = data.indexOf('\0');
    if (zero >= 0)
        data.truncate(zero);
    return QString::fromUtf8(data).trimmed();
}

QString Diagnostics::usbStatus(const UsbDevice &device) const
{
    const QString dir = QStringLiteral("%1/%2").arg(m_places.usbDevices, QLatin1String(device.port));
    if (!QFileInfo(dir).isDir())
        return QStringLiteral("MISSING");
    const QString vendor = readFile(dir + QStringLiteral("/idVendor"));
    const QString productId = readFile(dir + QStringLiteral("/idProduct"));
    const QString product = readFile(dir + QStringLiteral("/product"));
    const QString id = QStringLiteral("%1:%2").arg(vendor, productId);
    const QString expected = QLatin1String(device.id);
    log.debug("name=", device.name, " deviceId=", id, " expected=", expected, " product=", product);
    if (expected == QLatin1String("any") || expected == QLatin1String("*") || id.contains(expected))
        return QStringLiteral("OK");
    return QStringLiteral("ERROR");
}

void Diagnostics::check()
{
    for (const UsbDevice &device : UsbDevices)
        setStatus(device.property, usbStatus(device));
    setStatus("sdCard", QFileInfo::exists(m_places.sdCard) ? QStringLiteral("OK") : QStringLiteral("MISSING"));
}

// ---------------------------------------------------------------------------
// Card tests

Deferred<Test> Diagnostics::refuse(const QString &name, int numberOfCards, const QString &id, const QString &error)
{
    Test test = Test::create(name, numberOfCards, id);
    test.setFail(error, Tag::Ptr());
    finish(test, false);
    return test.completion;
}

Deferred<Test> Diagnostics::performTest(const QString &name, int numberOfCards, const QString &id)
{
    log.info(QStringLiteral("Received perform test request : mode=%1, cards=%2, id=%3")
                 .arg(Log::outside(name))
                 .arg(numberOfCards)
                 .arg(Log::outside(id)));
    log.warn("Session state is : ", m_lane.sessionState());
    // A mode that starts no card step would hold the lane paused for good.
    if (!Modes.contains(name))
        return refuse(name, numberOfCards, id, QStringLiteral("Unknown test mode"));
    if (numberOfCards < 1 || numberOfCards > MaxCards)
        return refuse(name, numberOfCards, id, QStringLiteral("Number of cards out of range (1-%1)").arg(MaxCards));
    if (m_lane.passageInProgress())
        return refuse(name, numberOfCards, id, QStringLiteral("A session is in progress"));
    // A cancelled test whose card is still under way counts as running.
    if (m_running)
        return refuse(name, numberOfCards, id, QStringLiteral("Another test is already in progress"));

    m_test = Test::create(name, numberOfCards, id);
    m_running = true;
    ++m_run;
    m_lane.pause();
    log.info(QStringLiteral("Test started : mode=%1 cards=%2 id=%3").arg(name).arg(numberOfCards).arg(Log::outside(id)));
    emit testStarted(m_test);
    const Deferred<Test> completion = m_test.completion;
    runCard();
    return completion;
}

void Diagnostics::runCard()
{
    manager::CardIssuer *issuer = m_lane.cardIssuer();
    if (!issuer) {
        cardFailed(QStringLiteral("No cardIssuer instance"), Tag::Ptr());
        return;
    }
    using Result = manager::CardIssuer::Result;
    const quint64 run = m_run;
    // Results of an earlier run (a cancelled test's last card) are not this run's, and
    // results that arrive after the diagnostics are gone reach nobody.
    const QPointer<Diagnostics> self(this);
    auto current = [self, run] { return self && run == self->m_run && self->m_running; };
    auto onDone = [self, current](int pauseMsec) {
        return [self, current, pauseMsec](Result r) {
            if (current())
                self->cardDone(r.card, pauseMsec);
        };
    };
    auto onFail = [self, current](Result r) {
        if (current())
            self->cardFailed(r.error, r.card);
    };
    const QString &mode = m_test.name;
    if (mode == QLatin1String("dispense")) {
        // The operation resolves once the card is disposed of: the pause counts from there.
        issuer->testDispense().done(onDone(DispensePauseMsec)).fail(onFail);
    } else if (mode == QLatin1String("acceptEject")) {
        if (issuer->state() == manager::CardIssuer::Ready) {
            Deferred<Result> accepted = issuer->acceptCard(AcceptWaitSec);
            accepted.fail(onFail);
            accepted.thenAlias([issuer](Result) { return issuer->testAcceptEject(); })
                .done(onDone(AcceptEjectReadyPauseMsec))
                .fail(onFail);
        } else {
            issuer->testAcceptEject().done(onDone(OtherPauseMsec)).fail(onFail);
        }
    } else {
        issuer->testAcceptDispose().done(onDone(OtherPauseMsec)).fail(onFail);
    }
}

void Diagnostics::cardDone(const Tag::Ptr &card, int pauseMsec)
{
    m_test.card = card;
    m_test.incrCardIndex();
    log.info(QStringLiteral("Test progress : name=%1 card=%2/%3 cardId=%4")
                 .arg(m_test.name)
                 .arg(m_test.currCardIndex)
                 .arg(m_test.numberOfCards)
                 .arg(m_test.cardId()));
    if (!m_test.completion.isPending()) {
        log.warn("Test defer has already been resolved");
    } else {
        emit testProgress(m_test);
        m_test.completion.notify(m_test);
    }
    schedule(pauseMsec);
}

void Diagnostics::cardFailed(const QString &error, const Tag::Ptr &card)
{
    m_test.setFail(error, card);
    finish(m_test, true);
}

void Diagnostics::schedule(int pauseMsec)
{
    if (m_test.isFinished()) {
        m_test.setPass();
        finish(m_test, true);
    } else if (m_test.isCancelled()) {
        m_test.setFail(QStringLiteral("Cancelled"), Tag::Ptr());
        finish(m_test, true);
    } else {
        const quint64 run = m_run;
        QTimer::singleShot(pauseMsec, this, [this, run] {
            if (run == m_run && m_running)
                runCard();
        });
    }
}

void Diagnostics::finish(Test &test, bool ran)
{
    const QString fields = QStringLiteral("name=%1 cards=%2/%3 id=%4")
                               .arg(test.name)
                               .arg(test.currCardIndex)
                               .arg(test.numberOfCards)
                               .arg(test.id);
    if (test.result)
        log.info("Test success : ", fields);
    else
        log.critical("Test failed : ", fields, " error=", test.error);
    if (!test.completion.isPending()) {
        log.warn("Test defer has already been resolved");
    } else {
        emit testFinished(test);
        test.completion.resolve(test);
    }
    if (!ran)
        return;
    m_running = false;
    QTimer::singleShot(ResumeDelayMsec, this, [this] {
        if (!m_running)
            m_lane.resume();
    });
}

bool Diagnostics::cancelTest()
{
    log.info("Received cancel test request");
    if (!m_test.inProgress() || !m_running) {
        log.error("Cancel test failed: No test in proress");
        return false;
    }
    m_test.cancel();
    return true;
}

// ---------------------------------------------------------------------------
// Report and QR code

QString Diagnostics::reportText(const QDateTime &at) const
{
    const QString rule = QStringLiteral("-----------------------------------------------------");
    QStringList lines;
    lines << rule << QStringLiteral(" DEVICE TEST REPORT") << rule
          << QStringLiteral(" Device UID       %1").arg(m_lane.deviceId())
          << QStringLiteral(" Date             %1").arg(at.toString(QStringLiteral("yyyy-MM-dd hh:mm")))
          << QStringLiteral(" MIOBoard Firmware   %1").arg(m_lane.boardFirmware())
          << QStringLiteral(" App Version      %1").arg(QCoreApplication::applicationVersion())
          << QStringLiteral(" Bundle Version   %1").arg(QStringLiteral("<null>"))
          << QStringLiteral(" Image Version    %1").arg(QStringLiteral("<null>")) << rule
          << QStringLiteral(" RTC              %1").arg(rtc())
          << QStringLiteral(" Ethernet         %1").arg(ethernet())
          << QStringLiteral(" USB Hub          %1").arg(usbHub())
          << QStringLiteral(" USB Host         %1").arg(usbHost())
          << QStringLiteral(" FTDI             %1").arg(ftdi())
          << QStringLiteral(" mPCIe #1         %1").arg(mPCIe1())
          << QStringLiteral(" Touch            %1").arg(touch())
          << QStringLiteral(" SD Card          %1").arg(sdCard())
          << QStringLiteral(" RFID             %1").arg(rfidUsb())
          << QStringLiteral(" Buzzer           %1").arg(buzzer())
          << QStringLiteral(" Front LEDs       %1").arg(leds())
          << QStringLiteral(" Card Scan        %1").arg(cardScan())
          << QStringLiteral(" RFID Manager     %1").arg(rfidService())
          << QStringLiteral(" MIOBoard Manager    %1").arg(boardService())
          << QStringLiteral(" Light Sensor     %1").arg(lightSensor())
          << QStringLiteral(" Display RGB Test %1").arg(rgbTest()) << rule;
    return lines.join(QLatin1Char('\n'));
}

void Diagnostics::saveReport()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString report = reportText(now);
    const QString fileName = QStringLiteral("%1/%2_%3.txt")
                                 .arg(m_places.reportDir, QStringLiteral("TestReport"),
                                      now.toString(QStringLiteral("yyyyMMdd_hhmm")));
    log.info("\n", report);
    log.info("Saving Diagnostics report to : ", fileName);
    PrivateFile::create(fileName);
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        log.error("Could not save file : ", file.errorString());
        emit saveReportFinished(false, QStringLiteral("Could not save Test Report\nERROR: ") + file.errorString());
        return;
    }
    file.write(report.toUtf8());
    file.close();
    emit saveReportFinished(true, QStringLiteral("Test report saved successfully:\n") + fileName);
}

QString Diagnostics::summary(const QDateTime &at) const
{
    return QStringList{m_lane.deviceId(), at.toString(QStringLiteral("yyyy-MM-dd hh:mm")), m_lane.boardFirmware(),
                       QCoreApplication::applicationVersion(), QString(), QString(), rtc(), ethernet(), usbHub(),
                       mPCIe1(), rfidUsb(), ftdi(), usbHost(), touch(), sdCard(), buzzer(), leds(), speaker(),
                       cardScan(), rfidService(), boardService(), lightSensor(), rgbTest()}
        .join(QLatin1Char(';'));
}

QString Diagnostics::generateQr()
{
    QrCodeGenerator generator;
    return QStringLiteral("data:image/svg,")
           + generator.generateSvgQr(summary(QDateTime::currentDateTime()), 1, qrcodegen::QrCode::Ecc::MEDIUM);
}
