# SPDX-License-Identifier: LGPL-2.1-or-later
"""Finding and loading libvessik.so.1.

The library takes the libusb-1.0 functions and the photo decoder's from the
process that loads it, so both are loaded first, into the global namespace.
Where each comes from:
  VESSIK_LIBRARY        the path of libvessik.so.1; default: the system's
                        library search (ld.so.conf, LD_LIBRARY_PATH)
  VESSIK_PHOTO_DECODER  the path of libwltdec64.so; default: one the process
                        already holds (LD_PRELOAD), else one beside
                        VESSIK_LIBRARY, else the system's
"""
from __future__ import annotations

import ctypes
import os
import threading
from ctypes import POINTER, c_char_p, c_int, c_size_t, c_ubyte, c_void_p

from . import _structs as c
from ._errors import LibraryError

# typing is not imported at run time: importing vessik stays quick.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import List, Optional, Tuple

LIBRARY_VARIABLE = "VESSIK_LIBRARY"
DECODER_VARIABLE = "VESSIK_PHOTO_DECODER"
_LIBRARY_NAME = "libvessik.so.1"
_USB_NAME = "libusb-1.0.so.0"
_DECODER_NAME = "libwltdec64.so"
_DECODER_SYMBOL = "saveWlt2BmpUseFork"
_STANDIN_SYMBOL = "vessik_wltdec_is_standin"  # exported by the kit's stand-in alone

LOG_HANDLER = ctypes.CFUNCTYPE(None, c_int, c_char_p, c_void_p)

_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The library, loaded on first use."""
    lib = _loaded
    if lib is not None:
        return lib
    return _load_once()


def _load_once() -> ctypes.CDLL:
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = load(os.environ.get(LIBRARY_VARIABLE) or None)
        return _loaded


def _load_global(candidates: List[str], short_name: str = "") -> bool:
    """Loads the first of `candidates` that loads, its symbols for all; then,
    only if none did, what ldconfig knows as lib<short_name>."""
    for name in candidates:
        try:
            ctypes.CDLL(name, mode=ctypes.RTLD_GLOBAL)
            return True
        except OSError:
            continue
    if not short_name:
        return False
    from ctypes.util import find_library  # only now: it brings subprocess, slow to import

    found = find_library(short_name)
    return found is not None and _load_global([found])


def _load_usb() -> None:
    if not _load_global([_USB_NAME], "usb-1.0"):
        raise LibraryError(f"libvessik needs {_USB_NAME}: install libusb-1.0-0")


def _load_decoder(library_path: Optional[str]) -> None:
    chosen = os.environ.get(DECODER_VARIABLE)
    if chosen:
        if not _load_global([chosen]):
            raise LibraryError(f"{DECODER_VARIABLE}={chosen}: cannot load it")
        return
    if hasattr(ctypes.CDLL(None), _DECODER_SYMBOL):
        return  # preloaded, or linked into the program
    candidates = [_DECODER_NAME]
    if library_path:
        candidates.insert(0, os.path.join(os.path.dirname(library_path), _DECODER_NAME))
    if not _load_global(candidates, "wltdec64"):
        raise LibraryError(
            f"libvessik needs the photo decoder {_DECODER_NAME}: install "
            f"libwltdec64-standin (or the real decoder), or set {DECODER_VARIABLE}")


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads libvessik from `path` (default: the system's search) and checks
    that it speaks an interface version this package knows."""
    _load_usb()
    _load_decoder(path)
    where = path or _LIBRARY_NAME
    try:
        lib = ctypes.CDLL(where)
    except OSError as e:
        raise LibraryError(f"cannot load {where} ({e}); install libvessik1, or set "
                           f"{LIBRARY_VARIABLE} to the path of {_LIBRARY_NAME}") from None
    known = " or ".join(str(v) for v in c.KNOWN_API_VERSIONS)
    version = (lib.vessik_read_api_version()
               if hasattr(lib, "vessik_read_api_version") else 1)
    if version not in c.KNOWN_API_VERSIONS:
        raise LibraryError(
            f"{where} speaks read interface version {version}; this vessik package "
            f"knows version {known}: install the python3-vessik that matches the library")
    _declare(lib)
    return lib


