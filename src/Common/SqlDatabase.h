#pragma once
// Access to one SQLite database file from any thread: each thread gets its own
// connection, opened on first use and removed when the thread ends. A file is kept
// with a write-ahead log: a write costs one disk sync, or none when it may be lost.
#include "Common/Log/Log.h"
#include <QObject>
#include <QSharedPointer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThreadStorage>

#include <memory>

Q_DECLARE_LOGGING_CATEGORY(sqlDatabaseLogCategory)

class DatabaseConnection;
class QSqlError;
struct DatabaseConnections;

class SqlDatabase : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SqlDatabase)

public:
    explicit SqlDatabase(const QString &path, QObject *parent = nullptr);
    ~SqlDatabase() override;

    // The calling thread's connection, opened if needed.
    QSqlDatabase database() const;
    // A query prepared with the statement on the calling thread's connection.
    QSqlQuery query(const QString &sql) const;
    // The same, prepared once on the calling thread's connection and handed out again at
    // every call with the same text: for statements run often, by one caller at a time.
    // A caller that reads rows calls finish() when done, so that the connection does not
    // keep reading an old state of the file.
    QSqlQuery prepared(const QString &sql) const;
    // How a write reaches the disk. Synced: on the disk when execute() returns. Unsynced:
    // committed at once, on the disk with the next synced write or checkpoint; a crash or
    // power loss before then may lose it, never the file or the writes before it.
    enum class Sync { Synced, Unsynced };
    // Runs the query, timed and logged; returns whether it succeeded.
    bool execute(QSqlQuery &query, Sync sync = Sync::Synced) const;
    // How the calling thread's writes reach the disk from now on, for a transaction of
    // several statements: set before its BEGIN and back to Synced (the connection's own
    // setting) after its end, since SQLite refuses a change inside a transaction. False,
    // with the error in *error, when refused.
    bool setSync(Sync sync, QSqlError *error = nullptr) const;
    // Prepares and runs the statement; success is seen on the returned query.
    QSqlQuery execute(const QString &sql) const;

    int userVersion() const;
    bool setUserVersion(int version);
    // Whether a user table of that name exists (letter case ignored).
    bool tableExists(const QString &name) const;

private:
    static void setSync(const QSqlDatabase &db, Sync sync);

    QString m_path;
    QSharedPointer<DatabaseConnections> m_registry;
    // Deletes the holder of a thread when that thread ends, unless the store ends first.
    std::unique_ptr<QThreadStorage<DatabaseConnection *>> m_connections;

    static constexpr Log log{"[SqlDatabase] ", sqlDatabaseLogCategory};
};
