"""PRINT of report files made with the JasperReports designer (the samples in
the shared test data), each over a transfer file built from its <field>
declarations; the pages are read back with pdftotext and pdftoppm."""
import os
import re
import shutil
import subprocess
import unittest
import xml.etree.ElementTree as ET

from harness import RunCase, transfer_text

SAMPLES = os.path.join(os.environ.get("NORVAKEL_TESTDATA", ""), "jrxml")
NS = "{http://jasperreports.sourceforge.net/jasperreports}"
# Field class -> transfer field type / size and the value each row gets.
COLUMNS = {
    "java.lang.String": ("10", "60", None),
    "java.lang.Integer": ("4", "4", "12"),
    "java.lang.Long": ("4", "4", "12"),
    "java.lang.Short": ("3", "2", "3"),
    "java.lang.Double": ("7", "8", "12.5"),
    "java.lang.Float": ("7", "8", "1.5"),
    "java.math.BigDecimal": ("7", "8", "99.25"),
    "java.lang.Boolean": ("1", "1", "True"),
    "java.util.Date": ("8", "8", "2026-11-02"),
    "java.sql.Timestamp": ("8", "8", "2026-11-02"),
}


def pdf_text(path):
    return subprocess.run(["pdftotext", "-layout", path, "-"], check=True,
                          stdout=subprocess.PIPE).stdout.decode("utf-8")


def page_pixels(path, page=1, dpi=36):
    ppm = subprocess.run(["pdftoppm", "-r", str(dpi), "-f", str(page), "-l", str(page), path],
                         check=True, stdout=subprocess.PIPE).stdout
    parts = ppm.split(b"\n", 3)
    width, height = map(int, parts[1].split())
    return width, height, parts[3]


@unittest.skipUnless(os.path.isdir(SAMPLES), "the designer samples are not here")
class DesignerSamples(RunCase):
    def print_sample(self, sample, rows=3):
        """Copies the sample's folder, prints the report over `rows` rows."""
        folder = os.path.join(self.dir, "reports")
        shutil.copytree(os.path.dirname(os.path.join(SAMPLES, sample)), folder)
        root = ET.parse(os.path.join(folder, os.path.basename(sample))).getroot()
        fields = []
        for f in root.findall(NS + "field"):
            kind, size, value = COLUMNS[f.get("class", "java.lang.String")]
            fields.append((f.get("name"), kind, size, value))
        if not fields:
            fields = [("UNUSED", "10", "10", None)]
        values = []
        for row in range(rows):
            values += [value or "%s %d" % (name, row) for name, _, _, value in fields]
        script = ["REPORT = %s {" % os.path.basename(sample), "LOCATION = " + folder,
                  "OUTPUT = PRINTER", "}", "PRINT", "EXIT"]
        self.pdf = os.path.join(self.dir, "printed.pdf")
        heads = ["%s/%s/%s" % (name, kind, size) for name, kind, size, _ in fields]
        result, _ = self.run_transfer(transfer_text(heads, values, script),
                                      env=self.env(NORVAKEL_PDF_PRINTER=self.pdf))
        return result

    def assertPrinted(self, result):
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(len(result.of("print")), 1, result.stderr)
        return pdf_text(self.pdf)

    def test_text_report_with_groups_variables_and_string_valueof(self):
        text = self.assertPrinted(self.print_sample("text/TextReport.jrxml"))
        # String.valueOf and a System variable, a group count, a summary and
        # "Page N of M" from the report's end.
        for part in ("1. City 0", "2. City 1", "3. City 2", "Count :", "There were 3 address",
                     "Page 1 of 1", "FirstName 1 LastName 1"):
            self.assertIn(part, text)

    def test_xml_datasource_report_ignores_its_query_and_field_paths(self):
        text = self.assertPrinted(self.print_sample("xmldatasource/OrdersReport.jrxml", rows=4))
        self.assertEqual(len(re.findall(r"2026, Nov 02", text)), 4, text)
        self.assertRegex(text, r"Total :\s+4\s+6")

    def test_subreport_page_of_styles_and_bands(self):
        result = self.print_sample("subreport/AddressReport.jrxml")
        text = self.assertPrinted(result)
        for part in ("Page Header", "Column Footer", "Page Footer", "Page 1 of 1", "Count :"):
            self.assertIn(part, text)
        # The opaque page header band is coloured.
        width, height, rgb = page_pixels(self.pdf)
        colours = {rgb[i:i + 3] for i in range(0, len(rgb), 3)}
        self.assertTrue(any(c[0] < 0xE0 and c[2] > 0xE0 for c in colours), "no coloured band")

    def test_unicode_texts_from_java_escapes(self):
        text = self.assertPrinted(self.print_sample("unicode/UnicodeReport.jrxml"))
        self.assertIn("ΓΔΘΛΞΠΣΦΨΩ", text)
        self.assertIn("ЂЋЏДЖИЛЦЩЮ", text)

    def test_fonts_and_landscape_reports(self):
        self.assertIn("The quick brown fox", self.assertPrinted(
            self.print_sample("fonts/FontsReport.jrxml")))
        shutil.rmtree(os.path.join(self.dir, "reports"))
        self.assertIn("LANDSCAPE", self.assertPrinted(
            self.print_sample("landscape/LandscapeReport.jrxml")))
        width, height, _ = page_pixels(self.pdf)
        self.assertGreater(width, height)

    def test_rotated_texts(self):
        text = self.assertPrinted(self.print_sample("rotation/RotationReport.jrxml"))
        self.assertIn('rotation="Right"', text)
        # The three texts turned Left read back whole.
        self.assertEqual(text.count('rotation="Left"'), 3, text)

    def test_an_image_that_is_not_there_is_named(self):
        result = self.print_sample("images/ImagesReport.jrxml")
        self.assertEqual(result.code, 1)
        self.assertIn("The image marbles.tif could not be read", result.messages[-1]["text"])

    def test_a_refused_report_lists_every_problem_with_its_line(self):
        # A designer sample with seven elements the engine does not draw, each
        # on a line of its own.
        folder = os.path.join(self.dir, "refused")
        os.makedirs(folder)
        with open(os.path.join(SAMPLES, "text", "TextReport.jrxml"), encoding="utf-8") as f:
            jrxml = f.read()
        unknown = "".join('\n<genericElement><reportElement x="0" y="0" width="9" height="9"/>'
                          '<genericElementType namespace="x" name="n%d"/></genericElement>' % n
                          for n in range(7))
        jrxml, count = re.subn(r"(<band[^>]*[^/]>)", lambda m: m.group(1) + unknown, jrxml,
                               count=1)
        self.assertEqual(count, 1)
        with open(os.path.join(folder, "TextReport.jrxml"), "w", encoding="utf-8") as f:
            f.write(jrxml)
        result = self.print_sample(os.path.join(folder, "TextReport.jrxml"))
        self.assertEqual(result.code, 1)
        shown = result.messages[-1]["text"].split("\r\n")
        more = re.match(r"\.\.\. and (\d+) more problems", shown[-1])
        self.assertIsNotNone(more, shown)
        self.assertEqual(len(shown), 6)
        logged = [line for line in result.stderr.splitlines()
                  if line.startswith("norvakel-report: ")]
        self.assertEqual(len(logged), 5 + int(more.group(1)))
        self.assertEqual(logged[:5], ["norvakel-report: " + s for s in shown[:5]])
        for line in logged:
            self.assertRegex(line, r"\(line \d+\)")


if __name__ == "__main__":
    unittest.main()
