#include "GUI/EventManager.h"

#include "Common/StartupQueue.h"

#include <QCoreApplication>
#include <QSettings>
#include <algorithm>

ZUKA_LOG_CATEGORY(eventManagerLogCategory, "gui.eventmanager")

EventManager::EventManager(Config &config, QObject *parent, const QString &fileName)
    : QObject(parent)
    , m_config(&config)
    , m_fileName(fileName.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/events.ini")
                                    : fileName)
{
    // Reading the saved entries can wait for the screen at start-up; entries pushed
    // meanwhile follow them.
    StartupQueue::run(this, [this] {
        load();
        clear(QDateTime::currentDateTime().addDays(-KeepDays));
        m_loaded = true;
    });
}

EventManager::~EventManager()
{
    qDeleteAll(m_events);
}

QVariant EventManager::data() const
{
    return QVariant::fromValue(m_filtered);
}

void EventManager::load()
{
    QSettings settings(m_fileName, QSettings::NativeFormat);
    const int n = settings.beginReadArray(QStringLiteral("events"));
    const int first = n >= MaxEvents ? n - MaxEvents : 0;
    log.info(QStringLiteral("Loading saved events : from=%1 to=%2").arg(first).arg(n));
    for (int i = first; i < n; ++i) {
        settings.setArrayIndex(i);
        m_events.append(new Event(settings.value(QStringLiteral("category")).toString(),
                                  settings.value(QStringLiteral("name")).toString(),
                                  settings.value(QStringLiteral("desc")).toString(),
                                  settings.value(QStringLiteral("timestamp")).toDateTime()));
    }
    settings.endArray();
}

bool EventManager::save()
{
    QSettings settings(m_fileName, QSettings::NativeFormat);
    settings.clear();
    settings.beginWriteArray(QStringLiteral("events"), m_events.size());
    for (int i = 0; i < m_events.size(); ++i) {
        const Event *event = m_events.at(i);
        settings.setArrayIndex(i);
        // The category is kept too, so that a restored entry is still filed under it.
        settings.setValue(QStringLiteral("category"), event->category());
        settings.setValue(QStringLiteral("name"), event->name());
        settings.setValue(QStringLiteral("desc"), event->description());
        settings.setValue(QStringLiteral("timestamp"), event->timestamp());
    }
    settings.endArray();
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        log.error("Failed to save events to : ", m_fileName);
        return false;
    }
    return true;
}

void EventManager::drop(Event *event)
{
    // Deleted once control returns to the event loop, so a view that still shows the
    // entry stays valid until then; with the manager at the latest.
    event->setParent(this);
    event->deleteLater();
}

void EventManager::push(Event *event)
{
    if (!event)
        return;
    if (!m_loaded) {
        event->setParent(this); // until it is pushed, or with the manager
        StartupQueue::run(this, [this, event] { push(event); });
        return;
    }
    event->setParent(nullptr);
    if (m_events.size() > MaxEvents)
        drop(m_events.takeFirst());
    m_events.append(event);
    save();
    update();
}

void EventManager::clear(const QDateTime &before)
{
    int count = 0;
    for (auto it = m_events.begin(); it != m_events.end();) {
        if ((*it)->timestamp() <= before) {
            drop(*it);
            it = m_events.erase(it);
            ++count;
        } else {
            ++it;
        }
    }
    log.info(QStringLiteral("Deleted %1 event(s) older than %2")
                 .arg(count)
                 .arg(before.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
    if (count != 0)
        save();
    update();
}

void EventManager::clear()
{
    if (m_events.isEmpty())
        return;
    for (Event *event : qAsConst(m_events))
        drop(event);
    m_events.clear();
    save();
    update();
}

void EventManager::update()
{
    m_filtered.clear();
    for (Event *event : qAsConst(m_events)) {
        const QDateTime t = event->timestamp();
        if (m_from.isValid() && t < m_from)
            continue;
        if (m_to.isValid() && m_to < t)
            continue;
        if (!m_nameFilter.isEmpty() && !event->name().contains(m_nameFilter, Qt::CaseInsensitive))
            continue;
        m_filtered.append(event);
    }
    std::sort(m_filtered.begin(), m_filtered.end(), [](QObject *a, QObject *b) {
        return static_cast<Event *>(a)->timestamp() > static_cast<Event *>(b)->timestamp();
    });
    emit dataChanged();
}

void EventManager::applyFilter(const QString &name)
{
    log.info("Filtering : name=", name);
    m_nameFilter = name;
    update();
}

void EventManager::applyFilter(int severity)
{
    log.info("Filtering : severity=", severity);
    m_severity = severity;
    update();
}

void EventManager::applyFilter(const QDateTime &from, const QDateTime &to)
{
    log.info("Filtering : from=", from.toString(Qt::TextDate), " to=", to.toString(Qt::TextDate));
    m_from = from;
    m_to = to;
    update();
}

void EventManager::applyFilterPeriod(const QString &period)
{
    log.info("Filtering (period) : ", period);
    const QDateTime now = QDateTime::currentDateTime();
    const QDate today = now.date();
    const QTime endOfDay(23, 59, 59);
    QDateTime from;
    QDateTime to;
    if (period == QLatin1String("Last hour")) {
        from = now.addSecs(-3600);
        to = now;
    } else if (period == QLatin1String("Last 2 hours")) {
        from = now.addSecs(-7200);
        to = now;
    } else if (period == QLatin1String("Last 5 hours")) {
        from = now.addSecs(-18000);
        to = now;
    } else if (period == QLatin1String("Today")) {
        from = QDateTime(today, QTime(0, 0));
        to = QDateTime(today, endOfDay);
    } else if (period == QLatin1String("Yesterday")) {
        from = QDateTime(today.addDays(-1), QTime(0, 0));
        to = QDateTime(today.addDays(-1), endOfDay);
    } else if (period == QLatin1String("Last week")) {
        from = QDateTime(today.addDays(-7), QTime(0, 0));
        to = now;
    } else if (period == QLatin1String("Last month")) {
        from = QDateTime(today.addMonths(-1), QTime(0, 0));
        to = now;
    }
    applyFilter(from, to);
}
