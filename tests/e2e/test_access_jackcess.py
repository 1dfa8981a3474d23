"""Access files another program made and changed: Jackcess (through the
checker in ../shared/tools/jetcheck) makes databases with indexes of every
kind, Nulls, long values and a relationship; SAVE adds and replaces tables in
them and a report reads Jackcess's tables; Jackcess then finds the files sound
and its own tables unchanged. Our checker (jet_check) and Jackcess's agree on
the suite's files and on damaged copies of them."""
import json
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

from accessdb import access_rows, check_structure, jetcheck, jetcheck_tool
from harness import binary, transfer_text
from test_report import ReportCase, pdf_text

HERE = os.path.dirname(os.path.abspath(__file__))
PAGE = 4096

COUNT_REPORT = """<?xml version="1.0" encoding="UTF-8"?>
<jasperReport xmlns="http://jasperreports.sourceforge.net/jasperreports" name="count"
              pageWidth="595" pageHeight="842" columnWidth="535"
              leftMargin="30" rightMargin="30" topMargin="30" bottomMargin="30">
    <property name="norvakel.table" value="%s"/>
    <field name="%s" class="java.lang.Integer"/>
    <variable name="Total" class="java.lang.Integer" calculation="Sum">
        <variableExpression><![CDATA[$F{%s}]]></variableExpression>
    </variable>
    <summary>
        <band height="16">
            <textField>
                <reportElement x="0" y="0" width="400" height="16"/>
                <textFieldExpression><![CDATA["Rows " + $V{REPORT_COUNT} + " total " + $V{Total}]]></textFieldExpression>
            </textField>
        </band>
    </summary>
</jasperReport>
"""

FIELDS = ["ORDER_ID/4/4", "CUSTOMER/10/40", "AMOUNT/7/8", "NOTE/12/4000"]


def order_values(count):
    values = []
    for i in range(count):
        values += [str(i + 1), "Kunde %d Ärger" % i if i % 5 else "", "%d.5" % i if i % 3 else "",
                   ("memo %d " % i) * (300 if i % 10 == 0 else 1)]
    return values


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def require_jetcheck(case):
    tool, why = jetcheck_tool()
    if tool is None:
        case.skipTest(why)
    return tool


def dump(path):
    """Jackcess's reading of every user table: {table: sorted row texts}."""
    tool = jetcheck_tool()[0]
    with tempfile.NamedTemporaryFile(suffix=".jsonl") as out:
        subprocess.run([tool, "--dump=" + out.name, path], capture_output=True, timeout=900)
        tables = {}
        with open(out.name, encoding="utf-8") as f:
            for line in f:
                row = json.loads(line)
                tables.setdefault(row["table"], []).append(json.dumps(row["row"], sort_keys=True))
    return {name: sorted(rows) for name, rows in tables.items()}


def relate(path):
    """Adds Jackcess's related tables PARENTS and CHILDREN; False without a JDK."""
    if shutil.which("javac") is None:
        return False
    jar = os.path.join(os.path.dirname(jetcheck_tool()[0]), "jackcess.jar")
    with tempfile.TemporaryDirectory() as classes:
        subprocess.run(["javac", "-nowarn", "-cp", jar, "-d", classes,
                        os.path.join(HERE, "jackcess", "Relate.java")],
                       check=True, capture_output=True, timeout=300)
        cp = ":".join([classes, jar, "/usr/share/java/commons-lang3.jar",
                       "/usr/share/java/commons-logging.jar"])
        subprocess.run(["java", "-cp", cp, "Relate", path], check=True, capture_output=True,
                       timeout=300)
    return True


