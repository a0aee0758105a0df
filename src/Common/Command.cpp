#include "Common/Command.h"

#include <QElapsedTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace Command {

namespace {

// How often a command whose output is still open is checked for having ended: a
// grandchild may hold the pipe after the command itself is gone.
const int ExitCheckMs = 10;

void readAvailable(int fd, QByteArray *out, bool *eof)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out->append(buffer, int(n));
            continue;
        }
        if (n == 0)
            *eof = true;
        else if (errno == EINTR)
            continue;
        return;
    }
}

// Reaps pid if it has ended; true then, with its status. A child that cannot be waited
// for (ECHILD: something else reaped it) has ended too, but its status is unknown: *lost.
bool reaped(pid_t pid, int *status, bool *lost)
{
    pid_t got;
    do
        got = ::waitpid(pid, status, WNOHANG);
    while (got < 0 && errno == EINTR);
    *lost = got < 0;
    return got == pid || got < 0;
}

} // namespace

Result run(const QString &program, const QStringList &args, int msec)
{
    Result result;
    std::vector<QByteArray> words;
    words.push_back(program.toLocal8Bit());
    for (const QString &arg : args)
        words.push_back(arg.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    // Only the reading end is non-blocking: the command's standard output blocks, as usual.
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    posix_spawn_file_actions_t files;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_init(&attributes);
    // The child starts with no signal blocked and with broken pipes ending it, as a
    // command run from a shell does.
    sigset_t none, pipeSignal;
    sigemptyset(&none);
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &pipeSignal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return result;
    }

    QElapsedTimer clock;
    clock.start();
    int status = 0;
    bool eof = false, ended = false, lost = false;
    for (;;) {
        const int slice = int(qBound<qint64>(0, msec - clock.elapsed(), eof ? 1 : ExitCheckMs));
        if (eof) {
            ::poll(nullptr, 0, slice); // output closed: the command is ending
        } else {
            pollfd output{pipeFds[0], POLLIN, 0};
            if (::poll(&output, 1, slice) > 0)
                readAvailable(pipeFds[0], &result.output, &eof);
        }
        // The bound is checked after the look: a command that ended while this thread
        // waited for the processor has not timed out.
        ended = reaped(pid, &status, &lost);
        if (ended || clock.elapsed() >= msec)
            break;
    }
    if (ended && !eof)
        readAvailable(pipeFds[0], &result.output, &eof);
    ::close(pipeFds[0]);

    if (!ended) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.outcome = Outcome::TimedOut;
        return result;
    }
    if (!lost && WIFEXITED(status)) {
        result.outcome = Outcome::Finished;
        result.exitCode = WEXITSTATUS(status);
    } else {
        result.outcome = Outcome::Crashed;
    }
    return result;
}

} // namespace Command
