#!/usr/bin/env python3
"""The release number stated everywhere agrees with the one in CMakeLists.txt.

Environment: VASQ_RELEASE (the project's version), VASQ_SOURCE, VASQ_BUILD,
VASQ_LIBRARY, VASQCTL, VASQ_SIM.
"""
import ctypes
import os
import re
import subprocess
import sys
import unittest

RELEASE = os.environ["VASQ_RELEASE"]
SOURCE = os.environ["VASQ_SOURCE"]
BUILD = os.environ["VASQ_BUILD"]


def read(*parts):
    with open(os.path.join(*parts), encoding="utf-8") as f:
        return f.read()


def output(*command):
    return subprocess.run(command, capture_output=True, text=True, timeout=20, check=True).stdout


class Derived(unittest.TestCase):
    """What the build makes from the one number."""

    def test_library_states_the_release_and_keeps_the_interface_text(self):
        library = ctypes.CDLL(os.environ["VASQ_LIBRARY"])
        library.VasqGetVersion.restype = ctypes.c_char_p
        library.VasqGetReleaseVersion.restype = ctypes.c_char_p
        self.assertEqual(RELEASE, library.VasqGetReleaseVersion().decode())
        self.assertEqual("1.0.3.1", library.VasqGetVersion().decode())

    def test_shared_library_file_and_soname(self):
        path = os.path.realpath(os.environ["VASQ_LIBRARY"])
        self.assertEqual("libvasq.so." + RELEASE, os.path.basename(path))
        dynamic = output("readelf", "-d", path)
        soname = re.search(r"\(SONAME\).*\[(.*)\]", dynamic).group(1)
        self.assertEqual("libvasq.so." + RELEASE.split(".")[0], soname)

    def test_pkg_config_and_cmake_package(self):
        self.assertRegex(read(BUILD, "vasq.pc"), r"(?m)^Version: %s$" % re.escape(RELEASE))
        self.assertIn('set(PACKAGE_VERSION "%s")' % RELEASE, read(BUILD, "vasqConfigVersion.cmake"))

    def test_programs(self):
        both = "libvasq %s, interface 1.0.3.1\n" % RELEASE
        self.assertEqual("vasqctl %s, %s" % (RELEASE, both), output(os.environ["VASQCTL"], "--version"))
        self.assertEqual("vasq-sim %s, %s" % (RELEASE, both), output(os.environ["VASQ_SIM"], "--version"))


class WrittenByHand(unittest.TestCase):
    """Texts a release changes by hand, so that none is forgotten."""

    def test_debian_changelog_top_entry(self):
        first = read(SOURCE, "debian", "changelog").splitlines()[0]
        match = re.match(r"^libvasq \(([^)]+)\) ", first)
        self.assertIsNotNone(match, first)
        # The upstream part, before the Debian revision.
        self.assertEqual(RELEASE, match.group(1).rsplit("-", 1)[0])

    def test_changelog_newest_section(self):
        sections = re.findall(r"(?m)^## \[?(\d+\.\d+\.\d+)\]?", read(SOURCE, "CHANGELOG.md"))
        self.assertTrue(sections)
        self.assertEqual(RELEASE, sections[0])

    def test_python_package(self):
        init = read(SOURCE, "python", "vasq", "__init__.py")
        self.assertRegex(init, r'(?m)^__version__ = "%s"$' % re.escape(RELEASE))
        # pyproject.toml takes the version from the package, not a number of its own.
        pyproject = read(SOURCE, "python", "pyproject.toml")
        self.assertIn('version = {attr = "vasq.__version__"}', pyproject)
        self.assertNotRegex(pyproject, r'(?m)^version\s*=\s*"')


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
