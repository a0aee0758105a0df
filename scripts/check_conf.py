"""Checks the terminal's configuration file before scripts/run starts anything.

Usage: check_conf.py FILE [SHOWN]   (SHOWN: the name to give the file in messages)

A line the terminal would skip (neither blank, a comment, a [section] nor key=value), a file
that cannot be read or written or is not UTF-8 text, and what scripts/run's own editing of the file could
not take are said in one line ("run/gui.conf line 35: ...") and end the check with status 1.
A key written twice is taken as the terminal takes it, the last one counting, and said once.
A file that does not exist is fine: the terminal writes one.
"""
import configparser
import os
import sys


def main():
    path = sys.argv[1]
    shown = sys.argv[2] if len(sys.argv) > 2 else path
    if not os.path.exists(path):
        return 0
    try:
        with open(path, "rb") as f:
            content = f.read()
    except OSError as e:
        print("%s: cannot be read (%s)" % (shown, e.strerror), file=sys.stderr)
        return 1
    if not os.access(path, os.W_OK):
        print("%s: cannot be written (scripts/run points it at this run's peers)" % shown, file=sys.stderr)
        return 1
    lines = content.split(b"\n")
    for number, raw in enumerate(lines, start=1):
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError:
            print("%s line %d: not UTF-8 text" % (shown, number), file=sys.stderr)
            return 1
    text = content.decode("utf-8")

    section = None
    seen = {}
    continued = False
    for number, raw in enumerate(text.split("\n"), start=1):
        line = raw.strip()
        continuation, continued = continued, line.endswith("\\")
        if continuation or not line or line[0] in ";#":
            continue
        if "=" not in line:
            if line.startswith("[") and line.endswith("]"):
                section = line[1:-1].strip()
                continue
            print("%s line %d: neither [section] nor key=value: %s" % (shown, number, line[:80]), file=sys.stderr)
            return 1
        if section is None:
            print("%s line %d: key=value before the first [section]" % (shown, number), file=sys.stderr)
            return 1
        key = section + "/" + line.split("=", 1)[0].strip()
        if key in seen:
            print("%s line %d: %s written again (first on line %d); the last one counts" % (shown, number, key, seen[key]),
                  file=sys.stderr)
        seen.setdefault(key, number)

    # What scripts/run reads and writes the file with.
    conf = configparser.ConfigParser(interpolation=None, strict=False)
    conf.optionxform = str
    try:
        conf.read_string(text)
    except configparser.Error as e:
        where = getattr(e, "lineno", None) or (e.errors[0][0] if getattr(e, "errors", None) else None)
        print("%s%s: %s" % (shown, " line %d" % where if where else "", e.message.splitlines()[0]), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
