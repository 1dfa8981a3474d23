"""The command script: recognition rules, blocks, SET, and how a script ends."""
import os
import stat
import time
import unittest

from harness import RunCase, transfer_text

FIELDS = ["NAME/10/20", "QTY/4/4"]
VALUES = ["apple", "3", "pear", "5"]
EXPORT_STATUS = "Setting up the Local Database Defintions ..."
REPORT_STATUS = "Setting up the Local Report Definitions ..."
SAVE_STATUS = "Saving the data ..."
SUCCESS = "The requested data stored successfully.\r\n\r\nFile Name = "


class ScriptCase(RunCase):
    def run_script(self, *script, env=None):
        result, path = self.run_transfer(transfer_text(FIELDS, VALUES, script), env=env)
        self.transfer_path = path
        return result

    def text_export(self, name="OUT", location=None):
        """An EXPORT block for a TEXT file in `location` (default: a folder of the test)."""
        location = location or os.path.join(self.dir, "out")
        return ["EXPORT = %s {" % name, "LOCATION = " + location, "TYPE = TEXT", "}"]

    def out(self, name):
        return os.path.join(self.dir, "out", name)

    def successes(self, result):
        return [m["text"] for m in result.messages if m["icon"] == "information"]


class EndOfScript(ScriptCase):
    def test_end_of_file_ends_the_run_like_exit(self):
        for last in ([], ["EXIT"]):
            with self.subTest(last=last):
                result = self.run_script("SAVE q", *last)
                self.assertEqual(result.code, 0, result.stderr)
                self.assertEqual(result.messages, [])
                self.assertFalse(os.path.exists(self.transfer_path))

    def test_exit_ends_the_run_before_later_lines(self):
        for exit_line in ("EXIT", "exit", "  Exit  ", "EXIT = anything at all"):
            with self.subTest(exit_line=exit_line):
                result = self.run_script(exit_line, *self.text_export(), "SAVE")
                self.assertEqual(result.code, 0, result.stderr)
                self.assertNotIn(EXPORT_STATUS, result.statuses)
                self.assertFalse(os.path.exists(self.out("OUT.TXT")))
                self.assertFalse(os.path.exists(self.transfer_path))

    def test_lookalikes_of_ending_commands_are_ignored(self):
        result = self.run_script("EXITS", "EXIT now", "SHOW ME", "PRINT it", "RUNNER /bin/false",
                                 "-- EXIT", *self.text_export(), "SAVE")
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.successes(result), [SUCCESS + self.out("OUT.TXT")])
        self.assertEqual(result.of("window"), [{"event": "window", "name": "Message",
                                                "state": "shown"}])

    def test_show_hands_the_run_to_the_grid_and_later_lines_never_run(self):
        result = self.run_script("show", "EXIT", *self.text_export(), "SAVE")
        self.assertIn("Building the database CrossTab screen ...", result.statuses)
        grid = [e for e in result.of("window") if e["name"] == "Grid"]
        self.assertTrue(grid, result.stderr)
        self.assertEqual(grid[0]["state"], "shown")
        self.assertEqual(grid[0]["columns"], ["NAME", "QTY"])
        self.assertNotIn(SAVE_STATUS, result.statuses)
        self.assertFalse(os.path.exists(self.out("OUT.TXT")))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertFalse(os.path.exists(self.transfer_path))

    def test_run_and_open_hand_over_and_later_lines_never_run(self):
        missing = os.path.join(self.dir, "no such document.pdf")
        for line, operation, message in (
                ("RUN /bin/true", "run", None),
                ("open " + missing, "open", "Unable to open the document: " + missing)):
            with self.subTest(line=line):
                result = self.run_script(line, *self.text_export(), "SAVE")
                launches = result.of("launch")
                self.assertEqual([e["operation"] for e in launches], [operation], result.stderr)
                if message:
                    self.assertFatal(result, message)
                else:
                    self.assertEqual(result.code, 0, result.stderr)
                self.assertNotIn(SAVE_STATUS, result.statuses)
                self.assertFalse(os.path.exists(self.transfer_path))

    def test_print_shows_its_status_and_ends_the_run(self):
        result = self.run_script("PRINT", *self.text_export(), "SAVE")
        self.assertEqual(result.statuses[-1], "Loading Report Engine ...")
        self.assertFalse(os.path.exists(self.out("OUT.TXT")))
        # No REPORT block named a report: the report printer says so and ends the run.
        self.assertTrue(result.messages[-1]["text"].startswith("The report definition not found: "),
                        result.stderr)
        self.assertEqual(result.code, 1, result.stderr)
        self.assertFalse(os.path.exists(self.transfer_path))


