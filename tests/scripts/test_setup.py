"""A start on an unchanged tree builds nothing: scripts/setup configures only a build folder that is
not configured or whose arguments changed, and a configure writes no generated file whose content
stays the same (a new time stamp would build the product and every test program again)."""
import os
import subprocess
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
# A quick configure: no tests, no benchmarks.
ARGS = ["-DZUKA_TEST_DIRS=none", "-DZUKA_BUILD_BENCH=OFF"]
SETUP = ["bash", "-c", '. "$0/scripts/common.sh"; configure_build "$@"', ROOT]
CMAKE = ["cmake", "-S", ROOT, "-B"]
CMAKE_OWN = ("Makefile", "CMakeCache.txt", "compile_commands.json")


def stamps(build, cmake_own):
    """Every file's time stamp; CMake's own records only with cmake_own."""
    found = {}
    for folder, _, files in os.walk(build):
        for name in files:
            path = os.path.join(folder, name)
            if cmake_own or not ("CMakeFiles" in path.split(os.sep) or name in CMAKE_OWN or name.endswith(".cmake")):
                found[path] = os.stat(path).st_mtime_ns
    return found


# name, the second configure and its arguments, whether CMake's own records may change, the
# cache entry it leaves.
CASES = [
    ("scripts/setup again: no configure", SETUP, ARGS, False, "ZUKA_BUILD_BENCH:BOOL=OFF"),
    ("CMake again (a CMakeLists.txt changed): the generated files stay", CMAKE, [], True, "ZUKA_BUILD_BENCH:BOOL=OFF"),
    ("scripts/setup with another argument: configured with it", SETUP, ARGS[:1] + ["-DZUKA_BUILD_BENCH=ON"], True,
     "ZUKA_BUILD_BENCH:BOOL=ON"),
]


class Setup(unittest.TestCase):
    def test_cases(self):
        for name, second, args, cmake_own_change, entry in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as build:
                subprocess.run(SETUP + [build] + ARGS, check=True, capture_output=True, timeout=90)
                before = stamps(build, not cmake_own_change)
                subprocess.run(second + [build] + args, check=True, capture_output=True, timeout=90)
                after = stamps(build, not cmake_own_change)
                self.assertEqual([p for p in before if after.get(p) != before[p]], [])
                with open(os.path.join(build, "CMakeCache.txt")) as cache:
                    self.assertIn(entry, cache.read().splitlines())


if __name__ == "__main__":
    unittest.main()
