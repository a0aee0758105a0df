#include "Backend/Database.h"

#include "Common/Log/Log.h"
#include "Common/PrivateFile.h"
#include "Common/Utils.h"

#include <QJsonDocument>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>

namespace Backend {

namespace {

ZUKA_LOG_CATEGORY(logCategory, "backend.database")
const Log log("[Backend::Database] ", logCategory);

const QString ApiKey = QStringLiteral("apiKey");
const QString DateFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ss");

// Columns are always named: a table made by an older program keeps its own column
// order, and rows are read by these names, never by position.
const QString TransColumns = QStringLiteral(
    "type, uuid, timestamp, deviceSerial, cardUid, zuruvDbId, errorDetails, sendDate, sendSchedDate, "
    "sendStatus, sendAttempts, respStatus, respData, journal");

QString statusText(Transaction::SendStatus status)
{
    return Transaction::statusText(status);
}

// The rows held for passages still open: waiting, and not yet due at any time.
const QString HeldRows =
    QStringLiteral("sendStatus = '%1' AND sendSchedDate IS NULL").arg(statusText(Transaction::SendStatus::Pending));

struct Table
{
    QString name;
    QStringList columns;
};

const QList<Table> &tables()
{
    static const QStringList records = {"id INTEGER", "name TEXT", "uuid TEXT", "PRIMARY KEY (id)"};
    static const QList<Table> list = {
        {QStringLiteral("Customs"), records},
        {QStringLiteral("Locations"), records},
        {QStringLiteral("Parameters"), {"key TEXT", "value TEXT", "PRIMARY KEY (key)"}},
        {QStringLiteral("Blacklist"), {"uid TEXT", "PRIMARY KEY (uid)"}},
        {QStringLiteral("Transactions"),
         {"type TEXT", "uuid TEXT", "timestamp TEXT", "deviceSerial TEXT", "cardUid TEXT", "zuruvDbId TEXT",
          "errorDetails TEXT", "sendDate TEXT", "sendSchedDate TEXT", "sendStatus TEXT", "sendAttempts INTEGER",
          "respStatus INTEGER", "respData BLOB", "journal TEXT", "PRIMARY KEY (uuid)"}},
    };
    return list;
}

QSettings apiKeyStore()
{
    return QSettings(QStringLiteral("vexo"), QStringLiteral("zuka-card-bo"));
}

} // namespace

const QString Database::FileName = QStringLiteral("terminal.db");

Database::Database(QObject *parent)
    : QObject(parent)
    , m_db(FileName)
{
    createTables();
}

void Database::createTables()
{
    for (const Table &table : tables()) {
        if (m_db.tableExists(table.name))
            continue;
        log.info("Creating table : ", table.name);
        m_db.execute(QStringLiteral("CREATE TABLE %1 (%2)").arg(table.name, table.columns.join(QLatin1Char(','))));
    }
    // A queue made by an older program has no journal column: its rows read without one.
    QSqlQuery columns = m_db.execute(QStringLiteral("PRAGMA table_info(Transactions)"));
    bool journal = false;
    while (columns.next())
        journal = journal || columns.value(1).toString() == QLatin1String("journal");
    columns.finish();
    if (!journal) {
        log.info("Adding column : Transactions.journal");
        m_db.execute(QStringLiteral("ALTER TABLE Transactions ADD COLUMN journal TEXT"));
    }
    // The sender's queries (the rows due, the rows held, the pending count) read the
    // queue through this index, not the whole table with the rows already sent.
    m_db.execute(QStringLiteral("CREATE INDEX IF NOT EXISTS TransactionsByStatus ON Transactions (sendStatus, sendSchedDate)"));
}

QVariant Database::dateToDb(const QDateTime &time)
{
    if (!time.isValid())
        return QVariant(QVariant::String); // NULL
    return Utils::dateTimeText(time.toLocalTime()); // DateFormat
}

namespace {

// "yyyy-MM-ddTHH:mm:ss" read directly: the queue reads three dates a row, and the general
// parser costs more than the rest of the row. Anything else is left to the parser.
QDateTime storedDate(const QString &text)
{
    if (text.size() != 19 || text[4] != QLatin1Char('-') || text[7] != QLatin1Char('-') || text[10] != QLatin1Char('T')
        || text[13] != QLatin1Char(':') || text[16] != QLatin1Char(':'))
        return QDateTime();
    const auto number = [&text](int from, int digits) {
        int n = 0;
        for (int i = from; i < from + digits; ++i) {
            const ushort c = text[i].unicode();
            if (c < '0' || c > '9')
                return -1;
            n = n * 10 + (c - '0');
        }
        return n;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0)
        return QDateTime();
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    return date.isValid() && time.isValid() ? QDateTime(date, time) : QDateTime();
}

} // namespace

QDateTime Database::dateFromDb(const QVariant &value)
{
    if (value.isNull())
        return QDateTime();
    QDateTime time = storedDate(value.toString());
    if (!time.isValid())
        time = QDateTime::fromString(value.toString(), DateFormat);
    if (!time.isValid())
        time = QDateTime::fromString(value.toString(), Qt::ISODate).toLocalTime();
    return time;
}

// --- Parameters ---------------------------------------------------------------------

QVariant Database::param(const QString &key) const
{
    if (key == ApiKey)
        return apiKeyStore().value(ApiKey).toString();
    QSqlQuery q = m_db.query(QStringLiteral("SELECT value FROM Parameters WHERE key = ?"));
    q.addBindValue(key);
    if (m_db.execute(q) && q.next())
        return q.value(0);
    return QVariant();
}

void Database::setParam(const QString &key, const QVariant &value)
{
    if (param(key) == value)
        return;
    if (key == ApiKey) {
        QSettings store = apiKeyStore();
        PrivateFile::create(store.fileName(), true);
        store.setValue(ApiKey, value.toString());
        emit paramChanged(key, value);
        return;
    }
    QSqlQuery q = m_db.query(QStringLiteral("INSERT OR REPLACE INTO Parameters (key, value) VALUES (?, ?)"));
    q.addBindValue(key);
    q.addBindValue(value.toString());
    if (m_db.execute(q))
        emit paramChanged(key, value);
}

QStringList Database::paramKeys() const
{
    QStringList keys;
    QSqlQuery q = m_db.execute(QStringLiteral("SELECT key FROM Parameters"));
    while (q.next())
        keys.append(q.value(0).toString());
    keys.append(ApiKey);
    return keys;
}

// --- Blacklist ----------------------------------------------------------------------

// A list comes a row at a time, up to a million rows, on the lane's thread: its rows do not
// each wait for the disk. Its version, stored after them, does; a row lost in a crash before
// that leaves the version unstored, so the list is fetched again.
bool Database::blacklistAdd(const QString &uid)
{
    QSqlQuery q = m_db.query(QStringLiteral("INSERT INTO Blacklist (uid) VALUES (?)"));
    q.addBindValue(uid);
    return m_db.execute(q, SqlDatabase::Sync::Unsynced);
}

bool Database::blacklistRemove(const QString &uid)
{
    QSqlQuery q = m_db.query(QStringLiteral("DELETE FROM Blacklist WHERE uid = ?"));
    q.addBindValue(uid);
    return m_db.execute(q, SqlDatabase::Sync::Unsynced);
}

bool Database::isBlacklisted(const QString &uid) const
{
    QSqlQuery q = m_db.query(QStringLiteral("SELECT uid FROM Blacklist WHERE uid = ?"));
    q.addBindValue(uid);
    return m_db.execute(q) && q.next();
}

// Its rows are not logged one by one (a list holds up to a million), and its commit does not
// wait for the disk: the version, stored synced after the last slice, takes every slice to
// the disk with it. A slice lost in a crash before then leaves the version unstored, so the
// list is fetched again.
bool Database::blacklistUpdate(const QStringList &added, const QStringList &removed)
{
    const auto refused = [](const QString &statement, const QSqlError &error) {
        log.error("Could not update the blacklist : ", statement, " : ", Log::outside(error.text()));
        return false;
    };
    const auto run = [&refused](QSqlQuery &q) { return q.exec() || refused(q.lastQuery(), q.lastError()); };
    // The level is the connection's, and SQLite refuses to change it inside a transaction.
    QSqlError error;
    if (!m_db.setSync(SqlDatabase::Sync::Unsynced, &error))
        return refused(QStringLiteral("PRAGMA synchronous"), error);
    QSqlQuery begin = m_db.prepared(QStringLiteral("BEGIN"));
    bool written = run(begin);
    if (written) {
        QSqlQuery add = m_db.prepared(QStringLiteral("INSERT OR IGNORE INTO Blacklist (uid) VALUES (?)"));
        QSqlQuery remove = m_db.prepared(QStringLiteral("DELETE FROM Blacklist WHERE uid = ?"));
        for (int i = 0; written && i < added.size(); ++i) {
            add.bindValue(0, added[i]);
            written = run(add);
        }
        for (int i = 0; written && i < removed.size(); ++i) {
            remove.bindValue(0, removed[i]);
            written = run(remove);
        }
        add.finish();
        remove.finish();
        QSqlQuery end = m_db.prepared(written ? QStringLiteral("COMMIT") : QStringLiteral("ROLLBACK"));
        if (!run(end) && written) { // a commit that failed may leave the transaction open
            written = false;
            QSqlQuery rollback = m_db.prepared(QStringLiteral("ROLLBACK"));
            run(rollback);
        }
    }
    // Whatever became of the slice, the writes after it wait for the disk again.
    if (!m_db.setSync(SqlDatabase::Sync::Synced, &error))
        return refused(QStringLiteral("PRAGMA synchronous"), error);
    return written;
}

// --- Customs offices and locations --------------------------------------------------

void Database::setRecords(const QString &table, const QList<DataRecord> &records)
{
    for (const DataRecord &r : records) {
        QSqlQuery q = m_db.query(QStringLiteral("INSERT OR REPLACE INTO %1 (id, name, uuid) VALUES (?, ?, ?)").arg(table));
        q.addBindValue(r.id);
        q.addBindValue(r.name);
        q.addBindValue(r.uuid);
        m_db.execute(q);
    }
}

void Database::setCustoms(const QList<DataRecord> &records)
{
    setRecords(QStringLiteral("Customs"), records);
    emit customsChanged();
}

void Database::setLocations(const QList<DataRecord> &records)
{
    setRecords(QStringLiteral("Locations"), records);
    emit locationsChanged();
}

Database::DataRecord Database::findRecord(const QString &table, int id) const
{
    QSqlQuery q = m_db.query(QStringLiteral("SELECT id, name, uuid FROM %1 WHERE id = ?").arg(table));
    q.addBindValue(id);
    if (!m_db.execute(q) || !q.next())
        return DataRecord();
    return DataRecord{q.value(0).toInt(), q.value(1).toString(), q.value(2).toString()};
}

QList<Database::DataRecord> Database::records(const QString &table) const
{
    QList<DataRecord> list;
    QSqlQuery q = m_db.execute(QStringLiteral("SELECT id, name, uuid FROM %1").arg(table));
    while (q.next())
        list.append(DataRecord{q.value(0).toInt(), q.value(1).toString(), q.value(2).toString()});
    return list;
}

Database::DataRecord Database::findCustoms(int id) const { return findRecord(QStringLiteral("Customs"), id); }
Database::DataRecord Database::findLocation(int id) const { return findRecord(QStringLiteral("Locations"), id); }
QList<Database::DataRecord> Database::customs() const { return records(QStringLiteral("Customs")); }
QList<Database::DataRecord> Database::locations() const { return records(QStringLiteral("Locations")); }

// --- Transactions -------------------------------------------------------------------

// The insert of a new row of the transaction: its record, not yet sent, due at the
// scheduled date; what a row of the same uuid meets follows.
QSqlQuery Database::newRow(const Transaction::Ptr &trans, const QDateTime &schedDate, const QString &onConflict) const
{
    QSqlQuery q = m_db.prepared(
        QStringLiteral("INSERT INTO Transactions (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)").arg(TransColumns)
        + onConflict);
    q.addBindValue(Transaction::typeToStr(trans->type()));
    q.addBindValue(trans->uuid());
    q.addBindValue(dateToDb(trans->timestamp()));
    q.addBindValue(trans->deviceSerial());
    q.addBindValue(trans->cardUid());
    q.addBindValue(trans->zuruvDbId());
    q.addBindValue(trans->errorDetails());
    q.addBindValue(dateToDb(QDateTime()));
    q.addBindValue(dateToDb(schedDate));
    q.addBindValue(statusText(Transaction::SendStatus::Pending));
    q.addBindValue(0);
    q.addBindValue(0);
    q.addBindValue(QVariant(QVariant::ByteArray)); // NULL
    const QString journal = trans->journal().toText();
    q.addBindValue(journal.isEmpty() ? QVariant(QVariant::String) : QVariant(journal));
    return q;
}

bool Database::transAdd(const Transaction::Ptr &trans)
{
    QSqlQuery q = newRow(trans, QDateTime::currentDateTime());
    if (!m_db.execute(q))
        return false;
    countMoved(QString(), statusText(Transaction::SendStatus::Pending));
    return true;
}

QString Database::sendStatusOf(const QString &uuid) const
{
    QSqlQuery q = m_db.prepared(QStringLiteral("SELECT sendStatus FROM Transactions WHERE uuid = ?"));
    q.addBindValue(uuid);
    const QString status = m_db.execute(q) && q.next() ? q.value(0).toString() : QString();
    q.finish();
    return status;
}

bool Database::transUpdate(const Transaction::Ptr &trans)
{
    const QString before = sendStatusOf(trans->uuid());
    const Transaction::SendDetails &d = trans->sendDetails();
    QSqlQuery q = m_db.prepared(QStringLiteral("UPDATE Transactions SET sendDate = ?, sendStatus = ?, sendSchedDate = ?, "
                                           "sendAttempts = ?, respStatus = ?, respData = ? WHERE uuid = ?"));
    q.addBindValue(dateToDb(d.date));
    q.addBindValue(statusText(d.status));
    q.addBindValue(dateToDb(d.schedDate));
    q.addBindValue(d.attempts);
    q.addBindValue(d.respStatus);
    q.addBindValue(QJsonDocument(d.respData).toJson(QJsonDocument::Compact));
    q.addBindValue(trans->uuid());
    // A send's result lost in a crash only sends the same uuid again, which the back
    // office counts once: it need not wait for the disk.
    if (!m_db.execute(q, SqlDatabase::Sync::Unsynced))
        return false;
    if (q.numRowsAffected() > 0)
        countMoved(before, statusText(d.status));
    return true;
}

// Writes the record of a held row (a new row when there is none) with the scheduled date;
// a row that is not held is left alone.
bool Database::upsertHeld(const Transaction::Ptr &trans, const QDateTime &schedDate)
{
    const bool stored = transExists(trans->uuid());
    QSqlQuery q = newRow(trans, schedDate,
                         QStringLiteral(" ON CONFLICT (uuid) DO UPDATE SET type = excluded.type, "
                                        "timestamp = excluded.timestamp, deviceSerial = excluded.deviceSerial, "
                                        "cardUid = excluded.cardUid, zuruvDbId = excluded.zuruvDbId, "
                                        "errorDetails = excluded.errorDetails, sendSchedDate = excluded.sendSchedDate, "
                                        "journal = excluded.journal "
                                        "WHERE ")
                             + HeldRows);
    if (!m_db.execute(q) || q.numRowsAffected() != 1)
        return false;
    if (!stored)
        countMoved(QString(), statusText(Transaction::SendStatus::Pending));
    return true;
}

bool Database::transHold(const Transaction::Ptr &trans)
{
    return upsertHeld(trans, QDateTime());
}

bool Database::transRelease(const Transaction::Ptr &trans)
{
    return upsertHeld(trans, QDateTime::currentDateTime());
}

QList<Transaction::Ptr> Database::transHeld() const
{
    QSqlQuery q = m_db.query(QStringLiteral("SELECT %1 FROM Transactions WHERE %2").arg(TransColumns, HeldRows));
    return readTransactions(q);
}

bool Database::transExists(const QString &uuid) const
{
    QSqlQuery q = m_db.query(QStringLiteral("SELECT uuid FROM Transactions WHERE uuid = ?"));
    q.addBindValue(uuid);
    return m_db.execute(q) && q.next();
}

QList<Transaction::Ptr> Database::readTransactions(QSqlQuery &q) const
{
    QList<Transaction::Ptr> list;
    if (!m_db.execute(q))
        return list;
    while (q.next()) {
        Transaction::Ptr t(new Transaction);
        t->setType(Transaction::strToType(q.value(0).toString()));
        t->setUuid(q.value(1).toString());
        t->setTimestamp(dateFromDb(q.value(2)));
        t->setDeviceSerial(q.value(3).toString());
        t->setCardUid(q.value(4).toString());
        t->setZuruvDbId(q.value(5).toString());
        t->setErrorDetails(q.value(6).toString());
        Transaction::SendDetails &d = t->sendDetails();
        d.date = dateFromDb(q.value(7));
        d.schedDate = dateFromDb(q.value(8));
        d.status = Transaction::statusFromText(q.value(9).toString());
        d.attempts = q.value(10).toInt();
        d.respStatus = q.value(11).toInt();
        d.respData = QJsonDocument::fromJson(q.value(12).toByteArray()).object();
        t->journal() = Transaction::Journal::fromText(q.value(13).toString());
        list.append(t);
    }
    q.finish(); // a statement kept prepared holds no read open
    return list;
}

// Waiting rows due by now; run at every send, so kept prepared.
QSqlQuery Database::dueRows(const QString &what, const QString &order) const
{
    QSqlQuery q = m_db.prepared(
        QStringLiteral("SELECT %1 FROM Transactions WHERE sendStatus = ? AND sendSchedDate <= ? %2").arg(what, order));
    q.addBindValue(statusText(Transaction::SendStatus::Pending));
    q.addBindValue(dateToDb(QDateTime::currentDateTime()));
    return q;
}

QList<Transaction::Ptr> Database::transDueForSend() const
{
    QSqlQuery q = dueRows(TransColumns, QStringLiteral("ORDER BY sendSchedDate DESC"));
    return readTransactions(q);
}

QList<Transaction::Ptr> Database::transDue(int limit) const
{
    QSqlQuery q = dueRows(TransColumns, QStringLiteral("ORDER BY sendSchedDate LIMIT ?"));
    q.addBindValue(limit);
    return readTransactions(q);
}

int Database::transDueCount() const
{
    QSqlQuery q = dueRows(QStringLiteral("COUNT(*)"), QString());
    const int count = m_db.execute(q) && q.next() ? q.value(0).toInt() : 0;
    q.finish();
    return count;
}

QList<Transaction::Ptr> Database::transPending() const
{
    QSqlQuery q = m_db.query(QStringLiteral("SELECT %1 FROM Transactions WHERE sendStatus = ?").arg(TransColumns));
    q.addBindValue(statusText(Transaction::SendStatus::Pending));
    return readTransactions(q);
}

int Database::transCount(const QString &status) const
{
    return transCounts({status}).value(0);
}

QVector<int> Database::transCounts(const QStringList &statuses) const
{
    QMutexLocker lock(&m_countsMutex);
    QHash<QString, int> counts = m_counts;
    if (!m_countsKnown) {
        const quint64 moves = m_countsMoves;
        lock.unlock();
        counts.clear();
        QSqlQuery q = m_db.prepared(QStringLiteral("SELECT sendStatus, COUNT(*) FROM Transactions GROUP BY sendStatus"));
        const bool read = m_db.execute(q);
        while (read && q.next())
            counts.insert(q.value(0).toString(), q.value(1).toInt());
        q.finish();
        lock.relock();
        if (read && moves == m_countsMoves) { // else read again next time
            m_counts = counts;
            m_countsKnown = true;
        }
    }
    QVector<int> result;
    for (const QString &status : statuses)
        result.append(counts.value(status));
    return result;
}

void Database::countMoved(const QString &from, const QString &to)
{
    if (from == to)
        return;
    QMutexLocker lock(&m_countsMutex);
    ++m_countsMoves;
    if (!from.isEmpty())
        --m_counts[from];
    if (!to.isEmpty())
        ++m_counts[to];
}

bool Database::transCleanup(const QDateTime &before)
{
    QSqlQuery q = m_db.query(QStringLiteral("DELETE FROM Transactions WHERE sendDate IS NOT NULL AND sendDate < ? "
                                           "AND sendStatus = ?"));
    q.addBindValue(dateToDb(before));
    q.addBindValue(statusText(Transaction::SendStatus::Ok));
    if (!m_db.execute(q))
        return false;
    QMutexLocker lock(&m_countsMutex);
    ++m_countsMoves;
    m_countsKnown = false;
    return true;
}

} // namespace Backend
