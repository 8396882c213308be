# SPDX-License-Identifier: LGPL-2.1-or-later
"""vessik (or python3 -m vessik): read a card, watch the reader, or list the
readers; the options, their units and the exit statuses are vessik-read's."""
import argparse
import json
import os
import signal
import sys
import tempfile
from typing import List, NoReturn, Optional

import vessik
from vessik import _library

# Exit statuses, as vessik-read has them.
EXIT_OK = 0
EXIT_USAGE = 1
EXIT_NO_READER = 2
EXIT_TIMEOUT = 3
EXIT_CANCELLED = 4
EXIT_READER_LOST = 5
EXIT_FAILED = 6
EXIT_NO_PHOTO_DECODER = 7

# How the command calls itself: the installed program by its name, the
# module run by python3 -m as that.
COMMAND = "vessik"
MODULE_COMMAND = "python3 -m vessik"

MAX_INTERVAL_MS = 60000
PHOTO_FORMATS = ("png", "bmp")
DOCTOR_HINT = " (run vessik-doctor to see why)"
_READER_ERRORS = (vessik.NoReader, vessik.ReaderInUse, vessik.AccessDenied, vessik.NotSupported)


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: {message}\n")


def _interval_ms(text: str) -> int:
    if not text.isdigit() or not 1 <= int(text) <= MAX_INTERVAL_MS:
        raise argparse.ArgumentTypeError(
            f"{text}: expected milliseconds from 1 to {MAX_INTERVAL_MS}")
    return int(text)


def _parser(prog: str) -> argparse.ArgumentParser:
    p = _Parser(prog=prog,
                description="Reads identity cards and prints them, or lists the readers.",
                epilog="Exit status: 0 card read (--watch: stopped by Ctrl-C), 1 usage, "
                       "2 no reader (run vessik-doctor to see why), 3 no card before the "
                       "timeout, 4 cancelled, 5 reader lost, 6 any other failure, 7 --photo "
                       "but no photo decoder is installed (the card was printed).")
    p.add_argument("--json", action="store_true",
                   help="one JSON object per card, the one vessik-read --json prints "
                        "(default: a block of text per card)")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--once", action="store_true",
                      help="read one card, then exit (the default)")
    mode.add_argument("--watch", action="store_true",
                      help="one card per presentation until Ctrl-C; a card lifted prints a "
                           "line of its own (card removed from READER; JSON: "
                           "{\"event\":\"removed\",\"reader\":...}) where the reader can "
                           "tell (default: --once)")
    mode.add_argument("--list", action="store_true",
                      help="the readers, no card (default: read cards)")
    p.add_argument("--reader", metavar="WHERE",
                   help="usb, usb:BUS-PORTS or serial:/dev/DEVICE[@RATE] "
                        "(default: usb, the first USB reader)")
    p.add_argument("--timeout", type=float, metavar="S",
                   help="give up when no card has come within S seconds "
                        "(default: wait for ever)")
    p.add_argument("--interval", type=_interval_ms, metavar="MS",
                   help=f"pause between looks for a card, 1 to {MAX_INTERVAL_MS} ms "
                        "(default 100)")
    p.add_argument("--photo", metavar="DIR",
                   help="write the card's portrait to DIR/<id number>.png; every character "
                        "of the number but digits and capital letters A-Z becomes '_' "
                        "(default: no image is written)")
    p.add_argument("--photo-format", choices=PHOTO_FORMATS,
                   help="png: the library checks the photo decoder's image and encodes it "
                        "as PNG; bmp: the decoder's own BMP file as it wrote it "
                        "(default: png)")
    p.add_argument("--fingerprint", "--fingerprints", dest="fingerprints", action="store_true",
                   help="read the fingerprint templates too (default: not read)")
    p.add_argument("--appended-address", action="store_true",
                   help="read the address appended after a move too (default: not read)")
    p.add_argument("--answer-driven", action="store_true",
                   help="take the module's answer as soon as it is whole instead of after a "
                        "fixed 0.9 s (off until captures of real modules confirm it; "
                        "default: the fixed wait)")
    return p


def _exit_status(error: vessik.Error) -> int:
    if isinstance(error, _READER_ERRORS):
        return EXIT_NO_READER
    return {vessik.Timeout: EXIT_TIMEOUT, vessik.Cancelled: EXIT_CANCELLED,
            vessik.ReaderLost: EXIT_READER_LOST, vessik.BadLocation: EXIT_USAGE}.get(
                type(error), EXIT_FAILED)


def photo_file_name(id_number: str, photo_format: str = "bmp") -> str:
    """The image's name, as vessik-read makes it: no character of the card's
    number may lead out of the folder."""
    name = "".join(ch if ch.isascii() and (ch.isdigit() or "A" <= ch <= "Z") else "_"
                   for ch in id_number)
    return (name or "_") + "." + photo_format


class NoImage(Exception):
    """--photo asked for an image and none came (the text says why)."""


def _write_image(card: vessik.Card, photo_format: str, written: str) -> None:
    """The portrait at `written`: the decoder's own BMP, or the library's PNG
    of it (NoImage when the decoder's image is refused or cannot be a PNG)."""
    if photo_format == "bmp":
        _library.save_image(card.photo, written)
        return
    try:
        png = card.photo_image().png()
    except vessik.NotSupported as e:
        # The decoder is there (the caller asked): the PNG writer is not.
        raise NoImage("libpng (libpng16.so.16) cannot be loaded to write the PNG") from e
    except vessik.Error as e:
        raise NoImage(e.text) from e
    with open(written, "xb") as f:
        f.write(png)


