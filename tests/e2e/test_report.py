"""PRINT: reports printed to a PDF printer and read back, the preview window,
and every failure of the report printer, end to end."""
import os
import shutil
import subprocess
import unittest

from harness import RunCase, binary, transfer_text

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "..", "examples")
FIELDS = ["ORDER_ID/4/4", "CUSTOMER/10/40", "CITY/10/30", "AMOUNT/7/8", "ORDERED/8/8"]
ROWS = [("1001", "Harbour Supplies Ltd", "Aberdeen", "120.5", "2026-11-02"),
        ("1002", "North Ridge Farms", "Aberdeen", "15000", "2026-11-09"),
        ("1003", "Brandt & Söhne", "Köln", "89.5", "2026-11-03"),
        ("1004", "Café Lumière", "Lyon", "", "2026-11-05")]
ENGINE_CAPTION = "Norvakel(Report Error)"


def values(rows):
    return [v for row in rows for v in row]


def pdf_text(path):
    return subprocess.run(["pdftotext", "-layout", path, "-"], check=True,
                          stdout=subprocess.PIPE).stdout.decode("utf-8")


def pdf_pages(path):
    out = subprocess.run(["pdfinfo", path], check=True, stdout=subprocess.PIPE).stdout.decode()
    return int([line for line in out.splitlines() if line.startswith("Pages:")][0].split()[1])


def pdf_page_pixels(path, page=1):
    """Page `page` rendered at 36 dpi: (width, height, bytes of RGB triples)."""
    ppm = subprocess.run(["pdftoppm", "-r", "36", "-f", str(page), "-l", str(page), path],
                         check=True, stdout=subprocess.PIPE).stdout
    parts = ppm.split(b"\n", 3)  # P6, width height, 255, pixels
    width, height = map(int, parts[1].split())
    return width, height, parts[3]


class ReportCase(RunCase):
    def setUp(self):
        super().setUp()
        self.reports = os.path.join(self.dir, "reports")
        os.mkdir(self.reports)
        for name in ("orders_list.jrxml", "orders_by_city.jrxml"):
            shutil.copy(os.path.join(EXAMPLES, name), self.reports)
        self.pdf = os.path.join(self.dir, "printed.pdf")

    def report_block(self, name, *lines, output="PRINTER"):
        return (["REPORT = %s {" % name, "LOCATION = " + self.reports, "OUTPUT = " + output]
                + list(lines) + ["}"])

    def print_run(self, script, rows=ROWS, fields=FIELDS, printer=True, **env):
        extra = {"NORVAKEL_PDF_PRINTER": self.pdf} if printer else {}
        extra.update(env)
        return self.run_transfer(transfer_text(fields, values(rows), script),
                                 env=self.env(**extra))

    def write_report(self, name, text):
        with open(os.path.join(self.reports, name), "w", encoding="utf-8") as f:
            f.write(text)

    def assertEngineError(self, result, text_part):
        msgs = result.messages
        self.assertTrue(msgs, result.stderr)
        self.assertEqual(msgs[-1]["caption"], ENGINE_CAPTION, result.stderr)
        self.assertEqual(msgs[-1]["icon"], "information")
        self.assertIn(text_part, msgs[-1]["text"])
        self.assertEqual(result.code, 1)


