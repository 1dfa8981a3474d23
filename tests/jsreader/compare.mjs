// Compares what the mdb-reader package reads from an Access database with
// the values a test wrote. Usage: node compare.mjs DATABASE EXPECTED.json
// Prints "OK", or one line per difference.
import { readFileSync } from "fs";
import MDBReader from "mdb-reader";

const reader = new MDBReader(readFileSync(process.argv[2]));
const expected = JSON.parse(readFileSync(process.argv[3], "utf8"));
const problems = [];
const same = (type, got, want) => {
    if (want === null) return got === null || got === undefined;
    if (typeof want === "object" && "hex" in want) return Buffer.isBuffer(got) && got.toString("hex") === want.hex;
    if (typeof want === "object" && "date" in want) return got instanceof Date && got.toISOString() === want.date;
    if (type === "single") return typeof got === "number" && Math.fround(got) === Math.fround(want);
    if (type === "currency") return typeof want === "string" ? decimal(got) === want : Number(got) === want;
    if (type === "guid") return String(got).replace(/[{}]/g, "").toLowerCase() === want.replace(/[{}]/g, "").toLowerCase();
    return got === want;
};
// A decimal text without trailing zeros after its point ("12.5000" is "12.5").
function decimal(text) {
    let s = String(text);
    if (s.includes(".")) s = s.replace(/0+$/, "").replace(/\.$/, "");
    return s === "-0" ? "0" : s;
}
const names = reader.getTableNames();
for (const [name, table] of Object.entries(expected)) {
    if (!names.includes(name)) { problems.push(`no table ${name}`); continue; }
    const t = reader.getTable(name);
    const columns = t.getColumnNames();
    if (JSON.stringify(columns) !== JSON.stringify(table.columns)) problems.push(`${name}: columns ${columns}`);
    const rows = t.getData();
    if (rows.length !== table.rows.length || t.rowCount !== table.rows.length)
        problems.push(`${name}: ${rows.length} rows (count ${t.rowCount}), expected ${table.rows.length}`);
    rows.forEach((row, r) => {
        const want = table.rows[r];
        if (!want) return;
        table.columns.forEach((c, i) => {
            if (!same(table.types[i], row[c], want[i]) && problems.length < 20) {
                const shown = (v) => { const s = JSON.stringify(v); return s && s.length > 80 ? s.slice(0, 80) + "..." : s; };
                problems.push(`${name} row ${r} ${c}: got ${shown(row[c])}, expected ${shown(want[i])}`);
            }
        });
    });
}
console.log(problems.length ? problems.join("\n") : "OK");
