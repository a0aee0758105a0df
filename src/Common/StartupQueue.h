#pragma once
// Start-up work that the first look of the screen need not wait for (reading the system
// clock's settings through its tools, for example). While the program holds the queue,
// from before it builds its objects until its window has shown its first frame, work
// handed in waits; otherwise, and once the queue is released, it runs at once, in the
// order given. Main thread only.
#include <QObject>
#include <QPointer>

#include <functional>

class StartupQueue
{
public:
    static void hold();
    // Runs what waits (the work of objects that are gone is dropped).
    static void release();
    static bool isHeld();
    // Runs work now, or on release while context still exists.
    static void run(QObject *context, std::function<void()> work);
};
