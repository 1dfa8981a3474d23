"""PRINT of reports in several columns, down or across, and of one long page
without pagination: where the texts land is read back from the PDF with
pdftotext -bbox, the colours with pdftoppm, the page size with pdfinfo."""
import os
import re
import subprocess
import unittest

from harness import RunCase, transfer_text
import test_report_designer as designer
from test_report_designer import SAMPLES, page_pixels

NS = 'xmlns="http://jasperreports.sourceforge.net/jasperreports"'


def words(pdf):
    """Every word of the PDF as (page, text, x, y), in points."""
    html = subprocess.run(["pdftotext", "-bbox", pdf, "-"], check=True,
                          stdout=subprocess.PIPE).stdout.decode("utf-8")
    out = []
    for page, body in enumerate(html.split("<page ")[1:], start=1):
        for x, y, text in re.findall(r'<word xMin="([\d.]+)" yMin="([\d.]+)"[^>]*>([^<]*)</word>',
                                     body):
            out.append((page, text, float(x), float(y)))
    return out


def page_size(pdf):
    info = subprocess.run(["pdfinfo", pdf], check=True, stdout=subprocess.PIPE).stdout.decode()
    w, h = re.search(r"Page size:\s+([\d.]+) x ([\d.]+)", info).groups()
    return float(w), float(h)


def report(attributes, body, height=400):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<jasperReport %s name="Cols" '
            'pageWidth="400" pageHeight="%d" leftMargin="20" rightMargin="20" topMargin="20" '
            'bottomMargin="20" %s>\n<field name="NAME" class="java.lang.String"/>\n'
            '<field name="N" class="java.lang.Integer"/>\n%s\n</jasperReport>\n'
            % (NS, height, attributes, body))


def band(expression, height=20, width=100, extra=""):
    return ('<band height="%d">%s<textField><reportElement x="0" y="0" width="%d" height="%d"/>'
            '<textFieldExpression><![CDATA[%s]]></textFieldExpression></textField></band>'
            % (height, extra, width, height, expression))


RED = ('<rectangle><reportElement mode="Opaque" x="0" y="0" width="100" height="20" '
       'backcolor="#FF0000"/><graphicElement><pen lineWidth="0"/></graphicElement></rectangle>')


class ColumnReports(RunCase):
    def print_report(self, text, rows):
        folder = os.path.join(self.dir, "reports")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "COLS.JRXML"), "w", encoding="utf-8") as f:
            f.write(text)
        values = []
        for i in range(rows):
            values += ["Row%02d" % i, str(i)]
        script = ["REPORT = cols.jrxml {", "LOCATION = " + folder, "OUTPUT = PRINTER", "}",
                  "PRINT", "EXIT"]
        self.pdf = os.path.join(self.dir, "printed.pdf")
        result, _ = self.run_transfer(transfer_text(["NAME/10/20", "N/4/4"], values, script),
                                      env=self.env(NORVAKEL_PDF_PRINTER=self.pdf))
        self.assertEqual(result.code, 0, result.stderr)
        printed = result.of("print")
        self.assertEqual(len(printed), 1, result.stderr)
        return printed[0]["pages"], {text: (page, x, y) for page, text, x, y in words(self.pdf)}

    def test_three_columns_down_the_page(self):
        # Columns 110 wide, 10 apart: x = 20, 140, 260. Rows start at 40 below
        # the column headers; 16 rows of 20 fit above the column footer (at 360).
        pages, at = self.print_report(report(
            'columnCount="3" columnWidth="110" columnSpacing="10"',
            "<columnHeader>" + band('"Head" + $V{COLUMN_NUMBER}') + "</columnHeader><detail>" +
            band("$F{NAME}") + "</detail><columnFooter>" + band("", extra=RED) +
            "</columnFooter>"), 60)
        self.assertEqual(pages, 2)
        for column, x in enumerate((20, 140, 260)):
            self.assertAlmostEqual(at["Head%d" % (column + 1)][1], x, delta=1)
            first = at["Row%02d" % (16 * column)]
            self.assertEqual(first[0], 1)
            self.assertAlmostEqual(first[1], x, delta=1)
            self.assertAlmostEqual(first[2], at["Row00"][2], delta=0.5)
        self.assertLess(at["Row00"][2], at["Row15"][2])
        self.assertEqual(at["Row48"][:2][0], 2)
        self.assertAlmostEqual(at["Row48"][1], 20, delta=1)
        # Each column's footer band is drawn in red under its column.
        width, height, rgb = page_pixels(self.pdf, dpi=72)

        def red(x, y):
            i = (y * width + x) * 3
            return rgb[i] > 200 and rgb[i + 1] < 80 and rgb[i + 2] < 80
        for x in (20, 140, 260):
            self.assertTrue(red(x + 50, 370), "no column footer at %d" % x)
        self.assertFalse(red(130, 370))

    def test_rows_across_the_columns(self):
        pages, at = self.print_report(report(
            'columnCount="3" columnWidth="110" columnSpacing="10" printOrder="Horizontal"',
            "<detail>" + band("$F{NAME}") + "</detail>"), 7)
        self.assertEqual(pages, 1)
        for i, x in enumerate((20, 140, 260, 20)):
            self.assertAlmostEqual(at["Row%02d" % i][1], x, delta=1)
        self.assertAlmostEqual(at["Row01"][2], at["Row00"][2], delta=0.5)
        self.assertAlmostEqual(at["Row03"][2] - at["Row00"][2], 20, delta=0.5)
        self.assertAlmostEqual(at["Row06"][2] - at["Row00"][2], 40, delta=0.5)

    def test_one_long_page_without_pagination(self):
        pages, at = self.print_report(report(
            'isIgnorePagination="true"', "<pageHeader>" + band('"Top"') + "</pageHeader>" +
            "<detail>" + band("$F{NAME}") + "</detail><pageFooter>" + band('"Bottom"') +
            "</pageFooter>"), 50)
        self.assertEqual(pages, 1)
        # 20 + header 20 + 50 rows of 20 + footer 20 + 20.
        self.assertEqual(page_size(self.pdf), (400, 1080))
        self.assertLess(at["Top"][2], at["Row00"][2])
        self.assertAlmostEqual(at["Bottom"][2] - at["Row49"][2], 20, delta=0.5)


@unittest.skipUnless(os.path.isdir(SAMPLES), "the designer samples are not here")
class HorizontalSample(RunCase):
    def test_horizontal_sample_in_three_columns(self):
        result = designer.DesignerSamples.print_sample(
            self, "horizontal/HorizontalReport.jrxml", rows=8)
        if result.code != 0:
            # Whatever else it needs, its columns and group page attributes are read.
            logged = "\n".join(line for line in result.stderr.splitlines()
                               if line.startswith("norvakel-report: "))
            self.assertTrue(logged, result.stderr)
            for name in ("columnCount", "printOrder", "columnSpacing", "isStartNewColumn",
                         "isReprintHeaderOnEachPage"):
                self.assertNotIn(name, logged)
            return
        self.assertEqual(len(result.of("print")), 1, result.stderr)
        rows = [(x, y) for _, text, x, y in words(self.pdf) if text == "Orders"]
        self.assertEqual(len({round(x) for x, _ in rows}), 3, rows)


if __name__ == "__main__":
    unittest.main()
