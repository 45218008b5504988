'use strict';
// A deliberately small reader of result listings, written apart from the product's reader so that
// the spreadsheet checks compare against the listing text itself. It keeps every number as the
// text printed, so the checks can state the exact double a reader must show.

const fs = require('fs');

const NUMBER = /^-?\d+\.\d+E[+-]\d\d$/;

function fail(path, lineNo, what) {
    throw new Error(`${path}:${lineNo}: ${what}`);
}

// Returns { thermal, blocks: [{ time, disp, eigen, truss, beam, membrane, bending, soil,
// stress, tangent, temp }] }, blocks in listing order (block 1 first). Keys of the maps:
// node / element numbers, "element,point" for beam and shell lines; fibre tables are arrays in
// listing order, each { element, point, values: Map fibre -> text }.
function readListing(path) {
    // latin1: one character per byte, like the listing's single-byte text.
    const lines = fs.readFileSync(path, 'latin1').split(/\r\n|\r|\n/);
    const blocks = [];
    let block = null;
    let state = null;
    let table = null;
    let thermal = false;
    let tempCount = 0;

    const values = (tokens, lineNo) => {
        for (const t of tokens) {
            if (!NUMBER.test(t)) {
                fail(path, lineNo, `not a listing value: "${t}"`);
            }
        }
        return tokens;
    };

    lines.forEach((line, index) => {
        const lineNo = index + 1;
        if (line === ' TEMPERATURE ANALYSIS') {
            thermal = true;
        }
        const time = /^ {2}TIME =\s+(\S+) SEC\.$/.exec(line);
        if (time) {
            block = { time: time[1], eigen: null, stress: [], tangent: [] };
            for (const table of ['disp', 'truss', 'beam', 'membrane', 'bending', 'soil', 'temp']) {
                block[table] = new Map();
            }
            blocks.push(block);
            state = null;
            tempCount = 0;
            return;
        }
        if (!block) {
            return;  // the model description before the first time
        }
        const eigen = /^ SMALLEST RELATIVE EIGEN VALUE OF THE MATRIX:\s*(\S+)$/.exec(line);
        if (eigen) {
            block.eigen = values([eigen[1]], lineNo)[0];
            state = null;
            return;
        }
        const fibre = /^ (STRESSES|TANGENT MODULUS) IN N\/mm. IN BEAM ELEMENT\s+(\d+), POINT\s+(\d+)$/
            .exec(line);
        if (fibre) {
            table = { element: Number(fibre[2]), point: Number(fibre[3]), values: new Map() };
            (fibre[1] === 'STRESSES' ? block.stress : block.tangent).push(table);
            state = 'fibre';
            return;
        }
        const headings = [
            [/^ TOTAL DISPLACEMENTS\.$/, 'disp'],
            [/^ INTERNAL SOLLICITATIONS IN THE TRUSS ELEMENTS\.$/, 'truss'],
            [/^ INTERNAL SOLLICITATIONS IN THE BEAM ELEMENTS\.$/, 'beam'],
            [/^ MEMBRANE FORCES /, 'membrane'],
            [/^ BENDING FORCES /, 'bending'],
            [/^ INTERNAL FORCE IN THE SOIL ELEMENTS\.$/, 'soil'],
            [/^ NODE TEMP\./, 'temp'],
            [/^ CONVERGENCE HAS BEEN OBTAINED\.$/, null],
        ];
        for (const [pattern, next] of headings) {
            if (pattern.test(line)) {
                state = next;
                return;
            }
        }
        // Column headings and rules under a table heading start with no number.
        if (state === null || !/^\s*\d/.test(line)) {
            return;
        }
        const tokens = line.trim().split(/\s+/);
        switch (state) {
            case 'disp':
                block.disp.set(Number(tokens[0]), values(tokens.slice(1), lineNo));
                break;
            case 'truss':
                block.truss.set(Number(tokens[0]), values(tokens.slice(1), lineNo)[0]);
                break;
            case 'soil':
                block.soil.set(Number(tokens[0]), values(tokens.slice(1), lineNo));
                break;
            case 'beam':
                block.beam.set(`${tokens[0]},${tokens[1]}`, values(tokens.slice(2), lineNo));
                break;
            case 'membrane':
            case 'bending': {
                // "  e   s     x     y  NX=  v  NY= v ...": name=value pairs after the position.
                const forces = {};
                for (const m of line.matchAll(/([A-Z0-9]+)=\s*(\S+)/g)) {
                    forces[m[1]] = values([m[2]], lineNo)[0];
                }
                block[state].set(`${tokens[0]},${tokens[1]}`, forces);
                break;
            }
            case 'fibre':
                if (tokens.length % 2 !== 0) {
                    fail(path, lineNo, 'fibre line without pairs');
                }
                for (let i = 0; i < tokens.length; i += 2) {
                    table.values.set(Number(tokens[i]), values([tokens[i + 1]], lineNo)[0]);
                }
                break;
            case 'temp':
                // Fixed fields of 11 characters: node number in 5 (it wraps past 99999, so
                // nodes are counted), temperature in 6.
                for (let at = 0; at + 11 <= line.length; at += 11) {
                    const node = Number(line.slice(at, at + 5));
                    const text = line.slice(at + 5, at + 11).trim();
                    tempCount += 1;
                    if (node !== tempCount % 100000 || !/^\d+\.\d$/.test(text)) {
                        fail(path, lineNo, `temperature field "${line.slice(at, at + 11)}"`);
                    }
                    block.temp.set(tempCount, text);
                }
                break;
            default:
                break;
        }
    });
    if (blocks.length === 0) {
        throw new Error(`${path}: no time block`);
    }
    return { thermal, blocks };
}

module.exports = { readListing };
