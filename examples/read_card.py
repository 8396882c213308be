#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Reads one identity card and prints a guest record for it as JSON.

    python3 read_card.py [--timeout SECONDS] [--reader WHERE]

Exit status 0 with a card, 1 without (the reason on stderr).
"""
import argparse
import json
import sys
from typing import Dict

import vessik


def valid_to(card: vessik.Card) -> str:
    if card.long_term:
        return "long-term"
    # A date the card spells in a way of its own stays as the card gives it.
    return card.valid_to.isoformat() if card.valid_to else card.valid_to_text


def guest_record(card: vessik.Card) -> Dict[str, str]:
    """What a check-in form keeps of a card: no photo, no raw bytes."""
    return {
        "name": card.name or card.name_en,
        "id_number": card.id_number,
        "card_type": card.type.value,
        "valid_to": valid_to(card),
        "id_check": card.id_check.value,
    }


def main() -> int:
    parser = argparse.ArgumentParser(description="Reads one identity card.")
    parser.add_argument("--timeout", type=float, default=10.0,
                        help="seconds to wait for a card (default 10)")
    parser.add_argument("--reader", default="usb",
                        help="usb (the first USB reader, the default), usb:1-2, serial:/dev/ttyUSB0")
    args = parser.parse_args()
    try:
        with vessik.open(args.reader) as reader:
            card = reader.read(timeout=args.timeout)
    except (vessik.Error, vessik.LibraryError) as err:
        # Timeout, NoReader, AccessDenied ... each is a vessik.Error.
        print(f"read_card.py: {err}", file=sys.stderr)
        return 1
    print(json.dumps(guest_record(card), ensure_ascii=False))
    return 0


if __name__ == "__main__":
    sys.exit(main())
