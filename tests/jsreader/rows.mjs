// Streams the rows of one table of an Access database as read by the
// mdb-reader package: one JSON array per line, values in column order (dates
// as ISO texts, binary values as hexadecimal). A table of millions of rows is
// read in slices, so memory stays small.
// Usage: node rows.mjs DATABASE TABLE
import { readFileSync, writeSync } from "fs";
import MDBReader from "mdb-reader";

const reader = new MDBReader(readFileSync(process.argv[2]));
const table = reader.getTable(process.argv[3]);
const columns = table.getColumnNames();
const shown = (v) => {
    if (v instanceof Date) return v.toISOString();
    if (Buffer.isBuffer(v)) return v.toString("hex");
    return v === undefined ? null : v;
};
const write = (text) => {
    const bytes = Buffer.from(text);
    for (let at = 0; at < bytes.length;) at += writeSync(1, bytes, at);
};
write(JSON.stringify({ columns, rowCount: table.rowCount }) + "\n");
const slice = 50000;
for (let offset = 0; ; offset += slice) {
    const rows = table.getData({ rowOffset: offset, rowLimit: slice });
    if (rows.length === 0) break;
    write(rows.map((row) => JSON.stringify(columns.map((c) => shown(row[c])))).join("\n") + "\n");
}
