"""Large data sections through the real program: many blocks of the file,
records across their edges, the script after the marker, and errors late in
the file."""
import os
import unittest

from harness import COMMAND, DATA, HEAD, RunCase

FIELDS = ["ID/4/4", "NAME/10/12", "NOTE/12/0"]
ROWS = 120000  # several of the loader's blocks


def data_lines(rows, bad_at=None):
    for i in range(rows):
        yield str(i)
        yield "too long for the field" if i == bad_at else "name %d  " % i
        # Now and then a Windows-1252 line, and a lone LF inside a value.
        yield ("caf\xe9 \x80" if i % 5000 == 7 else "note\n%d" % i)


def transfer_bytes(rows, script, bad_at=None, partial=False):
    parts = [HEAD] + FIELDS + [DATA]
    text = "".join(p + "\r\n" for p in parts).encode()
    body = []
    for line in data_lines(rows, bad_at):
        body.append(line.encode("latin-1") if "\xe9" in line else line.encode())
    if partial:
        body.append(b"12345")  # a record without its other values
    lines = body + [b" ][zobrafex command][ "] + [s.encode() for s in script]
    return text + b"\r\n".join(lines) + b"\r\n"


class LargeSections(RunCase):
    def test_every_record_is_stored_in_order_and_the_script_runs_after(self):
        out = os.path.join(self.dir, "out")
        os.mkdir(out)
        script = ["EXPORT = DONE {", "LOCATION = " + out, "TYPE = TEXT", "}", "SAVE"]
        path = self.write_transfer(None, raw=transfer_bytes(ROWS, script, partial=True))
        result = self.run_program(path)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(result.statuses.count("Receiving data from host ..."), 2)
        self.assertIn("Receiving data from host ... Completed", result.statuses)
        rows = self.scratch_rows()
        self.assertEqual(len(rows), ROWS, "the incomplete record is not stored")
        self.assertEqual([r[0] for r in rows], list(range(ROWS)))
        self.assertEqual(rows[0], (0, "name 0", "note\n0"))
        self.assertEqual(rows[7], (7, "name 7", "café €"))
        self.assertEqual(rows[-1], (ROWS - 1, "name %d" % (ROWS - 1), "note\n%d" % (ROWS - 1)))
        self.assertTrue(os.path.exists(os.path.join(out, "DONE.TXT")), result.stderr)
        self.assertFalse(os.path.exists(path))

    def test_a_value_refused_late_in_the_file_ends_the_run_after_the_records_before_it(self):
        bad = ROWS - 1000
        path = self.write_transfer(None, raw=transfer_bytes(ROWS, ["EXIT"], bad_at=bad))
        result = self.run_program(path)
        self.assertEqual(result.code, 2, result.stderr)
        msg = result.messages[-1]
        self.assertTrue(msg["text"].startswith("Run-time error '3163':\r\n\r\n"), msg)
        self.assertNotIn("Receiving data from host ... Completed", result.statuses)
        self.assertTrue(os.path.exists(path), "the transfer file is kept")
        rows = self.scratch_rows()
        self.assertEqual(len(rows), bad)
        self.assertEqual(rows[-1][0], bad - 1)


if __name__ == "__main__":
    unittest.main()
