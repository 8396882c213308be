# SPDX-License-Identifier: LGPL-2.1-or-later
"""The vessik package against the virtual reader; run by ctest under the
launcher (CMakeLists.txt): reader K holds the card CARDS[K] describes,
readers 7 and 8 hold none."""
import asyncio
import base64
import ctypes
import datetime
import importlib.util
import json
import logging
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import vessik
from vessik import CardType, IdCheck, ItemState, _library, _structs

CANCEL_LIMIT_S = 0.2  # a cancel or Ctrl-C ends the read within this
EMPTY = "usb:1-7"
LOST = 8
SAMPLE_MODULE_ID = b"VSIM-0001-000042".hex()
CARDS = {
    1: dict(type=CardType.RESIDENT, name="测试样卡", birth=datetime.date(1990, 3, 7),
            valid_to=datetime.date(2040, 1, 1), id_check=IdCheck.OK, type_marker=""),
    2: dict(type=CardType.FOREIGN_PERMANENT, name_en="SPECIMEN, TEST SAMPLE CARD",
            nation_code="UTO", version="01", id_check=IdCheck.NOT_APPLICABLE, type_marker="I"),
    3: dict(type=CardType.HMT_PERMIT, pass_number="X99000001", issue_count="01",
            id_check=IdCheck.OK, type_marker="J"),
    4: dict(type=CardType.UNKNOWN, type_marker="N", name="", birth=None, birth_text=""),
    5: dict(type=CardType.RESIDENT, fingerprint_state=ItemState.NOT_ASKED, fingerprints=b""),
    6: dict(valid_from=datetime.date(2020, 1, 1), valid_to=None, valid_to_text="长期",
            long_term=True),
}


def control(command):
    """Sends one command to the launcher, as --control offers."""
    with socket.socket(fileno=os.dup(int(os.environ["VESSIK_READER_CONTROL"]))) as s:
        s.send(command.encode())
        reply = s.recv(1024).decode()
    assert reply.startswith("ok"), reply


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, timeout=60)


