"""Hostile transfer files fed to the real program within 1 GiB of address
space and 90 seconds: each is handled, or refused with a clear message, and
the run always ends in order (its exit line last, no crash)."""
import os
import sqlite3
import subprocess
import unittest

from harness import COMMAND, DATA, HEAD, TERMINATE, Result, RunCase, binary

H = (HEAD + "\r\n").encode()
D = (DATA + "\r\n").encode()
C = (COMMAND + "\r\n").encode()
ADDRESS_SPACE = 1 << 30


def sanitized():
    """An ASan build reserves terabytes of address space and runs slower."""
    with open(binary(), "rb") as f:
        return b"__asan_init" in f.read()


class HostileFiles(RunCase):
    def run_limited(self, raw):
        path = os.path.join(self.dir, "hostile.dat")
        with open(path, "wb") as f:
            f.write(raw)
        del raw
        if sanitized():
            cmd, timeout = [binary(), path], 900
        else:
            cmd, timeout = ["prlimit", "--as=%d" % ADDRESS_SPACE, "--", binary(), path], 90
        proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, env=self.env(), timeout=timeout,
                              cwd=self.dir)
        result = Result(proc)
        self.assertNotIn("Sanitizer", result.stderr[-5000:])
        self.assertTrue(result.events, result.stderr[-2000:])
        self.assertEqual(result.events[-1].get("event"), "exit", result.stderr[-2000:])
        self.assertEqual(result.exit_code, result.code)
        self.assertIn(result.code, (0, 1, 2), result.stderr[-2000:])
        return result

    def scalar(self, sql):
        con = sqlite3.connect(os.path.join(self.work, "UNTITLED.MDB"))
        try:
            return con.execute(sql).fetchone()[0]
        finally:
            con.close()

    # ---- Long lines ----------------------------------------------------------

    def test_a_100_mb_value_is_stored_whole(self):
        result = self.run_limited(H + b"NOTE/12/0\r\n" + D + b"x" * 100_000_000 + b"\r\n" + C)
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertEqual(self.scalar("SELECT length(NOTE) FROM UNTITLED"), 100_000_000)

    def test_a_100_mb_header_line_is_quoted_shortened(self):
        result = self.run_limited(H + b"A/10/1" + b"y" * 100_000_000 + b"\r\n" + D + C)
        self.assertEqual(result.code, 1)
        text = result.messages[-1]["text"]
        self.assertTrue(text.startswith("Invalid header format found: \r\nA/10/1yyyy"))
        self.assertTrue(text.endswith("..." + TERMINATE))
        self.assertLess(len(text), 70 * 1024)

    def test_a_100_mb_script_line(self):
        result = self.run_limited(H + b"A/10/10\r\n" + D + b"v\r\n" + C + b"SET BIG=" +
                                  b"z" * 100_000_000 + b"\r\nEXPORT = %BIG% {\r\n}\r\nEXIT\r\n")
        self.assertEqual(result.code, 0, result.stderr[-2000:])

    # ---- Many lines ----------------------------------------------------------

    def test_headers_beyond_what_a_table_holds_are_refused(self):
        for count in (10_000, 32_767):
            with self.subTest(count=count):
                result = self.run_limited(
                    H + b"".join(b"F%d/10/10\r\n" % i for i in range(count)) + D + C)
                self.assertEqual(result.code, 2)
                self.assertEqual(result.messages[-1]["text"],
                                 "Run-time error '3190':\r\n\r\nToo many fields defined: "
                                 "a table holds at most 2000 fields.")

    def test_ten_million_empty_data_lines(self):
        result = self.run_limited(H + b"A/10/10\r\n" + D + b"\r\n" * 10_000_000 + C + b"EXIT\r\n")
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        self.assertEqual(self.scalar("SELECT count(*) FROM UNTITLED WHERE A = ''"), 10_000_000)

    def test_a_million_script_lines(self):
        lines = [b"rubbish\r\n", b"EXPORT = X {\r\n", b"TYPE = TEXT\r\n", b"}\r\n"]
        result = self.run_limited(H + b"A/10/10\r\n" + D + b"v\r\n" + C +
                                  b"".join(lines[i % 4] for i in range(1_000_000)) + b"EXIT\r\n")
        self.assertEqual(result.code, 0)
        self.assertEqual(result.statuses.count("Setting up the Local Database Defintions ..."),
                         250_000)

    def test_a_million_distinct_set_names(self):
        sets = b"".join(b"SET NAME_%d = value %d\r\n" % (i, i) for i in range(1_000_000))
        result = self.run_limited(H + b"A/10/10\r\n" + D + b"v\r\n" + C + sets + b"EXIT\r\n")
        self.assertEqual(result.code, 0, result.stderr[-2000:])
        # Too large an environment for a program to receive: out of resources.
        result = self.run_limited(H + b"A/10/10\r\n" + D + b"v\r\n" + C + sets +
                                  b"RUN /bin/true\r\n")
        self.assertEqual(result.of("launch")[0]["result"], 8)
        self.assertEqual(result.code, 1)

    # ---- Bytes that are not text ---------------------------------------------

    def test_nul_bytes_and_invalid_utf8_everywhere(self):
        out = os.path.join(self.dir, "out").encode()
        raw = (b"][ZOBRAFEX HEAD][\x00\r\n" + b"\xffNAME\x00/10/20\r\n" + H +
               b"N\xe9/10/20\r\nX/4/4\r\n" + D + b"caf\xe9\x00\r\n\x00\xff\xfe\r\n" +
               b"\xc3\x28\r\n" * 6 + C + b"EXPORT = a\x00b\xff {\r\nTYPE = TEXT\x00\r\n" +
               b"LOCATION = " + out + b"\xff\r\n}\r\nSAVE\r\nSET \x00=\xff\r\nEXIT\r\n")
        self.run_limited(raw)  # the first line is not the HEAD marker: a host error report
        result = self.run_limited(H + raw[raw.index(H) + len(H):])
        self.assertEqual(result.code, 1, result.stderr[-2000:])
        self.assertEqual(self.scalar("SELECT count(*) FROM UNTITLED"), 4)
        # The name with a NUL names no file: nothing is written under a cut name.
        self.assertIn("not a valid", result.messages[-1]["text"])
        self.assertEqual(os.listdir(out.decode() + "\xff"), [])
        # The engine refuses a field name holding a NUL, as it refuses any
        # other invalid name: the loader does not trap engine errors.
        result = self.run_limited(H + b"X\x00Y/4/4\r\n" + D + C)
        self.assertEqual(result.code, 2)
        self.assertEqual(result.messages[-1]["text"],
                         "Run-time error '3125':\r\n\r\n'X\x00Y' is not a valid field name.")

    # ---- Blocks and references -----------------------------------------------

    def test_blocks_that_never_close_end_with_the_file(self):
        for block in (b"EXPORT = X {\r\nTYPE = TEXT\r\n", b"REPORT = R {\r\nTITLE = T\r\n"):
            with self.subTest(block=block):
                result = self.run_limited(H + b"A/10/10\r\n" + D + b"v\r\n" + C + block +
                                          b"SAVE\r\nPRINT\r\nRUN /bin/true\r\n")
                self.assertEqual(result.code, 0)
                self.assertEqual(result.messages, [])
                self.assertEqual(result.of("launch"), [])

    def test_two_thousand_references_to_a_megabyte_variable(self):
        result = self.run_limited(H + b"A/10/10\r\n" + D + b"v\r\n" + C + b"SET BIG=" +
                                  b"b" * 1_000_000 + b"\r\nEXPORT = X {\r\nTYPE = TEXT\r\n" +
                                  b"LOCATION = " + b"%BIG%" * 2000 + b"\r\n}\r\nSAVE\r\n")
        # Too long to expand: used as written, and no such folder can exist.
        self.assertFatal(result, "Fail to create the directory given.")


if __name__ == "__main__":
    unittest.main()
