#!/usr/bin/env python3
"""Report benchmark: a whole run that loads N rows and prints the list report
of examples/ to a PDF file (the PDF printer). Prints the run's time (wall clock
and CPU), its peak memory, the pages written, and the time of a load-only run of the same file
for comparison.

usage: report_bench.py [--rows 100000] [--bin build/norvakel]
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples")
FIELDS = ["ORDER_ID/4/4", "CUSTOMER/10/40", "CITY/10/30", "AMOUNT/7/8", "ORDERED/8/8"]
CITIES = ["Aberdeen", "Köln", "Lyon", "Ostrava", "Rotterdam", "Porto", "Turku", "Graz"]


def write_transfer(path, n, script):
    rnd = random.Random(11)
    with open(path, "w", newline="", encoding="utf-8") as t:
        t.write("][ZOBRAFEX HEAD][\r\n" + "".join(f + "\r\n" for f in FIELDS))
        t.write("][ZOBRAFEX DATA][\r\n")
        for i in range(n):
            t.write("%d\r\nCustomer number %d\r\n%s\r\n%.2f\r\n2026-%02d-%02d\r\n" % (
                i + 1, i + 1, rnd.choice(CITIES), rnd.random() * 10000,
                rnd.randint(1, 12), rnd.randint(1, 28)))
        t.write("][ZOBRAFEX COMMAND][\r\n" + "".join(s + "\r\n" for s in script))


def run(binary, transfer, env):
    start = time.perf_counter()
    proc = subprocess.Popen([binary, transfer], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    err = proc.stderr.read().decode("utf-8", "replace")
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("norvakel failed:\n" + err)
    events = [json.loads(line) for line in err.splitlines() if line.startswith("{")]
    return seconds, usage.ru_maxrss / 1024.0, events, usage.ru_utime + usage.ru_stime


def arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100000)
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "norvakel"))
    args = parser.parse_args()
    return args.rows, os.path.abspath(args.bin)


def bench_report(rows, binary, report, prepare, label, after=None):
    """Times a run that only loads `rows` rows against one that also prints
    `report`, which `prepare(work)` puts into the work folder, to a PDF file;
    prints both runs' time (wall clock and CPU) and peak memory. `after(work)`
    may look at the work folder before it is removed."""
    work = tempfile.mkdtemp(prefix="nv-report-bench-")
    try:
        prepare(work)
        pdf = os.path.join(work, "bench.pdf")
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        # Temporary files (a sort's runs) go to the work folder too.
        env.update({"NORVAKEL_UNATTENDED": "1", "TEMP": work, "TMPDIR": work,
                    "LC_ALL": "C.UTF-8", "QT_QPA_PLATFORM": "offscreen",
                    "NORVAKEL_PDF_PRINTER": pdf})
        transfer = os.path.join(work, "bench.nvk")

        write_transfer(transfer, rows, ["EXIT"])
        load_seconds, load_mib, _, load_cpu = run(binary, transfer, env)

        write_transfer(transfer, rows, [
            "REPORT = %s {" % report, "LOCATION = " + work, "OUTPUT = PRINTER", "}", "PRINT"])
        seconds, mib, events, cpu = run(binary, transfer, env)
        printed = [e for e in events if e.get("event") == "print"]
        pages = printed[0]["pages"] if printed else 0
        width = len(label) + 9
        print("%s, rows: %d" % (label, rows))
        # CPU time shows the program's own cost on a machine shared with other work.
        print("%-*s %.2f s (CPU %.2f s), peak %.1f MiB"
              % (width, "load only:", load_seconds, load_cpu, load_mib))
        print("%-*s %.2f s (CPU %.2f s), peak %.1f MiB (goal < 10 s, < 80 MB)"
              % (width, "load + %s:" % label, seconds, cpu, mib))
        print("%-*s %.2f s (CPU %.2f s)"
              % (width, "report alone:", seconds - load_seconds, cpu - load_cpu))
        print("pages: %d, PDF size %.1f MiB" % (pages, os.path.getsize(pdf) / 1048576.0))
        if after:
            after(work)
    finally:
        shutil.rmtree(work, True)


def main():
    rows, binary = arguments()
    bench_report(rows, binary, "orders_list.jrxml",
                 lambda work: shutil.copy(os.path.join(EXAMPLES, "orders_list.jrxml"), work),
                 "report PDF")


if __name__ == "__main__":
    main()
