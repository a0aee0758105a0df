#pragma once
// Which screen the touch interface shows and the texts it carries: the idle-screen rule
// from the lane's state, temporary screens with their time-out, the maintenance login
// screen and the display-off timer of the out-of-order screen.
#include "Common/Log/Log.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

Q_DECLARE_LOGGING_CATEGORY(screenLogicLogCategory)

class Config;
class SessionManager;

class ScreenLogic : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ScreenLogic)

public:
    // What the idle-screen rule reads of the lane; state numbers are the terminal's
    // (Init 0, Busy 1, Ready 2, Error 3, Stopped 4).
    struct Lane {
        int state = 0;
        QString type;
        QString reason;
    };
    enum LaneState { Init = 0, Busy = 1, Ready = 2, Error = 3, Stopped = 4 };
    // The lane session's states, numbered as the session numbers them.
    enum SessionState {
        SessionStopped = 0, SessionIdle, DataCollect, WaitUser, Permission, CardProcess,
        WaitCollect, Exit, PostExit, SessionError
    };

    ScreenLogic(Config &config, SessionManager &sessions, QObject *parent = nullptr);

    // The source of the lane's state for the idle-screen rule.
    void setLaneSource(std::function<Lane()> source) { m_lane = std::move(source); }

    QString screen() const { return m_screen; }
    QString message() const { return m_message; }
    QString plate() const { return m_plate; }
    QString container() const { return m_container; }
    bool screenTimerActive() const { return m_screenTimer.isActive(); }
    int screenTimerInterval() const { return m_screenTimer.interval(); }
    bool displayOffActive() const { return m_displayOffTimer.isActive(); }
    int displayOffInterval() const { return m_displayOffTimer.interval(); }

    // The display-off time-out for a number of minutes: 0 (off) for 0 or less, else the
    // minutes in milliseconds, worked out in 64 bits and held to what a timer can count.
    static int displayOffMsec(qint64 minutes);

    void setMessage(const QString &message);
    void setPlate(const QString &plate);
    void setContainer(const QString &container);

    // The screen of a session state; buttonPressed: the button was pressed in this
    // session; error: the session's error text.
    void onSessionStateChanged(int state, bool buttonPressed, const QString &error);
    // The plate and container of the session's readings (empty when there is none). The
    // plate goes through the empty text, so a new plate is always announced.
    void updatePlate(const QString &plate, const QString &container);

signals:
    void screenChanged();
    void messageChanged();
    void plateChanged();
    void containerChanged();

public slots:
    void setScreen(const QString &name);
    void setScreen(const QString &name, int timeout);
    void setIdleScreen();
    void setOutOfOrderScreen(const QString &message);
    void setMaintenanceScreen();

private:
    void onScreenTimeout();
    void onScreenChanged();
    void onDisplayOffTimeout();

    Config *m_config;
    SessionManager *m_sessions;
    std::function<Lane()> m_lane;
    QString m_screen;
    QString m_message;
    QString m_plate;
    QString m_container;
    QTimer m_screenTimer;
    QTimer m_displayOffTimer;

private:
    static constexpr Log log{"[GUIManager] ", screenLogicLogCategory};
};
