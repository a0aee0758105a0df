#pragma once
// A blacklist from the card back office brought into the local store without holding up
// the lane's thread. The answer (up to a million uids) is fetched and read on a worker
// thread of its own; its uids are then written on the thread that made the update, a
// slice at a time, each slice one transaction, the event loop running between slices, so
// that the lane's own writes go on meanwhile. A reader may meet the list half written;
// the version, which the owner stores once every slice is in, tells a whole one.
#include "Deferred/ThreadWorker.h"

#include <QJsonValue>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <atomic>

class HttpClient;
class QThread;

namespace Backend {

class Database;

class BlacklistUpdate : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(BlacklistUpdate)

public:
    // Uids written in one slice: a few milliseconds of the thread.
    static constexpr int SliceUids = 2000;

    // Fetches the list from url with the client, configured: the client goes to the
    // worker and ends there (with the update, when this ends before the fetch began).
    BlacklistUpdate(Database &database, HttpClient *client, const QUrl &url, int timeoutMs, QObject *parent = nullptr);
    // A fetch under way is dropped; the worker is waited for.
    ~BlacklistUpdate() override;

    // Writes the list received, a slice at a time.
    void apply();

    // Uids one after the other in one text, each ending where ends says.
    struct Uids
    {
        QString text;
        QVector<int> ends;
        int next = 0; // the first not yet taken
        int size() const { return int(ends.size()); }
        QStringList take(int n);
    };
    // The uids to add and to remove that an answer names, each list sorted.
    static void readAnswer(const QJsonValue &body, Uids *added, Uids *removed);

signals:
    // The request failed, as the client answered.
    void failed(int status, QJsonValue body);
    // The answer is in: the uids to add and to remove.
    void received(int status, int added, int removed);
    // Every slice written (uids of them), or (not ok) one that could not be.
    void applied(bool ok, int uids);

private:
    // On the worker.
    void fetch(const QUrl &url, int timeoutMs);
    void writeSlice();

    Database &m_database;
    ThreadWorker m_worker;
    QPointer<QThread> m_thread;
    std::atomic<bool> m_ending{false};
    // The client, until the fetch takes it (an update ended before its fetch began frees it).
    std::atomic<HttpClient *> m_client;
    Uids m_added;
    Uids m_removed;
    QTimer m_slices;
};

} // namespace Backend
