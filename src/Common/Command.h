#pragma once
// A system command run to its end on the calling thread, its standard output collected.
// The child is started with posix_spawn, which lends it the parent's memory until its
// exec. QProcess forks, copying the page tables of this whole process and then taking a
// fault at each page the parent writes next: over a millisecond of the main thread per
// command, and the clock runs two every ten seconds.
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Command {

enum class Outcome { Finished, FailedToStart, TimedOut, Crashed };

struct Result
{
    Outcome outcome = Outcome::FailedToStart;
    int exitCode = -1;   // when Finished
    QByteArray output;   // standard output, as far as it was read
};

// Runs program (looked up on PATH when it has no slash) with args, no shell. Standard
// input and error are /dev/null. A command still running after msec is killed and
// reaped, and is TimedOut. One whose end cannot be learnt (it was reaped elsewhere) is
// Crashed: it is not known to have succeeded.
Result run(const QString &program, const QStringList &args, int msec);

} // namespace Command
