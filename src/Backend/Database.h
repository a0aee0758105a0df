#pragma once
// The terminal's local store "terminal.db": parameters from registration, the card
// blacklist, customs offices and locations, and the queue of transactions still to be
// sent. The API key is kept apart, in the application settings store.
#include "Backend/Transaction.h"
#include "Common/SqlDatabase.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace Backend {

class Database : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Database)

public:
    // One customs office or location.
    struct DataRecord
    {
        int id = 0;
        QString name;
        QString uuid;
    };

    static const QString FileName;

    explicit Database(QObject *parent = nullptr);

    // Parameters: "apiKey" lives in the settings store, every other key in Parameters.
    QVariant param(const QString &key) const;
    void setParam(const QString &key, const QVariant &value);
    QStringList paramKeys() const;

    bool blacklistAdd(const QString &uid);
    bool blacklistRemove(const QString &uid);
    bool isBlacklisted(const QString &uid) const;
    // One slice of a list from the back office, in one transaction, not logged uid by uid:
    // the uids added (those already listed stay) and removed. False when it could not be
    // written (nothing is, then), or the writes after it could not be made to wait for the
    // disk again.
    bool blacklistUpdate(const QStringList &added, const QStringList &removed);

    void setCustoms(const QList<DataRecord> &records);
    void setLocations(const QList<DataRecord> &records);
    DataRecord findCustoms(int id) const;
    DataRecord findLocation(int id) const;
    QList<DataRecord> customs() const;
    QList<DataRecord> locations() const;

    // Stores a new transaction, due for sending now. False when it could not be stored
    // (for example a uuid that is already there).
    bool transAdd(const Transaction::Ptr &trans);
    // Writes the send details, keyed by the uuid. Every other write is on the disk when it
    // returns; this one with the next of them or the next checkpoint (a crash before may
    // lose it).
    bool transUpdate(const Transaction::Ptr &trans);
    // A transaction held while its passage is open: stored (or its record updated) as
    // waiting without a scheduled date, which no send picks up.
    bool transHold(const Transaction::Ptr &trans);
    // The held transaction completed: its record written and due now; stored anew when it
    // was never held on disk. False when it could not be written, or its row is no longer
    // held.
    bool transRelease(const Transaction::Ptr &trans);
    // The transactions held for passages that never closed.
    QList<Transaction::Ptr> transHeld() const;
    bool transExists(const QString &uuid) const;
    // Waiting rows due by now, latest scheduled first.
    QList<Transaction::Ptr> transDueForSend() const;
    // The earliest of them, at most limit, earliest first; and how many there are.
    QList<Transaction::Ptr> transDue(int limit) const;
    int transDueCount() const;
    int transCount(const QString &status) const;
    // The rows in each of these states, in the order given: read once, then kept up to
    // date by this store's own writes (the supervision asks at every change of the lane).
    QVector<int> transCounts(const QStringList &statuses) const;
    QList<Transaction::Ptr> transPending() const;
    bool transCleanup(const QDateTime &before);

    // Dates as they are stored and compared: ISO 8601 local time without offset.
    static QVariant dateToDb(const QDateTime &time);
    static QDateTime dateFromDb(const QVariant &value);

signals:
    void paramChanged(QString key, QVariant value);
    void customsChanged();
    void locationsChanged();

private:
    void createTables();
    void setRecords(const QString &table, const QList<DataRecord> &records);
    DataRecord findRecord(const QString &table, int id) const;
    QList<DataRecord> records(const QString &table) const;
    QList<Transaction::Ptr> readTransactions(QSqlQuery &query) const;
    QSqlQuery newRow(const Transaction::Ptr &trans, const QDateTime &schedDate,
                     const QString &onConflict = QString()) const;
    bool upsertHeld(const Transaction::Ptr &trans, const QDateTime &schedDate);
    QSqlQuery dueRows(const QString &what, const QString &order) const;
    // A row written moved from one send status to another (an empty one: none).
    void countMoved(const QString &from, const QString &to);
    QString sendStatusOf(const QString &uuid) const;

    SqlDatabase m_db;
    // The rows by send status once read (m_countsKnown), kept by the writes; m_countsMoves
    // counts the writes, so that a read overtaken by one is not kept.
    mutable QMutex m_countsMutex;
    mutable QHash<QString, int> m_counts;
    mutable bool m_countsKnown = false;
    quint64 m_countsMoves = 0;
};

} // namespace Backend

Q_DECLARE_METATYPE(Backend::Database::DataRecord)
