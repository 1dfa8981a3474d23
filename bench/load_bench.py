#!/usr/bin/env python3
"""Load benchmark: the real program against sqlite3's own CSV import.

Generates an N-row by 8-column transfer file, loads it with norvakel in
unattended mode, and times `sqlite3 .import` of the same rows as CSV into a new
database. Prints both times, their ratio and norvakel's peak memory.

usage: load_bench.py [--rows 1000000] [--bin build/norvakel] [--grid-only]
       load_bench.py --load-only [--repeats 5] [--against OTHER_BUILD/norvakel]

--load-only times the load alone, --repeats times: each round runs norvakel
(and the --against build) and sqlite3 .import on the same rows one after the
other, so that the ratios are paired under the same machine load; the medians
of the rounds are printed at the end.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FIELDS = ["ID/4/4", "AMOUNT/7/8", "T1/10/40", "T2/10/40", "T3/10/40", "T4/10/40",
          "ORDERED/10/20", "NOTE/10/40"]
LETTERS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ "


def rows(n, seed=7):
    rnd = random.Random(seed)
    words = ["".join(rnd.choice(LETTERS) for _ in range(rnd.randint(8, 40))).strip() or "x"
             for _ in range(4096)]
    for i in range(n):
        yield (str(i + 1), "%.2f" % (rnd.random() * 100000),
               words[rnd.getrandbits(12)], words[rnd.getrandbits(12)],
               words[rnd.getrandbits(12)], words[rnd.getrandbits(12)],
               "2026-%02d-%02d" % (rnd.randint(1, 12), rnd.randint(1, 28)),
               "" if i % 10 == 0 else words[rnd.getrandbits(12)])


def write_inputs(folder, n, script):
    transfer = os.path.join(folder, "bench.nvk")
    csv_path = os.path.join(folder, "bench.csv")
    with open(transfer, "w", newline="") as t, open(csv_path, "w", newline="") as c:
        t.write("][ZOBRAFEX HEAD][\r\n" + "".join(f + "\r\n" for f in FIELDS))
        t.write("][ZOBRAFEX DATA][\r\n")
        c.write(",".join(f.split("/")[0] for f in FIELDS) + "\n")
        for r in rows(n):
            t.write("\r\n".join(r) + "\r\n")
            c.write(",".join('"%s"' % v for v in r) + "\n")
        t.write("][ZOBRAFEX COMMAND][\r\n" + "".join(s + "\r\n" for s in script))
    return transfer, csv_path


def run_measured(cmd, env=None, stdout=subprocess.DEVNULL):
    """Runs a command; returns (seconds, peak RSS in MiB, stderr text)."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=stdout, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), err.decode(errors="replace")))
    return seconds, usage.ru_maxrss / 1024.0, err.decode(errors="replace")


def norvakel_env(work):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update({"NORVAKEL_UNATTENDED": "1", "TEMP": work, "LC_ALL": "C.UTF-8"})
    return env


def bench_load(binary, n, folder):
    work = os.path.join(folder, "work-%d" % n)
    os.mkdir(work)
    transfer, csv_path = write_inputs(folder, n, ["EXIT"])
    secs, peak, _ = run_measured([binary, transfer], norvakel_env(work))
    db = os.path.join(folder, "import-%d.db" % n)
    isecs, _, _ = run_measured(["sqlite3", db, "-cmd", ".mode csv", ".import %s t" % csv_path])
    return secs, peak, isecs


def load_once(binary, transfer, work):
    """One unattended load of a copy of `transfer` (a run deletes its file)."""
    copy = transfer + ".run"
    shutil.copy(transfer, copy)
    for name in os.listdir(work):
        os.remove(os.path.join(work, name))
    secs, peak, _ = run_measured([binary, copy], norvakel_env(work))
    return secs, peak


def import_once(csv_path, folder):
    db = os.path.join(folder, "import.db")
    if os.path.exists(db):
        os.remove(db)
    secs, _, _ = run_measured(["sqlite3", db, "-cmd", ".mode csv", ".import %s t" % csv_path])
    os.remove(db)
    return secs


