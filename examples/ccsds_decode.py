"""Decode a file of CCSDS space packets into a table, one row per packet.

    python examples/ccsds_decode.py PACKETS (--recipes RECIPES.json | --xtce DEFINITION.xml)
                                    [-o TABLE.csv] [--parquet TABLE.parquet] [--progress | --no-progress]
                                    [--allow-truncated]

A space packet is a 6-byte primary header and a data field of `packet_length` + 1 bytes, so the
stream splits on the header alone. The packet's APID picks the recipe that unpacks its data field;
packets of APIDs without a recipe (idle packets, other instruments) are counted and skipped.

Each row holds the split primary header (HEADER_COLUMNS) and then the values of the data field.
The table has one column per name over all recipes, so a row leaves the columns of other APIDs
empty. CSV is always available; Parquet needs pyarrow, the progress bar on long files tqdm.
A table is written to a temporary file beside its target and moved into place only when the
whole file has decoded, so a failure leaves no half-written table behind.

The recipes file is JSON, an object from APID (decimal or "0x..." text) to a recipe:

    {"11": [{"name": "DOY", "encoding": "unsigned", "bits": 16, "byte_order": "big",
             "reverse_bits": false}, ...]}

Recipe positions count from the end of the primary header: an item's `offset_bits` of 0 is the
first bit of the data field.
"""
import argparse
import csv
import dataclasses
import json
import os
import secrets
import sys
from collections import Counter
from collections.abc import Iterable, Iterator, Mapping, Sequence
from pathlib import Path

import tessel

PRIMARY_HEADER_BYTES = 6
DATA_FIELD_BIT = 8 * PRIMARY_HEADER_BYTES
HEADER_COLUMNS = ("apid", "version", "type", "sec_hdr_flag", "seq_flags", "seq_count", "packet_length")
REQUIRED_KEYS = ("name", "encoding", "bits", "byte_order", "reverse_bits")
LONG_FILE_BYTES = 1 << 20   # a progress bar appears from this size on, unless asked for or refused
BATCH_ROWS = 4096           # rows handed to the table writers (and the progress bar) at a time


def _word(name):
    return {"name": name, "encoding": "unsigned", "bits": 16, "byte_order": "big", "reverse_bits": False}


# The unpacker reads whole bytes: a field is taken from the byte that holds its first bit and its
# value is the low `bits` bits of the bytes it spans. The header's version (3 bits), type (1),
# secondary header flag (1) and APID (11) share the first 16-bit word, the sequence flags (2) and
# count (14) the second, so the three header words are unpacked whole and split in Python.
PRIMARY_HEADER = (_word("packet_id"), _word("packet_sequence"), _word("packet_length"))


def split_primary_header(words):
    """The header columns of a packet from its three unpacked header words."""
    packet_id, sequence = words["packet_id"], words["packet_sequence"]
    return {
        "apid": packet_id & 0x7FF,
        "version": packet_id >> 13,
        "type": packet_id >> 12 & 1,
        "sec_hdr_flag": packet_id >> 11 & 1,
        "seq_flags": sequence >> 14,
        "seq_count": sequence & 0x3FFF,
        # octets in the data field minus one: the whole packet is packet_length + 7 bytes
        "packet_length": words["packet_length"],
    }


class TruncatedPacketError(ValueError):
    """The stream ends inside a packet; `offset` is where that packet starts."""

    def __init__(self, message, offset):
        super().__init__(message)
        self.offset = offset

    def __reduce__(self):   # so that it crosses from a worker process intact
        return type(self), (str(self), self.offset)


def iter_packets(stream) -> Iterator[tuple[dict, bytes]]:
    """Yields (header columns, whole packet bytes) for each packet of a binary stream.

    Raises TruncatedPacketError when the stream ends inside a header or a data field; every
    packet before it has been yielded by then.
    """
    read = stream.read
    unpack = tessel.unpack_parameters
    offset = 0
    while True:
        head = read(PRIMARY_HEADER_BYTES)
        if len(head) < PRIMARY_HEADER_BYTES:
            if head:
                raise TruncatedPacketError(
                    f"packet at byte {offset}: the stream ends after {len(head)} of its "
                    f"{PRIMARY_HEADER_BYTES} header bytes", offset)
            return
        header = split_primary_header(unpack(head, 0, PRIMARY_HEADER))
        size = header["packet_length"] + 1
        body = read(size)
        if len(body) < size:
            raise TruncatedPacketError(
                f"packet at byte {offset}: its header gives {size + PRIMARY_HEADER_BYTES} bytes, "
                f"the stream ends after {len(body) + PRIMARY_HEADER_BYTES}", offset)
        yield header, head + body
        offset += size + PRIMARY_HEADER_BYTES


