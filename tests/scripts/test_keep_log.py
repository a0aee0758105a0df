"""scripts/keep_log.py with a screen that does not read: the log is read on, the file gets every line,
and every line the screen did not show is counted, also when the log ends while it still does not read."""
import os
import subprocess
import tempfile
import threading
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "keep_log.py")
LINES = [b"[Terminal] line %06d %s\n" % (i, b"x" * 80) for i in range(40000)]  # 4 MiB, far beyond any pipe


class KeepLog(unittest.TestCase):
    def test_screen_that_does_not_read(self):
        for reads_again in (True, False):
            with self.subTest(reads_again=reads_again), tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "terminal.log")
                keeper = subprocess.Popen(["/usr/bin/python3", SCRIPT, path, str(64 << 20)], stdin=subprocess.PIPE,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    writer = threading.Thread(target=keeper.stdin.writelines, args=(LINES,), daemon=True)
                    writer.start()
                    writer.join(30)
                    self.assertFalse(writer.is_alive(), "the log's writer is held by a screen that does not read")
                    keeper.stdin.close()  # the log ends
                    if reads_again:  # the screen reads again: what it missed is counted there
                        screen = keeper.stderr.read()
                    self.assertEqual(keeper.wait(60), 0)
                    if not reads_again:  # it never did: the count comes at the end, on standard output
                        screen = keeper.stderr.read()
                    end = keeper.stdout.read()
                finally:
                    keeper.kill()
                    keeper.stdout.close()
                    keeper.stderr.close()
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), b"".join(LINES))
                screen = screen[:screen.rfind(b"\n") + 1].splitlines()  # a line cut short was not shown
                said = [int(line.split()[1]) for line in screen + end.splitlines() if line.startswith(b"scripts/run: ")]
                self.assertEqual(len(screen) + len(end.splitlines()) - len(said) + sum(said), len(LINES))
                self.assertTrue(said, "nothing said of the lines not shown")
                self.assertEqual(bool(end), not reads_again)


if __name__ == "__main__":
    unittest.main()
