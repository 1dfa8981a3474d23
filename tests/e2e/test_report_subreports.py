"""PRINT of reports with subreports: the designer samples inside a master of
our own, master/detail over two tables of one Access file and of one dBASE
folder, the bundled example, and a subreport that includes itself. The pages
are read back with pdftotext."""
import os
import re
import shutil
import unittest

from harness import RunCase, transfer_text
from test_report_designer import SAMPLES, pdf_text

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "..", "examples")
JR = ('<jasperReport xmlns="http://jasperreports.sourceforge.net/jasperreports" name="%s" '
      'pageWidth="595" pageHeight="%d" columnWidth="555" leftMargin="20" rightMargin="20" '
      'topMargin="20" bottomMargin="20">')


def text_field(expression, x=0, y=0, width=300, height=12, extra=""):
    return ('<textField><reportElement x="%d" y="%d" width="%d" height="%d" %s/>'
            '<textFieldExpression><![CDATA[%s]]></textFieldExpression></textField>'
            % (x, y, width, height, extra, expression))


def lines_between(text, start, end):
    """The lines of `text` from the one holding `start` up to the one holding `end`."""
    lines = text.splitlines()
    first = next(i for i, line in enumerate(lines) if start in line)
    last = next(i for i in range(first + 1, len(lines)) if end in lines[i])
    return lines[first:last]


class SubreportCase(RunCase):
    def setUp(self):
        super().setUp()
        self.reports = os.path.join(self.dir, "reports")
        self.pdf = os.path.join(self.dir, "printed.pdf")

    def print_rows(self, fields, rows, script):
        values = [v for row in rows for v in row]
        result, _ = self.run_transfer(transfer_text(fields, values, script),
                                      env=self.env(NORVAKEL_PDF_PRINTER=self.pdf))
        return result

    def report_block(self, name):
        return ["REPORT = %s {" % name, "LOCATION = " + self.reports, "OUTPUT = PRINTER", "}",
                "PRINT"]

    def write(self, name, text):
        with open(os.path.join(self.reports, name), "w", encoding="utf-8") as f:
            f.write(text)

    def assertPrinted(self, result):
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(len(result.of("print")), 1, result.stderr)
        return pdf_text(self.pdf)


ADDRESS_FIELDS = ["Id/4/4", "FirstName/10/30", "LastName/10/30", "Street/10/40", "City/10/30"]
ADDRESSES = [("1", "Anna", "Berg", "Kirchgasse 1", "Bern"),
             ("2", "Bruno", "Keller", "Marktplatz 7", "Bern"),
             ("3", "Carla", "Rossi", "Via Nassa 3", "Lugano"),
             ("4", "Dario", "Conti", "Riva Caccia 9", "Lugano"),
             ("5", "Emil", "Frei", "Bahnhofstrasse 2", "Lugano"),
             ("6", "Fanny", "Weber", "Rue du Lac 4", "Vevey")]

# A master of our own over the addresses, one group per city, printing the
# designer's subreport (named by its compiled name) in the group header.
CITY_MASTER = (JR % ("Cities", 842) + """
  <field name="City" class="java.lang.String"/>
  <variable name="People" class="java.lang.Integer" calculation="System"/>
  <group name="CityGroup"><groupExpression><![CDATA[$F{City}]]></groupExpression>
    <groupHeader><band height="40">""" + text_field('"City: " + $F{City}') + """
      <subreport><reportElement x="20" y="14" width="175" height="20"/>
        <subreportParameter name="City"><subreportParameterExpression><![CDATA[$F{City}]]>
        </subreportParameterExpression></subreportParameter>
        <returnValue subreportVariable="REPORT_COUNT" toVariable="People" calculation="Sum"/>
        <subreportExpression><![CDATA["%s"]]></subreportExpression></subreport>
      </band></groupHeader></group>
  <summary><band height="20">""" + text_field('"People: " + $V{People}') + """</band></summary>
</jasperReport>""")


