/* Binary arrays: chunks of byte-shuffled, deflated, base64 data (see Blobs in page/codec.py),
 * decoded as a view needs them, once the browser has read the block that holds them. */
/* global META */
/* exported arrived, bytesOf, read, readAll */

const SIZE = {f4: 4, f8: 8, i4: 4, u2: 2, u1: 1};
const TYPED = {f4: Float32Array, f8: Float64Array, i4: Int32Array, u2: Uint16Array, u1: Uint8Array};
const chunks = new Map();
const wholes = new Map();
const MISSING = -2147483648;
const RELATIVE = 128;
const littleEndian = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

// Blocks of per-id data come after this script; each is followed by a marker calling
// __sorvaniBlock(b) once the browser has read it, and the arrays only the overview needs and
// the table library by the marker of block META.blocks.
let blocksIn = 0;
const waiting = [];
function blockIn(b) {
  blocksIn = Math.max(blocksIn, b + 1);
  for (let i = waiting.length - 1; i >= 0; i--) {
    if (waiting[i][0] < blocksIn) waiting.splice(i, 1)[0][1]();
  }
}
window.__sorvaniBlock = blockIn;
document.addEventListener('DOMContentLoaded', () => blockIn(META.blocks));
function arrived(b) {
  return b < blocksIn ? Promise.resolve() : new Promise((resolve) => waiting.push([b, resolve]));
}

// The bytes of a base64 text.
function bytesOf(b64) {
  const bin = atob(b64);
  const bytes = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; i++) bytes[i] = bin.charCodeAt(i);
  return bytes;
}

async function inflate(b64) {
  const stream = new Blob([bytesOf(b64)]).stream().pipeThrough(new DecompressionStream('deflate'));
  return new Uint8Array(await new Response(stream).arrayBuffer());
}

// The numbers of chunk c of array `a` (its index entry) from its inflated bytes `raw`: the
// encoding's byte, then the numbers' k-th bytes together for each k; `bases`: the same chunk of
// each array it is stored against.
function decodeChunk(a, c, raw, bases) {
  const n = a.bounds[c + 1] - a.bounds[c];
  const code = raw[0];
  const size = code === 0 ? SIZE[a.dtype] : code === 255 ? 8 : 4;
  const bytes = new Uint8Array(n * size);
  for (let k = 0; k < size; k++) {
    const at = littleEndian ? k : size - 1 - k;
    for (let i = 0; i < n; i++) bytes[i * size + at] = raw[1 + k * n + i];
  }
  let out;
  if (code === 0) out = new TYPED[a.dtype](bytes.buffer);
  else if (code === 255) out = new Float64Array(bytes.buffer);
  else if (code >= RELATIVE) return fromBases(new Int32Array(bytes.buffer), bases, code - RELATIVE, a.width);
  else {
    const ints = new Int32Array(bytes.buffer);
    const scale = Math.pow(10, code - 1);
    out = new Float64Array(n);
    for (let i = 0; i < n; i++) out[i] = ints[i] === MISSING ? NaN : ints[i] / scale;
  }
  return a.columns ? byRows(out, a.width) : out;
}

// Decimals of k places stored against their bases: per row of `width`, the running sum of the
// changes (missing ones skipped) added to the base's value as an integer (with two bases a and
// b, to 2a - b), over 10^k.
function fromBases(changes, bases, k, width) {
  const scale = Math.pow(10, k);
  const [a, b] = bases;
  const out = new Float64Array(changes.length);
  let sum = 0;
  for (let i = 0; i < changes.length; i++) {
    if (i % width === 0) sum = 0;
    if (changes[i] === MISSING) {
      out[i] = NaN;
      continue;
    }
    sum += changes[i];
    const ref = b === undefined ? Math.round(a[i] * scale) : 2 * Math.round(a[i] * scale) - Math.round(b[i] * scale);
    out[i] = (ref + sum) / scale;
  }
  return out;
}

// Numbers stored column by column (`width` columns) back in rows.
function byRows(values, width) {
  const rows = values.length / width;
  const out = new values.constructor(values.length);
  for (let j = 0; j < width; j++) {
    for (let r = 0; r < rows; r++) out[r * width + j] = values[j * rows + r];
  }
  return out;
}

// Chunk c of array `name`, as a typed array.
function chunk(name, c) {
  const key = name + ':' + c;
  let p = chunks.get(key);
  if (p === undefined) {
    const a = META.arrays[name];
    const raw = (a.late ? arrived(META.blocks) : a.blocked ? arrived(c) : Promise.resolve())
      .then(() => inflate(document.getElementById('sorvani-b' + (a.el + c)).textContent));
    p = Promise.all([raw, ...(a.base || []).map((b) => chunk(b, c))])
      .then(([bytes, ...bases]) => decodeChunk(a, c, bytes, bases));
    chunks.set(key, p);
  }
  return p;
}

// Elements [start, start + count) of a stored array, as a plain array of numbers.
async function read(name, start, count) {
  if (count <= 0) return [];
  const a = META.arrays[name];
  const b = a.bounds;
  let lo = 0;
  let hi = b.length - 2;
  while (lo < hi) {   // the last chunk starting at or before `start`
    const mid = (lo + hi + 1) >> 1;
    if (b[mid] <= start) lo = mid; else hi = mid - 1;
  }
  const wanted = [];
  for (let c = lo; c < b.length - 1 && b[c] < start + count; c++) wanted.push(c);
  const parts = await Promise.all(wanted.map((c) => chunk(name, c)));
  const out = new Array(count);
  wanted.forEach((c, j) => {
    const from = Math.max(start, b[c]);
    const to = Math.min(start + count, b[c + 1]);
    for (let e = from; e < to; e++) out[e - start] = parts[j][e - b[c]];
  });
  return out;
}

function readAll(name) {
  let v = wholes.get(name);
  if (v === undefined) {
    v = read(name, 0, META.arrays[name].n);
    wholes.set(name, v);
  }
  return v;
}
