/* The hierarchy (sub-members, depths, series below each member) and each model's rows. */
/* global META, PARENT, N, IDS, MEASURES, read, readAll */
/* exported kids, below, depthOf, subtree, lookup, idIndex, buildTree, childrenOf, ancestors, roots, loadModel,
   loadMeasures, search, modelRow, measuresOf */

let index = null;      // id -> global index
let kids = null;       // CSR of direct sub-members: kidStart[g]..kidStart[g+1] in kidList
let below = null;      // number of series (leaves) below each member, itself when a leaf
let depthOf = null;
let subtree = null;    // number of members in each member's subtree, itself included

// The global index of an id, or undefined.
function lookup(id) {
  if (index !== null) return index.get(id);
  const g = IDS.indexOf(id);
  return g < 0 ? undefined : g;
}

function idIndex() {
  if (index === null) {
    index = new Map();
    for (let g = 0; g < N; g++) index.set(IDS[g], g);
  }
  return index;
}

function buildTree() {
  if (kids !== null) return;
  const start = new Int32Array(N + 1);
  for (let g = 0; g < N; g++) if (PARENT[g] >= 0) start[PARENT[g] + 1]++;
  for (let g = 0; g < N; g++) start[g + 1] += start[g];
  const fill = start.slice(0, N);
  const list = new Int32Array(start[N]);
  for (let g = 0; g < N; g++) if (PARENT[g] >= 0) list[fill[PARENT[g]]++] = g;
  kids = {start, list};
  // A parent's id is a prefix of its sub-members' ids, so it comes first in id order.
  below = new Float64Array(N);
  subtree = new Float64Array(N).fill(1);
  depthOf = new Int32Array(N);
  for (let g = N - 1; g >= 0; g--) {
    if (below[g] === 0) below[g] = 1;
    if (PARENT[g] >= 0) { below[PARENT[g]] += below[g]; subtree[PARENT[g]] += subtree[g]; }
  }
  for (let g = 0; g < N; g++) depthOf[g] = PARENT[g] >= 0 ? depthOf[PARENT[g]] + 1 : 0;
}

function childrenOf(g) {
  buildTree();
  return Array.from(kids.list.subarray(kids.start[g], kids.start[g + 1]));
}

function ancestors(g) {
  const out = [];
  for (let p = PARENT[g]; p >= 0; p = PARENT[p]) out.unshift(p);
  return out;
}

function roots() {
  const out = [];
  for (let g = 0; g < N; g++) if (PARENT[g] < 0) out.push(g);
  return out;
}

// ------------------------------------------------------------------------------------------
// Models

const gids = [];       // per model: global index of each of its rows, ascending (once loaded)
const measureRows = [];  // per model: [measure][row] (once loaded)

async function loadModel(mi) {
  if (gids[mi] === undefined) {
    const name = META.models[mi].arrays.gid;
    // Calls that overlap here store the same value (readAll keeps one promise per array).
    // eslint-disable-next-line require-atomic-updates
    gids[mi] = name === undefined ? null : await readAll(name);   // null: every id, in order
  }
  return gids[mi] === null ? Array.from({length: N}, (_, g) => g) : gids[mi];
}

async function loadMeasures(mi) {
  if (measureRows[mi] === undefined) {
    const M = META.models[mi];
    const flat = await readAll(M.arrays.measures);
    const k = MEASURES.length;
    // Calls that overlap here store equal columns of the same array.
    // eslint-disable-next-line require-atomic-updates
    measureRows[mi] = MEASURES.map((m, j) => {
      const col = new Array(M.n);
      for (let r = 0; r < M.n; r++) col[r] = flat[r * k + j];
      return col;
    });
  }
  return measureRows[mi];
}

function search(sorted, value) {
  let lo = 0;
  let hi = sorted.length - 1;
  while (lo <= hi) {
    const mid = (lo + hi) >> 1;
    if (sorted[mid] === value) return mid;
    if (sorted[mid] < value) lo = mid + 1; else hi = mid - 1;
  }
  return -1;
}

// The row of member g in model mi (-1: no forecast); loadModel(mi) first.
function modelRow(mi, g) {
  return gids[mi] === null ? g : search(gids[mi], g);
}

// The measures of row `row` of model mi (NaN each for -1).
async function measuresOf(mi, row) {
  const k = MEASURES.length;
  const values = row >= 0 ? await read(META.models[mi].arrays.measures, row * k, k) : MEASURES.map(() => NaN);
  const out = {};
  MEASURES.forEach((m, j) => { out[m.key] = values[j]; });
  return out;
}
