"""PRINT of the designer's crosstab samples: as they are, their crosstabs
running their sub-datasets for each row of the report, and with the
crosstabs moved over the report's own rows (the table holding the
sub-dataset's fields); every cell and total read back with pdftotext."""
import os
import re
import shutil
import unittest
import xml.etree.ElementTree as ET

from harness import RunCase, transfer_text
from test_report_designer import COLUMNS, NS, SAMPLES, pdf_text

CROSSTABS = os.path.join(SAMPLES, "crosstabs")
ET.register_namespace("", NS.strip("{}"))


def main_dataset_copy(source, target, replacements=()):
    """The report with its crosstab moved into the summary over the main rows:
    the sub-dataset's fields become the report's, the dataset run goes."""
    tree = ET.parse(source)
    root = tree.getroot()
    sub = root.find(NS + "subDataset")
    fields = sub.findall(NS + "field")
    root.remove(sub)
    at = list(root).index(root.find(NS + "field"))
    for i, f in enumerate(fields):
        root.insert(at + i, f)
    detail = root.find(NS + "detail")
    crosstab = detail.find(NS + "band").find(NS + "crosstab")
    root.remove(detail)
    crosstab.remove(crosstab.find(NS + "crosstabDataset"))
    crosstab.find(NS + "reportElement").set("y", "0")
    summary = ET.SubElement(root, NS + "summary")
    band = ET.SubElement(summary, NS + "band", height="40")
    band.append(crosstab)
    text = ET.tostring(root, encoding="unicode")
    for old, new in replacements:
        text = text.replace(old, new)
    with open(target, "w", encoding="utf-8") as out:
        out.write(text)
    return [(f.get("name"), f.get("class")) for f in root.findall(NS + "field")]


CUSTOMERS = [("Ann", "Lee"), ("Bob", "Ray"), ("Cid", "Moe")]


def products_rows():
    """Rows of customers buying products, several adding up in one cell,
    and the sums each (customer, product) cell shows."""
    products = ["Ink", "Pens", "Tape"]
    rows, cells = [], {}
    for c, (first, last) in enumerate(CUSTOMERS):
        for p, product in enumerate(products):
            if (c, p) == (1, 2):
                continue  # Bob bought no tape: an empty cell
            for n in range(c + 1):  # several rows add up in one cell
                qty = 10 * (c + 1) + p + n
                rows.append({"City": "Oslo", "FirstName": first, "LastName": last,
                             "Name": product, "Quantity": qty})
                cells[(c, p)] = cells.get((c, p), 0) + qty
    return rows, cells


TRUNCATED_DATES = [("CrosstabApp.truncateToYear($F{ShippedDate})",
                    "DATE(YEAR($F{ShippedDate}), 1, 1)"),
                   ("CrosstabApp.truncateToMonth($F{ShippedDate})",
                    "DATE(YEAR($F{ShippedDate}), MONTH($F{ShippedDate}), 1)")]
# An empty text is no Null in a transfer file: Lyon's region is "".
PLACES = [("WA", "Seattle"), ("WA", "Kirkland"), (None, "Lyon")]
SHIPMENT_FIELDS = [("ShippedDate", "java.sql.Timestamp"), ("ShipRegion", None),
                   ("ShipCity", None), ("Freight", "java.lang.Float")]


def shipments_rows(country):
    """Shipments to places on four dates, and each (city, month)'s freight."""
    dates = ["2025-03-04", "2025-03-20", "2025-07-01", "2026-01-15"]
    rows, sums = [], {}
    for i, (region, city) in enumerate(PLACES):
        for j, date in enumerate(dates):
            freight = 1.5 * (i + 1) + 10 * j
            rows.append({"ShipCountry": country, "ShipRegion": region, "ShipCity": city,
                         "ShippedDate": date, "Freight": freight})
            sums[(city, date[:7])] = sums.get((city, date[:7]), 0) + freight
    return rows, sums


