"""Whole archives of packets into numpy columns, natively and on every core.

``decode`` is the everyday call: a file of CCSDS space packets (a path or bytes) and recipes by
APID in, one table of columns per APID out::

    archive = tessel_archive.decode("packets.bin", {11: recipe})
    archive[11]["DOY"]          # a numpy array, one element a packet of APID 11

Underneath, ``space_packets`` indexes a packet stream and ``unpack_columns`` decodes many packets
with one recipe, exactly as ``tessel.unpack_parameters`` decodes each of them.
"""

from __future__ import annotations

import mmap
import os
import re
import warnings
from collections.abc import Buffer as BufferProtocol
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Union, cast

try:
    import numpy as np
except ImportError as error:  # pragma: no cover - exercised in a subprocess by the tests
    raise ImportError(
        "tessel_archive needs numpy: install it with pip install 'tessel[archive]' (or pip install numpy)"
    ) from error

from . import _native

__all__ = ["Archive", "TruncatedPacketWarning", "decode", "space_packets", "unpack_columns"]

PRIMARY_HEADER_BYTES = 6
# The primary header's columns, in header order, as space_packets gives them.
HEADER_COLUMNS = ("version", "type", "secondary_header", "apid", "sequence_flags", "sequence_count", "data_length")
_INDEX_COLUMNS = ("start", "length", *HEADER_COLUMNS)
_INDEX_DTYPES = ("int64", "int64", "uint8", "uint8", "uint8", "uint16", "uint8", "uint16", "uint16")

Recipe = Sequence[Mapping[str, Any]]
Buffer = Union[bytes, bytearray, memoryview, mmap.mmap, "np.ndarray[Any, Any]"]


class TruncatedPacketWarning(UserWarning):
    """A packet stream ends inside a packet; that packet is left out."""


def _threads(threads: object) -> int:
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:  # pragma: no cover - platforms without affinity
            return os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return threads


def _bytes_view(data: object) -> memoryview:
    """`data` as a flat memoryview of bytes, read in place."""
    kind = type(data).__name__
    if isinstance(data, np.ndarray):
        array = cast("np.ndarray[Any, np.dtype[Any]]", data)
        if array.ndim != 1 or array.dtype != np.uint8:
            raise TypeError(f"data as a numpy array must be 1-D uint8, not {array.ndim}-D {array.dtype}")
        if not array.flags.c_contiguous:
            raise ValueError("data must be contiguous")
    try:
        view = memoryview(cast(BufferProtocol, data))  # anything else is refused right here
    except TypeError:
        raise TypeError(f"data must be a bytes-like buffer, not {kind}") from None
    if not view.c_contiguous:
        view.release()
        raise ValueError("data must be contiguous")
    if view.itemsize != 1 or view.ndim > 1:
        shape, format = view.shape, view.format
        view.release()
        raise TypeError(f"data must be a buffer of bytes, not of {format!r} items in shape {shape}")
    return view.cast("B") if view.format != "B" else view


