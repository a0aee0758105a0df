#pragma once
// Hardware diagnostics of the maintenance area and the remote test interface: status texts
// of the board's USB devices, the SD card and the ethernet link and of the checks the
// operator confirms, card tests run through the card issuer while the lane is paused, a
// text report of the statuses and the same summary as a QR code.
#include "Common/Log/Log.h"
#include "Deferred/Deferred.h"
#include "Models/Test.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

Q_DECLARE_LOGGING_CATEGORY(diagnosticsLogCategory)

namespace manager {
class CardIssuer;
}

class Diagnostics : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Diagnostics)
    Q_PROPERTY(QString rtc READ rtc NOTIFY rtcChanged)
    Q_PROPERTY(QString ethernet READ ethernet NOTIFY ethernetChanged)
    Q_PROPERTY(QString usbHub READ usbHub NOTIFY usbHubChanged)
    Q_PROPERTY(QString mPCIe1 READ mPCIe1 NOTIFY mPCIe1Changed)
    Q_PROPERTY(QString rfidUsb READ rfidUsb NOTIFY rfidUsbChanged)
    Q_PROPERTY(QString ftdi READ ftdi NOTIFY ftdiChanged)
    Q_PROPERTY(QString usbHost READ usbHost NOTIFY usbHostChanged)
    Q_PROPERTY(QString touch READ touch NOTIFY touchChanged)
    Q_PROPERTY(QString sdCard READ sdCard NOTIFY sdCardChanged)
    Q_PROPERTY(QString buzzer READ buzzer WRITE setBuzzer NOTIFY buzzerChanged)
    Q_PROPERTY(QString leds READ leds WRITE setLeds NOTIFY ledsChanged)
    Q_PROPERTY(QString ignition READ ignition NOTIFY ignitionChanged)
    Q_PROPERTY(QString temperature READ temperature NOTIFY temperatureChanged)
    Q_PROPERTY(QString voltage READ voltage NOTIFY voltageChanged)
    Q_PROPERTY(QString speaker READ speaker WRITE setSpeaker NOTIFY speakerChanged)
    Q_PROPERTY(QString cardScan READ cardScan WRITE setCardScan NOTIFY cardScanChanged)
    Q_PROPERTY(QString rfidService READ rfidService NOTIFY rfidServiceChanged)
    Q_PROPERTY(QString boardService READ boardService NOTIFY boardServiceChanged)
    Q_PROPERTY(QString lightSensor READ lightSensor WRITE setLightSensor NOTIFY lightSensorChanged)
    Q_PROPERTY(QString rgbTest READ rgbTest WRITE setRgbTest NOTIFY rgbTestChanged)
    Q_PROPERTY(QString testPercent READ testPercent NOTIFY testProgress)

