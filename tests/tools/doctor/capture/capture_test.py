#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Captures of vessik-doctor --capture, made and replayed under the virtual reader.

Redaction: a card with its own made-up contents is read through the virtual
reader and captured; the capture file is then searched, as raw bytes and in
every frame's decoded bytes, for that card's text (UTF-8 and UCS-2LE), its
number, every 16-byte window of its photo and of its fingerprint templates,
and the module's identifier. As a control, the same search must find the
sample card's data (which replace the card's) and, with --keep-module-id,
the identifier.

Replay: each capture shipped in tests/captures is replayed by
vessik-virtual-reader --profile; a doctor capture of the replay (reader
handles) reads every card and shows each command's answer times near the
capture's own, and vessik-read (vessik_read) and ReadIDCardLib read the card
through it.
"""
import glob
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

LAUNCHER = os.environ["VESSIK_LAUNCHER"]
DOCTOR = os.environ["VESSIK_DOCTOR"]
E2E_CLIENT = os.environ["VESSIK_E2E_CLIENT"]
READ_TOOL = os.environ["VESSIK_READ_TOOL"]  # vessik_read(), the default reader
HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "capture_driver.py")
CARD = os.path.join(HERE, "capture-test.card")
SAMPLE_CARD = os.environ["VESSIK_SAMPLE_CARD"]
CAPTURES = sorted(glob.glob(os.path.join(os.environ["VESSIK_CAPTURES"], "*.jsonl")))

MODULE_ID = b"VSIM-0001-000042"  # the launcher's reader 1
WINDOW = 16
CARD_STATUS_AT = 7
READ_WITH_FINGERPRINTS_PHOTO_AT = 16 + 256  # status, three lengths, the text
PHOTO_BYTES = 1024
TEMPLATE_BYTES = 1024
RUN_TIMEOUT_S = 60

# A replayed answer comes after the capture's median time for its command,
# plus the virtual bus's own latency, plus whatever a loaded machine adds.
# So the replay's median may not be sooner than the capture's (by more than
# SOONER_SHARE of it and SOONER_US), and its fastest answer not later than
# LATER_SHARE of it and LATER_US beyond it. The slow module's capture (40 ms
# answers, a 0.95 s read) replayed without its profile would come far sooner;
# answered after twice its times, far later.
SOONER_SHARE = 0.02
SOONER_US = 1000
LATER_SHARE = 0.25
LATER_US = 50000 if os.environ.get("VESSIK_SANITIZED") == "1" else 20000


def card_fields(path):
    fields = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#") and "=" in line:
                key, value = line.split("=", 1)
                fields[key.strip()] = value.strip()
    return fields


def run(args):
    return subprocess.run(args, capture_output=True, text=True, timeout=RUN_TIMEOUT_S)


def capture(path, reads, launcher_args=(), doctor_args=()):
    """Runs the doctor's capture under the launcher; the launcher's result."""
    return run([LAUNCHER, "--control", "--no-card", *launcher_args, "--",
                sys.executable, DRIVER, DOCTOR, "--capture", path, "--reads", str(reads),
                *doctor_args])


def records(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def frames(recs, direction=None, cmd=None):
    return [r for r in recs if r["kind"] == "frame" and (direction is None or r["dir"] == direction)
            and (cmd is None or r["cmd"] == cmd)]


def answer_times(recs):
    return {r["cmd"]: r["first_us"] for r in recs if r["kind"] == "answer_times"}


def sam_frame_valid(frame):
    if len(frame) < 8 or frame[:5] != b"\xAA\xAA\xAA\x96\x69":
        return False
    if (frame[5] << 8 | frame[6]) != len(frame) - 7:
        return False
    check = 0
    for b in frame[5:-1]:
        check ^= b
    return check == frame[-1]


def windows(data):
    return {data[i:i + WINDOW] for i in range(len(data) - WINDOW + 1)}


class Haystack:
    """A capture file as the redaction test searches it: its raw bytes and
    the decoded bytes of every frame."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.raw = f.read()
        self.decoded = [bytes.fromhex(r["bytes"]) for r in frames(records(path))]

    def holds(self, needle):
        hexed = needle.hex()
        return (needle in self.raw or hexed.encode() in self.raw.lower()
                or any(needle in d for d in self.decoded))

    def holds_window_of(self, data):
        wanted = windows(data)
        if any(w in self.raw for w in wanted):
            return True
        return any(d[i:i + WINDOW] in wanted for d in self.decoded
                   for i in range(len(d) - WINDOW + 1))