class JackcessMadeDatabases(ReportCase):
    def setUp(self):
        super().setUp()
        self.tool = require_jetcheck(self)
        self.out = os.path.join(self.dir, "Out")
        os.makedirs(self.out)
        self.path = os.path.join(self.out, "SALES.MDB")

    def jackcess(self, *args):
        out = subprocess.run([self.tool] + list(args), capture_output=True, text=True, timeout=900)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    def save(self, table, count, extra=()):
        script = ["EXPORT = SALES {", "TYPE = MS/ACCESS", "LOCATION = " + self.out,
                  "TABLE = " + table, "}", "SAVE quiet"] + list(extra)
        return self.run_transfer(transfer_text(FIELDS, order_values(count), script),
                                 env=self.env(NORVAKEL_PDF_PRINTER=self.pdf))[0]

    def test_saves_into_files_jackcess_made_leave_its_tables_as_they_were(self):
        self.jackcess("--create", self.path, "--rows", "400")
        self.jackcess("--write", self.path, "--rows", "120")
        check_structure(self.path)
        before = dump(self.path)
        self.assertEqual(len(before["JACKCESS_MADE"]), 400)

        # A new table (the grid shows what was saved), then Jackcess's table
        # without relationships replaced and a report over Jackcess's table.
        self.write_report("made.jrxml", COUNT_REPORT % ("JACKCESS_MADE", "CODE", "CODE"))
        result = self.save("ORDERS", 300, ["SHOW"])
        self.assertEqual(result.code, 0, result.stderr)
        grid = [e for e in result.of("window") if e["name"] == "Grid"]
        self.assertEqual(grid[0]["rows"] if grid else None, 300, result.stderr)
        result = self.save("Plain Table", 40, self.report_block("made.jrxml") + ["PRINT"])
        self.assertEqual(result.code, 0, result.stderr)
        # CODE is 3k+1 for k = 0..399.
        self.assertIn("Rows 400 total %d" % sum(3 * k + 1 for k in range(400)), pdf_text(self.pdf))

        check_structure(self.path)
        after = dump(self.path)
        for name, rows in before.items():
            if name != "Plain Table":
                self.assertEqual(after[name], rows, name)
        self.assertEqual(len(after["ORDERS"]), 300)
        # The replacing table takes the name as SAVE writes it.
        self.assertNotIn("Plain Table", after)
        self.assertEqual(len(after["PLAIN TABLE"]), 40)
        self.assertEqual(access_rows(self.path, "ORDERS")[1][:3], (2, "Kunde 1 Ärger", 1.5))

        # Jackcess changes the file in turn (rows into every table, ours too),
        # and a report reads our table through the rows Jackcess added.
        self.jackcess("--write", self.path, "--rows", "10", "--append", "7")
        check_structure(self.path)
        self.write_report("orders.jrxml", COUNT_REPORT % ("ORDERS", "ORDER_ID", "ORDER_ID"))
        os.remove(self.pdf)
        result = self.print_run(["EXPORT = SALES {", "TYPE = MS/ACCESS", "LOCATION = " + self.out,
                                 "TABLE = ORDERS", "}"] + self.report_block("orders.jrxml")
                                + ["PRINT"])[0]
        self.assertEqual(result.code, 0, result.stderr)
        self.assertIn("Rows 307 total %d" % (sum(range(1, 301)) + 7 * 900003),
                      pdf_text(self.pdf))

    def test_a_file_with_a_relationship_takes_tables_but_keeps_the_related_ones(self):
        self.jackcess("--create", self.path, "--rows", "100")
        if not relate(self.path):
            self.skipTest("the relationship needs javac (a JDK) to build its Jackcess aid")
        check_structure(self.path)
        before = dump(self.path)
        result = self.save("ORDERS", 30)
        self.assertEqual(result.code, 0, result.stderr)
        check_structure(self.path)
        after = dump(self.path)
        self.assertEqual({n: r for n, r in after.items() if n != "ORDERS"}, before)
        # A table in a relationship is not replaced, and the file stays as it was.
        bytes_before = read_bytes(self.path)
        for table in ("CHILDREN", "PARENTS"):
            result = self.save(table, 3)
            self.assertEqual(result.code, 1, result.stderr)
            self.assertIn("relationship", result.messages[-1]["text"])
            self.assertEqual(read_bytes(self.path), bytes_before)

    def test_a_failed_save_leaves_the_file_and_a_new_one_never_appears(self):
        # The last row is wider than a page can hold (3047), after 200 rows
        # were already written.
        wide = ["W%02d/10/255" % i for i in range(10)]
        values = []
        for i in range(200):
            values += ["row %d" % i] * 10
        values += ["\u20ac" * 255] * 10
        for existing in (False, True):
            with self.subTest(existing=existing):
                if existing:
                    self.jackcess("--create", self.path, "--rows", "50")
                with_bytes = read_bytes(self.path) if existing else None
                text = transfer_text(wide, values, ["EXPORT = SALES {", "TYPE = MS/ACCESS",
                                                    "LOCATION = " + self.out, "TABLE = WIDE", "}",
                                                    "SAVE"])
                result = self.run_transfer(text)[0]
                self.assertEqual(result.code, 1, result.stderr)
                self.assertIn("(3047)", result.messages[-1]["text"])
                if existing:
                    self.assertEqual(read_bytes(self.path), with_bytes)
                else:
                    self.assertFalse(os.path.exists(self.path))
                self.assertEqual(sorted(os.listdir(self.out)), ["SALES.MDB"] if existing else [])


# ---- jet_check against Jackcess ------------------------------------------------


def pages(data):
    return [data[i:i + PAGE] for i in range(0, len(data), PAGE)]


def find_tdef(data, column):
    """The table definition page naming `column`."""
    needle = column.encode("utf-16-le")
    for n, page in enumerate(pages(data)):
        if page[0] == 2 and needle in page:
            return n
    raise AssertionError("no table defines " + column)