class PrintedReports(ReportCase):
    def test_list_report_prints_every_row_title_and_formula(self):
        script = self.report_block("orders_list.jrxml", 'SET Period = "Quarter 4"',
                                   "SET ReportTitle = 'Open orders'") + ["PRINT", "EXIT"]
        result, transfer = self.print_run(script)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertFalse(os.path.exists(transfer))
        self.assertEqual(result.of("print"),
                         [{"event": "print", "printer": self.pdf, "copies": 1, "pages": 1}])
        text = pdf_text(self.pdf)
        self.assertIn("Open orders", text)
        self.assertIn("Period: Quarter 4", text)
        for row in ROWS:
            self.assertIn(row[1], text)
        self.assertIn("15,000.00", text)
        self.assertIn("09/11/2026", text)
        self.assertIn("4 orders", text)
        self.assertIn("15,210.00", text)  # the null amount is left out of the sum
        self.assertIn("Page 1 of 1", text)
        # Status shown before the engine, and the run never reaches EXIT's own end.
        self.assertEqual(result.statuses[-1], "Loading Report Engine ...")

    def test_rejected_formula_keeps_default_and_run_goes_on(self):
        script = self.report_block("orders_list.jrxml", 'SET Period = "unterminated',
                                   "SET NoSuchParameter = 1", "SET Period2 = 2") + ["PRINT"]
        result, _ = self.print_run(script)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertIn("Period: all periods", pdf_text(self.pdf))

    def test_formulas_are_set_in_order_the_last_one_wins(self):
        sets = ['SET Period = "p%d"' % i for i in range(1, 21)]
        script = self.report_block("orders_list.jrxml", *sets) + ["PRINT"]
        result, _ = self.print_run(script)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertIn("Period: p20", pdf_text(self.pdf))

    def test_copies_all_go_into_the_pdf_printer(self):
        script = self.report_block("orders_list.jrxml", "COPIES = 3.7") + ["PRINT"]
        result, _ = self.print_run(script)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(result.of("print")[0]["copies"], 3)
        self.assertEqual(result.of("print")[0]["pages"], 1)
        self.assertEqual(pdf_pages(self.pdf), 3)

    def test_grouped_report_headers_and_sums(self):
        script = self.report_block("orders_by_city.jrxml") + ["PRINT"]
        result, _ = self.print_run(script)
        self.assertEqual(result.code, 0, result.stderr)
        text = pdf_text(self.pdf)
        self.assertIn("Orders by city 2026", text)
        self.assertIn("City: ABERDEEN", text)
        self.assertIn("City: KÖLN", text)
        self.assertIn("City: LYON", text)
        self.assertIn("2 orders in Aberdeen", text)
        self.assertIn("15,120.50", text)
        self.assertIn("1 order in Köln", text)
        self.assertIn("Grand total of 4 orders", text)
        self.assertIn("15,210.00", text)
        self.assertLess(text.index("City: ABERDEEN"), text.index("North Ridge Farms"))
        self.assertLess(text.index("15,120.50"), text.index("City: KÖLN"))
        # The page as drawn: A4 at 36 dpi, the group headers' shaded bars, ink on the page.
        width, height, pixels = pdf_page_pixels(self.pdf)
        self.assertEqual((width, height), (298, 421))
        triples = [tuple(pixels[i:i + 3]) for i in range(0, len(pixels), 3)]
        shaded = sum(1 for t in triples if abs(t[0] - 0xE6) < 6 and abs(t[1] - 0xEC) < 6
                     and abs(t[2] - 0xF5) < 6)
        dark = sum(1 for t in triples if max(t) < 100)
        self.assertGreater(shaded, 3 * 200)  # three bars, each about 268 x 10 pixels
        self.assertGreater(dark, 500)

    def test_multi_page_report_numbers_its_pages(self):
        rows = [(str(5000 + i), "Customer %04d" % i, "City", str(i), "2026-01-01")
                for i in range(400)]
        script = self.report_block("orders_list.jrxml") + ["PRINT"]
        result, _ = self.print_run(script, rows=rows)
        self.assertEqual(result.code, 0, result.stderr)
        pages = result.of("print")[0]["pages"]
        self.assertGreater(pages, 3)
        self.assertEqual(pdf_pages(self.pdf), pages)
        text = pdf_text(self.pdf)
        self.assertIn("Page 3 of %d" % pages, text)
        self.assertIn("Page %d of %d" % (pages, pages), text)
        for i in (0, 199, 399):
            self.assertIn("Customer %04d" % i, text)
        self.assertIn("400 orders", text)
        self.assertIn("79,800.00", text)
        # The title only on the first page, the column header on every page.
        page_texts = text.split("\f")
        self.assertIn("Orders", page_texts[0].split("\n")[0])
        self.assertNotIn("Period:", page_texts[1])
        self.assertIn("Customer", page_texts[2].split("\n")[0] + page_texts[2].split("\n")[1])

    def test_report_over_a_text_export(self):
        script = (["EXPORT = ORDERS {", "TYPE = TEXT", "LOCATION = " + self.work + "/out", "}",
                   "SAVE quiet"]
                  + self.report_block("orders_by_city.jrxml") + ["PRINT"])
        result, _ = self.print_run(script)
        self.assertEqual(result.code, 0, result.stderr)
        text = pdf_text(self.pdf)
        self.assertIn("City: KÖLN", text)
        self.assertIn("15,120.50", text)  # numbers read back from text still sum
        self.assertIn("15,210.00", text)

    def test_report_over_an_exported_native_database(self):
        script = (["EXPORT = SALES {", "TYPE = MS/ACCESS", "TABLE = UNTITLED",
                   "LOCATION = " + self.work + "/db", "}", "SAVE quiet"]
                  + self.report_block("orders_list.jrxml") + ["PRINT"])
        result, _ = self.print_run(script)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertIn("North Ridge Farms", pdf_text(self.pdf))

    def test_report_without_page_totals(self):
        # Nothing is evaluated at the report's end: the rows are read once.
        with open(os.path.join(self.reports, "orders_list.jrxml"), encoding="utf-8") as f:
            text = f.read().replace(' evaluationTime="Report"', "")
        self.write_report("simple.jrxml", text)
        rows = [(str(i), "Name %d" % i, "C", "1", "2026-01-01") for i in range(200)]
        result, _ = self.print_run(self.report_block("simple.jrxml") + ["PRINT"], rows=rows)
        self.assertEqual(result.code, 0, result.stderr)
        pages = result.of("print")[0]["pages"]
        self.assertGreater(pages, 1)
        self.assertEqual(pdf_pages(self.pdf), pages)
        text = pdf_text(self.pdf)
        self.assertIn("Name 199", text)
        # Evaluated when each page ends, " of " + PAGE_NUMBER is that page's own number.
        for number, page_text in enumerate(text.split("\f")[:pages], start=1):
            self.assertRegex(page_text, r"Page %d\s+of %d\b" % (number, number))

    def test_empty_table_prints_no_pages(self):
        script = self.report_block("orders_list.jrxml") + ["PRINT"]
        result, _ = self.print_run(script, rows=[])
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(result.of("print")[0]["pages"], 0)
        self.assertFalse(os.path.exists(self.pdf))  # nothing printed, no file


