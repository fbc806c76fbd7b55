"""Decode a file of CCSDS space packets into Parquet tables, one per APID, with tessel_archive.

    python examples/ccsds_decode.py PACKETS --recipes RECIPES.json -o FOLDER
                                    [--record-header-bytes N] [--progress | --no-progress]

The packet index (tessel_archive.space_packets) splits the stream on the primary header's length
field; each APID that has a recipe gets FOLDER/apid_NNNN.parquet (NNNN its APID in decimal, four
digits), the primary header's columns first and then its recipe's, one row per packet in stream
order. Columns go to Arrow as they come from tessel_archive, numpy arrays, without a row in Python.
Packets of APIDs without a recipe are counted, and a cut-off last packet is left out with a
tessel_archive.TruncatedPacketWarning.

A long file is decoded BATCH_PACKETS packets at a time, one Parquet row group each, so memory
stays bounded and a progress bar (tqdm) can follow. Each table is written under a temporary name
and moved into place only once every table of the file has decoded: a failure leaves none.

With the mission's XTCE instead of recipes, `python -m tessel_archive DEFINITION.xml PACKETS -o
FOLDER` does the same job (docs/xtce.md). The recipes file is JSON, an object from APID (decimal
or "0x..." text) to a recipe whose positions count from the end of the primary header:

    {"11": [{"name": "DOY", "encoding": "unsigned", "bits": 16, "byte_order": "big",
             "reverse_bits": false}, ...]}
"""
import argparse
import dataclasses
import json
import mmap
import os
import secrets
import sys
from pathlib import Path

import numpy as np

import tessel_archive

DATA_FIELD_BIT = 8 * tessel_archive.PRIMARY_HEADER_BYTES
LONG_FILE_BYTES = 1 << 24   # a progress bar appears from this size on, unless asked for or refused
BATCH_PACKETS = 1 << 16     # packets decoded (and written as one row group) at a time


def load_recipes(path):
    """Recipes from a JSON object whose keys are APIDs, in decimal or as "0x..." text."""
    try:
        with open(path, encoding="utf-8") as f:
            raw = json.load(f)
        if not isinstance(raw, dict):
            raise ValueError("expected an object from APID to recipe")
        return {int(key, 0): recipe for key, recipe in raw.items()}
    except ValueError as e:
        raise ValueError(f"{path}: {e}") from None


def table_name(apid):
    return f"apid_{apid:04d}.parquet"


@dataclasses.dataclass
class Summary:
    """What one file held: packets in all, rows written per APID, packets left undecoded per APID
    (no recipe), and the offset of a cut-off last packet."""
    path: str
    packets: int
    rows: dict
    undecoded: dict
    truncated_at: int | None
    tables: dict   # APID -> the Parquet file written

    def text(self):
        decoded = sum(self.rows.values())
        text = f"{self.path}: {decoded} of {self.packets} packets decoded"
        if self.undecoded:
            text += "; no recipe for " + ", ".join(f"APID {a} ({n})" for a, n in sorted(self.undecoded.items()))
        if self.truncated_at is not None:
            text += f"; the packet at byte {self.truncated_at} is cut off and was left out"
        return text


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


def batches(data, index, apid, recipe, size=BATCH_PACKETS):
    """Yields the columns of APID `apid`'s packets, `size` packets at a time: the header's columns
    from the index, then the recipe's from tessel_archive.unpack_columns."""
    chosen = np.flatnonzero(index["apid"] == apid)
    for first in range(0, len(chosen), size):
        part = chosen[first:first + size]
        columns = {name: index[name][part] for name in tessel_archive.HEADER_COLUMNS}
        # a failing packet named by its number in the stream, not in the batch
        values = tessel_archive.unpack_columns(data, recipe, index["start"][part], index["length"][part],
                                               DATA_FIELD_BIT, numbers=part)
        clash = next((name for name in values if name in columns), None)
        if clash is not None:
            raise ValueError(f"APID {apid}: the recipe's field {clash!r} would replace the primary header's column")
        columns.update(values)
        yield columns, int(index["length"][part].sum())


