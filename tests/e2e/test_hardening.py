"""Untrusted transfer files against launched programs, the environment, paths
and a shared work folder, through the real program."""
import os
import sqlite3
import stat
import subprocess
import time
import unittest

from harness import RunCase, binary, transfer_text

FIELDS = ["ID/4/4", "NAME/10/20"]
VALUES = ["1", "one", "2", "two"]

# Writes where its three standard streams go to $NV_OUT, then lingers with
# its streams open, as a viewer would.
PROGRAM = """#!/bin/sh
s0=$(readlink /proc/$$/fd/0); s1=$(readlink /proc/$$/fd/1); s2=$(readlink /proc/$$/fd/2)
printf '%s\\n%s\\n%s\\n' "$s0" "$s1" "$s2" > "$NV_OUT.tmp"; mv "$NV_OUT.tmp" "$NV_OUT"
echo "noise on stdout"; echo "noise on stderr" >&2
sleep 20
"""

LOADER_VARIABLES = [
    "LD_PRELOAD", "LD_LIBRARY_PATH", "BASH_ENV", "ENV", "BASH_FUNC_f%%", "SHELLOPTS", "PS4",
    "PYTHONSTARTUP", "PYTHONPATH", "PYTHONHOME", "PERL5OPT", "PERL5LIB", "PERLLIB", "RUBYOPT",
    "RUBYLIB", "NODE_OPTIONS", "NODE_PATH", "JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS",
    "JDK_JAVA_OPTIONS", "GCONV_PATH", "GTK_MODULES", "GTK_PATH", "GIO_EXTRA_MODULES",
    "QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS",
    "XDG_DATA_HOME", "XDG_DATA_DIRS"]


class LaunchedPrograms(RunCase):
    def setUp(self):
        super().setUp()
        self.out = os.path.join(self.dir, "streams.txt")
        self.prog = os.path.join(self.dir, "viewer")
        with open(self.prog, "w") as f:
            f.write(PROGRAM)
        os.chmod(self.prog, 0o755)

    def streams(self):
        for _ in range(200):
            if os.path.exists(self.out):
                with open(self.out) as f:
                    return f.read().splitlines()
            time.sleep(0.05)
        self.fail("the program did not run")

    def run_until_stream_closes(self, script, **env):
        """Reads standard error until it closes, as a caller of the program does."""
        path = self.write_transfer(transfer_text(FIELDS, VALUES, script))
        started = time.monotonic()
        proc = subprocess.run([binary(), path], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=self.env(NV_OUT=self.out, **env), timeout=60)
        return proc, time.monotonic() - started

    def test_started_programs_never_share_our_streams_whatever_the_show_code(self):
        for preview in ("1", "0"):
            with self.subTest(preview=preview):
                if os.path.exists(self.out):
                    os.remove(self.out)
                proc, took = self.run_until_stream_closes(
                    ["SET PREVIEW=" + preview, "RUN " + self.prog])
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertLess(took, 10, "the caller waited for the started program")
                self.assertEqual(self.streams(), ["/dev/null"] * 3)
                self.assertNotIn(b"noise", proc.stderr + proc.stdout)

    def test_the_desktop_helper_gets_its_own_streams_too(self):
        bindir = os.path.join(self.dir, "bin")
        os.mkdir(bindir)
        os.symlink(self.prog, os.path.join(bindir, "xdg-open"))
        doc = os.path.join(self.dir, "doc.txt")
        open(doc, "w").close()
        proc, took = self.run_until_stream_closes(
            ["OPEN " + doc], PATH=bindir + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertLess(took, 10)
        self.assertEqual(self.streams(), ["/dev/null"] * 3)
        self.assertNotIn(b"noise", proc.stderr + proc.stdout)


class SetRefusals(RunCase):
    def test_variables_that_load_code_end_the_run_and_nothing_is_launched(self):
        marker = os.path.join(self.dir, "launched")
        for name in LOADER_VARIABLES:
            with self.subTest(name=name):
                result, _ = self.run_transfer(transfer_text(FIELDS, VALUES, [
                    "SET %s = %s" % (name, "/tmp/evil value"),
                    "RUN /bin/touch " + marker]))
                self.assertFatal(result, "Unable to define the environment: /tmp/evil value\r\n"
                                 + name + " changes how programs load code and cannot be set by "
                                 "a transfer file.")
                self.assertEqual(result.of("launch"), [])
                self.assertFalse(os.path.exists(marker))

    def test_ordinary_variables_and_path_reach_the_started_program(self):
        out = os.path.join(self.dir, "env.txt")
        prog = os.path.join(self.dir, "bin", "show-env")
        os.makedirs(os.path.dirname(prog))
        with open(prog, "w") as f:
            f.write('#!/bin/sh\nprintf "%s|%s|%s" "$MY_VAR" "$PATH" "$EMPTY" > "$NV_OUT"\n')
        os.chmod(prog, 0o755)
        # SET PATH decides where a bare program name is found.
        result, _ = self.run_transfer(transfer_text(FIELDS, VALUES, [
            "SET MY_VAR = has = sign", "SET PATH=/usr/bin:/bin:" + os.path.dirname(prog), "SET EMPTY=",
            "RUN show-env"]), env=self.env(NV_OUT=out, PATH="/usr/bin:/bin"))
        self.assertEqual(result.code, 0, result.stderr)
        for _ in range(100):
            if os.path.exists(out) and os.path.getsize(out):
                break
            time.sleep(0.05)
        with open(out) as f:
            self.assertEqual(f.read(), "has = sign|/usr/bin:/bin:%s|" % os.path.dirname(prog))


class NulBytes(RunCase):
    def run_raw_script(self, lines):
        raw = transfer_text(FIELDS, VALUES).encode() + b"".join(l + b"\r\n" for l in lines)
        return self.run_transfer(None, raw=raw)

    def test_run_and_open_with_a_nul_fail_without_starting_anything(self):
        prog = os.path.join(self.dir, "prog")
        with open(prog, "w") as f:
            f.write("#!/bin/sh\ntouch %s/ran\n" % self.dir)
        os.chmod(prog, 0o755)
        for command, message in ((b"RUN", "Unable to run the command: "),
                                 (b"OPEN", "Unable to open the document: ")):
            with self.subTest(command=command):
                result, _ = self.run_raw_script([command + b" " + prog.encode() + b"\x00.pdf"])
                self.assertFatal(result, message + prog + "\x00.pdf")
                self.assertEqual(result.of("launch")[0]["result"], 2)
                time.sleep(0.2)
                self.assertFalse(os.path.exists(os.path.join(self.dir, "ran")))

    def test_save_to_a_name_with_a_nul_is_an_invalid_path(self):
        out = os.path.join(self.dir, "out")
        for kind in (b"TEXT", b"MS/ACCESS"):
            with self.subTest(kind=kind):
                result, _ = self.run_raw_script([
                    b"EXPORT = evil\x00.x {", b"TYPE = " + kind, b"LOCATION = " + out.encode(),
                    b"}", b"SAVE"])
                self.assertEqual(result.code, 1, result.stderr)
                text = result.messages[-1]["text"]
                self.assertIn("not a valid", text)
                self.assertNotIn("stored successfully", result.stderr)
                self.assertEqual(os.listdir(out), [])

    def test_a_location_with_a_nul_cannot_be_created(self):
        result, _ = self.run_raw_script([
            b"EXPORT = x {", b"TYPE = TEXT", b"LOCATION = " + self.dir.encode() + b"/a\x00b",
            b"}", b"SAVE"])
        self.assertFatal(result, "Fail to create the directory given.")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "a")))


