"""Start-up, the transfer file and loading the scratch database, end to end."""
import os
import sqlite3
import subprocess
import time
import unittest

from harness import COMMAND, DATA, HEAD, RunCase, binary, transfer_text

FIELDS = ["ID / 4 / 4", "NAME / 10 / 20"]


class StartUp(RunCase):
    def test_no_argument_shows_only_the_about_window(self):
        result = self.run_program()
        self.assertEqual(result.code, 0)
        self.assertEqual([(e["event"], e.get("name"), e.get("state")) for e in result.events],
                         [("window", "About", "shown"), ("window", "About", "closed"),
                          ("exit", None, None)])
        self.assertEqual(os.listdir(self.work), [], "no folder or file is touched")

    def test_quoted_argument_and_argument_with_blanks(self):
        text = transfer_text(FIELDS, ["1", "A"])
        path = self.write_transfer(text)
        result = self.run_program('"%s"' % path)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertFalse(os.path.exists(path))
        path = self.write_transfer(text)
        result = self.run_program("  %s  " % path)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertFalse(os.path.exists(path))

    def test_folder_or_missing_file_is_refused_before_any_window(self):
        for arg in (self.dir, os.path.join(self.dir, "missing.dat")):
            result = self.run_program(arg)
            self.assertFatal(result, "Errors in data transfer.")
            self.assertEqual(result.statuses, [])
            self.assertEqual(result.of("window"), [])
        self.assertTrue(os.path.isdir(self.dir))

    def test_empty_file(self):
        result, path = self.run_transfer("")
        self.assertFatal(result, "No data received from host.")
        self.assertFalse(os.path.exists(path))

    def test_status_sequence_and_progress(self):
        result, path = self.run_transfer(transfer_text(FIELDS, ["1", "A"], ["EXIT"]))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual([(e["text"], e["progress"]) for e in result.of("status")], [
            ("Initializing ...", 10),
            ("Receiving data from host ...", 20),
            ("Receiving the header information ...", 30),
            ("Receiving the header information ... Completed", 40),
            ("Receiving data from host ...", 50),
            ("Receiving data from host ... Completed", 60)])
        self.assertEqual(result.of("window")[0], {"event": "window", "name": "Message",
                                                  "state": "shown"})
        self.assertFalse(os.path.exists(path))
        self.assertTrue(os.path.exists(os.path.join(self.work, "UNTITLED.MDB")))

    def test_work_folder_falls_back_to_tmp(self):
        env = self.env()
        del env["TEMP"]
        env["TMP"] = self.work
        path = self.write_transfer(transfer_text(FIELDS, ["1", "A"]))
        result = self.run_program(path, env=env)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.scratch_rows(), [(1, "A")])


class HostErrors(RunCase):
    def test_head_marker_is_trimmed_and_case_insensitive(self):
        text = "  ][zobrafex head][  \r\nID/4/4\r\n" + DATA + "\r\n7\r\n"
        result, _ = self.run_transfer(text)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.scratch_rows(), [(7,)])

    def test_single_line_that_is_not_the_marker(self):
        result, path = self.run_transfer("ORA-01017 invalid password\r\n")
        self.assertFatal(result, "Error occurs in the host processing: \r\n\r\n"
                                 "ORA-01017 invalid password")
        self.assertFalse(os.path.exists(path))

    def test_only_the_first_three_lines_are_reported(self):
        result, _ = self.run_transfer("".join("line %d\r\n" % i for i in range(1, 7)))
        self.assertFatal(result, "Error occurs in the host processing: \r\n\r\n"
                                 "line 1\r\nline 2\r\nline 3")

    def test_host_error_code_on_the_first_data_line(self):
        text = transfer_text(FIELDS, ["E_QE0203 table not found", "detail", "more", "ignored"])
        result, path = self.run_transfer(text)
        self.assertFatal(result, "Error occurs in the host processing: \r\n\r\n"
                                 "E_QE0203 table not found\r\ndetail\r\nmore")
        self.assertFalse(os.path.exists(path))
        self.assertEqual(self.scratch_rows(), [], "the table exists, empty")

    def test_host_error_code_lookalikes_are_ordinary_values(self):
        values = ["1", "e_qe0203 x", "2", " E_QE0204 y", "3", "E_QE0203 later"]
        result, _ = self.run_transfer(transfer_text(["N/4/4", "T/10/30"], values))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.scratch_rows(), [(1, "e_qe0203 x"), (2, " E_QE0204 y"),
                                               (3, "E_QE0203 later")])

    def test_invalid_header_line(self):
        for bad in ("NAME/text/10", "NAME/10", "NAME", ""):
            result, path = self.run_transfer(transfer_text(["OK/4/4", bad], []))
            self.assertFatal(result, "Invalid header format found: \r\n" + bad)
            self.assertFalse(os.path.exists(path))


