"""PRINT of reports with charts: the chart samples made with the JasperReports
designer, each over a transfer file of orders built from its <field>
declarations. The printed PDF is read back with pdftotext (titles, legends,
labels) and pdftoppm (the share of each bar or slice colour)."""
import os
import re
import unittest
import xml.etree.ElementTree as ET

from harness import RunCase, transfer_text
from test_report_designer import COLUMNS, NS, SAMPLES, page_pixels, pdf_text

CHARTS = os.path.join(SAMPLES, "charts")
# The chart palette's first colours.
RED, BLUE, GREEN = (0xFF, 0x55, 0x55), (0x55, 0x55, 0xFF), (0x55, 0xFF, 0x55)


def without_other_features(text):
    """The sample with the layout features charts do not need (two columns,
    group-incremented variables, column totals, group-time text fields) made
    plain; the chart elements stay exactly as the designer wrote them."""
    text = text.replace('columnCount="2"', 'columnCount="1"').replace('columnSpacing="15"', "")
    text = re.sub(r'(<variable [^>]*?) incrementType="Group" incrementGroup="\w+"', r"\1", text)
    text = text.replace('resetType="Column"', 'resetType="Report"')
    text = text.replace(' isStartNewColumn="true"', "")
    text = re.sub(r'<textField evaluationTime="Group" evaluationGroup="\w+"', "<textField", text)
    return text.replace("$V{COLUMN_COUNT}", "$V{REPORT_COUNT}")


def colour_counts(path, colours, dpi=72):
    """How many pixels of the first page are close to each colour."""
    _, _, rgb = page_pixels(path, dpi=dpi)
    counts = [0] * len(colours)
    for i in range(0, len(rgb), 3):
        r, g, b = rgb[i], rgb[i + 1], rgb[i + 2]
        for k, (cr, cg, cb) in enumerate(colours):
            if abs(r - cr) < 16 and abs(g - cg) < 16 and abs(b - cb) < 16:
                counts[k] += 1
    return counts


@unittest.skipUnless(os.path.isdir(CHARTS), "the chart samples are not here")
class ChartSamples(RunCase):
    # (ShipCountry, Freight, OrderDate): one order per country, so that each
    # first letter and each country is its own group.
    ORDERS = [("Austria", "10", "2026-01-05"), ("Brazil", "30", "2026-02-07"),
              ("Canada", "20", "2026-03-09")]

    def print_chart(self, sample, plain=True):
        folder = os.path.join(self.dir, "reports")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(CHARTS, sample), encoding="utf-8") as f:
            text = f.read()
        if plain:
            text = without_other_features(text)
        with open(os.path.join(folder, sample), "w", encoding="utf-8") as f:
            f.write(text)
        root = ET.fromstring(text.encode("utf-8"))
        fields = [(f.get("name"), COLUMNS[f.get("class")]) for f in root.findall(NS + "field")]
        values = []
        for order, (country, freight, date) in enumerate(self.ORDERS):
            own = {"ShipCountry": country, "Freight": freight, "OrderDate": date,
                   "OrderID": str(order + 1)}
            values += [own.get(name) or value or "%s %d" % (name, order)
                       for name, (_, _, value) in fields]
        heads = ["%s/%s/%s" % (name, kind, size) for name, (kind, size, _) in fields]
        script = ["REPORT = %s {" % sample, "LOCATION = " + folder, "OUTPUT = PRINTER", "}",
                  "PRINT", "EXIT"]
        self.pdf = os.path.join(self.dir, sample + ".pdf")
        result, _ = self.run_transfer(transfer_text(heads, values, script),
                                      env=self.env(NORVAKEL_PDF_PRINTER=self.pdf))
        return result

    def assertPrinted(self, result):
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(len(result.of("print")), 1, result.stderr)
        return pdf_text(self.pdf)

    def test_no_sample_has_its_chart_refused(self):
        for sample in sorted(os.listdir(CHARTS)):
            result = self.print_chart(sample, plain=False)
            refusals = [line for line in result.stderr.splitlines()
                        if line.startswith("norvakel-report:")]
            for line in refusals:
                self.assertNotRegex(line, r"[Cc]hart|[Dd]ataset|[Pp]lot|[Ss]eries", sample)

    def test_pie_slices_share_the_freight(self):
        text = self.assertPrinted(self.print_chart("PieChartReport.jrxml"))
        # The first chart group holds Austria alone, the second Brazil and
        # Canada: each pie, evaluated at its group's end, shows its own group.
        # Labels beside the slices give each key and its share.
        for label in ("Austria (100%)", "Brazil (60%)", "Canada (40%)"):
            self.assertIn(label, text)
        # Two pies of one size: Austria's whole disc and Brazil's 60 % in the
        # first colour, Canada's 40 % in the second, nothing in the third.
        red, blue, green = colour_counts(self.pdf, [RED, BLUE, GREEN])
        self.assertGreater(red, 3000)
        self.assertAlmostEqual(blue / red, 0.4 / 1.6, delta=0.02)
        self.assertEqual(green, 0)

    def test_stacked_bars_stack_the_three_series(self):
        text = self.assertPrinted(self.print_chart("StackedBarChartReport.jrxml"))
        for legend in ("Double Freight", "Normal Freight", "Half Freight"):
            self.assertIn(legend, text)
        # Each country's bar stacks twice, once and half its freight.
        double, normal, half = colour_counts(self.pdf, [RED, BLUE, GREEN])
        self.assertGreater(normal, 500)
        self.assertAlmostEqual(double / normal, 2, delta=0.1)
        self.assertAlmostEqual(half / normal, 0.5, delta=0.05)

    def test_line_chart_draws_in_the_reports_series_colours(self):
        text = self.assertPrinted(self.print_chart("LineChartReport.jrxml"))
        for legend in ("Double Freight", "Normal Freight", "Half Freight"):
            self.assertIn(legend, text)
        magenta, yellow, cyan = colour_counts(
            self.pdf, [(0xFF, 0x00, 0xFF), (0xFF, 0xFF, 0x00), (0x00, 0xFF, 0xFF)], dpi=144)
        for count in (magenta, yellow, cyan):
            self.assertGreater(count, 40)

    def test_xy_line_chart_over_order_numbers(self):
        text = self.assertPrinted(self.print_chart("XYLineChartReport.jrxml"))
        for legend in ("Double Freight", "Normal Freight", "Half Freight"):
            self.assertIn(legend, text)
        counts = colour_counts(self.pdf, [RED, BLUE, GREEN], dpi=144)
        for count in counts:
            self.assertGreater(count, 20)


