#pragma once
// The panel computer's time settings through the system's tools: the list of time
// zones, the time zone, whether the clock is synchronised and network time is on, and
// the NTP server of the time synchronisation service's configuration file. Commands run
// synchronously with a bound of one second each; the view is refreshed every ten seconds.
#include <QObject>
#include <QStringList>
#include <QTimer>

namespace manager {

class Clock : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Clock)
    Q_PROPERTY(QStringList timezones READ timezones NOTIFY timezonesChanged)
    Q_PROPERTY(QString timezone READ timezone WRITE setTimezone NOTIFY timezoneChanged)
    Q_PROPERTY(QString ntpServer READ ntpServer WRITE setNtpServer NOTIFY ntpServerChanged)
    Q_PROPERTY(bool ntpEnabled READ ntpEnabled WRITE setNtpEnabled NOTIFY ntpEnabledChanged)
    Q_PROPERTY(bool ntpSynced READ ntpSynced NOTIFY ntpSyncedChanged)
    Q_PROPERTY(int refreshInterval READ refreshInterval WRITE setRefreshInterval)

public:
    static const char *const DefaultConfigFile;  // "/etc/systemd/timesyncd.conf"
    static const int CommandTimeoutMs = 1000;

    explicit Clock(QObject *parent = nullptr, const QString &configFile = QLatin1String(DefaultConfigFile));

    // Runs program with its arguments (no shell, no splitting) and returns its standard
    // output up to the first NUL byte; empty, with an "ERROR: " line, when it could not
    // start, did not finish within msec (it is then killed), crashed or failed.
    QString executeCmd(const QString &program, const QStringList &args, int msec = CommandTimeoutMs);

    QStringList timezones() const { return m_timezones; }
    QString timezone() const { return m_timezone; }
    QString ntpServer() const { return m_ntpServer; }
    bool ntpEnabled() const { return m_ntpEnabled; }
    bool ntpSynced() const { return m_ntpSynced; }
    // Seconds between refreshes (0: not refreshing).
    int refreshInterval() const;

    // Only a zone of the listed time zones is accepted.
    void setTimezone(const QString &name);
    void setNtpEnabled(bool enabled);
    // Only host names and IPv4/IPv6 addresses separated by blanks are accepted.
    void setNtpServer(const QString &name);
    // Seconds; below 1 stops refreshing.
    void setRefreshInterval(int seconds);

    // True when text is one or more host names or IP addresses separated by blanks.
    static bool isValidNtpServerList(const QString &text);

    void refreshStatus();
    void refreshConfig();

signals:
    void timezonesChanged();
    void timezoneChanged();
    void ntpServerChanged();
    void ntpEnabledChanged();
    void ntpSyncedChanged();

public slots:
    void ntpSync();
    void refresh();

private:
    bool writeNtpServer(const QString &servers);

    const QString m_configFile;
    QStringList m_timezones;
    QString m_timezone;
    QString m_ntpServer;
    bool m_ntpEnabled = false;
    bool m_ntpSynced = false;
    QTimer m_refreshTimer;
};

} // namespace manager
