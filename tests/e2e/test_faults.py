"""Faults from outside, through the real program: a kill in the middle of the
load and of a SAVE, a full disk, an unwritable work folder, a transfer file
that vanishes or shrinks while it is read, and destinations that cannot be
written."""
import hashlib
import json
import os
import resource
import signal
import sqlite3
import subprocess
import time
import unittest

import dbfread

from harness import COMMAND, DATA, HEAD, Result, RunCase, binary, transfer_text
from test_save_paradox import read_table as read_paradox

FIELDS = ["ID/4/4", "NAME/10/40", "NOTE/12/0"]
# Enough rows that a load or a SAVE still runs when the kill comes, even on a
# fast idle machine.
KILL_ROWS = 1_000_000


def big_transfer(rows, script):
    out = [HEAD, *FIELDS, DATA]
    for i in range(rows):
        out += [str(i), "name %d" % i, "note %d %s" % (i, "x" * 40)]
    out.append(COMMAND)
    out += script
    return "".join(line + "\r\n" for line in out)


def export(name, location, type_name, table=None):
    lines = ["EXPORT = %s {" % name, "TYPE = " + type_name, "LOCATION = " + location]
    return lines + (["TABLE = " + table] if table else []) + ["}", "SAVE"]


def digests(folder):
    """Every file of a folder (dot files aside) and a hash of its bytes."""
    out = {}
    for name in sorted(os.listdir(folder)):
        if not name.startswith("."):
            with open(os.path.join(folder, name), "rb") as f:
                out[name] = hashlib.sha256(f.read()).hexdigest()
    return out


def mdb(*args):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=120)


def integrity(db):
    con = sqlite3.connect(db)
    try:
        return con.execute("PRAGMA integrity_check").fetchone()[0]
    finally:
        con.close()