def bench_paired(binary, other, n, folder, repeats):
    """Rounds of norvakel, the other build and sqlite3 .import on the same rows."""
    import statistics
    work = os.path.join(folder, "paired-%d" % n)
    os.mkdir(work)
    transfer, csv_path = write_inputs(folder, n, ["EXIT"])
    print("load average before: %.2f %.2f %.2f" % os.getloadavg(), flush=True)
    ours, theirs, imports, peaks = [], [], [], []
    for r in range(repeats):
        secs, peak = load_once(binary, transfer, work)
        ours.append(secs)
        peaks.append(peak)
        line = "round %d: norvakel %.2f s (peak %.1f MiB)" % (r + 1, secs, peak)
        if other:
            osecs, _ = load_once(other, transfer, work)
            theirs.append(osecs)
            line += ", other %.2f s" % osecs
        isecs = import_once(csv_path, folder)
        imports.append(isecs)
        line += ", sqlite3 .import %.2f s, ratio %.2f" % (isecs, secs / isecs)
        if other:
            line += ", other ratio %.2f, norvakel/other %.2f" % (osecs / isecs, secs / osecs)
        print(line, flush=True)
    med = statistics.median
    print("median of %d, %d rows: norvakel %.2f s, sqlite3 .import %.2f s, ratio %.2f, "
          "peak %.1f MiB" % (repeats, n, med(ours), med(imports),
                             med(o / i for o, i in zip(ours, imports)), max(peaks)))
    if other:
        print("median of %d, %d rows: other %.2f s, ratio %.2f, norvakel/other %.2f"
              % (repeats, n, med(theirs), med(t / i for t, i in zip(theirs, imports)),
                 med(o / t for o, t in zip(ours, theirs))))
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


def bench_small(binary, folder, repeats):
    """5 rows, SAVE to TEXT and SAVE to MS/ACCESS: median seconds of the whole run."""
    import statistics
    work = os.path.join(folder, "small")
    os.mkdir(work)
    out = os.path.join(folder, "small-out")
    transfer, _ = write_inputs(folder, 5, [
        "EXPORT = BENCH {", "TYPE = TEXT", "LOCATION = " + out, "}", "SAVE",
        "EXPORT = BENCH {", "TYPE = MS/ACCESS", "}", "SAVE", "EXIT"])
    times = [load_once(binary, transfer, work)[0] for _ in range(repeats)]
    print("small run (5 rows, two SAVEs), median of %d: %.1f ms (load average %.2f)"
          % (repeats, statistics.median(times) * 1000, os.getloadavg()[0]))


def run_timed_events(cmd, env):
    """Runs norvakel; returns [(seconds since start, event)], peak RSS in MiB."""
    import json
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL)
    events = []
    for line in proc.stderr:
        if line.startswith(b"{"):
            events.append((time.perf_counter() - start, json.loads(line)))
    _, status, usage = os.wait4(proc.pid, 0)
    return events, usage.ru_maxrss / 1024.0


def between(events, first, last):
    """Seconds from the first event matching `first` to the next one matching `last`."""
    t0 = next(t for t, e in events if first(e))
    return next(t for t, e in events if t >= t0 and last(e) and not first(e)) - t0


def bench_stages(binary, n, folder):
    """SAVE to TEXT, SAVE to the native database, SHOW: each timed from its events."""
    work = os.path.join(folder, "stages-%d" % n)
    os.mkdir(work)
    out = os.path.join(folder, "out-%d" % n)
    transfer, _ = write_inputs(folder, n, [
        "EXPORT = BENCH {", "TYPE = TEXT", "LOCATION = " + out, "}", "SAVE",
        "EXPORT = BENCH {", "TYPE = MS/ACCESS", "}", "SAVE", "SHOW"])
    events, peak = run_timed_events([binary, transfer], norvakel_env(work))
    saving = lambda e: e.get("text") == "Saving the data ..."
    stored = lambda e: e.get("event") == "message"
    times = {}
    saves = [t for t, e in events if saving(e)]
    if len(saves) == 2:
        after = [(t, e) for t, e in events if t >= saves[1]]
        times["text"] = between(events, saving, stored)
        times["native"] = between(after, saving, stored)
    showing = lambda e: e.get("text") == "Building the database CrossTab screen ..."
    painted = lambda e: e.get("event") == "window" and e.get("name") == "Grid"
    if any(showing(e) for _, e in events) and any(painted(e) for _, e in events):
        times["grid"] = between(events, showing, painted)
    db = os.path.join(work, "UNTITLED.MDB")
    csv_secs, _, _ = run_measured(["sh", "-c", 'sqlite3 -csv "$0" "select * from UNTITLED" > "$1"',
                                   db, os.path.join(folder, "dump-%d.csv" % n)])
    times["sqlite3-csv"] = csv_secs
    return times, peak


