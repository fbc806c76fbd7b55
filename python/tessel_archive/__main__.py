"""python -m tessel_archive DEFINITION.xml PACKETS... -o OUT: packet files decoded with their XTCE
into Parquet, a table per concrete container.

OUT ending in .parquet is one table, for packets that all land in one container; any other OUT is
a folder that gets CONTAINER.parquet for each container packets reached. The tables of several
files are stacked in the order of the files. Tables are written under temporary names and moved
into place once every file has decoded, so a failure leaves none. Needs pyarrow; the progress bar
on long input, tqdm.
"""

from __future__ import annotations

import argparse
import importlib
import os
import secrets
import sys
import warnings
from pathlib import Path
from typing import Any

import numpy as np

from . import TruncatedPacketWarning, xtce

LONG_INPUT_BYTES = 1 << 24  # a progress bar from this much input on, unless asked for or refused


def _arrow_table(columns: dict[str, np.ndarray[Any, Any]]) -> Any:
    pa: Any = importlib.import_module("pyarrow")

    arrays = {}
    for name, column in columns.items():
        if column.dtype != object:
            arrays[name] = column
            continue
        first = next((v for v in column if v is not None), None)
        arrays[name] = pa.array(column, type=pa.binary() if isinstance(first, bytes) else pa.string())
    return pa.table(arrays)


def _progress(total: int, asked: bool | None) -> Any:
    if asked is False or (asked is None and total < LONG_INPUT_BYTES):
        return None
    try:
        tqdm: Any = importlib.import_module("tqdm").tqdm
    except ImportError:
        if asked:
            raise ModuleNotFoundError("the progress bar needs tqdm (pip install tqdm)") from None
        return None
    return tqdm(total=total, unit="B", unit_scale=True, file=sys.stderr)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tessel_archive",
                                     description="Decode CCSDS packet files with their XTCE definition into Parquet.")
    parser.add_argument("definition", help="the XTCE definition (XML)")
    parser.add_argument("packets", nargs="+", help="files of space packets, back to back")
    parser.add_argument("-o", "--out", required=True, help="OUT.parquet for one container, else a folder")
    parser.add_argument("--record-header-bytes", type=int, default=0, metavar="N",
                        help="bytes of a ground station's record header before every packet")
    parser.add_argument("--threads", type=int, default=None, help="threads a file (default: every core)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help=f"progress bar on standard error (default: from {LONG_INPUT_BYTES >> 20} MiB, with tqdm)")
    args = parser.parse_args(argv)
    written: list[Path] = []
    try:
        pq: Any = importlib.import_module("pyarrow.parquet")

        definition = xtce.load(args.definition)
        bar = _progress(sum(os.path.getsize(p) for p in args.packets), args.progress)
        parts: dict[str, list[dict[str, np.ndarray[Any, Any]]]] = {}
        undecoded: dict[str, int] = {}
        packets = 0
        notes: list[str] = []
        for path in args.packets:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", TruncatedPacketWarning)
                tables = definition.decode(path, record_header_bytes=args.record_header_bytes, threads=args.threads)
            notes += [f"{path}: {w.message}" for w in caught if issubclass(w.category, TruncatedPacketWarning)]
            packets += tables.packets
            for name, table in tables.items():
                parts.setdefault(name, []).append(table)
            for reason, count in tables.undecoded.items():
                undecoded[reason] = undecoded.get(reason, 0) + count
            if bar is not None:
                bar.update(os.path.getsize(path))
        if bar is not None:
            bar.close()
        stacked = {name: {column: np.concatenate([t[column] for t in tables]) for column in tables[0]}
                   for name, tables in parts.items()}
        out = Path(args.out)
        if out.suffix == ".parquet":
            if len(stacked) > 1:
                raise ValueError(f"the packets fill {len(stacked)} containers ({', '.join(stacked)}); "
                                 "give a folder for a Parquet file per container")
            targets = {name: out for name in stacked}
        else:
            out.mkdir(parents=True, exist_ok=True)
            targets = {name: out / f"{name}.parquet" for name in stacked}
        moves: list[tuple[Path, Path]] = []
        for name, columns in stacked.items():
            target = targets[name]
            temporary = target.with_name(f".{target.name}.{secrets.token_hex(6)}.part")
            written.append(temporary)
            pq.write_table(_arrow_table(columns), temporary)
            moves.append((temporary, target))
        for temporary, target in moves:
            os.replace(temporary, target)
        written.clear()
    except (OSError, ValueError, TypeError, NotImplementedError, ModuleNotFoundError) as error:
        for temporary in written:
            temporary.unlink(missing_ok=True)
        parser.exit(1, f"{parser.prog}: {error}\n")
    decoded = sum(len(next(iter(t.values()))) for t in stacked.values())
    lines = [f"{packets} packets in {len(args.packets)} files, {decoded} decoded"]
    lines += [f"  {name}: {len(next(iter(t.values())))} -> {targets[name]}" for name, t in stacked.items()]
    lines += [f"  left undecoded, {reason}: {count}" for reason, count in undecoded.items()]
    lines += [f"  {note}" for note in notes]
    print("\n".join(lines), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
