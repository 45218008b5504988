'use strict';
// The reader checks are only worth something if they notice a wrong sheet. This feeds the
// comparisons sheets that are wrong in one way each (a value off in its last digit, a value
// widened from single precision, a swapped row, a wrong label, a number kept as text, a stray
// cell) and expects each to be reported at the right cell; the faithful sheet must pass.
//
//   node selfcheck.js SCRATCH NODE_DIR

const path = require('path');
const fs = require('fs');
const { CASES, expectedGrid, compareCsv, compareOwnCsv, compareSheet, parseCsv, loadListings, dirs,
    filesOf } = require('./readers');

const [scratch, nodeDir] = process.argv.slice(2);
if (!scratch || !nodeDir) {
    process.stderr.write('usage: node selfcheck.js SCRATCH NODE_DIR\n');
    process.exit(2);
}
const X = require(path.resolve(nodeDir, 'node_modules', 'xlsx'));
const listings = loadListings(scratch);
const caseNamed = (name) => CASES.find((c) => c.name === name);

let passed = 0;
let failed = 0;
function expect(what, problems, where) {
    const ok = where === null ? problems.length === 0
        : problems.some((p) => p.startsWith(where));
    if (ok) {
        passed += 1;
        console.log(`ok   ${what}`);
    } else {
        failed += 1;
        const wanted = where === null ? 'no problem' : `a problem at ${where}`;
        console.log(`FAIL ${what}: expected ${wanted}, got ${JSON.stringify(problems)}`);
    }
}

// The printed value with its last mantissa digit moved by one: the smallest change a listing
// value can show.
function lastDigitOff(printed) {
    const m = /^(-?\d\.\d{4})(\d)(E.*)$/.exec(printed);
    const digit = (Number(m[2]) + 1) % 10;
    return Number(`${m[1]}${digit}${m[3]}`);
}

// The line with one field replaced, and the comparison of the text with line i changed.
function field(line, col, value) {
    const f = line.split(',');
    f[col] = value;
    return f.join(',');
}
const lineChanger = (lines, end, compare) => (i, change) => {
    const copy = lines.slice();
    copy[i] = change(copy[i]);
    return compare(copy.join(end));
};

// --- SheetJS comparison, on real exported files ---------------------------------------------

// Each: a case, the file read, the comparison's options, and the changes made to its sheet, each
// with the cell that must be reported (null: none). A workbook may leave an empty text blank, and
// nothing else.
const SHEET_CHANGES = [
    ['disp_dof3_cols_descending', 'xls', {}, [
        ['the exported sheet as it is', null, () => {}],
        ['value off in its last digit', 'B4', (ws, grid) => {
            ws.B4.v = lastDigitOff(grid[3][1].printed);
        }],
        ['time widened from single precision', 'B3', (ws) => { ws.B3.v = Math.fround(ws.B3.v); }],
        ['two item rows swapped', 'A4', (ws) => {
            for (const col of ['A', 'B', 'C', 'D', 'E']) {
                [ws[`${col}4`], ws[`${col}5`]] = [ws[`${col}5`], ws[`${col}4`]];
            }
        }],
        ['wrong item label', 'A5', (ws) => { ws.A5.v = 'Node 8'; }],
        ['orientation heading of the other layout', 'A3', (ws) => { ws.A3.v = 'Time'; }],
        ['number kept as text', 'C6', (ws) => { ws.C6 = { t: 's', v: String(ws.C6.v) }; }],
        ['stray cell past the table', 'F2', (ws) => {
            ws.F2 = { t: 's', v: 'x' };
            ws['!ref'] = 'A1:F8';
        }],
    ]],
    ['eigen_rows', 'xls', {}, [
        ['vector cell missing where it holds empty text', 'B2', (ws) => { delete ws.B2; }],
    ]],
    ['eigen_rows', 'xlsx', { blankForEmptyText: true }, [
        ['the exported workbook as it is', null, () => {}],
        ['heading missing', 'A3', (ws) => { delete ws.A3; }],
        ['text where the vector is empty', 'B2', (ws) => { ws.B2 = { t: 's', v: 'DOF1' }; }],
    ]],
];