def bench_grid(binary, n, folder, repeats=5):
    """SHOW alone: median seconds from the SHOW status to the grid's first paint."""
    import statistics
    work = os.path.join(folder, "grid-%d" % n)
    os.mkdir(work)
    transfer, _ = write_inputs(folder, n, ["SHOW"])
    showing = lambda e: e.get("text") == "Building the database CrossTab screen ..."
    painted = lambda e: e.get("event") == "window" and e.get("name") == "Grid"
    times, peaks = [], []
    for _ in range(repeats):
        copy = transfer + ".run"
        shutil.copy(transfer, copy)
        events, peak = run_timed_events([binary, copy], norvakel_env(work))
        times.append(between(events, showing, painted))
        peaks.append(peak)
    return statistics.median(times), max(peaks)


def print_grid(binary, n, folder):
    g_small, g_small_peak = bench_grid(binary, 10000, folder)
    g_big, g_big_peak = bench_grid(binary, n, folder)
    print("grid first paint (median of 5): %d rows %.1f ms, peak %.1f MiB; "
          "%d rows %.1f ms, peak %.1f MiB; ratio %.2f, memory +%.1f MiB"
          % (10000, g_small * 1000, g_small_peak, n, g_big * 1000, g_big_peak,
             g_big / g_small, g_big_peak - g_small_peak))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "norvakel"))
    parser.add_argument("--grid-only", action="store_true",
                        help="only the grid's first paint at 10,000 and --rows rows")
    parser.add_argument("--load-only", action="store_true",
                        help="only the load, paired with sqlite3 .import, --repeats times")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--against", help="another build's norvakel, run in the same rounds")
    parser.add_argument("--small", action="store_true",
                        help="only the small run: 5 rows and two SAVEs, --repeats times")
    args = parser.parse_args()
    binary = os.path.abspath(args.bin)
    folder = tempfile.mkdtemp(prefix="nv-bench-")
    try:
        if args.small:
            bench_small(binary, folder, args.repeats)
            return
        if args.load_only:
            other = os.path.abspath(args.against) if args.against else None
            bench_paired(binary, other, args.rows, folder, args.repeats)
            return
        if args.grid_only:
            print_grid(binary, args.rows, folder)
            return
        small = max(1, args.rows // 10)
        s_secs, s_peak, s_imp = bench_load(binary, small, folder)
        secs, peak, imp = bench_load(binary, args.rows, folder)
        print("load %8d rows: norvakel %.2f s, sqlite3 .import %.2f s, ratio %.2f, peak %.1f MiB"
              % (small, s_secs, s_imp, s_secs / s_imp, s_peak))
        print("load %8d rows: norvakel %.2f s, sqlite3 .import %.2f s, ratio %.2f, peak %.1f MiB"
              % (args.rows, secs, imp, secs / imp, peak))
        for rows_n in (10000, args.rows):
            times, speak = bench_stages(binary, rows_n, folder)
            parts = ", ".join("%s %.3f s" % kv for kv in times.items())
            print("stages %8d rows: %s, peak %.1f MiB" % (rows_n, parts, speak))
            if "text" in times:
                print("  text export / sqlite3 -csv: %.2f" % (times["text"] / times["sqlite3-csv"]))
        print_grid(binary, args.rows, folder)
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