class Preview(ReportCase):
    def test_preview_window_shows_pages_and_ends_the_run(self):
        script = self.report_block("orders_list.jrxml", "TITLE = Orders of the week",
                                   output="WINDOW") + ["PRINT", "SHOW"]
        result, transfer = self.print_run(script, printer=False)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertFalse(os.path.exists(transfer))
        windows = [e for e in result.of("window") if e["name"] == "Preview"]
        self.assertEqual(windows, [
            {"event": "window", "name": "Preview", "state": "shown",
             "title": "Orders of the week", "pages": 1},
            {"event": "window", "name": "Preview", "state": "closed"}])
        # The progress window goes before the preview appears.
        names = [(e["name"], e["state"]) for e in result.of("window")]
        self.assertLess(names.index(("Message", "closed")), names.index(("Preview", "shown")))
        self.assertEqual(result.of("print"), [])

    def test_preview_setting_does_not_stop_the_preview(self):
        script = (["SET PREVIEW=0"] + self.report_block("orders_list.jrxml", output="WINDOW")
                  + ["PRINT"])
        result, _ = self.print_run(script, printer=False)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual([e["state"] for e in result.of("window") if e["name"] == "Preview"],
                         ["shown", "closed"])

    def test_output_file_previews_too_with_default_title(self):
        script = self.report_block("orders_list.jrxml", output="FILE") + ["PRINT"]
        result, _ = self.print_run(script)
        self.assertEqual(result.code, 0, result.stderr)
        shown = [e for e in result.of("window") if e["name"] == "Preview"][0]
        self.assertEqual(shown["title"], "Norvakel Report")
        self.assertFalse(os.path.exists(self.pdf))


