"""PRINT of a report whose fields take their values later than their band: a
group total in the group header, page totals, "Page N of M", a count of the
groups so far, read back from the printed PDF with pdftotext."""
import re
import subprocess
import unittest

from test_report import ReportCase

FIELDS = ["CITY/10/30", "AMOUNT/4/4"]
# Aberdeen's rows run over two pages (five rows a page).
ROWS = [("Aberdeen", str(n)) for n in (1, 2, 4, 8, 16, 32)] + [("Lyon", "100"), ("Lyon", "200")]

REPORT = """<?xml version="1.0" encoding="UTF-8"?>
<jasperReport xmlns="http://jasperreports.sourceforge.net/jasperreports" name="evaluation"
    pageWidth="400" pageHeight="250" columnWidth="360" leftMargin="20" rightMargin="20"
    topMargin="20" bottomMargin="20" uuid="0b6c1f3e-1c55-4bb0-9f0f-53d3c1a3e0a1">
  <field name="CITY" class="java.lang.String"/>
  <field name="AMOUNT" class="java.lang.Integer"/>
  <variable name="CityTotal" class="java.lang.Integer" resetType="Group" resetGroup="City" calculation="Sum">
    <variableExpression><![CDATA[$F{AMOUNT}]]></variableExpression>
  </variable>
  <variable name="PageTotal" class="java.lang.Integer" resetType="Page" calculation="Sum">
    <variableExpression><![CDATA[$F{AMOUNT}]]></variableExpression>
  </variable>
  <variable name="CityNumber" class="java.lang.Integer" incrementType="Group" incrementGroup="City" calculation="Count">
    <variableExpression><![CDATA[Boolean.TRUE]]></variableExpression>
  </variable>
  <variable name="Spread" class="java.lang.Double" calculation="StandardDeviation">
    <variableExpression><![CDATA[$F{AMOUNT}]]></variableExpression>
  </variable>
  <variable name="Cities" class="java.lang.Integer" calculation="DistinctCount">
    <variableExpression><![CDATA[$F{CITY}]]></variableExpression>
  </variable>
  <group name="City">
    <groupExpression><![CDATA[$F{CITY}]]></groupExpression>
    <groupHeader><band height="20">
      <textField evaluationTime="Group" evaluationGroup="City">
        <reportElement x="0" y="0" width="360" height="20"/>
        <textFieldExpression><![CDATA[$V{CityNumber} + ". " + $F{CITY} + " total " + $V{CityTotal}]]></textFieldExpression>
      </textField>
    </band></groupHeader>
  </group>
  <pageHeader><band height="20">
    <textField evaluationTime="Page">
      <reportElement x="0" y="0" width="360" height="20"/>
      <textFieldExpression><![CDATA["This page sums to " + $V{PageTotal}]]></textFieldExpression>
    </textField>
  </band></pageHeader>
  <detail><band height="30">
    <textField>
      <reportElement x="0" y="0" width="200" height="30"/>
      <textFieldExpression><![CDATA["Amount " + $F{AMOUNT}]]></textFieldExpression>
    </textField>
  </band></detail>
  <pageFooter><band height="20">
    <textField evaluationTime="Page">
      <reportElement x="0" y="0" width="100" height="20"/>
      <textFieldExpression><![CDATA["Page " + $V{PAGE_NUMBER} + " of"]]></textFieldExpression>
    </textField>
    <textField evaluationTime="Report">
      <reportElement x="100" y="0" width="100" height="20"/>
      <textFieldExpression><![CDATA[" " + $V{PAGE_NUMBER}]]></textFieldExpression>
    </textField>
    <textField evaluationTime="Auto">
      <reportElement x="200" y="0" width="160" height="20"/>
      <textFieldExpression><![CDATA["rows " + $V{PAGE_COUNT} + " of " + $V{REPORT_COUNT}]]></textFieldExpression>
    </textField>
  </band></pageFooter>
  <summary><band height="20">
    <textField>
      <reportElement x="0" y="0" width="360" height="20"/>
      <textFieldExpression><![CDATA["Cities " + $V{Cities} + " spread " + new java.text.DecimalFormat("0.00").format($V{Spread})]]></textFieldExpression>
    </textField>
  </band></summary>
</jasperReport>
"""


def pdf_pages_text(path):
    text = subprocess.run(["pdftotext", "-layout", path, "-"], check=True,
                          stdout=subprocess.PIPE).stdout.decode("utf-8")
    return [re.sub(r"\s+", " ", page).strip() for page in text.split("\f") if page.strip()]


class DelayedEvaluation(ReportCase):
    def test_group_and_page_totals_and_page_n_of_m(self):
        self.write_report("evaluation.jrxml", REPORT)
        result, _ = self.print_run(self.report_block("evaluation.jrxml") + ["PRINT"], rows=ROWS,
                                   fields=FIELDS)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual([e["pages"] for e in result.of("print")], [2], result.stderr)
        pages = pdf_pages_text(self.pdf)
        self.assertEqual(len(pages), 2, pages)
        # 210 points of room: header 20, footer 20, so the group header and
        # five rows of 30 fit on the first page.
        first, second = pages
        self.assertIn("This page sums to 31", first)
        self.assertIn("1. Aberdeen total 63", first)
        self.assertIn("Page 1 of 2", first)
        self.assertIn("rows 5 of 8", first)
        self.assertEqual(first.count("Amount"), 5, first)
        self.assertIn("This page sums to 332", second)
        self.assertIn("2. Lyon total 300", second)
        self.assertIn("Page 2 of 2", second)
        self.assertIn("rows 3 of 8", second)
        # The population's deviation of the eight amounts, and two cities.
        self.assertIn("Cities 2 spread 66.04", second)


if __name__ == "__main__":
    unittest.main()
