"""PRINT of reports that sort and filter their rows (<sortField>,
<filterExpression>) and of the designer's message-bundle sample ($R{} texts,
REPORT_LOCALE), read back with pdftotext and pdfimages."""
import os
import re
import subprocess
import unittest

import test_report_designer
from harness import RunCase, transfer_text
from test_report_designer import SAMPLES, pdf_text

NS = "http://jasperreports.sourceforge.net/jasperreports"


def report(body):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<jasperReport xmlns="%s" name="sorted" pageWidth="595" pageHeight="842" '
            'columnWidth="555" leftMargin="20" rightMargin="20" topMargin="20" '
            'bottomMargin="20">\n%s\n</jasperReport>\n' % (NS, body))


def text_field(expression, x=0, width=200, pattern=None):
    return ('<textField%s><reportElement x="%d" y="0" width="%d" height="14"/>'
            '<textFieldExpression><![CDATA[%s]]></textFieldExpression></textField>'
            % (' pattern="%s"' % pattern if pattern else "", x, width, expression))


FIELDS = ('<field name="NAME" class="java.lang.String"/>'
          '<field name="CITY" class="java.lang.String"/>'
          '<field name="AMOUNT" class="java.lang.Double"/>'
          '<field name="ORDERED" class="java.util.Date"/>')

# One detail line per row: "#<name> <city> <amount> <date>".
DETAIL = ('<detail><band height="14">%s%s%s%s</band></detail>'
          % (text_field('"#" + $F{NAME}'), text_field("$F{CITY}", 200, 100),
             text_field("$F{AMOUNT}", 300, 80), text_field("$F{ORDERED}", 380, 120,
                                                           "yyyy-MM-dd")))

ROWS = [
    ("ann", "Lyon", "30.5", "2026-03-01"),
    ("bob", "aberdeen", "7", "2026-01-15"),
    ("cid", "", "120", "2025-12-31"),
    ("dee", "Zürich", "", "2026-02-01"),
    ("eve", "Lyon", "99.25", ""),
    ("fay", "Ängelholm", "15", "2026-03-01"),
    ("gus", "lyon", "1000", "2026-01-01"),
]


class SortedReports(RunCase):
    def print_report(self, jrxml, rows=ROWS, env=None):
        folder = os.path.join(self.dir, "reports")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "SORTED.JRXML"), "w", encoding="utf-8") as f:
            f.write(jrxml)
        values = [v for row in rows for v in row]
        script = ["REPORT = sorted.jrxml {", "LOCATION = " + folder, "OUTPUT = PRINTER", "}",
                  "PRINT", "EXIT"]
        self.pdf = os.path.join(self.dir, "printed.pdf")
        heads = ["NAME/10/20", "CITY/10/20", "AMOUNT/7/8", "ORDERED/8/8"]
        result, _ = self.run_transfer(transfer_text(heads, values, script),
                                      env=self.env(NORVAKEL_PDF_PRINTER=self.pdf, **(env or {})))
        return result

    def printed_names(self, result):
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(len(result.of("print")), 1, result.stderr)
        return re.findall(r"#(\w+)", pdf_text(self.pdf))

    def test_rows_sort_by_several_keys_with_nulls_first(self):
        # City ascending by the locale's collation (the empty text first, case
        # and accents second to the letters), then amount descending.
        names = self.printed_names(self.print_report(report(
            FIELDS + '<sortField name="CITY"/><sortField name="AMOUNT" order="Descending"/>'
            + DETAIL)))
        self.assertEqual(names, ["cid", "bob", "fay", "gus", "eve", "ann", "dee"])

    def test_dates_sort_by_time_and_numbers_by_value(self):
        names = self.printed_names(self.print_report(report(
            FIELDS + '<sortField name="ORDERED" order="Descending"/><sortField name="NAME"/>'
            + DETAIL)))
        # Descending puts nulls last; equal dates keep the name order.
        self.assertEqual(names, ["ann", "fay", "dee", "bob", "gus", "cid", "eve"])
        names = self.printed_names(self.print_report(report(
            FIELDS + '<sortField name="AMOUNT"/>' + DETAIL)))
        self.assertEqual(names, ["dee", "bob", "fay", "ann", "eve", "cid", "gus"])

    def test_filter_drops_rows_before_variables_count_them(self):
        body = (FIELDS + '<sortField name="NAME" order="Descending"/>'
                '<filterExpression><![CDATA[$F{AMOUNT} != null && $F{AMOUNT} > 10]]>'
                '</filterExpression>'
                '<variable name="TOTAL" class="java.lang.Double" calculation="Sum">'
                '<variableExpression><![CDATA[$F{AMOUNT}]]></variableExpression></variable>'
                + DETAIL +
                '<summary><band height="14">%s</band></summary>'
                % text_field('"rows " + $V{REPORT_COUNT} + " total " + $V{TOTAL}', 0, 400))
        result = self.print_report(report(body))
        self.assertEqual(self.printed_names(result), ["gus", "fay", "eve", "cid", "ann"])
        self.assertIn("rows 5 total 1264.75", pdf_text(self.pdf))

    def test_sort_by_a_variable_computed_per_row(self):
        body = (FIELDS +
                '<sortField name="SHORT" type="Variable"/><sortField name="NAME"/>'
                '<variable name="SHORT" class="java.lang.Integer">'
                '<variableExpression><![CDATA[$F{NAME}.equals("eve") ? 0 : '
                '$F{CITY}.length()]]></variableExpression></variable>'
                + DETAIL)
        names = self.printed_names(self.print_report(report(body)))
        # The city's length (eve 0 by the rule): 0 (cid, eve), 4 (ann, gus),
        # 6 (dee), 8 (bob), 9 (fay).
        self.assertEqual(names, ["cid", "eve", "ann", "gus", "dee", "bob", "fay"])

    def test_sorting_by_a_running_total_is_refused_by_name(self):
        body = (FIELDS + '<sortField name="RUNNING" type="Variable"/>'
                '<variable name="RUNNING" class="java.lang.Double" calculation="Sum">'
                '<variableExpression><![CDATA[$F{AMOUNT}]]></variableExpression></variable>'
                '<filterExpression><![CDATA[$V{REPORT_COUNT} < 3]]></filterExpression>'
                + DETAIL)
        result = self.print_report(report(body))
        self.assertEqual(result.code, 1)
        text = result.messages[-1]["text"]
        self.assertIn('the variable "RUNNING" in a sortField (line', text)
        self.assertIn("$V{REPORT_COUNT} in the filterExpression", text)
        self.assertEqual(result.of("print"), [])

    def test_a_group_over_sorted_rows_breaks_once_per_value(self):
        body = (FIELDS + '<sortField name="CITY"/><sortField name="NAME"/>'
                '<group name="town"><groupExpression><![CDATA[$F{CITY}]]></groupExpression>'
                '<groupHeader><band height="14">%s</band></groupHeader></group>'
                % text_field('"town [" + $F{CITY} + "]"', 0, 300) + DETAIL)
        result = self.print_report(report(body))
        self.assertEqual(result.code, 0, result.stderr)
        text = pdf_text(self.pdf)
        towns = re.findall(r"town \[([^\]]*)\]", text)
        # "Lyon" and "lyon" are different values next to each other.
        self.assertEqual(towns, ["", "aberdeen", "Ängelholm", "lyon", "Lyon", "Zürich"])


