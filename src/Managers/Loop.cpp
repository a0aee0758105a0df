#include "Loop.h"

#include "Common/Log/Log.h"
#include "Managers/MIOBoard.h"

namespace manager {

namespace {
ZUKA_LOG_CATEGORY(logCategory, "managers.loop")
const Log log("[Loop] ", logCategory);
}

Loop::Loop(MIOBoard &board, int pin, QObject *parent)
    : QObject(parent)
    , m_board(&board)
    , m_pin(pin)
{
    init();
}

void Loop::init()
{
    connect(m_board, &MIOBoard::gpioStateChanged, this, &Loop::onGpioStateChanged);
    m_board->setGpioDir(m_pin, 1);
    m_isOccupied = m_board->gpioState(m_pin) > 0;
}

void Loop::onGpioStateChanged(int pin, int state)
{
    if (pin != m_pin)
        return;
    log.info("Magnetic Loop state changed : ", state ? "occupied" : "not-occupied");
    m_lastChange = QDateTime::currentDateTime();
    m_isOccupied = state != 0;
    emit isOccupiedChanged();
    if (m_isOccupied)
        emit vehiclePresent();
    else
        emit vehicleLeft();
}

} // namespace manager
