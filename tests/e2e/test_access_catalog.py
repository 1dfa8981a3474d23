"""SAVE into Access databases whose catalog has outgrown one index page: a
database of hundreds of tables takes another, and every reader still sees
every table."""
import os
import subprocess

from accessdb import check_structure, is_access, read_access
from harness import RunCase, transfer_text

FIELDS = ["NAME/10/20", "QTY/4/4"]
VALUES = ["apple", "3", "pear", "", "plum", "-7"]
COUNT = 300


def table_name(i):
    return "MONTHLY FIGURES OF THE NORTHERN REGIONAL OFFICE %03d" % i


def save_blocks(location, names):
    lines = []
    for name in names:
        lines += ["EXPORT = BIG {", "LOCATION = " + location, "TYPE = ACCESS",
                  "TABLE = " + name, "}", "SAVE q"]
    return lines


class AccessCatalogTrees(RunCase):
    def setUp(self):
        super().setUp()
        self.out = os.path.join(self.dir, "Out")
        self.path = os.path.join(self.out, "BIG.MDB")

    def save(self, names):
        result, _ = self.run_transfer(transfer_text(FIELDS, VALUES, save_blocks(self.out, names)))
        self.assertEqual(result.code, 0, result.stderr)
        return result

    def assertEveryReaderSees(self, names):
        check_structure(self.path)
        out = subprocess.run(["mdb-tables", "-1", self.path], capture_output=True, text=True)
        self.assertEqual(sorted(out.stdout.splitlines()), sorted(names))
        tables = read_access(self.path)
        self.assertEqual(sorted(tables), sorted(names))
        for name in names:
            self.assertEqual([(r["NAME"], r["QTY"]) for r in tables[name]["rows"]],
                             [("apple", 3), ("pear", None), ("plum", -7)], name)

    def test_a_database_of_hundreds_of_tables_takes_another(self):
        names = [table_name(i) for i in range(COUNT)]
        self.save(names)
        self.assertTrue(is_access(self.path))
        # The user's database, grown past one catalog index page, takes a
        # further SAVE and a replacement of one of its tables.
        self.save(["ONE MORE", table_name(7)])
        self.assertEveryReaderSees(names + ["ONE MORE"])