@unittest.skipUnless(os.path.isdir(SAMPLES), "the designer samples are not here")
class MessageBundles(RunCase):
    print_sample = test_report_designer.DesignerSamples.print_sample
    assertPrinted = test_report_designer.DesignerSamples.assertPrinted

    def images(self):
        out = subprocess.run(["pdfimages", "-list", self.pdf], check=True,
                             stdout=subprocess.PIPE).stdout.decode()
        return [line.split() for line in out.splitlines()[2:]]

    def test_i18n_sample_in_the_default_locale(self):
        text = self.assertPrinted(self.print_sample("i18n/I18nReport.jrxml"))
        flat = " ".join(text.split())
        self.assertIn("JasperReports is a powerful open source Java reporting tool", flat)
        self.assertIn("Its main purpose is to help creating page oriented", flat)
        # msg() with the bundle's pattern; the parameter has no value.
        self.assertIn("The program picked up null as a random number.", flat)
        # A C locale is Java's en_US.
        self.assertIn("English (United States)", flat)
        # The flag image the bundle names (us.gif, 68 x 36).
        self.assertEqual([(i[3], i[4]) for i in self.images()], [("68", "36")])

    def test_i18n_sample_in_german_reads_the_latin1_bundle(self):
        folder_env = {"LC_ALL": "de_DE.UTF-8"}
        result = self.print_sample_env("i18n/I18nReport.jrxml", folder_env)
        text = self.assertPrinted(result)
        flat = " ".join(text.split())
        self.assertIn("JasperReports ist ein leistungsfähiges Open-Source Reporting Tool", flat)
        self.assertIn("Das Programm hob null als gelegentliche Zahl auf.", flat)
        self.assertIn("Deutsch (Deutschland)", flat)
        # "\n" in the bundle breaks the contributors' line.
        self.assertRegex(text, r"Franco Weichel,\s*\n\s*Christian Höfer,")
        self.assertEqual([(i[3], i[4]) for i in self.images()], [("59", "36")])  # de.gif

    def print_sample_env(self, sample, extra):
        original = self.env
        self.env = lambda **kw: original(**{**kw, **extra})
        try:
            return self.print_sample(sample)
        finally:
            self.env = original


if __name__ == "__main__":
    unittest.main()
