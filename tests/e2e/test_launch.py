"""RUN and OPEN at the end of a script, end to end."""
import os
import stat
import time
import unittest

from harness import RunCase, transfer_text

FIELDS = ["ID/4/4"]

# A stand-in program: writes its argument count, arguments, working folder and
# where its standard output goes, to the file named by NV_OUT.
PROGRAM = """#!/bin/sh
fd1=$(readlink /proc/$$/fd/1)
exec >/dev/null 2>&1
sleep "${NV_DELAY:-0}"
{ echo "$#"; for a in "$@"; do echo "arg:$a"; done; pwd; echo "$fd1"; } > "$NV_OUT.tmp"
mv "$NV_OUT.tmp" "$NV_OUT"
"""


class Launching(RunCase):
    def setUp(self):
        super().setUp()
        self.out = os.path.join(self.dir, "launched.txt")

    def make_program(self, relative):
        path = os.path.join(self.dir, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(PROGRAM)
        os.chmod(path, 0o755)
        return path

    def wait_for_output(self, timeout=10):
        for _ in range(int(timeout / 0.05)):
            if os.path.exists(self.out):
                with open(self.out) as f:
                    return f.read().splitlines()
            time.sleep(0.05)
        self.fail("the program did not run")

    def run_script(self, script, **env):
        env = self.env(NV_OUT=self.out, **env)
        return self.run_transfer(transfer_text(FIELDS, ["1"], script), env=env)

    def test_run_upper_case_exe_gets_its_own_path_as_parameter(self):
        prog = self.make_program("bin/tool.EXE")
        result, path = self.run_script(["RUN " + prog, "EXIT"])
        self.assertEqual(result.code, 0, result.stderr)
        lines = self.wait_for_output()
        self.assertEqual(lines[:3], ["1", "arg:" + prog, self.work])
        launch = result.of("launch")[0]
        self.assertEqual(launch, {"event": "launch", "operation": "run", "file": prog,
                                  "parameters": prog, "directory": self.work + "/", "show": 1,
                                  "result": launch["result"]})
        self.assertGreater(launch["result"], 32)
        self.assertEqual(result.statuses[-2:], ["Running %s ... " % prog, "Closing .... "])
        self.assertFalse(os.path.exists(path))

    def test_run_lower_case_exe_and_blanks_in_the_path(self):
        prog = self.make_program("my tools/tool.exe")
        result, _ = self.run_script(["RUN  " + prog + "  "])
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.wait_for_output()[:2], ["0", self.work])
        self.assertIsNone(result.of("launch")[0]["parameters"])

    def test_run_expands_references_and_hides_after_preview_0(self):
        prog = self.make_program("bin/tool.sh")
        result, _ = self.run_script(["SET NV_BIN = " + os.path.dirname(prog),
                                     "SET PREVIEW=0", "RUN %NV_BIN%\\tool.sh"])
        self.assertEqual(result.code, 0, result.stderr)
        lines = self.wait_for_output()
        self.assertEqual(lines[-1], "/dev/null", "hidden: no inherited output")
        launch = result.of("launch")[0]
        self.assertEqual((launch["file"], launch["show"]), (prog, 0))
        self.assertIn("Running %s ... " % prog, result.statuses)

    def test_run_failures_quote_the_text_as_written(self):
        result, path = self.run_script(["RUN %NV_NOWHERE%/missing-program", "EXIT"])
        self.assertFatal(result, "Unable to run the command: %NV_NOWHERE%/missing-program")
        self.assertEqual(result.statuses[-1], "Closing .... ")
        self.assertFalse(os.path.exists(path))
        prog = self.make_program("bin/tool.sh")
        result, _ = self.run_script(["RUN " + prog + " --verbose"])
        self.assertFatal(result, "Unable to run the command: " + prog + " --verbose")
        self.assertFalse(os.path.exists(self.out))

    def test_the_run_ends_without_waiting_for_the_program(self):
        prog = self.make_program("bin/slow.sh")
        export = os.path.join(self.dir, "never")
        started = time.monotonic()
        result, path = self.run_script(
            ["RUN " + prog, "EXPORT = X {", "TYPE = TEXT", "LOCATION = " + export, "}", "SAVE"],
            NV_DELAY="2")
        self.assertLess(time.monotonic() - started, 10)
        self.assertEqual(result.code, 0, result.stderr)
        self.assertFalse(os.path.exists(path), "deleted while the program still runs")
        self.assertFalse(os.path.exists(self.out))
        self.assertFalse(os.path.exists(export), "lines after RUN never run")
        self.wait_for_output()


class Opening(RunCase):
    def setUp(self):
        super().setUp()
        self.bin = os.path.join(self.dir, "bin")
        os.mkdir(self.bin)
        self.opened = os.path.join(self.dir, "opened.txt")
        opener = os.path.join(self.bin, "xdg-open")
        with open(opener, "w") as f:
            f.write('#!/bin/sh\necho "$1" > "%s"\nexit ${NV_XDG_STATUS:-0}\n' % self.opened)
        os.chmod(opener, 0o755)

    def run_open(self, script, **env):
        env = self.env(PATH=self.bin + ":" + os.environ.get("PATH", "/usr/bin:/bin"), **env)
        return self.run_transfer(transfer_text(FIELDS, ["1"], script), env=env)

    def read_opened(self):
        with open(self.opened) as f:
            return f.read().strip()

    def test_open_a_document_and_a_url(self):
        doc = os.path.join(self.dir, "report.pdf")
        open(doc, "w").close()
        result, path = self.run_open(["SET PREVIEW=0", "OPEN " + doc])
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.read_opened(), doc)
        launch = result.of("launch")[0]
        self.assertEqual((launch["operation"], launch["file"], launch["show"]), ("open", doc, 1))
        self.assertIn("Opening the document %s ... " % doc, result.statuses)
        self.assertFalse(os.path.exists(path))

        result, _ = self.run_open(["OPEN https://example.invalid/orders?id=1"])
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(self.read_opened(), "https://example.invalid/orders?id=1")

    def test_open_failures(self):
        result, path = self.run_open(["OPEN missing.pdf"])
        self.assertFatal(result, "Unable to open the document: missing.pdf")
        self.assertFalse(os.path.exists(path))
        doc = os.path.join(self.dir, "x.unknown")
        open(doc, "w").close()
        result, _ = self.run_open(["OPEN " + doc], NV_XDG_STATUS="3")
        self.assertFatal(result, "Unable to open the document: " + doc)


if __name__ == "__main__":
    unittest.main()
