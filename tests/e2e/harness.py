"""Runs the real norvakel program in unattended mode and reads what it reports.

Every test gets its own work folder (TEMP) and writes its transfer file there.
"""
import json
import os
import shutil
import sqlite3
import subprocess
import tempfile
import unittest

HEAD = "][ZOBRAFEX HEAD]["
DATA = "][ZOBRAFEX DATA]["
COMMAND = "][ZOBRAFEX COMMAND]["
TERMINATE = "\r\nThe program will terminate."


def binary():
    path = os.environ.get("NORVAKEL_BIN")
    if not path:
        here = os.path.dirname(os.path.abspath(__file__))
        path = os.path.join(here, "..", "..", "build", "norvakel")
    return os.path.abspath(path)


def transfer_text(fields, values, script=(), data_marker=True, command_marker=True):
    """fields: ["NAME/10/20", ...]; values: data lines; script: command lines."""
    lines = [HEAD] + list(fields)
    if data_marker:
        lines.append(DATA)
    lines += list(values)
    if command_marker:
        lines.append(COMMAND)
    lines += list(script)
    return "".join(line + "\r\n" for line in lines)


class Result:
    def __init__(self, proc):
        self.code = proc.returncode
        self.stderr = proc.stderr.decode("utf-8", "replace")
        self.events = []
        for line in self.stderr.splitlines():
            if line.startswith("{"):
                try:
                    self.events.append(json.loads(line))
                except ValueError:
                    pass

    def of(self, kind):
        return [e for e in self.events if e.get("event") == kind]

    @property
    def messages(self):
        return self.of("message")

    @property
    def statuses(self):
        return [e["text"] for e in self.of("status")]

    @property
    def exit_code(self):
        exits = self.of("exit")
        return exits[-1]["code"] if exits else None


class RunCase(unittest.TestCase):
    """A test case with a private work folder and helpers to run the program."""

    # Every Access file a test leaves in its folder is judged by jet_check and
    # by Jackcess when the test ends; a test that damages one on purpose
    # turns this off.
    check_access_files_left = True

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="nv-e2e-")
        self.work = os.path.join(self.dir, "work")
        os.mkdir(self.work)
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.addCleanup(self.check_access_files)

    def check_access_files(self):
        if not self.check_access_files_left:
            return
        from accessdb import check_structure, is_access
        for root, _, names in os.walk(self.dir):
            for name in names:
                path = os.path.join(root, name)
                # Hidden files are working copies a stopped writer left.
                if name.startswith(".") or os.path.islink(path) or not os.path.isfile(path):
                    continue
                if os.path.getsize(path) >= 4096 and is_access(path):
                    check_structure(path)

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "TMP", "TMPDIR")}
        env.update({"NORVAKEL_UNATTENDED": "1", "TEMP": self.work, "LC_ALL": "C.UTF-8",
                    "QT_QPA_PLATFORM": "offscreen"})
        env.update(extra)
        return env

    def write_transfer(self, text, name="transfer.dat", raw=None):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(raw if raw is not None else text.encode("utf-8"))
        return path

    def run_program(self, *args, env=None, timeout=120, cwd=None):
        proc = subprocess.run([binary(), *args], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=env if env is not None else self.env(),
                              timeout=timeout, cwd=cwd or self.dir)
        result = Result(proc)
        # The exit line is the last word of every run.
        if result.events:
            self.assertEqual(result.events[-1].get("event"), "exit", result.stderr)
            self.assertEqual(result.events[-1]["code"], result.code, result.stderr)
        return result

    def run_transfer(self, text, env=None, raw=None):
        path = self.write_transfer(text, raw=raw)
        return self.run_program(path, env=env), path

    def scratch_rows(self, table="UNTITLED", db=None):
        db = db or os.path.join(self.work, "UNTITLED.MDB")
        con = sqlite3.connect(db)
        try:
            return con.execute('SELECT * FROM "%s" ORDER BY rowid' % table.replace('"', '""')).fetchall()
        finally:
            con.close()

    def scratch_columns(self, table="UNTITLED", db=None):
        db = db or os.path.join(self.work, "UNTITLED.MDB")
        from accessdb import access_columns, is_access
        if is_access(db):
            return access_columns(db, table)
        con = sqlite3.connect(db)
        try:
            return [r[1] for r in con.execute('PRAGMA table_info("%s")' % table.replace('"', '""'))]
        finally:
            con.close()

    def assertFatal(self, result, text):
        """The run ended with exactly this fatal message."""
        msgs = result.messages
        self.assertTrue(msgs, result.stderr)
        self.assertEqual(msgs[-1]["text"], text + TERMINATE)
        self.assertEqual(msgs[-1]["icon"], "critical")
        self.assertEqual(msgs[-1]["caption"], "Norvakel")
        self.assertEqual(result.code, 1)


def start_xvfb(size="1024x768x24"):
    """Starts a private Xvfb; returns (DISPLAY value, process)."""
    read, write = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", size,
                             "-nolisten", "tcp"],
                            pass_fds=(write,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as r:
        number = r.readline().strip()
    if not number:
        proc.kill()
        proc.wait()
        raise RuntimeError("Xvfb did not start")
    return ":" + number, proc
