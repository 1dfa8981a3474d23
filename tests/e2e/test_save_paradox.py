"""SAVE to PARADOX 3 and PARADOX 4: the real program writes Paradox tables that
our own byte-level reading here, and pxlib (when its test reader was built),
take apart."""
import os
import struct
import subprocess
import unittest

from harness import RunCase, binary, transfer_text

SUCCESS = "The requested data stored successfully.\r\n\r\nFile Name = "
FIELDS = ["NAME/10/20", "QTY/4/4", "COUNT/3/2", "PRICE/5/8", "NOTE/10/300", "DAY/8/8"]
VALUES = ["Café", "3", "7", "12.5", "a memo that is longer than its leader", "2026-03-01 10:30:00",
          "", "", "0", "0", "", "2000-01-01",
          "x" * 20, "-5", "-32767", "-0.25", "y" * 3000, "1999-12-31"]


def export_block(name, location, type_name):
    return ["EXPORT = %s {" % name, "LOCATION = " + location, "TYPE = " + type_name,
            "TABLE = ignored", "}"]


def read_table(db_path, mb_path=None):
    """A minimal reader written from the format description: header, fields,
    the block chain, and values (blank as None)."""
    with open(db_path, "rb") as f:
        data = f.read()
    mb = None
    if mb_path and os.path.exists(mb_path):
        with open(mb_path, "rb") as f:
            mb = f.read()
    record_size, header_size, file_type, block_code = struct.unpack_from("<HHBB", data, 0)
    records, = struct.unpack_from("<I", data, 6)
    blocks, first = struct.unpack_from("<HH", data, 0x0C)
    version = data[0x39]
    count, = struct.unpack_from("<h", data, 0x21)
    at = 0x78 if version >= 5 else 0x58
    descs = [(data[at + 2 * i], data[at + 2 * i + 1]) for i in range(count)]
    at += 2 * count + 4 + 4 * count + 79
    names = []
    for _ in range(count):
        end = data.index(b"\0", at)
        names.append(data[at:end].decode("cp1252"))
        at = end + 1
    info = {"version": version, "type": file_type, "block": block_code, "records": records,
            "blocks": blocks, "record_size": record_size,
            "codepage": struct.unpack_from("<H", data, 0x6A)[0] if version >= 5 else None,
            "fields": list(zip(names, [chr(c) for c, _ in descs], [s for _, s in descs]))}
    rows = []
    number = first
    while number:
        offset = header_size + (number - 1) * block_code * 1024
        nxt, prev, last = struct.unpack_from("<HHh", data, offset)
        for r in range(last // record_size + 1 if last >= 0 else 0):
            rec = data[offset + 6 + r * record_size: offset + 6 + (r + 1) * record_size]
            row, pos = [], 0
            for code, size in descs:
                row.append(decode(code, rec[pos:pos + size], mb))
                pos += size
            rows.append(row)
        number = nxt
    return info, rows


def decode(code, raw, mb):
    if code == 0x01:
        text = raw.split(b"\0", 1)[0]
        return text.decode("cp1252") if text else None
    if not any(raw) and code not in (0x0C, 0x0D):
        return None
    if code == 0x03:
        return struct.unpack(">H", raw)[0] ^ 0x8000 if raw[0] & 0x80 else \
            (struct.unpack(">H", raw)[0] ^ 0x8000) - 0x10000
    if code in (0x05, 0x06):
        value = bytes([raw[0] & 0x7F]) + raw[1:] if raw[0] & 0x80 else bytes(b ^ 0xFF for b in raw)
        return struct.unpack(">d", value)[0]
    if code == 0x02:
        return (struct.unpack(">I", raw)[0] ^ 0x80000000)
    pointer, length, _ = struct.unpack_from("<IIH", raw, len(raw) - 10)
    if length == 0:
        return None
    leader = len(raw) - 10
    if length <= leader:
        blob = raw[:length]
    else:
        block = pointer & 0xFFFFFF00
        if mb[block] == 2:
            blob = mb[block + 9: block + 9 + length]
        else:
            index = pointer & 0xFF
            start = mb[block + 12 + 5 * index] * 16
            blob = mb[block + start: block + start + length]
    return blob.decode("cp1252") if code == 0x0C else blob


def day_number(year, month, day):
    import datetime
    return datetime.date(year, month, day).toordinal()


class ParadoxSave(RunCase):
    def setUp(self):
        super().setUp()
        self.out = os.path.join(self.dir, "Out")

    def run_script(self, *script, fields=FIELDS, values=VALUES):
        result, _ = self.run_transfer(transfer_text(fields, values, script))
        return result

    def test_paradox4_writes_a_table_and_its_blob_file(self):
        result = self.run_script(*export_block("orders.txt", self.out, "PARADOX 4"), "SAVE")
        path = os.path.join(self.out, "ORDERS.DB")
        self.assertEqual([m["text"] for m in result.messages], [SUCCESS + path])
        self.assertEqual(result.code, 0, result.stderr)
        self.assertEqual(sorted(os.listdir(self.out)), ["ORDERS.DB", "ORDERS.MB"])
        info, rows = read_table(path, os.path.join(self.out, "ORDERS.MB"))
        self.assertEqual((info["version"], info["type"], info["block"], info["codepage"]),
                         (9, 2, 4, 1252))
        self.assertEqual(info["records"], 3)
        self.assertEqual(info["fields"], [("NAME", "\x01", 20), ("QTY", "\x06", 8),
                                          ("COUNT", "\x03", 2), ("PRICE", "\x05", 8),
                                          ("NOTE", "\x0c", 11), ("DAY", "\x02", 4)])
        self.assertEqual(rows, [
            ["Café", 3.0, 7, 12.5, "a memo that is longer than its leader",
             day_number(2026, 3, 1)],
            [None, None, 0, 0.0, None, day_number(2000, 1, 1)],
            ["x" * 20, -5.0, -32767, -0.25, "y" * 3000, day_number(1999, 12, 31)],
        ])
        self.check_with_pxlib(path, os.path.join(self.out, "ORDERS.MB"), 3)

    def test_paradox3_refuses_memo_fields_and_writes_the_others(self):
        result = self.run_script(*export_block("notes", self.out, "PARADOX 3"), "SAVE")
        self.assertEqual(result.code, 1, result.stderr)
        text = result.messages[-1]["text"]
        self.assertIn("'NOTE'", text)
        self.assertIn("Paradox 3", text)
        self.assertIn("(3259)\r\nThe program will terminate.", text)

        fields = ["NAME/10/20", "QTY/3/2", "DAY/8/8"]
        values = ["a", "1", "2026-01-02", "", "2", "2026-01-03"]
        result = self.run_script(*export_block("plain", self.out, "PARADOX 3"), "SAVE q",
                                 fields=fields, values=values)
        self.assertEqual(result.code, 0, result.stderr)
        info, rows = read_table(os.path.join(self.out, "PLAIN.DB"))
        self.assertEqual(info["version"], 4)
        self.assertEqual(rows, [["a", 1, day_number(2026, 1, 2)], [None, 2, day_number(2026, 1, 3)]])
        self.assertFalse(os.path.exists(os.path.join(self.out, "PLAIN.MB")))
        self.check_with_pxlib(os.path.join(self.out, "PLAIN.DB"), None, 2)

    def test_saving_again_replaces_the_table_and_option_newdb_is_silent(self):
        script = export_block("again", self.out, "PARADOX 4")
        result = self.run_script(*script, "SAVE q", "SAVE q", "SET OPTION_NEWDB=Y", "SAVE q")
        self.assertEqual(result.code, 0, result.stderr)
        info, rows = read_table(os.path.join(self.out, "AGAIN.DB"),
                                os.path.join(self.out, "AGAIN.MB"))
        self.assertEqual(info["records"], 3)
        self.assertEqual(len(rows), 3)

    def test_a_value_that_is_blank_in_paradox_ends_the_run(self):
        result = self.run_script(*export_block("blank", self.out, "PARADOX 4"), "SAVE",
                                 fields=["QTY/3/2"], values=["1", "-32768"])
        self.assertEqual(result.code, 1, result.stderr)
        self.assertIn("(3349)\r\nThe program will terminate.", result.messages[-1]["text"])

    def test_long_field_names_are_cut_and_numbered(self):
        fields = ["A_VERY_LONG_FIELD_NAME_NUMBER_ONE/10/5", "A_VERY_LONG_FIELD_NAME_NUMBER_TWO/10/5"]
        result = self.run_script(*export_block("names", self.out, "PARADOX 4"), "SAVE q",
                                 fields=fields, values=["a", "b"])
        self.assertEqual(result.code, 0, result.stderr)
        info, _ = read_table(os.path.join(self.out, "NAMES.DB"))
        self.assertEqual([f[0] for f in info["fields"]],
                         ["A_VERY_LONG_FIELD_NAME_NU", "A_VERY_LONG_FIELD_NAME__1"])

    def check_with_pxlib(self, db, mb, records):
        reader = os.path.join(os.path.dirname(binary()), "tests", "pxlib_reader")
        if not os.path.exists(reader):
            return  # the reader is built with the unit tests
        args = ["timeout", "20", reader, db] + ([mb] if mb else [])
        proc = subprocess.run(args, capture_output=True, timeout=30)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        lines = proc.stdout.decode("latin-1").splitlines()
        self.assertEqual(len([l for l in lines if l.startswith("record ")]), records, lines[:3])
        self.assertNotIn("<blob error>", proc.stdout.decode("latin-1"))


if __name__ == "__main__":
    unittest.main()
