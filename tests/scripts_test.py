"""Every script in scripts/ answers --help with its usage and exit status 0, and refuses an
unknown option with one line on standard error and exit status 2, before it builds or starts
anything. The man pages are clean under mandoc's lint, when mandoc is installed, and name every
long option their program's --help lists. kvup, kvup-sim and kvup-pack print the project's
version alike, and their bash completion offers what each takes."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get(
    "KVUP_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
)
SCRIPTS_DIR = os.path.join(SOURCE_DIR, "scripts")
MAN_DIR = os.path.join(SOURCE_DIR, "man")
COMPLETION = os.path.join(SOURCE_DIR, "completion", "kvup")
KVUP = os.environ.get("KVUP_BINARY")
KVUP_VERSION = os.environ.get("KVUP_VERSION")
# An option a --help text lists: one that begins a line or follows a heading's colon, behind
# the program's name ("kvup --version") or its own short form ("-o OUT, --output OUT"). Options
# named inside a sentence, such as kvup's --port in kvup-sim's, are another program's.
HELP_OPTION = r"(?:^[ \t]*|:[ \t]+)(?:{prog} |-\w(?: \S+)?, )?(--[a-z][a-z0-9-]*)"
# A long option as a man page's Fl macro writes it: "Fl \-usb\-speed".
MAN_OPTION = re.compile(r"\bFl\s+\\-((?:[a-z0-9]|\\-)+)")


def tool_commands():
    """Each installed program's name and how to start the one this build made."""
    if KVUP is None:
        raise unittest.SkipTest("KVUP_BINARY is not set")
    build_dir = os.path.dirname(KVUP)
    return {
        "kvup": [KVUP],
        "kvup-sim": [os.path.join(build_dir, "kvup-sim")],
        "kvup-pack": [sys.executable, os.path.join(SCRIPTS_DIR, "pack_bundle")],
    }


def help_options(command):
    """The long options that `command --help` lists."""
    result = run([*command, "--help"], SOURCE_DIR)
    if result.returncode != 0:
        raise AssertionError(f"{command} --help: exit status {result.returncode}: {result.stderr}")
    prog = re.escape(os.path.basename(command[-1]))
    return set(re.findall(HELP_OPTION.format(prog=prog), result.stdout, re.M))


def man_options(page):
    with open(os.path.join(MAN_DIR, page + ".1"), encoding="utf-8") as handle:
        source = handle.read()
    return {"--" + name.replace("\\-", "-") for name in MAN_OPTION.findall(source)}


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

    def test_every_long_option_of_help_is_in_the_man_page(self):
        for name, command in tool_commands().items():
            with self.subTest(tool=name):
                listed = help_options(command)
                self.assertIn("--help", listed)
                missing = sorted(listed - man_options(name))
                self.assertEqual(missing, [], f"man/{name}.1 lacks these options of --help")


class VersionTest(unittest.TestCase):
    def test_each_tool_prints_the_project_version(self):
        self.assertIsNotNone(KVUP_VERSION, "KVUP_VERSION is not set")
        commands = tool_commands()
        # The packer names itself as started; installed, it is the copy with the version filled in.
        commands["pack_bundle"] = commands.pop("kvup-pack")
        commands["kvup-pack"] = [sys.executable, os.path.join(os.path.dirname(KVUP), "kvup-pack")]
        for name, command in commands.items():
            with self.subTest(tool=name):
                result = run([*command, "--version"], SOURCE_DIR)
                self.assertEqual((result.returncode, result.stderr), (0, ""))
                self.assertEqual(result.stdout, f"{name} v{KVUP_VERSION}\n")

    def test_version_is_in_each_help_text(self):
        for name, command in tool_commands().items():
            with self.subTest(tool=name):
                self.assertIn("--version", help_options(command))


# Loads the completion file as bash-completion does, finds the function `complete -p` names for
# the command, runs it on the words given and prints what it offers, one a line.
COMPLETE_SCRIPT = r"""
source "$1" || exit 1
_kvup_dev_dir=$2
COMP_CWORD=$3
shift 3
COMP_WORDS=("$@")
registered=$(complete -p "$1") || exit 1
function=${registered#*-F }
"${function%% *}"
printf '%s\n' "${COMPREPLY[@]}"
"""


class CompletionTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="kvup-completion-test-")
        # Completion runs in work/; dev/ stands in for /dev.
        self.work = os.path.join(self._tmp.name, "work")
        self.dev = os.path.join(self._tmp.name, "dev")
        for name in ("fw.kvfw", "old.kvfw", "app.bin", "notes.txt", "bundles/x.kvfw"):
            self.touch(self.work, name)
        for name in ("ttyACM0", "ttyUSB1", "ttyS0", "serial/by-id/usb-Kelvane_KC-0001-if00"):
            self.touch(self.dev, name)

    def tearDown(self):
        self._tmp.cleanup()

    @staticmethod
    def touch(top, name):
        os.makedirs(os.path.dirname(os.path.join(top, name)), exist_ok=True)
        with open(os.path.join(top, name), "wb"):
            pass

    def complete(self, line):
        """What completing at the end of `line` offers. bash splits words at blanks and also at
        "=" and ":", and gives each of those a word of its own."""
        words = re.findall(r"[=:]+|[^\s=:]+", line)
        if line.endswith(" "):
            words.append("")
        script = ["bash", "-c", COMPLETE_SCRIPT, "bash", COMPLETION, self.dev]
        result = run([*script, str(len(words) - 1), *words], self.work)
        self.assertEqual((result.returncode, result.stderr), (0, ""), line)
        return sorted(filter(None, result.stdout.split("\n")))

    def test_each_tool_is_registered_and_offers_the_options_of_its_help(self):
        for name, command in tool_commands().items():
            with self.subTest(tool=name):
                self.assertEqual(self.complete(f"{name} --"), sorted(help_options(command)))
                # Where no value is due, as for the first argument, the options are offered.
                self.assertIn("--version", self.complete(f"{name} "))

    def test_kvup_targets_and_values_that_are_not_completed(self):
        targets = ["all", "all-controllers", "all-readers", "self"]
        self.assertEqual(self.complete("kvup --target "), targets)
        self.assertEqual(self.complete("kvup --target all-"), ["all-controllers", "all-readers"])
        self.assertEqual(self.complete("kvup --password "), [])
        self.assertEqual(self.complete("kvup-sim --serial "), [])
        self.assertEqual(self.complete("kvup-sim --fault "), [])
        self.assertEqual(self.complete("kvup-sim --fault self:chunk-silent:"), [])
        # kvup takes no "--name=value"; kvup-sim and kvup-pack do.
        self.assertEqual(self.complete("kvup --target="), [])
        self.assertEqual(self.complete("kvup-sim --usb-speed="), ["full", "high"])
        self.assertEqual(self.complete("kvup-sim --quiet="), [])
        self.assertEqual(self.complete("kvup-sim --active-bank "), ["A", "B"])

    def test_sim_fault_kinds_are_those_of_its_help(self):
        usage = run([tool_commands()["kvup-sim"][0], "--help"], SOURCE_DIR).stdout
        faults = usage[usage.index("Faults") :]
        kinds = sorted(re.findall(r"(?m)^    ([a-z][a-z-]+)  ", faults))
        self.assertIn("unplug", kinds)
        self.assertEqual(self.complete("kvup-sim --fault self:"), kinds)
        offered = self.complete("kvup-sim --fault=KR-0100:chunk-s")
        self.assertEqual(offered, ["chunk-silent", "chunk-split"])

    def test_bundles_are_kvfw_files_and_directories(self):
        bundles = ["bundles", "fw.kvfw", "old.kvfw"]
        self.assertEqual(self.complete("kvup --port /dev/ttyACM0 --firmware "), bundles)
        self.assertEqual(self.complete("kvup --firmware bundles/"), ["bundles/x.kvfw"])
        self.assertEqual(self.complete("kvup-pack --list "), bundles)
        self.assertEqual(self.complete("kvup-pack --output=f"), ["fw.kvfw"])
        self.assertEqual(self.complete("kvup-pack -o "), bundles)

    def test_pack_image_takes_a_bank_then_any_file(self):
        self.assertEqual(self.complete("kvup-pack --image 7:"), ["A", "B"])
        everything = ["app.bin", "bundles", "fw.kvfw", "notes.txt", "old.kvfw"]
        self.assertEqual(self.complete("kvup-pack --image 7:A:0x10200:"), everything)
        self.assertEqual(self.complete("kvup-pack --image=7:B:3:ap"), ["app.bin"])
        self.assertEqual(self.complete("kvup-pack --image 7:B:3"), [])

    def test_ports_are_usb_serial_devices_else_files(self):
        dev = self.dev
        self.assertEqual(
            self.complete("kvup --port "),
            [f"{dev}/serial/by-id/usb-Kelvane_KC-0001-if00", f"{dev}/ttyACM0", f"{dev}/ttyUSB1"],
        )
        self.assertEqual(self.complete(f"kvup --port {dev}/ttyA"), [f"{dev}/ttyACM0"])
        # A simulator's link is a port too.
        self.assertEqual(self.complete("kvup --port no"), ["notes.txt"])

    def test_the_file_is_clean_bash(self):
        result = run(["bash", "-n", COMPLETION], SOURCE_DIR)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        if shutil.which("shellcheck") is None:
            self.skipTest("shellcheck is not installed")
        result = run(["shellcheck", "-s", "bash", COMPLETION], SOURCE_DIR)
        self.assertEqual((result.returncode, result.stdout), (0, ""))


if __name__ == "__main__":
    unittest.main()