DATASET_RUN_REPORT = """<?xml version="1.0" encoding="UTF-8"?>
<jasperReport xmlns="http://jasperreports.sourceforge.net/jasperreports" name="Runs"
    pageWidth="595" pageHeight="842" columnWidth="555" leftMargin="20" rightMargin="20"
    topMargin="20" bottomMargin="20" uuid="1">
  <subDataset name="Orders" uuid="2">
    <parameter name="MinFreight" class="java.lang.Double"/>
    <field name="ShipCountry" class="java.lang.String"/>
    <field name="Freight" class="java.lang.Double"/>
    <filterExpression><![CDATA[$F{Freight} >= $P{MinFreight}]]></filterExpression>
  </subDataset>
  <parameter name="Least" class="java.lang.Double">
    <defaultValueExpression><![CDATA[15.0]]></defaultValueExpression>
  </parameter>
  <field name="ShipCountry" class="java.lang.String"/>
  <detail><band height="14">
    <textField><reportElement x="0" y="0" width="200" height="14"/>
      <textFieldExpression><![CDATA["Order to " + $F{ShipCountry}]]></textFieldExpression>
    </textField>
  </band></detail>
  <summary><band height="240">
    <pieChart>
      <chart><reportElement x="0" y="0" width="300" height="220"/>
        <chartTitle><titleExpression><![CDATA["Freight of " + $P{Least} + " and more"]]>
        </titleExpression></chartTitle><chartLegend/></chart>
      <pieDataset>
        <dataset><datasetRun subDataset="Orders">
          <datasetParameter name="MinFreight">
            <datasetParameterExpression><![CDATA[$P{Least}]]></datasetParameterExpression>
          </datasetParameter>
        </datasetRun></dataset>
        <keyExpression><![CDATA[$F{ShipCountry}]]></keyExpression>
        <valueExpression><![CDATA[$F{Freight}]]></valueExpression>
      </pieDataset>
      <piePlot labelFormat="{0} {2}"><plot/></piePlot>
    </pieChart>
  </band></summary>
</jasperReport>
"""


class ChartDatasetRun(RunCase):
    def test_pie_over_a_dataset_run_keeps_the_rows_its_parameter_lets_through(self):
        report = os.path.join(self.dir, "runs.jrxml")
        with open(report, "w", encoding="utf-8") as f:
            f.write(DATASET_RUN_REPORT)
        heads = ["ShipCountry/%s/%s" % COLUMNS["java.lang.String"][:2],
                 "Freight/%s/%s" % COLUMNS["java.lang.Double"][:2]]
        values = ["Austria", "10", "Brazil", "30", "Canada", "20"]
        script = ["REPORT = runs.jrxml {", "LOCATION = " + self.dir, "OUTPUT = PRINTER", "}",
                  "PRINT", "EXIT"]
        pdf = os.path.join(self.dir, "runs.pdf")
        result, _ = self.run_transfer(transfer_text(heads, values, script),
                                      env=self.env(NORVAKEL_PDF_PRINTER=pdf))
        self.assertEqual(result.code, 0, result.stderr)
        text = pdf_text(pdf)
        # The report's own rows are all there; the pie has only the orders
        # of 15 and more, in their shares of 50.
        for country in ("Austria", "Brazil", "Canada"):
            self.assertIn("Order to " + country, text)
        self.assertIn("Freight of 15.0 and more", text)
        self.assertIn("Brazil (60%)", text)
        self.assertIn("Canada (40%)", text)
        self.assertNotRegex(text, r"Austria \(")


class ChartExample(RunCase):
    def test_example_prints_its_city_chart_and_pie(self):
        here = os.path.dirname(os.path.abspath(__file__))
        examples = os.path.normpath(os.path.join(here, "..", "..", "examples"))
        with open(os.path.join(examples, "print_chart.nvk"), encoding="utf-8", newline="") as f:
            text = f.read().replace("%NORVAKEL_EXAMPLES%", examples)
        pdf = os.path.join(self.dir, "chart.pdf")
        result, _ = self.run_transfer(text, env=self.env(NORVAKEL_PDF_PRINTER=pdf))
        self.assertEqual(result.code, 0, result.stderr)
        printed = pdf_text(pdf)
        for part in ("Amount per city", "Share of the orders", "City"):
            self.assertIn(part, printed)
        # Köln's three orders make 554.75 of 17 332.40: 3 % of the pie, and
        # its bar is labelled with the total.
        self.assertIn("Köln (3%)", printed)
        self.assertRegex(printed, r"\b555\b")


if __name__ == "__main__":
    unittest.main()
