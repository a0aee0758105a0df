"""Shows the terminal's standard error on screen and keeps a copy in a file (scripts/run).

Usage: keep_log.py FILE [MAX_BYTES]   (the log on standard input until it ends)

The copy is bounded: once it holds MAX_BYTES (default 4 MiB) it becomes FILE.1, in place of
the older copy, and a new FILE is begun; a FILE left by an earlier run becomes FILE.1 at the
start. A file that cannot be written is said once and the log goes on on screen only: reading
never stops, so the terminal never waits on the file, and an error of the screen or the file
does not end the copy.
"""
import os
import sys


def write(fd, data):
    while data:
        data = data[os.write(fd, data):]


def show(data):
    """Writes to the screen; a screen that is gone does not end the copy."""
    try:
        write(2, data)
    except OSError:
        pass


def begin(path):
    """A new log file; the one before it is kept as FILE.1."""
    if os.path.exists(path):
        os.replace(path, path + ".1")
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644)


def main():
    path = sys.argv[1]
    limit = int(sys.argv[2]) if len(sys.argv) > 2 else 4 << 20
    log, size = None, 0

    def lost(e):
        show(b"scripts/run: %s cannot be written (%s); the terminal's log goes on on screen only.\n"
             % (path.encode(), (e.strerror or str(e)).encode()))

    try:
        log = begin(path)
    except OSError as e:
        lost(e)
    while True:
        chunk = os.read(0, 65536)
        if not chunk:
            return 0
        show(chunk)
        if log is None:
            continue
        try:
            write(log, chunk)
            size += len(chunk)
            if size >= limit:
                os.close(log)
                log = None
                log, size = begin(path), 0
        except OSError as e:
            if log is not None:
                os.close(log)
            log = None
            lost(e)


if __name__ == "__main__":
    sys.exit(main())
