#include "Engines/StorageBox.h"

#include "Common/Config.h"
#include "Common/ConfigKeys.h"
#include "Common/Log/Log.h"
#include "Common/Utils.h"

#include <QSettings>

namespace {
ZUKA_LOG_CATEGORY(logCategory, "engines.storagebox")
const Log boxLog("[StorageBox] ", logCategory);
const QString CountKey = QStringLiteral("storageBox/count");
} // namespace

StorageBox::StorageBox(Config &config, QObject *parent)
    : QObject(parent)
    , m_config(&config)
{
    connect(m_config, &Config::configChanged, this, &StorageBox::onConfigChanged);
    const int stored = QSettings().value(CountKey, 0).toInt();
    m_count = stored; // loaded, not changed: nothing to save
    update(stored);
}

int StorageBox::capacity() const
{
    return m_config->get(Key::TerminalStorageBoxCapacity).toInt();
}

QString StorageBox::toString() const
{
    return QStringLiteral("%1 (%2%, %3 of %4)").arg(m_level).arg(m_levelPercent).arg(m_count).arg(capacity());
}

void StorageBox::incrCount(int value)
{
    update(m_count + value);
}

void StorageBox::update(int n)
{
    if (n != m_count) {
        m_count = n;
        save(n);
        emit countChanged();
    }
    const int cap = capacity();
    const int percent = cap == 0 ? 0 : int(qint64(n) * 100 / cap);
    if (percent != m_levelPercent) {
        m_levelPercent = percent;
        emit levelPercentChanged();
    }
    const QString level = Utils::levelToStr(percent);
    if (level != m_level) {
        m_level = level;
        emit levelChanged();
    }
    const bool full = percent >= 90;
    if (full != m_isFull) {
        m_isFull = full;
        emit isFullChanged();
    }
}

// Written through at once: a power cut right after a card fell must not lose it, or the
// box would overfill.
void StorageBox::save(int n)
{
    QSettings settings;
    settings.setValue(CountKey, n);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        boxLog.error("Could not save the storage box count");
}

void StorageBox::onConfigChanged(const QVariantMap &changes)
{
    if (!changes.contains(Key::TerminalStorageBoxCapacity))
        return;
    emit capacityChanged();
    update(m_count);
}
