"""scripts/point_conf.py on a file: only the entries that name this run's peers change."""
import os
import subprocess
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "point_conf.py")
PEERS = ["8000", "5020", "https://127.0.0.1:4443", "/c", "https://127.0.0.1:4444", "http://127.0.0.1:4445",
         "http://127.0.0.2:1", "http://127.0.0.3:2", "http://127.0.0.4:3", "http://127.0.0.5:4"]
NEW = """[cameras]\nalpr1=http://127.0.0.2:1\nalpr2=http://127.0.0.3:2\nccr1=http://127.0.0.4:3\nccr2=http://127.0.0.5:4
serverPort=8000\n\n[barrier]\nurl=127.0.0.1:5020\n\n[card-bo]\nurl=https://127.0.0.1:4443\nrootCA=/c/ca.pem
pubCert=/c/client.pem\nprivKey=/c/client.key\n\n[esb]\nurl=https://127.0.0.1:4444\n\n[local]\nurl=http://127.0.0.1:4445
scaleId=SCALE-1\n\n[terminal]\ndeviceId=RUN-0001\ncustomsId=1\nlocationId=1\n"""
ESB = ("url=https://127.0.0.1:4444", "url=https://esb.example:8443")
# name, the file before (None: none) and its mode, the file after.
CASES = [
    ("a new file holds the pointed entries", None, 0, NEW),
    ("a comment and the line not read of a key written twice stay; the one read is pointed",
     "; lane 3\r\n" + NEW.replace("url=127.0.0.1:5020", "url = 127.0.0.1:9\n# spare\nurl=127.0.0.1:7\ntimeout=300"), 0o600,
     "; lane 3\r\n" + NEW.replace("url=127.0.0.1:5020", "url = 127.0.0.1:9\n# spare\nurl=127.0.0.1:5020\ntimeout=300")),
    ("another server stays, a missing entry goes under its section and a missing section at the end; "
     "a file others may read is narrowed, said once",
     NEW.replace(*ESB).replace("scaleId=SCALE-1\n", "").split("[terminal]")[0], 0o644, NEW.replace(*ESB)),
]


class PointConf(unittest.TestCase):
    def test_cases(self):
        for name, before, mode, after in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "gui.conf")
                if before is not None:
                    with open(path, "w", newline="") as f:
                        f.write(before)
                    os.chmod(path, mode)
                run = lambda: subprocess.run(["/usr/bin/python3", SCRIPT, path, "gui.conf"] + PEERS, check=True,
                                             capture_output=True, text=True).stdout
                said = run()
                with open(path, newline="") as f:
                    self.assertEqual(f.read(), after)
                self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
                self.assertEqual("mode 0644" in said, mode == 0o644, said)
                # A second start changes nothing: the file is not written, nothing is said.
                os.utime(path, ns=(10**18, 10**18))
                self.assertEqual(run(), "")
                self.assertEqual(os.stat(path).st_mtime_ns, 10**18)


if __name__ == "__main__":
    unittest.main()
