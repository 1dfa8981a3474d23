"""Values arrive exactly in every destination: numbers beyond the Double range,
Currency through no double, narrow xBase numbers, empty values in typed
fields, the largest Single, and names upper-cased beyond ASCII. Each result is
read back by a reader that is not ours: mdb-reader, dbfread, the raw bytes of
a dBASE field, a printed report."""
import os
import struct
import unittest
from decimal import Decimal

import dbfread

from accessdb import access_rows
from harness import RunCase, transfer_text
from test_report import ReportCase, pdf_text

DBL_MAX = 1.7976931348623157e308
FLT_MAX = 3.4028234663852886e38
XBASE_TYPES = ["DBASE III", "DBASE IV", "FOXPRO 2.0", "FOXPRO 2.5", "FOXPRO 2.6"]
# Money a double cannot hold: each differs from its nearest double.
MONEY = ["922337203685477.5807", "-922337203685477.5808", "123456789012345.6789",
         "900719925474.0993", "-0.0001", "0.00005", "0.00015", "12.5"]
MONEY_STORED = ["922337203685477.5807", "-922337203685477.5808", "123456789012345.6789",
                "900719925474.0993", "-0.0001", "0", "0.0002", "12.5"]
# N(20,4) has no room for the sign beside 15 whole digits and four decimals:
# the least amount gives up its last decimal, rounded.
MONEY_DBF = MONEY_STORED[:1] + ["-922337203685477.581"] + MONEY_STORED[2:]


def export(name, location, type_name, *extra):
    return ["EXPORT = %s {" % name, "LOCATION = " + location, "TYPE = " + type_name,
            *extra, "}", "SAVE quiet"]


def raw_field(path, field):
    """The raw bytes of `field` in every record of a dBASE table."""
    with open(path, "rb") as f:
        data = f.read()
    count, header, length = struct.unpack("<IHH", data[4:12])
    offset, at = 1, 32
    while data[at] != 0x0D:
        name = data[at:at + 11].split(b"\0")[0].decode("cp1252")
        width = data[at + 16]
        if name == field:
            return [data[header + i * length + offset:header + i * length + offset + width]
                    for i in range(count)]
        offset += width
        at += 32
    raise KeyError(field)


class NumbersBeyondTheDoubleRange(RunCase):
    def test_an_overflow_is_the_runtime_error_and_keeps_the_transfer_file(self):
        for field, value in [("L/4/4", "1E+400"), ("D/7/8", "-1E+309"), ("D/7/8", "1D999"),
                             ("D/7/8", "1.79769313486233E+308")]:
            with self.subTest(value=value):
                result, path = self.run_transfer(
                    transfer_text([field], ["1", value], ["EXIT"]))
                self.assertEqual(result.code, 2, result.stderr)
                self.assertEqual(result.messages[-1]["text"], "Run-time error '6':\r\n\r\nOverflow")
                self.assertEqual(result.messages[-1]["icon"], "critical")
                self.assertTrue(os.path.exists(path), "the transfer file is kept")

    def test_the_printed_largest_double_and_numbers_below_the_least(self):
        out = os.path.join(self.work, "out")
        values = ["1.79769313486232E+308", "-1.79769313486232E+308", "1E-400", "-4.9E-324"]
        result, path = self.run_transfer(transfer_text(
            ["D/7/8"], values, export("NUMS", out, "MS/ACCESS", "TABLE = NUMS") + ["EXIT"]))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertFalse(os.path.exists(path))
        self.assertEqual([r[0] for r in self.scratch_rows()],
                         [DBL_MAX, -DBL_MAX, 0.0, -5e-324])
        self.assertEqual([r[0] for r in access_rows(os.path.join(out, "NUMS.MDB"), "NUMS")],
                         [DBL_MAX, -DBL_MAX, 0.0, -5e-324])


