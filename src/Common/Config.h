#pragma once
// The process's one configuration store: command-line overrides over the values of an
// INI settings file over the built-in defaults. Keys are "group/name".
//
// Every value that comes in (from the file, `set` or `fromJson`) must read as the type of its
// key's default, and the settings of ConfigUrlKeys and ConfigMinimums as a URL or a number
// not below their least. One that does not is logged once with its key and is not taken: a
// value of the file gives way to the default, any other leaves the value in force.
#include "Common/Log/Log.h"
#include <QDateTime>
#include <QFileSystemWatcher>
#include <QHash>
#include <QJsonObject>
#include <QObject>
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
    void set(const QString &key, const QVariant &value);

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

    // Whether a key of the map matches the (unanchored) regular expression.
    static bool contains(const QVariantMap &map, const QString &pattern);

    // The watcher's notice: the file changed on disk.
    void onFileChanged(const QString &path);

signals:
    void configChanged(QVariantMap changes);
    void configFileChanged();

private:
    QVariantMap readFile();
    // Why the value cannot stand for the key ("not a number", "not a truth value", "not a
    // URL", "below 1", ...), or an empty text when it can. A key without a default takes any
    // value.
    QString refusal(const QString &key, const QVariant &value) const;
    // Whether the value may be taken; one that may not is logged, once while it stays the same.
    bool admit(const QString &key, const QVariant &value, bool fromFile);
    void watch();
    void unwatch();
    void onDirectoryChanged(const QString &path);

    QString m_fileName;
    QVariantMap m_values;
    QVariantMap m_defaults;
    QVariantMap m_overrides;
    // The value last refused for each key, as logged: the same one is not logged again.
    QHash<QString, QString> m_refused;
    QFileSystemWatcher m_watcher;
    bool m_read = false; // the file has been read once

private:
    static constexpr Log log{"[Config] ", configLogCategory};
};
