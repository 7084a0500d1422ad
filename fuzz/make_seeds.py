#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/: small valid and near-valid inputs that take
each target past its first checks. Run again after changing an input layout; files named
crash-*, leak-*, timeout-* or regress-* are findings kept as regression inputs and are left alone."""

import pathlib
import struct
import zlib

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


def write(target, name, data):
    path = CORPUS / target / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


# Bundles: 16-byte header, 32-byte entries, images after the table.
def bundle(images, version=1, magic=b"KVFWBNDL", count=None, entries=None):
    count = len(images) if count is None else count
    table_end = 16 + 32 * len(images)
    body = b""
    table = b""
    for variant, bank, tag, image in images:
        offset = table_end + len(body)
        table += struct.pack("<HcBIIIQQ", variant, bank, 0, tag, len(image),
                             zlib.crc32(image), offset, 0)
        body += image
    if entries is not None:
        table = entries
    return magic + struct.pack("<II", version, count) + table + body


def bundles():
    two_boards = [
        (1, b"A", 0x11111111, b"controller image bank A" * 3),
        (1, b"B", 0x22222222, b"controller image bank B" * 3),
        (2, b"A", 0x33333333, b"reader image A"),
        (2, b"B", 0x44444444, b"reader image B"),
    ]
    write("fuzz_bundle", "four-entries", bundle(two_boards))
    write("fuzz_bundle", "one-entry", bundle([(7, b"A", 1, bytes(range(64)))]))
    write("fuzz_bundle", "no-entries", bundle([]))
    write("fuzz_bundle", "empty-image", bundle([(3, b"B", 0, b"")]))
    write("fuzz_bundle", "same-variant-and-bank-twice",
          bundle([(5, b"A", 1, b"first"), (5, b"A", 2, b"second")]))
    write("fuzz_bundle", "bad-magic", bundle(two_boards, magic=b"KVFWBNDX"))
    write("fuzz_bundle", "version-2", bundle(two_boards, version=2))
    write("fuzz_bundle", "table-past-end", bundle([], count=3))
    write("fuzz_bundle", "header-only", b"KVFWBNDL")
    good = bytearray(bundle([(1, b"A", 9, b"image bytes")]))
    bad_bank = bytearray(good)
    bad_bank[16 + 2] = ord("C")
    write("fuzz_bundle", "bank-c", bytes(bad_bank))
    bad_crc = bytearray(good)
    bad_crc[-1] ^= 0xFF
    write("fuzz_bundle", "bad-crc", bytes(bad_crc))
    far = bytearray(good)
    far[16 + 16:16 + 24] = struct.pack("<Q", 1 << 63)
    write("fuzz_bundle", "offset-far-past-end", bytes(far))


# Device frames: F2, type, u16 length, payload, CRC-32 of type + length + payload.
def frame(ftype, payload, sof=0xF2):
    covered = bytes([ftype]) + struct.pack("<H", len(payload)) + payload
    return bytes([sof]) + covered + struct.pack("<I", zlib.crc32(covered))


def frame_input(stream, timeout_ms=5000, burst=0, gap_ms=0, flags=0):
    return struct.pack("<HBBB", timeout_ms, burst, gap_ms, flags) + stream


def frames():
    ready = frame(0x81, bytes([1]) + struct.pack("<IH", 0x40000, 2))
    ack = frame(0x82, struct.pack("<I", 0))
    nak = frame(0x83, bytes([2]) + struct.pack("<I", 5))
    done = frame(0x84, b"")
    chunk = frame(0x81, bytes(range(256)) * 16 + b"\xf2\xf2\xf2\xf2")
    write("fuzz_frame", "ready", frame_input(ready))
    write("fuzz_frame", "noise-then-ack", frame_input(b"fwupdate start\r\n\xf1\x00" + ack))
    write("fuzz_frame", "nak-then-done", frame_input(nak + done))
    write("fuzz_frame", "largest-payload", frame_input(chunk))
    bad = bytearray(ack)
    bad[-1] ^= 1
    write("fuzz_frame", "bad-crc-then-good", frame_input(bytes(bad) + ack))
    oversize = bytes([0xF2, 0x82, 0x05, 0x10]) + done
    write("fuzz_frame", "oversize-then-frame-inside", frame_input(oversize))
    write("fuzz_frame", "host-frame-echo", frame_input(frame(0x03, b"", sof=0xF1) + done))
    write("fuzz_frame", "slow-bursts", frame_input(ready + ack, timeout_ms=100, burst=3,
                                                    gap_ms=40))
    write("fuzz_frame", "late-past-deadline", frame_input(ready, timeout_ms=30, burst=5,
                                                          gap_ms=200))
    # The header by the deadline, the rest within the grace it leaves.
    write("fuzz_frame", "frame-across-the-deadline", frame_input(ack, timeout_ms=100, burst=4,
                                                                 gap_ms=90))
    write("fuzz_frame", "hang-up-mid-frame", frame_input(ready[:6], flags=1))
    write("fuzz_frame", "zero-timeout", frame_input(ack, timeout_ms=0))


def peers():
    def peer_input(output, flags=0):
        return bytes([flags]) + output

    listing = b"fwupdate peers\r\r\nC1000 controller\r\nR2000 reader\r\nEND\r\n"
    write("fuzz_peers", "two-peers", peer_input(listing))
    write("fuzz_peers", "line-feeds-only",
          peer_input(b"fwupdate peers\nC1000 controller\nR2000\treader\nEND\n"))
    write("fuzz_peers", "long-words", peer_input(
        b"x\r\n" + b"A" * 17 + b" controller\r\n  S1 " + b"t" * 58 + b"\r\nEND\r\n"))
    write("fuzz_peers", "line-past-the-bound",
          peer_input(b"x\r\nS1 " + b"t" * 4094 + b"\r\nEND\r\n"))
    write("fuzz_peers", "one-word-line",
          peer_input(b"x\r\npeers:\r\nC1 reader\r\nC2\r\nC3 controller\r\nEND\r\n"))
    write("fuzz_peers", "escape-codes",
          peer_input(b"x\r\n\x1b[2J\x1b[8m \x1b]0;t\x07\r\n\x1b[H\x00\xff\r\nEND\r\n"))
    write("fuzz_peers", "many-peers",
          peer_input(b"x\n" + b"".join(b"R%d reader\n" % i for i in range(200)) + b"END\n"))
    write("fuzz_peers", "carriage-return-wipes",
          peer_input(b"x\r\nEND\rC1 reader extra words\r\r\nEND \r\nEND\r\n"))
    write("fuzz_peers", "no-end", peer_input(b"x\r\nC1 reader\r\n"))
    write("fuzz_peers", "hang-up", peer_input(b"x\r\nC1 reader\r\n", flags=1))
    write("fuzz_peers", "slow", peer_input(b"x\nC1 reader\nEND\n", flags=2))


def installer():
    def entry(pieces, password=b"secret", flags=0):
        return bytes([flags, len(password)]) + password + b"\xff".join(pieces)

    plain = [b"boot 1.2\r\nkelvane> \x1b[K", b"installer on\r\nInstaller password: ",
             b"\r\nInstaller mode ON\r\n"]
    write("fuzz_installer", "plain-prompt", entry(plain))
    write("fuzz_installer", "plain-prompt-verbose", entry(plain, flags=1))
    menu = [b"\x1b[2J\x1b[HInstaller menu\x1b[6n"] + [b""] * 9 + [b"\r\nkelvane> \x1b[K"] + plain[1:]
    write("fuzz_installer", "menu-escape", entry(menu, flags=1))
    write("fuzz_installer", "wrong-password",
          entry(plain[:2] + [b"\r\nERROR: incorrect password\r\n"]))
    write("fuzz_installer", "cancelled", entry(plain[:2] + [b"\r\nCancelled\r\n"]))
    write("fuzz_installer", "silent-after-prompt", entry(plain[:2]))
    write("fuzz_installer", "password-too-long", entry(plain, password=b"p" * 127))
    write("fuzz_installer", "hang-up", entry(plain[:1], flags=2))


def options():
    def argv(*words):
        return b"\0".join(words)

    write("fuzz_options", "full", argv(b"--firmware", b"fw.kvfw", b"--port", b"/dev/ttyACM0",
                                       b"--password", b"secret", b"--target", b"all",
                                       b"--verbose"))
    write("fuzz_options", "version", argv(b"--version"))
    write("fuzz_options", "help-and-verbose", argv(b"--help", b"--verbose"))
    write("fuzz_options", "value-looks-like-option", argv(b"--port", b"--firmware"))
    write("fuzz_options", "missing-value", argv(b"--port", b"COM3", b"--target"))
    write("fuzz_options", "unknown", argv(b"--firmware", b"a", b"-x"))
    write("fuzz_options", "empty-word", argv(b"--target", b"", b""))


# Whole sessions: flags (bit 0: relayed), image length (u16), then one answer op per host write
# (fuzz_session.cpp): the ordinary answer is op 0, and an input that runs out answers every write
# with it.
OP_NAK, OP_SILENT, OP_OTHER = 1, 2, 3  # for the finalize, 3 is an ACK and 0 the DONE
LATE, TWICE, NOISE, BAD_CRC, WRITE_FAILS = 0x08, 0x10, 0x20, 0x40, 0x80


def session_input(ops=b"", image_len=3 * 4096 + 77, flags=0):
    return struct.pack("<BH", flags, image_len) + ops


def ready(bank=1, choice=0):
    return bytes([0, bank, choice])


def sessions():
    write("fuzz_session", "self-ok", session_input())
    write("fuzz_session", "relayed-ok", session_input(flags=1))
    write("fuzz_session", "empty-image", session_input(image_len=0))
    write("fuzz_session", "exact-chunks", session_input(image_len=2 * 4096))
    # chunk 0 ACK, chunk 1 NAK naming chunk 0, then ACKs: chunks 0, 1 and 2 again.
    write("fuzz_session", "nak-back",
          session_input(ready() + b"\x00" + bytes([OP_NAK, 3, 1 | (1 << 2)])))
    # chunk 0 ACK, chunk 1 NAK naming chunk 0, over and over: ten chunk frames, then an abort.
    write("fuzz_session", "nak-back-for-ever",
          session_input(ready() + (b"\x00" + bytes([OP_NAK, 1, 1 | (1 << 2)])) * 6,
                        image_len=2 * 4096))
    write("fuzz_session", "nak-far-ahead",
          session_input(ready() + bytes([OP_NAK, 9, 3]) + struct.pack("<HH", 0xFFFF, 0xFFFF)))
    write("fuzz_session", "five-silent-then-abort",
          session_input(ready() + b"\x00" + bytes([OP_SILENT]) * 5))
    write("fuzz_session", "late-ack-then-nak-on-finalize",
          session_input(ready() + bytes([LATE]) + struct.pack("<H", 2500) + b"\x00" * 3 +
                        bytes([OP_NAK, 4, 0])))
    write("fuzz_session", "late-chunk-nak-before-done",
          session_input(ready() + bytes([OP_NAK | LATE, 1, 0]) + struct.pack("<H", 2100)))
    write("fuzz_session", "write-fails",
          session_input(ready() + bytes([WRITE_FAILS, WRITE_FAILS, 0, WRITE_FAILS])))
    write("fuzz_session", "noise-twice-bad-crc",
          session_input(ready() + bytes([NOISE | TWICE, 4]) + b"\xf2\x82\x04\x00" + b"\x05" +
                        bytes([BAD_CRC, 0])))
    write("fuzz_session", "no-image-for-bank", session_input(ready(bank=2)))
    write("fuzz_session", "image-over-limit", session_input(ready(choice=2)))
    write("fuzz_session", "ack-to-finalize",
          session_input(ready() + b"\x00" * 3 + bytes([OP_OTHER])))
    write("fuzz_session", "no-ready", session_input(bytes([OP_SILENT])))


bundles()
frames()
peers()
installer()
options()
sessions()
