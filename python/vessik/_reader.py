# SPDX-License-Identifier: LGPL-2.1-or-later
"""Reads: on an open Reader, or once on the default reader.

A read runs in C on a worker thread while the calling thread waits for it in
short steps. So a KeyboardInterrupt (Ctrl-C) reaches the caller at once even
though C holds the read: the read is then cancelled, waited for (the library
gives up within 200 ms) and its reader closed before the interrupt goes on.
"""
from __future__ import annotations

import asyncio
import ctypes
import math
import signal
import threading
from dataclasses import dataclass

from . import _structs as c
from ._card import Card, ReaderInfo, card_from_record, reader_info_from_record, wipe
from ._errors import Cancelled, error_for
from ._library import library, strerror

# typing is not imported at run time: importing vessik stays quick.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, AsyncIterator, Callable, Iterator, List, Optional, TypeVar, Union

    T = TypeVar("T")

# How long the waiting thread sleeps before it looks again for a cancel to
# pass on, when no signal wakes it earlier.
_WAIT_STEP_S = 0.02
# The longest deadline the library's millisecond count carries, and the
# longest pause between finds worth asking for.
_MAX_TIMEOUT_S = 4294967.0
_MAX_INTERVAL_S = 60.0
_MS_PER_S = 1000


def check(code: int) -> int:
    """`code` if it is not an error; else the exception for it."""
    if code < 0:
        raise error_for(code, strerror(code))
    return code


def make_options(timeout: Optional[float], interval: float, fingerprints: bool,
                 appended_address: bool, report_same_card: bool,
                 answer_driven: bool = False) -> c.ReadOptions:
    if timeout is not None and not 0 < timeout <= _MAX_TIMEOUT_S:
        raise ValueError(f"timeout must be above 0 and at most {_MAX_TIMEOUT_S:.0f} s, "
                         "or None to wait for ever")
    if not 0 < interval <= _MAX_INTERVAL_S:
        raise ValueError(f"interval must be above 0 and at most {_MAX_INTERVAL_S:.0f} s")
    options = c.sized(c.ReadOptions)
    options.deadline_ms = 0 if timeout is None else max(1, math.ceil(timeout * _MS_PER_S))
    options.poll_interval_ms = max(1, round(interval * _MS_PER_S))
    options.report_same_card = int(report_same_card)
    options.want_fingerprints = int(fingerprints)
    options.want_appended_address = int(appended_address)
    options.answer_driven = int(answer_driven)
    return options


@dataclass(frozen=True)
class CardPresented:
    """Reader.events(): a card was laid on the reader and read."""
    card: Card


@dataclass(frozen=True)
class CardRemoved:
    """Reader.events(): the card presented last has left the reader at
    `reader`. Only readers whose module can tell say so."""
    reader: str = ""


def run_blocking(call: Callable[[], int], cancel: Callable[[], None],
                 cancel_wanted: Callable[[], bool]) -> int:
    """Runs `call` (a C call) on a worker thread and waits for it here;
    `cancel` is called again and again while `cancel_wanted()` holds or a
    KeyboardInterrupt has come, until the call has returned (the interrupt
    is raised then). The call's code."""
    outcome: List[int] = []
    done = threading.Event()

    def work() -> None:
        # Ctrl-C is for the waiting thread, where Python can raise it.
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            outcome.append(call())
        finally:
            done.set()

    threading.Thread(target=work, name="vessik-read", daemon=True).start()
    interrupt: Optional[BaseException] = None
    while not done.is_set():
        try:
            if interrupt is not None or cancel_wanted():
                cancel()
            done.wait(_WAIT_STEP_S)
        except KeyboardInterrupt as e:
            interrupt = e
    if interrupt is not None:
        raise interrupt
    return outcome[0] if outcome else c.E_BAD_ARGUMENT


def run_read(read: Callable[[c.CardRecord], int], cancel: Callable[[], None],
             cancel_wanted: Callable[[], bool]) -> Card:
    """run_blocking for a read into a card record: the card, or the error
    raised (the record wiped)."""
    record = c.sized(c.CardRecord)
    try:
        code = run_blocking(lambda: read(record), cancel, cancel_wanted)
    except BaseException:
        wipe(record)
        raise
    if code != c.OK:
        wipe(record)
        check(code)
    return card_from_record(record)


async def run_async(call: Callable[[int], int]) -> int:
    """Runs `call(token)` (a C call given a fresh cancel token) on a thread
    while the task awaits it. A task cancelled meanwhile cancels the token,
    waits for the call to end (the library gives up within 200 ms) and is
    cancelled then."""
    lib = library()
    token = lib.vessik_cancel_token_new()
    if not token:
        raise MemoryError("no cancel token")
    done = asyncio.get_running_loop().run_in_executor(None, call, token)
    try:
        return await asyncio.shield(done)
    except asyncio.CancelledError:
        lib.vessik_cancel_token_cancel(token)
        while not done.done():
            try:
                await asyncio.wait({done})
            except asyncio.CancelledError:
                pass
        raise
    finally:
        if done.done():
            lib.vessik_cancel_token_free(token)


