#pragma once
// The panel computer's own board: its identity, its eight general-purpose I/O pins
// (polled every 100 ms, changes announced by gpioStateChanged) and the display's
// brightness through xrandr.
//
// The pins are reached through the board maker's library, loaded at run time by its
// file name (libSUSI-4.00.so.1), never linked. Where it cannot be loaded, a simulated
// board stands in: its input levels are read from the files gpio0 ... gpio7 of the
// folder named by the environment variable ZUKA_GPIO_DIR, so `echo 1 > $ZUKA_GPIO_DIR/gpio1`
// puts a vehicle on the loop.
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

namespace manager {

class BoardDriver;

class MIOBoard : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MIOBoard)
    Q_PROPERTY(QString manufacturer READ manufacturer NOTIFY manufacturerChanged)
    Q_PROPERTY(QString model READ model NOTIFY modelChanged)
    Q_PROPERTY(QString firmware READ firmware NOTIFY firmwareChanged)
    Q_PROPERTY(int displayBrightness READ displayBrightness WRITE setDisplayBrightness NOTIFY displayBrightnessChanged)

public:
    struct GPIOMonitor {
        int pin;
        int direction; // 1 input (polled), 0 output
        int lastLevel; // 1 until the pin is first read
        bool polled; // until then a level read by gpioState is the one remembered
    };

    static constexpr const char *LibraryName = "libSUSI-4.00.so.1";
    static constexpr const char *LevelDirEnv = "ZUKA_GPIO_DIR";
    static constexpr int PinCount = 8;
    static constexpr int PollIntervalMs = 100;
    static constexpr int XrandrTimeoutMs = 1000;

    explicit MIOBoard(QObject *parent = nullptr);
    ~MIOBoard() override;

    const QString &manufacturer() const { return m_manufacturer; }
    const QString &model() const { return m_model; }
    const QString &firmware() const { return m_firmware; }
    // True when the board library could not be loaded and the simulated board runs.
    bool isSimulated() const;

    // The pin's level now, or -1. Until the pin's first poll the level read is the one
    // that poll compares with: a change after the button or the loop read the pin at its
    // construction is announced, and the level they read is not announced again.
    int gpioState(int pin);
    int gpioDir(int pin);
    void setGpioDir(int pin, int dir);
    void setGpioState(int pin, int state);

    // The brightness in percent as xrandr reports it now, or -1.
    int displayBrightness() { return brightnessXrandr(); }
    void setDisplayBrightness(int percent);

signals:
    void manufacturerChanged();
    void modelChanged();
    void firmwareChanged();
    void gpioStateChanged(int pin, int state);
    void gpioDirChanged(int pin, int dir);
    void displayBrightnessChanged();

private:
    void onGpiosMonitor();
    int brightnessXrandr();
    GPIOMonitor *monitor(int pin);
    QString readString(quint32 id);

    QList<GPIOMonitor> m_monitors;
    QString m_manufacturer;
    QString m_model;
    QString m_firmware;
    int m_displayBrightness = 0;
    QTimer m_pollTimer;
    std::unique_ptr<BoardDriver> m_driver;
};

} // namespace manager