for (const [name, format, options, changes] of SHEET_CHANGES) {
    const c = caseNamed(name);
    const grid = expectedGrid(c, listings[c.listing]);
    for (const [what, where, change] of changes) {
        const wb = X.readFile(filesOf(dirs(scratch), c)[format]);
        const ws = wb.Sheets[wb.SheetNames[0]];
        change(ws, grid);
        expect(`sheetjs ${format}: ${what}`, compareSheet(ws, grid, options), where);
    }
}

// --- our own CSV, on the file velto-extract wrote ---------------------------------------------

{
    const c = caseNamed('stress_table2_cols_descending');
    const grid = expectedGrid(c, listings[c.listing]);
    const good = fs.readFileSync(filesOf(dirs(scratch), c).csv, 'utf8');
    const lines = good.split('\r\n');
    const withLine = lineChanger(lines, '\r\n', (text) => compareOwnCsv(text, grid));
    expect('own csv: the exported file as it is', compareOwnCsv(good, grid), null);
    expect('own csv: value off in its last digit', withLine(4, (l) => field(l, 2,
        String(lastDigitOff(grid[4][2].printed)))), 'C5');
    expect('own csv: value widened from single precision', withLine(5, (l) => field(l, 1,
        String(Math.fround(grid[5][1].num)))), 'B6');
    expect('own csv: number kept as text', withLine(3, (l) => field(l, 3, `"${grid[3][3].num}"`)),
        'D4');
    expect('own csv: label quoted without need', withLine(4, (l) => field(l, 0, '"Fiber 7"')), 'A5');
    expect('own csv: short line', withLine(0, (l) => l.slice(0, l.lastIndexOf(','))), 'row 1');
    expect('own csv: LF line ends', compareOwnCsv(good.replace(/\r\n/g, '\n'), grid), 'lines');
    expect('own csv: time heading of the other layout', withLine(2, (l) => field(l, 0, 'Time')),
        'A3');
}

// --- CSV comparison, on CSV laid out as LibreOffice writes it --------------------------------

function csvOf(grid) {
    const width = Math.max(...grid.map((r) => r.length));
    const fieldOf = (cell) => (!cell || cell.text === '' ? ''
        : cell.text !== undefined ? `"${cell.text.replace(/"/g, '""')}"` : String(cell.num));
    return grid.map((row) => `${Array.from({ length: width }, (_, col) => fieldOf(row[col]))
        .join(',')}\n`).join('');
}

{
    const c = caseNamed('temperature_times_cols_descending');
    const grid = expectedGrid(c, listings[c.listing]);
    const good = csvOf(grid);
    const lines = good.split('\n');
    const withLine = lineChanger(lines, '\n', (text) => compareCsv(parseCsv(text), grid));
    expect('csv: the faithful sheet', compareCsv(parseCsv(good), grid), null);
    expect('csv: temperature off by a tenth', withLine(4, (l) => field(l, 2,
        String(grid[4][2].num + 0.1))), 'C5');
    expect('csv: value widened from single precision, as General shows it', withLine(5, (l) =>
        field(l, 3, Math.fround(grid[5][3].num).toPrecision(15))), 'D6');
    expect('csv: two item rows swapped', compareCsv(parseCsv(
        [...lines.slice(0, 3), lines[4], lines[3], ...lines.slice(5)].join('\n')), grid), 'A4');
    expect('csv: wrong item label', withLine(5, (l) => field(l, 0, '"Node 6"')), 'A6');
    expect('csv: number kept as text', withLine(6, (l) => field(l, 3, `"${grid[6][3].num}"`)), 'D7');
    expect('csv: label that lost its text quoting', withLine(3, (l) => field(l, 0, 'Node 13')), 'A4');
    expect('csv: one column too many', withLine(0, (l) => `${l},`), 'row 1');
    expect('csv: row missing', compareCsv(parseCsv(lines.slice(0, -2).join('\n')), grid), `${grid.length - 1} rows`);
}

console.log(`comparison selfcheck: ${passed} passed, ${failed} failed`);
process.exitCode = failed === 0 ? 0 : 1;
