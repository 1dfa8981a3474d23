#!/usr/bin/env python3
"""SAVE benchmark: the benchmark table into a new MS/ACCESS file (an Access
2000 / Jet 4 database) against the same SAVE into an existing native (SQLite)
.MDB file, as MS/ACCESS was written before. Prints both times, their ratio and
each run's peak memory, and checks the Access file with mdb-count.

usage: access_bench.py [--rows 1000000] [--bin build/norvakel]
"""
import argparse
import os
import shutil
import sqlite3
import subprocess
import tempfile

from load_bench import HERE, norvakel_env, run_timed_events, write_inputs


def timed_save(binary, transfer, work):
    events, peak = run_timed_events([binary, transfer], norvakel_env(work))
    saving = [t for t, e in events if e.get("text") == "Saving the data ..."]
    done = [t for t, e in events if e.get("event") == "message"]
    errors = [e for _, e in events if e.get("icon") == "critical"]
    if errors or not saving or not done:
        raise SystemExit("SAVE failed: %s" % errors)
    return done[-1] - saving[0], peak


def bench(binary, n, folder):
    results = {}
    for kind in ("access", "sqlite"):
        work = os.path.join(folder, "%s-%d" % (kind, n))
        out = os.path.join(folder, "out-%s-%d" % (kind, n))
        os.makedirs(work)
        os.makedirs(out)
        if kind == "sqlite":
            # An existing native file: the engine recognises it and writes SQLite.
            sqlite3.connect(os.path.join(out, "BENCH.MDB")).close()
        transfer, _ = write_inputs(folder, n, [
            "EXPORT = BENCH {", "TYPE = MS/ACCESS", "LOCATION = " + out, "TABLE = DATA", "}",
            "SAVE"])
        results[kind] = timed_save(binary, transfer, work)
        if kind == "access":
            path = os.path.join(out, "BENCH.MDB")
            count = subprocess.run(["mdb-count", path, "DATA"], capture_output=True, text=True)
            ver = subprocess.run(["mdb-ver", path], capture_output=True, text=True)
            results["check"] = (ver.stdout.strip(), count.stdout.strip(),
                                os.path.getsize(path) / 1048576.0)
        shutil.rmtree(work, True)
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "norvakel"))
    args = parser.parse_args()
    binary = os.path.abspath(args.bin)
    folder = tempfile.mkdtemp(prefix="nv-access-bench-")
    try:
        for n in (max(1, args.rows // 10), args.rows):
            r = bench(binary, n, folder)
            (a_secs, a_peak), (s_secs, s_peak) = r["access"], r["sqlite"]
            ver, count, size = r["check"]
            print("SAVE %8d rows: Access (Jet 4) %.2f s, peak %.1f MiB; native (SQLite) %.2f s, "
                  "peak %.1f MiB; ratio %.2f; mdb-ver %s, mdb-count %s, file %.1f MiB"
                  % (n, a_secs, a_peak, s_secs, s_peak, a_secs / s_secs, ver, count, size))
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
