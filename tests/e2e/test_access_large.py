"""A SAVE of two million rows to MS/ACCESS, read back whole by mdb-reader and
mdbtools, with the structural checker run on the file. Under the sanitizers
(whose builds run many times slower) a tenth of the rows is written."""
import datetime
import json
import os
import shutil
import subprocess
import unittest

from harness import COMMAND, DATA, HEAD, RunCase
from test_save import SUCCESS, export_block

ROWS = 200_000 if os.environ.get("NORVAKEL_SANITIZED") == "ON" else 2_000_000
FIELDS = ["ID/4/4", "NAME/10/40", "AMOUNT/7/8", "DAY/8/8", "OK/1/1", "NOTE/12/0"]
ROWS_JS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "jsreader", "rows.mjs")
FIRST_DAY = datetime.datetime(1999, 12, 30)


def row(i):
    """The values of row i as the transfer file gives them, and as mdb-reader
    should return them."""
    name = "name %d" % i if i % 2 else "Grüße %d €" % i
    amount = i * 0.25 - 1000
    day = FIRST_DAY + datetime.timedelta(days=i % 20000, hours=(i % 24), minutes=i % 60)
    ok = i % 3 == 0
    # Mostly short notes kept in the row; now and then one long enough to be
    # chained over several long-value pages.
    if i % 250_000 == 17:
        note = "chain %d:%s." % (i, "y" * 5000)
    else:
        note = "note %d:%s" % (i, "x" * (i % 60))
    text = [str(i), name, repr(amount), day.strftime("%Y-%m-%d %H:%M:%S"),
            "true" if ok else "false", note]
    read = [i, name, amount, day.strftime("%Y-%m-%dT%H:%M:%S.000Z"), ok, note]
    return text, read


def mdbtools(*args):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=600)


class TwoMillionRows(RunCase):
    def test_every_row_reaches_every_reader_and_the_file_is_sound(self):
        out = os.path.join(self.dir, "Out")
        path = os.path.join(out, "BIG.MDB")
        transfer = os.path.join(self.dir, "big.dat")
        with open(transfer, "w", encoding="utf-8", newline="") as f:
            f.write("".join(line + "\r\n" for line in [HEAD, *FIELDS, DATA]))
            for i in range(ROWS):
                f.write("\r\n".join(row(i)[0]) + "\r\n")
            script = export_block("big", out, "MS/ACCESS", "DATA") + ["SAVE"]
            f.write("".join(line + "\r\n" for line in [COMMAND, *script]))
        result = self.run_program(transfer, timeout=1800)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertTrue(result.messages[-1]["text"].startswith(SUCCESS), result.stderr)

        checker = os.environ.get("NORVAKEL_JET_CHECK")
        if checker:
            check = subprocess.run([checker, path], capture_output=True, text=True, timeout=600)
            self.assertEqual((check.returncode, check.stdout), (0, ""))

        if shutil.which("mdb-count"):
            self.assertEqual(mdbtools("mdb-ver", path).stdout.strip(), "JET4")
            self.assertEqual(mdbtools("mdb-count", path, "DATA").stdout.strip(), str(ROWS))

        if shutil.which("node") is None or not os.path.isdir(
                os.path.join(os.path.dirname(ROWS_JS), "node_modules", "mdb-reader")):
            self.skipTest("node and mdb-reader are needed (npm install in tests/jsreader)")
        reader = subprocess.Popen(["node", "--max-old-space-size=4096", ROWS_JS, path, "DATA"],
                                  stdout=subprocess.PIPE, text=True, encoding="utf-8")
        self.addCleanup(reader.kill)
        with reader.stdout:
            head = json.loads(reader.stdout.readline())
            self.assertEqual(head, {"columns": ["ID", "NAME", "AMOUNT", "DAY", "OK", "NOTE"],
                                    "rowCount": ROWS})
            seen = 0
            for line in reader.stdout:
                got, expected = json.loads(line), row(seen)[1]
                self.assertEqual(got, expected, "row %d as mdb-reader reads it" % seen)
                seen += 1
        self.assertEqual(reader.wait(), 0)
        self.assertEqual(seen, ROWS)


if __name__ == "__main__":
    unittest.main()
