"""PRINT of the designer's text samples: styled and HTML markup, paragraphs
with indents, spacing and tab stops, and fonts by their report names. The
PDF is read back with pdftotext (what is drawn) and pdffonts (which fonts
draw it)."""
import os
import re
import shutil
import subprocess
import unittest

import test_report_designer as designer
from harness import RunCase, transfer_text


def pdf_fonts(path):
    """The base font names pdffonts lists, without their subset prefixes."""
    out = subprocess.run(["pdffonts", path], check=True,
                         stdout=subprocess.PIPE).stdout.decode("utf-8")
    return {re.sub(r"^[A-Z]{6}\+", "", line.split()[0]) for line in out.splitlines()[2:]
            if line.strip()}


def pdf_area_text(path, x, y, width, height):
    """The words inside a rectangle of the first page, in points."""
    return subprocess.run(["pdftotext", "-r", "72", "-x", str(x), "-y", str(y), "-W", str(width),
                           "-H", str(height), "-f", "1", "-l", "1", path, "-"], check=True,
                          stdout=subprocess.PIPE).stdout.decode("utf-8")


def has_family(name):
    return subprocess.run(["fc-list", name], stdout=subprocess.PIPE).stdout.strip() != b""


@unittest.skipUnless(os.path.isdir(designer.SAMPLES), "the designer samples are not here")
class TextSamples(RunCase):
    print_sample = designer.DesignerSamples.print_sample
    assertPrinted = designer.DesignerSamples.assertPrinted

    def test_styled_text_draws_its_runs_not_its_tags(self):
        text = self.assertPrinted(self.print_sample("styledtext/StyledTextReport.jrxml"))
        flat = " ".join(text.split())
        self.assertIn("This is a static text element containing styled text.", flat)
        self.assertIn("JasperReports logo", flat)
        self.assertNotIn("<style", flat)
        self.assertNotIn("isBold=", flat)
        # Escaped tags in the text are shown as text.
        self.assertIn('<font size="12">', flat)
        self.assertIn("\u2022 item 1 <li>", flat)
        # The runs' faces: bold, italic and both, in the element's family.
        fonts = pdf_fonts(self.pdf)
        for face in ("DejaVuSans", "DejaVuSans-Bold", "DejaVuSans-Oblique",
                     "DejaVuSans-BoldOblique", "DejaVuSerif"):
            self.assertIn(face, fonts)

    def test_styled_html_and_rtf_markup_print_their_texts(self):
        # The sample as it is, its two parameters set by formulas (Java
        # string literals: each RTF backslash doubled).
        rtf = (r"{\\rtf1\\ansi{\\colortbl ;\\red255\\green0\\blue0;} An {\\b RTF} text in "
               r"{\\cf1 red}, caf\\'e9.\\par}")
        html = "<p>An <b>HTML</b>   paragraph</p><p>with <i>two</i> lines&amp;more</p>"
        folder = os.path.join(self.dir, "reports")
        shutil.copytree(os.path.join(designer.SAMPLES, "markup"), folder)
        script = ["REPORT = MarkupReport.jrxml {", "LOCATION = " + folder, "OUTPUT = PRINTER",
                  'SET RtfText = "%s"' % rtf, 'SET HtmlText = "%s"' % html, "}", "PRINT", "EXIT"]
        self.pdf = os.path.join(self.dir, "printed.pdf")
        result, _ = self.run_transfer(transfer_text(["UNUSED/10/10"], ["x"], script),
                                      env=self.env(NORVAKEL_PDF_PRINTER=self.pdf))
        text = self.assertPrinted(result)
        self.assertNotIn("norvakel-report:", result.stderr)
        flat = " ".join(text.split())
        self.assertIn("Styled text elements are introduced", flat)
        self.assertIn("An RTF text in red, caf\u00e9.", flat)
        self.assertIn("An HTML paragraph with two lines&more", flat)
        for tag in ("<b>", "<style", "rtf1", "colortbl"):
            self.assertNotIn(tag, flat)
        self.assertIn("DejaVuSans-BoldOblique", pdf_fonts(self.pdf))

    def test_paragraphs_with_indents_spacing_and_tab_stops(self):
        result = self.print_sample("paragraphs/ParagraphsReport.jrxml")
        text = self.assertPrinted(result)
        self.assertNotIn("norvakel-report:", result.stderr)
        self.assertNotIn("<style", text)
        # The left column (the text fields at x = 0, 255 wide), in order and
        # not cut: every text field grows with its lines.
        left = " ".join(pdf_area_text(self.pdf, 20, 0, 250, 842).split())
        for part in ("Text field element using default tab stop width of 40 pixels.",
                     "pig chicken sheep horse goat lion giraffe hippopotamus",
                     "paris london rome amsterdam oslo",
                     "Apparent misalignment on first tab stop due to first line indent."):
            self.assertIn(part, left)
        self.assertEqual(left.count("amsterdam oslo"), 2, left)

    def test_fonts_map_to_installed_families_and_a_missing_one_falls_back_once(self):
        result = self.print_sample("fonts/FontsReport.jrxml")
        text = self.assertPrinted(result)
        self.assertIn("The quick brown fox jumps over the lazy dog.", text)
        fallback = [l for l in result.stderr.splitlines() if "Lobster Two" in l]
        self.assertEqual(fallback, ['norvakel-report: The font "Lobster Two" is not installed; '
                                    '"DejaVu Sans" is drawn instead.'])
        fonts = pdf_fonts(self.pdf)
        self.assertIn("DejaVuSerif", fonts)
        self.assertIn("DejaVuSerif-Bold", fonts)
        self.assertIn("DejaVuSans-BoldOblique", fonts)  # Lobster Two, bold italic
        if has_family("Liberation Sans"):
            # SansSerif, Serif and Monospaced in their metric-compatible families.
            for face in ("LiberationSans", "LiberationSans-Italic", "LiberationSerif-Bold",
                         "LiberationMono-Italic", "LiberationMono-Bold"):
                self.assertIn(face, fonts)
        self.assertFalse([f for f in fonts if "Lobster" in f], fonts)


if __name__ == "__main__":
    unittest.main()
