#pragma once
// The maintenance login: a session opens when the entered PIN matches a user's PIN and
// closes on logout or ten minutes after the login. The entered PIN is never logged.
#include "Common/Log/Log.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

Q_DECLARE_LOGGING_CATEGORY(sessionManagerLogCategory)

class Config;

class SessionManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SessionManager)
    Q_PROPERTY(bool sessionActive READ sessionActive NOTIFY sessionActiveChanged)

public:
    struct User {
        int id = 0;
        QString firstName;
        QString lastName;
        QString pin;
    };

    static constexpr int SessionMsec = 600000;

    SessionManager(Config &config, QObject *parent = nullptr, int sessionMsec = SessionMsec);

    bool sessionActive() const { return m_user != nullptr; }
    // Milliseconds left in the session; -1 without one.
    int remainingTime() const { return m_timer.remainingTime(); }
    const User *user() const { return m_user; }

signals:
    void sessionActiveChanged();
    void accessGranted();
    void accessDenied();
    void expired();

public slots:
    void loginRequest(const QString &pin);
    void logoutRequest();
    // Another full session time from now (only while a session is open).
    void resetTimer();

private:
    void loadUsers();
    void onExpired();

    Config *m_config;
    QTimer m_timer;
    const User *m_user = nullptr;
    QVector<User> m_users;
    int m_sessionMsec;

private:
    static constexpr Log log{"[SessionManager] ", sessionManagerLogCategory};
};
