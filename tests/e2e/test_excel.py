"""SAVE to Excel workbooks, read back by xlrd and by GDAL's XLS driver (FreeXL)."""
import csv
import io
import os
import shutil
import signal
import struct
import subprocess
import unittest

import xlrd
import xlrd.compdoc

from harness import RunCase, binary, transfer_text
from test_save import SUCCESS, export_block

FIELDS = ["NAME/10/20", "QTY/4/4", "PRICE/7/8", "NOTE/10/300", "WHEN/8/8", "OK/1/1",
          "CUR/5/8", "SMALL/3/2"]
VALUES = ["apple", "3", "12.5", "Grüße, €5", "2024-02-29 13:45:07", "true", "1234.5678", "-7",
          "pear", "", "0.1", "", "1999-12-31", "false", "-5", "0",
          "", "-1000000", "1e300", "x", "1900-01-01", "no", "0", "32767"]
ONE_FIELD = ["N/4/4"]


def book_stream(path):
    with open(path, "rb") as f:
        return xlrd.compdoc.CompDoc(f.read()).get_named_stream("Book")


def records(stream):
    at = 0
    while at + 4 <= len(stream):
        rid, length = struct.unpack_from("<HH", stream, at)
        yield rid, stream[at + 4:at + 4 + length]
        at += 4 + length


class ExcelCase(RunCase):
    def setUp(self):
        super().setUp()
        self.out = os.path.join(self.dir, "Out")
        self.path = os.path.join(self.out, "BOOK.XLS")

    def save(self, *script, fields=FIELDS, values=VALUES, type_name="EXCEL 5.0", table="Q1",
             quiet=True):
        lines = list(export_block("book", self.out, type_name, table)) + [
            "SAVE q" if quiet else "SAVE"] + list(script)
        result, _ = self.run_transfer(transfer_text(fields, values, lines))
        return result

    def assertFailed(self, result, number):
        self.assertEqual(result.code, 1, result.stderr)
        text = result.messages[-1]["text"]
        self.assertTrue(text.endswith("(%d)\r\nThe program will terminate." % number), text)
        return text


