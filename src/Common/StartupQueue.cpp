#include "Common/StartupQueue.h"

#include <QList>
#include <QPair>

namespace {
bool held = false;
QList<QPair<QPointer<QObject>, std::function<void()>>> waiting;
} // namespace

void StartupQueue::hold()
{
    held = true;
}

void StartupQueue::release()
{
    held = false;
    // Work may hand in more work: that runs at once.
    const auto work = std::exchange(waiting, {});
    for (const auto &item : work)
        if (item.first)
            item.second();
}

bool StartupQueue::isHeld()
{
    return held;
}

void StartupQueue::run(QObject *context, std::function<void()> work)
{
    if (held)
        waiting.append({QPointer<QObject>(context), std::move(work)});
    else
        work();
}
