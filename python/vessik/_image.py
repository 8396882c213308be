# SPDX-License-Identifier: LGPL-2.1-or-later
"""Image: the card's portrait decoded by the photo decoder, as RGB pixels."""
from __future__ import annotations

import ctypes
from ctypes import POINTER, c_size_t, c_ubyte
from dataclasses import dataclass

from . import _structs as c
from ._errors import NotSupported, error_for
from ._library import library, strerror

# typing is not imported at run time: importing vessik stays quick.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

PHOTO_BYTES = 1024


@dataclass(frozen=True, repr=False)
class Image:
    """width x height pixels, 3 bytes each (red, green, blue), top row first.

    repr() shows only the size: a portrait is personal data."""
    width: int
    height: int
    rgb: bytes

    def png(self) -> bytes:
        """The image as PNG (encoded by the library with the system's libpng)."""
        lib = _photo_library()
        record = c.sized(c.ImageRecord)
        record.width, record.height = self.width, self.height
        record.rgb = ctypes.cast(ctypes.c_char_p(self.rgb), POINTER(c_ubyte))
        record.rgb_bytes = len(self.rgb)
        png, length = POINTER(c_ubyte)(), c_size_t()
        _check(lib.vessik_image_to_png(ctypes.byref(record), ctypes.byref(png),
                                       ctypes.byref(length)))
        try:
            return ctypes.string_at(png, length.value)
        finally:
            lib.vessik_png_free(png, length)

    def to_pil(self) -> Any:
        """The image as a Pillow image (mode RGB); needs Pillow (python3-pil)."""
        from PIL import Image as PilImage  # optional: only here

        return PilImage.frombytes("RGB", (self.width, self.height), self.rgb)

    def __repr__(self) -> str:
        return f"<vessik.Image {self.width}x{self.height}>"


def decode_photo(photo: bytes) -> Image:
    """Has the loaded photo decoder turn the card's 1024 photo bytes into an
    Image (vessik_photo_decode). Raises NotSupported without a decoder (the
    kit's stand-in decodes nothing), DecoderFailed or BadImage."""
    if len(photo) != PHOTO_BYTES:
        raise ValueError(f"a card photo has {PHOTO_BYTES} bytes, not {len(photo)}")
    lib = _photo_library()
    compressed = (c_ubyte * PHOTO_BYTES).from_buffer_copy(photo)
    record = c.sized(c.ImageRecord)
    try:
        _check(lib.vessik_photo_decode(compressed, ctypes.byref(record)))
        try:
            return Image(record.width, record.height,
                         ctypes.string_at(record.rgb, record.rgb_bytes))
        finally:
            lib.vessik_image_free(ctypes.byref(record))
    finally:
        ctypes.memset(compressed, 0, PHOTO_BYTES)


def _photo_library() -> Any:
    lib = library()
    if not hasattr(lib, "vessik_photo_decode"):
        raise NotSupported(c.E_NOT_SUPPORTED, "this libvessik decodes no photo (version 2)")
    return lib


def _check(code: int) -> None:
    if code != c.OK:
        raise error_for(code, strerror(code))
