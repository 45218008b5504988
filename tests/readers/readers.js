'use strict';
// Opens spreadsheets written by velto-extract with two readers we did not write, LibreOffice and
// SheetJS, and checks every cell against what the listing itself prints.
//
//   node readers.js install     NODE_DIR NPM            SheetJS into NODE_DIR/node_modules
//   node readers.js export      SCRATCH GENLISTING EXTRACT
//   node readers.js libreoffice SCRATCH SOFFICE         one soffice run converts every file to CSV
//   node readers.js sheetjs     SCRATCH NODE_DIR
//
// `export` writes the listings and, for every case, the same export as .xls, .xlsx and .csv.
// LibreOffice must read the same cells from the .xls and the .xlsx, and our own CSV must hold
// them too; SheetJS reads the .xls and the .xlsx. Exports with page options (header, footer,
// column width, margins, grid lines, protection) are read back by both too.

const fs = require('fs');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { pathToFileURL } = require('url');
const { readListing } = require('./listing');

const XLSX_VERSION = '0.18.5';  // the last SheetJS release on the npm registry

// LibreOffice's General format shows up to 15 significant digits: far finer than the 6 of a
// listing value, and fine enough to show a single-precision value widened without rounding
// (20.1 -> 20.1000003814697), which a looser tolerance would let through.
const LIBREOFFICE_RELATIVE_TOLERANCE = 1e-12;

// --- the fixtures ---------------------------------------------------------------------------

const LISTINGS = {
    // 2D static run with every structural table; a time step whose multiples print with rounding.
    static2d: ['--kind', 'static', '--ndim', '2', '--nodes', '11', '--trusses', '3', '--beams', '3',
        '--beam-points', '3', '--shells', '2', '--area-points', '4', '--soils', '2',
        '--stress-tables', '2', '--fibers', '12', '--times', '4', '--time-step', '20.1'],
    // 3D dynamic run: seven DOFs, 3D beam columns, tangent tables; lone CR line ends.
    dynamic3d: ['--kind', 'dynamic', '--ndim', '3', '--nodes', '5', '--beams', '2',
        '--beam-points', '2', '--tangent-tables', '2', '--fibers', '7', '--times', '3',
        '--time-step', '0.1', '--line-end', 'cr'],
    // Thermal run: a last line of the temperature table that is not full; CR LF line ends.
    thermal: ['--kind', 'thermal', '--nodes', '13', '--solids', '4', '--times', '5',
        '--time-step', '60', '--line-end', 'crlf'],
    // The same model run again with results every 90 s: some times shared, some its own.
    thermal90: ['--kind', 'thermal', '--nodes', '13', '--solids', '4', '--times', '3',
        '--time-step', '90'],
};

const range = (from, to, step = 1) => {
    const out = [];
    for (let i = from; step > 0 ? i <= to : i >= to; i += step) {
        out.push(i);
    }
    return out;
};

