"""SAVE: text and native database destinations, folders, and every failure."""
import csv
import io
import os
import shutil
import sqlite3
import subprocess
import unittest

from accessdb import access_rows, access_tables, is_access, read_access
from harness import RunCase, transfer_text

FIELDS = ["NAME/10/20", "QTY/4/4", "PRICE/7/8", "NOTE/10/300"]
VALUES = ["  apple  ", "3", "12.5", 'said "hi", then left',
          "pear", "", "100", "   ",
          'ends with quote"', "-7", "0.1", "x"]
SUCCESS = "The requested data stored successfully.\r\n\r\nFile Name = "
NO_DRIVER_TYPES = ["BTRIEVE"]


def export_block(name, location, type_name=None, table=None):
    lines = ["EXPORT = %s {" % name, "LOCATION = " + location]
    if type_name is not None:
        lines.append("TYPE = " + type_name)
    if table is not None:
        lines.append("TABLE = " + table)
    return lines + ["}"]


def read_table(path, table):
    if is_access(path):
        return access_rows(path, table)
    con = sqlite3.connect(path)
    try:
        return con.execute('SELECT * FROM "%s" ORDER BY rowid' % table).fetchall()
    finally:
        con.close()


def table_names(path):
    if is_access(path):
        return access_tables(path)
    con = sqlite3.connect(path)
    try:
        rows = con.execute("SELECT name FROM sqlite_master WHERE type = 'table' "
                           "AND name NOT LIKE 'MSys%' ORDER BY name")
        return [r[0] for r in rows]
    finally:
        con.close()


class SaveCase(RunCase):
    def setUp(self):
        super().setUp()
        self.out = os.path.join(self.dir, "Out")

    def run_script(self, *script, fields=FIELDS, values=VALUES, env=None):
        result, path = self.run_transfer(transfer_text(fields, values, script), env=env)
        self.transfer_path = path
        return result

    def successes(self, result):
        return [m["text"] for m in result.messages if m["icon"] == "information"]

    def assertFailedWithNumber(self, result, number=None):
        """A fatal message of the form description(number)."""
        self.assertEqual(result.code, 1, result.stderr)
        text = result.messages[-1]["text"]
        self.assertEqual(result.messages[-1]["icon"], "critical")
        self.assertTrue(text.endswith(")\r\nThe program will terminate."), text)
        message = text[:-len("\r\nThe program will terminate.")]
        description, _, tail = message.rpartition("(")
        self.assertTrue(description, text)
        self.assertTrue(tail[:-1].isdigit(), text)
        if number is not None:
            self.assertEqual(int(tail[:-1]), number, text)
        return description


class TextExport(SaveCase):
    def test_rows_are_quoted_trimmed_and_crlf_ended(self):
        result = self.run_script(*export_block("orders.csv", self.out, "TEXT"), "SAVE")
        path = os.path.join(self.out, "ORDERS.TXT")
        self.assertEqual(self.successes(result), [SUCCESS + path])
        with open(path, "rb") as f:
            raw = f.read()
        lines = raw.split(b"\r\n")
        self.assertEqual(lines[-1], b"")  # the last line ends in CR LF too
        self.assertEqual(len(lines), 5)
        self.assertEqual(lines[0], b'"NAME","QTY","PRICE","NOTE"')
        # Nothing is escaped: a quote inside a value stays single.
        self.assertEqual(lines[1], b'"apple","3","12.5","said "hi", then left"')
        self.assertEqual(lines[2], b'"pear","Null","100",""')
        self.assertEqual(lines[3], b'"ends with quote"","-7","0.1","x"')
        rows = list(csv.reader(io.StringIO(raw.decode("utf-8"), newline="")))
        self.assertEqual(rows[0], ["NAME", "QTY", "PRICE", "NOTE"])
        self.assertEqual(rows[2], ["pear", "Null", "100", ""])

    def test_utf8_text_is_written_as_utf8(self):
        result = self.run_script(*export_block("u", self.out, "TEXT"), "SAVE q",
                                 fields=["CITY/10/20"], values=["Zürich", "Łódź"])
        self.assertEqual(result.code, 0, result.stderr)
        with open(os.path.join(self.out, "U.TXT"), encoding="utf-8", newline="") as f:
            self.assertEqual(list(csv.reader(f)), [["CITY"], ["Zürich"], ["Łódź"]])

    def test_an_existing_file_is_replaced_without_option_newdb(self):
        os.makedirs(self.out)
        with open(os.path.join(self.out, "old.txt"), "w") as f:
            f.write("x" * 10000)
        result = self.run_script(*export_block("OLD", self.out, "TEXT"), "SAVE q")
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(sorted(os.listdir(self.out)), ["OLD.TXT"])
        with open(os.path.join(self.out, "OLD.TXT"), newline="") as f:
            self.assertEqual(len(list(csv.reader(f))), 4)

    def test_an_empty_result_gives_the_field_line_and_succeeds(self):
        result = self.run_script(*export_block("empty", self.out, "TEXT"), "SAVE",
                                 values=[])
        path = os.path.join(self.out, "EMPTY.TXT")
        self.assertEqual(self.successes(result), [SUCCESS + path])
        self.assertEqual(result.code, 0, result.stderr)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b'"NAME","QTY","PRICE","NOTE"\r\n')

    def test_a_file_that_cannot_be_removed_ends_the_run(self):
        os.makedirs(self.out)
        locked = os.path.join(self.out, "LOCKED.TXT")
        with open(locked, "w") as f:
            f.write("keep")
        if subprocess.run(["chattr", "+i", locked], capture_output=True).returncode != 0:
            self.skipTest("chattr +i is not available here")
        self.addCleanup(subprocess.run, ["chattr", "-i", locked], capture_output=True)
        result = self.run_script(*export_block("locked", self.out, "TEXT"), "SAVE")
        description = self.assertFailedWithNumber(result)
        self.assertEqual(description, "The database is in use by another session")
        with open(locked) as f:
            self.assertEqual(f.read(), "keep")

    def test_a_file_that_cannot_be_created_ends_the_run(self):
        result = self.run_script(*export_block("nowhere", "/proc", "TEXT"), "SAVE")
        self.assertFailedWithNumber(result)
        self.assertEqual(self.successes(result), [])
        self.assertFalse(os.path.exists(self.transfer_path))


