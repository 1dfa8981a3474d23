#!/usr/bin/python3
"""Prints a dBASE or FoxPro table as one independent reader reads it.

usage: read_with.py dbfread|dbf|ogr TABLE.DBF

One line per record, values separated by "|", each in one form whatever the
reader: None, True/False, whole numbers as integers, other numbers as %.17g,
dates as YYYY-MM-DD, text without trailing blanks ("" for a blank or missing
text; ogr2ogr also drops leading blanks) and with backslash, CR and LF written as \\, \r and \n. ogr2ogr does not read memo files: it shows memo fields as <memo>.
"""
import json
import struct
import subprocess
import sys


def stored_fields(path):
    """(name, type, decimals) of each field, from the table's own header."""
    with open(path, "rb") as f:
        head = f.read(32)
        header_length = struct.unpack("<H", head[8:10])[0]
        rest = f.read(header_length - 32)
    fields = []
    for at in range(0, len(rest) - 31, 32):
        if rest[at] == 0x0D:
            break
        name = rest[at:at + 11].split(b"\0")[0].decode("cp1252")
        fields.append((name, chr(rest[at + 11]), rest[at + 17]))
    return fields


def canonical(value, kind, decimals):
    if kind in "CM":
        text = "" if value is None else str(value).rstrip(" ")
        return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")
    if value is None:
        return "None"
    if kind == "L":
        if isinstance(value, str):
            return {"T": "True", "F": "False"}.get(value.strip(), "None")
        return "True" if value else "False"
    if kind == "D":
        return value.isoformat() if hasattr(value, "isoformat") else str(value)
    if kind in "NF":
        return str(int(value)) if decimals == 0 else "%.17g" % float(value)
    return repr(value)


def rows_dbfread(path):
    import dbfread
    table = dbfread.DBF(path, char_decode_errors="strict")
    return [list(record.values()) for record in table]


def rows_dbf(path):
    import dbf
    table = dbf.Table(path)
    table.open(dbf.READ_ONLY)
    try:
        return [[record[i] for i in range(len(table.field_names))] for record in table]
    finally:
        table.close()


def rows_ogr(path):
    out = subprocess.run(["ogr2ogr", "-f", "GeoJSON", "/vsistdout/", path],
                         check=True, capture_output=True).stdout
    features = json.loads(out.decode("utf-8"))["features"]
    # GeoJSON leaves out the properties that are null.
    names = [name for name, _, _ in stored_fields(path)]
    return [[feature["properties"].get(name) for name in names] for feature in features]


def main():
    reader, path = sys.argv[1], sys.argv[2]
    rows = {"dbfread": rows_dbfread, "dbf": rows_dbf, "ogr": rows_ogr}[reader](path)
    fields = stored_fields(path)
    for row in rows:
        values = []
        for value, (_, kind, decimals) in zip(row, fields):
            if reader == "ogr" and kind == "M":
                values.append("<memo>")
            else:
                values.append(canonical(value, kind, decimals))
        sys.stdout.write("|".join(values) + "\n")


if __name__ == "__main__":
    main()
