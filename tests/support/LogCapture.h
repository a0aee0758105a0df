#pragma once
// Collects every log line the process writes while an instance is alive, so tests
// can assert the exact texts. Lines are still forwarded to the previous handler.
#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture
{
public:
    struct Line {
        QtMsgType type;
        QString text;
        QByteArray category;
    };

    explicit LogCapture(bool forward = true);
    ~LogCapture();

    QList<Line> lines() const;
    QStringList texts() const;
    QStringList texts(QtMsgType type) const;
    // Number of captured lines equal to / containing the text.
    int count(const QString &exact) const;
    int countContaining(const QString &part) const;
    bool contains(const QString &exact) const { return count(exact) > 0; }
    bool containsPart(const QString &part) const { return countContaining(part) > 0; }
    // Waits (running the event loop) until a line equal to text was captured.
    bool waitFor(const QString &exact, int timeoutMs = 15000) const;
    bool waitForPart(const QString &part, int timeoutMs = 15000) const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg);
    mutable QMutex m_mutex;
    QList<Line> m_lines;
    bool m_forward;
    QtMessageHandler m_previous = nullptr;
    LogCapture *m_outer = nullptr;
};