def card_answer_from_log(log):
    """The read answer's body stage as the virtual reader sent it (its --log)."""
    bodies = [line for line in log.splitlines() if re.search(r" IN 85 \[(\d{4})\] ", line)]
    assert bodies, "no read answer in the launcher's log"
    return bytes.fromhex(bodies[-1].split("] ", 1)[1].replace(" ", ""))


class CaptureRedactionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.tmp.name, "capture.jsonl")
        cls.result = capture(cls.path, 2, ["--log", "--card", CARD])
        cls.card = card_fields(CARD)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        self.assertEqual(0, self.result.returncode, self.result.stdout + self.result.stderr)

    def test_capture_holds_the_reads_frames_descriptors_and_times(self):
        recs = records(self.path)
        self.assertEqual("capture", recs[0]["kind"])
        self.assertRegex(recs[0]["kit_version"], r"^\d+\.\d+\.\d+$")
        # Answer driven: the read's answer time is the module's 500 ms, not the fixed 900 ms.
        self.assertIs(True, recs[0]["answer_driven"])
        self.assertLess(answer_times(recs)["3010"]["median"], 900000)
        device = recs[1]
        self.assertEqual(("usb_device", "0400", "c35a"),
                         (device["kind"], device["idVendor"], device["idProduct"]))
        endpoints = {e["bEndpointAddress"] for e in
                     device["configurations"][0]["interfaces"][0]["endpoints"]}
        self.assertEqual({0x02, 0x06, 0x81, 0x85}, endpoints)
        self.assertNotIn("serial", json.dumps(device).replace('"serial_number": "none"', ""))
        answers = frames(recs, "in")
        self.assertEqual({1, 2}, {r["read"] for r in answers if r["cmd"] == "3010"})
        for r in answers:
            if r["first_us"] >= 0:
                self.assertTrue(sam_frame_valid(bytes.fromhex(r["bytes"])), r)
                self.assertEqual(r["len"], len(r["bytes"]) // 2)
                self.assertLessEqual(r["first_us"], r["last_us"])
        times = {r["cmd"]: r for r in recs if r["kind"] == "answer_times"}
        self.assertLessEqual({"12FF", "2001", "2002", "3010", "3003"}, set(times))
        for cmd, t in times.items():
            self.assertEqual(len([r for r in answers if r["cmd"] == cmd and r["first_us"] >= 0]),
                             t["count"], cmd)
            f = t["first_us"]
            self.assertLessEqual(f["min"], f["median"])
            self.assertLessEqual(f["median"], f["p90"])
            self.assertLessEqual(f["p90"], f["max"])
        self.assertIn("replaced: the card's text", self.result.stdout)
        self.assertIn("replaced: the module's identifier by zeros", self.result.stdout)

    def test_no_text_number_photo_or_templates_of_the_card_in_the_capture(self):
        hay = Haystack(self.path)
        # Sex and nationality (one and two digits) turn up in any number:
        # they are searched together with the birth date they precede.
        texts = [v for k, v in self.card.items()
                 if k not in ("photo_hex", "fingerprint_seeds", "sex", "nation")]
        texts.append(self.card["sex"] + self.card["nation"] + self.card["birth"])
        for text in texts:
            for encoded in (text.encode("utf-8"), text.encode("utf-16-le")):
                self.assertFalse(hay.holds(encoded), text)
        self.assertFalse(hay.holds(self.card["id_number"].encode("ascii")))
        photo = bytes.fromhex(self.card["photo_hex"])
        self.assertFalse(hay.holds_window_of(photo))
        body = card_answer_from_log(self.result.stderr)
        at = READ_WITH_FINGERPRINTS_PHOTO_AT - CARD_STATUS_AT
        self.assertEqual(photo, body[at:at + PHOTO_BYTES], "the log's read answer is the card's")
        templates = body[at + PHOTO_BYTES:at + PHOTO_BYTES + TEMPLATE_BYTES]
        self.assertEqual(TEMPLATE_BYTES, len(templates))
        self.assertFalse(hay.holds_window_of(templates))
        self.assertFalse(hay.holds(MODULE_ID))

    def test_the_search_finds_the_sample_card_that_replaced_it(self):
        hay = Haystack(self.path)
        sample = card_fields(SAMPLE_CARD)
        for key in ("name", "address", "id_number"):
            self.assertTrue(hay.holds(sample[key].encode("utf-16-le")), key)

    def test_keep_module_id_keeps_it(self):
        path = os.path.join(self.tmp.name, "kept.jsonl")
        result = capture(path, 1, ["--card", CARD], ["--keep-module-id"])
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        self.assertTrue(Haystack(path).holds(MODULE_ID))
        self.assertIn("kept: the module's identifier", result.stdout)


class ReplayTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(CAPTURES, "no capture in tests/captures")
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.tmp.cleanup()

    def test_shipped_captures_are_the_virtual_readers(self):
        for path in CAPTURES:
            self.assertTrue(os.path.basename(path).startswith("virtual-reader-"), path)

    def test_replay_answers_in_the_captures_time(self):
        for path in CAPTURES:
            with self.subTest(capture=os.path.basename(path)):
                recorded = records(path)
                reads = recorded[0]["reads"]
                replay = os.path.join(self.tmp.name, "replay-" + os.path.basename(path))
                result = capture(replay, reads, ["--profile", path])
                self.assertEqual(0, result.returncode, result.stdout + result.stderr)
                want = answer_times(recorded)
                got = answer_times(records(replay))
                self.assertEqual(set(want), set(got))
                for cmd, times in want.items():
                    us = times["median"]
                    print(f"{os.path.basename(path)} {cmd}: capture median {us} us, replay "
                          f"median {got[cmd]['median']} us (min {got[cmd]['min']})",
                          file=sys.stderr)
                    self.assertGreaterEqual(got[cmd]["median"],
                                            us - SOONER_SHARE * us - SOONER_US, cmd)
                    self.assertLessEqual(got[cmd]["min"], us + LATER_SHARE * us + LATER_US, cmd)

    def test_exact_replay_reads(self):
        for path in CAPTURES:
            with self.subTest(capture=os.path.basename(path)):
                replay = os.path.join(self.tmp.name, "exact-" + os.path.basename(path))
                result = capture(replay, 1, ["--profile", path, "--exact"])
                self.assertEqual(0, result.returncode, result.stdout + result.stderr)

    def test_vessik_read_and_read_id_card_lib_read_through_the_replay(self):
        for path in CAPTURES:
            with self.subTest(capture=os.path.basename(path)):
                result = run([LAUNCHER, "--profile", path, "--", READ_TOOL, "--once",
                              "--timeout", "10"])
                self.assertEqual(0, result.returncode, result.stderr)
                self.assertIn(card_fields(SAMPLE_CARD)["id_number"], result.stdout)
                result = run([LAUNCHER, "--profile", path, "--", E2E_CLIENT, "read", "3"])
                self.assertEqual(0, result.returncode, result.stderr)
                self.assertIn("read result=1 ", result.stdout)


def sam_frame(contents):
    length = len(contents) + 1
    frame = b"\xAA\xAA\xAA\x96\x69" + bytes([length >> 8, length & 0xFF]) + contents
    check = 0
    for b in frame[5:]:
        check ^= b
    return frame + bytes([check])


class ReplayShapeTest(unittest.TestCase):
    """Answers the model does not give come from the capture: an identifier
    of another length and another select payload, as the launcher's log
    shows them (a capture of the replay zeroes both)."""

    def test_recorded_shapes_are_answered(self):
        module_id = b"ID-OF-8B"
        select = bytes(range(1, 9))
        shaped = []
        for r in records(CAPTURES[0]):
            if r["kind"] == "frame" and r["dir"] == "in" and r["first_us"] >= 0:
                status = bytes.fromhex(r["bytes"])[9]
                if r["cmd"] == "12FF":
                    r["bytes"] = sam_frame(b"\x00\x00\x90" + module_id).hex()
                elif r["cmd"] == "2002" and status == 0x90:
                    r["bytes"] = sam_frame(b"\x00\x00\x90" + select).hex()
            shaped.append(json.dumps(r))
        with tempfile.TemporaryDirectory() as tmp:
            profile = os.path.join(tmp, "shaped.jsonl")
            with open(profile, "w", encoding="utf-8") as f:
                f.write("\n".join(shaped) + "\n")
            replay = os.path.join(tmp, "replay.jsonl")
            result = capture(replay, 1, ["--profile", profile, "--log"])
            self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        # 12-byte body stages: two forwarded status bytes, 90, 8 bytes, the check byte.
        bodies = [bytes.fromhex(h) for h in re.findall(r" IN 85 \[12\] ([0-9A-Fa-f ]+)", result.stderr)]
        self.assertEqual({module_id, select}, {b[3:-1] for b in bodies if b[2] == 0x90})

    def test_a_file_that_is_no_capture_is_refused(self):
        with tempfile.NamedTemporaryFile("w", suffix=".jsonl") as f:
            f.write("not json\n")
            f.flush()
            result = run([LAUNCHER, "--profile", f.name, "--", "true"])
        self.assertEqual(125, result.returncode)
        self.assertIn("--profile", result.stderr)


if __name__ == "__main__":
    unittest.main()
