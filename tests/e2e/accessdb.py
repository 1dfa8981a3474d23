"""Reading the Access (Jet 4) files the program writes, through the mdb-reader
package (tests/jsreader), and telling them from the native SQLite files."""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import unittest

DUMP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "jsreader", "dump.mjs")
MODULE = os.path.join(os.path.dirname(DUMP), "node_modules", "mdb-reader")


def is_access(path):
    with open(path, "rb") as f:
        head = f.read(19)
    return head[:4] == b"\x00\x01\x00\x00" and head[4:19] in (b"Standard Jet DB", b"Standard ACE DB")


def jetcheck_tool():
    """The Jackcess-based checker in ../shared/tools/jetcheck and why it
    cannot run when it cannot (the path is None then)."""
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [os.path.join(here, "..", "..", "..", "shared", "tools", "jetcheck", "jetcheck")]
    testdata = os.environ.get("NORVAKEL_TESTDATA")
    if testdata:
        candidates.insert(0, os.path.join(testdata, "..", "tools", "jetcheck", "jetcheck"))
    tool = next((os.path.abspath(c) for c in candidates if os.path.exists(c)), None)
    if tool is None:
        return None, "jetcheck not found (../shared/tools/jetcheck is absent)"
    if shutil.which("java") is None:
        return None, "jetcheck needs java (default-jre-headless)"
    return tool, ""


_jetchecked = {}
_jetcheck_skip_said = False


def jetcheck(path):
    """Jackcess's verdict on an Access file: (exit status, FINDING lines,
    whole output). The same bytes are checked once."""
    tool, why = jetcheck_tool()
    if tool is None:
        raise unittest.SkipTest(why)
    with open(path, "rb") as f:
        digest = hashlib.sha1(f.read()).hexdigest()
    if digest not in _jetchecked:
        out = subprocess.run([tool, path], capture_output=True, text=True, timeout=900)
        findings = [line for line in out.stdout.splitlines() if line.startswith("FINDING")]
        _jetchecked[digest] = (out.returncode, findings, out.stdout + out.stderr)
        log = os.environ.get("NORVAKEL_JETCHECK_LOG")
        if log:
            with open(log, "a") as f:
                f.write("%s %d %d\n" % (path, out.returncode, len(findings)))
    return _jetchecked[digest]


def check_structure(path):
    """The verdicts of our structural checker (every page owned once, maps,
    counts, catalog and index entries, long-value chains) and of Jackcess
    on an Access file. An AssertionError names the problems; a checker that
    cannot run here is skipped, Jackcess's with its reason printed."""
    global _jetcheck_skip_said
    checker = os.environ.get("NORVAKEL_JET_CHECK")
    if checker and os.path.exists(checker):
        out = subprocess.run([checker, path], capture_output=True, text=True, timeout=600)
        if out.returncode != 0:
            raise AssertionError("%s is not sound:\n%s" % (path, out.stdout))
    try:
        status, findings, output = jetcheck(path)
    except unittest.SkipTest as why:
        if not _jetcheck_skip_said:
            sys.stderr.write("skipped: checking Access files with Jackcess: %s\n" % why)
            _jetcheck_skip_said = True
        return
    if status != 0 or findings:
        raise AssertionError("Jackcess finds %s unsound:\n%s" % (path, output[-4000:]))


def read_access(path, system=False):
    """{table: {"columns": [...], "rows": [dict, ...]}} for the user tables
    (and the system tables with `system`). The file is checked first."""
    check_structure(path)
    if shutil.which("node") is None or not os.path.isdir(MODULE):
        raise unittest.SkipTest("node and mdb-reader are needed (npm install in tests/jsreader)")
    args = ["node", DUMP, path] + (["--system"] if system else [])
    out = subprocess.run(args, capture_output=True, check=True, timeout=120)
    return json.loads(out.stdout)["tables"]


def access_rows(path, table):
    t = read_access(path)[table]
    names = [c["name"] for c in t["columns"]]
    return [tuple(row[n] for n in names) for row in t["rows"]]


def access_tables(path):
    return sorted(read_access(path))


def access_columns(path, table):
    return [c["name"] for c in read_access(path)[table]["columns"]]
