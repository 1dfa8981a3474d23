"""A desktop hands a downloaded transfer file to the installed Norvakel.

The build is installed into a private prefix (`cmake --install`), which also
refreshes that prefix's MIME and desktop caches. Under Xvfb, with private XDG
folders and no desktop environment (so xdg-utils use their generic code,
shared-mime-info's database and File::MimeInfo), the test asks xdg-mime which
type a transfer file has and which application opens it, then opens transfer
files with xdg-open and with gio and reads the program's unattended events from
a log it set up.
"""
import os
import shutil
import subprocess
import time
import unittest

from harness import HEAD, RunCase, Result, binary, transfer_text, start_xvfb

MIME = "application/x-norvakel-transfer"
TOOLS = ["cmake", "Xvfb", "xdg-mime", "xdg-open", "mimetype", "gio",
         "update-mime-database", "update-desktop-database"]


def build_dir():
    return os.environ.get("NORVAKEL_BUILD_DIR") or os.path.dirname(binary())


@unittest.skipIf([t for t in TOOLS if shutil.which(t) is None],
                 "missing: %s" % " ".join(t for t in TOOLS if shutil.which(t) is None))
class Handoff(RunCase):
    def setUp(self):
        super().setUp()
        self.prefix = os.path.join(self.dir, "prefix")
        install = subprocess.run(["cmake", "--install", build_dir(), "--prefix", self.prefix],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        self.assertEqual(install.returncode, 0, install.stdout.decode(errors="replace"))
        self.display, xvfb = start_xvfb()
        self.addCleanup(xvfb.wait)
        self.addCleanup(xvfb.terminate)
        self.downloads = os.path.join(self.dir, "Downloads")
        os.mkdir(self.downloads)

    def desktop_env(self):
        home = os.path.join(self.dir, "home")
        runtime = os.path.join(self.dir, "runtime")
        for folder in (home, runtime):
            os.makedirs(folder, mode=0o700, exist_ok=True)
        env = {k: v for k, v in self.env().items()
               if k not in ("QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION",
                            "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
                            "DBUS_SESSION_BUS_ADDRESS", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS")}
        env.update({
            "DISPLAY": self.display,
            "HOME": home,
            "XDG_RUNTIME_DIR": runtime,
            "XDG_DATA_HOME": os.path.join(self.dir, "data"),
            "XDG_CONFIG_HOME": os.path.join(self.dir, "config"),
            "XDG_DATA_DIRS": os.path.join(self.prefix, "share") + ":/usr/share",
            "XDG_CONFIG_DIRS": os.path.join(self.dir, "etc-xdg"),
            # Only the installed program can answer to "norvakel".
            "PATH": os.path.join(self.prefix, "bin") + ":/usr/bin:/bin",
        })
        return env

    def download(self, name, text):
        path = os.path.join(self.downloads, name)
        with open(path, "wb") as f:
            f.write(text.encode("utf-8"))
        return path

    def query(self, *args):
        proc = subprocess.run(["xdg-mime", "query", *args], env=self.desktop_env(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr.decode(errors="replace"))
        return proc.stdout.decode().strip()

    def export_script(self, folder):
        return ["EXPORT = HANDED {", "TYPE = TEXT", "LOCATION = " + folder, "}", "SAVE", "EXIT"]

    def open_with(self, command, path):
        """Runs `command path` with standard error into a log; returns the run's events."""
        log_path = os.path.join(self.dir, os.path.basename(command[0]) + ".log")
        with open(log_path, "wb") as log:
            opener = subprocess.run([*command, path], env=self.desktop_env(),
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                    timeout=120)
        # gio returns as soon as it has started the program; xdg-open waits for it.
        deadline = time.time() + 60
        while True:
            with open(log_path, "rb") as log:
                result = Result(subprocess.CompletedProcess([], opener.returncode, b"",
                                                            log.read()))
            if result.of("exit") or time.time() > deadline:
                break
            time.sleep(0.1)
        self.assertEqual(opener.returncode, 0, result.stderr)
        return result

    def assertExported(self, result, path, folder):
        self.assertEqual(result.exit_code, 0, result.stderr)
        self.assertEqual(result.statuses[0], "Initializing ...", result.stderr)
        stored = [m["text"] for m in result.messages]
        self.assertEqual(stored, ["The requested data stored successfully.\r\n\r\n"
                                  "File Name = %s/HANDED.TXT" % folder], result.stderr)
        with open(os.path.join(folder, "HANDED.TXT"), encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines(), ['"ID","NAME"', '"7","handed over"'])
        self.assertFalse(os.path.exists(path), "the run deletes the file it was given")

    def test_type_is_known_by_marker_and_by_extension(self):
        plain = self.download("orders", transfer_text(["ID/4/4"], ["1"], ["EXIT"]))
        # The loader accepts blanks before the marker and any letter case.
        loose = self.download("loose", "   ][zobrafex Head][  \r\nID/4/4\r\n")
        named = self.download("report.nvk", "E_QE0203 host failure\r\n")
        self.assertEqual(self.query("filetype", plain), MIME)
        self.assertEqual(self.query("filetype", loose), MIME)
        self.assertEqual(self.query("filetype", named), MIME)
        # Subtitles claim text starting with "][" at a lower priority; a text
        # that is no transfer file keeps that type.
        other = self.download("subtitles", "][ZOBRAFEX TAIL][\r\n")
        self.assertNotEqual(self.query("filetype", other), MIME)
        self.assertEqual(self.query("default", MIME), "norvakel.desktop")

    def test_xdg_open_and_gio_open_start_norvakel_on_the_file(self):
        fields = ["ID/4/4", "NAME/10/20"]
        for name, command in (("xdg", ["xdg-open"]), ("gio.nvk", ["gio", "open"])):
            with self.subTest(opener=command[0]):
                folder = os.path.join(self.dir, "out-" + command[0].replace("-", ""))
                text = transfer_text(fields, ["7", "handed over"], self.export_script(folder))
                path = self.download(name, text)
                result = self.open_with(command, path)
                self.assertExported(result, path, folder)


if __name__ == "__main__":
    unittest.main()