@dataclasses.dataclass(frozen=True)
class Layout:
    """One APID's recipe, checked, with the shortest packet it fits in."""
    apid: int
    recipe: tuple
    packet_bytes: int


def _check_item(apid, index, item):
    where = f"APID {apid}, item {index}"
    if not isinstance(item, Mapping):
        raise TypeError(f"{where}: a recipe item is a dict, not {type(item).__name__}")
    missing = [key for key in REQUIRED_KEYS if key not in item]
    if missing:
        raise ValueError(f"{where}: missing {', '.join(repr(key) for key in missing)}")
    name = item["name"]
    if not isinstance(name, str):
        raise TypeError(f"{where}: name must be a str, not {type(name).__name__}")
    for key in ("bits", "offset_bits"):
        value = item.get(key, 0)
        if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < 1 << 32:
            raise ValueError(f"{where} ({name!r}): {key} must be an int from 0 to 4294967295, not {value!r}")
    return name


def layout(apid, recipe):
    """Checks one APID's recipe for the data field and returns its Layout.

    Every field must start on a byte boundary and span whole bytes: those are the fields that the
    unpacker reads exactly (a narrower field has to be read as its enclosing bytes and split, as
    the primary header is). Names must be unique and must not repeat a header column, or one
    value would silently replace another in the row.
    """
    if not isinstance(apid, int) or isinstance(apid, bool) or not 0 <= apid <= 0x7FF:
        raise ValueError(f"APID must be an int from 0 to 2047, not {apid!r}")
    if isinstance(recipe, (str, bytes)) or not isinstance(recipe, Sequence):
        raise TypeError(f"APID {apid}: a recipe is a list of dicts, not {type(recipe).__name__}")
    items, seen = [], set()
    position = end = DATA_FIELD_BIT
    for index, item in enumerate(recipe):
        name = _check_item(apid, index, item)
        if name in seen or name in HEADER_COLUMNS:
            raise ValueError(f"APID {apid}: column {name!r} appears twice in a row")
        seen.add(name)
        start = DATA_FIELD_BIT + item["offset_bits"] if "offset_bits" in item else position
        if start % 8 or item["bits"] % 8:
            raise ValueError(
                f"APID {apid}: field {name!r} takes bits {start - DATA_FIELD_BIT} to "
                f"{start - DATA_FIELD_BIT + item['bits'] - 1} of the data field; the unpacker reads "
                "whole bytes, so a field must start on a byte boundary and span whole bytes "
                "(read the enclosing bytes and split them)")
        position = start + item["bits"]
        end = max(end, position)
        items.append(dict(item))
    return Layout(apid, tuple(items), end // 8)


class RecipeTable:
    """Recipes by APID, each checked once (see `layout`), and the table's columns."""

    def __init__(self, recipes: Mapping):
        self.layouts = dict(sorted((apid, layout(apid, recipe)) for apid, recipe in recipes.items()))
        columns = dict.fromkeys(HEADER_COLUMNS)
        for entry in self.layouts.values():
            columns.update(dict.fromkeys(item["name"] for item in entry.recipe))
        self.columns = tuple(columns)

    @classmethod
    def from_json(cls, path):
        """Recipes from a JSON object whose keys are APIDs, in decimal or as "0x..." text."""
        try:
            with open(path, encoding="utf-8") as f:
                raw = json.load(f)
            if not isinstance(raw, dict):
                raise ValueError("expected an object from APID to recipe")
            return cls({int(key, 0): recipe for key, recipe in raw.items()})
        except (ValueError, TypeError) as e:
            raise (TypeError if isinstance(e, TypeError) else ValueError)(f"{path}: {e}") from None

    @classmethod
    def from_xtce(cls, path):
        from xtce_recipes import recipes_from_xtce
        return cls(recipes_from_xtce(path))

    def recipes(self):
        """The recipes as plain data (lists of dicts), as a worker process or JSON file takes them."""
        return {apid: [dict(item) for item in entry.recipe] for apid, entry in self.layouts.items()}


def as_table(recipes) -> RecipeTable:
    return recipes if isinstance(recipes, RecipeTable) else RecipeTable(recipes)


@dataclasses.dataclass
class DecodeStats:
    """What one decoding pass saw. `fields` counts the decoded fields: header columns and data fields."""
    packets: int = 0
    rows: int = 0
    fields: int = 0
    bytes: int = 0
    skipped: Counter = dataclasses.field(default_factory=Counter)   # APID -> packets without a recipe
    truncated_at: int | None = None

    def summary(self):
        text = f"{self.rows} of {self.packets} packets decoded, {self.fields} fields, {self.bytes} bytes"
        if self.skipped:
            text += "; no recipe for " + ", ".join(f"APID {a} ({n})" for a, n in sorted(self.skipped.items()))
        if self.truncated_at is not None:
            text += f"; the packet at byte {self.truncated_at} is cut off and was left out"
        return text


def decode_rows(stream, recipes, *, stats=None, allow_truncated=False) -> Iterator[dict]:
    """Yields one row per packet whose APID has a recipe, in stream order.

    A packet shorter than its recipe, or one whose field fails to decode, raises ValueError naming
    the packet. A stream that ends inside a packet raises TruncatedPacketError, unless
    `allow_truncated`, in which case the cut-off packet is left out and noted in `stats`.
    """
    table = as_table(recipes)
    stats = DecodeStats() if stats is None else stats
    layouts, skipped, unpack = table.layouts, stats.skipped, tessel.unpack_parameters
    header_fields = len(HEADER_COLUMNS)
    packets = iter_packets(stream)
    while True:
        try:
            header, packet = next(packets)
        except StopIteration:
            return
        except TruncatedPacketError as e:
            if not allow_truncated:
                raise
            stats.truncated_at = e.offset
            return
        stats.packets += 1
        stats.bytes += len(packet)
        entry = layouts.get(header["apid"])
        if entry is None:
            skipped[header["apid"]] += 1
            continue
        # Checked here so that a short packet is a clear ValueError: a read past the end of a
        # packet would raise tessel's PanicException, which is no Exception.
        if len(packet) < entry.packet_bytes:
            raise ValueError(
                f"packet {stats.packets - 1} at byte {stats.bytes - len(packet)} (APID {entry.apid}) "
                f"has {len(packet)} bytes; its recipe needs {entry.packet_bytes}")
        try:
            header.update(unpack(packet, DATA_FIELD_BIT, entry.recipe))
        except ValueError as e:
            raise ValueError(f"packet {stats.packets - 1} at byte {stats.bytes - len(packet)} "
                             f"(APID {entry.apid}): {e}") from e
        stats.rows += 1
        stats.fields += header_fields + len(entry.recipe)
        yield header


# ---- tables ---------------------------------------------------------------------------------

class _AtomicFile:
    """A file written under a temporary name beside `path` and renamed over it by `commit`."""

    def __init__(self, path, mode, **options):
        self.path = Path(path)
        # made with open(..., "x"), not mkstemp, so the table gets the usual permissions
        self.temporary = self.path.with_name(f".{self.path.name}.{secrets.token_hex(6)}.part")
        self.file = open(self.temporary, mode.replace("w", "x"), **options)

    def commit(self):
        self.file.close()
        os.replace(self.temporary, self.path)

    def abort(self):
        self.file.close()
        os.unlink(self.temporary)


class CsvTable:
    """Rows to CSV with a header line; absent values are empty cells, floats keep every digit."""

    def __init__(self, path, columns):
        self.target = None if str(path) == "-" else _AtomicFile(path, "w", newline="", encoding="utf-8")
        file = sys.stdout if self.target is None else self.target.file
        self.writer = csv.writer(file, lineterminator="\n")
        self.writer.writerow(columns)
        self.blank = dict.fromkeys(columns, "")

    def write(self, rows):
        # A row's keys are table columns: merged over the blank row, they fall into column order.
        blank = self.blank
        self.writer.writerows([(blank | row).values() for row in rows])

    def commit(self):
        if self.target:
            self.target.commit()
        else:
            sys.stdout.flush()

    def abort(self):
        if self.target:
            self.target.abort()


_HEADER_TYPES = {"apid": "uint16", "seq_count": "uint16", "packet_length": "uint16"}


def _arrow_type(pa, item):
    encoding = item["encoding"].lower().replace("-", "_")
    if encoding == "unsigned":
        return pa.uint64()
    if encoding in ("ieee754_f16", "ieee754_f32"):
        return pa.float32()   # exact: binary16 and binary32 values are binary32 values
    if encoding.startswith("ieee754") or encoding.startswith(("mil_std", "ti_", "dec_", "ibm_")):
        return pa.float64()
    if encoding.startswith(("utf", "us_ascii", "latin1", "iso_8859", "windows")):
        return pa.string()
    return pa.int64()   # the signed integer and decimal families


def arrow_schema(recipes):
    """The Parquet schema of a recipe table: a column's type follows its encoding."""
    import pyarrow as pa
    table = as_table(recipes)
    fields = {name: getattr(pa, _HEADER_TYPES.get(name, "uint8"))() for name in HEADER_COLUMNS}
    for entry in table.layouts.values():
        for item in entry.recipe:
            kind = _arrow_type(pa, item)
            if fields.setdefault(item["name"], kind) != kind:
                raise ValueError(f"column {item['name']!r} is {fields[item['name']]} for one APID "
                                 f"and {kind} for APID {entry.apid}")
    return pa.schema(list(fields.items()))


class ParquetTable:
    """Rows to Parquet, a row group per batch; absent values are nulls."""

    def __init__(self, path, recipes):
        import pyarrow.parquet as pq
        self.schema = arrow_schema(recipes)
        self.target = _AtomicFile(path, "wb")
        self.writer = pq.ParquetWriter(self.target.file, self.schema)

    def write(self, rows):
        import pyarrow as pa
        self.writer.write_batch(pa.RecordBatch.from_pylist(rows, schema=self.schema))

    def commit(self):
        self.writer.close()
        self.target.commit()

    def abort(self):
        self.writer.close()
        self.target.abort()


def _progress_bar(total, label, progress):
    if progress is False or (progress is None and total < LONG_FILE_BYTES):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        if progress:
            raise ModuleNotFoundError("the progress bar needs tqdm (pip install tqdm)") from None
        return None
    return tqdm(total=total, desc=label, unit="B", unit_scale=True, file=sys.stderr)


def _batches(rows: Iterable[dict], size=BATCH_ROWS):
    batch = []
    for row in rows:
        batch.append(row)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def decode_file(path, recipes, *, csv_path=None, parquet_path=None, progress=None,
                allow_truncated=False) -> DecodeStats:
    """Decodes one packet file into a CSV and/or a Parquet table and returns what it saw.

    `progress`: True shows a tqdm bar, False never, None (the default) on files of at least
    LONG_FILE_BYTES when tqdm is installed. Either table appears only once the whole file decoded.
    """
    table = as_table(recipes)
    stats = DecodeStats()
    writers = []
    bar = None
    try:
        if csv_path is not None:
            writers.append(CsvTable(csv_path, table.columns))
        if parquet_path is not None:
            writers.append(ParquetTable(parquet_path, table))
        with open(path, "rb") as stream:
            bar = _progress_bar(os.fstat(stream.fileno()).st_size, Path(path).name, progress)
            done = 0
            for batch in _batches(decode_rows(stream, table, stats=stats, allow_truncated=allow_truncated)):
                for writer in writers:
                    writer.write(batch)
                if bar is not None:
                    bar.update(stats.bytes - done)
                    done = stats.bytes
            if bar is not None:
                bar.update(stats.bytes - done)
    except BaseException:
        for writer in writers:
            writer.abort()
        raise
    finally:
        if bar is not None:
            bar.close()
    for writer in writers:
        writer.commit()
    return stats


def read_rows(path, recipes, *, allow_truncated=False):
    """All rows of a packet file as a list of dicts, and the stats."""
    stats = DecodeStats()
    with open(path, "rb") as stream:
        rows = list(decode_rows(stream, recipes, stats=stats, allow_truncated=allow_truncated))
    return rows, stats


def main(argv=None):
    parser = argparse.ArgumentParser(description="Decode a file of CCSDS space packets into a table.")
    parser.add_argument("packets", help="file of space packets, back to back")
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--recipes", metavar="JSON", help="recipes by APID, as JSON")
    source.add_argument("--xtce", metavar="XML", help="recipes by APID, read from an XTCE definition")
    parser.add_argument("-o", "--csv", metavar="PATH",
                        help="CSV table ('-' for standard output, the default without --parquet)")
    parser.add_argument("--parquet", metavar="PATH", help="Parquet table (needs pyarrow)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help=f"progress bar on standard error (default: from {LONG_FILE_BYTES >> 20} MiB, with tqdm)")
    parser.add_argument("--allow-truncated", action="store_true",
                        help="leave out a cut-off last packet instead of failing")
    args = parser.parse_args(argv)
    csv_path = args.csv if args.csv is not None or args.parquet else "-"
    try:
        table = RecipeTable.from_json(args.recipes) if args.recipes else RecipeTable.from_xtce(args.xtce)
        stats = decode_file(args.packets, table, csv_path=csv_path, parquet_path=args.parquet,
                            progress=args.progress, allow_truncated=args.allow_truncated)
    except (OSError, ValueError, TypeError, NotImplementedError) as e:
        parser.exit(1, f"{parser.prog}: {e}\n")
    print(f"{args.packets}: {stats.summary()}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
