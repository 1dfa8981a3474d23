#!/usr/bin/env python3
"""Sorted report benchmark: a whole run that loads N rows and prints a report
that sorts them (city, then amount descending), groups them by city, and has
styles, a frame and an image on every page, to a PDF file (the PDF printer).
Prints the run's time (wall clock and CPU) and peak memory beside a load-only
run of the same file.

usage: report_sort_bench.py [--rows 100000] [--bin build/norvakel]
"""
import os
import struct
import zlib

from report_bench import arguments, bench_report

REPORT = """<?xml version="1.0" encoding="UTF-8"?>
<jasperReport xmlns="http://jasperreports.sourceforge.net/jasperreports" name="SortedOrders"
  pageWidth="595" pageHeight="842" columnWidth="555" leftMargin="20" rightMargin="20"
  topMargin="20" bottomMargin="20">
  <style name="Base" isDefault="true" fontName="DejaVu Sans" fontSize="9"/>
  <style name="Head" style="Base" fontSize="12" isBold="true" forecolor="#1F3864"
    backcolor="#D9E2F3" mode="Opaque"/>
  <style name="Money" style="Base" hTextAlign="Right" pattern="#,##0.00">
    <conditionalStyle><conditionExpression><![CDATA[$F{AMOUNT} > 9000]]></conditionExpression>
      <style forecolor="#C00000" isBold="true"/></conditionalStyle>
  </style>
  <field name="ORDER_ID" class="java.lang.Integer"/>
  <field name="CUSTOMER" class="java.lang.String"/>
  <field name="CITY" class="java.lang.String"/>
  <field name="AMOUNT" class="java.lang.Double"/>
  <field name="ORDERED" class="java.util.Date"/>
  <sortField name="CITY"/>
  <sortField name="AMOUNT" order="Descending"/>
  <variable name="CityTotal" class="java.lang.Double" resetType="Group" resetGroup="City"
    calculation="Sum"><variableExpression><![CDATA[$F{AMOUNT}]]></variableExpression></variable>
  <group name="City">
    <groupExpression><![CDATA[$F{CITY}]]></groupExpression>
    <groupHeader><band height="22">
      <textField><reportElement style="Head" x="0" y="2" width="555" height="18"/>
        <textFieldExpression><![CDATA[$F{CITY}]]></textFieldExpression></textField>
    </band></groupHeader>
    <groupFooter><band height="16">
      <textField><reportElement style="Money" x="355" y="0" width="200" height="14"/>
        <textFieldExpression><![CDATA[$V{CityTotal}]]></textFieldExpression></textField>
    </band></groupFooter>
  </group>
  <pageHeader><band height="40">
    <frame><reportElement mode="Opaque" backcolor="#F2F2F2" x="0" y="0" width="555" height="36"/>
      <box><pen lineWidth="0.5" lineColor="#808080"/></box>
      <image><reportElement x="4" y="4" width="28" height="28"/>
        <imageExpression><![CDATA["logo.png"]]></imageExpression></image>
      <staticText><reportElement style="Head" x="40" y="8" width="300" height="20"/>
        <text><![CDATA[Orders by city]]></text></staticText>
    </frame>
  </band></pageHeader>
  <detail><band height="14">
    <textField><reportElement x="0" y="0" width="60" height="14"/>
      <textFieldExpression><![CDATA[$F{ORDER_ID}]]></textFieldExpression></textField>
    <textField><reportElement x="60" y="0" width="220" height="14"/>
      <textFieldExpression><![CDATA[$F{CUSTOMER}]]></textFieldExpression></textField>
    <textField pattern="dd.MM.yyyy"><reportElement x="280" y="0" width="75" height="14"/>
      <textFieldExpression><![CDATA[$F{ORDERED}]]></textFieldExpression></textField>
    <textField><reportElement style="Money" x="355" y="0" width="200" height="14"/>
      <textFieldExpression><![CDATA[$F{AMOUNT}]]></textFieldExpression></textField>
  </band></detail>
  <pageFooter><band height="16">
    <textField><reportElement x="455" y="0" width="100" height="14"/>
      <textFieldExpression><![CDATA["Page " + $V{PAGE_NUMBER}]]></textFieldExpression></textField>
  </band></pageFooter>
</jasperReport>
"""


def write_png(path, size=64):
    """A small RGB picture with a gradient, written without other modules."""
    rows = b"".join(b"\0" + bytes(v for x in range(size) for v in (x * 4, y * 4, 128))
                    for y in range(size))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2,
                                                                  0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def main():
    rows, binary = arguments()

    def prepare(work):
        with open(os.path.join(work, "SORTED.JRXML"), "w", encoding="utf-8") as f:
            f.write(REPORT)
        write_png(os.path.join(work, "logo.png"))

    def leftovers(work):
        left = [n for n in os.listdir(work) if n.startswith("norvakel-sort-")]
        if left:
            print("temporary files left behind: %d" % len(left))

    bench_report(rows, binary, "sorted.jrxml", prepare, "sorted report", leftovers)


if __name__ == "__main__":
    main()
