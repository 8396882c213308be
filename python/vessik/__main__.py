# SPDX-License-Identifier: LGPL-2.1-or-later
"""vessik (or python3 -m vessik): read a card, watch the reader, or list the readers."""
import argparse
import json
import signal
import sys
from typing import List, NoReturn, Optional

import vessik

# Exit statuses, as vessik-read has them.
EXIT_OK = 0
EXIT_USAGE = 1
EXIT_NO_READER = 2
EXIT_TIMEOUT = 3
EXIT_CANCELLED = 4
EXIT_READER_LOST = 5
EXIT_FAILED = 6

# How the command calls itself: the installed program by its name, the
# module run by python3 -m as that.
COMMAND = "vessik"
MODULE_COMMAND = "python3 -m vessik"


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: {message}\n")


def _parser(prog: str) -> argparse.ArgumentParser:
    p = _Parser(prog=prog,
                description="Reads identity cards and prints them, or lists the readers.",
                epilog="Exit status: 0 card read (--watch: stopped by Ctrl-C), 1 usage, "
                       "2 no reader, 3 no card before the timeout, 4 cancelled, "
                       "5 reader lost, 6 any other failure.")
    p.add_argument("--json", action="store_true",
                   help="one JSON object per card (the form vessik-read --json prints)")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--watch", action="store_true",
                      help="one card per presentation until Ctrl-C")
    mode.add_argument("--list", action="store_true", help="the readers, no card")
    p.add_argument("--reader", default="usb", metavar="WHERE",
                   help="usb (default), usb:BUS-PORTS or serial:/dev/DEVICE[@RATE]")
    p.add_argument("--timeout", type=float, metavar="S", help="give up after S seconds")
    p.add_argument("--interval", type=float, default=0.1, metavar="S",
                   help="seconds between finds while no card is there (default 0.1)")
    p.add_argument("--fingerprints", action="store_true", help="the fingerprint templates too")
    p.add_argument("--appended-address", action="store_true",
                   help="the address appended after a move too")
    return p


def _exit_status(error: vessik.Error) -> int:
    if isinstance(error, (vessik.NoReader, vessik.ReaderInUse, vessik.AccessDenied,
                          vessik.NotSupported)):
        return EXIT_NO_READER
    return {vessik.Timeout: EXIT_TIMEOUT, vessik.Cancelled: EXIT_CANCELLED,
            vessik.ReaderLost: EXIT_READER_LOST, vessik.BadLocation: EXIT_USAGE}.get(
                type(error), EXIT_FAILED)


def _print_card(card: vessik.Card, as_json: bool) -> None:
    print(card.to_json() if as_json else f"{card}\n", flush=True)


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
        print(f"{prog}: no reader found", file=sys.stderr)
        return EXIT_NO_READER
    return EXIT_OK


def _read(args: argparse.Namespace) -> int:
    wanted = dict(interval=args.interval, fingerprints=args.fingerprints,
                  appended_address=args.appended_address)
    with vessik.open(args.reader) as reader:
        if args.watch:
            for card in reader.watch(**wanted):
                _print_card(card, args.json)
        else:
            _print_card(reader.read(timeout=args.timeout, **wanted), args.json)
    return EXIT_OK


def _stop(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def main(argv: Optional[List[str]] = None, prog: str = COMMAND) -> int:
    args = _parser(prog).parse_args(argv)
    signal.signal(signal.SIGTERM, _stop)  # SIGTERM cancels the read as Ctrl-C does
    try:
        return _list(args.json, prog) if args.list else _read(args)
    except KeyboardInterrupt:
        return EXIT_OK if args.watch else EXIT_CANCELLED
    except vessik.Error as e:
        print(f"{prog}: {e}", file=sys.stderr)
        return _exit_status(e)
    except (ValueError, vessik.LibraryError) as e:
        print(f"{prog}: {e}", file=sys.stderr)
        return EXIT_USAGE if isinstance(e, ValueError) else EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main(prog=MODULE_COMMAND))
