"""Hostile and malformed transfer files: the program ends in an orderly way
(exit status 0, 1 or 2, the exit line last) whatever the file holds."""
import os
import random
import unittest

from harness import COMMAND, DATA, HEAD, RunCase

TYPES = ["1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "15", "13", "0", "-1",
         "99999", "4.5", "x", ""]
VALUES = ["", "   ", "0", "-1", "1e308", "1e999", "&HFFFFFFFFFF", "&O777", "True", "no",
          "2026-02-30", "12/31/1999 11:59 PM", "x" * 300, '"quoted", ,', "\x00nul", "\t\n",
          "E_QE0203 ", "%PATH%", "é€", "\xff\xfe", "]["]
SCRIPT = ["EXPORT = OUT {", "EXPORT=", "TYPE = TEXT", "TYPE = MS/ACCESS", "TYPE = DBASE IV",
          "TYPE = EXCEL 5.0", "LOCATION = out\\%NOPE%", "LOCATION = out\\sub", "TABLE = t.x",
          "}", "REPORT = r {", "SET A = B", "COPIES = 99999", "OUTPUT = file", "SAVE", "SAVE q",
          "SET X=%X%%X%", "SET =", "EXITS", "PRINT now", "", "{", "}}", "=", "SET OPTION_NEWDB=Y"]


def random_file(rnd):
    lines = [HEAD if rnd.random() < 0.9 else "garbage"]
    for _ in range(rnd.randint(0, 5)):
        lines.append("%s/%s/%s" % (rnd.choice(["A", "B", "a", "", "x" * 80, 'q"q']),
                                   rnd.choice(TYPES), rnd.choice(["0", "1", "10", "255", "300",
                                                                  "-5", "70000"])))
    if rnd.random() < 0.9:
        lines.append(DATA)
    lines += [rnd.choice(VALUES) for _ in range(rnd.randint(0, 12))]
    if rnd.random() < 0.9:
        lines.append(COMMAND)
    lines += [rnd.choice(SCRIPT) for _ in range(rnd.randint(0, 10))]
    ending = rnd.choice(["\r\n", "\r", "\n"])
    return ending.join(lines).encode("utf-8", "surrogateescape")


class Robustness(RunCase):
    def test_random_files_end_in_an_orderly_way(self):
        rnd = random.Random(20261207)
        for i in range(40):
            raw = random_file(rnd)
            path = self.write_transfer(None, raw=raw)
            result = self.run_program(path)
            self.assertIn(result.code, (0, 1, 2), "case %d: %r\n%s" % (i, raw, result.stderr))
            self.assertEqual(result.exit_code, result.code, "case %d: %r" % (i, raw))
            self.assertNotIn("Sanitizer", result.stderr, "case %d: %r" % (i, raw))
            self.assertEqual(os.path.exists(path), result.code == 2, "case %d: %r" % (i, raw))


if __name__ == "__main__":
    unittest.main()
