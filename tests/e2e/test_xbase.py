"""SAVE to dBASE and FoxPro tables: every version in one run, replacing one
table later, OPTION_NEWDB, locked tables, and values the formats refuse."""
import fcntl
import hashlib
import os
import unittest

import dbf
import dbfread

from harness import RunCase, transfer_text

FIELDS = ["NAME/10/20", "QTY/4/4", "PRICE/7/8", "NOTE/10/3000", "CUSTOMER_NAME/10/10",
          "CUSTOMER_NO/10/10", "ORDERED/8/8"]
MEMO = ("Grüße aus Köln € " * 200)[:3000]
VALUES = ["Café ß €", "42", "1234567890.12345", MEMO, "Ann", "A-1", "2026-03-04 10:11:12",
          "Łódź", "", "1.5E-300", "short", "", "B-2", "1999-12-31",
          "", "-2147483648", "3.14159265358979", "", "Cy", "", "2000-02-29"]
ROWS = [
    {"NAME": "Café ß €", "QTY": 42, "PRICE": 1234567890.12345, "NOTE": MEMO,
     "CUSTOMER_N": "Ann", "CUSTOMER_1": "A-1", "ORDERED": "2026-03-04"},
    {"NAME": "?\u00f3d?", "QTY": None, "PRICE": 1.5e-300, "NOTE": "short",
     "CUSTOMER_N": "", "CUSTOMER_1": "B-2", "ORDERED": "1999-12-31"},
    {"NAME": "", "QTY": -2147483648, "PRICE": 3.14159265358979, "NOTE": "",
     "CUSTOMER_N": "Cy", "CUSTOMER_1": "", "ORDERED": "2000-02-29"},
]
TYPES = [("DBASE III", "DB3", "DBT", 0x83), ("DBASE IV", "DB4", "DBT", 0x8B),
         ("FOXPRO 2.0", "FOX20", "FPT", 0xF5), ("FOXPRO 2.5", "FOX25", "FPT", 0xF5),
         ("FOXPRO 2.6", "FOX26", "FPT", 0xF5)]
SUCCESS = "The requested data stored successfully.\r\n\r\nFile Name = "


def export(name, location, type_name):
    return ["EXPORT = %s {" % name, "LOCATION = " + location, "TYPE = " + type_name, "}"]


def normalised(record):
    """A dbfread or dbf record in the form of ROWS."""
    out = {}
    for key, value in record.items():
        if hasattr(value, "isoformat"):
            value = value.isoformat()
        elif isinstance(value, str):
            value = value.rstrip(" ")
        elif value is None and key in ("NAME", "NOTE", "CUSTOMER_N", "CUSTOMER_1"):
            value = ""
        out[key] = value
    return out


def read_dbfread(path):
    return [normalised(r) for r in dbfread.DBF(path, char_decode_errors="strict")]