class Blocks(ScriptCase):
    def test_keywords_and_keys_in_any_case(self):
        out = os.path.join(self.dir, "Lower Case")
        result = self.run_script("export = sales.dat {", "  location =  " + out,
                                 "type = text", "}", "save")
        self.assertEqual(result.code, 0, result.stderr)
        self.assertTrue(os.path.isfile(os.path.join(out, "SALES.TXT")))
        self.assertEqual(result.statuses[-2:], [EXPORT_STATUS, SAVE_STATUS])

    def test_export_line_without_equals_is_ignored_with_its_block(self):
        result = self.run_script("EXPORT {", "LOCATION = " + os.path.join(self.dir, "out"),
                                 "TYPE = TEXT", "}", "SAVE")
        self.assertEqual(result.code, 0, result.stderr)
        self.assertNotIn(EXPORT_STATUS, result.statuses)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "out")))
        # SAVE still names the start values: the scratch database itself.
        self.assertEqual(self.successes(result),
                         [SUCCESS + self.work + "/UNTITLED.MDB(UNTITLED)"])

    def test_a_later_block_inherits_type_and_location(self):
        result = self.run_script(*self.text_export("FIRST.MDB"), "SAVE",
                                 "EXPORT = second.mdb", "}", "SAVE")
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.successes(result),
                         [SUCCESS + self.out("FIRST.TXT"), SUCCESS + self.out("SECOND.TXT")])
        self.assertTrue(os.path.isfile(self.out("SECOND.TXT")))

    def test_a_block_without_closing_brace_ends_at_the_end_of_the_file(self):
        result = self.run_script("EXPORT = tail", "LOCATION = " + os.path.join(self.dir, "out"),
                                 "TYPE = TEXT", "SAVE")
        # SAVE is read as a line of the block, so nothing is saved.
        self.assertEqual(result.code, 0, result.stderr)
        self.assertNotIn(SAVE_STATUS, result.statuses)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "out")))

    def test_location_expands_variables_and_keeps_its_case(self):
        env = self.env(NV_E2E_BASE=os.path.join(self.dir, "Base Folder"))
        result = self.run_script("EXPORT = rep", "LOCATION = %NV_E2E_BASE%\\Sub\\Deep",
                                 "TYPE = TEXT", "}", "SAVE", env=env)
        expected = os.path.join(self.dir, "Base Folder", "Sub", "Deep", "REP.TXT")
        self.assertEqual(self.successes(result), [SUCCESS + expected])
        self.assertTrue(os.path.isfile(expected))

    def test_report_block_does_not_touch_the_export_destination(self):
        result = self.run_script(*self.text_export("REAL"), "REPORT = monthly {",
                                 "LOCATION = /elsewhere", "TITLE = x", "FILE = other.txt", "}",
                                 "SAVE")
        self.assertIn(REPORT_STATUS, result.statuses)
        self.assertEqual(self.successes(result), [SUCCESS + self.out("REAL.TXT")])


class SetCommand(ScriptCase):
    def env_dump_program(self):
        """A program that writes its environment to env.out in the work folder."""
        path = os.path.join(self.dir, "dump-env")
        with open(path, "w") as f:
            f.write("#!/bin/sh\nenv > \"$PWD/env.out.tmp\" && mv \"$PWD/env.out.tmp\" "
                    "\"$PWD/env.out\"\n")
        os.chmod(path, stat.S_IRWXU)
        return path

    def started_environment(self):
        target = os.path.join(self.work, "env.out")
        deadline = time.time() + 10
        while not os.path.exists(target) and time.time() < deadline:
            time.sleep(0.05)
        with open(target) as f:
            return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)

    def test_set_outside_a_block_defines_the_variable_inside_a_report_block_a_formula(self):
        program = self.env_dump_program()
        result = self.run_script("SET NV_E2E_OUTSIDE = Mixed Value ",
                                 "REPORT = r", "SET NV_E2E_INSIDE = formula", "}",
                                 "RUN " + program)
        self.assertEqual(result.code, 0, result.stderr)
        env = self.started_environment()
        self.assertEqual(env.get("NV_E2E_OUTSIDE"), "Mixed Value")
        self.assertNotIn("NV_E2E_INSIDE", env)

    def test_preview_setting_only_moves_one_way(self):
        result = self.run_script("SET PREVIEW = 0", "SET PREVIEW=1", "RUN /bin/true")
        launches = result.of("launch")
        self.assertEqual(len(launches), 1, result.stderr)
        self.assertEqual(launches[0]["show"], 0)

    def test_a_refused_set_ends_the_run_with_the_value_part(self):
        result = self.run_script("SET = lost value", *self.text_export(), "SAVE")
        self.assertFatal(result, "Unable to define the environment: lost value")
        self.assertFalse(os.path.exists(self.out("OUT.TXT")))
        self.assertFalse(os.path.exists(self.transfer_path))


if __name__ == "__main__":
    unittest.main()
