"""Shows the terminal's standard error on screen and keeps a copy in a file (scripts/run).

Usage: keep_log.py FILE [MAX_BYTES]   (the log on standard input until it ends)

The log is read on at once, whatever the screen and the file do: the terminal never waits on
them. Each gets the lines through a writer of its own with a bounded backlog:
- The screen gets what it can take. While it does not read (a paused terminal window, a
  stopped pager) the lines beyond its backlog are left out and counted, and one line says how
  many where they are missing, once it takes lines again.
- The file gets every line. One that cannot be written (a full disk) is said once on screen and
  tried again every second; once it is written again that is said too. Lines that did not fit
  the backlog meanwhile are marked by one line in the file, where they are missing.
The copy is bounded: once it holds MAX_BYTES (default 4 MiB) it becomes FILE.1, in place of the
older copy, and a new FILE is begun; a FILE left by an earlier run becomes FILE.1 at the start.
"""
import collections
import os
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
    in their place before the next one that fits."""

    def __init__(self, put, bound, missing):
        self.put, self.bound, self.missing = put, bound, missing
        self.lines, self.size, self.left_out, self.ended = collections.deque(), 0, 0, False
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def offer(self, line, always=False):
        with self.cond:
            if not always and self.size + len(line) > self.bound:
                self.left_out += 1
                return
            if self.left_out:
                self._add(self.missing(self.left_out))
                self.left_out = 0
            self._add(line)

    def _add(self, line):
        self.lines.append(line)
        self.size += len(line)
        self.cond.notify()

    def run(self):
        while True:
            with self.cond:
                while not self.lines and not self.ended:
                    self.cond.wait()
                if not self.lines:
                    return
                data = b"".join(self.lines)
                self.lines.clear()
            self.put(data)
            with self.cond:
                self.size -= len(data)

    def end(self, seconds):
        """No more lines: what was left out is said, what waits written for up to `seconds`."""
        with self.cond:
            if self.left_out:
                self._add(self.missing(self.left_out))
                self.left_out = 0
            self.ended = True
            self.cond.notify()
        self.thread.join(seconds)


def show(data):
    """Writes to the screen; a screen that is gone does not end the copy."""
    try:
        write(2, data)
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

    def put(self, data):
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
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        if rest:
            screen.offer(rest)
            file.offer(rest)
        file.end(10)
        screen.end(2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
