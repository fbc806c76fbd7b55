"""Decode many packet files at once: a dask.dataframe per APID, one partition per file, to Parquet.

    python examples/ccsds_parallel.py PACKETS... --recipes JSON -o FOLDER
                                      [--dask ADDRESS] [--record-header-bytes N] [--progress]

FOLDER/apid_NNNN/ becomes a Parquet dataset for each APID that has a recipe, one part per input
file, in the order of the files. Each partition is built where it runs: tessel_archive.decode
reads its file and hands its columns to pandas, so only file names and recipes (lists of dicts)
travel to the workers. Without --dask the partitions run on local threads (tessel_archive fills
numeric columns without the GIL); with --dask they run on the dask.distributed scheduler at
ADDRESS, or on a LocalCluster when no address is given. A worker needs tessel[archive], pandas and
this folder's ccsds_parallel.py on its path.
"""
import argparse
import sys
from pathlib import Path

import tessel_archive
from ccsds_decode import load_recipes


def partition(path, apid, recipe, record_header_bytes=0, threads=1):
    """The table of APID `apid` in one packet file as a pandas DataFrame; `path` None gives the
    empty table, the dataframe's schema. One thread a partition by default: Dask runs several."""
    import pandas as pd

    archive = tessel_archive.decode(b"" if path is None else path, {apid: recipe},
                                    record_header_bytes=record_header_bytes, threads=threads)
    return pd.DataFrame(archive[apid], copy=False)


def frames(paths, recipes, *, record_header_bytes=0):
    """A dask.dataframe per APID over `paths`, one partition per file. Each recipe is checked here,
    by building the empty table, so a bad recipe fails before any file is read."""
    import dask.dataframe as dd

    paths = [str(p) for p in paths]
    result = {}
    for apid, recipe in sorted(recipes.items()):
        recipe = [dict(item) for item in recipe]
        meta = partition(None, apid, recipe)
        result[apid] = dd.from_map(partition, paths, apid=apid, recipe=recipe,
                                   record_header_bytes=record_header_bytes, meta=meta,
                                   label=f"apid-{apid}", enforce_metadata=False)
    return result


def write_parquet(paths, recipes, out_dir, *, record_header_bytes=0, scheduler=None, progress=False):
    """Writes FOLDER/apid_NNNN/ for every APID of `recipes` and returns {APID: rows written}.

    `scheduler` is any Dask scheduler: "threads" (the default without a Client), "sync", or a
    dask.distributed Client.
    """
    import dask

    out_dir = Path(out_dir)
    if not out_dir.is_dir():
        raise NotADirectoryError(f"output folder {out_dir} does not exist")
    tables = frames(paths, recipes, record_header_bytes=record_header_bytes)
    writes = [frame.to_parquet(out_dir / f"apid_{apid:04d}", write_index=False, compute=False)
              for apid, frame in tables.items()]
    counts = [frame.map_partitions(len).sum() for frame in tables.values()]
    if progress:
        from dask.diagnostics import ProgressBar
        with ProgressBar(out=sys.stderr):
            _, rows = dask.compute(writes, counts, scheduler=scheduler)
    else:
        _, rows = dask.compute(writes, counts, scheduler=scheduler)
    return {apid: int(n) for apid, n in zip(tables, rows)}


def write_parquet_distributed(paths, recipes, out_dir, *, address=None, record_header_bytes=0, **cluster_options):
    """The same on the dask.distributed scheduler at `address`, or on a LocalCluster started for the
    call (`cluster_options` go to it: n_workers, threads_per_worker, processes, ...)."""
    from dask.distributed import Client, LocalCluster

    cluster = None if address else LocalCluster(dashboard_address=None, **cluster_options)
    try:
        with Client(address or cluster) as client:
            return write_parquet(paths, recipes, out_dir, record_header_bytes=record_header_bytes, scheduler=client)
    finally:
        if cluster is not None:
            cluster.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Decode many packet files into Parquet datasets.")
    parser.add_argument("packets", nargs="+", help="packet files")
    parser.add_argument("--recipes", metavar="JSON", required=True, help="recipes by APID, as JSON")
    parser.add_argument("-o", "--out-dir", required=True, metavar="FOLDER", help="folder for the datasets")
    parser.add_argument("--record-header-bytes", type=int, default=0, metavar="N")
    parser.add_argument("--dask", nargs="?", const="", metavar="ADDRESS",
                        help="run on the dask.distributed scheduler at ADDRESS, or on a local cluster")
    parser.add_argument("--progress", action="store_true", help="a progress bar over the files (local threads)")
    args = parser.parse_args(argv)
    try:
        recipes = load_recipes(args.recipes)
        if args.dask is None:
            rows = write_parquet(args.packets, recipes, args.out_dir, record_header_bytes=args.record_header_bytes,
                                 progress=args.progress)
        else:
            rows = write_parquet_distributed(args.packets, recipes, args.out_dir, address=args.dask or None,
                                             record_header_bytes=args.record_header_bytes)
    except (OSError, ValueError, TypeError, NotImplementedError) as e:
        parser.exit(1, f"{parser.prog}: {e}\n")
    for apid, n in rows.items():
        print(f"APID {apid}: {n} rows from {len(args.packets)} files -> {Path(args.out_dir, f'apid_{apid:04d}')}",
              file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
