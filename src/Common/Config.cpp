#include "Common/Config.h"

#include "Common/ConfigKeys.h"
#include "Common/PrivateFile.h"
#include "Common/Secrets.h"
#include "Common/Utils.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryFile>

#include <cmath>
#include <limits>

#include <utility>

ZUKA_LOG_CATEGORY(configLogCategory, "common.config")

namespace {

// Settings files are read and written as UTF-8, so that texts in any language survive
// both our own writes and an operator's edit.
void prepare(QSettings &settings)
{
    settings.setIniCodec("UTF-8");
}

// Lines of an INI text that the settings reader would drop without a word: neither blank,
// a comment, a [section] nor a key=value (nor the continuation of a value ending in "\").
QList<int> unreadableLines(const QByteArray &content)
{
    QList<int> bad;
    bool continued = false;
    const QList<QByteArray> lines = content.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const bool continuation = continued;
        continued = line.endsWith('\\');
        if (continuation || line.isEmpty() || line.startsWith(';') || line.startsWith('#') || line.contains('='))
            continue;
        if (line.startsWith('[') && line.endsWith(']'))
            continue;
        bad.append(i + 1);
    }
    return bad;
}

// A value as the operator wrote it: a list (a file text with commas) joined again, a JSON
// array or object as JSON.
QString valueText(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QStringList:
        return value.toStringList().join(QLatin1Char(','));
    case QMetaType::QVariantList:
    case QMetaType::QVariantMap:
        return QString::fromUtf8(QJsonDocument::fromVariant(value).toJson(QJsonDocument::Compact));
    default:
        return value.toString();
    }
}

bool isText(const QVariant &value)
{
    const int type = value.userType();
    return value.isValid() && type != QMetaType::QStringList && type != QMetaType::QVariantList
           && type != QMetaType::QVariantMap;
}

// A whole number as the variant's own conversion gives it; a truth value is none.
bool readsAsNumber(const QVariant &value, qint64 &number)
{
    const int type = value.userType();
    if (type == QMetaType::Double || type == QMetaType::Float) {
        const double d = value.toDouble();
        if (std::floor(d) != d)
            return false;
        number = qint64(qBound(-1e18, d, 1e18));
        return true;
    }
    bool ok = false;
    number = value.toLongLong(&ok);
    return ok && type != QMetaType::Bool;
}

// The truth value a value means: a truth value or a number as the variant's own conversion
// reads it, or one of the words true/false, 1/0, yes/no, on/off in any case.
bool meansTruthValue(const QVariant &value, bool &meaning)
{
    const int type = value.userType();
    if (type == QMetaType::Bool || type == QMetaType::Int || type == QMetaType::LongLong || type == QMetaType::Double) {
        meaning = value.toBool();
        return true;
    }
    if (type != QMetaType::QString)
        return false;
    const QString word = value.toString().trimmed().toLower();
    meaning = word == QLatin1String("true") || word == QLatin1String("1") || word == QLatin1String("yes")
              || word == QLatin1String("on");
    return meaning || word == QLatin1String("false") || word == QLatin1String("0") || word == QLatin1String("no")
           || word == QLatin1String("off");
}

bool readsAsUrl(const QVariant &value)
{
    return value.userType() == QMetaType::QString && (value.toString().isEmpty() || Utils::isServerUrl(value.toString()));
}

QVariant fromJsonValue(const QJsonValue &value)
{
    if (value.isNull() || value.isUndefined())
        return QVariant();
    return value.toVariant();
}

}

Config::Config(const QString &fileName, const QVariantMap &defaults, QObject *parent)
    : QObject(parent)
    , m_fileName(fileName)
    , m_values(defaults)
    , m_defaults(defaults)
{
    if (m_fileName.isEmpty())
        return;
    if (!QFileInfo::exists(m_fileName)) {
        log.warning("Creating default config file : ", m_fileName);
        save();
    }
    load();
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &Config::onFileChanged);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &Config::onDirectoryChanged);
    watch();
}

