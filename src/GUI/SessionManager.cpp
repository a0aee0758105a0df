#include "GUI/SessionManager.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"

ZUKA_LOG_CATEGORY(sessionManagerLogCategory, "gui.sessionmanager")

SessionManager::SessionManager(Config &config, QObject *parent, int sessionMsec)
    : QObject(parent)
    , m_config(&config)
    , m_sessionMsec(sessionMsec)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &SessionManager::onExpired);
    connect(m_config, &Config::configChanged, this, &SessionManager::loadUsers);
    loadUsers();
}

void SessionManager::loadUsers()
{
    const int current = m_user ? m_user->id : -1;
    m_users.clear();
    m_users.append(User{0, QStringLiteral("VEXO"), QStringLiteral("Admin"),
                        m_config->get(Key::GuiSettingsPin).toString()});
    // An open session stays open, with the rebuilt entry as its user.
    m_user = nullptr;
    for (const User &user : qAsConst(m_users))
        if (user.id == current)
            m_user = &user;
}

void SessionManager::loginRequest(const QString &pin)
{
    log.info("Login requested with PIN");
    const User *found = nullptr;
    for (const User &user : qAsConst(m_users)) {
        if (user.pin == pin) {
            found = &user;
            break;
        }
    }
    if (!found) {
        log.warn("User entered wrong pin");
        emit accessDenied();
        return;
    }
    m_timer.start(m_sessionMsec);
    m_user = found;
    log.info("User logged-in : ", m_user->firstName, ", ", m_user->lastName);
    emit accessGranted();
    emit sessionActiveChanged();
}

void SessionManager::logoutRequest()
{
    if (!m_user)
        return;
    log.info("User logged-out : ", m_user->firstName, ", ", m_user->lastName);
    m_timer.stop();
    m_user = nullptr;
    emit sessionActiveChanged();
}

void SessionManager::resetTimer()
{
    if (m_user)
        m_timer.start(m_sessionMsec);
}

void SessionManager::onExpired()
{
    log.warn("Session expired");
    logoutRequest();
    emit expired();
}