class Cards(unittest.TestCase):
    def test_each_card_type_as_vessik_read_json_prints_it_with_no_photo_image(self):
        for k, expected in CARDS.items():
            with self.subTest(reader=k):
                where = f"usb:1-{k}"
                if k == 1:
                    card = vessik.read(timeout=5)  # the default reader: the first one
                else:
                    with vessik.open(where) as reader:
                        card = reader.read(timeout=5)
                self.assertEqual({f: getattr(card, f) for f in expected}, expected)
                self.assertEqual((len(card.text_block), len(card.photo), card.reader),
                                 (256, 1024, where))
                self.assertRaises(vessik.NotSupported, card.photo_image)  # no decoder: the stand-in
                line = run(os.environ["VESSIK_READ_TOOL"], "--json", "--timeout", "5",
                           "--reader", where).stdout.rstrip("\n")
                ours, theirs = card.to_dict(), json.loads(line)
                self.assertEqual(set(ours["times_us"]), set(theirs["times_us"]))
                theirs["times_us"] = ours["times_us"]  # the only values two reads may differ in
                self.assertEqual(ours, theirs)
                times = '"times_us":' + json.dumps(ours["times_us"], separators=(",", ":"))
                self.assertEqual(card.to_json(), re.sub(r'"times_us":\{[^}]*\}', lambda _: times,
                                                        line))

    def test_fingerprints_and_appended_address_on_an_answer_driven_read(self):
        with vessik.open("usb:1-5") as reader:
            card = reader.read(timeout=5, fingerprints=True, appended_address=True,
                               answer_driven=True)
        self.assertEqual((card.fingerprint_state, card.fingerprint_count, len(card.fingerprints)),
                         (ItemState.PRESENT, 2, 1024))
        self.assertEqual((card.appended_address_state, card.appended_address),
                         (ItemState.PRESENT, "虚拟省示例市模拟区迁入路8号"))
        self.assertLess(card.to_dict()["times_us"]["read"], 900000)  # the fixed wait is 0.9 s
        self.assertNotIn("测试", repr(card))
        self.assertRegex(str(card), r"\nSex: +1 \(male\)\n")  # as vessik-read labels it

    def test_watch_gives_one_card_per_presentation(self):
        arrivals, laid_down = [], []

        def present_again():
            control("3:lift")
            time.sleep(2.0)  # well beyond a card read: a find must see the reader empty
            laid_down.append(time.monotonic())
            control("3:card")

        with vessik.open("usb:1-3") as reader:
            for card in reader.watch():
                arrivals.append(time.monotonic())
                if len(arrivals) == 1:
                    threading.Timer(0.3, present_again).start()
                else:
                    reader.cancel()  # between reads: the watch ends
        self.assertEqual(len(arrivals), 2)
        self.assertGreaterEqual(arrivals[1], laid_down[0])

    def test_two_readers_at_once(self):
        self.assertEqual([r.location for r in vessik.readers()][:2], ["usb:1-1", "usb:1-2"])
        cards = {}
        with vessik.open("usb:1-1") as first, vessik.open("usb:1-2") as second:
            threads = [threading.Thread(target=lambda r=r: cards.update({r: r.read(timeout=5)}))
                       for r in (first, second)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual([cards[first].type, cards[second].type],
                             [CardType.RESIDENT, CardType.FOREIGN_PERMANENT])
            self.assertEqual(first.info.module_id_hex, SAMPLE_MODULE_ID)

    def test_command_line(self):
        out = run(sys.executable, "-m", "vessik", "--json", "--reader", "usb:1-2", "--timeout", "5")
        self.assertEqual(json.loads(out.stdout)["name_en"], CARDS[2]["name_en"])
        out = run(sys.executable, "-m", "vessik", "--list")
        self.assertIn(f"usb:1-1  0400:c35a  module {SAMPLE_MODULE_ID}\n", out.stdout)
        out = run(sys.executable, "-m", "vessik", "--reader", EMPTY, "--timeout", "0.2")
        self.assertEqual((out.returncode, out.stderr), (3, "python3 -m vessik: "
                                                           "no card before the deadline\n"))


def help_options(*command):
    """{option: its value's name} of the options a --help lists."""
    lines = run(*command, "--help").stdout.splitlines()
    heads = [m.group(1) for m in map(re.compile(r"  (?:-h, )?(--[a-z].*?)(?:  |$)").match, lines)
             if m]
    return dict(o for head in heads for o in re.findall(r"(--[a-z][\w-]*)(?: ([A-Z]+))?", head))


class CommandLine(unittest.TestCase):
    """python3 -m vessik speaks vessik-read's language."""

    def test_the_options_are_vessik_read_s(self):
        ours = help_options(sys.executable, "-m", "vessik")
        self.assertEqual(ours, help_options(os.environ["VESSIK_READ_TOOL"]))
        self.assertEqual((ours["--interval"], ours["--photo"]), ("MS", "DIR"))
        out = run(sys.executable, "-m", "vessik", "--interval", "0.1")  # seconds, as it once was
        self.assertEqual(out.returncode, 1, out.stderr)
        out = run(sys.executable, "-m", "vessik", "--json", "--reader", "usb:1-5", "--timeout", "5",
                  "--interval", "20", "--fingerprints")
        self.assertEqual(json.loads(out.stdout)["fingerprint_count"], 2)

    def test_reader_errors_point_to_the_doctor(self):
        out = run(sys.executable, "-m", "vessik", "--reader", "usb:9-9", "--timeout", "1")
        self.assertEqual(out.returncode, 2)
        self.assertTrue(out.stderr.endswith(" (run vessik-doctor to see why)\n"), out.stderr)

    def test_photo_without_a_decoder_and_with_one(self):
        with tempfile.TemporaryDirectory() as folder:
            command = [sys.executable, "-m", "vessik", "--json", "--reader", "usb:1-2",
                       "--timeout", "5", "--photo", folder, "--photo-format", "bmp"]
            out = run(*command)  # the stand-in decodes nothing
            self.assertEqual((out.returncode, json.loads(out.stdout)["photo_image"]), (7, None))
            self.assertIn("no photo decoder is installed", out.stderr)
            out = subprocess.run(command, capture_output=True, text=True, timeout=60, env=dict(
                os.environ, VESSIK_PHOTO_DECODER=os.environ["VESSIK_FAKE_DECODER"]))
            image = json.loads(out.stdout)["photo_image"]
            self.assertEqual((out.returncode, os.path.dirname(image)), (0, folder), out.stderr)
            with open(image, "rb") as f:  # the fake decoder writes the photo's bytes
                self.assertEqual(base64.b64decode(json.loads(out.stdout)["photo"]), f.read())
            self.assertEqual(os.listdir(folder), [os.path.basename(image)])  # no scratch left
            os.unlink(image)
            out = subprocess.run(command[:-1] + ["png"], capture_output=True, text=True,
                                 timeout=60, env=dict(
                                     os.environ, LD_LIBRARY_PATH=os.environ["VESSIK_NO_LIBPNG_DIR"],
                                     VESSIK_PHOTO_DECODER=os.environ["VESSIK_FAKE_BMP_DECODER"]))
            self.assertEqual((out.returncode, json.loads(out.stdout)["photo_image"]), (6, None))
            self.assertIn("no image written: libpng (libpng16.so.16) cannot be loaded", out.stderr)
            self.assertEqual(os.listdir(folder), [])

    def test_watch_says_when_the_card_is_lifted(self):
        with subprocess.Popen([sys.executable, "-m", "vessik", "--json", "--watch", "--reader",
                               "usb:1-4"], stdout=subprocess.PIPE, text=True) as watch:
            try:
                self.assertEqual(json.loads(watch.stdout.readline())["type"], "unknown")
                time.sleep(1.0)  # the watch sees the module find the card it read: it can tell
                control("4:lift")
                self.assertEqual(json.loads(watch.stdout.readline()),
                                 {"event": "removed", "reader": "usb:1-4"})
                watch.send_signal(signal.SIGINT)
                self.assertEqual(watch.wait(timeout=30), 0)
            finally:
                watch.kill()
                control("4:card")


class Events(unittest.TestCase):
    def test_events_pass_on_a_card_presented_and_its_removal(self):
        events = []
        with vessik.open("usb:1-6") as reader:
            for event in reader.events():
                events.append(event)
                if len(events) == 1:
                    threading.Timer(0.3, control, ["6:lift"]).start()
                else:
                    reader.cancel()
        control("6:card")
        self.assertEqual([type(e) for e in events], [vessik.CardPresented, vessik.CardRemoved])
        self.assertTrue(events[0].card.long_term)
        self.assertEqual(events[1].reader, "usb:1-6")

    def test_asyncio_events_end_with_their_task_and_read_async_reads(self):
        async def main():
            with vessik.open("usb:1-2") as reader:
                events = []

                async def consume():
                    async for event in reader.events_async():
                        events.append((event, time.monotonic()))

                task = asyncio.create_task(consume())
                while len(events) == 0 or time.monotonic() - events[0][1] < 0.3:
                    await asyncio.sleep(0.05)  # then waiting for the card to leave
                started = time.monotonic()
                task.cancel()
                with self.assertRaises(asyncio.CancelledError):
                    await task
                took = time.monotonic() - started
                card = await reader.read_async(timeout=5, report_same_card=True,
                                               answer_driven=True)
                return events, took, card

        events, took, card = asyncio.run(main())
        self.assertEqual([type(e) for e, _ in events], [vessik.CardPresented])
        self.assertLess(took, CANCEL_LIMIT_S)
        self.assertEqual(card.name_en, CARDS[2]["name_en"])
        self.assertLess(card.to_dict()["times_us"]["read"], 900000)  # no fixed wait


class Waits(unittest.TestCase):
    def test_timeout(self):
        start = time.monotonic()
        with self.assertRaises(TimeoutError) as caught:
            vessik.read(timeout=0.3, reader=EMPTY)
        self.assertIsInstance(caught.exception, vessik.Timeout)
        self.assertEqual(caught.exception.code, _structs.E_TIMEOUT)
        self.assertTrue(0.3 <= time.monotonic() - start < 1.5)

    def test_cancel_from_another_thread_and_a_second_read_is_busy(self):
        ended = []

        def wait_for_card():
            with self.assertRaises(vessik.Cancelled):
                reader.read(timeout=10)
            ended.append(time.monotonic())

        with vessik.open(EMPTY) as reader:
            waiting = threading.Thread(target=wait_for_card)
            waiting.start()
            time.sleep(0.3)
            with self.assertRaises(vessik.Busy):
                reader.read(timeout=1)
            cancelled = time.monotonic()
            reader.cancel()
            waiting.join(5)
        self.assertLess(ended[0] - cancelled, CANCEL_LIMIT_S)

    def test_ctrl_c_and_vessik_cancel_end_the_read_and_ctrl_c_closes_the_reader(self):
        def ctrl_c():
            os.kill(os.getpid(), signal.SIGINT)
        for how, stop, error in (("read", ctrl_c, KeyboardInterrupt),
                                 ("watch", ctrl_c, KeyboardInterrupt),
                                 ("vessik.read", ctrl_c, KeyboardInterrupt),
                                 ("vessik.read", vessik.cancel, vessik.Cancelled)):
            with self.subTest(how, stop=stop.__name__):
                reader = vessik.open(EMPTY) if how != "vessik.read" else None
                sent = []
                threading.Timer(0.3, lambda stop=stop: sent.append(time.monotonic()) or
                                stop()).start()
                with self.assertRaises(error):
                    if reader is None:
                        vessik.read(timeout=10, reader=EMPTY)
                    else:
                        reader.read(timeout=10) if how == "read" else next(reader.watch())
                self.assertLess(time.monotonic() - sent[0], CANCEL_LIMIT_S)
                self.assertTrue(reader is None or reader.closed)
                vessik.open(EMPTY).close()  # the reader was let go

    def test_lost_reader(self):
        self.addCleanup(control, f"{LOST}:plug")
        with vessik.open(f"usb:1-{LOST}") as reader:
            threading.Timer(0.3, control, [f"{LOST}:unplug"]).start()
            with self.assertRaises(vessik.ReaderLost):
                reader.read(timeout=5)


class Photo(unittest.TestCase):
    def test_photo_image_and_its_png_with_a_decoder(self):
        script = ("import struct, vessik\n"
                  "image = vessik.read(timeout=5, reader='usb:1-1').photo_image()\n"
                  "png = image.png()\n"
                  "print(repr(image), len(image.rgb), png[:8].hex(), *struct.unpack('>II', png[16:24]))\n")
        env = dict(os.environ, VESSIK_PHOTO_DECODER=os.environ["VESSIK_FAKE_BMP_DECODER"])
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(out.stdout.split(), ["<vessik.Image", "102x126>", str(102 * 126 * 3),
                                              "89504e470d0a1a0a", "102", "126"], out.stderr)

    @unittest.skipUnless(importlib.util.find_spec("PIL"), "Pillow (python3-pil) is optional")
    def test_to_pil_gives_the_same_pixels(self):
        image = vessik.Image(2, 1, bytes([255, 0, 0, 0, 0, 255]))
        self.assertEqual(list(image.to_pil().getdata()), [(255, 0, 0), (0, 0, 255)])


class Library(unittest.TestCase):
    def test_structs_and_constants_match_the_header(self):
        records = {"vessik_read_options": _structs.ReadOptions,
                   "vessik_card": _structs.CardRecord,
                   "vessik_reader_info": _structs.ReaderInfoRecord,
                   "vessik_image": _structs.ImageRecord}
        in_c, constants = {kind: {} for kind in records}, set()
        probe = run(os.environ["VESSIK_LAYOUT_PROBE"]).stdout.splitlines()
        for kind, name, *numbers in (line.split() for line in probe):
            if kind == "constant":
                constants.add(name[len("VESSIK_"):])
                ours = (_structs.KNOWN_API_VERSIONS[-1] if name == "VESSIK_READ_API_VERSION"
                        else getattr(_structs, name[len("VESSIK_"):]))
                self.assertEqual(ours, int(numbers[0]), name)
            elif name == "sizeof":
                self.assertEqual(ctypes.sizeof(records[kind]), int(numbers[1]), kind)
            else:
                in_c[kind][name] = tuple(int(n) for n in numbers)
        for kind, record in records.items():
            self.assertEqual({f: (getattr(record, f).offset, getattr(record, f).size)
                              for f, _ in record._fields_}, in_c[kind], kind)
        self.assertEqual(constants, {n for n, v in vars(_structs).items()  # each one compared
                                     if n.isupper() and type(v) is int} | {"READ_API_VERSION"})

    def test_diagnostics_reach_the_vessik_logger_until_turned_off(self):
        vessik.set_log_level(logging.INFO)
        with self.assertLogs("vessik", logging.INFO) as logs:
            vessik.open(EMPTY).close()
        self.assertIn(f"INFO:vessik:opened the reader at {EMPTY}", logs.output)
        vessik.set_log_level(None)
        with self.assertNoLogs("vessik"):
            vessik.open(EMPTY).close()

    def test_versions(self):
        self.assertEqual((vessik.__version__, vessik.api_version()),
                         (os.environ["VESSIK_VERSION"], 3))
        with self.assertRaisesRegex(vessik.LibraryError,
                                    "version 99; this vessik package knows version 3"):
            _library.load(os.environ["VESSIK_FUTURE_API_STUB"])


if __name__ == "__main__":
    unittest.main()
