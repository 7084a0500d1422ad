"""Every script in scripts/ answers --help with its usage and exit status 0, and refuses an
unknown option with one line on standard error and exit status 2, before it builds or starts
anything. The man pages are clean under mandoc's lint, when mandoc is installed."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get(
    "KVUP_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
)
SCRIPTS_DIR = os.path.join(SOURCE_DIR, "scripts")


def scripts():
    names = sorted(os.listdir(SCRIPTS_DIR))
    return [name for name in names if os.path.isfile(os.path.join(SCRIPTS_DIR, name))]


def run(args, cwd):
    return subprocess.run(
        args, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60
    )


class ScriptOptionsTest(unittest.TestCase):
    def setUp(self):
        # Run from elsewhere, so that a script that reached its work would show by what it left.
        self._tmp = tempfile.TemporaryDirectory(prefix="kvup-scripts-test-")
        self.cwd = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def test_there_are_scripts(self):
        self.assertIn("pack_bundle", scripts())
        self.assertIn("test", scripts())

    def test_every_script_is_executable(self):
        for name in scripts():
            with self.subTest(script=name):
                self.assertTrue(os.access(os.path.join(SCRIPTS_DIR, name), os.X_OK))

    def test_help_prints_the_usage_and_exits_0(self):
        for name in scripts():
            for option in ("--help", "-h"):
                with self.subTest(script=name, option=option):
                    result = run([os.path.join(SCRIPTS_DIR, name), option], self.cwd)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(result.stderr, "")
                    self.assertRegex(result.stdout, r"(?m)^\s*[Uu]sage: ")
                    self.assertEqual(os.listdir(self.cwd), [])

    def test_an_unknown_option_is_one_line_and_exit_2(self):
        for name in scripts():
            for args in (["--no-such-option"], ["--help-me"], ["--no-such-option", "1"]):
                with self.subTest(script=name, args=args):
                    result = run([os.path.join(SCRIPTS_DIR, name), *args], self.cwd)
                    self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                    self.assertEqual(result.stdout, "")
                    self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                    self.assertIn(args[0], result.stderr)
                    self.assertEqual(os.listdir(self.cwd), [])


class ManPagesTest(unittest.TestCase):
    @unittest.skipUnless(shutil.which("mandoc"), "mandoc is not installed")
    def test_man_pages_are_lint_clean(self):
        man_dir = os.path.join(SOURCE_DIR, "man")
        pages = sorted(name for name in os.listdir(man_dir) if name.endswith(".1"))
        self.assertEqual(pages, ["kvup-pack.1", "kvup-sim.1", "kvup.1"])
        for page in pages:
            with self.subTest(page=page):
                result = run(
                    ["mandoc", "-Tlint", "-W", "warning", os.path.join(man_dir, page)], SOURCE_DIR
                )
                self.assertEqual(result.stdout + result.stderr, "")
                self.assertEqual(result.returncode, 0)


if __name__ == "__main__":
    unittest.main()
