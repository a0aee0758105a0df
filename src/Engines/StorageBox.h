#pragma once
// The count of cards the dispenser has dropped into its storage box, with the box's
// fill percentage, level word and full flag against the configured capacity. The count
// survives restarts in the application's settings store ("storageBox/count").
#include <QObject>
#include <QString>
#include <QVariantMap>

class Config;

class StorageBox : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(StorageBox)
    Q_PROPERTY(bool isFull READ isFull NOTIFY isFullChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(int capacity READ capacity NOTIFY capacityChanged)
    Q_PROPERTY(int levelPercent READ levelPercent NOTIFY levelPercentChanged)
    Q_PROPERTY(QString level READ level NOTIFY levelChanged)

public:
    explicit StorageBox(Config &config, QObject *parent = nullptr);

    int count() const { return m_count; }
    int levelPercent() const { return m_levelPercent; }
    bool isFull() const { return m_isFull; }
    QString level() const { return m_level; }
    int capacity() const;
    QString toString() const;

public slots:
    void incrCount(int value);
    void incrCount() { incrCount(1); }
    void resetCount() { update(0); }

signals:
    void isFullChanged();
    void countChanged();
    void capacityChanged();
    void levelPercentChanged();
    void levelChanged();

private:
    void update(int n);
    void save(int n);
    void onConfigChanged(const QVariantMap &changes);

    Config *m_config;
    int m_count = 0;
    int m_levelPercent = 0;
    bool m_isFull = false;
    QString m_level;
};
