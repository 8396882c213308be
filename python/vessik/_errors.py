# SPDX-License-Identifier: LGPL-2.1-or-later
"""Exceptions: one class for each result code a caller may want to tell apart."""
from __future__ import annotations

from . import _structs as c

# typing is not imported at run time: importing vessik stays quick.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Dict, Type


class Error(Exception):
    """A call the library refused: `code` is its VESSIK_E_* code, `text` its
    own words for it (vessik_strerror)."""

    def __init__(self, code: int, text: str) -> None:
        super().__init__(code, text)
        self.code = code
        self.text = text

    def __str__(self) -> str:
        return self.text


class Timeout(Error, TimeoutError):
    """No card came before the deadline."""


class Cancelled(Error):
    """Reader.cancel() or vessik.cancel() stopped the read."""


class NoReader(Error):
    """The reader is absent or cannot be opened."""


class ReaderLost(Error):
    """The reader went away during the read."""


class Busy(Error):
    """Another read is running on the same reader."""


class ReaderInUse(Error):
    """Another program holds the reader."""


class AccessDenied(Error, PermissionError):
    """No permission to open the reader (see the README's reader permissions)."""


class BadLocation(Error, ValueError):
    """A reader location that is not well formed."""


class NotSupported(Error):
    """A kind of reader, or a request, this build or module cannot serve."""


class DecoderFailed(Error):
    """The photo decoder wrote no image."""


class BadImage(Error):
    """The photo decoder's file is not a plausible 24-bit BMP of this user."""


class LibraryError(OSError):
    """libvessik.so.1 or what it needs cannot be loaded, or it speaks an
    interface version this package does not know."""


_BY_CODE: Dict[int, Type[Error]] = {
    c.E_TIMEOUT: Timeout,
    c.E_CANCELLED: Cancelled,
    c.E_NO_READER: NoReader,
    c.E_READER_LOST: ReaderLost,
    c.E_BUSY: Busy,
    c.E_READER_IN_USE: ReaderInUse,
    c.E_ACCESS: AccessDenied,
    c.E_BAD_LOCATION: BadLocation,
    c.E_NOT_SUPPORTED: NotSupported,
    c.E_DECODER_FAILED: DecoderFailed,
    c.E_BAD_IMAGE: BadImage,
}


def error_for(code: int, text: str) -> Error:
    return _BY_CODE.get(code, Error)(code, text)
