#include "Backend/BlacklistUpdate.h"

#include "Backend/Database.h"
#include "Common/Http/HttpClient.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>

#include <algorithm>
#include <memory>

namespace Backend {

namespace {

// The uids of an answer's array, in order, so that each slice writes to one stretch of
// the table's index (uids in no order would rewrite most of it at every slice), packed
// into one text: the thread that writes them then frees two blocks, not a million.
BlacklistUpdate::Uids sortedUids(const QJsonValue &array)
{
    QStringList uids;
    for (const QJsonValue &uid : array.toArray())
        if (uid.isString() && !uid.toString().isEmpty())
            uids.append(uid.toString());
    std::sort(uids.begin(), uids.end());
    BlacklistUpdate::Uids packed;
    packed.ends.reserve(uids.size());
    for (const QString &uid : qAsConst(uids)) {
        packed.text += uid;
        packed.ends.append(packed.text.size());
    }
    return packed;
}

} // namespace

BlacklistUpdate::BlacklistUpdate(Database &database, HttpClient *client, const QUrl &url, int timeoutMs, QObject *parent)
    : QObject(parent)
    , m_database(database)
    , m_thread(m_worker.getThread())
    , m_client(client)
{
    m_slices.setInterval(0);
    connect(&m_slices, &QTimer::timeout, this, &BlacklistUpdate::writeSlice);
    m_worker.moveQObjectToThread(client);
    m_worker.execInThread([this, url, timeoutMs] { fetch(url, timeoutMs); });
    m_worker.quitThread();
}

BlacklistUpdate::~BlacklistUpdate()
{
    m_ending = true;
    if (m_thread) {
        m_thread->quit(); // also ends the wait for the answer
        m_thread->wait();
    }
    delete m_client.exchange(nullptr);
}

void BlacklistUpdate::fetch(const QUrl &url, int timeoutMs)
{
    const std::unique_ptr<HttpClient> client(m_client.exchange(nullptr)); // its requests end with it
    if (!client)
        return;
    QEventLoop loop;
    bool answered = false, ok = false;
    int status = 0;
    QJsonValue body;
    client->get(url, timeoutMs)
        .done([&](int s, const QJsonValue &b) {
            answered = ok = true;
            status = s;
            body = b;
            loop.quit();
        })
        .fail([&](int s, const QJsonValue &b) {
            answered = true;
            status = s;
            body = b;
            loop.quit();
        });
    if (!answered)
        loop.exec();
    if (!answered || m_ending)
        return;
    if (!ok) {
        QMetaObject::invokeMethod(this, [this, status, body] { emit failed(status, body); }, Qt::QueuedConnection);
        return;
    }
    Uids added, removed;
    readAnswer(body, &added, &removed);
    QMetaObject::invokeMethod(
        this,
        [this, status, added, removed] {
            m_added = added;
            m_removed = removed;
            emit received(status, m_added.size(), m_removed.size());
        },
        Qt::QueuedConnection);
}

void BlacklistUpdate::readAnswer(const QJsonValue &body, Uids *added, Uids *removed)
{
    const QJsonObject answer = body.toObject();
    *added = sortedUids(answer.value(QStringLiteral("added")));
    *removed = sortedUids(answer.value(QStringLiteral("removed")));
}

void BlacklistUpdate::apply()
{
    m_slices.start();
}

QStringList BlacklistUpdate::Uids::take(int n)
{
    QStringList uids;
    for (; next < ends.size() && uids.size() < n; ++next) {
        const int from = next ? ends[next - 1] : 0;
        uids.append(text.mid(from, ends[next] - from));
    }
    return uids;
}

void BlacklistUpdate::writeSlice()
{
    const QStringList added = m_added.take(SliceUids);
    const QStringList removed = m_removed.take(SliceUids - int(added.size()));
    const bool ok = m_database.blacklistUpdate(added, removed);
    if (ok && (m_added.next < m_added.size() || m_removed.next < m_removed.size()))
        return;
    m_slices.stop();
    const int uids = m_added.size() + m_removed.size();
    m_added = m_removed = Uids();
    emit applied(ok, uids);
}

} // namespace Backend
