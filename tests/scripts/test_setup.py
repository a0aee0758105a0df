"""A start on an unchanged tree builds nothing: scripts/setup configures only a build folder that is
not configured or whose arguments changed, and a configure writes no generated file whose content
stays the same (a new time stamp would build the product and every test program again). A tree that
lost a test folder stops the configure of every test folder, the first step of scripts/test."""
import os
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
# A quick configure: no tests, no benchmarks.
ARGS = ["-DZUKA_TEST_DIRS=none", "-DZUKA_BUILD_BENCH=OFF"]
CMAKE_OWN = ("Makefile", "CMakeCache.txt", "compile_commands.json")


def SETUP(root):
    return ["bash", "-c", '. "$0/scripts/common.sh"; configure_build "$@"', root]


def CMAKE(root):
    return ["cmake", "-S", root, "-B"]


def copy_tree(folder):
    """A copy of the source tree, without its build and run folders."""
    def skipped(at, names):
        return [n for n in names if at == ROOT and (n.startswith(("build", ".git")) or n == "run")]
    return shutil.copytree(ROOT, os.path.join(folder, "tree"), ignore=skipped)


def stamps(build, cmake_own):
    """Every file's time stamp; CMake's own records only with cmake_own."""
    found = {}
    for folder, _, files in os.walk(build):
        for name in files:
            path = os.path.join(folder, name)
            if cmake_own or not ("CMakeFiles" in path.split(os.sep) or name in CMAKE_OWN or name.endswith(".cmake")):
                found[path] = os.stat(path).st_mtime_ns
    return found


# name, a file the tree lacks (in a copy of it: the second configure stops), the second configure and
# its arguments, whether CMake's own records may change, the cache entry it leaves (or the error it
# stops with).
CASES = [
    ("scripts/setup again: no configure", None, SETUP, ARGS, False, "ZUKA_BUILD_BENCH:BOOL=OFF"),
    ("CMake again (a CMakeLists.txt changed): the generated files stay", None, CMAKE, [], True,
     "ZUKA_BUILD_BENCH:BOOL=OFF"),
    ("scripts/setup with another argument: configured with it", None, SETUP, ARGS[:1] + ["-DZUKA_BUILD_BENCH=ON"],
     True, "ZUKA_BUILD_BENCH:BOOL=ON"),
    ("a test folder's CMakeLists.txt lost: every test folder's configure stops", "tests/Models/CMakeLists.txt", SETUP,
     ["-DZUKA_TEST_DIRS="], True, "tests/Models: a listed test folder that is gone or has no CMakeLists.txt"),
    ("a test folder's only tests lost: every test folder's configure stops", "tests/Cameras/cameras.cmake", SETUP,
     ["-DZUKA_TEST_DIRS="], True, "tests/Cameras: a test folder that registers no test"),
]


class Setup(unittest.TestCase):
    def test_cases(self):
        for name, lost, second, args, cmake_own_change, entry in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                root, build = ROOT, os.path.join(folder, "build")
                if lost:
                    root = copy_tree(folder)
                    os.remove(os.path.join(root, lost))
                subprocess.run(SETUP(root) + [build] + ARGS, check=True, capture_output=True, timeout=90)
                before = stamps(build, not cmake_own_change)
                run = subprocess.run(second(root) + [build] + args, capture_output=True, text=True, timeout=90)
                if lost:
                    self.assertNotEqual(run.returncode, 0, "configured without " + lost)
                    self.assertIn(entry, " ".join(run.stderr.split()))
                    continue
                run.check_returncode()
                after = stamps(build, not cmake_own_change)
                self.assertEqual([p for p in before if after.get(p) != before[p]], [])
                with open(os.path.join(build, "CMakeCache.txt")) as cache:
                    self.assertIn(entry, cache.read().splitlines())


if __name__ == "__main__":
    unittest.main()