class WrittenWorkbook(ExcelCase):
    def test_cells_arrive_in_xlrd_in_their_own_types_and_formats(self):
        result = self.save(quiet=False)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual([m["text"] for m in result.messages],
                         [SUCCESS + self.path + "(Q1)"])
        book = xlrd.open_workbook(self.path, formatting_info=True)
        self.assertEqual(book.biff_version, 50)
        self.assertEqual(book.codepage, 1252)
        self.assertEqual(book.sheet_names(), ["Q1"])
        sheet = book.sheet_by_name("Q1")
        self.assertEqual(sheet.nrows, 4)
        self.assertEqual(sheet.row_values(0),
                         ["NAME", "QTY", "PRICE", "NOTE", "WHEN", "OK", "CUR", "SMALL"])
        T, N, D, B, E = (xlrd.XL_CELL_TEXT, xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_DATE,
                         xlrd.XL_CELL_BOOLEAN, xlrd.XL_CELL_EMPTY)
        self.assertEqual([c.ctype for c in sheet.row(1)], [T, N, N, T, D, B, N, N])
        self.assertEqual([c.ctype for c in sheet.row(2)], [T, E, N, E, D, B, N, N])
        self.assertEqual([c.ctype for c in sheet.row(3)], [E, N, N, T, D, B, N, N])
        self.assertEqual(sheet.row_values(1)[:4], ["apple", 3.0, 12.5, "Grüße, €5"])
        self.assertEqual(sheet.row_values(1)[5:], [1, 1234.5678, -7.0])
        self.assertEqual(sheet.row_values(3)[1:3], [-1000000.0, 1e300])
        self.assertEqual(xlrd.xldate_as_tuple(sheet.cell_value(1, 4), book.datemode),
                         (2024, 2, 29, 13, 45, 7))
        self.assertEqual(xlrd.xldate_as_tuple(sheet.cell_value(2, 4), book.datemode),
                         (1999, 12, 31, 0, 0, 0))
        self.assertEqual(sheet.cell_value(3, 4), 1.0)  # 1 January 1900

        def format_of(row, col):
            xf = book.xf_list[sheet.cell_xf_index(row, col)]
            return book.format_map[xf.format_key].format_str
        self.assertEqual(format_of(1, 4), "yyyy-mm-dd hh:mm:ss")
        self.assertEqual(format_of(2, 4), "yyyy-mm-dd")
        self.assertIn("$", format_of(1, 6))
        self.assertEqual(format_of(1, 2), "General")

    def test_every_excel_type_writes_an_excel_5_workbook(self):
        for type_name in ("EXCEL 3.0", "EXCEL 4.0", "EXCEL 5.0"):
            with self.subTest(type_name=type_name):
                shutil.rmtree(self.out, True)
                result = self.save(type_name=type_name)
                self.assertEqual(result.code, 0, result.stderr)
                book = xlrd.open_workbook(self.path)
                self.assertEqual(book.biff_version, 50)
                self.assertEqual(book.sheet_names(), ["Q1"])
                bof = next(records(book_stream(self.path)))
                self.assertEqual(struct.unpack_from("<HHHH", bof[1]), (0x0500, 5, 0x0C33, 1993))

    def test_gdal_reads_the_sheet(self):
        self.assertEqual(self.save().code, 0)
        proc = subprocess.run(["ogr2ogr", "-f", "CSV", "/vsistdout/", self.path, "Q1"],
                              capture_output=True, env=dict(os.environ, OGR_XLS_HEADERS="FORCE"),
                              timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        rows = list(csv.reader(io.StringIO(proc.stdout.decode("utf-8"))))
        self.assertEqual(rows[0], ["NAME", "QTY", "PRICE", "NOTE", "WHEN", "OK", "CUR", "SMALL"])
        self.assertEqual(rows[1][:4], ["apple", "3", "12.5", "Grüße, €5"])
        self.assertEqual(rows[1][4], "2024/02/29 13:45:07")
        self.assertEqual(rows[1][6:], ["1234.5678", "-7"])
        self.assertEqual(rows[2][0], "pear")
        self.assertEqual(rows[2][1], "")
        self.assertEqual(len(rows), 4)

    def test_an_empty_result_gives_a_sheet_of_field_names(self):
        result = self.save(values=[])
        self.assertEqual(result.code, 0, result.stderr)
        sheet = xlrd.open_workbook(self.path).sheet_by_name("Q1")
        self.assertEqual(sheet.nrows, 1)
        self.assertEqual(sheet.row_values(0)[:3], ["NAME", "QTY", "PRICE"])

    def test_long_texts_are_written_whole_over_continue_records(self):
        texts = ["a" * 2072, "b" * 2073 + "END", "é" * 32767]
        result = self.save(fields=["NOTE/10/300"], values=texts)
        self.assertEqual(result.code, 0, result.stderr)
        stream = book_stream(self.path)
        sizes = [(rid, len(data)) for rid, data in records(stream)]
        self.assertTrue(all(size <= 2080 for _, size in sizes))
        labels = [i for i, (rid, _) in enumerate(sizes) if rid == 0x0204]
        # LABEL data: row, column, XF, 16-bit length, then the bytes, going on
        # in the CONTINUE records that follow.
        listed = list(records(stream))
        whole = []
        for i in labels:
            data = listed[i][1]
            j, rest = i + 1, b""
            while j < len(listed) and listed[j][0] == 0x003C:
                rest += listed[j][1]
                j += 1
            length = struct.unpack_from("<H", data, 6)[0]
            text = (data[8:] + rest)
            self.assertEqual(len(text), length)
            whole.append(text.decode("cp1252"))
        self.assertEqual(whole, ["NOTE"] + texts)
        # xlrd and FreeXL read a label's first record only: what they show is
        # the start of the text.
        sheet = xlrd.open_workbook(self.path).sheet_by_index(0)
        self.assertEqual(sheet.cell_value(1, 0), texts[0])
        self.assertEqual(sheet.cell_value(2, 0), texts[1][:2072])
        self.assertEqual(sheet.cell_value(3, 0), texts[2][:2072])

    def test_a_text_longer_than_a_cell_holds_ends_the_run(self):
        result = self.save(fields=["NOTE/10/300"], values=["x" * 32768])
        self.assertFailed(result, 3163)
        self.assertFalse(os.path.exists(self.path))


class WorkbookUpdates(ExcelCase):
    def test_a_second_save_with_another_table_keeps_the_first_sheet(self):
        result = self.save("EXPORT = book", "TABLE = q2", "}", "SAVE q",
                           "EXPORT = book", "TABLE = q1", "}", "SAVE q")
        self.assertEqual(result.code, 0, result.stderr)
        book = xlrd.open_workbook(self.path)
        self.assertEqual(book.sheet_names(), ["Q1", "Q2"])
        for sheet in book.sheets():
            self.assertEqual(sheet.nrows, 4)
        result = self.save(values=VALUES[:8], table="Q3")
        self.assertEqual(result.code, 0, result.stderr)
        book = xlrd.open_workbook(self.path)
        self.assertEqual(book.sheet_names(), ["Q1", "Q2", "Q3"])
        self.assertEqual(book.sheet_by_name("Q3").nrows, 2)
        self.assertEqual(book.sheet_by_name("Q1").nrows, 4)

    def test_option_newdb_replaces_the_workbook(self):
        self.assertEqual(self.save().code, 0)
        lines = ["SET OPTION_NEWDB = Y"] + list(
            export_block("book", self.out, "EXCEL 5.0", "Q2")) + ["SAVE q"]
        result, _ = self.run_transfer(transfer_text(FIELDS, VALUES, lines))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(xlrd.open_workbook(self.path).sheet_names(), ["Q2"])

    def test_a_failed_save_leaves_the_old_workbook_as_it_was(self):
        self.assertEqual(self.save().code, 0)
        with open(self.path, "rb") as f:
            before = f.read()
        result = self.save(fields=ONE_FIELD, values=[str(i) for i in range(16384)], table="BIG")
        text = self.assertFailed(result, 3437)
        self.assertIn("16,384", text)
        with open(self.path, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertEqual(os.listdir(self.out), ["BOOK.XLS"])

    def test_a_killed_save_leaves_the_old_workbook_or_the_whole_new_one(self):
        self.assertEqual(self.save().code, 0)
        with open(self.path, "rb") as f:
            before = f.read()
        fields = ["C%d/10/20" % c for c in range(20)]
        values = ["row %d" % (i // 20) for i in range(16000 * 20)]
        script = list(export_block("book", self.out, "EXCEL 5.0", "BIG")) + ["SAVE q"]
        path = self.write_transfer(transfer_text(fields, values, script))
        proc = subprocess.Popen([binary(), path], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                env=self.env(), cwd=self.dir)
        for line in proc.stderr:
            if b"Saving the data" in line:
                proc.send_signal(signal.SIGKILL)
                break
        proc.wait(timeout=60)
        proc.stderr.close()
        with open(self.path, "rb") as f:
            after = f.read()
        if after != before:  # the SAVE finished before the signal
            book = xlrd.open_workbook(self.path)
            self.assertEqual(book.sheet_names(), ["Q1", "BIG"])
            self.assertEqual(book.sheet_by_name("BIG").nrows, 16001)
        xlrd.open_workbook(self.path)

    def test_the_largest_table_a_sheet_holds_is_saved(self):
        result = self.save(fields=ONE_FIELD, values=[str(i) for i in range(16383)], table="BIG")
        self.assertEqual(result.code, 0, result.stderr)
        sheet = xlrd.open_workbook(self.path).sheet_by_name("BIG")
        self.assertEqual(sheet.nrows, 16384)
        self.assertEqual(sheet.cell_value(16383, 0), 16382.0)

    def test_a_file_that_is_not_an_excel_5_workbook_is_refused_and_kept(self):
        os.makedirs(self.out)
        with open(self.path, "wb") as f:
            f.write(b"NAME,QTY\r\napple,3\r\n")
        result = self.save()
        self.assertFailed(result, 3343)
        with open(self.path, "rb") as f:
            self.assertEqual(f.read(), b"NAME,QTY\r\napple,3\r\n")

    def test_a_sheet_name_excel_cannot_take_is_refused(self):
        for table in ("A*B", "WHY?", "X" * 32):
            with self.subTest(table=table):
                result = self.save(table=table)
                self.assertFailed(result, 3125)
                self.assertFalse(os.path.exists(self.path))


if __name__ == "__main__":
    unittest.main()
