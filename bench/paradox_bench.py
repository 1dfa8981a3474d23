#!/usr/bin/env python3
"""Paradox benchmark: SAVE of N rows by 8 columns to PARADOX 4.

For 100,000 and 1,000,000 rows (or --rows and a tenth of it) runs the real
program twice on the same transfer file: once loading only (EXIT), once
loading and saving to PARADOX 4. Prints the time the SAVE took (from its
"Saving the data ..." status to the success message), the same rows saved as
TEXT for comparison, and the peak memory of both runs: the SAVE should add
nothing that grows with the table.

usage: paradox_bench.py [--rows 1000000] [--bin build/norvakel]
"""
import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from load_bench import HERE, norvakel_env, run_measured, run_timed_events, write_inputs  # noqa: E402


def save_seconds(events, first_text="Saving the data ..."):
    starts = [t for t, e in events if e.get("text") == first_text]
    ends = [t for t, e in events if e.get("event") == "message"]
    return [next(t for t in ends if t >= s) - s for s in starts]


def bench(binary, n, folder):
    work = os.path.join(folder, "work-%d" % n)
    os.mkdir(work)
    out = os.path.join(folder, "out-%d" % n)
    transfer, _ = write_inputs(folder, n, ["EXIT"])
    _, load_peak, _ = run_measured([binary, transfer], norvakel_env(work))
    transfer, _ = write_inputs(folder, n, [
        "EXPORT = BENCH {", "TYPE = PARADOX 4", "LOCATION = " + out, "}", "SAVE",
        "EXPORT = BENCH {", "TYPE = TEXT", "}", "SAVE"])
    events, save_peak = run_timed_events([binary, transfer], norvakel_env(work))
    messages = [e["text"] for _, e in events if e.get("event") == "message"]
    if len(messages) != 2 or not all(m.startswith("The requested data") for m in messages):
        sys.exit("SAVE failed at %d rows: %s" % (n, messages))
    paradox, text = save_seconds(events)
    size = os.path.getsize(os.path.join(out, "BENCH.DB"))
    return paradox, text, load_peak, save_peak, size


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "norvakel"))
    args = parser.parse_args()
    binary = os.path.abspath(args.bin)
    folder = tempfile.mkdtemp(prefix="nv-bench-paradox-")
    try:
        for n in (max(1, args.rows // 10), args.rows):
            paradox, text, load_peak, save_peak, size = bench(binary, n, folder)
            print("PARADOX 4 %8d rows: SAVE %.2f s (%.0f rows/s), TEXT SAVE %.2f s, ratio %.2f; "
                  "BENCH.DB %.1f MiB; peak memory: load only %.1f MiB, load + SAVE %.1f MiB "
                  "(+%.1f MiB)"
                  % (n, paradox, n / paradox, text, paradox / text, size / 1048576.0, load_peak,
                     save_peak, save_peak - load_peak))
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