class DatabaseExport(SaveCase):
    def test_values_arrive_in_their_own_types(self):
        result = self.run_script(*export_block("sales", self.out, "MS/ACCESS", "q1.old"),
                                 "SAVE")
        path = os.path.join(self.out, "SALES.MDB")
        self.assertEqual(self.successes(result), [SUCCESS + path + "(Q1)"])
        self.assertEqual(read_table(path, "Q1"), [
            ("  apple", 3, 12.5, 'said "hi", then left'),
            ("pear", None, 100.0, ""),
            ('ends with quote"', -7, 0.1, "x"),
        ])

    def test_a_new_access_file_is_a_genuine_jet4_database(self):
        values = ["Gr\u00fc\u00dfe \u20ac", "1", "2.5", "x" * 300,
                  "", "", "", ""]
        result = self.run_script(*export_block("genuine", self.out, "ACCESS", "SHEET1"), "SAVE q",
                                 values=values)
        self.assertEqual(result.code, 0, result.stderr)
        path = os.path.join(self.out, "GENUINE.MDB")
        self.assertTrue(is_access(path))
        for command, expected in ((["mdb-ver", path], "JET4\n"),
                                  (["mdb-tables", "-1", path], "SHEET1\n"),
                                  (["mdb-count", path, "SHEET1"], "2\n")):
            with self.subTest(command=command[0]):
                out = subprocess.run(command, capture_output=True, text=True)
                self.assertEqual(out.stdout, expected)
        self.assertEqual(read_table(path, "SHEET1"), [
            ("Gr\u00fc\u00dfe \u20ac", 1, 2.5, "x" * 300),
            ("", None, None, ""),
        ])

    def test_table_names_with_underscores_and_blanks_are_saved(self):
        result = self.run_script(*export_block("names", self.out, table="ORDER_LINES"), "SAVE q",
                                 "EXPORT = names", "TABLE = Sales 2004 \u00e9", "}", "SAVE q")
        self.assertEqual(result.code, 0, result.stderr)
        path = os.path.join(self.out, "NAMES.MDB")
        names = sorted(table_names(path))
        self.assertEqual([n.casefold() for n in names], ["order_lines", "sales 2004 \u00e9"])
        out = subprocess.run(["mdb-tables", "-1", path], capture_output=True, text=True)
        self.assertEqual(sorted(out.stdout.splitlines()), names)
        self.assertEqual(read_table(path, names[0]), read_table(path, names[1]))
        self.assertEqual(len(read_table(path, names[1])), 3)

    def test_table_names_in_windows_1252_keep_every_character(self):
        # The transfer file in Windows-1252: the euro sign, quotes, dashes and
        # the trade mark sign are bytes 0x80-0x9F there.
        name = "Preis \u20ac \u201ebrutto\u201c \u2013 2004\u2122 \u2020\u2026"
        text = transfer_text(FIELDS, VALUES,
                             export_block("names", self.out, table=name) + ["SAVE"])
        result, _ = self.run_transfer(text, raw=text.encode("cp1252"))
        self.assertEqual(result.code, 0, result.stderr)
        path = os.path.join(self.out, "NAMES.MDB")
        names = table_names(path)
        self.assertEqual([n.casefold() for n in names], [name.casefold()])
        out = subprocess.run(["mdb-tables", "-1", path], capture_output=True, text=True)
        self.assertEqual(out.stdout.splitlines(), names)
        self.assertEqual(len(read_table(path, names[0])), 3)

    def test_a_table_name_access_does_not_allow_ends_the_run(self):
        result = self.run_script(*export_block("names", self.out, table="ORDER!LINES"), "SAVE")
        self.assertFailedWithNumber(result, 3125)
        self.assertEqual(self.successes(result), [])

    def test_two_exports_into_one_file_keep_both_tables(self):
        result = self.run_script(*export_block("both", self.out, table="FIRST"), "SAVE q",
                                 "EXPORT = both", "TABLE = second", "}", "SAVE q",
                                 "SAVE q")
        self.assertEqual(result.code, 0, result.stderr)
        path = os.path.join(self.out, "BOTH.MDB")
        self.assertEqual(table_names(path), ["FIRST", "SECOND"])
        self.assertEqual(read_table(path, "FIRST"), read_table(path, "SECOND"))
        self.assertEqual(len(read_table(path, "SECOND")), 3)

    def test_an_existing_file_found_in_another_case_keeps_its_tables(self):
        os.makedirs(self.out)
        con = sqlite3.connect(os.path.join(self.out, "shared.mdb"))
        con.execute("CREATE TABLE KEEP (A TEXT)")
        con.execute("INSERT INTO KEEP VALUES ('kept')")
        con.commit()
        con.close()
        result = self.run_script(*export_block("SHARED", self.out, table="NEW"), "SAVE q")
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(os.listdir(self.out), ["shared.mdb"])
        path = os.path.join(self.out, "shared.mdb")
        self.assertEqual(read_table(path, "KEEP"), [("kept",)])
        self.assertEqual(len(read_table(path, "NEW")), 3)

    def test_a_table_saved_into_a_file_access_made_keeps_access_objects(self):
        sample = os.path.join(os.environ.get("NORVAKEL_TESTDATA", ""), "jet", "empty2003.mdb")
        if not os.path.exists(sample):
            self.skipTest("the sample databases are not here")
        os.makedirs(self.out)
        path = os.path.join(self.out, "ACCESS.MDB")
        shutil.copyfile(sample, path)
        before = read_access(path, system=True)
        result = self.run_script(*export_block("ACCESS", self.out, table="Orders"), "SAVE q")
        self.assertEqual(result.code, 0, result.stderr)
        after = read_access(path, system=True)
        # Every object of Access's as it was, the catalog gaining one row.
        self.assertEqual(sorted(after), sorted(list(before) + ["ORDERS"]))
        for name, table in before.items():
            if name in ("MSysObjects", "MSysACEs"):
                continue
            with self.subTest(table=name):
                self.assertEqual(after[name], table)
        new_id = [row["Id"] for row in after["MSysObjects"]["rows"] if row["Name"] == "ORDERS"]
        self.assertEqual(len(new_id), 1)
        catalog = [row for row in after["MSysObjects"]["rows"] if row["Name"] != "ORDERS"]
        self.assertEqual(catalog, before["MSysObjects"]["rows"])
        # The new table's permissions are those the Tables container hands down.
        aces = [row for row in after["MSysACEs"]["rows"] if row["ObjectId"] != new_id[0]]
        self.assertEqual(aces, before["MSysACEs"]["rows"])
        handed = sorted((row["SID"]["hex"], row["ACM"]) for row in before["MSysACEs"]["rows"]
                        if row["ObjectId"] == 0x0F000001 and row["FInheritable"])
        self.assertEqual(sorted((row["SID"]["hex"], row["ACM"])
                                for row in after["MSysACEs"]["rows"]
                                if row["ObjectId"] == new_id[0]), handed)
        self.assertEqual(read_table(path, "ORDERS"), [
            ("  apple", 3, 12.5, 'said "hi", then left'),
            ("pear", None, 100.0, ""),
            ('ends with quote"', -7, 0.1, "x"),
        ])
        for command, expected in ((["mdb-ver", path], "JET4\n"),
                                  (["mdb-count", path, "ORDERS"], "3\n")):
            with self.subTest(command=command[0]):
                out = subprocess.run(command, capture_output=True, text=True)
                self.assertEqual(out.stdout, expected)
        out = subprocess.run(["mdb-tables", "-S", "-1", path], capture_output=True, text=True)
        self.assertEqual(sorted(out.stdout.split()), sorted(after))

    def test_option_newdb_starts_the_file_anew(self):
        result = self.run_script(*export_block("fresh", self.out, table="ONE"), "SAVE q",
                                 "SET OPTION_NEWDB = y",
                                 "EXPORT = fresh", "TABLE = TWO", "}", "SAVE q")
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(table_names(os.path.join(self.out, "FRESH.MDB")), ["TWO"])

    def test_quiet_save_shows_nothing_and_goes_on(self):
        result = self.run_script(*export_block("q", self.out), "SAVE without message",
                                 *export_block("t", self.out, "TEXT"), "SAVE")
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.successes(result), [SUCCESS + os.path.join(self.out, "T.TXT")])
        self.assertEqual(len(read_table(os.path.join(self.out, "Q.MDB"), "UNTITLED")), 3)

    def test_an_empty_result_creates_the_table_with_all_its_fields(self):
        result = self.run_script(*export_block("none", self.out, table="EMPTY"), "SAVE",
                                 values=[])
        path = os.path.join(self.out, "NONE.MDB")
        self.assertEqual(self.successes(result), [SUCCESS + path + "(EMPTY)"])
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(read_table(path, "EMPTY"), [])
        self.assertEqual(self.scratch_columns("EMPTY", db=path), ["NAME", "QTY", "PRICE", "NOTE"])

    def test_a_missing_destination_name_keeps_only_the_extension(self):
        result = self.run_script(*export_block("", self.out), "SAVE")
        path = os.path.join(self.out, ".MDB")
        self.assertEqual(self.successes(result), [SUCCESS + path + "(UNTITLED)"])
        self.assertEqual(len(read_table(path, "UNTITLED")), 3)

    def test_save_before_any_export_leaves_the_scratch_database_whole(self):
        for script in (["SAVE"], ["SET OPTION_NEWDB=Y", "SAVE", "SAVE"]):
            with self.subTest(script=script):
                result = self.run_script(*script)
                self.assertEqual(result.code, 0, result.stderr)
                scratch = os.path.join(self.work, "UNTITLED.MDB")
                self.assertEqual(self.successes(result),
                                 [SUCCESS + scratch + "(UNTITLED)"] * script.count("SAVE"))
                self.assertEqual(len(self.scratch_rows()), 3)

    def test_types_without_a_driver_fail_when_the_destination_is_opened(self):
        for type_name in NO_DRIVER_TYPES:
            with self.subTest(type_name=type_name):
                folder = os.path.join(self.out, type_name.replace(" ", "_"))
                result = self.run_script(*export_block("orders", folder, type_name), "SAVE")
                self.assertFailedWithNumber(result, 3170)
                self.assertTrue(os.path.isdir(folder))  # the folder was made first
                self.assertEqual(os.listdir(folder), [])
                self.assertEqual(len(self.scratch_rows()), 3)

    def test_a_destination_file_that_cannot_be_written_ends_the_run_and_keeps_its_tables(self):
        os.makedirs(self.out)
        path = os.path.join(self.out, "FROZEN.MDB")
        con = sqlite3.connect(path)
        con.execute("CREATE TABLE KEEP (A TEXT)")
        con.commit()
        con.close()
        if subprocess.run(["chattr", "+i", path], capture_output=True).returncode != 0:
            self.skipTest("chattr +i is not available here")
        self.addCleanup(subprocess.run, ["chattr", "-i", path], capture_output=True)
        result = self.run_script(*export_block("frozen", self.out), "SAVE")
        self.assertFailedWithNumber(result)
        self.assertEqual(table_names(path), ["KEEP"])

    def test_an_unwritable_destination_ends_the_run(self):
        result = self.run_script(*export_block("nowhere", "/proc"), "SAVE")
        self.assertFailedWithNumber(result)
        self.assertFalse(os.path.exists(self.transfer_path))