def _index(values: Any, name: str) -> np.ndarray[Any, np.dtype[np.int64]]:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not {array.ndim}-D")
    if array.size == 0:
        return np.zeros(0, dtype=np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integers, not {array.dtype}")
    if array.dtype.kind == "u" and array.max() > np.iinfo(np.int64).max:
        at = int(np.argmax(array > np.iinfo(np.int64).max))
        raise ValueError(f"{name}[{at}] is {int(array[at])}, beyond any buffer")
    if array.dtype.kind == "i" and array.min() < 0:
        at = int(np.argmax(array < 0))
        raise ValueError(f"{name}[{at}] is negative ({int(array[at])})")
    return np.ascontiguousarray(array, dtype=np.int64)


def _columns(found: list[tuple[str, str, Any]], count: int) -> dict[str, np.ndarray[Any, Any]]:
    columns: dict[str, np.ndarray[Any, Any]] = {}
    for name, dtype, column in found:
        if dtype == "object":
            array = np.empty(count, dtype=object)
            array[:] = column
        else:
            array = np.frombuffer(column, dtype=dtype)
        columns[name] = array
    return columns


def unpack_columns(
    data: Buffer,
    recipe: Recipe,
    starts: Any,
    lengths: Any,
    offset_bits: int = 0,
    *,
    threads: int | None = None,
    numbers: Any = None,
) -> dict[str, np.ndarray[Any, Any]]:
    """Decode packet ``i`` = ``data[starts[i]:starts[i] + lengths[i]]`` for every ``i`` into columns.

    ``columns[k][i]`` is ``tessel.unpack_parameters(bytes(packet_i), offset_bits, recipe)[k]``:
    the same names in the same order, and the same values in arrays of the narrowest dtype that
    holds every value the field can decode to (docs/archive.md). A recipe that unpack_parameters
    refuses raises its exception before any packet is read; a packet it would refuse (too short,
    undecodable digits or text) is a ValueError naming the lowest such packet and its byte offset,
    followed by unpack_parameters' message. ``numbers`` (one integer a packet) are the packets'
    numbers to name there instead of their places in ``starts``, as when the packets are a
    selection of a stream's. ``threads`` (default: every core this process may use) changes
    nothing but the time.
    """
    count_threads = _threads(threads)
    first = _index(starts, "starts")
    sizes = _index(lengths, "lengths")
    if first.shape != sizes.shape:
        raise ValueError(f"starts and lengths differ in length ({first.size} and {sizes.size})")
    if numbers is not None:
        numbers = _index(numbers, "numbers")
        if numbers.shape != first.shape:
            raise ValueError(f"numbers and starts differ in length ({numbers.size} and {first.size})")
    return _unpack(data, recipe, first, sizes, offset_bits, count_threads, header_lengths=False, numbers=numbers)


_PACKET_FAILURE = re.compile(r"packet (\d+) (at byte \d+: .*)", re.DOTALL)


def _unpack(data: Buffer, recipe: Recipe, starts: np.ndarray[Any, Any], lengths: np.ndarray[Any, Any],
            offset_bits: int, threads: int, header_lengths: bool,
            numbers: np.ndarray[Any, Any] | None = None) -> dict[str, np.ndarray[Any, Any]]:
    # `lengths` are int64 packet lengths, or with `header_lengths` the index's own uint16
    # data_length column (a packet is 7 bytes longer), which spares decode an int64 array a packet.
    # A packet's failure names packet `numbers[i]` when numbers are given, else `i`.
    try:
        with _bytes_view(data) as view:
            found = _native.unpack_columns(view, recipe, starts, lengths, offset_bits, threads, header_lengths)
    except ValueError as error:
        if numbers is None:
            raise
        failed = _PACKET_FAILURE.fullmatch(str(error))
        if failed is None:  # the recipe's own failure, before any packet
            raise
        number = int(numbers[int(failed[1])])
        raise ValueError(f"packet {number} {failed[2]}") from None
    return _columns(found, starts.size)


def space_packets(data: Buffer, *, record_header_bytes: int = 0) -> dict[str, np.ndarray[Any, Any]]:
    """The index of a stream of CCSDS space packets, back to back.

    For each packet: ``start`` and ``length`` in bytes (the whole packet, primary header
    included) and its primary header's ``version``, ``type``, ``secondary_header``, ``apid``,
    ``sequence_flags``, ``sequence_count`` and ``data_length``. ``record_header_bytes`` are
    skipped before every packet (a ground station's record header). A packet cut off by the end of
    the stream is left out, with a TruncatedPacketWarning naming its offset and the bytes it lacks;
    a header that no space packet has (a version other than 0) is a ValueError naming its offset.
    """
    index, cut = _index_stream(data, record_header_bytes)
    if cut is not None:
        _warn_cut(cut, stacklevel=3)
    return index


def _index_stream(data: Buffer, record_header_bytes: object) -> tuple[dict[str, np.ndarray[Any, Any]], tuple[int, int] | None]:
    if isinstance(record_header_bytes, bool) or not isinstance(record_header_bytes, int):
        raise TypeError(f"record_header_bytes must be an int, not {type(record_header_bytes).__name__}")
    if record_header_bytes < 0:
        raise ValueError(f"record_header_bytes must not be negative, not {record_header_bytes}")
    with _bytes_view(data) as view:
        *arrays, cut = _native.space_packets(view, record_header_bytes)
    index = {name: np.frombuffer(array, dtype=dtype) for name, dtype, array in zip(_INDEX_COLUMNS, _INDEX_DTYPES, arrays)}
    return index, cut


def _warn_cut(cut: tuple[int, int], stacklevel: int) -> None:
    offset, missing = cut
    warnings.warn(TruncatedPacketWarning(
        f"the stream ends inside the packet at byte {offset}: {missing} bytes missing; it is left out"),
        stacklevel=stacklevel)


class Archive(Mapping[int, dict[str, "np.ndarray[Any, Any]"]]):
    """The tables ``decode`` made: one dict of columns per APID that has a recipe, its packets in
    stream order, the primary header's columns first (HEADER_COLUMNS) and then the recipe's."""

    def __init__(self, tables: dict[int, dict[str, np.ndarray[Any, Any]]], undecoded: dict[int, int],
                 packets: int, truncated: tuple[int, int] | None) -> None:
        self._tables = tables
        self.undecoded = undecoded  #: APID -> packets of APIDs without a recipe, counted, not decoded
        self.packets = packets  #: every whole packet of the stream
        self.truncated = truncated  #: (offset, bytes missing) of a cut-off last packet, left out

    def __getitem__(self, apid: int) -> dict[str, np.ndarray[Any, Any]]:
        return self._tables[apid]

    def __iter__(self) -> Iterator[int]:
        return iter(self._tables)

    def __len__(self) -> int:
        return len(self._tables)

    def __repr__(self) -> str:
        rows = ", ".join(f"{apid}: {len(next(iter(t.values())))} packets" for apid, t in self._tables.items())
        return f"<Archive of {self.packets} packets: {{{rows}}}, undecoded {self.undecoded}>"


def decode(
    source: Buffer | str | os.PathLike[str],
    recipes: Mapping[int, Recipe],
    *,
    record_header_bytes: int = 0,
    threads: int | None = None,
) -> Archive:
    """Decode a whole file of CCSDS space packets (a path, read through mmap, or bytes) into one
    table of columns per APID.

    ``recipes`` maps an APID to the recipe of its packets' data field: positions count from the
    end of the 6-byte primary header (an item's ``offset_bits`` of 0 is the data field's first
    bit). Packets of APIDs without a recipe are counted in ``Archive.undecoded``. A cut-off last
    packet is left out with a TruncatedPacketWarning.
    """
    apids: list[object] = list(recipes)
    for apid in apids:
        if isinstance(apid, bool) or not isinstance(apid, int) or not 0 <= apid <= 0x7FF:
            raise ValueError(f"an APID is an int from 0 to 2047, not {apid!r}")
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as file:
            if os.fstat(file.fileno()).st_size == 0:
                return _decode(b"", recipes, record_header_bytes, threads)
            with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
                return _decode(mapped, recipes, record_header_bytes, threads)
    return _decode(source, recipes, record_header_bytes, threads)


def _decode(data: Buffer, recipes: Mapping[int, Recipe], record_header_bytes: int,
            threads: int | None) -> Archive:
    index, cut = _index_stream(data, record_header_bytes)
    if cut is not None:
        _warn_cut(cut, stacklevel=4)
    # A packet's length is its header's data_length plus 7, which the native decoder reads from
    # the header column itself: the index's int64 lengths are let go before any column is made.
    del index["length"]
    apids = index["apid"]
    # Packets a APID, in one pass; the APIDs without a recipe are what is left.
    counts = np.bincount(apids, minlength=0x800) if len(apids) else np.zeros(0x800, dtype=np.intp)
    tables: dict[int, dict[str, np.ndarray[Any, Any]]] = {}
    for apid, recipe in recipes.items():
        chosen = None
        if counts[apid] == len(apids):  # every packet: the index's own columns, no selection
            table = {name: index[name] for name in HEADER_COLUMNS}
            starts = index["start"]
        else:
            chosen = np.flatnonzero(apids == apid)
            table = {name: index[name][chosen] for name in HEADER_COLUMNS}
            starts = index["start"][chosen]
        values = _unpack(data, recipe, starts, table["data_length"], 8 * PRIMARY_HEADER_BYTES, _threads(threads),
                         header_lengths=True, numbers=chosen)
        clash = [name for name in values if name in table]
        if clash:
            raise ValueError(f"APID {apid}: the recipe's field {clash[0]!r} would replace the primary header's column")
        table.update(values)
        tables[apid] = table
    counts[list(recipes)] = 0
    counted = {int(apid): int(counts[apid]) for apid in np.flatnonzero(counts)}
    return Archive(tables, counted, int(len(apids)), cut)
