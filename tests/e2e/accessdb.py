"""Reading the Access (Jet 4) files the program writes, through the mdb-reader
package (tests/jsreader), and telling them from the native SQLite files."""
import json
import os
import shutil
import subprocess
import unittest

DUMP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "jsreader", "dump.mjs")
MODULE = os.path.join(os.path.dirname(DUMP), "node_modules", "mdb-reader")


def is_access(path):
    with open(path, "rb") as f:
        head = f.read(19)
    return head[:4] == b"\x00\x01\x00\x00" and head[4:19] in (b"Standard Jet DB", b"Standard ACE DB")


def check_structure(path):
    """Our structural checker's verdict on an Access file: every page owned
    once, maps, counts, catalog and index entries, long-value chains. An
    AssertionError names the problems; nothing happens where the checker
    was not built."""
    checker = os.environ.get("NORVAKEL_JET_CHECK")
    if not checker or not os.path.exists(checker):
        return
    out = subprocess.run([checker, path], capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise AssertionError("%s is not sound:\n%s" % (path, out.stdout))


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
