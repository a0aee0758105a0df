#include "Engines/Identity.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
// Its lines are the terminal's.
ZUKA_LOG_CATEGORY(logCategory, "engines.terminal")
const Log termLog("[Terminal] ", logCategory);
} // namespace

// The three ids in the order they are loaded: the setting, the value, the name its change
// is logged under, the change signal.
const Identity::Id Identity::Ids[] = {
    {Key::TerminalDeviceId, &Identity::m_serialNum, "Device", &Identity::serialNumChanged},
    {Key::TerminalCustomsId, &Identity::m_customsId, "Customs", &Identity::customsIdChanged},
    {Key::TerminalLocationId, &Identity::m_locationId, "Location", &Identity::locationIdChanged},
};

Identity::Identity(Config &config, QObject *parent) : QObject(parent), m_config(config)
{
    for (const Id &id : Ids)
        set(id, loadId(m_config.get(id.key).toString()));
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

void Identity::set(const Id &id, const QString &value)
{
    QString &held = this->*id.value;
    if (value == held)
        return;
    termLog.info(id.name, " ID changed : ", value);
    held = value;
    emit (this->*id.changed)();
}

void Identity::onFileChanged(const QString &path)
{
    termLog.info("File changed : ", path);
    for (const Id &id : Ids)
        if (m_config.get(id.key).toString() == path)
            set(id, loadId(path));
    if (QFileInfo::exists(path) && !m_watcher.files().contains(path))
        m_watcher.addPath(path);
}

// Any event of a watched folder takes up every identity that is still missing and whose
// file exists now, however long ago the file appeared: a file created just before the
// folder was watched, or while the event waited in the queue, is not lost.
void Identity::onDirChanged(const QString &path)
{
    termLog.debug("Directory changed : ", path);
    for (const Id &id : Ids) {
        const QString file = m_config.get(id.key).toString();
        if ((this->*id.value).isEmpty() && (file.contains(QLatin1Char('/')) || file.contains(QLatin1Char('.')))
            && QFileInfo::exists(file)) {
            termLog.info("File created : ", file);
            set(id, loadId(file));
        }
    }
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
