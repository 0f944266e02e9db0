/* The report page: overview of the hierarchy and a view of each member.
 *
 * Data: #sorvani-meta holds the hierarchy, the models, the figure prototypes and the index of
 * the binary arrays; each array is one base64 script element (#sorvani-b<n>, little-endian) that
 * is decoded piecewise, as a member's view needs it. A member's figures are copies of the
 * prototypes (figures the module drew when the report was written) with the member's own title,
 * names and arrays put in: see memberFigures.
 *
 * The script is the files of this folder joined, in the order page/html.py gives, into one
 * strict-mode closure: each file says what it declares for the others (exported) and what it
 * takes from them (global). This one holds the page's data, the ids, the state of the views and
 * the helpers every part uses. */
/* exported META, GROUPED, PARENT, N, IDS, MEASURES, OVERLAY_LIMIT, CHILD_ROWS, $, state, clone, nums, esc, fmt, fail,
   modelIndex, lastWindow, modelNames, showOnly, shown, useDirection */

performance.mark('sorvani:start');
const META = JSON.parse(document.getElementById('sorvani-meta').textContent);
// A grouped structure (META.structure: each member may add up in several ways) holds every id in
// full and a tree per direction; a tree, each id's last part and its parent.
const GROUPED = META.structure || null;
let PARENT = META.parent;   // the tree the treemap and the crumbs follow (-1: a root, -2: not in it)
const N = PARENT.length;
const IDS = new Array(N);
const idOf = (g) => {
  if (IDS[g] === undefined) IDS[g] = PARENT[g] >= 0 ? idOf(PARENT[g]) + '/' + META.names[g] : META.names[g];
  return IDS[g];
};
for (let g = 0; g < N; g++) {
  if (GROUPED) IDS[g] = META.names[g]; else idOf(g);
}
performance.mark('sorvani:meta');
const MEASURES = META.measures;
const OVERLAY_LIMIT = 300;   // sub-members drawn in an overlay without asking
const CHILD_ROWS = 200;      // sub-members listed in a member's view

const $ = (id) => document.getElementById(id);
// The treemap shows the scaled error first when the page has it (it compares members of any size).
const state = {mi: 0, g: null, token: 0, overviewModel: -1, colourBy: MEASURES.some((m) => m.key === 'mase') ? 'mase' : 'smape',
  table: null, tableModel: -1, direction: 0};

// Makes the tree of direction d of a grouped structure the one the treemap and the crumbs follow.
function useDirection(d) {
  PARENT = GROUPED.directions[d].parent;
  state.direction = d;
}

function clone(value) {
  return JSON.parse(JSON.stringify(value));
}

function nums(values) {
  return values.map((v) => (Number.isFinite(v) ? v : null));
}

function esc(text) {
  return String(text).replace(/[&<>"']/g, (c) => ({'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;'}[c]));
}

function fmt(v, unit) {
  if (v === null || v === undefined || !Number.isFinite(v)) return '—';
  if (unit === 'count') return String(Math.round(v));
  const a = Math.abs(v);
  let text;
  if (a !== 0 && (a >= 1e7 || a < 1e-3)) text = v.toExponential(2);
  else text = String(Number(v.toPrecision(4)));
  return unit === '%' ? text + '%' : text;
}

function fail(e) {
  console.error(e);
}

// The page holds one entry per model and, for cross-validation, per window (0, 1, ...) and one
// for all windows ('all': the measures pooled, the last window's figures): the entry of model
// `name` in `window` (the last window when undefined).
function modelIndex(name, window) {
  const w = window === undefined ? lastWindow() : window;
  const here = (m) => m.window === undefined || m.window === w;
  let i = META.models.findIndex((m) => m.name === name && here(m));
  if (i < 0) i = META.models.findIndex(here);
  return i < 0 ? 0 : i;
}

function lastWindow() {
  return META.models.reduce((w, m) => (typeof m.window === 'number' ? Math.max(w, m.window) : w), -1);
}

// The distinct model names, in order.
function modelNames() {
  return META.models.map((m) => m.name).filter((name, i, all) => all.indexOf(name) === i);
}

function showOnly(id) {
  ['overview', 'member', 'missing'].forEach((s) => { $(s).hidden = s !== id; });
}

// Tells the page's watchers (the tests, the benchmark) that a view is complete.
function shown(what, model) {
  document.body.dataset.shown = what;
  window.__sorvaniShown = performance.now();
  performance.mark('sorvani:shown');
  document.dispatchEvent(new CustomEvent('sorvani:shown', {detail: {view: what, model}}));
}
