// Prints every table of an Access database as JSON, read by the mdb-reader
// package (an independent reader the Jet driver's tests compare against).
// Usage: node dump.mjs FILE [--system]
import { readFileSync } from "fs";
import MDBReader from "mdb-reader";

const reader = new MDBReader(readFileSync(process.argv[2]));
const system = process.argv.includes("--system");
const out = { tables: {} };
for (const name of reader.getTableNames({ normalTables: true, systemTables: system })) {
    const table = reader.getTable(name);
    const rows = table.getData().map((row) =>
        Object.fromEntries(Object.entries(row).map(([k, v]) => {
            if (v instanceof Date) return [k, { date: v.toISOString() }];
            if (Buffer.isBuffer(v)) return [k, { hex: v.toString("hex") }];
            return [k, v];
        })));
    out.tables[name] = {
        columns: table.getColumns().map((c) => ({ name: c.name, type: c.type, size: c.size })),
        rowCount: table.rowCount,
        rows,
    };
}
process.stdout.write(JSON.stringify(out));
