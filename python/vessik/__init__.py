# SPDX-License-Identifier: LGPL-2.1-or-later
"""Identity cards from a USB reader carrying a security module, through libvessik.

    import vessik
    card = vessik.read(timeout=10)
    print(card.name, card.id_number, card.valid_to or "long-term")

vessik.read() reads once; vessik.open(where) keeps a reader open for
reader.read() and reader.watch(); vessik.readers() lists the readers.
Failures raise vessik.Error subclasses carrying the library's code and text.
The library is loaded on first use (see _library for VESSIK_LIBRARY and
VESSIK_PHOTO_DECODER).
"""
from __future__ import annotations

import threading

from . import _structs
from ._card import (Card, CardType, IdCheck, ItemState, PhaseTimes, ReaderInfo,
                    Transport)
from ._errors import (AccessDenied, BadImage, BadLocation, Busy, Cancelled, DecoderFailed,
                      Error, LibraryError, NoReader, NotSupported, ReaderInUse, ReaderLost,
                      Timeout)
from ._image import Image
from ._library import LOG_HANDLER, library
from ._reader import (CardPresented, CardRemoved, DefaultReader, Reader, make_options,
                      reader_list)

# typing is not imported at run time: importing vessik stays quick.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import List, Optional, Set

__version__ = "1.0.0"

__all__ = [
    "read", "readers", "open", "cancel", "set_log_level", "api_version",
    "Reader", "CardPresented", "CardRemoved", "Card", "CardType", "IdCheck", "ItemState",
    "PhaseTimes", "ReaderInfo", "Transport", "Error", "Timeout", "Cancelled", "NoReader", "ReaderLost", "Busy",
    "ReaderInUse", "AccessDenied", "BadLocation", "NotSupported", "LibraryError",
    "Image", "DecoderFailed", "BadImage",
]

DEFAULT_READER = "usb"

_default_reader = DefaultReader()
_one_shot_lock = threading.RLock()  # cancel() may come from a signal handler
_one_shot_readers: Set[Reader] = set()


def read(timeout: Optional[float] = 10.0, interval: float = 0.1, fingerprints: bool = False,
         appended_address: bool = False, reader: str = DEFAULT_READER,
         answer_driven: bool = False) -> Card:
    """Waits up to `timeout` seconds (None: for ever) for a card on `reader`,
    asking every `interval` seconds, and reads it; the reader is open only
    for the read. "usb" is the first USB reader, which remembers the last
    card: one read that starts within a second of the previous one waits for
    a card laid down anew. answer_driven takes the module's answer as soon
    as it is whole instead of after the fixed 0.9 s (off by default)."""
    options = make_options(timeout, interval, fingerprints, appended_address, False,
                           answer_driven)
    if reader == DEFAULT_READER:
        return _default_reader.read(options)
    with Reader(reader) as opened:
        with _one_shot_lock:
            _one_shot_readers.add(opened)
        try:
            return opened._read(options, fresh=False)  # a cancel() from now on counts
        finally:
            with _one_shot_lock:
                _one_shot_readers.discard(opened)


def cancel() -> None:
    """Cancels the vessik.read() calls in progress (from any thread, or a
    signal handler)."""
    _default_reader.cancel()
    with _one_shot_lock:
        running = list(_one_shot_readers)
    for opened in running:
        opened._cancel(only_running=False)


def open(where: str = DEFAULT_READER) -> Reader:
    """Opens a reader and keeps it until close() or the end of a with block:
    "usb" (the first USB reader), "usb:1-2" (bus 1, port 2),
    "serial:/dev/ttyUSB0" or "serial:/dev/ttyS1@57600"."""
    return Reader(where)


def readers() -> List[ReaderInfo]:
    """Every reader this process could open, USB readers in bus order. The
    module identifiers are empty here: Reader.info has them."""
    return reader_list()


def api_version() -> int:
    """The read interface version of the loaded library."""
    return int(library().vessik_read_api_version())


_LOG_LEVELS = ((40, _structs.LOG_ERROR), (30, _structs.LOG_WARNING), (20, _structs.LOG_INFO),
               (10, _structs.LOG_DEBUG), (0, _structs.LOG_TRACE))
_log_handlers: List[object] = []  # every handler given out stays alive: a read may still call it


def set_log_level(level: Optional[int]) -> None:
    """Sends the library's diagnostics at `level` (a logging level) and above
    to the "vessik" logger; None stops them (the default). Card contents are
    never among them: at the trace level (5) every frame is a line, and every
    answer's data after its status are zeros (but for a module identifier's
    answer of exactly its length), whichever command was sent before it."""
    lib = library()
    if level is None:
        lib.vessik_set_log_handler(0, LOG_HANDLER(0), None)
        return
    import logging
    logger = logging.getLogger("vessik")
    to_python = {ours: theirs for theirs, ours in _LOG_LEVELS}
    to_python[_structs.LOG_TRACE] = 5

    def forward(ours: int, message: bytes, _context: object) -> None:
        logger.log(to_python.get(ours, logging.DEBUG), "%s", message.decode("utf-8", "replace"))

    handler = LOG_HANDLER(forward)
    _log_handlers.append(handler)
    lib.vessik_set_log_handler(next(o for bound, o in _LOG_LEVELS if max(level, 0) >= bound),
                               handler, None)
