#include "Common/Log/LogLimit.h"

LogLimit::LogLimit(const Log &log, int burst, int windowMs)
    : m_log(log)
    , m_burst(burst)
    , m_windowMs(windowMs)
{
    m_flush.setSingleShot(true);
    QObject::connect(&m_flush, &QTimer::timeout, [this] { flush(); });
}

bool LogLimit::allow()
{
    if (!m_window.isValid() || (!m_flush.isActive() && m_window.elapsed() >= m_windowMs)) {
        m_window.start();
        m_written = 0;
    }
    if (m_written < m_burst) {
        ++m_written;
        return true;
    }
    if (++m_held == 1)
        m_flush.start(int(qMax<qint64>(1, m_windowMs - m_window.elapsed())));
    return false;
}

void LogLimit::flush()
{
    m_log.warn("Left out ", m_held, " more lines like these within ", m_windowMs, " ms");
    m_held = 0;
    m_window.start();
    m_written = 0;
}