@unittest.skipUnless(os.path.isdir(SAMPLES), "the designer samples are not here")
class DesignerSubreports(SubreportCase):
    def copy_sample(self, folder, name, field_class="java.lang.String"):
        """Copies a sample folder; the sample's query on City becomes a filter."""
        shutil.copytree(os.path.join(SAMPLES, folder), self.reports)
        path = os.path.join(self.reports, name)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        # What the sample's SQL selected (WHERE City = $P{City}) is a filter over
        # the run's table here, which holds the city too.
        text = text.replace("<queryString>", '<field name="City" class="%s"/>'
                            '<filterExpression><![CDATA[$F{City}.equals($P{City})]]>'
                            '</filterExpression><queryString>' % field_class, 1)
        return path, text

    def test_address_subreport_under_each_city(self):
        path, text = self.copy_sample("subreport", "AddressReport.jrxml")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        self.write("cities.jrxml", CITY_MASTER % "AddressReport.jasper")
        text = self.assertPrinted(self.print_rows(ADDRESS_FIELDS, ADDRESSES,
                                                  self.report_block("cities.jrxml")))
        bern = "\n".join(lines_between(text, "City: Bern", "City: Lugano"))
        lugano = "\n".join(lines_between(text, "City: Lugano", "City: Vevey"))
        self.assertIn("Addresses in Bern", bern)
        self.assertIn("Anna Berg", bern)
        self.assertIn("Bruno Keller", bern)
        self.assertNotIn("Carla", bern)
        for name in ("Carla Rossi", "Dario Conti", "Emil Frei"):
            self.assertIn(name, lugano)
        self.assertNotIn("Fanny", lugano)
        self.assertRegex(bern, r"Count :\s+2")
        self.assertRegex(lugano, r"Count :\s+3")
        vevey = text[text.index("City: Vevey"):]
        self.assertIn("Fanny Weber", vevey)
        # Column header and footer are printed inside; page header and footer are not.
        self.assertEqual(text.count("Column Footer"), 3, text)
        self.assertNotIn("Page Header", text)
        self.assertNotIn("Page Footer", text)
        self.assertIn("People: 6", text)

    def test_product_subreport_with_groups_and_no_data_section(self):
        path, text = self.copy_sample("subreport", "ProductReport.jrxml")
        # Several columns and group evaluation times are not this test's subject.
        text = text.replace('columnCount="2"', 'columnCount="1"').replace(
            'columnSpacing="5"', 'columnSpacing="0"')
        text = re.sub(r' evaluationTime="Group" evaluationGroup="ProductGroup"', "", text)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        self.write("cities.jrxml", (CITY_MASTER % "ProductReport.jrxml").replace(
            '<returnValue subreportVariable="REPORT_COUNT" toVariable="People" '
            'calculation="Sum"/>', ""))
        fields = ["Id/4/4", "Name/10/30", "Quantity/7/8", "Price/7/8", "City/10/30"]
        rows = [("1", "Chair", "2", "10", "Bern"), ("1", "Chair", "3", "10", "Bern"),
                ("7", "Lamp", "1", "25", "Bern"), ("2", "Table", "1", "90", "Lugano")]
        text = self.assertPrinted(self.print_rows(fields, rows, self.report_block("cities.jrxml")))
        bern = "\n".join(lines_between(text, "City: Bern", "City: Lugano"))
        self.assertIn("Products ordered by people in Bern", bern)
        self.assertRegex(bern, r"Chair")
        self.assertRegex(bern, r"Lamp")
        self.assertNotIn("Table", bern)
        self.assertRegex(bern, r"Total :\s+6\s+45\.00")
        lugano = text[text.index("City: Lugano"):]
        self.assertIn("Table", lugano)
        self.assertRegex(lugano, r"Total :\s+1\s+90\.00")


    def test_list_component_over_a_sub_dataset(self):
        path, text = self.copy_sample("list", "ListReport.jrxml")
        # Several columns are not this test's subject.
        text = text.replace('columnCount="2"', 'columnCount="1"').replace(
            'columnSpacing="15"', 'columnSpacing="0"')
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        rows = [r for r in ADDRESSES if r[4] != "Vevey"]
        text = self.assertPrinted(self.print_rows(ADDRESS_FIELDS, rows,
                                                  self.report_block("ListReport.jrxml")))
        # One detail band per row of the main table, each with its city's list.
        self.assertEqual(text.count("Anna Berg"), 2, text)
        self.assertEqual(text.count("Emil Frei"), 3, text)
        lines = [line.strip() for line in text.splitlines() if line.strip()]
        cities = [i for i, line in enumerate(lines) if line.split()[0] in ("Bern", "Lugano")]
        self.assertEqual(len(cities), 5, lines)
        for start, end in zip(cities, cities[1:] + [len(lines)]):
            block = " ".join(lines[start:end])
            wanted = [r for r in rows if r[4] == lines[start].split()[0]]
            for row in ADDRESSES:
                self.assertEqual("%s %s" % (row[1], row[2]) in block, row in wanted, block)


