"""scripts/pack_bundle: layout of the bundles it builds, its listing, its refusals, and kvup's
verdict on the same files."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

SOURCE_DIR = os.environ.get(
    "KVUP_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
)
PACK_BUNDLE = os.path.join(SOURCE_DIR, "scripts", "pack_bundle")
KVUP = os.environ.get("KVUP_BINARY")
KVUP_VERSION = os.environ.get("KVUP_VERSION")
NO_PORT = "/nonexistent/kvup-test-port"


def run(args):
    return subprocess.run(
        args, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120
    )


def pack(*args):
    return run([sys.executable, PACK_BUNDLE, *args])


def header(version, count, magic=b"KVFWBNDL"):
    return struct.pack("<8sII", magic, version, count)


def entry(variant, bank, tag, length, crc, offset):
    return struct.pack("<HcBIIIQQ", variant, bank, 0xEE, tag, length, crc, offset, 0)


class PackBundleTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="kvup-pack-test-")
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, content):
        with open(self.path(name), "wb") as out:
            out.write(content)
        return self.path(name)

    def kvup_verdict(self, bundle):
        """kvup's outcome for the bundle: None when it loaded, else its error line."""
        self.assertIsNotNone(KVUP, "KVUP_BINARY is not set")
        self.assertIsNotNone(KVUP_VERSION, "KVUP_VERSION is not set")
        result = run([KVUP, "--firmware", bundle, "--port", NO_PORT, "--password", "pw"])
        self.assertEqual(result.returncode, 1)
        # The version line is written only after the bundle has loaded.
        if result.stdout.startswith("kvup v" + KVUP_VERSION + "\n"):
            self.assertNotIn(bundle, result.stderr)
            return None
        self.assertEqual(result.stdout, "")
        return result.stderr

    def test_round_trip_layout_listing_and_kvup(self):
        images = [
            (0xFFFF, "A", 0xFFFFFFFF, bytes(range(256)) * 20),
            (7, "B", 0x00010203, b"\x00"),
            (0x0102, "B", 5, b"123456789"),
        ]
        image_args = []
        for index, (variant, bank, tag, content) in enumerate(images):
            image = self.write(f"img:{index}.bin", content)  # a colon in the file name too
            image_args += ["--image", f"0x{variant:x}:{bank}:{tag}:{image}"]
        bundle = self.path("fw.kvfw")
        result = pack("-o", bundle, *image_args)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")

        with open(bundle, "rb") as f:
            data = f.read()
        self.assertEqual(data[:16], header(1, 3))
        offset = 16 + 32 * len(images)
        for index, (variant, bank, tag, content) in enumerate(images):
            raw = data[16 + 32 * index : 48 + 32 * index]
            fields = struct.unpack("<HcBIIIQQ", raw)
            self.assertEqual(fields[0], variant)
            self.assertEqual(fields[1], bank.encode())
            self.assertEqual(fields[3:7], (tag, len(content), zlib.crc32(content), offset))
            self.assertEqual(data[offset : offset + len(content)], content)
            offset += len(content)
        self.assertEqual(len(data), offset)

        first_crc = zlib.crc32(images[0][3])
        listing = pack("--list", bundle)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        rows = [line.split() for line in listing.stdout.splitlines()[2:]]
        self.assertEqual(
            rows,
            [
                ["0", "65535", "A", "0xffffffff", "5120", "112", f"0x{first_crc:08x}", "ok"],
                ["1", "7", "B", "0x00010203", "1", "5232", "0xd202ef8d", "ok"],
                ["2", "258", "B", "0x00000005", "9", "5233", "0xcbf43926", "ok"],
            ],
        )
        self.assertIsNone(self.kvup_verdict(bundle))

    def test_empty_bundle_is_valid(self):
        bundle = self.path("empty.kvfw")
        self.assertEqual(pack("-o", bundle).returncode, 0)
        with open(bundle, "rb") as f:
            self.assertEqual(f.read(), header(1, 0))
        self.assertIsNone(self.kvup_verdict(bundle))

    def test_duplicate_variant_and_bank_is_a_warning(self):
        image = self.write("a.bin", b"abc")
        result = pack("-o", self.path("d.kvfw"), "--image", f"1:A:0:{image}",
                      "--image", f"1:A:1:{image}")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(
            result.stderr,
            "pack_bundle: warning: entry 1 (variant 1 bank A) repeats entry 0; "
            "kvup always picks entry 0\n",
        )

    def test_bad_input_is_refused_with_one_line(self):
        image = self.write("a.bin", b"abc")
        huge = self.path("huge.bin")
        with open(huge, "wb") as f:
            f.truncate(2**32)
        big = self.path("big.bin")
        with open(big, "wb") as f:
            f.truncate(2**31 - (16 + 32 * 2) - 3)  # one byte over the largest bundle
        empty = self.write("empty.bin", b"")
        missing = self.path("missing.bin")
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        cases = [
            ([f"1:a:0:{image}"], f"bank 'a' in --image '1:a:0:{image}' is not A or B"),
            ([f"1:C:0:{image}"], f"bank 'C' in --image '1:C:0:{image}' is not A or B"),
            ([f"1::0:{image}"], f"bank '' in --image '1::0:{image}' is not A or B"),
            ([f"65536:A:0:{image}"], "variant 65536 does not fit in 16 bits"),
            ([f"0x10000:A:0:{image}"], "variant 0x10000 does not fit in 16 bits"),
            ([f"-1:A:0:{image}"], "variant '-1' is not a decimal or 0x hex number"),
            ([f"seven:A:0:{image}"], "variant 'seven' is not a decimal or 0x hex number"),
            ([f"1:A:0x100000000:{image}"], "tag 0x100000000 does not fit in 32 bits"),
            ([f"1:A:4294967296:{image}"], "tag 4294967296 does not fit in 32 bits"),
            (["1:A:0"], "--image '1:A:0' is not VARIANT:BANK:TAG:FILE"),
            ([f"1:A:0:{missing}"], f"cannot read image '{missing}': No such file or directory"),
            ([f"1:A:0:{self.dir}"], f"image '{self.dir}' is not a regular file"),
            ([f"1:A:0:{fifo}"], f"image '{fifo}' is not a regular file"),
            (
                [f"1:A:0:{image}", f"1:B:0:{empty}"],
                f"image '{empty}' is empty; a device refuses an image of 0 bytes",
            ),
            (
                [f"1:A:0:{huge}"],
                f"image '{huge}' is 4294967296 bytes; an image must be under 4 GiB",
            ),
            (
                [f"1:A:0:{image}", f"1:B:0:{big}"],
                "the bundle would be 2147483648 bytes; "
                "kvup refuses bundles of 2 GiB (2147483648 bytes) or more",
            ),
        ]
        out = self.path("out.kvfw")
        for image_args, message in cases:
            with self.subTest(image_args=image_args):
                args = ["-o", out]
                for image_arg in image_args:
                    args.append(f"--image={image_arg}")
                result = pack(*args)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr, f"pack_bundle: {message}\n")
                self.assertFalse(os.path.exists(out))
        self.assertEqual(
            sorted(os.listdir(self.dir)), ["a.bin", "big.bin", "empty.bin", "fifo", "huge.bin"]
        )

    def test_list_gives_kvups_reason_for_a_refused_bundle(self):
        t1 = 16 + 32
        t4 = 16 + 32 * 4
        abc_crc = zlib.crc32(b"abc")
        cases = [
            ("short", b"KVFWBNDL\x01\x00\x00", "'{}' is too small to be a firmware bundle"),
            ("magic", header(9, 0, b"KVFWBNDX"), "'{}' is not a firmware bundle (bad magic)"),
            (
                "version",
                header(2, 0),
                "'{}' is bundle format version 2, this kvup only understands version 1",
            ),
            (
                "table",
                header(1, 0xFFFFFFFF) + bytes(100),
                "'{}' is truncated (entry table extends past end of file)",
            ),
            (
                "bank",
                header(1, 1) + entry(1, b"a", 0, 0, 0, 0),
                "'{}' entry 0 has invalid bank 'a'",
            ),
            (
                "bounds",
                header(1, 1) + entry(1, b"A", 0, 4, 0, 2**64 - 2) + b"abc",
                "'{}' entry 0's image extends past end of file",
            ),
            (
                "crc before the next entry's bank",
                header(1, 4)
                + entry(1, b"A", 0, 3, abc_crc, t4)
                + entry(1, b"B", 0, 3, abc_crc, t4)
                + entry(2, b"A", 0, 3, 0x12345678, t4)
                + entry(2, b"?", 0, 3, abc_crc, t4)
                + b"abc",
                "'{}' entry 2 (variant 2 bank A) failed its own CRC check "
                "(stored 0x12345678, actual 0x352441c2) - bundle is corrupt",
            ),
            (
                "bounds before crc",
                header(1, 1) + entry(1, b"A", 0, 4, 0, t1) + b"abc",
                "'{}' entry 0's image extends past end of file",
            ),
        ]
        for name, content, reason in cases:
            with self.subTest(name):
                bundle = self.write(f"{name}.kvfw", content)
                result = pack("--list", bundle)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr, "pack_bundle: " + reason.format(bundle) + "\n")
                kvup_line = "ERROR: " + reason.format(bundle) + "\n"
                self.assertEqual(self.kvup_verdict(bundle), kvup_line)

    def test_list_of_a_missing_file(self):
        missing = self.path("none.kvfw")
        result = pack("--list", missing)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, f"pack_bundle: could not open bundle '{missing}'\n")

    def test_usage_errors_and_help(self):
        for args in (
            [],
            ["--list"],
            ["-o"],
            ["--list", "x", "-o", "y"],
            ["--list", "x", "--image", "1:A:0:f"],
            ["--bogus"],
            ["-o", "out.kvfw", "--bogus"],
        ):
            with self.subTest(args=args):
                result = pack(*args)
                self.assertEqual(result.returncode, 2)
                self.assertTrue(result.stderr.startswith("pack_bundle: "), result.stderr)
                self.assertEqual(result.stderr.count("\n"), 1)
                self.assertEqual(result.stdout, "")
        # The unknown option is named, ahead of any other complaint.
        self.assertIn("--bogus", pack("--bogus").stderr)
        self.assertFalse(os.path.exists(self.path("out.kvfw")))
        result = pack("--help")
        self.assertEqual(result.returncode, 0)
        self.assertIn("--image VARIANT:BANK:TAG:FILE", result.stdout)
        self.assertIn("--list", result.stdout)

    def test_messages_name_the_program_as_started(self):
        # Installed as kvup-pack, it names itself kvup-pack in its help and its messages.
        installed = self.path("kvup-pack")
        with open(PACK_BUNDLE, "rb") as source, open(installed, "wb") as copy:
            copy.write(source.read())
        result = run([sys.executable, installed, "--help"])
        self.assertEqual(result.returncode, 0)
        self.assertIn("usage: kvup-pack -o OUT", result.stdout)
        self.assertIn("  kvup-pack --list fw.kvfw", result.stdout)
        self.assertNotIn("pack_bundle", result.stdout)
        missing = self.path("none.kvfw")
        result = run([sys.executable, installed, "--list", missing])
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, f"kvup-pack: could not open bundle '{missing}'\n")


if __name__ == "__main__":
    unittest.main()
