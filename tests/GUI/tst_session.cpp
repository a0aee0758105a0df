// The maintenance login: the right PIN opens a session that ends after its time, a wrong
// one does not, a changed PIN applies at once, and no entered PIN reaches a log line.
#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Logger.h"
#include "GUI/GUIManager.h"
#include "GUI/SessionManager.h"
#include "LogCapture.h"
#include "TestUtil.h"

#include <QTemporaryDir>
#include <QtTest>

class TstSession : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        manager::Logger::instance()->setSyslog(false);
        manager::Logger::instance()->setLevel(3);
    }

    void loginScenario()
    {
        QTemporaryDir dir;
        Config config(dir.filePath("gui.conf"), ConfigDefaults);
        LogCapture log;
        SessionManager sessions(config);
        QStringList order;
        for (auto sig : {&SessionManager::accessGranted, &SessionManager::accessDenied,
                         &SessionManager::sessionActiveChanged, &SessionManager::expired}) {
            const QString name = sig == &SessionManager::accessGranted  ? "granted"
                                 : sig == &SessionManager::accessDenied ? "denied"
                                 : sig == &SessionManager::expired      ? "expired"
                                                                        : "active";
            connect(&sessions, sig, this, [&order, name] { order << name; });
        }

        sessions.loginRequest("5818");
        QVERIFY(!sessions.sessionActive());
        QVERIFY(log.contains("[SessionManager] WARN: User entered wrong pin"));
        sessions.loginRequest("5817");
        QVERIFY(sessions.sessionActive());
        QCOMPARE(sessions.remainingTime() > 590000, true);  // ten minutes
        QVERIFY(log.contains("[SessionManager] User logged-in : VEXO, Admin"));
        // A wrong PIN during a session leaves it open.
        sessions.loginRequest(" 5817");
        QVERIFY(sessions.sessionActive());
        QCOMPARE(order, (QStringList{"denied", "granted", "active", "denied"}));
        QCOMPARE(log.countContaining("5818"), 0);
        QCOMPARE(log.countContaining("5817"), 0);

        // A changed PIN: the new one valid at once, the old one not, the session kept.
        config.set("gui/settingsPin", "4242");
        QVERIFY(sessions.sessionActive());
        QCOMPARE(sessions.user()->pin, QString("4242"));
        order.clear();
        sessions.loginRequest("5817");
        sessions.loginRequest("4242");
        QCOMPARE(order, (QStringList{"denied", "granted", "active"}));
        QCOMPARE(log.countContaining("4242"), 0);

        sessions.logoutRequest();
        QVERIFY(log.contains("[SessionManager] User logged-out : VEXO, Admin"));
        order.clear();
        log.clear();
        sessions.logoutRequest();  // none open: nothing
        QVERIFY(log.texts().isEmpty());
        QVERIFY(order.isEmpty());
    }

    void expiry()
    {
        QTemporaryDir dir;
        Config config(dir.filePath("gui.conf"), ConfigDefaults);
        QCOMPARE(SessionManager::SessionMsec, 600000);
        SessionManager sessions(config, nullptr, 200);
        LogCapture log;
        QSignalSpy expired(&sessions, &SessionManager::expired);
        sessions.loginRequest("5817");
        QVERIFY(expired.wait(15000));
        QVERIFY(!sessions.sessionActive());
        QCOMPARE(log.texts(), (QStringList{"[SessionManager] Login requested with PIN",
                                           "[SessionManager] User logged-in : VEXO, Admin",
                                           "[SessionManager] WARN: Session expired",
                                           "[SessionManager] User logged-out : VEXO, Admin"}));
    }
};

QTEST_GUILESS_MAIN(TstSession)
#include "tst_session.moc"