def damages(data):
    """Damaged copies of a sound file of ours: (what, bytes)."""
    tdef = find_tdef(data, "CUSTOMER")
    out = []
    # The definition counts a row more than its pages hold.
    d = bytearray(data)
    count = struct.unpack_from("<I", d, tdef * PAGE + 16)[0]
    struct.pack_into("<I", d, tdef * PAGE + 16, count + 1)
    out.append(("row count", bytes(d)))
    # A key of the catalog's name index changed.
    for n, page in enumerate(pages(data)):
        if page[0] == 4 and struct.unpack_from("<I", page, 4)[0] == 2 and b"O\x00R" not in page:
            d = bytearray(data)
            d[n * PAGE + 0x1E0 + 12] ^= 0x10
            out.append(("catalog index key", bytes(d)))
            break
    # A data page of the table handed to another owner.
    for n, page in enumerate(pages(data)):
        if page[0] == 1 and struct.unpack_from("<I", page, 4)[0] == tdef:
            d = bytearray(data)
            struct.pack_into("<I", d, n * PAGE + 4, 2)
            out.append(("data page owner", bytes(d)))
            break
    # A long-value chain pointing past the end of the file.
    for n, page in enumerate(pages(data)):
        if page[0] == 1 and page[4:8] == b"LVAL":
            rows = struct.unpack_from("<H", page, 12)[0]
            for r in range(rows):
                start = struct.unpack_from("<H", page, 14 + 2 * r)[0] & 0x1FFF
                end = PAGE if r == 0 else struct.unpack_from("<H", page, 14 + 2 * (r - 1))[0] & 0x1FFF
                if end - start > 2000 and struct.unpack_from("<I", page, start)[0] != 0:
                    d = bytearray(data)
                    struct.pack_into("<I", d, n * PAGE + start, 0x7FFFFF00)
                    out.append(("long-value chain", bytes(d)))
                    break
            if out[-1][0] == "long-value chain":
                break
    return out


class CheckersAgree(unittest.TestCase):
    def setUp(self):
        self.tool = require_jetcheck(self)
        self.checker = os.environ.get("NORVAKEL_JET_CHECK")
        if not self.checker or not os.path.exists(self.checker):
            self.skipTest("jet_check was not built")
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir, True)

    def ours(self, path):
        out = subprocess.run([self.checker, path], capture_output=True, text=True, timeout=600)
        return [line for line in out.stdout.splitlines() if line.strip()]

    def theirs(self, path):
        status, findings, output = jetcheck(path)
        return findings if findings or status == 0 else [output[-2000:]]

    def save_ours(self):
        """A file of ours: a SAVE of a table with long values into a new file."""
        work = os.path.join(self.dir, "work")
        os.makedirs(work)
        text = transfer_text(FIELDS, order_values(400),
                             ["EXPORT = OURS {", "TYPE = MS/ACCESS", "LOCATION = " + self.dir,
                              "TABLE = ORDERS", "}", "SAVE quiet"])
        transfer = os.path.join(work, "t.nvk")
        with open(transfer, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        env = dict(os.environ, TEMP=work, TMPDIR=work, NORVAKEL_UNATTENDED="1",
                   QT_QPA_PLATFORM="offscreen")
        subprocess.run([binary(), transfer], env=env, capture_output=True, timeout=300,
                       check=True)
        return os.path.join(self.dir, "OURS.MDB")

    def test_both_pass_sound_files_and_flag_the_same_damage(self):
        sound = [self.save_ours()]
        made = os.path.join(self.dir, "MADE.MDB")
        subprocess.run([self.tool, "--create", made, "--rows", "300"], capture_output=True,
                       check=True, timeout=900)
        sound.append(made)
        testdata = os.environ.get("NORVAKEL_TESTDATA", "")
        for name in ("emptyJet4.mdb", "empty2003.mdb"):
            sample = os.path.join(testdata, "jet", name)
            if os.path.exists(sample):
                sound.append(sample)
        for path in sound:
            with self.subTest(sound=os.path.basename(path)):
                self.assertEqual(self.ours(path), [])
                self.assertEqual(self.theirs(path), [])

        with open(sound[0], "rb") as f:
            data = f.read()
        found = damages(data)
        self.assertEqual([w for w, _ in found],
                         ["row count", "catalog index key", "data page owner", "long-value chain"])
        for what, damaged in found:
            with self.subTest(damage=what):
                path = os.path.join(self.dir, what.replace(" ", "_") + ".mdb")
                with open(path, "wb") as f:
                    f.write(damaged)
                ours, theirs = self.ours(path), self.theirs(path)
                self.assertTrue(ours, what)
                self.assertTrue(theirs, what)
