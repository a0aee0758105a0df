#include "LogCapture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace {
LogCapture *g_current = nullptr;
QMutex g_currentMutex;
}

LogCapture::LogCapture(bool forward)
    : m_forward(forward)
{
    QMutexLocker l(&g_currentMutex);
    m_outer = g_current;
    g_current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    QMutexLocker l(&g_currentMutex);
    qInstallMessageHandler(m_previous);
    g_current = m_outer;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    QMutexLocker l(&g_currentMutex);
    for (LogCapture *c = g_current; c; c = c->m_outer) {
        QMutexLocker ll(&c->m_mutex);
        c->m_lines.append({type, msg, ctx.category});
    }
    LogCapture *top = g_current;
    if (top && top->m_forward) {
        LogCapture *last = top;
        while (last->m_outer)
            last = last->m_outer;
        if (last->m_previous)
            last->m_previous(type, ctx, msg);
        else
            fprintf(stderr, "%s\n", qPrintable(msg));
    }
}

QList<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker l(&m_mutex);
    return m_lines;
}

QStringList LogCapture::texts() const
{
    QStringList out;
    for (const auto &line : lines())
        out << line.text;
    return out;
}

QStringList LogCapture::texts(QtMsgType type) const
{
    QStringList out;
    for (const auto &line : lines())
        if (line.type == type)
            out << line.text;
    return out;
}

int LogCapture::count(const QString &exact) const
{
    int n = 0;
    for (const auto &line : lines())
        n += line.text == exact;
    return n;
}

int LogCapture::countContaining(const QString &part) const
{
    int n = 0;
    for (const auto &line : lines())
        n += line.text.contains(part);
    return n;
}

static bool waitUntil(const std::function<bool()> &cond, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

bool LogCapture::waitFor(const QString &exact, int timeoutMs) const
{
    return waitUntil([&] { return contains(exact); }, timeoutMs);
}

bool LogCapture::waitForPart(const QString &part, int timeoutMs) const
{
    return waitUntil([&] { return containsPart(part); }, timeoutMs);
}

void LogCapture::clear()
{
    QMutexLocker l(&m_mutex);
    m_lines.clear();
}
