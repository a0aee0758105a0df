#include "GUI/ScreenLogic.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "GUI/SessionManager.h"

#include <QCoreApplication>
#include <limits>

ZUKA_LOG_CATEGORY(screenLogicLogCategory, "gui.screenlogic")

ScreenLogic::ScreenLogic(Config &config, SessionManager &sessions, QObject *parent)
    : QObject(parent)
    , m_config(&config)
    , m_sessions(&sessions)
    , m_lane([] { return Lane(); })
{
    m_screenTimer.setSingleShot(true);
    m_displayOffTimer.setSingleShot(true);
    connect(&m_screenTimer, &QTimer::timeout, this, &ScreenLogic::onScreenTimeout);
    connect(&m_displayOffTimer, &QTimer::timeout, this, &ScreenLogic::onDisplayOffTimeout);
    connect(this, &ScreenLogic::screenChanged, this, &ScreenLogic::onScreenChanged);
}

int ScreenLogic::displayOffMsec(qint64 minutes)
{
    if (minutes <= 0)
        return 0;
    const qint64 max = std::numeric_limits<int>::max();
    if (minutes > max / 60000)
        return int(max);
    return int(minutes * 60000);
}

void ScreenLogic::setMessage(const QString &message)
{
    if (m_message == message)
        return;
    m_message = message;
    emit messageChanged();
}

void ScreenLogic::setPlate(const QString &plate)
{
    if (m_plate == plate)
        return;
    m_plate = plate;
    emit plateChanged();
}

void ScreenLogic::setContainer(const QString &container)
{
    if (m_container == container)
        return;
    m_container = container;
    emit containerChanged();
}

void ScreenLogic::setScreen(const QString &name)
{
    if (name == m_screen)
        return;
    log.info("Setting screen : ", name);
    m_screen = name;
    m_screenTimer.stop();
    emit screenChanged();
}

void ScreenLogic::setScreen(const QString &name, int timeout)
{
    log.info("Setting screen : ", name, " (timeout=", timeout, " msec)");
    m_screenTimer.start(timeout);
    m_screen = name;
    emit screenChanged();
}

void ScreenLogic::onScreenTimeout()
{
    log.info("Screen timeout : ", m_screen);
    setIdleScreen();
}

void ScreenLogic::setIdleScreen()
{
    m_screenTimer.stop();
    if (m_sessions->sessionActive())
        return;
    const Lane lane = m_lane();
    switch (lane.state) {
    case Init:
        setScreen(QStringLiteral("Busy"), 30000);
        break;
    case Ready:
        setScreen(lane.type == QLatin1String("CARD_VENDING_MACHINE") ? QStringLiteral("DispenseScreen")
                                                                     : QStringLiteral("CollectScreen"));
        break;
    case Error:
        if (m_screen == QLatin1String("Login"))
            break;
        setScreen(lane.reason.contains(QLatin1String("not registered")) ? QStringLiteral("InitPage")
                                                                         : QStringLiteral("OutOfOrder"));
        break;
    default:
        break;
    }
}

void ScreenLogic::setOutOfOrderScreen(const QString &message)
{
    if (m_screen == QLatin1String("Login") || m_screen == QLatin1String("InitPage") || m_sessions->sessionActive())
        return;
    setScreen(QStringLiteral("OutOfOrder"));
    setMessage(message);
}

void ScreenLogic::setMaintenanceScreen()
{
    if (m_sessions->sessionActive())
        setScreen(QStringLiteral("Settings"));
    else if (m_screen == QLatin1String("Login"))
        setIdleScreen();
    else
        setScreen(QStringLiteral("Login"), 15000);
}

void ScreenLogic::onScreenChanged()
{
    const qint64 minutes = m_config->get(Key::GuiDisplayOffMin).toLongLong();
    const int msec = displayOffMsec(minutes);
    if (msec == 0) {
        // Switched off: a timer started under an earlier setting ends too.
        m_displayOffTimer.stop();
        return;
    }
    if (m_screen == QLatin1String("OutOfOrder")) {
        log.info("Staring Display OFF timer : ", minutes, " min(s)");
        m_displayOffTimer.start(msec);
    } else if (m_displayOffTimer.isActive()) {
        log.info("Stopping Display OFF timer.");
        m_displayOffTimer.stop();
    }
}

void ScreenLogic::onDisplayOffTimeout()
{
    log.warn("Turning off Display due to inactivity.");
}

void ScreenLogic::onSessionStateChanged(int state, bool buttonPressed, const QString &error)
{
    // The texts shown to the driver are the root object's translations.
    const auto tr = [](const char *text) { return QCoreApplication::translate("GUIManager", text); };
    switch (state) {
    case SessionIdle:
    case WaitUser:
        setMessage(QString());
        setIdleScreen();
        break;
    case DataCollect:
        if (buttonPressed) {
            setMessage(tr("Please wait"));
            setScreen(QStringLiteral("Busy"));
        } else {
            setMessage(QString());
            setIdleScreen();
        }
        break;
    case Permission:
    case CardProcess:
        setMessage(tr("Please wait"));
        setScreen(QStringLiteral("Busy"));
        break;
    case WaitCollect:
        setMessage(tr("Please collect your card"));
        setScreen(QStringLiteral("Success"));
        break;
    case Exit:
    case PostExit:
        setMessage(tr("Thank you"));
        setScreen(QStringLiteral("Success"));
        break;
    case SessionError:
        setMessage(error);
        setScreen(QStringLiteral("ErrorScreen"));
        break;
    default:  // Stopped: unchanged
        break;
    }
}

void ScreenLogic::updatePlate(const QString &plate, const QString &container)
{
    setPlate(QString());
    setPlate(plate);
    setContainer(container);
}
