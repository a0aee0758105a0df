"""Points the terminal's configuration file at this run's simulated peers (scripts/run).

Usage: point_conf.py FILE SHOWN CAMERA_SERVER_PORT BARRIER_PORT BACKOFFICE_URL CERT_DIR ESB_URL
                     LOCAL_URL ALPR1_URL ALPR2_URL CCR1_URL CCR2_URL
(SHOWN: the name to give the file in messages; the file has passed check_conf.py.)

An entry that names one of the simulated peers (empty, or on the loopback addresses as this
script writes them) is set to this run's value in its own line; a missing one is added at the
end of its section, a missing section at the end of the file. Of a key written twice the last
one is pointed, the one the terminal reads. Comments, blank lines, order and every other line
stay as written, and a file whose content would not change is not written. The file holds the
broker password, the PIN and passwords in URLs: one that the group or others may read is
narrowed to 0600, said in one line.
"""
import os
import stat
import sys

from check_conf import settings_lines


def wanted(current, server_port, barrier, backoffice, certs, esb, local, cameras):
    """The entries to set, "section/name": value, from the current ones."""
    get = lambda key: current.get(key, "")
    want = {}
    # The simulated cameras (127.0.0.2-5, their ports new with each run) unless others are named.
    for n, (role, url) in enumerate(zip(["alpr1", "alpr2", "ccr1", "ccr2"], cameras), start=2):
        if not get("cameras/" + role) or get("cameras/" + role).startswith("http://127.0.0.%d:" % n):
            want["cameras/" + role] = url
    want["cameras/serverPort"] = server_port
    if not get("barrier/url") or get("barrier/url").startswith("127.0.0.1:"):
        want["barrier/url"] = "127.0.0.1:" + barrier
    # The card back office: the simulated one (its address changes with each run) and, unless
    # the configuration names its own, the identity and certificates of a test terminal.
    if not get("card-bo/url") or get("card-bo/url").startswith("https://127.0.0.1:"):
        want["card-bo/url"] = backoffice
        want["card-bo/rootCA"] = certs + "/ca.pem"
        want["card-bo/pubCert"] = certs + "/client.pem"
        want["card-bo/privKey"] = certs + "/client.key"
    # The service bus and the weighbridge: the simulated ones unless others are named.
    for section, url in (("esb", esb), ("local", local)):
        if not get(section + "/url") or get(section + "/url").startswith(("https://127.0.0.1:", "http://127.0.0.1:")):
            want[section + "/url"] = url
    if not get("local/scaleId"):
        want["local/scaleId"] = "SCALE-1"
    for name, value, default in (("deviceId", "RUN-0001", "/etc/serialnumber"), ("customsId", "1", "/etc/customsId"),
                                 ("locationId", "1", "/etc/locationId")):
        key = "terminal/" + name
        if not get(key) or (get(key) == default and not os.path.exists(default)):
            want[key] = value
    return {key: value for key, value in want.items() if current.get(key) != value}


def main():
    path, shown = sys.argv[1:3]
    try:
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
    except FileNotFoundError:
        text = None
    # Lines as the terminal splits them, each with its own ending.
    content = [line + "\n" for line in (text or "").split("\n")]
    content[-1] = content[-1][:-1]
    content = content[:-1] if not content[-1] else content
    current, where, section_end = {}, {}, {}
    for kind, first, last, section, name, value in settings_lines(content):
        if kind == "entry":
            current[section + "/" + name] = value  # the terminal reads the last one
            where[section + "/" + name] = (first, last)
        if kind in ("entry", "section"):
            section_end[section] = last
    changes = wanted(current, *sys.argv[3:9], sys.argv[9:13])

    # Each change in place of the line the terminal reads, or after its section's last entry.
    replaced, added, new_sections = {}, {}, {}
    for key, value in changes.items():
        section, name = key.split("/", 1)
        if key in where:
            first, last = where[key]
            line = content[first]
            value_at = line.index("=") + 1
            value_at += len(line[value_at:]) - len(line[value_at:].lstrip(" \t"))
            ending = content[last][len(content[last].rstrip("\r\n")):]
            replaced[first] = (last, line[:value_at] + value + ending)
        elif section in section_end:
            added.setdefault(section_end[section], []).append("%s=%s\n" % (name, value))
        else:
            new_sections.setdefault(section, []).append("%s=%s\n" % (name, value))
    out, index = [], 0
    while index < len(content):
        if index in replaced:
            last, line = replaced[index]
            out.append(line)
            index = last + 1
        else:
            out.append(content[index])
            index += 1
        if added.get(index - 1):
            if not out[-1].endswith("\n"):
                out[-1] += "\n"
            out.extend(added[index - 1])
    for section, entries in new_sections.items():
        if out and not out[-1].endswith("\n"):
            out[-1] += "\n"
        if out and out[-1].strip():
            out.append("\n")
        out.append("[%s]\n" % section)
        out.extend(entries)

    if text is not None:
        mode = stat.S_IMODE(os.stat(path).st_mode)
        if mode & 0o077:
            os.chmod(path, 0o600)
            print("%s: mode %04o let the group or others read it; narrowed to 0600 (it holds passwords and the PIN)."
                  % (shown, mode))
    if "".join(out) != text:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            f.write("".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