def arrow_table(columns):
    """Columns to an Arrow table without a copy of the numeric ones; text (object arrays of str) as
    Arrow strings, also when there are none to infer the type from."""
    import pyarrow as pa
    return pa.table({name: pa.array(column, type=pa.string()) if column.dtype == object else column
                     for name, column in columns.items()})


def decode_file(path, recipes, out_dir, *, record_header_bytes=0, progress=None, batch_packets=BATCH_PACKETS):
    """Decodes one packet file into a Parquet table per APID in `out_dir` and returns its Summary.

    `progress`: True shows a tqdm bar, False never, None (the default) on files of at least
    LONG_FILE_BYTES when tqdm is installed.
    """
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise ModuleNotFoundError("Parquet tables need pyarrow (pip install pyarrow)") from None

    path, out_dir = Path(path), Path(out_dir)
    if not out_dir.is_dir():
        raise NotADirectoryError(f"output folder {out_dir} does not exist")
    written, bar = {}, None
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        with (mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) if size else memoryview(b"")) as data:
            index = tessel_archive.space_packets(data, record_header_bytes=record_header_bytes)
            apids, counts = np.unique(index["apid"], return_counts=True)
            present = dict(zip(apids.tolist(), counts.tolist()))
            end = int(index["start"][-1] + index["length"][-1]) if len(index["start"]) else 0
            try:
                bar = _progress_bar(size, path.name, progress)
                for apid, recipe in sorted(recipes.items()):
                    # a temporary name beside the table, made with "x" so it gets the usual permissions
                    temporary = out_dir / f".{table_name(apid)}.{secrets.token_hex(6)}.part"
                    written[apid] = temporary
                    with open(temporary, "xb") as sink:
                        writer = None
                        for columns, done in batches(data, index, apid, recipe, batch_packets):
                            table = arrow_table(columns)
                            writer = writer or pq.ParquetWriter(sink, table.schema)
                            writer.write_table(table)
                            if bar is not None:
                                bar.update(done)
                        if writer is None:   # no packets of this APID: an empty table, its columns typed
                            empty = tessel_archive.unpack_columns(b"", recipe, [], [], DATA_FIELD_BIT)
                            pq.write_table(arrow_table({**{n: index[n][:0] for n in tessel_archive.HEADER_COLUMNS},
                                                        **empty}), sink)
                        else:
                            writer.close()
            except BaseException:
                for temporary in written.values():
                    temporary.unlink(missing_ok=True)
                raise
            finally:
                if bar is not None:
                    bar.close()
    tables = {}
    for apid, temporary in written.items():
        tables[apid] = str(out_dir / table_name(apid))
        os.replace(temporary, tables[apid])
    # where the warning puts a cut-off packet: its header, or its record when even that is cut
    truncated_at = None
    if end < size:
        truncated_at = end + record_header_bytes if end + record_header_bytes <= size else end
    return Summary(str(path), int(len(index["apid"])), {apid: present.get(apid, 0) for apid in sorted(recipes)},
                   {apid: n for apid, n in present.items() if apid not in recipes}, truncated_at, tables)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Decode a file of CCSDS space packets into Parquet tables.")
    parser.add_argument("packets", help="file of space packets, back to back")
    parser.add_argument("--recipes", metavar="JSON", required=True, help="recipes by APID, as JSON")
    parser.add_argument("-o", "--out-dir", required=True, metavar="FOLDER", help="folder for the tables")
    parser.add_argument("--record-header-bytes", type=int, default=0, metavar="N",
                        help="bytes of a ground station's record header before every packet")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help=f"progress bar on standard error (default: from {LONG_FILE_BYTES >> 20} MiB, with tqdm)")
    args = parser.parse_args(argv)
    try:
        recipes = load_recipes(args.recipes)
        summary = decode_file(args.packets, recipes, args.out_dir, record_header_bytes=args.record_header_bytes,
                              progress=args.progress)
    except (OSError, ValueError, TypeError, NotImplementedError, ModuleNotFoundError) as e:
        parser.exit(1, f"{parser.prog}: {e}\n")
    print(summary.text(), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
