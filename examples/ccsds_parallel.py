"""Decode many packet files at once: on every core with multiprocessing, or on a Dask cluster.

    python examples/ccsds_parallel.py PACKETS... (--recipes JSON | --xtce XML) --out-dir DIR
                                      [--parquet] [--processes N | --dask [ADDRESS]]

Each file is one task: a worker decodes it into DIR/NAME.csv (and DIR/NAME.parquet) with
ccsds_decode.decode_file and returns a small summary, so only file names, recipes and summaries
travel between processes. tessel's functions are plain module functions that pickle by name and
recipes are lists of dicts, so a worker needs nothing but the imports: tessel installed in its
environment and this folder on its path (a Dask worker on another machine needs both there).
As with any process pool, a script that calls these guards its own work with
`if __name__ == "__main__":`, since worker processes import the main module.
"""
import argparse
import functools
import multiprocessing
import os
import sys
from pathlib import Path

from ccsds_decode import RecipeTable, as_table, decode_file


def decode_one(path, recipes, out_dir, parquet=False, allow_truncated=False):
    """Decodes one file into `out_dir` and returns its summary (a dict of plain values)."""
    name = Path(path).name
    csv_path = Path(out_dir, name + ".csv")
    parquet_path = Path(out_dir, name + ".parquet") if parquet else None
    stats = decode_file(path, recipes, csv_path=csv_path, parquet_path=parquet_path, progress=False,
                        allow_truncated=allow_truncated)
    return {"path": str(path), "csv": str(csv_path), "parquet": parquet_path and str(parquet_path),
            "packets": stats.packets, "rows": stats.rows, "fields": stats.fields, "bytes": stats.bytes,
            "skipped": dict(stats.skipped), "truncated_at": stats.truncated_at}


def _plan(paths, recipes, out_dir):
    """Checks the work before any worker starts: the recipes, and one output name per input."""
    paths = [str(p) for p in paths]
    names = [Path(p).name for p in paths]
    twice = sorted({n for n in names if names.count(n) > 1})
    if twice:
        raise ValueError(f"input files share a name, so their tables would collide: {', '.join(twice)}")
    if not Path(out_dir).is_dir():
        raise NotADirectoryError(f"output folder {out_dir} does not exist")
    return paths, as_table(recipes).recipes()   # checked here, sent as plain lists of dicts


def new_pool(processes=None):
    """A process pool; forkserver where there is one, since fork from a process that runs threads
    (a Dask client, a progress bar) can deadlock and spawn starts each worker from scratch."""
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    return multiprocessing.get_context(method).Pool(processes)


def decode_files_pool(paths, recipes, out_dir, *, processes=None, pool=None, parquet=False,
                      allow_truncated=False):
    """Decodes the files on `processes` cores (default: all) and returns their summaries in order.

    `pool` runs them on a pool the caller keeps (see new_pool) instead of one started for the call.
    Each file's tables appear whole or not at all; the first file that fails raises its error
    here, while the tables of files that decoded stay.
    """
    paths, plain = _plan(paths, recipes, out_dir)
    task = functools.partial(decode_one, recipes=plain, out_dir=str(out_dir), parquet=parquet,
                             allow_truncated=allow_truncated)
    if pool is not None:
        return pool.map(task, paths, chunksize=1)
    with new_pool(min(processes or os.cpu_count() or 1, max(len(paths), 1))) as pool:
        return pool.map(task, paths, chunksize=1)


def decode_files_dask(paths, recipes, out_dir, *, parquet=False, allow_truncated=False, scheduler=None):
    """Decodes the files as a dask.bag, one partition per file, and returns their summaries.

    Without `scheduler` the bag runs on the current dask.distributed Client if there is one, else
    on local processes; give "threads", "processes", "sync" or a Client to choose.
    """
    import dask.bag

    paths, plain = _plan(paths, recipes, out_dir)
    bag = dask.bag.from_sequence(paths, npartitions=max(len(paths), 1))
    summaries = bag.map(decode_one, recipes=plain, out_dir=str(out_dir), parquet=parquet,
                        allow_truncated=allow_truncated)
    return summaries.compute(scheduler=scheduler)


def decode_files_distributed(paths, recipes, out_dir, *, address=None, parquet=False, allow_truncated=False,
                             **cluster_options):
    """Decodes the files on the dask.distributed scheduler at `address`, or on a LocalCluster.

    `cluster_options` go to LocalCluster (n_workers, threads_per_worker, processes, ...).
    """
    from dask.distributed import Client, LocalCluster

    paths, plain = _plan(paths, recipes, out_dir)
    cluster = None if address else LocalCluster(dashboard_address=None, **cluster_options)
    try:
        with Client(address or cluster) as client:
            futures = client.map(decode_one, paths, recipes=plain, out_dir=str(out_dir), parquet=parquet,
                                 allow_truncated=allow_truncated, pure=False)
            return client.gather(futures)
    finally:
        if cluster is not None:
            cluster.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Decode many packet files at once.")
    parser.add_argument("packets", nargs="+", help="packet files")
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--recipes", metavar="JSON", help="recipes by APID, as JSON")
    source.add_argument("--xtce", metavar="XML", help="recipes by APID, read from an XTCE definition")
    parser.add_argument("--out-dir", required=True, help="folder for the tables")
    parser.add_argument("--parquet", action="store_true", help="Parquet tables beside the CSV (needs pyarrow)")
    parser.add_argument("--allow-truncated", action="store_true")
    runner = parser.add_mutually_exclusive_group()
    runner.add_argument("--processes", type=int, help="worker processes (default: every core)")
    runner.add_argument("--dask", nargs="?", const="", metavar="ADDRESS",
                        help="run on the dask.distributed scheduler at ADDRESS, or on a local cluster")
    args = parser.parse_args(argv)
    try:
        table = RecipeTable.from_json(args.recipes) if args.recipes else RecipeTable.from_xtce(args.xtce)
        options = dict(parquet=args.parquet, allow_truncated=args.allow_truncated)
        if args.dask is None:
            summaries = decode_files_pool(args.packets, table, args.out_dir, processes=args.processes, **options)
        else:
            summaries = decode_files_distributed(args.packets, table, args.out_dir, address=args.dask or None,
                                                 **options)
    except (OSError, ValueError, TypeError, NotImplementedError) as e:
        parser.exit(1, f"{parser.prog}: {e}\n")
    for s in summaries:
        print(f"{s['path']}: {s['rows']} of {s['packets']} packets -> {s['csv']}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