class Loading(RunCase):
    def load(self, fields, values, **kw):
        result, path = self.run_transfer(transfer_text(fields, values, **kw))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertFalse(os.path.exists(path))
        return self.scratch_rows()

    def test_records_are_groups_of_value_lines(self):
        self.assertEqual(self.load(["A/10/5", "B/10/5"], ["A", "B", "C", "D"]),
                         [("A", "B"), ("C", "D")])
        self.assertEqual(self.load(["A/10/5", "B/10/5"], ["A", "B", "C"]), [("A", "B")])

    def test_numeric_and_text_rules(self):
        rows = self.load(["N/7/8", "L/4/4", "T/10/20"],
                         ["   ", "12.50", "  two  ", "12,50", "letters", "    ",
                          "-1.5E2", "&H10", "x"])
        self.assertEqual(rows, [(None, 12, "  two"), (12.0, 0, ""), (-150.0, 16, "x")])

    def test_field_types_and_memo_promotion(self):
        self.load(["ID/4/4", "T/10/255", "M/10/256", "D/8/8", "B/1/1", "C/5/8"],
                  ["1", "", "", "2026-12-07 10:30:00", "True", "1.23456"])
        con = sqlite3.connect(os.path.join(self.work, "UNTITLED.MDB"))
        row = con.execute('SELECT typeof(ID), T, M, typeof(D), B, C FROM "UNTITLED"').fetchone()
        con.close()
        self.assertEqual(row[0], "integer")
        self.assertEqual(row[1:3], ("", ""), "text and memo accept zero-length values")
        self.assertEqual(row[3], "text")
        self.assertEqual(self.scratch_columns(), ["ID", "T", "M", "D", "B", "C"])

    def test_command_marker_in_lower_case_ends_the_data_mid_record(self):
        text = transfer_text(["A/10/5", "B/10/5"], ["1", "2", "3", " ][zobrafex command][ "],
                             command_marker=False)
        result, _ = self.run_transfer(text)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.scratch_rows(), [("1", "2")])

    def test_empty_result_and_missing_sections(self):
        self.assertEqual(self.load(FIELDS, []), [])
        self.assertEqual(self.load(FIELDS, [], data_marker=False, command_marker=False), [])
        self.assertEqual(self.scratch_columns(), ["ID", "NAME"])

    def test_windows_1252_lines_are_decoded(self):
        raw = (HEAD + "\r\nNAME/10/20\r\n" + DATA + "\r\n").encode() + \
              b"Gr\xfc\xdfe \x80\r\n" + "Grüße\r\n".encode("utf-8")
        result, _ = self.run_transfer(None, raw=raw)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.scratch_rows(), [("Grüße €",), ("Grüße",)])

    def test_old_scratch_database_is_replaced(self):
        old = os.path.join(self.work, "UNTITLED.MDB")
        with open(old, "wb") as f:
            f.write(b"stale")
        self.assertEqual(self.load(FIELDS, ["5", "new"]), [(5, "new")])

    def test_hostile_names_and_values_are_stored_as_they_are(self):
        name = 'x"); DROP TABLE "UNTITLED"; --'
        rows = self.load([name + "/10/60", "ok/4/4"], ["'; DELETE FROM x; --", "1"])
        self.assertEqual(rows, [("'; DELETE FROM x; --", 1)])
        self.assertEqual(self.scratch_columns(), [name, "ok"])


class UntrappedErrors(RunCase):
    def check(self, fields, values, number):
        result, path = self.run_transfer(transfer_text(fields, values))
        self.assertEqual(result.code, 2, result.stderr)
        msg = result.messages[-1]
        self.assertEqual(msg["icon"], "critical")
        self.assertTrue(msg["text"].startswith("Run-time error '%d':\r\n\r\n" % number), msg)
        self.assertTrue(os.path.exists(path), "the transfer file is kept")

    def test_engine_errors_during_loading(self):
        self.check(["A/13/4"], [], 3259)
        self.check(["A/10/5", "a/10/5"], [], 3191)
        self.check(["A/10/3"], ["toolong"], 3163)
        self.check(["D/8/8"], ["not a date"], 3421)
        self.check(["S/3/2"], ["40000"], 3349)


class OneRunAtATime(RunCase):
    def test_second_run_is_refused_while_the_first_holds_the_database(self):
        stale = os.path.join(self.work, "UNTITLED.MDB")
        with open(stale, "wb") as f:
            f.write(b"stale")
        # An attended run on an empty file waits at its message box, holding the lock.
        first_path = self.write_transfer("", name="first.dat")
        env = self.env()
        del env["NORVAKEL_UNATTENDED"]
        first = subprocess.Popen([binary(), first_path], env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(200):
                if not os.path.exists(stale):
                    break
                time.sleep(0.05)
            self.assertFalse(os.path.exists(stale), "the first run replaced the old database")
            second = self.write_transfer(transfer_text(FIELDS, ["1", "A"]), name="second.dat")
            result = self.run_program(second)
            self.assertFatal(result, "Database is in use by another session")
            self.assertFalse(os.path.exists(second))
        finally:
            first.kill()
            first.wait()
        # Once the first run is gone, the next one goes through.
        result, _ = self.run_transfer(transfer_text(FIELDS, ["2", "B"]))
        self.assertEqual(result.code, 0, result.stderr)


if __name__ == "__main__":
    unittest.main()