class Reader:
    """An open reader, kept open until close() (or the end of a with block).

    read() waits for a card and reads it; watch() yields one card per
    presentation. cancel() may be called from any thread, and from a signal
    handler. A KeyboardInterrupt during a read cancels it and closes the
    reader before it goes on."""

    def __init__(self, location: str = "usb") -> None:
        handle = ctypes.c_void_p()
        check(library().vessik_reader_open(location.encode("utf-8"), ctypes.byref(handle)))
        self.location = location
        self._handle: Optional[int] = handle.value
        self._lock = threading.RLock()
        self._idle = threading.Condition(self._lock)
        self._reading = False
        self._watching = False
        self._cancel_wanted = False

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None and not self._reading:
            self.close()

    def __repr__(self) -> str:
        return f"<vessik.Reader {self.location}{' (closed)' if self.closed else ''}>"

    @property
    def closed(self) -> bool:
        return self._handle is None

    @property
    def info(self) -> ReaderInfo:
        """Where the reader is and its module's identifier."""
        record = c.sized(c.ReaderInfoRecord)
        check(library().vessik_reader_get_info(self._open_handle(), ctypes.byref(record)))
        return reader_info_from_record(record)

    def set_rate(self, rate: int) -> None:
        """Moves a serial module to another rate (9600 ... 115200)."""
        check(library().vessik_reader_set_rate(self._open_handle(), rate))

    def read(self, timeout: Optional[float] = 10.0, interval: float = 0.1,
             fingerprints: bool = False, appended_address: bool = False,
             report_same_card: bool = False, answer_driven: bool = False) -> Card:
        """Waits up to `timeout` seconds (None: for ever) for a card, asking
        every `interval` seconds, and reads it. A card left on the reader is
        reported once per presentation unless report_same_card is set.
        answer_driven takes the module's answer as soon as it is whole
        instead of after the fixed 0.9 s (off by default)."""
        options = make_options(timeout, interval, fingerprints, appended_address,
                               report_same_card, answer_driven)
        return self._read(options, fresh=True)

    def watch(self, interval: float = 0.1, fingerprints: bool = False,
              appended_address: bool = False, answer_driven: bool = False) -> Iterator[Card]:
        """Yields one card per presentation until cancel(); a KeyboardInterrupt
        cancels the read, closes the reader and goes on."""
        options = make_options(None, interval, fingerprints, appended_address, False,
                               answer_driven)
        yield from self._presentations(options)

    def events(self, interval: float = 0.1, fingerprints: bool = False,
               appended_address: bool = False, answer_driven: bool = False
               ) -> Iterator[Union[CardPresented, CardRemoved]]:
        """Yields CardPresented(card) for each presentation and, where the
        reader's module can tell, CardRemoved() once that card has left;
        until cancel(). A module that cannot tell yields cards alone."""
        options = make_options(None, interval, fingerprints, appended_address, False,
                               answer_driven)
        for card in self._presentations(options):
            yield CardPresented(card)
            gone = self._wait_removed(options)
            if gone == c.E_CANCELLED:
                return
            if gone == c.OK:
                yield CardRemoved(card.reader)
            elif gone != c.E_NOT_SUPPORTED:
                check(gone)

    def _presentations(self, options: c.ReadOptions) -> Iterator[Card]:
        """One card per presentation until cancel(): the loop of watch() and
        events(), with the reader marked as watched throughout."""
        with self._lock:
            self._watching = True
            self._cancel_wanted = False
        try:
            while not self._cancel_wanted:
                try:
                    card = self._read(options, fresh=False)
                except Cancelled:
                    return
                yield card
        finally:
            self._watching = False

    async def read_async(self, timeout: Optional[float] = 10.0, interval: float = 0.1,
                         fingerprints: bool = False, appended_address: bool = False,
                         report_same_card: bool = False, answer_driven: bool = False) -> Card:
        """read() for asyncio: the read runs on a thread; cancelling the task
        cancels the read (through a cancel token) within 200 ms."""
        options = make_options(timeout, interval, fingerprints, appended_address,
                               report_same_card, answer_driven)
        record = c.sized(c.CardRecord)
        handle = self._open_handle()
        lib = library()

        def read(token: int) -> int:
            options.cancel_token = token
            return int(lib.vessik_reader_read(handle, ctypes.byref(options),
                                              ctypes.byref(record)))

        self._begin_read(fresh=True)
        try:
            code = await run_async(read)
        finally:
            self._end_read()
        if code != c.OK:
            wipe(record)
            check(code)
        return card_from_record(record)

    async def events_async(self, interval: float = 0.1, fingerprints: bool = False,
                           appended_address: bool = False, answer_driven: bool = False
                           ) -> AsyncIterator[Union[CardPresented, CardRemoved]]:
        """events() for asyncio (async for); cancelling the task that
        iterates ends the read or wait in progress within 200 ms."""
        handle = self._open_handle()
        lib = library()
        while True:
            card = await self.read_async(None, interval, fingerprints, appended_address,
                                         answer_driven=answer_driven)
            yield CardPresented(card)
            options = make_options(None, interval, False, False, False)

            def wait(token: int) -> int:
                options.cancel_token = token
                return int(lib.vessik_reader_wait_removed(handle, ctypes.byref(options)))

            self._begin_read(fresh=True)
            try:
                gone = await run_async(wait)
            finally:
                self._end_read()
            if gone == c.OK:
                yield CardRemoved(card.reader)
            elif gone != c.E_NOT_SUPPORTED:
                check(gone)

    def cancel(self) -> None:
        """Makes the read in progress (or the watch) raise Cancelled (watch:
        end) within 200 ms; no effect when neither runs."""
        self._cancel(only_running=True)

    def _cancel(self, only_running: bool) -> None:
        """only_running False: a read that has not started yet is cancelled too."""
        with self._lock:
            running = self._reading or self._watching
            if (running or not only_running) and self._handle is not None:
                self._cancel_wanted = True
                library().vessik_reader_cancel(self._handle)

    def close(self) -> None:
        """Cancels a read in progress on another thread, waits for it, and
        closes the reader. Closing twice is fine."""
        with self._lock:
            handle = self._handle
            if handle is None:
                return
            self._cancel_wanted = True
            while self._reading:
                library().vessik_reader_cancel(handle)
                self._idle.wait(_WAIT_STEP_S)
            self._handle = None
        library().vessik_reader_close(handle)

    def _open_handle(self) -> int:
        handle = self._handle
        if handle is None:
            raise ValueError("the reader is closed")
        return handle

    def _begin_read(self, fresh: bool) -> None:
        with self._lock:
            self._open_handle()
            if self._reading:
                check(c.E_BUSY)
            self._reading = True
            if fresh:
                self._cancel_wanted = False

    def _end_read(self) -> None:
        with self._lock:
            self._reading = False
            self._idle.notify_all()

    def _call(self, fresh: bool, run: Callable[[Any, Any, Callable[[], None]], T]) -> T:
        """run(handle, lib, cancel) as the reader's one call in progress;
        fresh: a cancel that came before it is forgotten. A KeyboardInterrupt
        closes the reader."""
        self._begin_read(fresh)
        handle = self._handle
        lib = library()

        def cancel() -> None:
            lib.vessik_reader_cancel(handle)

        try:
            return run(handle, lib, cancel)
        except KeyboardInterrupt:
            self._end_read()
            self.close()
            raise
        finally:
            self._end_read()

    def _wait_removed(self, options: c.ReadOptions) -> int:
        """Waits for the card read last to leave: the library's code."""
        return self._call(False, lambda handle, lib, cancel: run_blocking(
            lambda: int(lib.vessik_reader_wait_removed(handle, ctypes.byref(options))),
            cancel, lambda: self._cancel_wanted))

    def _read(self, options: c.ReadOptions, fresh: bool) -> Card:
        """One read; fresh: a cancel that came before it is forgotten."""
        return self._call(fresh, lambda handle, lib, cancel: run_read(
            lambda record: int(lib.vessik_reader_read(handle, ctypes.byref(options),
                                                      ctypes.byref(record))),
            cancel, lambda: self._cancel_wanted))


