#include "Common/SqlDatabase.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMutex>
#include <QSet>
#include <QSqlError>
#include <QUuid>

// The names of the connections that are still registered, shared by the store and the
// per-thread holders, so that whichever ends last removes what is left.
struct DatabaseConnections
{
    QMutex mutex;
    QSet<QString> names;
    QSet<DatabaseConnection *> holders; // of the threads that have not ended
};

namespace {

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
        : mName(QUuid::createUuid().toString())
        , mRegistry(registry)
    {
        QMutexLocker lock(&mRegistry->mutex);
        mRegistry->names.insert(mName);
        mRegistry->holders.insert(this);
    }

    // Runs in the thread that used the connection, when that thread ends.
    ~DatabaseConnection()
    {
        QMutexLocker lock(&mRegistry->mutex);
        mRegistry->holders.remove(this);
        if (mRegistry->names.remove(mName))
            removeConnection(mName);
    }

    const QString &name() const { return mName; }

private:
    QString mName;
    QSharedPointer<DatabaseConnections> mRegistry;
};

SqlDatabase::SqlDatabase(const QString &path, QObject *parent)
    : QObject(parent)
    , mPath(path)
    , mRegistry(new DatabaseConnections)
    , mConnections(new QThreadStorage<DatabaseConnection *>)
{
}

SqlDatabase::~SqlDatabase()
{
    // The calling thread's connection goes now; the storage does not delete the holders
    // of threads that are still running, so their connections are removed here too.
    if (mConnections->hasLocalData())
        mConnections->setLocalData(nullptr);
    // Once the storage is gone, threads that end no longer delete their holders
    // (the framework leaves them), so the store deletes them itself.
    mConnections.reset();
    QSet<DatabaseConnection *> orphans;
    {
        QMutexLocker lock(&mRegistry->mutex);
        for (const QString &name : qAsConst(mRegistry->names))
            removeConnection(name);
        mRegistry->names.clear();
        orphans.swap(mRegistry->holders);
    }
    qDeleteAll(orphans);
}

QSqlDatabase SqlDatabase::database() const
{
    if (!mConnections->hasLocalData()) {
        qInfo().noquote().nospace() << "[SqlDatabase] Creating new Database connection for thread ";
        auto *holder = new DatabaseConnection(mRegistry);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), holder->name());
        db.setDatabaseName(mPath);
        db.setConnectOptions(QStringLiteral("QSQLITE_ENABLE_SHARED_CACHE"));
        if (!db.open())
            qCritical().noquote().nospace() << "[SqlDatabase] ERROR: Database open failed : "
                                            << db.lastError().text();
        mConnections->setLocalData(holder);
        return db;
    }
    QSqlDatabase db = QSqlDatabase::database(mConnections->localData()->name(), false);
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

bool SqlDatabase::execute(QSqlQuery &query) const
{
    QElapsedTimer timer;
    timer.start();
    const bool ok = query.exec();
    qDebug().noquote().nospace() << "[SqlDatabase] Executed query : " << query.executedQuery();
    if (ok) {
        qDebug().noquote().nospace() << "[SqlDatabase] Operation completed in : "
                                     << timer.elapsed() << " msec(s)";
    } else {
        qCritical().noquote().nospace() << "[SqlDatabase] ERROR: Could not execute query : "
                                        << query.executedQuery();
        qCritical().noquote().nospace() << "[SqlDatabase] ERROR: " << query.lastError().text();
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