QVariant Config::get(const QString &key) const
{
    auto o = m_overrides.constFind(key);
    if (o != m_overrides.constEnd())
        return o.value();
    auto d = m_defaults.constFind(key);
    if (d != m_defaults.constEnd())
        return m_values.value(key, d.value());
    return m_values.value(key);
}

void Config::set(const QString &key, const QVariant &given)
{
    QVariant value = given;
    if (!admit(key, value, false))
        return;
    auto held = m_values.constFind(key);
    if (held != m_values.constEnd() && held.value() == value)
        return;
    m_overrides.remove(key);
    m_written.remove(key);
    m_values.insert(key, value);
    emit configChanged(QVariantMap{{key, value}});
    save();
}

QStringList Config::keys() const
{
    return m_values.keys();
}

QString Config::filename() const
{
    return m_fileName;
}

QVariantMap Config::defaults() const
{
    return m_defaults;
}

QDateTime Config::lastModified() const
{
    if (m_fileName.isEmpty())
        return QDateTime();
    QFileInfo info(m_fileName);
    return info.exists() ? info.lastModified() : QDateTime();
}

void Config::addOverrides(const QVariantMap &overrides)
{
    for (auto it = overrides.cbegin(); it != overrides.cend(); ++it)
        m_overrides.insert(it.key(), it.value());
}

void Config::addDefaults(const QVariantMap &defaults)
{
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
        m_defaults.insert(it.key(), it.value());
}

QVariantMap Config::readFile()
{
    QVariantMap changes;
    QFile file(m_fileName);
    if (m_fileName.isEmpty())
        return changes;
    if (!file.open(QIODevice::ReadOnly)) {
        if (file.exists())
            log.error("Could not read configuration file : ", m_fileName, " (", file.errorString(), ")");
        return changes;
    }
    const QByteArray content = file.readAll();
    file.close();
    // What the settings reader cannot take it skips silently: say so, naming the file.
    const QList<int> bad = unreadableLines(content);
    if (!bad.isEmpty()) {
        QStringList numbers;
        for (int line : bad.mid(0, 5))
            numbers << QString::number(line);
        const QString more = bad.size() > 5 ? QStringLiteral(" and %1 more").arg(bad.size() - 5) : QString();
        log.error("Could not read configuration file : ", m_fileName, " (not INI: ",
                  bad.size() == 1 ? "line " : "lines ", numbers.join(QLatin1String(", ")), more,
                  " neither [section] nor key=value, ignored)");
    }
    const QVariantMap values = settingsOf(content, m_fileName);
    // Said once, when the file is first read: the secrets in it are not private.
    if (!std::exchange(m_read, true) && Secrets::anySecret(values) && PrivateFile::readableByOthers(m_fileName))
        log.warn("Configuration file holds secrets and is readable by others : ", m_fileName);
    QHash<QString, QVariant> written;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QString &key = it.key();
        warnUnknown(key);
        QVariant value = it.value();
        if (!admit(key, value, true))
            value = m_defaults.value(key);
        auto held = m_values.find(key);
        if (held == m_values.end()) {
            held = m_values.insert(key, value);
            changes.insert(key, value);
        } else if (!(held.value() == value)) {
            held.value() = value;
            changes.insert(key, value);
        }
        // Another value stands for the operator's (refused, or held as its own kind): their
        // line stays in the file as written.
        if (valueText(held.value()) != valueText(it.value()))
            written.insert(key, it.value());
    }
    m_written = written;
    return changes;
}

QVariantMap Config::settingsOf(const QByteArray &content, const QString &fallback)
{
    // Settings objects keep each file parsed by its name and take it as unchanged while
    // its size and time stamp are; time stamps are coarse, so an edit that follows
    // another within a few milliseconds would go unseen. A private copy is parsed anew.
    QVariantMap values;
    QTemporaryFile copy;
    const bool copied = copy.open() && copy.write(content) == content.size() && copy.flush();
    if (!copied && fallback.isEmpty())
        return values;
    QSettings settings(copied ? copy.fileName() : fallback, QSettings::IniFormat);
    prepare(settings);
    for (const QString &key : settings.allKeys())
        values.insert(key, settings.value(key));
    return values;
}

