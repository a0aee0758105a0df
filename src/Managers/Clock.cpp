#include "Clock.h"

#include "Common/Command.h"
#include "Common/LocalZone.h"
#include "Common/Log/Log.h"
#include "Common/StartupQueue.h"
#include "Common/Utils.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>

namespace manager {

namespace {
ZUKA_LOG_CATEGORY(logCategory, "managers.clock")
const Log log("[Clock] ", logCategory);
const QString Timedatectl = QStringLiteral("timedatectl");
const int RefreshSeconds = 10;

// The first capture of pattern in text; empty when it does not match.
QString capture(const QString &text, const char *pattern)
{
    return QRegularExpression(QLatin1String(pattern)).match(text).captured(1);
}

bool isHostName(const QString &name)
{
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    if (name.isEmpty() || name.size() > 253)
        return false;
    // Dotted numbers must be a real IPv4 address.
    static const QRegularExpression numeric(QStringLiteral("^[0-9.]+$"));
    if (numeric.match(name).hasMatch()) {
        QHostAddress address;
        return address.setAddress(name) && address.protocol() == QAbstractSocket::IPv4Protocol
            && name.count(QLatin1Char('.')) == 3;
    }
    const QStringList labels = name.split(QLatin1Char('.'));
    for (const QString &part : labels) {
        if (!label.match(part).hasMatch())
            return false;
    }
    return true;
}

bool isIpv6Address(const QString &text)
{
    static const QRegularExpression chars(QStringLiteral("^[0-9A-Fa-f:.]+$"));
    QHostAddress address;
    return chars.match(text).hasMatch() && address.setAddress(text)
        && address.protocol() == QAbstractSocket::IPv6Protocol;
}
}

const char *const Clock::DefaultConfigFile = "/etc/systemd/timesyncd.conf";

Clock::Clock(QObject *parent, const QString &configFile)
    : QObject(parent)
    , m_configFile(configFile)
{
    connect(&m_refreshTimer, &QTimer::timeout, this, &Clock::refresh);
    m_refreshTimer.setSingleShot(false);
    // The tools take a while: at start-up they run once the screen is up.
    StartupQueue::run(this, [this] {
        const QString zones = executeCmd(Timedatectl, {QStringLiteral("--no-pager"), QStringLiteral("list-timezones")});
        m_timezones = zones.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        emit timezonesChanged();
        m_refreshTimer.start(RefreshSeconds * 1000);
        refresh();
    });
}

QString Clock::executeCmd(const QString &program, const QStringList &args, int msec)
{
    const QString command = args.isEmpty() ? program : program + QLatin1Char(' ') + args.join(QLatin1Char(' '));
    Command::Result run = Command::run(program, args, msec);
    switch (run.outcome) {
    case Command::Outcome::FailedToStart:
    case Command::Outcome::TimedOut:
        // The error numbers are those QProcess gives: FailedToStart and Timedout.
        log.error("Could not execute '", command, "' : error=",
                  int(run.outcome == Command::Outcome::TimedOut ? QProcess::Timedout : QProcess::FailedToStart));
        return QString();
    case Command::Outcome::Crashed:
        log.error("Command crashed '", command, "'");
        return QString();
    case Command::Outcome::Finished:
        break;
    }
    if (run.exitCode != 0) {
        log.error("Command failed '", command, "' : exitCode=", run.exitCode, " ");
        return QString();
    }
    const int nul = run.output.indexOf('\0');
    if (nul >= 0)
        run.output.truncate(nul);
    return QString::fromLatin1(run.output);
}

int Clock::refreshInterval() const
{
    return m_refreshTimer.interval() / 1000;
}

void Clock::setRefreshInterval(int seconds)
{
    if (seconds < 1) {
        m_refreshTimer.stop();
        m_refreshTimer.setInterval(0);
        return;
    }
    m_refreshTimer.start(Utils::secondsToMsec(seconds));
    refresh();
}

void Clock::refresh()
{
    refreshStatus();
    refreshConfig();
}

void Clock::refreshStatus()
{
    const QString out = executeCmd(Timedatectl, {QStringLiteral("status")});
    if (out.isEmpty())
        return;

    const QString zone = capture(out, R"(Time zone:\s(.+)\s\()");
    if (zone != m_timezone) {
        log.info("Timezone changed : ", zone);
        LocalZone::reload();
        m_timezone = zone;
        emit timezoneChanged();
    }

    const bool synced = capture(out, R"(System clock synchronized:\s(.+)\s)").contains(QLatin1String("yes"));
    if (synced != m_ntpSynced) {
        log.info("NTP sync changed : ", synced ? "synced" : "not synced");
        m_ntpSynced = synced;
        emit ntpSyncedChanged();
    }

    // Older systemd prints "systemd-timesyncd.service active: yes", the current one
    // "NTP service: active" (or "inactive", "n/a").
    const QRegularExpressionMatch older = QRegularExpression(QStringLiteral(R"(.+\.service active:\s(.+)\s)")).match(out);
    const bool enabled = older.hasMatch()
        ? older.captured(1).contains(QLatin1String("yes"))
        : capture(out, R"(NTP service:\s(.+)\s)").trimmed() == QLatin1String("active");
    if (enabled != m_ntpEnabled) {
        log.info("NTP status changed : ", enabled ? "enabled" : "disabled");
        m_ntpEnabled = enabled;
        emit ntpEnabledChanged();
    }
}

void Clock::refreshConfig()
{
    const QString out = executeCmd(QStringLiteral("cat"), {m_configFile});
    if (out.isEmpty())
        return;
    const QString server = capture(out, "NTP=(.+)");
    if (server != m_ntpServer) {
        log.info("NTP server changed : ", server);
        m_ntpServer = server;
        emit ntpServerChanged();
    }
}

void Clock::setTimezone(const QString &name)
{
    if (name == m_timezone)
        return;
    if (!m_timezones.contains(name)) {
        log.error("Unknown time zone : ", name);
        return;
    }
    executeCmd(Timedatectl, {QStringLiteral("set-timezone"), name});
    refreshStatus();
}

void Clock::setNtpEnabled(bool enabled)
{
    if (enabled == m_ntpEnabled)
        return;
    log.info("Setting NTP : ", enabled ? "enabled" : "disabled");
    executeCmd(Timedatectl, {QStringLiteral("set-ntp"), enabled ? QStringLiteral("true") : QStringLiteral("false")});
    refreshStatus();
}

void Clock::ntpSync()
{
    log.info("Requesting NTP sync");
    setNtpEnabled(true);
    refresh();
}

bool Clock::isValidNtpServerList(const QString &text)
{
    const QStringList names = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (names.isEmpty() || text.contains(QRegularExpression(QStringLiteral("[^ A-Za-z0-9.:-]"))))
        return false;
    for (const QString &name : names) {
        if (!isHostName(name) && !isIpv6Address(name))
            return false;
    }
    return true;
}

void Clock::setNtpServer(const QString &name)
{
    if (name == m_ntpServer)
        return;
    if (!isValidNtpServerList(name)) {
        log.error("Invalid NTP server : ", name);
        return;
    }
    const QString servers = name.split(QLatin1Char(' '), Qt::SkipEmptyParts).join(QLatin1Char(' '));
    if (servers == m_ntpServer)
        return;
    log.info("Setting NTP server : ", servers);
    if (writeNtpServer(servers)) {
        executeCmd(QStringLiteral("/bin/sync"), {});
        executeCmd(QStringLiteral("systemctl"), {QStringLiteral("restart"), QStringLiteral("systemd-timesyncd")});
    }
    refreshConfig();
}

// Every line that starts with "NTP=" or "#NTP=" becomes "NTP=" followed by the servers;
// the file is replaced as a whole or not at all.
bool Clock::writeNtpServer(const QString &servers)
{
    QFile in(m_configFile);
    if (!in.open(QIODevice::ReadOnly)) {
        log.error("Could not read ", m_configFile, " : ", in.errorString());
        return false;
    }
    QList<QByteArray> lines = in.readAll().split('\n');
    in.close();
    const QByteArray replacement = "NTP=" + servers.toLatin1();
    for (QByteArray &line : lines) {
        if (line.startsWith("NTP=") || line.startsWith("#NTP="))
            line = replacement;
    }
    QSaveFile out(m_configFile);
    if (!out.open(QIODevice::WriteOnly) || out.write(lines.join('\n')) < 0 || !out.commit()) {
        log.error("Could not write ", m_configFile, " : ", out.errorString());
        return false;
    }
    return true;
}

} // namespace manager
