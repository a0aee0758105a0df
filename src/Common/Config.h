#pragma once
// The process's one configuration store: command-line overrides over the values of an
// INI settings file over the built-in defaults. Keys are "group/name".
#include "Common/Log.h"
#include <QDateTime>
#include <QFileSystemWatcher>
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
    void watch();
    void unwatch();
    void onDirectoryChanged(const QString &path);

    QString m_fileName;
    QVariantMap m_values;
    QVariantMap m_defaults;
    QVariantMap m_overrides;
    QFileSystemWatcher m_watcher;
    bool m_read = false; // the file has been read once

private:
    static constexpr Log log{"[Config] ", configLogCategory};
};
