"""The test build's own rules: every test source in tests/ is listed in a layer (a file that is
not listed is never compiled or run, and nothing else would say so), and a target that links
both the fakes and the real platform layer is refused when CMake configures it, rather than
getting whichever serial port the linker meets first."""

import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest

SOURCE_DIR = os.environ.get(
    "KVUP_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
)
TESTS_DIR = os.path.join(SOURCE_DIR, "tests")
CMAKE = os.environ.get("KVUP_CMAKE", shutil.which("cmake") or "cmake")


def listed_names():
    """The words of tests/CMakeLists.txt, and those of the top level under tests/ (the fakes)."""
    names = set()
    for cmake_file, prefix in (("tests/CMakeLists.txt", ""), ("CMakeLists.txt", "tests/")):
        with open(os.path.join(SOURCE_DIR, cmake_file), encoding="utf-8") as f:
            text = re.sub(r"#.*", "", f.read())
        for word in re.findall(r"[\w./-]+", text):
            if word.startswith(prefix):
                names.add(word[len(prefix) :])
    return names


def test_sources():
    """Test and helper sources of the layers; tests/usb is built by scripts/test-usb."""
    found = []
    for pattern in ("*.cpp", "*/*.cpp", "*_test.py"):
        for path in glob.glob(os.path.join(TESTS_DIR, pattern)):
            rel = os.path.relpath(path, TESTS_DIR)
            if not rel.startswith("usb" + os.sep):
                found.append(rel)
    return sorted(found)


class TestListsTest(unittest.TestCase):
    def test_every_test_source_is_in_a_layer(self):
        names = listed_names()
        sources = test_sources()
        self.assertIn("update_session_test.cpp", sources)
        for rel in sources:
            with self.subTest(source=rel):
                # Python tests are listed by their name without the .py.
                name = rel[:-3] if rel.endswith(".py") else rel
                self.assertTrue(name in names, rel + " is in no list of tests/CMakeLists.txt")


class SeamTest(unittest.TestCase):
    """Configures a small project on top of this one, with a target linking the seams given."""

    def configure(self, *seams):
        with tempfile.TemporaryDirectory(prefix="kvup-seam-test-") as tmp:
            with open(os.path.join(tmp, "probe.cpp"), "w", encoding="utf-8") as f:
                f.write("int main() { return 0; }\n")
            with open(os.path.join(tmp, "CMakeLists.txt"), "w", encoding="utf-8") as f:
                f.write(
                    "cmake_minimum_required(VERSION 3.25)\n"
                    "project(probe CXX)\n"
                    f'add_subdirectory("{SOURCE_DIR}" kvup)\n'
                    "add_executable(probe probe.cpp)\n"
                    f"target_link_libraries(probe PRIVATE {' '.join(seams)})\n"
                )
            return subprocess.run(
                [CMAKE, "-S", tmp, "-B", os.path.join(tmp, "build")],
                stdin=subprocess.DEVNULL,
                capture_output=True,
                text=True,
                timeout=120,
            )

    def test_one_seam_configures(self):
        for seam in ("kvup_fakes", "kvup_platform"):
            with self.subTest(seam=seam):
                run = self.configure("kvup_core", seam)
                self.assertEqual(run.returncode, 0, run.stderr)

    def test_fakes_and_platform_together_are_refused(self):
        run = self.configure("kvup_core", "kvup_fakes", "kvup_platform")
        self.assertNotEqual(run.returncode, 0)
        self.assertIn("KVUP_SEAM", run.stderr)


if __name__ == "__main__":
    unittest.main()