class DefaultReader:
    """The first USB reader behind vessik.read(reader="usb") and
    vessik.cancel(): opened and closed around each read, its memory of the
    last card kept between reads."""

    def __init__(self) -> None:
        self._lock = threading.RLock()  # cancel() may come from a signal handler
        self._reads = 0
        self._cancel_wanted = False

    def read(self, options: c.ReadOptions) -> Card:
        lib = library()
        with self._lock:
            if self._reads == 0:
                self._cancel_wanted = False
            self._reads += 1
        try:
            return run_read(
                lambda record: int(lib.vessik_read(ctypes.byref(options), ctypes.byref(record))),
                lib.vessik_cancel, lambda: self._cancel_wanted)
        finally:
            with self._lock:
                self._reads -= 1

    def cancel(self) -> None:
        with self._lock:
            if self._reads > 0:
                self._cancel_wanted = True
                library().vessik_cancel()


def reader_list() -> List[ReaderInfo]:
    lib = library()
    count = check(lib.vessik_reader_list(None, 0))
    while True:
        records = (c.ReaderInfoRecord * max(count, 1))()
        for record in records:
            record.size = ctypes.sizeof(c.ReaderInfoRecord)
        listed = check(lib.vessik_reader_list(records, count))
        if listed <= count:
            return [reader_info_from_record(records[i]) for i in range(listed)]
        count = listed  # a reader came in between