class DestinationFolders(SaveCase):
    def test_missing_levels_are_created(self):
        location = os.path.join(self.out, "Level One", "level two")
        result = self.run_script(*export_block("f", location.replace("/", "\\")), "SAVE q")
        self.assertEqual(result.code, 0, result.stderr)
        self.assertTrue(os.path.isfile(os.path.join(location, "F.MDB")))

    def test_a_level_that_is_a_file_is_refused(self):
        os.makedirs(self.out)
        with open(os.path.join(self.out, "plain"), "w") as f:
            f.write("x")
        for location in (os.path.join(self.out, "plain"),
                         os.path.join(self.out, "plain", "below")):
            with self.subTest(location=location):
                result = self.run_script(*export_block("f", location, "TEXT"), "SAVE")
                self.assertFatal(result, "Fail to create the directory given.")
                first = result.messages[0]
                self.assertEqual(first["text"], "The folder name given exists as a normal file")
                self.assertEqual(first["icon"], "none")
                self.assertEqual(len(result.messages), 2)

    def test_a_level_that_cannot_be_created_fails_without_the_file_message(self):
        result = self.run_script(*export_block("f", "/proc/nv-e2e-missing/x", "TEXT"), "SAVE")
        self.assertFatal(result, "Fail to create the directory given.")
        self.assertEqual(len(result.messages), 1)


if __name__ == "__main__":
    unittest.main()
