"""PRINT of the designer's stretch sample: texts that grow push what floats
below them, lines stretch with their element groups, a frame grows around
its texts, and a detail band too tall for a page goes on over the next
pages. Positions are read back with pdftotext -bbox and pdftoppm."""
import html
import os
import re
import subprocess
import unittest

from harness import RunCase, transfer_text
from test_report_designer import SAMPLES, page_pixels

SAMPLE = os.path.join(SAMPLES, "stretch", "StretchReport.jrxml")
# Text truncation settings of the sample's title texts, not band layout.
TRUNCATION = re.compile(r'\s*<property name="net\.sf\.jasperreports\.(text\.truncate|print\.keep)'
                        r'[^>]*/>')


def words(pdf):
    """Per page: (text, xMin, yMin, xMax, yMax) of every word, in points."""
    out = subprocess.run(["pdftotext", "-bbox", pdf, "-"], check=True,
                         stdout=subprocess.PIPE).stdout.decode("utf-8")
    pages = []
    for page in re.findall(r"<page.*?</page>", out, re.S):
        pages.append([(html.unescape(m.group(5)), float(m.group(1)), float(m.group(2)),
                       float(m.group(3)), float(m.group(4)))
                      for m in re.finditer(r'<word xMin="([\d.]+)" yMin="([\d.]+)" '
                                           r'xMax="([\d.]+)" yMax="([\d.]+)">([^<]*)</word>',
                                           page)])
    return pages


def dark(pixels, width, x, y):
    i = (y * width + x) * 3
    return sum(pixels[i:i + 3]) < 3 * 230


@unittest.skipUnless(os.path.isfile(SAMPLE), "the designer samples are not here")
class StretchSample(RunCase):
    def print_stretch(self, rows, replace=(), title=True):
        folder = os.path.join(self.dir, "reports")
        os.makedirs(folder)
        with open(SAMPLE, encoding="utf-8") as f:
            jrxml = TRUNCATION.sub("", f.read())
        if not title:
            jrxml = re.sub(r"<title>.*?</title>", "", jrxml, flags=re.S)
        for old, new in replace:
            self.assertIn(old, jrxml)
            jrxml = jrxml.replace(old, new)
        with open(os.path.join(folder, "StretchReport.jrxml"), "w", encoding="utf-8") as f:
            f.write(jrxml)
        self.pdf = os.path.join(self.dir, "printed.pdf")
        script = ["REPORT = StretchReport.jrxml {", "LOCATION = " + folder, "OUTPUT = PRINTER",
                  "}", "PRINT", "EXIT"]
        values = ["row %d" % n for n in range(rows)]
        result, _ = self.run_transfer(transfer_text(["UNUSED/10/10"], values, script),
                                      env=self.env(NORVAKEL_PDF_PRINTER=self.pdf))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(len(result.of("print")), 1, result.stderr)
        return words(self.pdf)

    def column(self, page, left, right):
        return [w for w in page if left <= w[1] < right]

    def test_stretching_texts_push_what_floats_below_them(self):
        # Without the sample's title the first row's band starts at the top.
        # The first text is made long enough that two rows' bands cannot
        # share a page, whatever the font's width.
        first = 'FIRST long chunk of text that will cause the text field to stretch'
        pages = self.print_stretch(rows=2, title=False,
                                   replace=[(first, first + " pad" * 100)])
        self.assertEqual(len(pages), 2)
        first = pages[0]
        # Column one (x 25..155 on the page): the three texts, each below the
        # end of the one above, none on top of another.
        col = self.column(first, 25, 155)
        starts = [w for w in col if w[0] in ("FIRST", "SECOND", "THIRD")]
        self.assertEqual([w[0] for w in starts], ["FIRST", "SECOND", "THIRD"], col)
        ends = [w for w in col if w[0] == "downwards."]
        self.assertEqual(len(ends), 3, col)
        for end, nxt in zip(ends, starts[1:]):
            self.assertGreater(nxt[2], end[4] - 0.5, (end, nxt))
        # Column four: the texts inside the frame float the same way.
        frame = [w for w in self.column(first, 445, 575) if w[0] in ("FIRST", "SECOND", "THIRD")]
        self.assertEqual([w[0] for w in frame], ["FIRST", "SECOND", "THIRD"])
        self.assertGreater(frame[1][2], frame[0][4])
        self.assertGreater(frame[2][2], frame[1][4])
        # A static text that does not repeat its value never prints.
        self.assertNotIn("remover.", [w[0] for page in pages for w in page])
        # The second row's grown band does not fit below the first: it starts
        # the next page, right under the page header.
        header = [w for w in pages[1] if w[0] == "Header"][0]
        second = [w for w in self.column(pages[1], 25, 155) if w[0] == "This"][0]
        self.assertLess(second[2] - header[4], 10)

        # Lines: column one's outer lines (x 25) run down past the third
        # text; the frame's left border (x 445) encloses its three texts.
        width, height, pixels = page_pixels(self.pdf, 1, dpi=72)
        third_end = ends[2][4]
        for x in (25, 445):
            for y in range(int(starts[0][2]) + 2, int(third_end) - 2, 3):
                column = [dark(pixels, width, xx, y) for xx in range(x - 1, x + 2)]
                self.assertTrue(any(column), "no line at x %d, y %d" % (x, y))
        # ...and stop with the band's content: nothing at x 25 below it.
        footer = [w for w in first if w[0] == "Footer"][0]
        gap = [dark(pixels, width, xx, y) for xx in (24, 25, 26)
               for y in range(int(third_end) + 8, int(footer[2]) - 4)]
        self.assertFalse(any(gap))

    def test_a_detail_band_taller_than_a_page_goes_on_over_the_next_pages(self):
        long_text = " ".join("w%03d" % n for n in range(700))
        first = ('"This is a FIRST long chunk of text that will cause the text field to '
                 'stretch outside its defined height and force other elements to move '
                 'downwards."')
        pages = self.print_stretch(rows=1, replace=[(first, '"' + long_text + '"')])
        self.assertGreaterEqual(len(pages), 3)
        seen = []
        for n, page in enumerate(pages):
            # Every page keeps its header and footer; nothing runs into the
            # footer (842 high, 30 bottom margin, a 15-point footer).
            texts = [w[0] for w in page]
            self.assertIn("Header", texts, n)
            self.assertIn("Footer", texts, n)
            footer_top = min(w[2] for w in page if w[0] == "Footer")
            for w in page:
                if re.fullmatch(r"w\d{3}", w[0]):
                    self.assertLess(w[4], footer_top, (n, w))
                    if w[1] < 160:  # the first column's text
                        seen.append(w[0])
        # The long text goes on where it stopped: every word once, in order.
        self.assertEqual(seen, long_text.split())
        # The other texts of the band and its bottom lines follow after it.
        last = max(n for n, page in enumerate(pages) if "w699" in [w[0] for w in page])
        self.assertIn("SECOND", [w[0] for page in pages[last:] for w in page])


if __name__ == "__main__":
    unittest.main(verbosity=2)
