"""Checks scripts/run's port variables and the options it hands to the terminal, before anything
starts: what is wrong is said in one line each, and the exit status is 1.

Usage: check_args.py [terminal options...]   (the variables from the environment)

The options are read as the terminal reads them: short ones may be run together ("-ec") and
take their value joined or as the next argument ("-P1883", "-P 1883"), long ones as
"--port=1883" or "--port 1883"; "--" ends the options, and arguments that are not options are
ignored. The terminal's -P/--port must be a port and its -H/--host not empty.
"""
import os
import re
import shlex
import sys

NOT_A_PORT = "is not a port (a number 1-65535)"
PORT_VARIABLES = ["MQTT_PORT", "CAMERA_SERVER_PORT", "BARRIER_PORT", "BARRIER_CONTROL_PORT", "CAMERA_PORT"]
# The terminal's options: short name, long name, whether it takes a value.
OPTIONS = [("h", "help", False), ("V", "version", False), ("v", "verbose", True), ("e", "stderr", False),
           ("c", "color", False), ("f", "config", True), ("H", "host", True), ("P", "port", True),
           ("u", "username", True), ("p", "password", True)]
LONG = {name: long for short, long, _ in OPTIONS for name in (short, long)}
TAKES_VALUE = {long for _, long, value in OPTIONS if value}


def is_port(text, terminal=False):
    """A number 1-65535; the terminal also reads one with blanks around it or a plus sign."""
    text = text.strip() if terminal else text
    return re.fullmatch(r"\+?[0-9]+" if terminal else r"[0-9]+", text) is not None and 1 <= int(text) <= 65535


def option_faults(args):
    """What is wrong with the terminal's options, each said once."""
    faults, values, i = [], {}, 0
    while i < len(args):
        arg, i = args[i], i + 1
        if arg == "--":
            break
        if arg.startswith("--"):
            name, joined, value = arg[2:].partition("=")
            found = [(name, "--" + name, value if joined else None)]
        elif arg.startswith("-") and arg != "-":
            found = []  # run together: the first that takes a value takes the rest
            for pos, name in enumerate(arg[1:], 1):
                takes = LONG.get(name) in TAKES_VALUE
                found.append((name, "-" + name, (arg[pos + 1:] or None) if takes else None))
                if takes:
                    break
        else:
            continue
        for name, shown, value in found:
            if name not in LONG:
                faults.append("unknown option %s (scripts/run -h lists the terminal's options)" % shlex.quote(shown[:200]))
            elif LONG[name] not in TAKES_VALUE:
                if value is not None:
                    faults.append("the option %s takes no value" % shown)
            elif value is None and i == len(args):
                faults.append("the option %s needs a value" % shown)
            else:
                if value is None:
                    value, i = args[i], i + 1
                values[LONG[name]] = (shown, value)
    if "port" in values and not is_port(values["port"][1], terminal=True):
        faults.append("the option %s %s %s" % (values["port"][0], shlex.quote(values["port"][1][:200]), NOT_A_PORT))
    if "host" in values and not values["host"][1].strip():
        faults.append("the option %s %s is empty (the broker's host name or address)"
                      % (values["host"][0], shlex.quote(values["host"][1])))
    return list(dict.fromkeys(faults))


def main():
    faults = ["%s=%s %s" % (name, shlex.quote(os.environ[name][:200]), NOT_A_PORT)
              for name in PORT_VARIABLES if os.environ.get(name, "") != "" and not is_port(os.environ[name])]
    faults += option_faults(sys.argv[1:])
    for line in faults:
        print("scripts/run: " + line + ".", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