class Faults(RunCase):
    def start(self, path, env=None, preexec=None):
        return subprocess.Popen([binary(), path], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                env=env or self.env(), cwd=self.dir, preexec_fn=preexec)

    def kill_after(self, proc, status_text, occurrence=1, delay=0.3):
        """Waits for the status line, lets the program work on, then kills it."""
        seen = 0
        for line in proc.stderr:
            if line.startswith(b"{"):
                event = json.loads(line)
                if event.get("text") == status_text:
                    seen += 1
                    if seen == occurrence:
                        break
        else:
            self.fail("the program ended before %r" % status_text)
        time.sleep(delay)
        self.assertIsNone(proc.poll(), "the program finished before it was killed")
        proc.kill()
        proc.wait()
        proc.stderr.close()

    def assertNextRunIsClean(self, script=("EXIT",)):
        result, path = self.run_transfer(transfer_text(FIELDS, ["1", "a", "n"], list(script)))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.scratch_rows(), [(1, "a", "n")])
        self.assertFalse(os.path.exists(path))
        return result

    # ---- kill -9 --------------------------------------------------------------

    def test_a_kill_during_the_load_leaves_nothing_that_stops_the_next_run(self):
        path = self.write_transfer(big_transfer(KILL_ROWS, ["EXIT"]))
        self.kill_after(self.start(path), "Receiving data from host ...", occurrence=2, delay=0.05)
        self.assertTrue(os.path.exists(path), "a killed run keeps its transfer file")
        self.assertNextRunIsClean()
        self.assertEqual(integrity(os.path.join(self.work, "UNTITLED.MDB")), "ok")

    def test_a_kill_during_a_text_save_then_a_clean_save(self):
        dest = os.path.join(self.dir, "out")
        script = ["EXPORT = rows {", "TYPE = TEXT", "LOCATION = " + dest, "}", "SAVE"]
        path = self.write_transfer(big_transfer(KILL_ROWS, script))
        self.kill_after(self.start(path), "Saving the data ...", delay=0.05)
        result, _ = self.run_transfer(transfer_text(FIELDS, ["1", "a", "n"], script))
        self.assertEqual(result.code, 0, result.stderr)
        with open(os.path.join(dest, "ROWS.TXT"), newline="") as f:
            self.assertEqual(f.read(), '"ID","NAME","NOTE"\r\n"1","a","n"\r\n')

    def test_a_kill_during_an_access_save_keeps_the_other_tables(self):
        dest = os.path.join(self.dir, "out")
        os.mkdir(dest)
        db = os.path.join(dest, "SHOP.MDB")
        con = sqlite3.connect(db)
        con.execute("CREATE TABLE KEEP (A, B)")
        con.executemany("INSERT INTO KEEP VALUES (?, ?)", [(i, "k%d" % i) for i in range(1000)])
        con.commit()
        con.close()
        script = ["EXPORT = shop {", "TYPE = MS/ACCESS", "LOCATION = " + dest,
                  "TABLE = ROWS", "}", "SAVE"]
        path = self.write_transfer(big_transfer(KILL_ROWS, script))
        self.kill_after(self.start(path), "Saving the data ...", delay=0.1)
        # An independent reader opens it, rolls back the interrupted SAVE, and
        # finds the other table whole.
        self.assertEqual(integrity(db), "ok")
        con = sqlite3.connect(db)
        self.assertEqual(con.execute("SELECT count(*), sum(A) FROM KEEP").fetchone(),
                         (1000, 499500))
        con.close()
        # A kill just as the transaction began can leave a journal that holds
        # nothing to roll back; readers ignore it and the next commit clears it.
        self.assertIn(sorted(os.listdir(dest)), (["SHOP.MDB"], ["SHOP.MDB", "SHOP.MDB-journal"]))
        result = self.assertNextRunIsClean(script)
        self.assertIn("stored successfully", result.messages[-1]["text"])
        con = sqlite3.connect(db)
        self.assertEqual(con.execute("SELECT * FROM ROWS").fetchall(), [(1, "a", "n")])
        self.assertEqual(con.execute("SELECT count(*) FROM KEEP").fetchone()[0], 1000)
        con.close()
        self.assertEqual(sorted(os.listdir(dest)), ["SHOP.MDB"])


    def saved_first(self, script, rows=3):
        """A first run of the program saves a small table; it must succeed."""
        values = [v for i in range(rows) for v in (str(i), "keep %d" % i, "memo %d" % i)]
        result, _ = self.run_transfer(transfer_text(FIELDS, values, script))
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertIn("stored successfully", result.messages[-1]["text"])

    def test_a_kill_during_a_save_into_an_existing_jet_file_keeps_it_whole(self):
        dest = os.path.join(self.dir, "out")
        db = os.path.join(dest, "SHOP.MDB")
        self.saved_first(export("shop", dest, "MS/ACCESS", "KEEP"))
        keep = mdb("mdb-export", db, "KEEP")
        self.assertEqual(keep.returncode, 0, keep.stderr)
        self.assertEqual(keep.stdout.count("\n"), 4)
        with open(db, "rb") as f:
            before = f.read()
        script = export("shop", dest, "MS/ACCESS", "ROWS")
        path = self.write_transfer(big_transfer(KILL_ROWS, script))
        self.kill_after(self.start(path), "Saving the data ...", delay=0.3)
        with open(db, "rb") as f:
            self.assertEqual(f.read(), before, "the killed SAVE changed the file")
        tables = mdb("mdb-tables", "-1", db)
        self.assertEqual(tables.returncode, 0, tables.stderr)
        self.assertEqual(tables.stdout.split(), ["KEEP"])
        self.assertEqual(mdb("mdb-export", db, "KEEP").stdout, keep.stdout)
        result = self.assertNextRunIsClean(script)
        self.assertIn("stored successfully", result.messages[-1]["text"])
        self.assertEqual(mdb("mdb-export", db, "KEEP").stdout, keep.stdout)
        self.assertEqual(mdb("mdb-export", db, "ROWS").stdout,
                         'ID,NAME,NOTE\n1,"a","n"\n')
        # The working copy the killed run left beside the file went with the
        # next write.
        self.assertEqual([n for n in os.listdir(dest) if n.startswith(".SHOP.MDB.")], [])

    def kill_beside_another_table(self, type_name, killed_files, read_killed):
        dest = os.path.join(self.dir, "out")
        self.saved_first(export("keep", dest, type_name))
        before = digests(dest)
        script = export("rows", dest, type_name)
        path = self.write_transfer(big_transfer(KILL_ROWS, script))
        self.kill_after(self.start(path), "Saving the data ...", delay=0.3)
        after = digests(dest)
        for name in killed_files:
            after.pop(name, None)
        self.assertEqual(after, before, "the other table changed")
        killed = os.path.join(dest, killed_files[0])
        if os.path.exists(killed):
            read_killed(killed)  # a half-written table still reads
        result = self.assertNextRunIsClean(script)
        self.assertIn("stored successfully", result.messages[-1]["text"])
        self.assertEqual(len(read_killed(killed)), 1)
        after = digests(dest)
        for name in killed_files:
            after.pop(name, None)
        self.assertEqual(after, before)

    def test_a_kill_during_a_dbase_save_leaves_the_other_table_byte_for_byte(self):
        self.kill_beside_another_table(
            "DBASE IV", ["ROWS.DBF", "ROWS.DBT"],
            lambda path: list(dbfread.DBF(path, char_decode_errors="strict")))

    def test_a_kill_during_a_paradox_save_leaves_the_other_table_byte_for_byte(self):
        self.kill_beside_another_table(
            "PARADOX 4", ["ROWS.DB", "ROWS.MB"],
            lambda path: read_paradox(path, path[:-3] + ".MB")[1])

    def kill_while_replacing(self, type_name, files, read_table):
        """A SAVE that replaces a table is killed: no file of it is ever torn,
        and the next writer of the folder finds the old table whole."""
        dest = os.path.join(self.dir, "out")
        self.saved_first(export("rows", dest, type_name))
        before = digests(dest)
        self.assertEqual(sorted(before), sorted(files))
        path = self.write_transfer(big_transfer(KILL_ROWS, export("rows", dest, type_name)))
        self.kill_after(self.start(path), "Saving the data ...", delay=0.3)
        after = digests(dest)
        for name in files:
            if name in after:  # otherwise set aside under a hidden name
                self.assertEqual(after[name], before[name], name + " is torn")
        # Saving another table there opens the folder to write: the old table
        # comes back and what the killed run wrote goes.
        self.assertNextRunIsClean(export("other", dest, type_name))
        after = digests(dest)
        for name in files:
            self.assertEqual(after.get(name), before[name], name + " did not come back")
        self.assertEqual([n for n in os.listdir(dest) if n.startswith(".")], [])
        self.assertEqual(len(read_table(os.path.join(dest, files[0]))), 3)

    def test_a_kill_while_a_dbase_table_is_replaced_leaves_the_old_table(self):
        self.kill_while_replacing(
            "DBASE IV", ["ROWS.DBF", "ROWS.DBT"],
            lambda path: list(dbfread.DBF(path, char_decode_errors="strict")))

    def test_a_kill_while_a_paradox_table_is_replaced_leaves_the_old_table(self):
        self.kill_while_replacing(
            "PARADOX 4", ["ROWS.DB", "ROWS.MB"],
            lambda path: read_paradox(path, path[:-3] + ".MB")[1])

    # ---- A full disk ----------------------------------------------------------

    def run_with_file_size_limit(self, text, limit):
        """Files may not grow beyond `limit`; writes beyond it fail with EFBIG."""
        def limit_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        path = self.write_transfer(text)
        proc = subprocess.run([binary(), path], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              env=self.env(), cwd=self.dir, preexec_fn=limit_files, timeout=120)
        result = Result(proc)
        self.assertEqual(result.exit_code, result.code, result.stderr[-2000:])
        return result

    def test_a_full_disk_during_a_text_save_is_an_error(self):
        # Twenty empty numbers a row: small in the scratch database, "Null"
        # twenty times a line in the text file.
        fields = ["N%d/4/4" % i for i in range(20)]
        text = transfer_text(fields, [""] * (20 * 40_000), [
            "EXPORT = big {", "TYPE = TEXT", "LOCATION = " + self.dir, "}", "SAVE"])
        result = self.run_with_file_size_limit(text, 2 << 20)
        self.assertEqual(result.code, 1, result.stderr[-2000:])
        self.assertEqual(result.messages[-1]["icon"], "critical")
        self.assertIn("grown beyond the size allowed", result.messages[-1]["text"])
        self.assertNotIn("stored successfully", result.stderr)

    def test_a_full_disk_during_an_access_save_is_an_engine_error(self):
        db = os.path.join(self.dir, "FULL.MDB")
        con = sqlite3.connect(db)
        con.execute("CREATE TABLE KEEP (A)")
        con.execute("INSERT INTO KEEP VALUES (zeroblob(2800000))")
        con.commit()
        con.close()
        text = big_transfer(20_000, ["EXPORT = full {", "TYPE = MS/ACCESS",
                                     "LOCATION = " + self.dir, "TABLE = ROWS", "}", "SAVE"])
        result = self.run_with_file_size_limit(text, 3 << 20)
        self.assertEqual(result.code, 1, result.stderr[-2000:])
        message = result.messages[-1]["text"]
        self.assertEqual(message, "The disk holding '%s' is full.(3026)\r\nThe program will "
                         "terminate." % db)
        self.assertNotIn("stored successfully", result.stderr)
        self.assertEqual(integrity(db), "ok")
        con = sqlite3.connect(db)
        self.assertEqual(con.execute("SELECT length(A) FROM KEEP").fetchall(), [(2800000,)])
        con.close()


    def assertDiskFull(self, result):
        self.assertEqual(result.code, 1, result.stderr[-2000:])
        self.assertEqual(result.messages[-1]["icon"], "critical")
        self.assertRegex(result.messages[-1]["text"],
                         r"^The disk holding '[^']+' is full\.\(3026\)\r\nThe program will "
                         r"terminate\.$")
        self.assertNotIn("stored successfully", result.stderr)

    def test_a_full_disk_during_a_dbase_or_paradox_save_is_an_engine_error(self):
        # Fifteen empty text fields a row: small in the scratch database, 3825
        # bytes a record in the table.
        fields = ["T%d/10/255" % i for i in range(15)]
        for type_name in ("DBASE IV", "PARADOX 4"):
            with self.subTest(type_name=type_name):
                dest = os.path.join(self.dir, type_name.split()[0])
                text = transfer_text(fields, [""] * (15 * 2000), export("full", dest, type_name))
                self.assertDiskFull(self.run_with_file_size_limit(text, 3 << 20))

    def test_a_full_disk_leaves_an_existing_workbook_or_jet_file_unchanged(self):
        for type_name, name, rows in (("EXCEL 5.0", "BOOK.XLS", 16_000),
                                      ("MS/ACCESS", "BOOK.MDB", 30_000)):
            with self.subTest(type_name=type_name):
                dest = os.path.join(self.dir, type_name.split()[0].replace("/", ""))
                self.saved_first(export("book", dest, type_name, "KEEP"), rows=rows)
                target = os.path.join(dest, name)
                with open(target, "rb") as f:
                    before = f.read()
                # Room for the file as it is, not for another third of it.
                text = big_transfer(rows // 3, export("book", dest, type_name, "MORE"))
                result = self.run_with_file_size_limit(text, len(before) + (64 << 10))
                self.assertDiskFull(result)
                with open(target, "rb") as f:
                    self.assertEqual(f.read(), before)
                self.assertEqual(sorted(os.listdir(dest)), [name], "a temporary file is left")

    # ---- Folders and files that cannot be used ----------------------------------

    def test_an_unwritable_work_folder_ends_with_the_engines_message(self):
        result, path = self.run_transfer(transfer_text(FIELDS, ["1", "a", "n"], ["EXIT"]),
                                         env=self.env(TEMP="/proc/self"))
        self.assertEqual(result.code, 2)
        self.assertRegex(result.messages[-1]["text"],
                         r"^Run-time error '3051':\r\n\r\nThe database '/proc/self/UNTITLED.MDB' "
                         r"could not be created: .+\.$")
        self.assertTrue(os.path.exists(path), "the transfer file is kept")

    def test_a_transfer_file_deleted_while_it_is_read_is_read_to_its_end(self):
        path = self.write_transfer(big_transfer(300_000, ["EXIT"]))
        proc = self.start(path)
        for line in proc.stderr:
            if b"Receiving data from host ..." in line:
                os.remove(path)
                break
        err = proc.stderr.read()
        proc.stderr.close()
        self.assertEqual(proc.wait(), 0, err[-2000:])
        con = sqlite3.connect(os.path.join(self.work, "UNTITLED.MDB"))
        self.assertEqual(con.execute("SELECT count(*) FROM UNTITLED").fetchone()[0], 300_000)
        con.close()

    def test_a_transfer_file_truncated_while_it_is_read_ends_in_order(self):
        path = self.write_transfer(big_transfer(300_000, ["EXIT"]))
        proc = self.start(path)
        for line in proc.stderr:
            if b"Receiving data from host ..." in line:
                os.truncate(path, 1_000_003)
                break
        err = proc.stderr.read()
        proc.stderr.close()
        self.assertEqual(proc.wait(), 0, err[-2000:])
        self.assertIn(b'{"event":"exit","code":0}', err)
        con = sqlite3.connect(os.path.join(self.work, "UNTITLED.MDB"))
        rows = con.execute("SELECT count(*) FROM UNTITLED").fetchone()[0]
        con.close()
        self.assertLess(rows, 300_000)
        self.assertFalse(os.path.exists(path))

    def test_a_destination_folder_that_is_a_file(self):
        blocker = os.path.join(self.dir, "blocker")
        with open(blocker, "w") as f:
            f.write("not a folder")
        for kind in ("TEXT", "MS/ACCESS"):
            with self.subTest(kind=kind):
                result, _ = self.run_transfer(transfer_text(FIELDS, ["1", "a", "n"], [
                    "EXPORT = x {", "TYPE = " + kind, "LOCATION = " + blocker + "\\sub", "}",
                    "SAVE"]))
                self.assertEqual([m["text"] for m in result.messages], [
                    "The folder name given exists as a normal file",
                    "Fail to create the directory given.\r\nThe program will terminate."])
                self.assertEqual(result.code, 1)
                with open(blocker) as f:
                    self.assertEqual(f.read(), "not a folder")

    def test_a_read_only_destination_file(self):
        dest = os.path.join(self.dir, "ro")
        os.mkdir(dest)
        probe = os.path.join(dest, "probe")
        open(probe, "w").close()
        if subprocess.run(["chattr", "+i", probe], stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("chattr +i is not available here")
        subprocess.run(["chattr", "-i", probe])
        db = os.path.join(dest, "LOCKED.MDB")
        con = sqlite3.connect(db)
        con.execute("CREATE TABLE KEEP (A)")
        con.execute("INSERT INTO KEEP VALUES (5)")
        con.commit()
        con.close()
        txt = os.path.join(dest, "LOCKED.TXT")
        with open(txt, "w") as f:
            f.write("old")
        for path in (db, txt):
            subprocess.run(["chattr", "+i", path], check=True)
            self.addCleanup(subprocess.run, ["chattr", "-i", path])
        for kind in ("MS/ACCESS", "TEXT"):
            with self.subTest(kind=kind):
                result, _ = self.run_transfer(transfer_text(FIELDS, ["1", "a", "n"], [
                    "EXPORT = locked {", "TYPE = " + kind, "LOCATION = " + dest, "}", "SAVE"]))
                self.assertEqual(result.code, 1, result.stderr)
                self.assertEqual(result.messages[-1]["icon"], "critical")
                self.assertNotIn("stored successfully", result.stderr)
        with open(txt) as f:
            self.assertEqual(f.read(), "old")
        con = sqlite3.connect(db)
        self.assertEqual(con.execute("SELECT * FROM KEEP").fetchall(), [(5,)])
        con.close()


if __name__ == "__main__":
    unittest.main()
