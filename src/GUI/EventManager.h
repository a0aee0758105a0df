#pragma once
// The event log of the maintenance screens: the terminal's notable events, kept in
// "events.ini" beside the executable (the last 1000 are restored at start, entries
// 30 days old and older dropped), offered to QML newest first through a filter.
#include "Common/Log/Log.h"
#include "GUI/Event.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

Q_DECLARE_LOGGING_CATEGORY(eventManagerLogCategory)

class Config;

class EventManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(EventManager)
    Q_PROPERTY(QVariant data READ data NOTIFY dataChanged)

public:
    static constexpr int MaxEvents = 1000;
    static constexpr int KeepDays = 30;

    // fileName: the log file; by default "events.ini" in the executable's folder.
    EventManager(Config &config, QObject *parent = nullptr, const QString &fileName = QString());
    ~EventManager() override;

    QVariant data() const;
    int size() const { return m_events.size(); }
    QString fileName() const { return m_fileName; }

signals:
    void dataChanged();

public slots:
    // Takes ownership of the event.
    void push(Event *event);
    // Drops every entry whose time stamp is not later than before.
    void clear(const QDateTime &before);
    void clear();
    void applyFilter(const QString &name);
    void applyFilter(int severity);
    void applyFilter(const QDateTime &from, const QDateTime &to = QDateTime());
    void applyFilterPeriod(const QString &period);

private:
    void load();
    bool save();
    void update();
    void drop(Event *event);

    Config *m_config;
    QString m_fileName;
    bool m_loaded = false;     // the saved entries have been read
    QList<Event *> m_events;   // oldest first; owned
    QList<QObject *> m_filtered;
    int m_severity = 0;
    QString m_nameFilter;
    QDateTime m_from;
    QDateTime m_to;

private:
    static constexpr Log log{"[EventManager] ", eventManagerLogCategory};
};
