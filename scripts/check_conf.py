"""Checks the terminal's configuration file before scripts/run starts anything.

Usage: check_conf.py FILE [SHOWN]   (SHOWN: the name to give the file in messages)

A line the terminal would skip (neither blank, a comment, a [section] nor key=value), a
key=value line before the first [section], and a file that cannot be read or written or is not
UTF-8 text are said in one line ("run/gui.conf line 35: ...") and end the check with status 1.
A key written twice is taken as the terminal takes it, the last one counting, and said once.
A file that does not exist is fine: the terminal writes one.
"""
import os
import sys


def settings_lines(text_lines):
    """The lines of a settings file as the terminal reads them: for each one that is not blank,
    a comment or the continuation of the line before (a line ending in a backslash goes on in
    the next), (kind, index of its first line, index of its last line, section, name, value)
    with kind "section" (a [section] line: section its name), "entry" (a key=value line in the
    section before it, None before the first; the value without surrounding blanks or quotes)
    or "other" (name: the line)."""
    section = None
    index = 0
    while index < len(text_lines):
        first = index
        line = text_lines[index].strip()
        while line.endswith("\\") and index + 1 < len(text_lines):
            index += 1
            line = line[:-1] + text_lines[index].strip()
        index += 1
        if not line or line[0] in ";#":
            continue
        if "=" in line:
            name, value = (part.strip() for part in line.split("=", 1))
            if len(value) > 1 and value[0] == value[-1] == '"':
                value = value[1:-1]
            yield "entry", first, index - 1, section, name, value
        elif line.startswith("[") and line.endswith("]"):
            section = line[1:-1].strip()
            yield "section", first, index - 1, section, None, None
        else:
            yield "other", first, index - 1, section, line, None


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

    seen = {}
    for kind, first, _, section, name, _ in settings_lines(text.split("\n")):
        number = first + 1
        if kind == "other":
            print("%s line %d: neither [section] nor key=value: %s" % (shown, number, name[:80]), file=sys.stderr)
            return 1
        if kind == "entry" and section is None:
            print("%s line %d: key=value before the first [section]" % (shown, number), file=sys.stderr)
            return 1
        if kind == "entry":
            key = section + "/" + name
            if key in seen:
                print("%s line %d: %s written again (first on line %d); the last one counts" % (shown, number, key, seen[key]),
                      file=sys.stderr)
            seen.setdefault(key, number)
    return 0


if __name__ == "__main__":
    sys.exit(main())