class Failures(ReportCase):
    def test_missing_report_file(self):
        script = ["REPORT = nothere.jrxml {", "LOCATION = " + self.reports, "}", "PRINT"]
        result, transfer = self.print_run(script)
        path = self.reports + "/NOTHERE.JRXML"
        self.assertEqual(result.messages, [{"event": "message", "caption": "Norvakel",
                                            "icon": "information",
                                            "text": "The report definition not found: " + path}])
        self.assertEqual(result.code, 1)
        self.assertFalse(os.path.exists(transfer))

    def test_report_name_matches_without_regard_to_case(self):
        script = self.report_block("ORDERS_LIST.JRXML") + ["PRINT"]
        result, _ = self.print_run(script)
        self.assertEqual(result.code, 0, result.stderr)

    def test_file_that_is_not_a_report(self):
        self.write_report("notes.jrxml", "just some text, not XML")
        result, _ = self.print_run(self.report_block("notes.jrxml") + ["PRINT"])
        path = self.reports + "/NOTES.JRXML"
        self.assertEqual(result.messages[-1]["text"],
                         "Error occurred in printing the report:\r\n\r\n"
                         "The possible causes are: \r\n"
                         "- The report file " + path + " is not reachable, or\r\n"
                         "- The default printer is not defined, or\r\n"
                         "- The report engine library is missing or damaged. ")
        self.assertEqual(result.messages[-1]["caption"], "Norvakel")
        self.assertEqual(result.code, 1)

    def test_other_xml_root_is_not_a_report(self):
        self.write_report("other.jrxml", "<?xml version='1.0'?><html><body/></html>")
        result, _ = self.print_run(self.report_block("other.jrxml") + ["PRINT"])
        self.assertIn("Error occurred in printing the report:", result.messages[-1]["text"])

    def test_unsupported_element_is_named(self):
        with open(os.path.join(self.reports, "orders_list.jrxml"), encoding="utf-8") as f:
            text = f.read()
        text = text.replace("<summary>", "<summary>\n<band height='10'><genericElement>"
                            "<reportElement x='0' y='0' width='10' height='10'/></genericElement>"
                            "</band>"
                            "</summary><lastPageFooter>", 1).replace(
            "</summary>\n</jasperReport>", "</lastPageFooter>\n</jasperReport>")
        self.write_report("fancy.jrxml", text)
        result, _ = self.print_run(self.report_block("fancy.jrxml") + ["PRINT"])
        self.assertEngineError(result, 'the element "genericElement" in "band"')
        self.assertFalse(os.path.exists(self.pdf))

    def test_unknown_field_in_expression_is_named(self):
        self.write_report("typo.jrxml", """<jasperReport name="t">
            <field name="CUSTOMER" class="java.lang.String"/>
            <detail><band height="16"><textField><reportElement x="0" y="0" width="100" height="16"/>
            <textFieldExpression>$F{CUSTOMR}</textFieldExpression></textField></band></detail>
            </jasperReport>""")
        result, _ = self.print_run(self.report_block("typo.jrxml") + ["PRINT"])
        self.assertEngineError(result, "$F{CUSTOMR}")

    def test_no_printer(self):
        script = self.report_block("orders_list.jrxml") + ["PRINT"]
        result, transfer = self.print_run(script, printer=False, CUPS_SERVER="/nonexistent/cups")
        self.assertEngineError(result, "No default printer is installed.")
        self.assertFalse(os.path.exists(transfer))

    def test_pdf_printer_that_cannot_be_written(self):
        target = os.path.join(self.dir, "no-such-folder", "x.pdf")
        script = self.report_block("orders_list.jrxml") + ["PRINT"]
        result, _ = self.print_run(script, printer=False, NORVAKEL_PDF_PRINTER=target)
        self.assertEngineError(result, "Unable to print on " + target + ".")
        self.assertEqual(result.of("print"), [])

    def test_zero_copies_is_refused_by_the_engine(self):
        script = self.report_block("orders_list.jrxml", "COPIES = 0") + ["PRINT"]
        result, _ = self.print_run(script)
        self.assertEngineError(result, "copies (0)")

    def test_print_after_export_before_save(self):
        script = (["EXPORT = LATER {", "TYPE = TEXT", "LOCATION = " + self.work + "/none", "}"]
                  + self.report_block("orders_list.jrxml") + ["PRINT"])
        result, _ = self.print_run(script)
        self.assertEngineError(result, self.work + "/none/LATER.TXT")

    def test_location_too_long_for_the_record(self):
        folder = self.work + "/" + "d" * 250
        script = (["EXPORT = X {", "TYPE = TEXT", "LOCATION = " + folder, "}"]
                  + self.report_block("orders_list.jrxml") + ["PRINT"])
        result, _ = self.print_run(script)
        self.assertEngineError(result, "longer than 255 characters")

    def test_missing_engine_library_is_an_untrapped_error(self):
        lonely = os.path.join(self.dir, "bin")
        os.mkdir(lonely)
        program = os.path.join(lonely, "norvakel")
        shutil.copy(binary(), program)
        path = self.write_transfer(transfer_text(
            FIELDS, values(ROWS), self.report_block("orders_list.jrxml") + ["PRINT"]))
        proc = subprocess.run([program, path], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=self.env(NORVAKEL_PDF_PRINTER=self.pdf), timeout=120)
        self.assertEqual(proc.returncode, 2)
        self.assertIn('"text":"Run-time error \'53\':\\r\\n\\r\\nFile not found: '
                      'libnorvakel-report.so"', proc.stderr.decode())
        self.assertTrue(os.path.exists(path))


if __name__ == "__main__":
    unittest.main()