@unittest.skipUnless(os.geteuid() == 0, "planting another user's link needs root")
class SharedWorkFolder(RunCase):
    """TEMP points at a folder others may write into; they plant links there."""

    def plant(self, name, target):
        path = os.path.join(self.work, name)
        os.symlink(target, path)
        os.lchown(path, 65534, 65534)
        return path

    def test_a_text_export_over_a_planted_link_does_not_create_its_target(self):
        target = os.path.join(self.dir, "victim.txt")
        self.plant("OUT.TXT", target)
        result, _ = self.run_transfer(transfer_text(FIELDS, VALUES, [
            "EXPORT = out {", "TYPE = TEXT", "}", "SAVE"]))
        self.assertEqual(result.code, 1, result.stderr)
        self.assertIn("link that another user made", result.messages[-1]["text"])
        self.assertFalse(os.path.exists(target))

    def test_an_access_export_over_a_planted_link_leaves_the_linked_database_alone(self):
        victim = os.path.join(self.dir, "victim.mdb")
        con = sqlite3.connect(victim)
        con.execute("CREATE TABLE KEEP (A)")
        con.execute("INSERT INTO KEEP VALUES (42)")
        con.commit()
        con.close()
        with open(victim, "rb") as f:
            before = f.read()
        self.plant("OUT.MDB", victim)
        result, _ = self.run_transfer(transfer_text(FIELDS, VALUES, [
            "EXPORT = out {", "TYPE = MS/ACCESS", "}", "SAVE"]))
        self.assertEqual(result.code, 1, result.stderr)
        self.assertIn("link that another user made", result.messages[-1]["text"])
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_a_planted_scratch_journal_is_not_followed(self):
        target = os.path.join(self.dir, "victim-journal")
        self.plant("UNTITLED.MDB-journal", target)
        result, _ = self.run_transfer(transfer_text(FIELDS, VALUES, ["EXIT"]))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertFalse(os.path.exists(target))
        self.assertEqual(self.scratch_rows(), [(1, "one"), (2, "two")])


class DurableDestinations(RunCase):
    def test_destinations_use_a_rollback_journal_and_leave_no_wal(self):
        dest = os.path.join(self.dir, "dest")
        os.mkdir(dest)
        db = os.path.join(dest, "OUT.MDB")
        con = sqlite3.connect(db)
        con.execute("PRAGMA journal_mode=WAL")
        con.execute("CREATE TABLE KEEP (A)")
        con.execute("INSERT INTO KEEP VALUES (7)")
        con.commit()
        con.close()
        result, _ = self.run_transfer(transfer_text(FIELDS, VALUES, [
            "EXPORT = out {", "TYPE = MS/ACCESS", "LOCATION = " + dest, "TABLE = OUT", "}", "SAVE"]))
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(sorted(os.listdir(dest)), ["OUT.MDB"])
        con = sqlite3.connect(db)
        self.assertEqual(con.execute("PRAGMA journal_mode").fetchone()[0], "delete")
        self.assertEqual(con.execute("SELECT * FROM KEEP").fetchall(), [(7,)])
        self.assertEqual(con.execute("SELECT * FROM OUT").fetchall(), [(1, "one"), (2, "two")])
        con.close()


if __name__ == "__main__":
    unittest.main()
