#pragma once
// The terminal's identity: its device, customs and location ids. Each setting holds the
// id itself or names the file that holds it; a file is read again whenever it changes,
// and one that is missing is waited for in its folder.
#include <QFileSystemWatcher>
#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QString>

class Config;

class Identity : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Identity)

public:
    // Reads the three ids at once; their files are followed only between start and stop.
    explicit Identity(Config &config, QObject *parent = nullptr);

    QString serialNum() const { return m_serialNum; }
    QString customsId() const { return m_customsId; }
    QString locationId() const { return m_locationId; }

    // An id value: the configured text itself, or the content of the file it names.
    QString loadId(const QString &value);

    void start();
    void stop();

signals:
    void serialNumChanged();
    void customsIdChanged();
    void locationIdChanged();

private:
    struct Id
    {
        QLatin1String key;
        QString Identity::*value;
        const char *name;
        void (Identity::*changed)();
    };
    static const Id Ids[];

    void set(const Id &id, const QString &value);
    void onFileChanged(const QString &path);
    void onDirChanged(const QString &path);

    Config &m_config;
    QFileSystemWatcher m_watcher;
    QString m_serialNum;
    QString m_customsId;
    QString m_locationId;
    QList<QMetaObject::Connection> m_connections; // made by start(), removed by stop()
};