class CurrencyIsExact(RunCase):
    def test_every_destination_that_holds_money_exactly_gets_it_exactly(self):
        out = os.path.join(self.work, "out")
        script = (export("MONEY", out, "MS/ACCESS", "TABLE = MONEY")
                  + export("MONEY", out, "DBASE IV") + export("MONEY", out, "TEXT")
                  + export("MONEYX", out, "EXCEL 5.0", "TABLE = MONEY") + ["EXIT"])
        result, _ = self.run_transfer(transfer_text(["C/5/8"], MONEY, script))
        self.assertEqual(result.code, 0, result.stderr)

        access = [r[0] for r in access_rows(os.path.join(out, "MONEY.MDB"), "MONEY")]
        self.assertEqual([Decimal(v) for v in access], [Decimal(v) for v in MONEY_STORED])
        # dBASE writes N(20,4) as text: the bytes themselves are the value.
        raw = [b.decode("ascii").strip() for b in raw_field(os.path.join(out, "MONEY.DBF"), "C")]
        self.assertEqual(raw, MONEY_DBF)
        self.assertEqual([r["C"] for r in dbfread.DBF(os.path.join(out, "MONEY.DBF"))],
                         [float(v) for v in MONEY_DBF])
        # Text keeps its 15 significant digits.
        with open(os.path.join(out, "MONEY.TXT"), encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertEqual([float(line.strip('"')) for line in lines[1:4]],
                         [9.22337203685478e14, -9.22337203685478e14, 1.23456789012346e14])

    def test_money_beyond_the_range_is_the_engines_overflow(self):
        for value in ["922337203685477.5808", "-922337203685477.5809", "1E15"]:
            with self.subTest(value=value):
                result, path = self.run_transfer(transfer_text(["C/5/8"], [value], ["EXIT"]))
                self.assertEqual(result.code, 2, result.stderr)
                self.assertTrue(result.messages[-1]["text"].startswith(
                    "Run-time error '3349':\r\n\r\nThe value '%s' is out of the range of Currency"
                    % value), result.stderr)
                self.assertTrue(os.path.exists(path))


class CurrencyInTheReport(ReportCase):
    REPORT = """<?xml version="1.0" encoding="UTF-8"?>
<jasperReport xmlns="http://jasperreports.sourceforge.net/jasperreports" name="money"
              pageWidth="595" pageHeight="842" columnWidth="535"
              leftMargin="30" rightMargin="30" topMargin="30" bottomMargin="30">
    <field name="C" class="java.math.BigDecimal"/>
    <variable name="Total" class="java.math.BigDecimal" calculation="Sum">
        <variableExpression><![CDATA[$F{C}]]></variableExpression>
    </variable>
    <detail>
        <band height="16">
            <textField>
                <reportElement x="0" y="0" width="300" height="16"/>
                <textFieldExpression><![CDATA["Row " + $F{C}]]></textFieldExpression>
            </textField>
        </band>
    </detail>
    <summary>
        <band height="32">
            <textField>
                <reportElement x="0" y="0" width="300" height="16"/>
                <textFieldExpression><![CDATA["Total " + $V{Total}]]></textFieldExpression>
            </textField>
            <textField pattern="#,##0.000">
                <reportElement x="0" y="16" width="300" height="16"/>
                <textFieldExpression><![CDATA[$V{Total}]]></textFieldExpression>
            </textField>
        </band>
    </summary>
</jasperReport>
"""

    def test_a_bigdecimal_sum_of_money_is_exact_from_every_exact_destination(self):
        self.write_report("money.jrxml", self.REPORT)
        rows = [("123456789012345.6789",), ("-12345678901234.5678",), ("900719925474.0993",)]
        for dbtype, name in [(None, None), ("MS/ACCESS", "SALES"), ("DBASE IV", "SALES"),
                             ("FOXPRO 2.6", "SALES")]:
            with self.subTest(dbtype):
                out = os.path.join(self.work, "out-%s" % (dbtype or "scratch").replace("/", "_"))
                script = ((export(name, out, dbtype, "TABLE = SALES") if dbtype else [])
                          + self.report_block("money.jrxml") + ["PRINT"])
                if os.path.exists(self.pdf):
                    os.remove(self.pdf)
                result, _ = self.print_run(script, rows=rows, fields=["C/5/8"])
                self.assertEqual(result.code, 0, result.stderr)
                text = pdf_text(self.pdf)
                self.assertIn("Row 123456789012345.6789", text)
                self.assertIn("Row -12345678901234.5678", text)
                # Summed through doubles this would be 112011830036585.2.
                self.assertIn("Total 112011830036585.2104", text)
                self.assertIn("112,011,830,036,585.210", text)


class NarrowXbaseNumbers(RunCase):
    def test_doubles_that_need_an_exponent_and_a_sign_lose_a_digit_not_the_export(self):
        values = ["-3.43214308635651E-14", "-2.2250738585072E-308", "1.5E-300",
                  "-1.79769313486231E+308", "3.4028234E38", "-123456.789012345"]
        read = [-3.4321430863565e-14, -2.225073858507e-308, 1.5e-300, -1.7976931348623e308,
                3.4028234e38, -123456.789012345]
        for type_name in XBASE_TYPES:
            with self.subTest(type_name):
                out = os.path.join(self.work, type_name.replace(" ", "_"))
                result, _ = self.run_transfer(transfer_text(
                    ["D/7/8", "S/6/4"], [x for v in values for x in (v, "3.4028234E38")],
                    export("NUMS", out, type_name) + ["EXIT"]))
                self.assertEqual(result.code, 0, result.stderr)
                table = list(dbfread.DBF(os.path.join(out, "NUMS.DBF")))
                self.assertEqual([r["D"] for r in table], read)
                # The largest Single goes out with its seven digits.
                self.assertEqual({r["S"] for r in table}, {3.402823e38})


class EmptyValuesAreNull(RunCase):
    FIELDS = ["B/1/1", "Y/2/1", "I/3/2", "C/5/8", "S/6/4", "D/8/8", "G/15/16", "T/10/10"]

    def test_an_empty_value_in_a_typed_field_stores_null(self):
        out = os.path.join(self.work, "out")
        values = ["", "   ", "", "  ", "", "    ", "", "",
                  "True", "7", "-3", "1.5", "2.5", "2026-12-07",
                  "{6F9619FF-8B86-D011-B42D-00C04FC964FF}", "x"]
        result, _ = self.run_transfer(transfer_text(
            self.FIELDS, values,
            export("EMPTY", out, "MS/ACCESS", "TABLE = EMPTY") + export("EMPTY", out, "DBASE IV")
            + ["EXIT"]))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.scratch_rows()[0], (None,) * 7 + ("",))
        rows = access_rows(os.path.join(out, "EMPTY.MDB"), "EMPTY")
        # Access keeps a Yes/No field in the row's null mask: it has no Null.
        self.assertEqual(rows[0], (False,) + (None,) * 6 + ("",))
        self.assertEqual(rows[1][:3], (True, 7, -3))
        self.assertEqual(Decimal(rows[1][3]), Decimal("1.5"))
        self.assertEqual(rows[1][4], 2.5)
        dbf = list(dbfread.DBF(os.path.join(out, "EMPTY.DBF")))
        self.assertEqual([dbf[0][k] for k in ["B", "Y", "I", "C", "S", "D"]], [None] * 6)

    def test_other_text_that_does_not_convert_keeps_its_error(self):
        result, path = self.run_transfer(transfer_text(["I/3/2"], ["seven"], ["EXIT"]))
        self.assertEqual(result.code, 2, result.stderr)
        self.assertTrue(result.messages[-1]["text"].startswith("Run-time error '3421':"))
        self.assertTrue(os.path.exists(path))