def read_dbf(path):
    table = dbf.Table(path)
    table.open(dbf.READ_ONLY)
    try:
        return [normalised({name.upper(): record[name] for name in table.field_names})
                for record in table]
    finally:
        table.close()


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class XbaseExport(RunCase):
    def setUp(self):
        super().setUp()
        self.out = os.path.join(self.dir, "Tables")

    def run_script(self, script, fields=FIELDS, values=VALUES, env=None):
        result, _ = self.run_transfer(transfer_text(fields, values, script), env=env)
        return result

    def path(self, name):
        return os.path.join(self.out, name)

    def test_every_version_in_one_run_then_one_table_replaced(self):
        script = []
        for type_name, name, _, _ in TYPES:
            script += export(name.lower(), self.out, type_name) + ["SAVE"]
        result = self.run_script(script)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual([m["text"] for m in result.messages],
                         [SUCCESS + self.path(name + ".DBF") for _, name, _, _ in TYPES])
        self.assertEqual(sorted(os.listdir(self.out)),
                         sorted(n + "." + e for _, name, memo, _ in TYPES
                                for n, e in ((name, "DBF"), (name, memo))))
        for type_name, name, memo, version in TYPES:
            with self.subTest(type_name=type_name):
                table = self.path(name + ".DBF")
                with open(table, "rb") as f:
                    self.assertEqual(f.read(1)[0], version)
                self.assertEqual(read_dbfread(table), ROWS)
                if version != 0x8B:  # dbf reads no dBASE IV memo files
                    self.assertEqual(read_dbf(table), ROWS)

        before = {n: digest(self.path(n)) for n in os.listdir(self.out)}
        replaced = self.run_script(export("Db4", self.out, "DBASE IV") + ["SAVE q"],
                                   fields=["ONLY/10/5"], values=["one", "two"])
        self.assertEqual(replaced.code, 0, replaced.stderr)
        after = {n: digest(self.path(n)) for n in os.listdir(self.out)}
        # The replacement has no memo field: its old memo file went with it.
        self.assertEqual(set(after), set(before) - {"DB4.DBT"})
        for name in after:
            if name != "DB4.DBF":
                self.assertEqual(after[name], before[name], name)
        self.assertEqual(read_dbfread(self.path("DB4.DBF")), [{"ONLY": "one"}, {"ONLY": "two"}])
        self.assertEqual(read_dbf(self.path("DB4.DBF")), [{"ONLY": "one"}, {"ONLY": "two"}])

    def test_option_newdb_deletes_only_the_table_and_its_memo_file(self):
        os.makedirs(self.out)
        for name, content in (("orders.dbf", b"old table"), ("ORDERS.FPT", b"stale memo"),
                              ("OTHER.DBF", b"other"), ("OTHER.DBT", b"other memo"),
                              ("notes.txt", b"keep")):
            with open(self.path(name), "wb") as f:
                f.write(content)
        result = self.run_script(["SET OPTION_NEWDB=Y"] + export("ORDERS", self.out, "DBASE IV")
                                 + ["SAVE q"], fields=["ONLY/10/5"], values=["x"])
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(sorted(os.listdir(self.out)),
                         ["ORDERS.DBF", "OTHER.DBF", "OTHER.DBT", "notes.txt"])
        self.assertEqual(read_dbfread(self.path("ORDERS.DBF")), [{"ONLY": "x"}])

    def test_a_table_another_program_holds_ends_the_run_with_in_use(self):
        first = self.run_script(export("held", self.out, "FOXPRO 2.6") + ["SAVE q"])
        self.assertEqual(first.code, 0, first.stderr)
        held = self.path("HELD.DBF")
        before = digest(held)
        with open(held, "rb") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            for script in (["SAVE"], ["SET OPTION_NEWDB=Y", "SAVE"]):
                with self.subTest(script=script):
                    result = self.run_script(export("held", self.out, "FOXPRO 2.6") + script)
                    self.assertEqual(result.code, 1, result.stderr)
                    text = result.messages[-1]["text"]
                    self.assertIn("(3045)\r\nThe program will terminate.", text)
                    self.assertEqual(digest(held), before)
                    self.assertTrue(os.path.exists(self.path("HELD.FPT")))

    def test_values_and_fields_the_formats_cannot_hold_end_the_run(self):
        # 15 digits, a sign and a three-digit exponent do not fit 20
        # characters: the value keeps the 13 digits that do, the run goes on.
        result = self.run_script(export("narrow", self.out, "DBASE IV") + ["SAVE"],
                                 fields=["AMOUNT/7/8"], values=["-1.23456789012345E-100"])
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual([r["AMOUNT"] for r in read_dbfread(self.path("NARROW.DBF"))],
                         [-1.234567890123e-100])
        cases = [
            (["PICTURE/11/0", "N/4/4"], ["abc", "1"], 3259, "'PICTURE'"),
        ]
        for fields, values, number, named in cases:
            with self.subTest(number=number):
                result = self.run_script(export("bad", self.out, "DBASE IV") + ["SAVE"],
                                         fields=fields, values=values)
                self.assertEqual(result.code, 1, result.stderr)
                text = result.messages[-1]["text"]
                self.assertIn("(%d)\r\nThe program will terminate." % number, text)
                self.assertIn(named, text)


if __name__ == "__main__":
    unittest.main()
