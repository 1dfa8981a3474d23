"""The text export writes numbers and dates in the user's locale."""
import os
import unittest

from harness import RunCase, transfer_text

FIELDS = ["AMOUNT/7/8", "WHEN/8/8", "FLAG/1/1", "COUNT/4/4"]
VALUES = ["1234.5", "2026-03-05", "True", "100",
          "0.1", "1899-12-30 13:04:05", "no", ""]


class TextLocale(RunCase):
    def export(self, locale):
        out = os.path.join(self.dir, "out")
        script = ["EXPORT = DATA {", "TYPE = TEXT", "LOCATION = " + out, "}", "SAVE quiet"]
        result, _ = self.run_transfer(transfer_text(FIELDS, VALUES, script),
                                      env=self.env(LC_ALL=locale))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(result.messages, [])
        with open(os.path.join(out, "DATA.TXT"), "rb") as f:
            return f.read().decode("utf-8")

    def test_us_english(self):
        self.assertEqual(self.export("en_US.UTF-8"),
                         '"AMOUNT","WHEN","FLAG","COUNT"\r\n'
                         '"1234.5","3/5/2026","True","100"\r\n'
                         '"0.1","12/30/1899 1:04:05 PM","False","Null"\r\n')

    def test_german(self):
        self.assertEqual(self.export("de_DE.UTF-8"),
                         '"AMOUNT","WHEN","FLAG","COUNT"\r\n'
                         '"1234,5","05.03.2026","True","100"\r\n'
                         '"0,1","30.12.1899 13:04:05","False","Null"\r\n')


if __name__ == "__main__":
    unittest.main()
