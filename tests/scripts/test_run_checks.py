"""scripts/run refuses a port variable that is not a port and the terminal's options it would not
take, one line each, before anything is built or started."""
import os
import subprocess
import tempfile
import unittest

RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "run")
UNKNOWN = "scripts/run: unknown option %s (scripts/run -h lists the terminal's options)."
# name, variables, arguments, the lines said.
CASES = [
    ("port variables", {"MQTT_PORT": "abc", "CAMERA_SERVER_PORT": "0", "BARRIER_PORT": "99999", "CAMERA_PORT": "8000"},
     [], ["scripts/run: MQTT_PORT=abc is not a port (a number 1-65535).",
          "scripts/run: CAMERA_SERVER_PORT=0 is not a port (a number 1-65535).",
          "scripts/run: BARRIER_PORT=99999 is not a port (a number 1-65535)."]),
    ("options as the terminal reads them: run together, joined, the last value counting, none after --", {},
     ["-ecv", "abc", "-Hhost", "--host= ", "-P", "1", "--port", "99999", "-x", "--colour", "--stderr=1", "--", "-y"],
     [UNKNOWN % "-x", UNKNOWN % "--colour", "scripts/run: the option --stderr takes no value.",
      "scripts/run: the option --port 99999 is not a port (a number 1-65535).",
      "scripts/run: the option --host ' ' is empty (the broker's host name or address)."]),
    ("a value missing", {"MQTT_PORT": "1883"}, ["-f", "gui.conf", "-ecP"], ["scripts/run: the option -P needs a value."]),
]


class RunChecks(unittest.TestCase):
    def test_cases(self):
        for name, variables, args, said in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                # A build folder that cannot be made: a run that got past the checks stops at once.
                env = {k: v for k, v in os.environ.items() if not k.endswith("_PORT")}
                env.update(variables, RUN_DIR=os.path.join(folder, "run"), BUILD_DIR=os.path.join(folder, "file"))
                open(env["BUILD_DIR"], "w").close()
                run = subprocess.run(["bash", RUN] + args, env=env, capture_output=True, text=True, timeout=60)
                self.assertEqual((run.returncode, run.stderr.splitlines(), run.stdout), (1, said, ""))
                self.assertFalse(os.path.exists(env["RUN_DIR"]), "started before the checks")


if __name__ == "__main__":
    unittest.main()
