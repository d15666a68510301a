"""Runs the examples of the documentation pages so they cannot rot.

A fenced ```sh or ```python block right after an HTML comment "<!-- run ... -->"
is run in a private folder, as a bench engineer would type it:

    <!-- run -->                  with a simulated Vasq9: vasq-sim --dir FOLDER -- BLOCK
    <!-- run sim: --unit kPa -->  the same, with these vasq-sim options
    <!-- run nosim -->            without one (the block starts vasq-sim itself)
    <!-- run exit=3 -->           the exit status expected (default 0)

A ```json (or any) block after "<!-- file: NAME -->" is written as NAME into the
folder of every example of its page. A ```text block right after an example is
its expected output (stdout and stderr together): its lines must appear in that
order; "..." inside a line stands for any text, a line of only "..." for any
lines.

The build's programs come from VASQ_SIM, VASQCTL and VASQ_STATION, the library
from VASQ_LIBRARY; the pages are named on the command line.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_PACKAGE = os.path.join(HERE, "..", "python")
DEADLINE = 30

MARKER = re.compile(r"<!--\s*(run|file:)(.*?)-->\s*\n```(\w*)\n(.*?)^```\n", re.S | re.M)
OUTPUT = re.compile(r"\s*```text\n(.*?)^```\n", re.S | re.M)


class Example:
    def __init__(self, page, line, language, code, options, expected):
        self.page, self.line, self.language, self.code, self.expected = page, line, language, code, expected
        self.exit_status = 0
        self.sim_options = None if "nosim" in options.split() else []
        head, _, sim = options.partition("sim:")
        if sim:
            self.sim_options = sim.split()
        for token in head.split():
            if token.startswith("exit="):
                self.exit_status = int(token[5:])
            elif token != "nosim":
                raise ValueError(f"{page}:{line}: unknown run option {token!r}")

    def __str__(self):
        return f"{os.path.basename(self.page)}:{self.line}"


def read_page(path):
    """The page's examples and the files they share."""
    with open(path) as f:
        text = f.read()
    examples, files = [], {}
    for match in MARKER.finditer(text):
        kind, options, language, code = match.groups()
        line = text.count("\n", 0, match.start(3)) + 1
        if kind == "file:":
            files[options.strip()] = code
            continue
        if language not in ("sh", "python"):
            raise ValueError(f"{path}:{line}: a runnable block is ```sh or ```python, not ```{language}")
        output = OUTPUT.match(text, match.end())
        examples.append(Example(path, line, language, code, options, output.group(1) if output else None))
    return examples, files


def expected_pattern(expected):
    """The expected output as a regular expression over whole lines, in order."""
    parts = []
    for line in expected.splitlines():
        if line.strip() == "...":
            parts.append(r"(?:.*\n)*?")
        elif line.strip():
            parts.append(r"^" + r".*?".join(re.escape(piece) for piece in line.split("...")) + r"[ \t]*\n")
    return re.compile(r"(?:.*\n)*?".join(parts), re.M)


def environment():
    env = dict(os.environ)
    folders = [os.path.dirname(os.path.abspath(env[name])) for name in ("VASQ_SIM", "VASQCTL", "VASQ_STATION")
               if env.get(name)]
    env["PATH"] = os.pathsep.join(folders + [env.get("PATH", "")])
    env["PYTHONPATH"] = os.pathsep.join([os.path.abspath(PYTHON_PACKAGE)] + [env.get("PYTHONPATH", "")]).rstrip(
        os.pathsep)
    return env


def run_example(example, files):
    env = environment()
    folder = tempfile.mkdtemp(prefix="vasq-page-")
    try:
        for name, content in files.items():
            with open(os.path.join(folder, name), "w") as f:
                f.write(content)
        command = ["sh", "-e", "-c", example.code] if example.language == "sh" else [sys.executable, "-c",
                                                                                   example.code]
        if example.sim_options is not None:
            command = ["vasq-sim", "--dir", os.path.join(folder, "dev")] + example.sim_options + ["--"] + command
        result = subprocess.run(command, cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, timeout=DEADLINE, stdin=subprocess.DEVNULL)
        return result.returncode, result.stdout
    finally:
        shutil.rmtree(folder, ignore_errors=True)


class Pages(unittest.TestCase):
    pages = []

    def test_every_marked_example_runs_and_prints_what_the_page_shows(self):
        self.assertTrue(self.pages, "no page named")
        for page in self.pages:
            examples, files = read_page(page)
            self.assertTrue(examples, f"{page}: no example marked <!-- run -->")
            for example in examples:
                with self.subTest(example=str(example)):
                    status, output = run_example(example, files)
                    self.assertEqual(example.exit_status, status, f"{example}: exit status\n{output}")
                    if example.expected is not None:
                        self.assertRegex(output, expected_pattern(example.expected),
                                         f"{example}: the output differs from the page's")


class Matching(unittest.TestCase):
    def test_lines_in_order_with_elisions(self):
        pattern = expected_pattern("a: ...x\n...\nlast\n")
        self.assertRegex("intro\na: 12x\nmiddle\nmore\nlast\n", pattern)
        self.assertNotRegex("last\na: 12x\n", pattern)
        self.assertNotRegex("a: 12x\nlast line\n", pattern)
        self.assertNotRegex("a: 12\nlast\n", pattern)


if __name__ == "__main__":
    Pages.pages = [os.path.abspath(p) for p in sys.argv[1:] if not p.startswith("-")]
    unittest.main(argv=[sys.argv[0]] + [a for a in sys.argv[1:] if a.startswith("-")])
