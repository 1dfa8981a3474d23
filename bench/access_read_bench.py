#!/usr/bin/env python3
"""Reading benchmark: an Access file of about 100 MB that Jackcess made (a
table with seven indexes, Nulls and long values) is opened and every value of
every table read through the engine (bench/jet_read), against Jackcess
reading and checking the same file (`jetcheck --dump`, from
../shared/tools/jetcheck). Prints each one's time and peak memory.

usage: access_read_bench.py [--mb 100] [--reader build/bench/jet_read] [--keep FILE]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
JETCHECK = os.path.join(HERE, "..", "..", "shared", "tools", "jetcheck", "jetcheck")


def timed(cmd):
    """(seconds, peak RSS of the process tree's largest process in MiB, stdout)."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    if status != 0:
        raise SystemExit("%s failed (%d)" % (cmd[0], status))
    return time.perf_counter() - start, usage.ru_maxrss / 1024.0, out.decode()


def make(path, rows):
    subprocess.run([JETCHECK, "--create", path, "--rows", str(rows)], check=True,
                   capture_output=True)
    return os.path.getsize(path) / 1048576.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=100)
    parser.add_argument("--reader", default=os.path.join(HERE, "..", "build", "bench", "jet_read"))
    parser.add_argument("--keep", help="make the file here (or reuse it) and keep it")
    args = parser.parse_args()
    if not os.path.exists(JETCHECK) or shutil.which("java") is None:
        print("skipped: jetcheck (../shared/tools/jetcheck) and java are needed")
        return
    folder = tempfile.mkdtemp(prefix="nv-access-read-")
    try:
        path = args.keep or os.path.join(folder, "BIG.MDB")
        if not os.path.exists(path):
            # The size per row, from a small file, sets the rows of the big one.
            probe = os.path.join(folder, "PROBE.MDB")
            per_row = make(probe, 5000) / 5000
            rows = int(args.mb / per_row)
            start = time.perf_counter()
            size = make(path, rows)
            print("made by Jackcess: %d rows, %.1f MiB in %.0f s" % (rows, size,
                                                                  time.perf_counter() - start))
        size = os.path.getsize(path) / 1048576.0
        secs, peak, out = timed([os.path.abspath(args.reader), path])
        print("engine (jet_read): %.1f MiB file, %s; %.2f s wall, peak %.1f MiB"
              % (size, out.strip(), secs, peak))
        dump = os.path.join(folder, "rows.jsonl")
        secs, peak, out = timed([JETCHECK, "--dump=" + dump, path])
        with open(dump, "rb") as f:
            lines = sum(1 for _ in f)
        print("jetcheck --dump: %d rows dumped; %.2f s wall, peak %.1f MiB" % (lines, secs, peak))
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    sys.exit(main())