def _save_photo(card: vessik.Card, folder: str, photo_format: str) -> str:
    """Writes FOLDER/<id>.png (or .bmp) into a private folder first and moves
    it into place only where no file of that name is; the path (NoImage when
    no image came)."""
    path = os.path.join(folder, photo_file_name(card.id_number, photo_format))
    scratch = tempfile.mkdtemp(prefix=".vessik.", dir=folder)  # 0700
    written = os.path.join(scratch, os.path.basename(path))
    try:
        mask = os.umask(0o077)
        try:
            _write_image(card, photo_format, written)
        finally:
            os.umask(mask)
        if not os.path.isfile(written) or os.path.islink(written) or \
                os.path.getsize(written) == 0:
            raise NoImage("the photo decoder wrote no image")
        os.link(written, path)  # never over an existing file or through a link
        return path
    finally:
        for entry in os.listdir(scratch):
            os.unlink(os.path.join(scratch, entry))
        os.rmdir(scratch)


def _print_card(card: vessik.Card, args: argparse.Namespace, prog: str) -> int:
    """Prints the card; the exit status its photo leaves."""
    image: Optional[str] = None
    status = EXIT_OK
    if args.photo is not None:
        if _library.photo_decoder() is None:
            if not args.decoder_told:  # once, as --watch prints many cards
                print(f"{prog}: --photo: no photo decoder is installed, so no image is "
                      "written; vessik-doctor names the decoder found", file=sys.stderr)
                args.decoder_told = True
            status = EXIT_NO_PHOTO_DECODER
        else:
            try:
                image = _save_photo(card, args.photo, args.photo_format or "png")
            except FileExistsError as e:
                print(f"{prog}: --photo: {e.filename2} exists; it is not replaced",
                      file=sys.stderr)
                status = EXIT_FAILED
            except OSError as e:
                print(f"{prog}: --photo: {e}", file=sys.stderr)
                status = EXIT_FAILED
            except NoImage as e:
                print(f"{prog}: --photo: no image written: {e}", file=sys.stderr)
                status = EXIT_FAILED
    if args.json:
        card_object = card.to_dict()
        card_object["photo_image"] = image
        print(json.dumps(card_object, ensure_ascii=False, separators=(",", ":")), flush=True)
    else:
        print(f"{card}\n" + (f"Image:            {image}\n" if image else ""), flush=True)
    return status


def _list(as_json: bool, prog: str) -> int:
    listed = []
    for info in vessik.readers():
        error: Optional[str] = None
        try:
            with vessik.open(info.location) as reader:
                info = reader.info
        except vessik.Error as e:
            error = e.text
        if not info.module_id_hex and error is None:
            error = "the module did not say"
        listed.append((info, error))
    if as_json:
        print(json.dumps([{"location": info.location, "transport": info.transport.value,
                           "usb_id": info.usb_id,
                           "module_id": None if error else info.module_id_hex,
                           "error": error} for info, error in listed],
                         separators=(",", ":")))
    else:
        for info, error in listed:
            module = f"module unknown ({error})" if error else f"module {info.module_id_hex}"
            print(f"{info.location}  {info.usb_id}  {module}")
    if not listed:
        print(f"{prog}: no reader found{DOCTOR_HINT}", file=sys.stderr)
        return EXIT_NO_READER
    return EXIT_OK


def _read(args: argparse.Namespace, prog: str) -> int:
    wanted = dict(fingerprints=args.fingerprints, appended_address=args.appended_address,
                  answer_driven=args.answer_driven)
    if args.interval is not None:
        wanted["interval"] = args.interval / 1000
    if args.photo is not None and not os.path.isdir(args.photo):
        raise ValueError(f"--photo {args.photo}: not a folder")
    with vessik.open(args.reader or "usb") as reader:
        if not args.watch:
            return _print_card(reader.read(timeout=args.timeout, **wanted), args, prog)
        for event in reader.events(**wanted):
            if isinstance(event, vessik.CardRemoved):
                removed = {"event": "removed", "reader": event.reader}
                print(json.dumps(removed, separators=(",", ":")) if args.json else
                      f"card removed from {event.reader}", flush=True)
            else:
                args.status = max(args.status, _print_card(event.card, args, prog))
    return int(args.status)


def _stop(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def main(argv: Optional[List[str]] = None, prog: str = COMMAND) -> int:
    parser = _parser(prog)
    args = parser.parse_args(argv)
    if args.list and (args.timeout is not None or args.interval is not None or
                      args.photo is not None or args.fingerprints or args.appended_address or
                      args.reader is not None):
        parser.error("--list reads no card: it takes --json alone")
    if args.photo_format is not None and args.photo is None:
        parser.error("--photo-format goes with --photo")
    args.status = EXIT_OK  # --watch: the worst a card's photo left
    args.decoder_told = False
    signal.signal(signal.SIGTERM, _stop)  # SIGTERM cancels the read as Ctrl-C does
    try:
        return _list(args.json, prog) if args.list else _read(args, prog)
    except KeyboardInterrupt:
        return args.status if args.watch else EXIT_CANCELLED
    except vessik.Error as e:
        hint = DOCTOR_HINT if isinstance(e, _READER_ERRORS) else ""
        print(f"{prog}: {e}{hint}", file=sys.stderr)
        return _exit_status(e)
    except (ValueError, vessik.LibraryError) as e:
        print(f"{prog}: {e}", file=sys.stderr)
        return EXIT_USAGE if isinstance(e, ValueError) else EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main(prog=MODULE_COMMAND))