void Config::load()
{
    const QVariantMap changes = readFile();
    if (!changes.isEmpty())
        emit configChanged(changes);
}

bool Config::save()
{
    if (m_fileName.isEmpty())
        return true;
    unwatch();
    // It holds the broker password and the PIN: a new file is its owner's only, and one
    // that others may read becomes so before a secret goes into it.
    PrivateFile::create(m_fileName, true);
    if (Secrets::anySecret(m_values) && PrivateFile::makeOwnerOnly(m_fileName))
        log.info("Configuration file made readable by its owner only : ", m_fileName);
    QSettings::Status status;
    const QByteArray before = Utils::fileStamp(m_fileName);
    {
        QSettings settings(m_fileName, QSettings::IniFormat);
        prepare(settings);
        for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
            settings.setValue(it.key(), m_written.value(it.key(), it.value()));
        settings.sync();
        status = settings.status();
    }
    watch();
    // A line the settings reader cannot parse (a "#" comment, a stray word) makes the sync
    // report a format error though it writes the file (without that line), and only the
    // first error is reported: whether the file was written is then told by the file itself,
    // which a write replaces.
    if (status == QSettings::FormatError && Utils::fileStamp(m_fileName) != before)
        status = QSettings::NoError;
    if (status != QSettings::NoError) {
        log.error("Could not write configuration file : ", m_fileName);
        return false;
    }
    return true;
}

QJsonObject Config::toJson() const
{
    QMap<QString, QVariantMap> groups;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        const QStringList parts = it.key().split(QLatin1Char('/'));
        // A key outside any group (a file entry before the first section) has no
        // place in the two-level document.
        if (parts.size() < 2)
            continue;
        groups[parts.at(0)].insert(parts.at(1), it.value());
    }
    QJsonObject out;
    for (auto g = groups.cbegin(); g != groups.cend(); ++g)
        out.insert(g.key(), QJsonObject::fromVariantMap(g.value()));
    return out;
}

void Config::fromJson(const QJsonObject &object)
{
    QVariantMap formed;
    for (auto g = object.begin(); g != object.end(); ++g) {
        if (!g.value().isObject())
            continue;
        const QJsonObject inner = g.value().toObject();
        for (auto n = inner.begin(); n != inner.end(); ++n)
            formed.insert(g.key() + QLatin1Char('/') + n.key(), fromJsonValue(n.value()));
    }
    QVariantMap changes;
    for (auto it = formed.cbegin(); it != formed.cend(); ++it) {
        auto held = m_values.find(it.key());
        QVariant value = it.value();
        if (held == m_values.end() || !admit(it.key(), value, false))
            continue;
        if (!(held.value() == value)) {
            held.value() = value;
            m_written.remove(it.key());
            changes.insert(it.key(), value);
        }
    }
    if (changes.isEmpty())
        return;
    save();
    emit configChanged(changes);
}

void Config::print() const
{
    const QString rule(60, QLatin1Char('-'));
    int width = 0;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        width = qMax(width, it.key().size());
    log.info(rule);
    log.info(" SETTINGS (", m_fileName, ")");
    log.info(rule);
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        log.info(" ", it.key().leftJustified(width), " : ", Secrets::maskedText(it.key(), get(it.key())));
    log.info(rule);
}

