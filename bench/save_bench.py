#!/usr/bin/env python3
"""SAVE benchmark: the time a SAVE of N rows to an MS/ACCESS destination takes,
into a new file and into an existing file that holds another table.

Destinations commit durably (synced journal); the figure to watch is how much
that costs against the whole SAVE. Each case is run --repeats times; the median
is printed, timed from the "Saving the data ..." status to the success message.

usage: save_bench.py [--rows 1000000] [--repeats 3] [--bin build/norvakel]
"""
import argparse
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from load_bench import norvakel_env, write_inputs  # noqa: E402


def timed_save(binary, transfer, work):
    copy = transfer + ".run"
    shutil.copy(transfer, copy)
    start = time.perf_counter()
    proc = subprocess.Popen([binary, copy], env=norvakel_env(work), stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    saving = stored = None
    for line in proc.stderr:
        if not line.startswith(b"{"):
            continue
        event = json.loads(line)
        now = time.perf_counter() - start
        if event.get("text") == "Saving the data ...":
            saving = now
        elif event.get("event") == "message" and saving is not None and stored is None:
            stored = now
            if "stored successfully" not in event.get("text", ""):
                sys.exit("SAVE failed: %s" % event.get("text"))
    if proc.wait() != 0 or saving is None or stored is None:
        sys.exit("run failed")
    return stored - saving


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "norvakel"))
    args = parser.parse_args()
    binary = os.path.abspath(args.bin)
    folder = tempfile.mkdtemp(prefix="nv-save-bench-")
    try:
        dest = os.path.join(folder, "dest")
        os.mkdir(dest)
        work = os.path.join(folder, "work")
        os.mkdir(work)
        transfer, _ = write_inputs(folder, args.rows, [
            "EXPORT = BENCH {", "TYPE = MS/ACCESS", "LOCATION = " + dest, "TABLE = ROWS", "}",
            "SAVE"])
        db = os.path.join(dest, "BENCH.MDB")
        fresh, existing = [], []
        for _ in range(args.repeats):
            if os.path.exists(db):
                os.remove(db)
            fresh.append(timed_save(binary, transfer, work))
            con = sqlite3.connect(db)
            con.execute("CREATE TABLE IF NOT EXISTS OTHER (A)")
            con.execute("INSERT INTO OTHER VALUES (1)")
            con.commit()
            con.close()
            existing.append(timed_save(binary, transfer, work))
        print("save %d rows to MS/ACCESS (median of %d): new file %.2f s, existing file %.2f s"
              % (args.rows, args.repeats, statistics.median(fresh), statistics.median(existing)))
        print("  all runs: new %s; existing %s"
              % (" ".join("%.2f" % t for t in fresh), " ".join("%.2f" % t for t in existing)))
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
