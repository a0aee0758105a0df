#include "Engines/Identity.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
// Its lines are the terminal's.
const Log termLog("[Terminal] ");
} // namespace

void Identity::forEachId(const std::function<void(const QString &, void (Identity::*)(const QString &))> &f)
{
    f(Key::TerminalDeviceId, &Identity::setDeviceId);
    f(Key::TerminalCustomsId, &Identity::setCustomsId);
    f(Key::TerminalLocationId, &Identity::setLocationId);
}

Identity::Identity(Config &config, QObject *parent) : QObject(parent), m_config(config)
{
    forEachId([this](const QString &key, void (Identity::*set)(const QString &)) {
        (this->*set)(loadId(m_config.get(key).toString()));
    });
}

QString Identity::loadId(const QString &value)
{
    if (!value.contains(QLatin1Char('/')) && !value.contains(QLatin1Char('.')) && !QFileInfo::exists(value))
        return value;
    QFile file(value);
    if (!file.exists()) {
        termLog.error("File does not exist : ", value);
        const QString dir = QFileInfo(value).absoluteDir().absolutePath();
        termLog.info("Watching path for file creation : ", dir);
        if (!m_watcher.directories().contains(dir))
            m_watcher.addPath(dir);
        return QString();
    }
    if (!file.open(QIODevice::ReadOnly)) {
        termLog.error("Could not open file : ", value);
        return QString();
    }
    QByteArray bytes = file.readAll();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    file.close();
    if (!m_watcher.files().contains(value))
        m_watcher.addPath(value);
    return QString::fromLatin1(bytes).trimmed();
}

void Identity::setDeviceId(const QString &id)
{
    if (id == m_serialNum)
        return;
    termLog.info("Device ID changed : ", id);
    m_serialNum = id;
    emit serialNumChanged();
}

void Identity::setCustomsId(const QString &id)
{
    if (id == m_customsId)
        return;
    termLog.info("Customs ID changed : ", id);
    m_customsId = id;
    emit customsIdChanged();
}

void Identity::setLocationId(const QString &id)
{
    if (id == m_locationId)
        return;
    termLog.info("Location ID changed : ", id);
    m_locationId = id;
    emit locationIdChanged();
}

void Identity::onFileChanged(const QString &path)
{
    termLog.info("File changed : ", path);
    forEachId([this, &path](const QString &key, void (Identity::*set)(const QString &)) {
        if (m_config.get(key).toString() == path)
            (this->*set)(loadId(path));
    });
    if (QFileInfo::exists(path) && !m_watcher.files().contains(path))
        m_watcher.addPath(path);
}

// Any event of a watched folder takes up every identity that is still missing and whose
// file exists now, however long ago the file appeared: a file created just before the
// folder was watched, or while the event waited in the queue, is not lost.
void Identity::onDirChanged(const QString &path)
{
    termLog.debug("Directory changed : ", path);
    const QString current[] = {m_serialNum, m_customsId, m_locationId};
    int n = 0;
    forEachId([this, &current, &n](const QString &key, void (Identity::*set)(const QString &)) {
        const QString file = m_config.get(key).toString();
        if (current[n++].isEmpty() && (file.contains(QLatin1Char('/')) || file.contains(QLatin1Char('.')))
            && QFileInfo::exists(file)) {
            termLog.info("File created : ", file);
            (this->*set)(loadId(file));
        }
    });
}

void Identity::start()
{
    m_connections.append(connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &Identity::onFileChanged));
    m_connections.append(connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &Identity::onDirChanged));
}

void Identity::stop()
{
    for (const auto &c : qAsConst(m_connections))
        disconnect(c);
    m_connections.clear();
}
