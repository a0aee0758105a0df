#include "Common/SqlDatabase.h"

#include "Common/PrivateFile.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QSqlError>
#include <QThread>
#include <QUuid>

ZUKA_LOG_CATEGORY(sqlDatabaseLogCategory, "common.sqldatabase")

// The names of the connections that are still registered, shared by the store and the
// per-thread holders, so that whichever ends last removes what is left.
struct DatabaseConnections
{
    QMutex mutex;
    QSet<QString> names;
    QSet<DatabaseConnection *> holders; // of the threads that have not ended
};

namespace {

QString pragma(SqlDatabase::Sync sync)
{
    return sync == SqlDatabase::Sync::Synced ? QStringLiteral("PRAGMA synchronous = FULL")
                                             : QStringLiteral("PRAGMA synchronous = NORMAL");
}

// Unregistering the last handle of a connection closes it.
void removeConnection(const QString &name)
{
    QSqlDatabase::removeDatabase(name);
}

}

class DatabaseConnection
{
public:
    DatabaseConnection(const QSharedPointer<DatabaseConnections> &registry)
        : m_name(QUuid::createUuid().toString())
        , m_registry(registry)
    {
        QMutexLocker lock(&m_registry->mutex);
        m_registry->names.insert(m_name);
        m_registry->holders.insert(this);
    }

    // Runs in the thread that used the connection, when that thread ends.
    ~DatabaseConnection()
    {
        statements.clear();
        QMutexLocker lock(&m_registry->mutex);
        m_registry->holders.remove(this);
        if (m_registry->names.remove(m_name))
            removeConnection(m_name);
    }

    const QString &name() const { return m_name; }

    // Statements kept prepared on this connection, by their text.
    QHash<QString, QSqlQuery> statements;

private:
    QString m_name;
    QSharedPointer<DatabaseConnections> m_registry;
};

SqlDatabase::SqlDatabase(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
    , m_registry(new DatabaseConnections)
    , m_connections(new QThreadStorage<DatabaseConnection *>)
{
}

SqlDatabase::~SqlDatabase()
{
    // The calling thread's connection goes now; the storage does not delete the holders
    // of threads that are still running, so their connections are removed here too.
    if (m_connections->hasLocalData())
        m_connections->setLocalData(nullptr);
    // Once the storage is gone, threads that end no longer delete their holders
    // (the framework leaves them), so the store deletes them itself.
    m_connections.reset();
    QSet<DatabaseConnection *> orphans;
    {
        QMutexLocker lock(&m_registry->mutex);
        // A connection goes only once no statement is left on it.
        for (DatabaseConnection *holder : qAsConst(m_registry->holders))
            holder->statements.clear();
        for (const QString &name : qAsConst(m_registry->names))
            removeConnection(name);
        m_registry->names.clear();
        orphans.swap(m_registry->holders);
    }
    qDeleteAll(orphans);
}

QSqlDatabase SqlDatabase::database() const
{
    if (!m_connections->hasLocalData()) {
        log.info("Creating new Database connection for thread ");
        auto *holder = new DatabaseConnection(m_registry);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), holder->name());
        db.setDatabaseName(m_path);
        db.setConnectOptions(QStringLiteral("QSQLITE_ENABLE_SHARED_CACHE"));
        // A new file is the owner's only; its journal files take its mode.
        if (m_path != QLatin1String(":memory:"))
            PrivateFile::create(m_path);
        if (!db.open())
            log.error("Database open failed : ", db.lastError().text());
        else if (m_path != QLatin1String(":memory:")) {
            QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_mode = WAL"));
            setSync(db, Sync::Synced);
        }
        m_connections->setLocalData(holder);
        return db;
    }
    QSqlDatabase db = QSqlDatabase::database(m_connections->localData()->name(), false);
    if (!db.isOpen())
        db.open();
    return db;
}

QSqlQuery SqlDatabase::query(const QString &sql) const
{
    QSqlQuery q(database());
    q.prepare(sql);
    return q;
}

QSqlQuery SqlDatabase::prepared(const QString &sql) const
{
    const QSqlDatabase db = database();
    QHash<QString, QSqlQuery> &statements = m_connections->localData()->statements;
    auto it = statements.find(sql);
    if (it == statements.end()) {
        QSqlQuery q(db);
        if (!q.prepare(sql))
            return q; // not kept: the error shows when it runs
        it = statements.insert(sql, q);
    }
    return it.value();
}

// Synced: the log is synced at every commit. Unsynced: at checkpoints only, which
// still keeps the file sound.
void SqlDatabase::setSync(const QSqlDatabase &db, Sync sync)
{
    QSqlQuery(db).exec(pragma(sync));
}

bool SqlDatabase::setSync(Sync sync, QSqlError *error) const
{
    // Prepared anew: a pragma takes effect as it is prepared.
    QSqlQuery q(database());
    if (q.exec(pragma(sync)))
        return true;
    if (error)
        *error = q.lastError();
    return false;
}

bool SqlDatabase::execute(QSqlQuery &query, Sync sync) const
{
    QElapsedTimer timer;
    timer.start();
    if (sync == Sync::Unsynced)
        prepared(pragma(sync)).exec();
    const bool ok = query.exec();
    if (sync == Sync::Unsynced)
        prepared(pragma(Sync::Synced)).exec();
    log.debug("Executed query : ", query.executedQuery());
    if (ok) {
        log.debug("Operation completed in : ", timer.elapsed(), " msec(s)");
    } else {
        log.error("Could not execute query : ", query.executedQuery());
        log.error(query.lastError().text());
    }
    return ok;
}

QSqlQuery SqlDatabase::execute(const QString &sql) const
{
    QSqlQuery q = query(sql);
    execute(q);
    return q;
}

int SqlDatabase::userVersion() const
{
    QSqlQuery q(database());
    if (!q.exec(QStringLiteral("PRAGMA user_version;")) || !q.next())
        return 0;
    return q.value(0).toInt();
}

bool SqlDatabase::setUserVersion(int version)
{
    QSqlQuery q(database());
    return q.exec(QStringLiteral("PRAGMA user_version = %1").arg(version));
}

bool SqlDatabase::tableExists(const QString &name) const
{
    const QStringList tables = database().tables(QSql::Tables);
    for (const QString &table : tables)
        if (table.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}