# The master lists orders from ORDERS; the subreport lists each order's rows of
# LINES, a second table of the same destination, and returns their total.
ORDER_FIELDS = ["ORDER_ID/4/4", "CUSTOMER/10/40", "ITEM/10/40", "QTY/4/4", "PRICE/7/8"]
ORDER_ROWS = [("11", "Harbour", "rope", "4", "2.5"), ("11", "Harbour", "cleat", "2", "1"),
              ("12", "Brandt", "plank", "10", "3"),
              ("13", "Lumiere", "cups", "1", "7"), ("13", "Lumiere", "saucers", "2", "4")]


class MasterDetail(SubreportCase):
    def write_reports(self, master_table):
        os.mkdir(self.reports)
        table = ('<property name="norvakel.table" value="%s"/>' % master_table
                 if master_table else "")
        self.write("orders.jrxml", JR % ("orders", 842) + table + """
  <field name="ORDER_ID" class="java.lang.Integer"/><field name="CUSTOMER" class="java.lang.String"/>
  <variable name="All" class="java.lang.Double" calculation="System"/>
  <group name="O"><groupExpression><![CDATA[$F{ORDER_ID}]]></groupExpression>
    <groupHeader><band height="30">""" + text_field('"ORDER " + $F{ORDER_ID} + " " + $F{CUSTOMER}') + """
      <subreport><reportElement x="40" y="14" width="300" height="12"/>
        <parametersMapExpression>$P{REPORT_PARAMETERS_MAP}</parametersMapExpression>
        <subreportParameter name="Id"><subreportParameterExpression>$F{ORDER_ID}</subreportParameterExpression></subreportParameter>
        <returnValue subreportVariable="Sum" toVariable="All" calculation="Sum"/>
        <subreportExpression>"lines.jrxml"</subreportExpression></subreport>
    </band></groupHeader></group>
  <summary><band height="14">""" + text_field('"ALL " + $V{All}') + """</band></summary>
</jasperReport>""")
        self.write("lines.jrxml", JR % ("lines", 842) + """
  <property name="norvakel.table" value="LINES"/>
  <parameter name="Id" class="java.lang.Integer"/>
  <field name="ORDER_ID" class="java.lang.Integer"/><field name="ITEM" class="java.lang.String"/>
  <field name="QTY" class="java.lang.Integer"/><field name="PRICE" class="java.lang.Double"/>
  <filterExpression>$F{ORDER_ID} == $P{Id}</filterExpression>
  <variable name="Sum" class="java.lang.Double" calculation="Sum">
    <variableExpression>$F{QTY} * $F{PRICE}</variableExpression></variable>
  <detail><band height="12">""" + text_field('"line " + $F{ITEM} + " of " + $F{ORDER_ID}') + """</band></detail>
  <summary><band height="12">""" + text_field('"sum " + $V{Sum}') + """</band></summary>
</jasperReport>""")

    def check_pages(self, text):
        for order, items, total in (("11", ("rope", "cleat"), "12.0"), ("12", ("plank",), "30.0"),
                                    ("13", ("cups", "saucers"), "15.0")):
            following = str(int(order) + 1)
            end = "ORDER " + following if following != "14" else "ALL "
            block = "\n".join(lines_between(text, "ORDER " + order, end))
            for item in items:
                self.assertIn("line %s of %s" % (item, order), block)
            self.assertEqual(block.count("line "), len(items), block)
            self.assertIn("sum " + total, block)
        self.assertIn("ALL 57.0", text)

    def access_export(self):
        out = os.path.join(self.dir, "out")
        return ["EXPORT = SHOP {", "TYPE = MS/ACCESS", "LOCATION = " + out, "TABLE = LINES",
                "}", "SAVE quiet", "EXPORT = SHOP {", "TABLE = ORDERS", "}", "SAVE quiet"]

    def test_two_tables_of_one_access_file(self):
        self.write_reports("ORDERS")
        self.check_pages(self.assertPrinted(self.print_rows(
            ORDER_FIELDS, ORDER_ROWS, self.access_export() + self.report_block("orders.jrxml"))))

    def test_two_tables_of_one_dbase_folder(self):
        # The destination's last table is the master's; LINES.DBF is beside it.
        self.write_reports("")
        out = os.path.join(self.dir, "out")
        script = ["EXPORT = LINES {", "TYPE = DBASE IV", "LOCATION = " + out, "TABLE = LINES",
                  "}", "SAVE quiet", "EXPORT = ORDERS {", "TABLE = ORDERS", "}",
                  "SAVE quiet"]
        self.check_pages(self.assertPrinted(self.print_rows(
            ORDER_FIELDS, ORDER_ROWS, script + self.report_block("orders.jrxml"))))

    def test_long_detail_breaks_over_pages(self):
        self.write_reports("ORDERS")
        rows = [("21", "Big", "item %03d" % i, "1", "1") for i in range(150)]
        text = self.assertPrinted(self.print_rows(
            ORDER_FIELDS, rows, self.access_export() + self.report_block("orders.jrxml")))
        pages = text.split("\f")
        self.assertGreater(len([p for p in pages if p.strip()]), 2)
        for i in range(150):
            self.assertEqual(text.count("line item %03d of 21" % i), 1, i)
        self.assertIn("ALL 150.0", pages[-2] if not pages[-1].strip() else pages[-1])

    def test_a_subreport_that_includes_itself_stops_the_print(self):
        self.write_reports("")
        with open(os.path.join(self.reports, "orders.jrxml"), encoding="utf-8") as f:
            master = f.read()
        self.write("lines.jrxml", master.replace('"lines.jrxml"', '"LINES.jasper"'))
        result = self.print_rows(ORDER_FIELDS, ORDER_ROWS, self.report_block("orders.jrxml"))
        self.assertEqual(result.code, 1, result.stderr)
        self.assertIn("includes itself", result.messages[-1]["text"])
        self.assertFalse(os.path.exists(self.pdf))


class Example(SubreportCase):
    def test_the_order_lines_example(self):
        with open(os.path.join(EXAMPLES, "order_lines.nvk"), encoding="utf-8") as f:
            transfer = f.read()
        path = self.write_transfer(transfer.replace("\r\n", "\n").replace("\n", "\r\n"))
        result = self.run_program(path, env=self.env(NORVAKEL_PDF_PRINTER=self.pdf,
                                                     NORVAKEL_EXAMPLES=EXAMPLES))
        text = self.assertPrinted(result)
        harbour = "\n".join(lines_between(text, "Order 3001", "Order 3002"))
        for line in ("Mooring rope, 20 m", "Brass cleat", "Fender, large"):
            self.assertIn(line, harbour)
        self.assertNotIn("Oak plank", harbour)
        self.assertIn("Order total 337.00", harbour)
        self.assertIn("All orders 843.70", text)


if __name__ == "__main__":
    unittest.main()
