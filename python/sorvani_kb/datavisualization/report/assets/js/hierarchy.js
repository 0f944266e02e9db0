/* The hierarchy (sub-members, depths, series below each member; in a grouped structure its
 * groupings and every parent) and each model's rows. */
/* global META, GROUPED, PARENT, N, IDS, MEASURES, read, readAll */
/* exported kids, below, depthOf, subtree, lookup, idIndex, buildTree, childrenOf, ancestors, roots, loadModel,
   loadMeasures, search, modelRow, measuresOf, groupsOf, membersOf, parentsOf, groupName, levelName, nameOf,
   memberCount */

let index = null;      // id -> global index
let kids = null;       // CSR of direct sub-members: kidStart[g]..kidStart[g+1] in kidList
let below = null;      // number of series (leaves) below each member, itself when a leaf
let depthOf = null;
let subtree = null;    // number of members in each member's subtree, itself included
let builtFor = null;   // the parents `kids` was built from

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

// The members in an order where a parent comes before its sub-members: id order in a tree (a
// parent's id is a prefix of its sub-members'), by depth in a grouped structure.
let topDown = null;
function parentsFirst() {
  if (topDown === null) {
    topDown = Int32Array.from({length: N}, (_, g) => g);
    if (GROUPED) topDown.sort((a, b) => GROUPED.depth[a] - GROUPED.depth[b] || a - b);
  }
  return topDown;
}

function buildTree() {
  if (kids !== null && builtFor === PARENT) return;
  builtFor = PARENT;
  const start = new Int32Array(N + 1);
  for (let g = 0; g < N; g++) if (PARENT[g] >= 0) start[PARENT[g] + 1]++;
  for (let g = 0; g < N; g++) start[g + 1] += start[g];
  const fill = start.slice(0, N);
  const list = new Int32Array(start[N]);
  for (let g = 0; g < N; g++) if (PARENT[g] >= 0) list[fill[PARENT[g]]++] = g;
  kids = {start, list};
  below = GROUPED ? Float64Array.from(GROUPED.below) : new Float64Array(N);
  subtree = new Float64Array(N).fill(1);
  depthOf = new Int32Array(N);
  const order = parentsFirst();
  for (let i = N - 1; i >= 0; i--) {
    const g = order[i];
    if (below[g] === 0) below[g] = 1;
    if (PARENT[g] >= 0) { if (!GROUPED) below[PARENT[g]] += below[g]; subtree[PARENT[g]] += subtree[g]; }
  }
  for (let i = 0; i < N; i++) { const g = order[i]; depthOf[g] = PARENT[g] >= 0 ? depthOf[PARENT[g]] + 1 : 0; }
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
  for (let g = 0; g < N; g++) if (PARENT[g] === -1) out.push(g);
  return out;
}

// The name of member g under its parent in the tree followed: the part of its id its parent's lacks.
function nameOf(g) {
  if (!GROUPED) return META.names[g];
  const p = PARENT[g];
  if (p < 0) return IDS[g];
  const mine = IDS[g].split('/');
  const theirs = IDS[p].split('/');
  let at = 0;
  while (at < theirs.length && mine[at] === theirs[at]) at++;
  return mine[at];
}

// ------------------------------------------------------------------------------------------
// The groupings of a grouped structure: an aggregate, the column it is split by, its members

function groupsOf(g) {
  const owner = GROUPED.groups.owner;
  let lo = 0;
  let hi = owner.length;
  while (lo < hi) { const mid = (lo + hi) >> 1; if (owner[mid] < g) lo = mid + 1; else hi = mid; }
  const out = [];
  for (let k = lo; k < owner.length && owner[k] === g; k++) out.push(k);
  return out;
}

function membersOf(k) {
  const G = GROUPED.groups;
  return G.members.slice(G.start[k], G.start[k + 1]);
}

let holders = null;    // CSR: the groupings that hold each member
// [parent, grouping] of every grouping that holds member g.
function parentsOf(g) {
  const G = GROUPED.groups;
  if (holders === null) {
    const start = new Int32Array(N + 1);
    G.members.forEach((c) => { start[c + 1]++; });
    for (let i = 0; i < N; i++) start[i + 1] += start[i];
    const fill = start.slice(0, N);
    const list = new Int32Array(G.members.length);
    for (let k = 0; k < G.owner.length; k++) for (let e = G.start[k]; e < G.start[k + 1]; e++) list[fill[G.members[e]]++] = k;
    holders = {start, list};
  }
  return Array.from(holders.list.subarray(holders.start[g], holders.start[g + 1])).map((k) => [G.owner[k], k]);
}

function groupName(k) {
  return GROUPED.columns[GROUPED.groups.column[k]];
}

function levelName(g) {
  return GROUPED ? GROUPED.levels[GROUPED.level[g]] : null;
}

// The number of members g splits into: its direct sub-members, over every grouping in a grouped structure.
function memberCount(g) {
  if (!GROUPED) { buildTree(); return kids.start[g + 1] - kids.start[g]; }
  return groupsOf(g).reduce((sum, k) => sum + GROUPED.groups.start[k + 1] - GROUPED.groups.start[k], 0);
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