def _declare(lib: ctypes.CDLL) -> None:
    reader_p = c_void_p
    signatures = {
        "vessik_read_api_version": (c_int, []),
        "vessik_reader_list": (c_int, [POINTER(c.ReaderInfoRecord), c_int]),
        "vessik_reader_open": (c_int, [c_char_p, POINTER(reader_p)]),
        "vessik_reader_read": (c_int, [reader_p, POINTER(c.ReadOptions),
                                       POINTER(c.CardRecord)]),
        "vessik_reader_cancel": (None, [reader_p]),
        "vessik_reader_wait_removed": (c_int, [reader_p, POINTER(c.ReadOptions)]),
        "vessik_cancel_token_new": (c_void_p, []),
        "vessik_cancel_token_cancel": (None, [c_void_p]),
        "vessik_cancel_token_reset": (None, [c_void_p]),
        "vessik_cancel_token_free": (None, [c_void_p]),
        "vessik_reader_close": (None, [reader_p]),
        "vessik_reader_set_rate": (c_int, [reader_p, c_int]),
        "vessik_reader_get_info": (c_int, [reader_p, POINTER(c.ReaderInfoRecord)]),
        "vessik_read": (c_int, [POINTER(c.ReadOptions), POINTER(c.CardRecord)]),
        "vessik_cancel": (None, []),
        "vessik_set_log_handler": (None, [c_int, LOG_HANDLER, c_void_p]),
        "vessik_strerror": (c_char_p, [c_int]),
    }
    if hasattr(lib, "vessik_photo_decode"):  # since version 3
        image_p = POINTER(c.ImageRecord)
        signatures.update({
            "vessik_photo_decode": (c_int, [c_void_p, image_p]),
            "vessik_image_free": (None, [image_p]),
            "vessik_image_to_png": (c_int, [image_p, POINTER(POINTER(c_ubyte)),
                                            POINTER(c_size_t)]),
            "vessik_png_free": (None, [POINTER(c_ubyte), c_size_t]),
        })
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


class _DlInfo(ctypes.Structure):
    _fields_ = [("fname", c_char_p), ("fbase", c_void_p), ("sname", c_char_p),
                ("saddr", c_void_p)]


def _object_of(process: ctypes.CDLL, symbol: str) -> Optional[Tuple[str, int]]:
    """The file and load address of the object that gives the process
    `symbol`, or None. Without dladdr (a C library before glibc 2.34 that
    has not loaded libdl), the file is unknown but the answer stands."""
    address = ctypes.cast(getattr(process, symbol, None) or 0, c_void_p).value
    if address is None:
        return None
    dladdr = getattr(process, "dladdr", None)
    info = _DlInfo()
    if dladdr is None or not dladdr(c_void_p(address), ctypes.byref(info)):
        return ("", 0)
    return (os.fsdecode(info.fname or b""), info.fbase or 0)


def photo_decoder() -> Optional[str]:
    """The file of the photo decoder the library's photo conversion reaches
    ("" where the C library cannot say), or None while only the kit's
    stand-in answers, which decodes nothing."""
    library()  # the decoder is loaded with it
    process = ctypes.CDLL(None)
    entry = _object_of(process, _DECODER_SYMBOL)
    standin = _object_of(process, _STANDIN_SYMBOL)
    if entry is None or (standin is not None and standin[1] == entry[1]):
        return None
    return entry[0]


def save_image(photo: bytes, path: str) -> int:
    """The documented SaveImage: the decoder writes the card's photo to
    `path`; its own result, passed back unchanged."""
    save = library().SaveImage
    save.restype = c_int
    save.argtypes = [c_char_p, c_char_p]
    return int(save(photo, os.fsencode(path)))


def strerror(code: int) -> str:
    text: bytes = library().vessik_strerror(code)
    return text.decode("utf-8", "replace")
