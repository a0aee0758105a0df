#pragma once
// The terminal's card content: status, issuing customs office, usage counter
// and the usage log. Entries read from a card and entries added since are kept
// apart: a write carries only the new ones.
#include "Models/Card.h"

#include <QDateTime>
#include <QList>

class ZUKAv1Card : public Card
{
public:
    struct _Usage {
        QString type;
        QString deviceId;
        QString locationId;
        QDateTime timestamp;
        int usageCounter = 0;

        QJsonObject toJson() const;
        _Usage &fromJson(const QJsonObject &json);
    };

    // Template name of this format ("ZUKAv1").
    static const QString Name;
    // Form of a usage time stamp on the card: local time, no fraction, no zone.
    static const QString TimestampFormat;

    ZUKAv1Card();
    ~ZUKAv1Card() override;

    static QSharedPointer<ZUKAv1Card> fromJson(const QJsonObject &card);

    QJsonObject data() const override;
    void setData(const QJsonObject &data) override;

    const QString &status() const { return m_status; }
    void setStatus(const QString &status) { m_status = status; }
    int customsId() const { return m_customsId; }
    void setCustomsId(int id) { m_customsId = id; }
    int usageCounter() const { return m_usageCounter; }
    void incrUsageCounter(int n);

    void addUsageLog(const QString &type, const QString &deviceId, const QString &locationId);
    void addUsageLog(const _Usage &usage);
    const QList<_Usage> &usageLogs() const { return m_usageLogs; }
    const QList<_Usage> &newUsageLogs() const { return m_newUsageLogs; }
    const _Usage *lastUsage() const;

private:
    QString m_status = QStringLiteral("available");
    int m_customsId = 0;
    int m_usageCounter = 0;
    QList<_Usage> m_usageLogs;
    QList<_Usage> m_newUsageLogs;
};

Q_DECLARE_METATYPE(QSharedPointer<ZUKAv1Card>)
