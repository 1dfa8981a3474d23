"""PRINT over an exported destination of every database format: the report's
table is read back through the format's driver, and every row prints with its
values of the right class (texts, numbers that sum as numbers, dates)."""
import os
import re
import unittest

from test_report import ReportCase, pdf_text

# Whole and fractional amounts, one missing; texts beyond ASCII; dates that
# would read wrongly with day and month swapped.
ROWS = [("1001", "Harbour Supplies Ltd", "Aberdeen", "120.5", "2026-11-02"),
        ("1002", "North Ridge Farms", "Aberdeen", "15000", "2026-11-09"),
        ("1003", "Brandt & Söhne", "Köln", "89.25", "2026-01-12"),
        ("1004", "Café Lumière", "Lyon", "", "2026-11-05"),
        ("1005", "Østfold Trading", "Moss", "0.75", "1999-12-31")]
# How each row prints: order number, customer, city, date, amount.
PRINTED = [("1001", "Harbour Supplies Ltd", "Aberdeen", "02/11/2026", "120.50"),
           ("1002", "North Ridge Farms", "Aberdeen", "09/11/2026", "15,000.00"),
           ("1003", "Brandt & Söhne", "Köln", "12/01/2026", "89.25"),
           ("1004", "Café Lumière", "Lyon", "05/11/2026", None),
           ("1005", "Østfold Trading", "Moss", "31/12/1999", "0.75")]
TOTAL = "15,210.50"

# Export type, destination file name, and the file the export writes.
DESTINATIONS = [("DBASE III", "ORDERS", "ORDERS.DBF"),
                ("DBASE IV", "ORDERS", "ORDERS.DBF"),
                ("FOXPRO 2.0", "ORDERS", "ORDERS.DBF"),
                ("FOXPRO 2.5", "ORDERS", "ORDERS.DBF"),
                ("FOXPRO 2.6", "ORDERS", "ORDERS.DBF"),
                ("PARADOX 3", "ORDERS", "ORDERS.DB"),
                ("PARADOX 4", "ORDERS", "ORDERS.DB"),
                ("EXCEL 3.0", "SALES", "SALES.XLS"),
                ("EXCEL 4.0", "SALES", "SALES.XLS"),
                ("EXCEL 5.0", "SALES", "SALES.XLS"),
                ("MS/ACCESS", "SALES", "SALES.MDB")]


class ReportsOverEveryDestinationFormat(ReportCase):
    def test_every_row_prints_with_its_values(self):
        for dbtype, name, written in DESTINATIONS:
            with self.subTest(dbtype):
                out = os.path.join(self.work, re.sub(r"\W", "_", dbtype))
                export = ["EXPORT = %s {" % name, "TYPE = " + dbtype, "TABLE = UNTITLED",
                          "LOCATION = " + out, "}"]
                report = self.report_block("orders_list.jrxml") + ["PRINT"]
                script = export + ["SAVE quiet"] + report
                if os.path.exists(self.pdf):
                    os.remove(self.pdf)
                result, _ = self.print_run(script, rows=ROWS)
                self.assertEqual(result.code, 0, result.stderr)
                self.assertTrue(os.path.isfile(os.path.join(out, written)), os.listdir(out))
                self.assertEqual(result.of("print")[0]["pages"], 1, result.stderr)
                lines = pdf_text(self.pdf).splitlines()
                for row in PRINTED:
                    printed = [line for line in lines if row[1] in line]
                    self.assertEqual(len(printed), 1, (row, lines))
                    # In column order, each as its own item on the line.
                    items = re.split(r"\s{2,}", printed[0].strip())
                    self.assertEqual(items, [v for v in row if v is not None])
                text = "\n".join(lines)
                self.assertIn("5 orders", text)
                self.assertIn(TOTAL, text)  # the missing amount is left out of the sum
                # A later run that only names the destination prints what is
                # stored there, not its own scratch rows.
                os.remove(self.pdf)
                other = [("9", "Scratch Only", "Nowhere", "1", "2000-01-01")]
                result, _ = self.print_run(export + report, rows=other)
                self.assertEqual(result.code, 0, result.stderr)
                text = pdf_text(self.pdf)
                self.assertNotIn("Scratch Only", text)
                self.assertIn("5 orders", text)
                self.assertIn(TOTAL, text)

    def test_file_with_several_tables_prints_the_one_the_report_names(self):
        other = [("9", "Earlier Sheet Co", "Elsewhere", "7", "2001-02-03")]
        for dbtype, name in (("EXCEL 5.0", "BOOK"), ("MS/ACCESS", "BOOK")):
            with self.subTest(dbtype):
                out = os.path.join(self.work, re.sub(r"\W", "_", dbtype))

                def export(table):
                    return ["EXPORT = %s {" % name, "TYPE = " + dbtype, "TABLE = " + table,
                            "LOCATION = " + out, "}", "SAVE quiet"]

                # EARLIER comes first in the file; the report names UNTITLED.
                result, _ = self.print_run(export("EARLIER"), rows=other, printer=False)
                self.assertEqual(result.code, 0, result.stderr)
                script = export("UNTITLED") + self.report_block("orders_list.jrxml") + ["PRINT"]
                result, _ = self.print_run(script, rows=ROWS)
                self.assertEqual(result.code, 0, result.stderr)
                text = pdf_text(self.pdf)
                self.assertNotIn("Earlier Sheet Co", text)
                self.assertIn("5 orders", text)
                self.assertIn(TOTAL, text)


if __name__ == "__main__":
    unittest.main()