// Each case: the export's options, and what the sheet must hold. `items` and `times` (1-based
// time blocks) are spelled out in the order the sheet must show them; `value(block, item)` is
// the text the listing prints for that cell.
const fibres = (kind, index) => (b, f) => b[kind][index].values.get(f);
const CASES = [
    // Node table.
    { name: 'disp_dof3_rows', listing: 'static2d', variable: 'Displacements', vector: 'DOF3',
        word: 'Node', items: range(1, 11), times: [1, 2, 3, 4], value: (b, n) => b.disp.get(n)[2] },
    { name: 'disp_dof3_cols_descending', listing: 'static2d', variable: 'Displacements',
        vector: 'DOF3', args: ['--columns', '--from', '9', '--to', '1', '--step', '-2'],
        word: 'Node', items: [9, 7, 5, 3, 1], times: [1, 2, 3, 4],
        value: (b, n) => b.disp.get(n)[2] },
    // No --vector: the first one, and the sheet must say which.
    { name: 'disp_default_vector_times_rows', listing: 'static2d', variable: 'Displacements',
        expectVector: 'DOF1', args: ['--times', '3,1,2'], word: 'Node', items: range(1, 11),
        times: [1, 2, 3], value: (b, n) => b.disp.get(n)[0] },
    { name: 'disp_dof2_times_cols', listing: 'static2d', variable: 'Displacements',
        vector: 'DOF2', args: ['--columns', '--times', '4,2', '--from', '2', '--to', '10', '--step', '4'],
        word: 'Node', items: [2, 6, 10], times: [2, 4], value: (b, n) => b.disp.get(n)[1] },
    { name: 'disp_dof7_3d_rows', listing: 'dynamic3d', variable: 'Displacements', vector: 'DOF7',
        word: 'Node', items: range(1, 5), times: [1, 2, 3], value: (b, n) => b.disp.get(n)[6] },
    // Eigen values: one per time.
    { name: 'eigen_rows', listing: 'static2d', variable: 'Eigen Values', expectVector: '',
        word: 'Value', items: [1], times: [1, 2, 3, 4], value: (b) => b.eigen },
    { name: 'eigen_cols_times', listing: 'static2d', variable: 'Eigen Values', expectVector: '',
        args: ['--columns', '--times', '4,1-2'], word: 'Value', items: [1], times: [1, 2, 4],
        value: (b) => b.eigen },
    // Beam forces: vector k is the k-th point of every beam.
    { name: 'beam_n2_cols_descending', listing: 'static2d', variable: 'Beam Axial Force',
        vector: 'N2', args: ['--columns', '--from', '3', '--to', '1', '--step', '-1'],
        word: 'Beam', items: [3, 2, 1], times: [1, 2, 3, 4],
        value: (b, e) => b.beam.get(`${e},2`)[0] },
    { name: 'beam_m3_times_rows', listing: 'static2d', variable: 'Beam Bending Moment',
        vector: 'M3', args: ['--times', '4,1'], word: 'Beam', items: [1, 2, 3], times: [1, 4],
        value: (b, e) => b.beam.get(`${e},3`)[1] },
    { name: 'beam_mz2_3d_cols', listing: 'dynamic3d', variable: 'Beam Bending Moment Mz',
        vector: 'Mz2', args: ['--columns'], word: 'Beam', items: [1, 2], times: [1, 2, 3],
        value: (b, e) => b.beam.get(`${e},2`)[2] },
    // Shell forces: vector k is surface point k of every shell.
    { name: 'membrane_nxy_s2_rows', listing: 'static2d', variable: 'Membrane Force Nxy',
        vector: 'Surface 2', word: 'Shell', items: [1, 2], times: [1, 2, 3, 4],
        value: (b, e) => b.membrane.get(`${e},2`).NXY },
    { name: 'bending_m2_s4_cols_descending', listing: 'static2d', variable: 'Bending Force M2',
        vector: 'Surface 4', args: ['--columns', '--from', '2', '--to', '1', '--step', '-1'],
        word: 'Shell', items: [2, 1], times: [1, 2, 3, 4], value: (b, e) => b.bending.get(`${e},4`).M2 },
    // Fibre tables: the second table of each block.
    { name: 'stress_table2_rows', listing: 'static2d', variable: 'Beam Stresses',
        vector: 'Beam     1 (Point  2)', word: 'Fiber', items: range(1, 12), times: [1, 2, 3, 4],
        value: fibres('stress', 1) },
    { name: 'stress_table2_cols_descending', listing: 'static2d', variable: 'Beam Stresses',
        vector: 'Beam     1 (Point  2)', args: ['--columns', '--from', '12', '--to', '1', '--step', '-5'],
        word: 'Fiber', items: [12, 7, 2], times: [1, 2, 3, 4], value: fibres('stress', 1) },
    { name: 'tangent_table2_3d_rows', listing: 'dynamic3d', variable: 'Beam Tangent Modulus',
        vector: 'Beam     1 (Point  2)', word: 'Fiber', items: range(1, 7), times: [1, 2, 3],
        value: fibres('tangent', 1) },
    // Truss and soil tables.
    { name: 'truss_from2_rows', listing: 'static2d', variable: 'Truss Axial Force', expectVector: '',
        args: ['--from', '2'], word: 'Truss', items: [2, 3], times: [1, 2, 3, 4],
        value: (b, e) => b.truss.get(e) },
    { name: 'soil_pressure_times_cols', listing: 'static2d', variable: 'Soil Pressure',
        expectVector: '', args: ['--columns', '--times', '3,1'], word: 'Soil', items: [1, 2],
        times: [1, 3], value: (b, e) => b.soil.get(e)[1] },
    { name: 'soil_nx_rows', listing: 'static2d', variable: 'Soil Axial Force Nx', expectVector: '',
        word: 'Soil', items: [1, 2], times: [1, 2, 3, 4], value: (b, e) => b.soil.get(e)[0] },
    // Temperatures.
    { name: 'temperature_rows', listing: 'thermal', variable: 'Temperature', expectVector: '',
        word: 'Node', items: range(1, 13), times: [1, 2, 3, 4, 5], value: (b, n) => b.temp.get(n) },
    { name: 'temperature_times_cols_descending', listing: 'thermal', variable: 'Temperature',
        expectVector: '', args: ['--columns', '--times', '5,1-2', '--from', '13', '--to', '1', '--step', '-3'],
        word: 'Node', items: [13, 10, 7, 4, 1], times: [1, 2, 5], value: (b, n) => b.temp.get(n) },
    { name: 'temperature_times_rows', listing: 'thermal', variable: 'Temperature', expectVector: '',
        args: ['--times', '3,1,2', '--from', '5', '--to', '13', '--step', '4'], word: 'Node',
        items: [5, 9, 13], times: [1, 2, 3], value: (b, n) => b.temp.get(n) },
    // One node's history in two runs: the union of their times, a blank where a run has none.
    { name: 'compare_temperature', compare: ['thermal', 'thermal90'], variable: 'Temperature',
        item: 7, value: (b, n) => b.temp.get(n) },
];

// --- what a sheet must hold -----------------------------------------------------------------

const text = (s) => ({ text: s });
const num = (printed) => {
    const v = Number(printed);
    if (printed === undefined || printed === null || !Number.isFinite(v)) {
        throw new Error(`no listing value (${printed})`);
    }
    return { num: v, printed };
};

// The comparison's grid: "Time" and the listings' names, then a row per time any of them
// holds, in ascending order, each listing's value where it has one (other cells left out).
function comparisonGrid(c, listings) {
    const rows = new Map();
    c.compare.forEach((name, column) => {
        for (const b of listings[name].blocks) {
            const time = Math.fround(Number(b.time));
            if (!rows.has(time)) {
                rows.set(time, [num(b.time)]);
            }
            rows.get(time)[column + 1] = num(c.value(b, c.item));
        }
    });
    return [[text('Time'), ...c.compare.map(text)],
        ...[...rows.keys()].sort((a, b) => a - b).map((time) => rows.get(time))];
}

