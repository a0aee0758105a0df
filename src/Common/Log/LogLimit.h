#pragma once
// Bounds the lines of one kind that a peer can cause at will (a listener's time-outs, posts
// from unknown addresses, broken messages): at most `burst` of them within a second; the
// ones held back after that are counted, and their number is written once the second is
// over. Used on the thread that owns it.
#include "Common/Log/Log.h"

#include <QElapsedTimer>
#include <QTimer>

class LogLimit
{
public:
    static constexpr int Burst = 5;
    static constexpr int WindowMs = 1000;

    explicit LogLimit(const Log &log, int burst = Burst, int windowMs = WindowMs);

    // Whether a line may be written now; a line that may not is counted.
    bool allow();
    // Lines held back so far, whose number is still to be written.
    int held() const { return m_held; }

    template<typename... Parts>
    void warn(const Parts &...parts)
    {
        if (allow())
            m_log.warn(parts...);
    }
    template<typename... Parts>
    void error(const Parts &...parts)
    {
        if (allow())
            m_log.error(parts...);
    }

private:
    void flush();

    const Log m_log;
    const int m_burst;
    const int m_windowMs;
    QElapsedTimer m_window;
    int m_written = 0;
    int m_held = 0;
    QTimer m_flush;
};