class TheLargestSingle(RunCase):
    def test_it_is_saved_into_access_and_dbase(self):
        out = os.path.join(self.work, "out")
        result, _ = self.run_transfer(transfer_text(
            ["S/6/4"], ["3.4028234E38", "-3.4028234E38"],
            export("SINGLES", out, "MS/ACCESS", "TABLE = SINGLES")
            + export("SINGLES", out, "DBASE IV") + ["EXIT"]))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual([r[0] for r in access_rows(os.path.join(out, "SINGLES.MDB"), "SINGLES")],
                         [FLT_MAX, -FLT_MAX])
        self.assertEqual([r["S"] for r in dbfread.DBF(os.path.join(out, "SINGLES.DBF"))],
                         [3.402823e38, -3.402823e38])


class NamesUpperCasedBeyondAscii(RunCase):
    def test_file_and_table_names_are_upper_cased_every_letter(self):
        out = os.path.join(self.work, "out")

        def save(value):
            result, _ = self.run_transfer(transfer_text(
                ["N/10/10"], [value],
                export("résumé", out, "DBASE IV")
                + export("données", out, "MS/ACCESS", "TABLE = crème") + ["EXIT"]))
            self.assertEqual(result.code, 0, result.stderr)

        save("old")
        self.assertEqual(sorted(os.listdir(out)), ["DONNÉES.MDB", "RÉSUMÉ.DBF"])
        self.assertEqual(access_rows(os.path.join(out, "DONNÉES.MDB"), "CRÈME"), [("old",)])
        # A table whose name differs in case, beyond ASCII too, is the same table.
        os.rename(os.path.join(out, "RÉSUMÉ.DBF"), os.path.join(out, "résumé.dbf"))
        save("été")
        tables = [n for n in os.listdir(out) if n.upper().endswith(".DBF")]
        self.assertEqual(len(tables), 1, tables)
        self.assertEqual([r["N"] for r in dbfread.DBF(os.path.join(out, tables[0]))], ["été"])
        self.assertEqual(access_rows(os.path.join(out, "DONNÉES.MDB"), "CRÈME"), [("été",)])


if __name__ == "__main__":
    unittest.main()
