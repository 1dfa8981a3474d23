"""SHOW: the grid window on the scratch table, end to end."""
import os
import unittest

from harness import RunCase, transfer_text

FIELDS = ["ID/4/4", "NAME/10/20", "AMOUNT/7/8"]


class Grid(RunCase):
    def test_show_hands_the_run_to_the_grid_and_nothing_after_it_runs(self):
        marker = os.path.join(self.dir, "ran")
        prog = os.path.join(self.dir, "prog.sh")
        with open(prog, "w") as f:
            f.write("#!/bin/sh\ntouch '%s'\n" % marker)
        os.chmod(prog, 0o755)
        export = os.path.join(self.dir, "never")
        script = ["SHOW", "EXPORT = X {", "TYPE = TEXT", "LOCATION = " + export, "}", "SAVE",
                  "RUN " + prog, "EXIT"]
        values = ["1", "Ann", "1.5", "2", "Bob", ""]
        result, path = self.run_transfer(transfer_text(FIELDS, values, script))
        self.assertEqual(result.code, 0, result.stderr)
        windows = [(e["name"], e["state"]) for e in result.of("window")]
        self.assertEqual(windows, [("Message", "shown"), ("Message", "closed"),
                                   ("Grid", "shown"), ("Grid", "closed")])
        grid = [e for e in result.of("window") if e["name"] == "Grid"][0]
        self.assertEqual(grid["columns"], ["ID", "NAME", "AMOUNT"])
        self.assertEqual(grid["rows"], 2)
        self.assertEqual(result.statuses[-1], "Building the database CrossTab screen ...")
        self.assertEqual(result.of("launch"), [])
        self.assertFalse(os.path.exists(path), "closing the grid ends the run")
        self.assertFalse(os.path.exists(export))
        self.assertFalse(os.path.exists(marker))

    def test_empty_and_large_results(self):
        result, _ = self.run_transfer(transfer_text(FIELDS, [], ["SHOW"]))
        self.assertEqual(result.code, 0, result.stderr)
        grid = [e for e in result.of("window") if e["name"] == "Grid"][0]
        self.assertEqual((grid["columns"], grid["rows"]), (["ID", "NAME", "AMOUNT"], 0))

        rows = 50000
        values = []
        for i in range(rows):
            values += [str(i), "name %d" % i, "%d.25" % i]
        result, _ = self.run_transfer(transfer_text(FIELDS, values, ["SHOW"]))
        self.assertEqual(result.code, 0, result.stderr)
        grid = [e for e in result.of("window") if e["name"] == "Grid"][0]
        self.assertEqual(grid["rows"], rows)


if __name__ == "__main__":
    unittest.main()
