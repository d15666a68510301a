#!/usr/bin/env python3
"""The README's C example builds and runs right after the README's first set-up command, exactly as the README
shows it: its lines run word for word at the top of a tree whose src and include are this source's and whose build folder is this
build's, in a shell with nothing of the tests in its environment.

Environment: VASQ_SOURCE, VASQ_BUILD.
"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ["VASQ_SOURCE"]
BUILD = os.environ["VASQ_BUILD"]


def block_after(text, marker, language):
    at = text.index(marker)
    match = re.compile(r"```%s\n(.*?)```" % language, re.S).search(text, at)
    return match.group(1)


class ReadmeBuild(unittest.TestCase):
    def test_the_c_example_builds_and_runs_as_shown(self):
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        program = block_after(readme, "<!-- compiled by the tests -->", "c")
        commands = block_after(readme, "<!-- built and run by the tests -->", "sh")
        environment = {name: value for name, value in os.environ.items()
                       if not name.startswith(("VASQ", "LD_", "PKG_CONFIG"))}
        with tempfile.TemporaryDirectory() as top:
            os.symlink(os.path.join(SOURCE, "src"), os.path.join(top, "src"))
            os.symlink(os.path.join(SOURCE, "include"), os.path.join(top, "include"))
            os.symlink(BUILD, os.path.join(top, "build"))
            with open(os.path.join(top, "app.c"), "w", encoding="utf-8") as f:
                f.write(program)
            result = subprocess.run(["sh", "-e", "-c", commands], cwd=top, env=environment, capture_output=True,
                                    text=True, timeout=120)
        self.assertEqual(0, result.returncode, commands + result.stdout + result.stderr)
        self.assertRegex(result.stdout, r"(?m)^connected to NQX7001-070042\ncompleted: 120\.0 80\.0 ")


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
