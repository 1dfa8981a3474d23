#!/usr/bin/env python3
"""Crosstab and chart benchmark: a whole run that loads N rows and prints a
report grouped by city (the rows sorted by city) with a bar chart of each
city's amounts by month in every group footer, and a crosstab of 50 customer
groups by 12 months, with totals, in the summary. Crosstab and chart data are
aggregated as the rows go by, so memory should not grow with the rows.
Prints the run's time (wall clock and CPU) and peak memory beside a load-only
run of the same file.

usage: report_crosstab_bench.py [--rows 100000] [--bin build/norvakel]
"""
import os

from report_bench import arguments, bench_report

CELL = ('<textField pattern="#,##0"><reportElement x="0" y="0" width="36" height="10"/>'
        '<textElement textAlignment="Right"/><textFieldExpression><![CDATA[$V{Amount}]]>'
        '</textFieldExpression></textField>')

REPORT = """<?xml version="1.0" encoding="UTF-8"?>
<jasperReport xmlns="http://jasperreports.sourceforge.net/jasperreports" name="CrosstabOrders"
  pageWidth="595" pageHeight="842" columnWidth="555" leftMargin="20" rightMargin="20"
  topMargin="20" bottomMargin="20">
  <style name="Base" isDefault="true" fontName="SansSerif" fontSize="7"/>
  <field name="ORDER_ID" class="java.lang.Integer"/>
  <field name="CUSTOMER" class="java.lang.String"/>
  <field name="CITY" class="java.lang.String"/>
  <field name="AMOUNT" class="java.lang.Double"/>
  <field name="ORDERED" class="java.util.Date"/>
  <sortField name="CITY"/>
  <group name="City">
    <groupExpression><![CDATA[$F{CITY}]]></groupExpression>
    <groupHeader><band height="16">
      <textField><reportElement x="0" y="2" width="555" height="12"/>
        <textElement><font size="10" isBold="true"/></textElement>
        <textFieldExpression><![CDATA[$F{CITY}]]></textFieldExpression></textField>
    </band></groupHeader>
    <groupFooter><band height="160">
      <barChart><chart evaluationTime="Group" evaluationGroup="City">
        <reportElement x="0" y="0" width="555" height="150"/>
        <chartTitle><titleExpression><![CDATA["Amounts of " + $F{CITY}]]></titleExpression></chartTitle>
        <chartLegend/></chart>
        <categoryDataset><dataset resetType="Group" resetGroup="City"/>
          <categorySeries><seriesExpression><![CDATA[$F{CITY}]]></seriesExpression>
            <categoryExpression><![CDATA[MONTH($F{ORDERED})]]></categoryExpression>
            <valueExpression><![CDATA[$F{AMOUNT}]]></valueExpression></categorySeries>
        </categoryDataset>
        <barPlot><plot/><valueAxisFormat><axisFormat tickLabelMask="#,##0"/></valueAxisFormat>
        </barPlot></barChart>
    </band></groupFooter>
  </group>
  <detail><band height="11">
    <textField><reportElement x="0" y="0" width="60" height="11"/>
      <textFieldExpression><![CDATA[$F{ORDER_ID}]]></textFieldExpression></textField>
    <textField><reportElement x="60" y="0" width="220" height="11"/>
      <textFieldExpression><![CDATA[$F{CUSTOMER}]]></textFieldExpression></textField>
    <textField pattern="#,##0.00"><reportElement x="355" y="0" width="200" height="11"/>
      <textElement textAlignment="Right"/>
      <textFieldExpression><![CDATA[$F{AMOUNT}]]></textFieldExpression></textField>
  </band></detail>
  <summary><band height="40">
    <crosstab><reportElement x="0" y="0" width="555" height="40"/>
      <rowGroup name="Customers" width="60" totalPosition="End">
        <bucket class="java.lang.String"><bucketExpression><![CDATA["Group " + ($F{ORDER_ID} % 50 + 10)]]></bucketExpression></bucket>
        <crosstabRowHeader><cellContents><textField><reportElement x="0" y="0" width="60" height="10"/>
          <textFieldExpression><![CDATA[$V{Customers}]]></textFieldExpression></textField></cellContents></crosstabRowHeader>
        <crosstabTotalRowHeader><cellContents><staticText><reportElement x="0" y="0" width="60" height="10"/>
          <text>Total</text></staticText></cellContents></crosstabTotalRowHeader>
      </rowGroup>
      <columnGroup name="Month" height="10" totalPosition="End">
        <bucket class="java.lang.Integer"><bucketExpression><![CDATA[MONTH($F{ORDERED})]]></bucketExpression></bucket>
        <crosstabColumnHeader><cellContents><textField><reportElement x="0" y="0" width="36" height="10"/>
          <textFieldExpression><![CDATA[$V{Month}]]></textFieldExpression></textField></cellContents></crosstabColumnHeader>
        <crosstabTotalColumnHeader><cellContents><staticText><reportElement x="0" y="0" width="36" height="10"/>
          <text>Total</text></staticText></cellContents></crosstabTotalColumnHeader>
      </columnGroup>
      <measure name="Amount" class="java.lang.Double" calculation="Sum">
        <measureExpression><![CDATA[$F{AMOUNT}]]></measureExpression></measure>
      <crosstabCell width="36" height="10"><cellContents>@CELL@</cellContents></crosstabCell>
      <crosstabCell width="36" columnTotalGroup="Month"><cellContents>@CELL@</cellContents></crosstabCell>
      <crosstabCell rowTotalGroup="Customers"><cellContents>@CELL@</cellContents></crosstabCell>
      <crosstabCell rowTotalGroup="Customers" columnTotalGroup="Month"><cellContents>@CELL@</cellContents></crosstabCell>
    </crosstab>
  </band></summary>
</jasperReport>
""".replace("@CELL@", CELL)


def main():
    rows, binary = arguments()

    def prepare(work):
        with open(os.path.join(work, "CROSSTAB.JRXML"), "w", encoding="utf-8") as f:
            f.write(REPORT)

    bench_report(rows, binary, "crosstab.jrxml", prepare, "crosstab report")


if __name__ == "__main__":
    main()
