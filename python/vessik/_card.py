# SPDX-License-Identifier: LGPL-2.1-or-later
"""Card and ReaderInfo: what a read gives, as plain Python values."""
from __future__ import annotations

import binascii
import ctypes
import datetime
import enum
from dataclasses import dataclass

from . import _structs as c

# typing is not imported at run time: importing vessik stays quick.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Optional

    from ._image import Image


class CardType(enum.Enum):
    """The card's type; the values are the library's names for them."""
    RESIDENT = "resident"
    FOREIGN_PERMANENT = "foreign-permanent"
    HMT_PERMIT = "hmt-permit"
    UNKNOWN = "unknown"  # a type marker the library does not know: no field is decoded


class IdCheck(enum.Enum):
    """What the identity number's check character says (never enforced)."""
    OK = "ok"
    WRONG = "wrong"
    NOT_APPLICABLE = "not-applicable"


class ItemState(enum.Enum):
    """What became of an item asked for beside the text and the photo."""
    NOT_ASKED = "not-asked"
    PRESENT = "present"
    ABSENT = "absent"  # the card has none
    UNSUPPORTED = "unsupported"  # the module refused the command; the rest was read
    NOT_READ = "not-read"  # the module gave no usable answer; the rest was read


class Transport(enum.Enum):
    USB = "usb"
    SERIAL = "serial"


_CARD_TYPES = {c.CARD_RESIDENT: CardType.RESIDENT,
               c.CARD_FOREIGN_PERMANENT: CardType.FOREIGN_PERMANENT,
               c.CARD_HMT_PERMIT: CardType.HMT_PERMIT}
_ID_CHECKS = {c.ID_CHECK_OK: IdCheck.OK, c.ID_CHECK_WRONG: IdCheck.WRONG}
_ITEM_STATES = {c.ITEM_NOT_ASKED: ItemState.NOT_ASKED, c.ITEM_PRESENT: ItemState.PRESENT,
                c.ITEM_ABSENT: ItemState.ABSENT, c.ITEM_UNSUPPORTED: ItemState.UNSUPPORTED,
                c.ITEM_NOT_READ: ItemState.NOT_READ}

# The sex code as vessik-read labels it.
_SEX_WORDS = {"1": "1 (male)", "2": "2 (female)"}

# How a card writes "valid for ever" where the end date would stand.
LONG_TERM_TEXT = "长期"


def _date(text: str) -> Optional[datetime.date]:
    """YYYYMMDD as a date; None for anything else (long-term, empty, damaged)."""
    if len(text) != 8 or not text.isascii() or not text.isdigit():
        return None
    try:
        return datetime.date(int(text[:4]), int(text[4:6]), int(text[6:]))
    except ValueError:
        return None


@dataclass(frozen=True)
class PhaseTimes:
    """How long finding, selecting, reading and decoding the card took, in µs."""
    find: int
    select: int
    read: int
    decode: int


@dataclass(frozen=True, repr=False)
class Card:
    """One card as read. Texts a card type does not carry are empty; dates
    that are not YYYYMMDD (long-term, or an unknown type's) are None, with
    the card's own text beside them.

    repr() names no personal data, so that a card in a log or a traceback
    gives nothing away; str() and to_dict() show every field."""
    type: CardType
    type_marker: str  # "", "I", "J" or one the library does not know
    name: str  # foreign: the Chinese name
    name_en: str  # foreign
    sex: str  # "1" male, "2" female
    nation_code: str  # resident: two digits; foreign: three-letter country code
    nation_name: str  # resident
    birth: Optional[datetime.date]
    birth_text: str
    address: str  # resident, permit
    id_number: str  # foreign: the card number
    id_check: IdCheck
    authority: str  # foreign: the authority's code
    valid_from: Optional[datetime.date]
    valid_from_text: str
    valid_to: Optional[datetime.date]  # None when long-term
    valid_to_text: str
    pass_number: str  # permit
    issue_count: str  # permit
    version: str  # foreign
    text_block: bytes  # the 256 bytes of card text as the card gives them
    photo: bytes  # the 1024 bytes of compressed photo as the card gives them
    fingerprint_state: ItemState
    fingerprint_count: int
    fingerprints: bytes  # the templates, 512 bytes each
    appended_address_state: ItemState
    appended_address: str
    appended_address_raw: bytes
    reader: str  # the location of the reader that read it
    times_us: PhaseTimes

    @property
    def long_term(self) -> bool:
        """True when the card is valid for ever."""
        return self.valid_to_text == LONG_TERM_TEXT

    def photo_image(self) -> Image:
        """The portrait decoded by the loaded photo decoder: an Image with
        width, height, RGB bytes, .png() and .to_pil(). Raises NotSupported
        when no decoder is installed (the kit's stand-in decodes nothing),
        DecoderFailed or BadImage."""
        from ._image import decode_photo  # the library only when asked

        return decode_photo(self.photo)

    def to_dict(self) -> Dict[str, Any]:
        """The object `vessik-read --json` prints for this card. photo_image
        is None: there it names the image file written, and a Card writes
        none (photo_image() decodes the portrait on demand)."""
        card: Dict[str, Any] = {
            "type": self.type.value,
            "name": self.name,
            "name_en": self.name_en,
            "sex": self.sex,
            "nation_code": self.nation_code,
            "nation_name": self.nation_name,
            "birth": self.birth_text,
            "address": self.address,
            "id_number": self.id_number,
            "id_check": self.id_check.value,
            "authority": self.authority,
            "valid_from": self.valid_from_text,
            "valid_to": self.valid_to_text,
            "pass_number": self.pass_number,
            "issue_count": self.issue_count,
            "version": self.version,
            "times_us": {"find": self.times_us.find, "select": self.times_us.select,
                         "read": self.times_us.read, "decode": self.times_us.decode},
            "text_block": _base64(self.text_block),
            "photo": _base64(self.photo),
            "photo_image": None,
        }
        # As the kit's JSON: these only where they apply.
        if self.type is CardType.UNKNOWN:
            card["type_marker"] = self.type_marker
        if self.fingerprint_state is not ItemState.NOT_ASKED:
            card["fingerprint_state"] = self.fingerprint_state.value
            card["fingerprint_count"] = self.fingerprint_count
            card["fingerprints"] = _base64(self.fingerprints)
        if self.appended_address_state is not ItemState.NOT_ASKED:
            card["appended_address_state"] = self.appended_address_state.value
            card["appended_address"] = self.appended_address
            card["appended_address_raw"] = _base64(self.appended_address_raw)
        return card

    def to_json(self) -> str:
        """The line `vessik-read --json` prints for this card, without its line end."""
        import json  # only here: importing vessik stays quick

        return json.dumps(self.to_dict(), ensure_ascii=False, separators=(",", ":"))

    def __repr__(self) -> str:
        return f"<vessik.Card {self.type.value} from {self.reader}>"

    def __str__(self) -> str:
        lines = [("Card type", self.type.value)]
        for label, value in (
                ("Name", self.name), ("English name", self.name_en),
                ("Sex", _SEX_WORDS.get(self.sex, self.sex)),
                ("Nation", f"{self.nation_code} {self.nation_name}".strip()),
                ("Birth", self.birth_text), ("Address", self.address),
                ("ID number", self.id_number), ("Authority", self.authority),
                ("Valid", f"{self.valid_from_text} - {self.valid_to_text}".strip(" -")),
                ("Pass number", self.pass_number), ("Issue count", self.issue_count),
                ("Card version", self.version), ("Appended address", self.appended_address)):
            if value:
                lines.append((label, value))
        if self.id_check is not IdCheck.NOT_APPLICABLE:
            lines.append(("ID check", self.id_check.value))
        if self.fingerprint_state is not ItemState.NOT_ASKED:
            lines.append(("Fingerprints",
                          f"{self.fingerprint_count} ({self.fingerprint_state.value})"))
        lines.append(("Photo", f"{len(self.photo)} bytes, compressed"))
        return "\n".join(f"{label + ':':<18}{value}" for label, value in lines)