public:
    // What the diagnostics read of the lane (the terminal's accessors).
    struct Lane {
        std::function<manager::CardIssuer *()> cardIssuer = [] { return nullptr; };
        // The session state's enumeration name, and whether a passage is in progress
        // (a session state other than Idle and Stopped).
        std::function<QString()> sessionState = [] { return QString(); };
        std::function<bool()> passageInProgress = [] { return false; };
        // The lane's engine stopped for a test; the pause lifted after it, whatever the
        // lane's state (the terminal starts the engine once it is Ready).
        std::function<void()> pause = [] {};
        std::function<void()> resume = [] {};
        std::function<QString()> deviceId = [] { return QString(); };
        std::function<QString()> boardFirmware = [] { return QString(); };
        // The ethernet configuration's state text ("Connected", ...).
        std::function<QString()> ethernetState = [] { return QString(); };
    };

    // Where the checks and the report look; the defaults are the board's own places.
    struct Places {
        QString usbDevices = QStringLiteral("/sys/bus/usb/devices");
        QString sdCard = QStringLiteral("/dev/mmcblk1p1");
        QString reportDir = QStringLiteral(".");
    };

    struct UsbDevice {
        const char *name;
        const char *id;
        const char *port;
        const char *property;
    };
    static const UsbDevice UsbDevices[6];

    static constexpr int DispensePauseMsec = 500;
    static constexpr int AcceptEjectReadyPauseMsec = 500;
    static constexpr int OtherPauseMsec = 1000;
    static constexpr int ResumeDelayMsec = 1000;
    static constexpr int AcceptWaitSec = 60;
    // The cards one test may move: the box holds no more.
    static constexpr int MaxCards = 250;

    explicit Diagnostics(Lane lane, QObject *parent = nullptr);
    // Forwards the sender's signal as ethernetChanged (the network client's ethernetChanged).
    void followEthernet(QObject *network, const char *signal);
    Diagnostics(Lane lane, QObject *parent, Places places);

    QString rtc() const { return QString(); }
    QString ethernet() const;
    QString usbHub() const { return status("usbHub"); }
    QString mPCIe1() const { return status("mPCIe1"); }
    QString rfidUsb() const { return status("rfidUsb"); }
    QString ftdi() const { return status("ftdi"); }
    QString usbHost() const { return status("usbHost"); }
    QString touch() const { return status("touch"); }
    QString sdCard() const { return status("sdCard"); }
    QString buzzer() const { return status("buzzer"); }
    QString leds() const { return status("leds"); }
    QString ignition() const { return QString(); }
    QString temperature() const { return QString(); }
    QString voltage() const { return QString(); }
    QString speaker() const { return status("speaker"); }
    QString cardScan() const { return status("cardScan"); }
    QString rfidService() const { return QStringLiteral("ERROR"); }
    QString boardService() const { return QString(); }
    QString lightSensor() const { return status("lightSensor"); }
    QString rgbTest() const { return status("rgbTest"); }
    QString testPercent() const { return QString::number(m_test.percent()); }
    void setBuzzer(const QString &v) { setStatus("buzzer", v); }
    void setLeds(const QString &v) { setStatus("leds", v); }
    void setSpeaker(const QString &v) { setStatus("speaker", v); }
    void setCardScan(const QString &v) { setStatus("cardScan", v); }
    void setLightSensor(const QString &v) { setStatus("lightSensor", v); }
    void setRgbTest(const QString &v) { setStatus("rgbTest", v); }

    Test currentTest() const { return m_test; }
    // How many tests were accepted so far (a refused request leaves it as it is).
    quint64 acceptedRuns() const { return m_run; }
    // The report's lines and the QR code's summary text for a given time.
    QString reportText(const QDateTime &at) const;
    QString summary(const QDateTime &at) const;

signals:
    void rtcChanged();
    void ethernetChanged();
    void usbHubChanged();
    void mPCIe1Changed();
    void rfidUsbChanged();
    void ftdiChanged();
    void usbHostChanged();
    void touchChanged();
    void sdCardChanged();
    void buzzerChanged();
    void ledsChanged();
    void ignitionChanged();
    void temperatureChanged();
    void voltageChanged();
    void speakerChanged();
    void cardScanChanged();
    void saveReportFinished(bool result, QString message);
    void rfidServiceChanged();
    void boardServiceChanged();
    void lightSensorChanged();
    void rgbTestChanged();
    void testStarted(Test test);
    void testProgress(Test test);
    void testFinished(Test test);

public slots:
    void start(int intervalSec);
    void start() { start(1); }
    void stop();
    void check();
    void saveReport();
    QString generateQr();
    Deferred<Test> performTest(const QString &name, int numberOfCards, const QString &id);
    Deferred<Test> performTest(const QString &name, int numberOfCards) { return performTest(name, numberOfCards, QString()); }
    bool cancelTest();
    void performTestQml(const QString &name, int numberOfCards) { performTest(name, numberOfCards, QString()); }

private:
    QString status(const char *name) const { return m_status.value(QLatin1String(name)); }
    void setStatus(const char *name, const QString &value);
    QString usbStatus(const UsbDevice &device) const;
    QString readFile(const QString &path) const;
    Deferred<Test> refuse(const QString &name, int numberOfCards, const QString &id, const QString &error);
    void runCard();
    void cardDone(const Tag::Ptr &card, int pauseMsec);
    void cardFailed(const QString &error, const Tag::Ptr &card);
    void schedule(int pauseMsec);
    void finish(Test &test, bool ran);

    Lane m_lane;
    Places m_places;
    QTimer m_checkTimer;
    QHash<QString, QString> m_status;
    Test m_test;
    bool m_running = false;  // from acceptance until the run has ended (cancelled or not)
    quint64 m_run = 0;       // the run the card steps belong to

private:
    static constexpr Log log{"[Diagnostics] ", diagnosticsLogCategory};
};