// The expected grid, row by row (row 0 is sheet row 1); cells not listed must be empty.
function expectedGrid(c, listing) {
    const columns = (c.args || []).includes('--columns');
    const blocks = c.times.map((t) => {
        const b = listing.blocks[t - 1];
        if (!b) {
            throw new Error(`${c.name}: the listing has no time block ${t}`);
        }
        return b;
    });
    const label = (item) => text(`${c.word} ${item}`);
    const vector = c.expectVector !== undefined ? c.expectVector : c.vector;
    const grid = [
        [text('Variable'), text(c.variable)],
        [text('Vector'), text(vector)],
    ];
    const valueOf = (b, item) => {
        try {
            return num(c.value(b, item));
        } catch (e) {
            throw new Error(`${c.name}: item ${item} at TIME ${b.time}: ${e.message}`);
        }
    };
    if (columns) {
        grid.push([text(c.word), ...blocks.map((b) => num(b.time))]);
        for (const item of c.items) {
            grid.push([label(item), ...blocks.map((b) => valueOf(b, item))]);
        }
    } else {
        grid.push([text('Time'), ...c.items.map(label)]);
        for (const b of blocks) {
            grid.push([num(b.time), ...c.items.map((item) => valueOf(b, item))]);
        }
    }
    return grid;
}

function columnName(index) {
    let name = '';
    for (let i = index + 1; i > 0; i = Math.floor((i - 1) / 26)) {
        name = String.fromCharCode(65 + ((i - 1) % 26)) + name;
    }
    return name;
}

const address = (row, col) => `${columnName(col)}${row + 1}`;
const describe = (cell) => (cell.text !== undefined ? JSON.stringify(cell.text)
    : `${cell.num} (listing "${cell.printed}")`);

// --- helpers --------------------------------------------------------------------------------

function run(program, args, options = {}) {
    const r = spawnSync(program, args, { encoding: 'utf8', ...options });
    if (r.error) {
        throw new Error(`${program}: ${r.error.message}`);
    }
    return r;
}

function usage() {
    process.stderr.write('usage: node readers.js install NODE_DIR NPM | export SCRATCH GENLISTING '
        + 'EXTRACT | libreoffice SCRATCH SOFFICE | sheetjs SCRATCH NODE_DIR\n');
    process.exit(2);
}

const dirs = (scratch) => ({
    listings: path.join(scratch, 'listings'),
    xls: path.join(scratch, 'xls'),
    xlsx: path.join(scratch, 'xlsx'),
    ours: path.join(scratch, 'velto-csv'),  // the CSV velto-extract writes
    csv: path.join(scratch, 'csv'),  // the CSV LibreOffice writes
    profile: path.join(scratch, 'libreoffice-profile'),
    page: path.join(scratch, 'page'),  // the exports with page options
    fods: path.join(scratch, 'fods'),  // LibreOffice's flat documents of them
});

// The three files of one case. The workbook has a base name of its own: LibreOffice names each
// CSV after its input's base name, in one folder for all.
const filesOf = (d, c) => ({
    xls: path.join(d.xls, `${c.name}.xls`),
    xlsx: path.join(d.xlsx, `${c.name}.book.xlsx`),
    csv: path.join(d.ours, `${c.name}.csv`),
});

function fresh(dir) {
    fs.rmSync(dir, { recursive: true, force: true });
    fs.mkdirSync(dir, { recursive: true });
}

const loadListings = (scratch) => Object.fromEntries(Object.keys(LISTINGS).map((name) =>
    [name, readListing(path.join(dirs(scratch).listings, `${name}.out`))]));

// Runs compare(case, grid) for every case; prints what differs and a closing count.
function checkAll(reader, scratch, compare) {
    const listings = loadListings(scratch);
    let cells = 0;
    let failed = 0;
    for (const c of CASES) {
        const grid = c.compare ? comparisonGrid(c, listings) : expectedGrid(c, listings[c.listing]);
        let problems;
        try {
            problems = compare(c, grid);
        } catch (e) {
            problems = [e.message];
        }
        cells += grid.reduce((n, row) => n + row.filter(() => true).length, 0);
        if (problems.length) {
            failed += 1;
            console.log(`FAIL ${c.name} (${reader}):`);
            problems.slice(0, 20).forEach((p) => console.log(`  ${p}`));
            if (problems.length > 20) {
                console.log(`  ... and ${problems.length - 20} more`);
            }
        } else {
            console.log(`ok   ${c.name}`);
        }
    }
    console.log(`${reader}: ${CASES.length} cases, ${cells} cells in each format; `
        + `${CASES.length - failed} passed, ${failed} failed`);
    return failed === 0;
}

// --- install --------------------------------------------------------------------------------

function install(nodeDir, npm) {
    const manifest = path.join(nodeDir, 'node_modules', 'xlsx', 'package.json');
    const installed = () => fs.existsSync(manifest)
        && JSON.parse(fs.readFileSync(manifest, 'utf8')).version === XLSX_VERSION;
    if (installed()) {
        console.log(`xlsx ${XLSX_VERSION} already in ${nodeDir}`);
        return true;
    }
    fs.mkdirSync(nodeDir, { recursive: true });
    const r = run(npm, ['install', '--prefix', nodeDir, '--no-save', '--no-package-lock',
        '--no-audit', '--no-fund', `xlsx@${XLSX_VERSION}`], { stdio: 'inherit' });
    if (r.status !== 0 || !installed()) {
        console.log(`npm could not install xlsx@${XLSX_VERSION} into ${nodeDir}`);
        return false;
    }
    return true;
}

// --- export ---------------------------------------------------------------------------------

