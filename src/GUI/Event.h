#pragma once
// One entry of the event log: category, name, description and local time stamp. An event
// does not change once built; its notify signals exist for QML bindings only.
#include <QDateTime>
#include <QObject>
#include <QString>

class Event : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Event)
    Q_PROPERTY(QString category READ category NOTIFY categoryChanged)
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
    Q_PROPERTY(QString description READ description NOTIFY descriptionChanged)
    Q_PROPERTY(QDateTime timestamp READ timestamp NOTIFY timestampChanged)

public:
    explicit Event(QObject *parent = nullptr);
    Event(const QString &category, const QString &name, const QString &description,
          const QDateTime &timestamp, QObject *parent = nullptr);

    QString category() const { return m_category; }
    QString name() const { return m_name; }
    QString description() const { return m_description; }
    QDateTime timestamp() const { return m_timestamp; }

signals:
    void categoryChanged();
    void nameChanged();
    void descriptionChanged();
    void timestampChanged();

private:
    QString m_category;
    QString m_name;
    QString m_description;
    QDateTime m_timestamp;
};

// The maintenance login and logout events.
class EventLogin : public Event
{
    Q_OBJECT
    Q_DISABLE_COPY(EventLogin)
public:
    using Event::Event;
};

class EventLogout : public Event
{
    Q_OBJECT
    Q_DISABLE_COPY(EventLogout)
public:
    using Event::Event;
};
