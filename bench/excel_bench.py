#!/usr/bin/env python3
"""Excel benchmark: SAVE to an EXCEL 5.0 workbook against SAVE to TEXT.

Times the SAVE of 16,000 rows x 8 columns to EXCEL 5.0 and to TEXT from the
program's own events (from the "Saving the data ..." status to the end of the
run), median of five runs each, and prints their ratio (goal: within 2x).
Then saves the largest table a worksheet holds, 16,383 records x 50 columns,
and prints the run's peak memory (goal: under 64 MB) next to that of the same
run without the SAVE, which shows what loading alone takes.

usage: excel_bench.py [--bin build/norvakel] [--rows 16000]
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile

from load_bench import norvakel_env, rows, run_timed_events, write_inputs

HERE = os.path.dirname(os.path.abspath(__file__))


def save_seconds(events):
    saving = [t for t, e in events if e.get("text") == "Saving the data ..."]
    ended = [t for t, e in events if e.get("event") == "exit"]
    codes = [e.get("code") for _, e in events if e.get("event") == "exit"]
    if not saving or not ended or codes[-1] != 0:
        sys.exit("the run failed: %r" % events[-3:])
    return ended[-1] - saving[-1]


def bench_save(binary, folder, n, type_name, repeats=5):
    times, peaks = [], []
    out = os.path.join(folder, "out-" + type_name.replace(" ", ""))
    transfer, _ = write_inputs(folder, n, [
        "EXPORT = BENCH {", "TYPE = " + type_name, "LOCATION = " + out, "TABLE = DATA", "}",
        "SAVE quietly"])
    for i in range(repeats):
        work = os.path.join(folder, "work-%s-%d" % (type_name.replace(" ", ""), i))
        os.mkdir(work)
        shutil.rmtree(out, True)
        run = transfer + ".run"
        shutil.copy(transfer, run)
        events, peak = run_timed_events([binary, run], norvakel_env(work))
        times.append(save_seconds(events))
        peaks.append(peak)
    size = sum(os.path.getsize(os.path.join(out, f)) for f in os.listdir(out))
    return statistics.median(times), max(peaks), size


def wide_transfer(folder, n, columns, script):
    """n rows of `columns` fields: numbers, texts and dates by turns."""
    fields, kinds = [], ["4/4", "7/8", "10/30", "8/8", "10/30"]
    for c in range(columns):
        fields.append("C%02d/%s" % (c, kinds[c % len(kinds)]))
    path = os.path.join(folder, "wide-%d.nvk" % len(script))
    source = rows(n)
    with open(path, "w", newline="") as t:
        t.write("][ZOBRAFEX HEAD][\r\n" + "".join(f + "\r\n" for f in fields))
        t.write("][ZOBRAFEX DATA][\r\n")
        for i, r in enumerate(source):
            values = []
            for c in range(columns):
                kind = c % len(kinds)
                values.append([str(i + c), r[1], r[2 + c % 4][:30], r[6], r[3][:30]][kind])
            t.write("\r\n".join(values) + "\r\n")
        t.write("][ZOBRAFEX COMMAND][\r\n" + "".join(s + "\r\n" for s in script))
    return path


def bench_wide(binary, folder, n=16383, columns=50):
    out = os.path.join(folder, "wide-out")
    peaks = {}
    for label, script in (("load only", ["EXIT"]),
                          ("load + SAVE", ["EXPORT = WIDE {", "TYPE = EXCEL 5.0",
                                           "LOCATION = " + out, "TABLE = WIDE", "}",
                                           "SAVE quietly"])):
        work = os.path.join(folder, "wide-work-%d" % len(script))
        os.mkdir(work)
        transfer = wide_transfer(folder, n, columns, script)
        events, peak = run_timed_events([binary, transfer], norvakel_env(work))
        if events[-1][1].get("code") != 0:
            sys.exit("the wide run failed: %r" % events[-3:])
        peaks[label] = peak
    return peaks, os.path.getsize(os.path.join(out, "WIDE.XLS"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=16000)
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "norvakel"))
    args = parser.parse_args()
    binary = os.path.abspath(args.bin)
    folder = tempfile.mkdtemp(prefix="nv-xlbench-")
    try:
        xls, xls_peak, xls_size = bench_save(binary, folder, args.rows, "EXCEL 5.0")
        txt, txt_peak, txt_size = bench_save(binary, folder, args.rows, "TEXT")
        print("SAVE %d rows x 8 columns (median of 5): EXCEL 5.0 %.1f ms (%d bytes), "
              "TEXT %.1f ms (%d bytes), ratio %.2f (goal <= 2)"
              % (args.rows, xls * 1000, xls_size, txt * 1000, txt_size, xls / txt))
        print("  peak memory of the whole run: EXCEL 5.0 %.1f MiB, TEXT %.1f MiB"
              % (xls_peak, txt_peak))
        if shutil.which("soffice") is None:
            print("  LibreOffice is not installed: no comparison with its CSV to XLS conversion")
        peaks, size = bench_wide(binary, folder)
        print("16,383 records x 50 columns to EXCEL 5.0 (%d bytes): peak %.1f MiB with the SAVE, "
              "%.1f MiB loading alone (goal < 64 MB)"
              % (size, peaks["load + SAVE"], peaks["load only"]))
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