function exportAll(scratch, genlisting, extract) {
    const d = dirs(scratch);
    [d.listings, d.xls, d.xlsx, d.ours].forEach(fresh);
    let ok = true;
    for (const [name, args] of Object.entries(LISTINGS)) {
        const r = run(genlisting, [...args, '-o', path.join(d.listings, `${name}.out`)]);
        if (r.status !== 0) {
            console.log(`velto-genlisting ${name}: exit ${r.status}\n${r.stderr}`);
            return false;
        }
    }
    for (const c of CASES) {
        const files = filesOf(d, c);
        // The .xls and .csv by their extensions, the workbook by --format.
        for (const [file, format] of [[files.xls, []], [files.xlsx, ['--format', 'xlsx']],
            [files.csv, []]]) {
            const args = c.compare
                ? ['compare', ...c.compare.map((l) => path.join(d.listings, `${l}.out`)), '-o', file,
                    '--variable', c.variable, '--item', String(c.item)]
                : ['export', path.join(d.listings, `${c.listing}.out`), '-o', file,
                    '--variable', c.variable, ...(c.vector ? ['--vector', c.vector] : []),
                    ...(c.args || []), ...format];
            const r = run(extract, args);
            // A message on standard error means the export had something to say: not a clean run.
            if (r.status !== 0 || r.stderr !== '' || !fs.existsSync(file)) {
                console.log(`FAIL velto-extract ${args.join(' ')}: exit ${r.status}\n${r.stderr}`);
                ok = false;
            } else {
                console.log(`wrote ${path.basename(file)}: ${r.stdout.trim()}`);
            }
        }
    }
    return exportWorkbook(d, extract) && exportPages(d, extract) && ok;
}

// --- LibreOffice ----------------------------------------------------------------------------

// RFC 4180 fields; LibreOffice quotes every text cell (filter option 7), numbers stay bare. A
// field is quoted or bare, and ends at a comma, a line end (CR LF, CR or LF) or the end of the
// text; anything else (an unterminated quote among them) is not CSV.
function parseCsv(content) {
    const rows = [];
    let row = [];
    const field = /(?:"((?:[^"]|"")*)"|([^",\r\n][^,\r\n]*|))(,|\r\n|\r|\n|$)/y;
    while (field.lastIndex < content.length) {
        const at = field.lastIndex;
        const m = field.exec(content);
        if (!m) {
            const near = JSON.stringify(content.slice(at, at + 20));
            throw new Error(`not CSV at character ${at}: ${near}`);
        }
        row.push(m[1] !== undefined ? { quoted: m[1].replace(/""/g, '"') } : { raw: m[2] });
        if (m[3] !== ',') {
            rows.push(row);
            row = [];
        }
    }
    if (row.length) {
        rows.push([...row, { raw: '' }]);  // the text ends in a comma
    }
    return rows;
}

const CSV_NUMBER = /^-?(\d+\.?\d*|\.\d+)(E[+-]?\d+)?$/i;

const fieldText = (got) => (got.quoted !== undefined ? got.quoted : got.raw);
const bareNumber = (got) => got.quoted === undefined && CSV_NUMBER.test(got.raw);
const within = (v, want) => Math.abs(v - want) <= LIBREOFFICE_RELATIVE_TOLERANCE * Math.abs(want);

// Walks CSV rows against a grid of the same shape: the row count, every row as wide as the
// grid's widest, and check(got, want, address) for every field (an absent field reads as an
// empty one). Returns the problems found.
function walkCsv(rows, grid, check, { reading = 'expected' } = {}) {
    const problems = [];
    const width = Math.max(...grid.map((r) => r.length));
    if (rows.length !== grid.length) {
        problems.push(`${rows.length} rows, ${reading} ${grid.length}`);
    }
    rows.forEach((row, r) => {
        if (row.length !== width) {
            problems.push(`row ${r + 1}: ${row.length} fields, ${reading} ${width}`);
        }
        for (let col = 0; col < Math.max(row.length, width); col += 1) {
            const problem = check(row[col] || { raw: '' }, (grid[r] || [])[col], address(r, col));
            if (problem) {
                problems.push(`${address(r, col)}: ${problem}`);
            }
        }
    });
    return problems;
}

// Differences between LibreOffice's CSV of one sheet and the expected grid.
function compareCsv(rows, grid) {
    return walkCsv(rows, grid, (got, want) => {
        const seen = JSON.stringify(got);
        if (!want) {
            return got.quoted === undefined && got.raw === '' ? null
                : `expected empty, got ${seen}`;
        }
        if (want.text !== undefined) {
            // LibreOffice drops an empty text cell, so "" may come back bare.
            const same = got.quoted !== undefined ? got.quoted === want.text
                : want.text === '' && got.raw === '';
            return same ? null : `expected text ${describe(want)}, got ${seen}`;
        }
        if (!bareNumber(got)) {
            return `expected number ${describe(want)}, got ${seen}`;
        }
        return within(Number(got.raw), want.num) ? null : `expected ${describe(want)}, got ${got.raw}`;
    });
}