bool Config::judge(const QString &key, QVariant &value, const QVariantMap &defaults, QString &why)
{
    why.clear();
    const auto def = defaults.constFind(key);
    if (def == defaults.cend())
        return true;
    switch (def.value().userType()) {
    case QMetaType::Int: {
        qint64 number = 0;
        if (!readsAsNumber(value, number)) {
            why = QStringLiteral("not a number");
            return false;
        }
        const ConfigRange range = ConfigRanges.value(
            key, {std::numeric_limits<int>::min(), std::numeric_limits<int>::max()});
        if (number >= range.least && number <= range.most)
            return true;
        why = number < range.least ? QStringLiteral("below %1").arg(range.least) : QStringLiteral("above %1").arg(range.most);
        if (range.taken)
            value = def.value();
        return range.taken;
    }
    case QMetaType::Bool: {
        bool meaning = false;
        if (!meansTruthValue(value, meaning)) {
            why = QStringLiteral("not a truth value (true or false)");
            return false;
        }
        // The variant's own conversion reads "no" and "off" as true: those are held as what
        // they mean.
        if (value.toBool() != meaning)
            value = meaning;
        return true;
    }
    default:
        if (value.userType() == QMetaType::QStringList) {
            why = QStringLiteral("not a text (a text with commas goes in double quotes)");
            return false;
        }
        if (!isText(value)) {
            why = QStringLiteral("not a text");
            return false;
        }
        if (ConfigRequiredTexts.contains(key) && value.toString().trimmed().isEmpty()) {
            why = QStringLiteral("empty");
            return false;
        }
        // Taken all the same: its requests fail, and say so.
        if (ConfigUrlKeys.contains(key) && !readsAsUrl(value))
            why = QStringLiteral("not a URL (http:// or https:// and a host)");
        return true;
    }
}

bool Config::admit(const QString &key, QVariant &value, bool fromFile)
{
    const QString given = valueText(value);
    QString why;
    const bool taken = judge(key, value, m_defaults, why);
    if (why.isEmpty()) {
        m_warned.remove(key);
        return true;
    }
    const auto logged = m_warned.constFind(key);
    if (logged != m_warned.cend() && logged.value() == given)
        return taken;
    m_warned.insert(key, given);
    const auto shown = [&key](const QVariant &v) {
        const QString t = Secrets::maskedText(key, v);
        return t.isEmpty() ? QStringLiteral("(empty)") : Log::outside(t, 200);
    };
    QString outcome;
    if (taken)
        outcome = valueText(value) == given ? QStringLiteral("kept as written") : QStringLiteral("using ") + shown(value);
    else if (fromFile)
        outcome = QStringLiteral("using the default ") + shown(m_defaults.value(key));
    else
        outcome = QStringLiteral("keeping ") + shown(m_values.value(key, m_defaults.value(key)));
    log.warn("Configuration value ", key, "=", shown(given), fromFile ? QStringLiteral(" in ") + m_fileName : QString(),
             " is ", why, ", ", outcome);
    return taken;
}

// A key that nothing reads (a misspelt one is taken as a setting of its own) is named once.
void Config::warnUnknown(const QString &key)
{
    if (m_defaults.contains(key) || m_unknown.contains(key))
        return;
    m_unknown.insert(key);
    log.warn("Unknown configuration key : ", Log::outside(key, 200));
}

bool Config::contains(const QVariantMap &map, const QString &pattern)
{
    const QRegularExpression re(pattern);
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        if (re.match(it.key()).hasMatch())
            return true;
    return false;
}

void Config::onFileChanged(const QString &)
{
    const QVariantMap changes = readFile();
    // Whoever changed the file may have replaced it (an editor, "sed -i"): bind the
    // watch to the file that now carries the name.
    unwatch();
    watch();
    if (changes.isEmpty())
        return;
    emit configFileChanged();
    emit configChanged(changes);
}

void Config::onDirectoryChanged(const QString &)
{
    // The directory is watched only while the file is missing: once it is back,
    // watch it again and take in what it holds.
    if (!QFileInfo::exists(m_fileName))
        return;
    onFileChanged(m_fileName);
}

void Config::watch()
{
    const QString dir = QFileInfo(m_fileName).absolutePath();
    const bool watched = m_watcher.files().contains(m_fileName);
    if (QFileInfo::exists(m_fileName) && (watched || m_watcher.addPath(m_fileName))) {
        if (m_watcher.directories().contains(dir))
            m_watcher.removePath(dir);
        return;
    }
    // Gone for now (deleted, or moved away before its replacement arrived): watch the
    // directory to notice the file's return.
    if (!m_watcher.directories().contains(dir))
        m_watcher.addPath(dir);
}

void Config::unwatch()
{
    if (m_watcher.files().contains(m_fileName))
        m_watcher.removePath(m_fileName);
}
