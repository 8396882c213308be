# SPDX-License-Identifier: LGPL-2.1-or-later
"""The C structs and constants of vessik_read.h, as ctypes sees them.

Every offset here must match the header: the tests compare each field's
offset and size, and each constant, with what a C program built from the
header prints.
"""
from __future__ import annotations

import ctypes
from ctypes import POINTER, c_char, c_int, c_size_t, c_ubyte, c_uint, c_ushort, c_void_p

# typing is not imported at run time: importing vessik stays quick.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Type, TypeVar

    _Record = TypeVar("_Record", bound=ctypes.Structure)
# The interface versions this package speaks.
KNOWN_API_VERSIONS = (3,)

# Results.
OK = 0
E_TIMEOUT = -1
E_CANCELLED = -2
E_NO_READER = -3
E_READER_LOST = -4
E_BAD_ARGUMENT = -5
E_BUSY = -6
E_NOT_SUPPORTED = -7
E_BAD_LOCATION = -8
E_READER_IN_USE = -9
E_ACCESS = -10
E_NO_MEMORY = -11
E_DECODER_FAILED = -12  # since version 3
E_BAD_IMAGE = -13

# Card types, item states, id checks, transports, log levels.
CARD_RESIDENT = 1
CARD_FOREIGN_PERMANENT = 2
CARD_HMT_PERMIT = 3
CARD_UNKNOWN = 4
ITEM_NOT_ASKED = 0
ITEM_PRESENT = 1
ITEM_ABSENT = 2
ITEM_UNSUPPORTED = 3
ITEM_NOT_READ = 4
ID_CHECK_NOT_APPLICABLE = -1
ID_CHECK_WRONG = 0
ID_CHECK_OK = 1
TRANSPORT_USB = 1
TRANSPORT_SERIAL = 2
LOG_ERROR = 1
LOG_WARNING = 2
LOG_INFO = 3
LOG_DEBUG = 4
LOG_TRACE = 5


class ReadOptions(ctypes.Structure):
    _fields_ = [
        ("size", c_uint),
        ("deadline_ms", c_uint),
        ("poll_interval_ms", c_uint),
        ("report_same_card", c_int),
        ("callback", c_void_p),
        ("want_fingerprints", c_int),
        ("want_appended_address", c_int),
        ("cancel_token", c_void_p),
        ("status_callback", c_void_p),
        ("callback_context", c_void_p),
        ("answer_driven", c_int),
    ]


class CardRecord(ctypes.Structure):
    _fields_ = [
        ("size", c_uint),
        ("type", c_int),
        ("name", c_char * 46),
        ("name_en", c_char * 181),
        ("sex", c_char * 4),
        ("nation_code", c_char * 10),
        ("nation_name", c_char * 13),
        ("birth", c_char * 25),
        ("address", c_char * 106),
        ("id_number", c_char * 55),
        ("authority", c_char * 46),
        ("valid_from", c_char * 25),
        ("valid_to", c_char * 25),
        ("pass_number", c_char * 28),
        ("issue_count", c_char * 7),
        ("version", c_char * 7),
        ("id_check", c_int),
        ("text_block", c_ubyte * 256),
        ("photo", c_ubyte * 1024),
        ("find_us", c_uint),
        ("select_us", c_uint),
        ("read_us", c_uint),
        ("decode_us", c_uint),
        ("reader", c_char * 96),
        ("type_marker", c_char * 8),
        ("fingerprint_state", c_int),
        ("fingerprint_count", c_int),
        ("fingerprint_bytes", c_uint),
        ("fingerprints", c_ubyte * 1024),
        ("appended_address_state", c_int),
        ("appended_address", c_char * 106),
        ("appended_address_raw_bytes", c_uint),
        ("appended_address_raw", c_ubyte * 256),
        ("damaged_fields", c_uint),
    ]


class ReaderInfoRecord(ctypes.Structure):
    _fields_ = [
        ("size", c_uint),
        ("transport", c_int),
        ("location", c_char * 96),
        ("vendor_id", c_ushort),
        ("product_id", c_ushort),
        ("module_id_len", c_int),
        ("module_id", c_ubyte * 64),
        ("module_id_hex", c_char * 129),
    ]


class ImageRecord(ctypes.Structure):
    """vessik_image (since version 3): the pixels belong to the library."""
    _fields_ = [
        ("size", c_uint),
        ("width", c_uint),
        ("height", c_uint),
        ("rgb", POINTER(c_ubyte)),
        ("rgb_bytes", c_size_t),
    ]


def sized(record_type: Type[_Record]) -> _Record:
    """A zeroed record whose size field says how much of it we know."""
    record = record_type()
    record.size = ctypes.sizeof(record_type)
    return record
