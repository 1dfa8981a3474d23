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

# Other value classes: Boolean, a small whole number, currency summed as a
# decimal, and a memo longer than any fixed-width field.
KIND_FIELDS = ["NAME/10/20", "OK/1/1", "SMALL/3/2", "CUR/5/8", "NOTE/12/1000"]
MEMO = " ".join(["memo"] * 60) + " Zephyr"
KIND_ROWS = [("Apple", "true", "-7", "1234.5678", MEMO),
             ("Pear", "false", "32767", "-5", "short note"),
             ("Quince", "true", "0", "0.25", "")]
KIND_PRINTED = [["Apple", "yes", "-7", "1,234.57"],
                ["Pear", "no", "32,767", "-5.00"],
                ["Quince", "yes", "0", "0.25"]]
KINDS_REPORT = """<?xml version="1.0" encoding="UTF-8"?>
<jasperReport xmlns="http://jasperreports.sourceforge.net/jasperreports" name="kinds"
              pageWidth="595" pageHeight="842" columnWidth="535"
              leftMargin="30" rightMargin="30" topMargin="30" bottomMargin="30">
    <property name="norvakel.table" value="UNTITLED"/>
    <field name="NAME" class="java.lang.String"/>
    <field name="OK" class="java.lang.Boolean"/>
    <field name="SMALL" class="java.lang.Integer"/>
    <field name="CUR" class="java.math.BigDecimal"/>
    <field name="NOTE" class="java.lang.String"/>
    <variable name="CurTotal" class="java.math.BigDecimal" calculation="Sum">
        <variableExpression><![CDATA[$F{CUR}]]></variableExpression>
    </variable>
    <variable name="SmallTotal" class="java.lang.Integer" calculation="Sum">
        <variableExpression><![CDATA[$F{SMALL}]]></variableExpression>
    </variable>
    <detail>
        <band height="32">
            <textField>
                <reportElement x="0" y="0" width="100" height="16"/>
                <textFieldExpression><![CDATA[$F{NAME}]]></textFieldExpression>
            </textField>
            <textField>
                <reportElement x="100" y="0" width="60" height="16"/>
                <textFieldExpression><![CDATA[$F{OK} ? "yes" : "no"]]></textFieldExpression>
            </textField>
            <textField pattern="#,##0">
                <reportElement x="160" y="0" width="80" height="16"/>
                <textElement textAlignment="Right"/>
                <textFieldExpression><![CDATA[$F{SMALL}]]></textFieldExpression>
            </textField>
            <textField pattern="#,##0.00">
                <reportElement x="240" y="0" width="100" height="16"/>
                <textElement textAlignment="Right"/>
                <textFieldExpression><![CDATA[$F{CUR}]]></textFieldExpression>
            </textField>
            <textField isStretchWithOverflow="true" isBlankWhenNull="true">
                <reportElement x="0" y="16" width="535" height="16"/>
                <textFieldExpression><![CDATA[$F{NOTE}]]></textFieldExpression>
            </textField>
        </band>
    </detail>
    <summary>
        <band height="16">
            <textField pattern="#,##0.00">
                <reportElement x="0" y="0" width="200" height="16"/>
                <textFieldExpression><![CDATA["Total " + $V{CurTotal}]]></textFieldExpression>
            </textField>
            <textField>
                <reportElement x="200" y="0" width="200" height="16"/>
                <textFieldExpression><![CDATA["Count " + $V{SmallTotal}]]></textFieldExpression>
            </textField>
        </band>
    </summary>
</jasperReport>
"""


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

    def test_booleans_whole_numbers_currency_and_memos(self):
        self.write_report("kinds.jrxml", KINDS_REPORT)
        for dbtype, name, _ in DESTINATIONS:
            with self.subTest(dbtype):
                out = os.path.join(self.work, re.sub(r"\W", "_", dbtype))
                script = (["EXPORT = %s {" % name, "TYPE = " + dbtype, "LOCATION = " + out, "}",
                           "SAVE quiet"] + self.report_block("kinds.jrxml") + ["PRINT"])
                if os.path.exists(self.pdf):
                    os.remove(self.pdf)
                fields, rows = KIND_FIELDS, KIND_ROWS
                if dbtype == "PARADOX 3":  # no memo fields: a text field of 255
                    fields = KIND_FIELDS[:-1] + ["NOTE/10/255"]
                    rows = [r[:-1] + (r[-1][-255:],) for r in KIND_ROWS]
                result, _ = self.print_run(script, rows=rows, fields=fields)
                self.assertEqual(result.code, 0, result.stderr)
                text = pdf_text(self.pdf)
                lines = text.splitlines()
                for row in KIND_PRINTED:
                    printed = [line for line in lines if line.strip().startswith(row[0] + " ")]
                    self.assertEqual(len(printed), 1, (row, text))
                    self.assertEqual(re.split(r"\s{2,}", printed[0].strip()), row)
                self.assertIn("short note", text)
                self.assertIn("Zephyr", text)  # the memo's end, past 254 characters
                self.assertEqual(text.count("memo"), rows[0][-1].count("memo"))
                self.assertIn("Total 1229.8178", text)
                self.assertIn("Count 32760", text)


if __name__ == "__main__":
    unittest.main()
