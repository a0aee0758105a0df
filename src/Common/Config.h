#pragma once
// The process's one configuration store: command-line overrides over the values of an
// INI settings file over the built-in defaults. Keys are "group/name".
//
// Every value that comes in (from the file, `set` or `fromJson`) is judged by its key (see
// `judge`). One that is refused is logged once with its key and is not taken: a value of the
// file gives way to the default in memory while the operator's line stays in the file as
// written, until `set` or `fromJson` changes that key; any other leaves the value in force.
#include "Common/Log/Log.h"
#include <QDateTime>
#include <QFileSystemWatcher>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QVariantMap>

Q_DECLARE_LOGGING_CATEGORY(configLogCategory)

class Config : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Config)

public:
    // An empty file name keeps the values in memory only: nothing is read, written or
    // watched.
    Config(const QString &fileName, const QVariantMap &defaults, QObject *parent = nullptr);

    QVariant get(const QString &key) const;
    void set(const QString &key, const QVariant &given);

    QStringList keys() const;
    QString filename() const;
    QVariantMap defaults() const;
    QDateTime lastModified() const;

    void addOverrides(const QVariantMap &overrides);
    void addDefaults(const QVariantMap &defaults);

    // Re-reads the file into the value layer; emits configChanged when values changed.
    void load();
    // Writes the value layer to the file. Returns false (and logs an error) when the
    // file could not be written; the values stay in force in memory all the same.
    bool save();

    QJsonObject toJson() const;
    void fromJson(const QJsonObject &object);

    // Logs every setting; secrets are masked.
    void print() const;

    // The values of a settings text (the file's content), as reading the file gives them;
    // when no private copy of the text can be made, those of the file at `fallback`.
    static QVariantMap settingsOf(const QByteArray &content, const QString &fallback = QString());

    // Whether `key` (of the table `defaults`) takes `value`, which becomes what the key takes
    // for it. A value must read as the type of the key's default, with the variant's own
    // conversions: a whole number within its ConfigRanges (or the default, where the range
    // says so); a truth value (true/false, 1/0, yes/no, on/off in any case, or a
    // number), held as false for the words the conversion would read as true; a text, not
    // empty for ConfigRequiredTexts. A URL setting that is not one is taken with a warning.
    // `why` tells what is wrong with the value; empty when nothing is. A key without a
    // default takes any value.
    static bool judge(const QString &key, QVariant &value, const QVariantMap &defaults, QString &why);

    // Whether a key of the map matches the (unanchored) regular expression.
    static bool contains(const QVariantMap &map, const QString &pattern);

    // The watcher's notice: the file changed on disk.
    void onFileChanged(const QString &path);

signals:
    void configChanged(QVariantMap changes);
    void configFileChanged();

private:
    QVariantMap readFile();
    // Whether the value may be taken (`judge`); what is wrong with it is logged, once while it
    // stays the same.
    bool admit(const QString &key, QVariant &value, bool fromFile);
    void warnUnknown(const QString &key);
    void watch();
    void unwatch();
    void onDirectoryChanged(const QString &path);

    QString m_fileName;
    QVariantMap m_values;
    QVariantMap m_defaults;
    QVariantMap m_overrides;
    // The value last warned about for each key, as logged: the same one is not logged again.
    QHash<QString, QString> m_warned;
    // The keys without a default that have been named.
    QSet<QString> m_unknown;
    // The file's text of each key whose value in memory is written otherwise (refused, the
    // level outside the levels, "yes" held as true): saves write it back as the operator wrote it.
    QHash<QString, QVariant> m_written;
    QFileSystemWatcher m_watcher;
    bool m_read = false; // the file has been read once

private:
    static constexpr Log log{"[Config] ", configLogCategory};
};
