#!/usr/bin/env python3
"""dBASE IV export benchmark: SAVE of the benchmark table against ogr2ogr.

For 100,000 and N rows (default 1,000,000) of load_bench.py's table: the
time of norvakel's SAVE to a DBASE IV table (from the "Saving the data ..."
status to the success message), the time of ogr2ogr converting the same rows
from CSV (with a .csvt types file) to a DBF, their ratio, and norvakel's peak
memory for the whole run.

usage: xbase_bench.py [--rows 1000000] [--bin build/norvakel]
"""
import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from load_bench import HERE, norvakel_env, run_measured, run_timed_events, write_inputs, between  # noqa: E402

CSVT = "Integer,Real,String(40),String(40),String(40),String(40),String(20),String(40)\n"


def bench(binary, n, folder):
    work = os.path.join(folder, "work-%d" % n)
    out = os.path.join(folder, "out-%d" % n)
    os.mkdir(work)
    transfer, csv_path = write_inputs(folder, n, [
        "EXPORT = BENCH {", "TYPE = DBASE IV", "LOCATION = " + out, "}", "SAVE"])
    events, peak = run_timed_events([binary, transfer], norvakel_env(work))
    saving = lambda e: e.get("text") == "Saving the data ..."
    stored = lambda e: e.get("event") == "message"
    messages = [e for _, e in events if stored(e)]
    if not messages or "stored successfully" not in messages[-1].get("text", ""):
        sys.exit("the export failed: %r" % messages)
    save_secs = between(events, saving, stored)
    size = os.path.getsize(os.path.join(out, "BENCH.DBF"))

    with open(os.path.splitext(csv_path)[0] + ".csvt", "w") as f:
        f.write(CSVT)
    ogr_out = os.path.join(folder, "ogr-%d" % n)
    os.mkdir(ogr_out)
    ogr_secs, ogr_peak, _ = run_measured(
        ["ogr2ogr", "-f", "ESRI Shapefile", os.path.join(ogr_out, "bench.dbf"), csv_path])
    os.remove(csv_path)
    return save_secs, peak, size, ogr_secs, ogr_peak


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "norvakel"))
    args = parser.parse_args()
    binary = os.path.abspath(args.bin)
    folder = tempfile.mkdtemp(prefix="nv-xbase-bench-")
    try:
        for n in sorted({min(100000, args.rows), args.rows}):
            secs, peak, size, ogr_secs, ogr_peak = bench(binary, n, folder)
            print("DBASE IV %8d rows: SAVE %.2f s (%.0f MiB table), ogr2ogr CSV->DBF %.2f s, "
                  "ratio %.2f; peak memory norvakel %.1f MiB, ogr2ogr %.1f MiB"
                  % (n, secs, size / 1048576.0, ogr_secs, secs / ogr_secs, peak, ogr_peak))
            sys.stdout.flush()
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
