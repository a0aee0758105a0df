#include "Button.h"

#include "Common/Log/Log.h"
#include "Managers/MIOBoard.h"

#include <QTimer>

#include <limits>

namespace manager {

namespace {
ZUKA_LOG_CATEGORY(logCategory, "managers.button")
const Log log("[Button] ", logCategory);
}

Button::Button(MIOBoard &board, int pin, QObject *parent)
    : QObject(parent)
    , m_board(&board)
    , m_pin(pin)
{
    init();
}

void Button::init()
{
    connect(m_board, &MIOBoard::gpioStateChanged, this, &Button::onGpioStateChanged);
    m_board->setGpioDir(m_pin, 1);
    m_isPressed = m_board->gpioState(m_pin) > 0;
}

void Button::enable()
{
    if (m_isEnabled)
        return;
    log.info("User button enabled");
    m_isEnabled = true;
    emit isEnabledChanged();
}

void Button::disable()
{
    if (!m_isEnabled)
        return;
    log.info("User button disabled");
    m_isEnabled = false;
    emit isEnabledChanged();
}

void Button::onGpioStateChanged(int pin, int state)
{
    if (pin != m_pin || !m_isEnabled)
        return;
    log.info("User Button state changed : ", state ? "pressed" : "not pressed");
    if (state) {
        m_isPressed = true;
        m_lastPress = QDateTime::currentDateTime();
        emit lastPressChanged();
        emit isPressedChanged();
        emit pressed();
    } else {
        m_isPressed = false;
        emit isPressedChanged();
        emit released();
    }
}

Deferred<> Button::waitPress(int sec)
{
    Deferred<> result;
    auto *timer = new QTimer(this);
    // Either end stops the watch of every waiter: the press watch is one per button.
    auto finish = [this, timer]() {
        timer->stop();
        timer->deleteLater();
        disconnect(this, &Button::pressed, this, nullptr);
    };
    connect(this, &Button::pressed, this, [finish, result]() {
        finish();
        result.resolve();
    });
    connect(timer, &QTimer::timeout, this, [finish, result]() {
        finish();
        result.rejectZero();
    });
    if (sec < 1)
        return result;
    timer->setSingleShot(true);
    timer->start(int(qMin<qint64>(qint64(sec) * 1000, std::numeric_limits<int>::max())));
    return result;
}

} // namespace manager