// Differences between the CSV velto-extract writes and the expected grid: CR LF after every
// line, every line as wide as the sheet, texts quoted only when they must be, and numbers as
// bare text that reads back to the very double the listing text denotes.
function compareOwnCsv(content, grid) {
    const lineEnds = !content.endsWith('\r\n') || /\r(?!\n)|(?<!\r)\n/.test(content)
        ? ['lines do not all end in CR LF'] : [];
    return [...lineEnds, ...walkCsv(parseCsv(content), grid, (got, want) => {
        const seen = JSON.stringify(got);
        if (got.quoted !== undefined && !/[",\r\n]/.test(got.quoted)) {
            return `quoted without need: ${seen}`;
        }
        if (!want || want.text !== undefined) {
            const expected = want ? want.text : '';
            return fieldText(got) === expected ? null
                : `expected ${want ? `text ${describe(want)}` : 'empty'}, got ${seen}`;
        }
        return bareNumber(got) && Number(got.raw) === want.num ? null
            : `expected ${describe(want)}, got ${seen}`;
    })];
}

// Differences between our CSV and LibreOffice's CSV of the .xls of the same export: the same
// texts, and numbers as close as LibreOffice's 15 digits show them.
function compareWithXlsReading(ours, reading) {
    return walkCsv(ours, reading, (got, read) => {
        if (!read) {
            return null;  // the field count is walkCsv's and compareOwnCsv's to check
        }
        if (read.quoted !== undefined || read.raw === '') {
            const textRead = fieldText(read);
            return fieldText(got) === textRead ? null
                : `${JSON.stringify(fieldText(got))}, the xls reads ${JSON.stringify(textRead)}`;
        }
        return bareNumber(got) && within(Number(got.raw), Number(read.raw)) ? null
            : `${JSON.stringify(got)}, the xls reads ${read.raw}`;
    }, { reading: 'LibreOffice read' });
}

// One start of LibreOffice converts every file to CSV in `outdir`, with a profile of our own: a
// first start on a shared one can wait for a dialog, or hand the work to a running instance. The
// profile must be a well-formed file URL: with a malformed one soffice waits forever. soffice
// runs in a process group of its own: its launcher hands the work to soffice.bin, and a hung run
// must be ended whole, not only the launcher. `failure` is why the run failed, or ''.
function convertToCsv(soffice, d, filter, outdir, files) {
    return convert(soffice, d, `csv:Text - txt - csv (StarCalc):${filter}`, outdir, files);
}

// The same for any target LibreOffice converts to ("fods": flat OpenDocument spreadsheets).
function convert(soffice, d, target, outdir, files) {
    const args = [`-env:UserInstallation=${pathToFileURL(d.profile).href}`, '--headless',
        '--norestore', '--convert-to', target, '--outdir', outdir, ...files];
    const done = (r) => ({ ...r, failure: r.status === 0 && !r.hung ? ''
        : `soffice: ${r.hung ? 'no answer after 300 s, stopped' : `exit ${r.status}`}\n`
            + `${r.stdout}\n${r.stderr}` });
    return new Promise((resolve) => {
        // The C locale: under a decimal-comma locale the CSV would show 20,1.
        const env = { ...process.env, LC_ALL: 'C.UTF-8', LANG: 'C.UTF-8', LANGUAGE: '' };
        const child = spawn(soffice, args,
            { detached: true, env, stdio: ['ignore', 'pipe', 'pipe'] });
        let stdout = '';
        let stderr = '';
        let hung = false;
        child.stdout.on('data', (b) => { stdout += b; });
        child.stderr.on('data', (b) => { stderr += b; });
        const timer = setTimeout(() => {
            hung = true;
            try {
                process.kill(-child.pid, 'SIGKILL');
            } catch (e) {
                // already gone
            }
        }, 300000);
        child.on('error', (e) => {
            clearTimeout(timer);
            resolve(done({ status: null, stdout, stderr: `${stderr}${e.message}`, hung }));
        });
        child.on('close', (status) => {
            clearTimeout(timer);
            resolve(done({ status, stdout, stderr, hung }));
        });
    });
}

async function libreoffice(scratchDir, soffice) {
    const d = dirs(path.resolve(scratchDir));
    [d.csv, d.profile].forEach(fresh);
    const r = await convertToCsv(soffice, d, '44,34,76,1,,0,true', d.csv,
        CASES.flatMap((c) => [filesOf(d, c).xls, filesOf(d, c).xlsx]));
    if (r.failure) {
        console.log(r.failure);
        return false;
    }
    const cases = checkAll('libreoffice', scratchDir, (c, grid) => {
        const fromXls = path.join(d.csv, `${c.name}.csv`);
        const fromXlsx = path.join(d.csv, `${c.name}.book.csv`);
        // soffice exits 0 even when it could not open a file; the missing CSV tells.
        for (const csv of [fromXls, fromXlsx]) {
            if (!fs.existsSync(csv)) {
                return [`LibreOffice wrote no ${path.basename(csv)}:\n${r.stdout}\n${r.stderr}`];
            }
        }
        const xlsText = fs.readFileSync(fromXls, 'utf8');
        const xlsxText = fs.readFileSync(fromXlsx, 'utf8');
        const ours = fs.readFileSync(filesOf(d, c).csv, 'utf8');
        const problems = [
            ...compareCsv(parseCsv(xlsText), grid).map((p) => `xls: ${p}`),
            ...compareCsv(parseCsv(xlsxText), grid).map((p) => `xlsx: ${p}`),
            ...compareOwnCsv(ours, grid).map((p) => `csv: ${p}`),
            ...compareWithXlsReading(parseCsv(ours), parseCsv(xlsText)).map((p) => `csv: ${p}`),
        ];
        if (xlsxText !== xlsText) {
            problems.push('xlsx: LibreOffice reads other cells than from the xls');
        }
        return problems;
    });
    const workbook = await libreofficeWorkbook(d, soffice);
    return await libreofficePages(d, soffice) && workbook && cases;
}

// --- SheetJS --------------------------------------------------------------------------------

// Differences between SheetJS's cells of one sheet and the expected grid. Numbers must be the
// very double the listing text denotes. `blankForEmptyText`: an empty text may be a blank cell,
// as our .xlsx writes it.
function compareSheet(ws, grid, { blankForEmptyText = false } = {}) {
    const problems = [];
    const width = Math.max(...grid.map((r) => r.length));
    const ref = `A1:${address(grid.length - 1, width - 1)}`;
    if (ws['!ref'] !== ref) {
        problems.push(`sheet extent ${ws['!ref']}, expected ${ref}`);
    }
    const expected = new Set();
    grid.forEach((row, r) => row.forEach((want, col) => {
        const where = address(r, col);
        expected.add(where);
        const got = ws[where];
        if (!got && blankForEmptyText && want.text === '') {
            // left blank
        } else if (!got) {
            problems.push(`${where}: missing, expected ${describe(want)}`);
        } else if (want.text !== undefined) {
            if (got.t !== 's' || got.v !== want.text) {
                problems.push(`${where}: expected text ${describe(want)}, got ${got.t} ${JSON.stringify(got.v)}`);
            }
        } else if (got.t !== 'n' || got.v !== want.num) {
            problems.push(`${where}: expected ${describe(want)}, got ${got.t} ${JSON.stringify(got.v)}`);
        }
    }));
    for (const key of Object.keys(ws)) {
        if (!key.startsWith('!') && !expected.has(key)) {
            problems.push(`${key}: unexpected cell ${JSON.stringify(ws[key].v)}`);
        }
    }
    return problems;
}

function loadSheetJs(nodeDir) {
    return require(path.resolve(nodeDir, 'node_modules', 'xlsx'));
}

function sheetjs(scratch, nodeDir) {
    const X = loadSheetJs(nodeDir);
    const d = dirs(scratch);
    const cases = checkAll(`sheetjs ${X.version}`, scratch, (c, grid) => {
        const problems = [];
        for (const [format, options] of [['xls', {}], ['xlsx', { blankForEmptyText: true }]]) {
            const wb = X.readFile(filesOf(d, c)[format]);
            if (wb.SheetNames.length !== 1) {
                problems.push(`${format}: ${wb.SheetNames.length} sheets, expected 1`);
            } else {
                problems.push(...compareSheet(wb.Sheets[wb.SheetNames[0]], grid, options)
                    .map((p) => `${format}: ${p}`));
            }
        }
        return problems;
    });
    return sheetjsWorkbook(X, d) && sheetjsPages(X, d, scratch) && cases;
}

// --- every variable in one workbook -----------------------------------------------------------

// `export --all` must put on each sheet, under the variable's and vector's name, what the single
// export of that variable and vector writes.
const WORKBOOK_LISTING = 'static2d';
const workbookFiles = (d) => ({
    book: path.join(d.xlsx, 'all.workbook.xlsx'),
    singles: path.join(d.xlsx, 'singles'),
    csv: path.join(d.csv, 'workbook'),
});
// A beam table's vector in few characters ("B1 P2"), kept whole; the variable cut to make room.
const sheetNameOf = (single) => {
    const vector = single.vector.replace(/\s+/g, ' ').trim()
        .replace(/^Beam (\d+) \(Point (\d+)\)$/, 'B$1 P$2');
    const tail = vector ? ` ${vector}` : '';
    return single.variable.replace(/\s+/g, ' ').trim().slice(0, 31 - tail.length).trimEnd() + tail;
};

function exportWorkbook(d, extract) {
    const listing = path.join(d.listings, `${WORKBOOK_LISTING}.out`);
    const files = workbookFiles(d);
    fresh(files.singles);
    const r = run(extract, ['export', listing, '-o', files.book, '--all']);
    if (r.status !== 0 || r.stderr !== '') {
        console.log(`FAIL velto-extract export --all: exit ${r.status}\n${r.stderr}`);
        return false;
    }
    const singles = [];
    for (const v of JSON.parse(run(extract, ['info', listing, '--json']).stdout).Variables) {
        for (const vector of v.Vectors.length ? v.Vectors : ['']) {
            const file = path.join(files.singles, `${singles.length + 1}.xlsx`);
            const args = ['export', listing, '-o', file, '--variable', v.Name,
                ...(vector ? ['--vector', vector] : [])];
            if (run(extract, args).status !== 0) {
                console.log(`FAIL velto-extract ${args.join(' ')}`);
                return false;
            }
            singles.push({ variable: v.Name, vector, file });
        }
    }
    fs.writeFileSync(path.join(files.singles, 'singles.json'), JSON.stringify(singles));
    console.log(`wrote ${path.basename(files.book)} and ${singles.length} single exports`);
    return true;
}

const singlesOf = (d) => JSON.parse(
    fs.readFileSync(path.join(workbookFiles(d).singles, 'singles.json'), 'utf8'));

function report(reader, problems, what = 'the --all workbook') {
    problems.slice(0, 20).forEach((p) => console.log(`FAIL ${what} (${reader}): ${p}`));
    console.log(`${reader}: ${what} ${problems.length ? 'differs' : 'matches'}`);
    return problems.length === 0;
}

// Every sheet of the workbook, as LibreOffice writes it to CSV, against the single export's.
async function libreofficeWorkbook(d, soffice) {
    const files = workbookFiles(d);
    fresh(files.csv);
    const singles = singlesOf(d);
    const r = await convertToCsv(soffice, d, '44,34,76,1,,0,true,,true,false,false,-1', files.csv,
        [files.book, ...singles.map((x) => x.file)]);
    if (r.failure) {
        return report('libreoffice', [r.failure]);
    }
    const read = (name) => {
        const file = path.join(files.csv, name);
        return fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : `(no ${name})`;
    };
    const problems = [];
    singles.forEach((single, i) => {
        const name = sheetNameOf(single);
        if (read(`all.workbook-${name}.csv`) !== read(`${i + 1}-Sheet1.csv`)) {
            problems.push(`sheet "${name}" is not what the single export holds`);
        }
    });
    return report('libreoffice', problems);
}

// Every sheet of the workbook, in order and by name, cell for cell against the single export's.
function sheetjsWorkbook(X, d) {
    const singles = singlesOf(d);
    const book = X.readFile(workbookFiles(d).book);
    const problems = [];
    if (JSON.stringify(book.SheetNames) !== JSON.stringify(singles.map(sheetNameOf))) {
        problems.push(`sheets ${JSON.stringify(book.SheetNames)}`);
    }
    singles.forEach((single, i) => {
        const got = book.Sheets[book.SheetNames[i]] || {};
        const alone = X.readFile(single.file);
        const want = alone.Sheets[alone.SheetNames[0]];
        for (const key of new Set([...Object.keys(got), ...Object.keys(want)])) {
            const [a, b] = [got[key], want[key]];
            if (key === '!ref' ? a !== b : !key.startsWith('!') && (!a || !b || a.t !== b.t || a.v !== b.v)) {
                problems.push(`sheet ${i + 1} ${key}: ${JSON.stringify(a && (a.v ?? a))}, `
                    + `the single export holds ${JSON.stringify(b && (b.v ?? b))}`);
            }
        }
    });
    return report(`sheetjs ${X.version}`, problems);
}

// --- page settings --------------------------------------------------------------------------

// Exports with page options, each as .xls and .xlsx. The margins have a case of their own: with a
// header, LibreOffice gives the header's room out of the top margin its own way.
const PAGE_PASSWORD = 'Fire & Ice 2024';  // 15 characters, as long as one may be
const PAGE_CASES = [
    { name: 'page_settings', columns: 12, width: 20, header: 'Fire test ', footer: 'Beam B&C in N/mm\u00b2',
        args: ['--header', 'Fire test &P', '--footer', 'Beam B&&C in N/mm\u00b2', '--column-width',
            '20', '--gridlines', '--protect'],
        xlsx: ['--password', PAGE_PASSWORD] },
    { name: 'page_margins', columns: 12, margins: { left: 0.5, right: 0.625, top: 1.25, bottom: 1.5 },
        args: ['--margins', '0.5,0.625,1.25,1.5'] },
];
// The cells are those of the same export without options.
const PAGE_CELLS = { name: 'page', listing: 'static2d', variable: 'Displacements', vector: 'DOF2',
    word: 'Node', items: range(1, 11), times: [1, 2, 3, 4], value: (b, n) => b.disp.get(n)[1] };
// A base name each, as LibreOffice names what it converts after it.
const pageFiles = (d, p) => ({ xls: path.join(d.page, `${p.name}.xls`),
    xlsx: path.join(d.page, `${p.name}.book.xlsx`) });

function exportPages(d, extract) {
    fresh(d.page);
    const listing = path.join(d.listings, `${PAGE_CELLS.listing}.out`);
    const protection = [];
    for (const p of PAGE_CASES) {
        for (const format of ['xls', 'xlsx']) {
            const file = pageFiles(d, p)[format];
            const args = ['export', listing, '-o', file, '--variable', PAGE_CELLS.variable,
                '--vector', PAGE_CELLS.vector, ...p.args, ...(p[format] || [])];
            const r = run(extract, args);
            if (r.status !== 0 || r.stderr !== '') {
                console.log(`FAIL velto-extract ${args.join(' ')}: exit ${r.status}\n${r.stderr}`);
                return false;
            }
            if (format === 'xlsx' && p.args.includes('--protect')) {
                protection.push({ file, password: (p.xlsx || [])[1] || '' });
            }
        }
    }
    // For protection.py, which lifts the protection in LibreOffice itself.
    fs.writeFileSync(path.join(d.page, 'protection.json'), JSON.stringify(protection));
    console.log(`wrote ${PAGE_CASES.length * 2} exports with page options`);
    return true;
}

// A length in an OpenDocument attribute ("0.5in", "1.27cm") in inches.
function inches(length) {
    const m = /^(-?[\d.]+)(in|cm|mm|pt)$/.exec(length || '');
    if (!m) {
        throw new Error(`no length: ${length}`);
    }
    return Number(m[1]) / { in: 1, cm: 2.54, mm: 25.4, pt: 72 }[m[2]];
}

const attribute = (element, name) => {
    const m = new RegExp(`\\s${name}="([^"]*)"`).exec(element || '');
    return m ? m[1] : undefined;
};
const elementNamed = (text, tag, name) => new RegExp(`<${tag}\\s[^>]*style:name="${name}"[^>]*>`)
    .exec(text);
// The text of a piece of XML, without the line ends and indentation between its elements.
const xmlText = (xml) => xml.replace(/<[^>]*>/g, '').replace(/\n\s*/g, '').replace(/&lt;/g, '<').replace(/&gt;/g, '>')
    .replace(/&quot;/g, '"').replace(/&amp;/g, '&');

// What LibreOffice made of one sheet's page settings, from its flat document: the first sheet's
// page style (header, footer, margins, whether the grid is printed), its leading columns and
// their width, and whether the sheet is protected.
function pageOf(fods) {
    const text = fs.readFileSync(fods, 'utf8');
    const table = /<table:table\s[^>]*>/.exec(text)[0];
    const tableStyle = elementNamed(text, 'style:style', attribute(table, 'table:style-name'));
    const masterName = attribute(tableStyle && tableStyle[0], 'style:master-page-name');
    const master = new RegExp(`<style:master-page\\s[^>]*style:name="${masterName}"[^>]*>`
        + '([\\s\\S]*?)</style:master-page>').exec(text);
    if (!master) {
        throw new Error(`no page style ${masterName}`);
    }
    const layout = new RegExp(`<style:page-layout\\s[^>]*style:name="`
        + `${attribute(master[0], 'style:page-layout-name')}"[^>]*>\\s*`
        + '<style:page-layout-properties[^>]*>').exec(text)[0];
    const part = (tag) => {
        const m = new RegExp(`<style:${tag}>([\\s\\S]*?)</style:${tag}>`).exec(master[1]);
        return m ? m[1] : undefined;
    };
    const columns = [...text.matchAll(/<table:table-column\s[^>]*>/g)].map((c) => {
        const style = elementNamed(text, 'style:style', attribute(c[0], 'table:style-name'));
        const properties = style && /<style:table-column-properties[^>]*>/.exec(
            text.slice(style.index));
        return { count: Number(attribute(c[0], 'table:number-columns-repeated') || 1),
            width: properties ? inches(attribute(properties[0], 'style:column-width')) : NaN };
    });
    return {
        header: part('header'),
        footer: part('footer'),
        margins: Object.fromEntries(['left', 'right', 'top', 'bottom'].map((side) =>
            [side, inches(attribute(layout, `fo:margin-${side}`))])),
        grid: (attribute(layout, 'style:print') || '').split(' ').includes('grid'),
        columns,
        protected: attribute(table, 'table:protected') === 'true',
    };
}

// Differences between what LibreOffice read and what the case asked for. An unasked setting must
// not be there either. LibreOffice opens a BIFF2 sheet unprotected whatever its protection
// record says, so an .xls sheet's protection is left to SheetJS.
function comparePage(p, format, page) {
    const problems = [];
    const shown = (xml) => (xml === undefined ? 'none' : JSON.stringify(xmlText(xml)));
    if (p.header !== undefined) {
        // "&P" is the page number, a field of its own.
        if (!page.header || xmlText(page.header) !== `${p.header}1`
            || !page.header.includes('<text:page-number')) {
            problems.push(`header ${shown(page.header)}, expected "${p.header}" and the page number`);
        }
        if (!page.footer || xmlText(page.footer) !== p.footer) {
            problems.push(`footer ${shown(page.footer)}, expected ${JSON.stringify(p.footer)}`);
        }
    }
    const grid = p.args.includes('--gridlines');
    if (page.grid !== grid) {
        problems.push(`grid lines ${page.grid ? '' : 'not '}printed`);
    }
    const protect = p.args.includes('--protect') && format === 'xlsx';
    if (page.protected !== protect) {
        problems.push(`sheet ${page.protected ? '' : 'not '}protected`);
    }
    for (const [side, want] of Object.entries(p.margins || {})) {
        // LibreOffice keeps lengths in hundredths of a millimetre.
        if (Math.abs(page.margins[side] - want) > 0.001) {
            problems.push(`${side} margin ${page.margins[side]} in, expected ${want}`);
        }
    }
    if (p.width !== undefined) {
        // The table's columns alone have the width: LibreOffice measures a character of the
        // sheets' fonts as 0.07 to 0.11 inches (its default column is 0.83 to 0.89 inches);
        // the columns after them keep the default.
        const [table, next] = page.columns;
        const perCharacter = table ? table.width / p.width : NaN;
        if (!table || table.count !== p.columns || !(perCharacter >= 0.07 && perCharacter <= 0.11)
            || (next && Math.abs(next.width - table.width) < 0.01)) {
            problems.push(`columns ${JSON.stringify(page.columns.slice(0, 2))}, expected `
                + `${p.columns} of ${p.width} characters`);
        }
    }
    return problems;
}

async function libreofficePages(d, soffice) {
    fresh(d.fods);
    const files = PAGE_CASES.flatMap((p) => Object.values(pageFiles(d, p)));
    const r = await convert(soffice, d, 'fods', d.fods, files);
    if (r.failure) {
        return report('libreoffice', [r.failure], 'page settings');
    }
    const problems = [];
    for (const p of PAGE_CASES) {
        for (const [format, file] of Object.entries(pageFiles(d, p))) {
            const fods = path.join(d.fods, `${path.basename(file, path.extname(file))}.fods`);
            try {
                problems.push(...comparePage(p, format, pageOf(fods))
                    .map((problem) => `${path.basename(file)}: ${problem}`));
            } catch (e) {
                problems.push(`${path.basename(file)}: ${e.message}`);
            }
        }
    }
    return report('libreoffice', problems, 'page settings');
}

// SheetJS reads the same cells as without options, the .xls sheet's protection, the margins, and
// the .xlsx columns' width.
function sheetjsPages(X, d, scratch) {
    const listings = loadListings(scratch);
    const grid = expectedGrid(PAGE_CELLS, listings[PAGE_CELLS.listing]);
    const problems = [];
    for (const p of PAGE_CASES) {
        for (const [format, file] of Object.entries(pageFiles(d, p))) {
            const wb = X.readFile(file);
            const ws = wb.Sheets[wb.SheetNames[0]];
            const near = (a, b) => Math.abs(a - b) < 1e-9;
            const found = [
                ...compareSheet(ws, grid, { blankForEmptyText: format === 'xlsx' }),
                ...(format === 'xls' && p.args.includes('--protect') && !ws['!protect']
                    ? ['not protected'] : []),
                ...Object.entries(p.margins || {}).filter(([side, want]) =>
                    !ws['!margins'] || !near(ws['!margins'][side], want))
                    .map(([side]) => `${side} margin ${JSON.stringify(ws['!margins'])}`),
                ...(format === 'xlsx' && p.width !== undefined
                    && !(ws['!cols'] || []).slice(0, p.columns + 1)
                        .every((c, i) => (i < p.columns ? c && c.wch === p.width : !c))
                    ? [`columns ${JSON.stringify((ws['!cols'] || []).slice(0, 2))}`] : []),
            ];
            problems.push(...found.map((problem) => `${path.basename(file)}: ${problem}`));
        }
    }
    return report(`sheetjs ${X.version}`, problems, 'page settings');
}

// --- main -----------------------------------------------------------------------------------

// Each command: how many arguments it takes, and what it does with them.
const COMMANDS = new Map([['install', [2, install]], ['export', [3, exportAll]],
    ['libreoffice', [2, libreoffice]], ['sheetjs', [2, sheetjs]]]);

function main([command, ...rest]) {
    const [count, action] = COMMANDS.get(command) || [];
    return action && rest.length === count ? action(...rest) : usage();
}

if (require.main === module) {
    Promise.resolve(main(process.argv.slice(2))).then((ok) => {
        process.exitCode = ok ? 0 : 1;
    }, (e) => {
        console.log(e.stack || String(e));
        process.exitCode = 1;
    });
}

module.exports = { CASES, expectedGrid, compareCsv, compareOwnCsv, compareSheet, parseCsv,
    loadListings, dirs, filesOf, PAGE_CASES, pageFiles, pageOf, comparePage };
