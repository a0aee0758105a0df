"""Shows the terminal's standard error on screen and keeps a copy in a file (scripts/run).

Usage: keep_log.py FILE [MAX_BYTES]   (the log on standard input until it ends)

The log is read on at once, whatever the screen and the file do: the terminal never waits on
them. Each gets the lines through a writer of its own with a bounded backlog:
- The screen gets what it can take. While it does not read (a paused terminal window, a
  stopped pager) the lines beyond its backlog are left out and counted, and one line says how
  many where they are missing, once it takes lines again. When the log ends while the screen
  still does not read, that line (counting the lines it never took) goes to standard output
  instead, for scripts/run to print at its end.
- The file gets every line. One that cannot be written (a full disk) is said once on screen and
  tried again every second; once it is written again that is said too. Lines that did not fit
  the backlog meanwhile are marked by one line in the file, where they are missing.
The copy is bounded: once it holds MAX_BYTES (default 4 MiB) it becomes FILE.1, in place of the
older copy, and a new FILE is begun; a FILE left by an earlier run becomes FILE.1 at the start.
"""
import collections
import os
import select
import signal
import sys
import threading
import time

SCREEN_BACKLOG = 256 << 10
FILE_BACKLOG = 16 << 20
RETRY_SECONDS = 1.0


def write(fd, data):
    while data:
        data = data[os.write(fd, data):]


class Writer:
    """Lines handed to a thread that writes them; handing one over never waits on the writing.
    Beyond `bound` bytes waiting, lines are left out and counted; `missing(n)` is the line put
    in their place before the next one that fits. `put(data, writer)` writes; one that writes in
    pieces sets `writer.unwritten` to the bytes of `data` it has not written yet."""

    def __init__(self, put, bound, missing):
        self.put, self.bound, self.missing = put, bound, missing
        # Each line waiting with the number of the log's lines it stands for: 1, the count of a
        # `missing` line, 0 for a line of our own.
        self.lines, self.size, self.left_out, self.ended = collections.deque(), 0, 0, False
        self.batch, self.unwritten = [], 0  # the lines being written, and what of them is not yet
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def offer(self, line, always=False):
        with self.cond:
            if not always and self.size + len(line) > self.bound:
                self.left_out += 1
                return
            if self.left_out:
                self._add(self.missing(self.left_out), self.left_out)
                self.left_out = 0
            self._add(line, 0 if always else 1)

    def _add(self, line, count):
        self.lines.append((line, count))
        self.size += len(line)
        self.cond.notify()

    def run(self):
        while True:
            with self.cond:
                while not self.lines and not self.ended:
                    self.cond.wait()
                if not self.lines:
                    return
                self.batch = list(self.lines)
                self.lines.clear()
                data = b"".join(line for line, _ in self.batch)
                self.unwritten = len(data)
            self.put(data, self)
            with self.cond:
                self.size -= len(data)
                self.batch, self.unwritten = [], 0

    def end(self, seconds):
        """No more lines: what was left out is said, what waits written for up to `seconds`.
        Returns how many of the log's lines did not get out by then: left out, waiting, or not
        wholly written."""
        with self.cond:
            if self.left_out:
                self._add(self.missing(self.left_out), self.left_out)
                self.left_out = 0
            self.ended = True
            self.cond.notify()
        self.thread.join(seconds)
        with self.cond:
            if not self.thread.is_alive():
                return 0
            count, rest = sum(n for _, n in self.lines), self.unwritten
            for line, n in reversed(self.batch):
                if rest <= 0:
                    break
                count, rest = count + n, rest - len(line)
            return count


def show(data, writer):
    """Writes to the screen; a screen that is gone does not end the copy. The pieces go whole
    or not at all (a pipe takes up to PIPE_BUF bytes at once), so that what is still unwritten
    is known when the screen stops reading."""
    try:
        while data:
            end = data.rfind(b"\n", 0, select.PIPE_BUF) + 1 or select.PIPE_BUF
            data = data[os.write(2, data[:end]):]
            writer.unwritten = len(data)
    except OSError:
        pass


class LogFile:
    """The bounded copy in a file, tried again while it cannot be written."""

    def __init__(self, path, limit, say):
        self.path, self.limit, self.say = path, limit, say
        self.fd, self.size = None, 0
        try:
            if os.path.exists(path):
                os.replace(path, path + ".1")
        except OSError:
            pass

    def put(self, data, writer=None):
        failed = False
        while True:
            try:
                if self.fd is None:
                    self.fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
                    self.size = os.fstat(self.fd).st_size
                while data:
                    n = os.write(self.fd, data)
                    data, self.size = data[n:], self.size + n
                if self.size >= self.limit:
                    os.close(self.fd)
                    self.fd = None
                    os.replace(self.path, self.path + ".1")
                if failed:
                    self.say(b"scripts/run: %s is written again.\n" % self.path.encode())
                return
            except OSError as e:
                if not failed:
                    self.say(b"scripts/run: %s cannot be written (%s); the terminal's log goes on on screen, "
                             b"the file is tried again every second.\n"
                             % (self.path.encode(), (e.strerror or str(e)).encode()))
                    failed = True
                time.sleep(RETRY_SECONDS)


def main():
    path = sys.argv[1]
    limit = int(sys.argv[2]) if len(sys.argv) > 2 else 4 << 20
    screen = Writer(show, SCREEN_BACKLOG, lambda n: b"scripts/run: %d lines of the terminal's log not shown here: "
                    b"the screen did not take them (%s has them).\n" % (n, path.encode()))
    log = LogFile(path, limit, lambda line: screen.offer(line, always=True))
    file = Writer(log.put, FILE_BACKLOG, lambda n: b"scripts/run: %d lines of the terminal's log missing here: "
                  b"this file could not be written.\n" % n)

    def stop(*_):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    rest = b""
    try:
        while True:
            chunk = os.read(0, 65536)
            if not chunk:
                break
            lines = (rest + chunk).split(b"\n")
            rest = lines.pop()
            if len(rest) >= 65536:  # a line that does not end is passed on in pieces
                lines.append(rest)
                rest = b""
            for line in lines:
                line += b"\n"
                screen.offer(line)
                file.offer(line)
    finally:
        # What is left is written and said even when the stop comes now, as it does once the
        # terminal is gone (scripts/run kills whatever is still running 5 s later).
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if rest:
            screen.offer(rest)
            file.offer(rest)
        file.end(10)
        unshown = screen.end(2)
        if unshown:  # the screen still does not read: its note goes where scripts/run prints it last
            sys.stdout.buffer.write(screen.missing(unshown))
            sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