def _base64(data: bytes) -> str:
    """Standard base64 with padding, as the JSON form has it (binascii, not
    base64: that module brings re, slow to import)."""
    return binascii.b2a_base64(data, newline=False).decode("ascii")


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", "replace")


def card_from_record(record: c.CardRecord) -> Card:
    """The Card in `record`, which is wiped afterwards."""
    fingerprint_bytes = min(record.fingerprint_bytes, ctypes.sizeof(record.fingerprints))
    raw_bytes = min(record.appended_address_raw_bytes, ctypes.sizeof(record.appended_address_raw))
    try:
        return Card(
            type=_CARD_TYPES.get(record.type, CardType.UNKNOWN),
            type_marker=_text(record.type_marker),
            name=_text(record.name),
            name_en=_text(record.name_en),
            sex=_text(record.sex),
            nation_code=_text(record.nation_code),
            nation_name=_text(record.nation_name),
            birth=_date(_text(record.birth)),
            birth_text=_text(record.birth),
            address=_text(record.address),
            id_number=_text(record.id_number),
            id_check=_ID_CHECKS.get(record.id_check, IdCheck.NOT_APPLICABLE),
            authority=_text(record.authority),
            valid_from=_date(_text(record.valid_from)),
            valid_from_text=_text(record.valid_from),
            valid_to=_date(_text(record.valid_to)),
            valid_to_text=_text(record.valid_to),
            pass_number=_text(record.pass_number),
            issue_count=_text(record.issue_count),
            version=_text(record.version),
            text_block=bytes(record.text_block),
            photo=bytes(record.photo),
            fingerprint_state=_ITEM_STATES.get(record.fingerprint_state, ItemState.NOT_READ),
            fingerprint_count=record.fingerprint_count,
            fingerprints=bytes(record.fingerprints)[:fingerprint_bytes],
            appended_address_state=_ITEM_STATES.get(record.appended_address_state,
                                                    ItemState.NOT_READ),
            appended_address=_text(record.appended_address),
            appended_address_raw=bytes(record.appended_address_raw)[:raw_bytes],
            reader=_text(record.reader),
            times_us=PhaseTimes(record.find_us, record.select_us, record.read_us,
                                record.decode_us),
        )
    finally:
        wipe(record)


def wipe(record: ctypes.Structure) -> None:
    ctypes.memset(ctypes.addressof(record), 0, ctypes.sizeof(record))


@dataclass(frozen=True)
class ReaderInfo:
    """One reader, as vessik.readers() lists it or Reader.info describes it."""
    location: str  # what vessik.open() takes to open this reader again
    transport: Transport
    vendor_id: int
    product_id: int
    module_id: bytes  # known once the reader has been opened (Reader.info)
    module_id_hex: str

    @property
    def usb_id(self) -> str:
        return f"{self.vendor_id:04x}:{self.product_id:04x}"


def reader_info_from_record(record: c.ReaderInfoRecord) -> ReaderInfo:
    length = max(0, min(record.module_id_len, ctypes.sizeof(record.module_id)))
    return ReaderInfo(
        location=_text(record.location),
        transport=Transport.SERIAL if record.transport == c.TRANSPORT_SERIAL else Transport.USB,
        vendor_id=record.vendor_id,
        product_id=record.product_id,
        module_id=bytes(record.module_id)[:length],
        module_id_hex=_text(record.module_id_hex),
    )