@unittest.skipUnless(os.path.isdir(CROSSTABS), "the designer samples are not here")
class CrosstabSamples(RunCase):
    def print_rows(self, report, fields, rows):
        heads = []
        for name, cls in fields:
            kind, size, _ = COLUMNS[cls or "java.lang.String"]
            heads.append("%s/%s/%s" % (name, kind, size))
        values = []
        for row in rows:
            values += ["" if row.get(name) is None else str(row[name]) for name, _ in fields]
        script = ["REPORT = %s {" % os.path.basename(report),
                  "LOCATION = " + os.path.dirname(report), "OUTPUT = PRINTER", "}", "PRINT",
                  "EXIT"]
        self.pdf = os.path.join(self.dir, "printed.pdf")
        result, _ = self.run_transfer(transfer_text(heads, values, script),
                                      env=self.env(NORVAKEL_PDF_PRINTER=self.pdf))
        return result

    def printed(self, result):
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(len(result.of("print")), 1, result.stderr)
        return pdf_text(self.pdf)

    def check_products(self, lines, cells):
        """One printed products crosstab: a line per customer, then the totals."""
        for c, (first, last) in enumerate(CUSTOMERS):
            line = next(l for l in lines if "%s %s" % (first, last) in l)
            numbers = [int(n) for n in re.findall(r"\b\d+\b", line)]
            want = [cells[(c, p)] for p in range(3) if (c, p) in cells]
            want.append(sum(want))
            self.assertEqual(numbers, want, line)
        total = next(l for l in lines if "TOTAL" in l and re.search(r"\d", l))
        column_totals = [sum(v for (c, p), v in cells.items() if p == q) for q in range(3)]
        self.assertEqual([int(n) for n in re.findall(r"\b\d+\b", total)],
                         column_totals + [sum(cells.values())], total)

    def test_products_sample_runs_its_dataset_for_every_row(self):
        folder = os.path.join(self.dir, "samples")
        shutil.copytree(CROSSTABS, folder)
        rows, cells = products_rows()
        fields = [("City", None), ("Name", None), ("Quantity", "java.lang.Integer"),
                  ("FirstName", None), ("LastName", None)]
        text = self.printed(
            self.print_rows(os.path.join(folder, "ProductsReport.jrxml"), fields, rows))
        # The sub-dataset has no filter: every row's crosstab shows all the rows.
        parts = text.split("Number of orders by product and customer in Oslo")
        self.assertEqual(len(parts), len(rows) + 1)
        for part in (parts[1], parts[-1]):
            self.check_products(part.splitlines(), cells)

    def test_products_by_customer_with_totals(self):
        report = os.path.join(self.dir, "products.jrxml")
        fields = main_dataset_copy(os.path.join(CROSSTABS, "ProductsReport.jrxml"), report)
        rows, cells = products_rows()
        text = self.printed(self.print_rows(report, fields, rows))
        self.check_products(text.splitlines(), cells)

    def check_shipments(self, text, sums):
        """One printed shipments crosstab: cities by months and years."""
        self.assertRegex(text, r"Shipments total\s+freight")  # the header cell
        self.assertIn("USA Total", text)  # a crosstab parameter in the total row header
        for year in ("2025", "2026"):
            self.assertIn(year, text)
        lines = text.splitlines()
        months = ["2025-03", "2025-07", "2026-01"]
        for region, city in PLACES:
            line = next(l for l in lines if re.search(r"\b%s\b" % city, l))
            got = [float(n) for n in re.findall(r"\d+\.\d", line)]
            per_month = [sums[(city, m)] for m in months]
            # Months, each year's total, the city's total.
            want = per_month[:2] + [sum(per_month[:2])] + per_month[2:] + [per_month[2],
                                                                           sum(per_month)]
            self.assertEqual(got, [round(w, 1) for w in want], line)
        grand = sum(sums.values())
        self.assertIn("%.1f" % grand, text)
        # The country's total row: each column's share of the whole.
        shares = re.findall(r"\((\d+)%\)", text)
        year_2025 = sum(v for (c, m), v in sums.items() if m.startswith("2025"))
        self.assertIn(str(round(100 * year_2025 / grand)), shares)
        self.assertEqual(shares[-1], "100")
        # Month headers, each year's total header ("2025 Total", wrapped) after its months.
        self.assertRegex(text, r"Mar\s+Jul\s+2025\s+Jan\s+2026\n\s+Total\s+Total")

    def test_shipments_by_region_city_year_and_month(self):
        report = os.path.join(self.dir, "shipments.jrxml")
        fields = main_dataset_copy(os.path.join(CROSSTABS, "ShipmentsReport.jrxml"), report,
                                   TRUNCATED_DATES)
        rows, sums = shipments_rows("USA")
        self.check_shipments(self.printed(self.print_rows(report, fields, rows)), sums)

    def test_shipments_sample_runs_its_dataset_for_every_row(self):
        report = os.path.join(self.dir, "shipments.jrxml")
        with open(os.path.join(CROSSTABS, "ShipmentsReport.jrxml"), encoding="utf-8") as f:
            text = f.read()
        for old, new in TRUNCATED_DATES:
            text = text.replace(old, new)
        with open(report, "w", encoding="utf-8") as out:
            out.write(text)
        rows, sums = shipments_rows("USA")
        fields = [("ShipCountry", None)] + SHIPMENT_FIELDS
        printed = self.printed(self.print_rows(report, fields, rows))
        parts = printed.split("Shipments to USA")
        self.assertEqual(len(parts), len(rows) + 1)
        self.check_shipments(parts[1], sums)
        self.check_shipments(parts[-1], sums)

    def test_shipments_dataset_filtered_by_the_rows_country(self):
        # The sub-dataset keeps the rows of the country its parameter names.
        report = os.path.join(self.dir, "filtered.jrxml")
        with open(os.path.join(CROSSTABS, "ShipmentsReport.jrxml"), encoding="utf-8") as f:
            text = f.read()
        for old, new in TRUNCATED_DATES + [
                ('<field name="Freight" class="java.lang.Float"/>',
                 '<field name="Freight" class="java.lang.Float"/>'
                 '<field name="ShipCountry" class="java.lang.String"/>'
                 '<filterExpression>$F{ShipCountry}.equals($P{Country})</filterExpression>')]:
            self.assertIn(old, text)
            text = text.replace(old, new, 1)
        with open(report, "w", encoding="utf-8") as out:
            out.write(text)
        usa, usa_sums = shipments_rows("USA")
        france = [dict(r, ShipCountry="France", Freight=r["Freight"] + 1000) for r in usa]
        fields = [("ShipCountry", None)] + SHIPMENT_FIELDS
        printed = self.printed(self.print_rows(report, fields, usa + france))
        usa_parts = [p.split("Shipments to France")[0] for p in printed.split("Shipments to USA")]
        self.assertEqual(len(usa_parts), len(usa) + 1)
        self.check_shipments(usa_parts[1], usa_sums)
        self.assertNotIn("1001.5", usa_parts[1])
        french = printed.split("Shipments to France")[1]
        self.assertIn("France Total", french)
        self.assertNotIn("USA Total", french)
        self.assertIn("%.1f" % sum(r["Freight"] for r in france), french)

if __name__ == "__main__":
    unittest.main()
