/* Navigation: `#node=<id>&model=<name>&window=<k>&tree=<direction>` links, the view a hash opens
 * (the browser's history follows the hash), the model selector, the measure the treemap is
 * coloured by and the box that opens a member by id. */
/* global META, GROUPED, N, IDS, MEASURES, $, state, esc, fail, modelIndex, lastWindow, modelNames, showOnly, shown, lookup, idIndex, roots,
   drawTreemap, showMember, showOverview, sortWorst, setupDirections, useDirection */
/* exported hashFor, link, route, setup */

// The link to member g (null: the overview) under model entry mi, the treemap and the crumbs
// following direction d of a grouped structure (default: the one they follow now).
function hashFor(g, mi, d) {
  const M = META.models[mi];
  const parts = g === null ? [] : ['node=' + encodeURIComponent(IDS[g])];
  if (M.name !== META.models[0].name) parts.push('model=' + encodeURIComponent(M.name));
  if (M.window !== undefined && M.window !== lastWindow()) parts.push('window=' + M.window);
  const direction = d === undefined ? state.direction : d;
  if (direction > 0) parts.push('tree=' + encodeURIComponent(GROUPED.directions[direction].name));
  return '#' + parts.join('&');
}

// The direction a link names (the first when it names none or one the page lacks) becomes the
// one the treemap and the crumbs follow; the overview redraws what follows it (showOverview).
function followDirection(name) {
  if (!GROUPED || GROUPED.directions.length < 2) return;
  const d = Math.max(0, GROUPED.directions.findIndex((x) => x.name === name));
  if (d === state.direction) return;
  useDirection(d);
  $('direction').value = String(d);
  document.body.dataset.direction = GROUPED.directions[d].name;
}

// A link to member g (null: the overview) under model entry mi. A click follows it under the
// direction the page follows then (followOwnLinks), whichever it followed when the link was made.
function link(g, mi, text) {
  return '<a href="' + esc(hashFor(g, mi)) + '" data-g="' + (g === null ? '' : g) + '" data-mi="' + mi + '">' +
    esc(text === undefined ? IDS[g] : text) + '</a>';
}

function parseHash() {
  const out = {};
  location.hash.replace(/^#/, '').split('&').forEach((part) => {
    const i = part.indexOf('=');
    if (i <= 0) return;
    try { out[part.slice(0, i)] = decodeURIComponent(part.slice(i + 1)); } catch (e) { out.bad = part; }
  });
  return out;
}

// The view of an id the report does not hold.
function showMissing(id, mi) {
  state.token++;
  showOnly('missing');
  $('missing').querySelector('p').innerHTML = 'The report holds no member with the id <code>' + esc(id) + '</code>. ' + link(null, mi, 'Back to the overview') + '.';
  shown('missing', null);
  return Promise.resolve();
}

// Shows the view the hash names: a member's, or the overview, under the model it names.
function route() {
  const h = parseHash();
  const name = h.model !== undefined ? h.model : META.models[0].name;
  const mi = modelIndex(name, h.window === undefined ? undefined : (h.window === 'all' ? 'all' : Number(h.window)));
  state.mi = mi;
  followDirection(h.tree);
  const M = META.models[mi];
  $('model').value = String(modelNames().indexOf(M.name));
  if (M.window !== undefined) $('window').value = String(M.window);
  $('level').textContent = M ? (M.band ? 'band: ' + (M.level ? M.level + ' prediction interval' : 'prediction interval') : 'no interval bounds') : '';
  if (h.node !== undefined) {
    const g = lookup(h.node);
    if (g === undefined) return showMissing(h.node, mi);
    state.g = g;
    document.title = IDS[g] + ' · ' + META.title;
    return showMember(g, mi);
  }
  state.g = null;
  document.title = META.title;
  return showOverview(mi);
}

function setupControls() {
  $('source').textContent = 'Forecasts of ' + N + ' series from ' + META.prediction +
    (META.observed ? ', observed values from ' + META.observed : ', no observed values') + '.';
  const select = $('model');
  select.innerHTML = modelNames().map((name, i) => '<option value="' + i + '">' + esc(name) + '</option>').join('');
  select.addEventListener('change', () => {
    location.hash = hashFor(state.g, modelIndex(modelNames()[Number(select.value)], META.models[state.mi].window));
  });
  setupWindows();
  const colour = $('colour-by');
  colour.innerHTML = MEASURES.map((m) => '<option value="' + m.key + '"' + (m.key === state.colourBy ? ' selected' : '') + '>' + esc(m.label) + '</option>').join('');
  colour.addEventListener('change', () => {
    state.colourBy = colour.value;
    drawTreemap(state.mi, $('treemap'), roots(), META.treemapNodes, $('treemap-scale'), $('treemap-note')).catch(fail);
  });
  $('worst').addEventListener('click', (ev) => {
    const h = ev.target.closest('h3');
    if (h) sortWorst(h.parentNode.dataset.measure);
  });
}

// Cross-validation: one forecast per window; the selector picks whose figures and measures show.
function setupWindows() {
  if (lastWindow() < 0) return;
  const select = $('window');
  const cutoffs = [];
  META.models.forEach((M) => { if (typeof M.window === 'number') cutoffs[M.window] = M.cutoff; });
  const pooled = META.models.find((M) => M.window === 'all');
  select.innerHTML = cutoffs.map((c, w) => '<option value="' + w + '">cutoff ' + esc(c) + '</option>').join('') +
    (pooled ? '<option value="all">all ' + pooled.pooled + ' windows</option>' : '');
  $('window-box').hidden = false;
  select.addEventListener('change', () => {
    const w = select.value === 'all' ? 'all' : Number(select.value);
    location.hash = hashFor(state.g, modelIndex(META.models[state.mi].name, w));
  });
}

function setupNotes() {
  if (!META.notes.length) return;
  const notes = $('notes');
  notes.hidden = false;
  notes.querySelector('summary').textContent = META.notes.length + ' note' + (META.notes.length > 1 ? 's' : '') + ' on the input';
  notes.querySelector('ul').innerHTML = META.notes.map((n) => '<li>' + esc(n) + '</li>').join('');
}

// The box that opens a member by id, suggesting ids that hold what was typed.
function setupGoto() {
  const input = $('goto-id');
  input.addEventListener('input', () => {
    const q = input.value;
    const list = [];
    if (q.length >= 2) for (let g = 0; g < N && list.length < 20; g++) if (IDS[g].includes(q)) list.push(g);
    $('goto-list').innerHTML = list.map((g) => '<option value="' + esc(IDS[g]) + '">').join('');
  });
  $('goto').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const g = idIndex().get(input.value.trim());
    location.hash = g === undefined ? '#node=' + encodeURIComponent(input.value.trim()) : hashFor(g, state.mi);
  });
}

// The page's own links change only the hash. Shown inline in a notebook the page is an
// about:srcdoc document, where "#node=..." would resolve against the notebook's address and load
// it into the frame: a plain click sets the hash itself.
function followOwnLinks(ev) {
  if (ev.defaultPrevented || ev.button !== 0 || ev.metaKey || ev.ctrlKey || ev.shiftKey || ev.altKey) return;
  const a = ev.target.closest && ev.target.closest('a[href^="#"]');
  if (!a) return;
  ev.preventDefault();
  const own = a.dataset.g !== undefined;
  const h = own ? hashFor(a.dataset.g === '' ? null : Number(a.dataset.g), Number(a.dataset.mi)) : a.getAttribute('href');
  if (location.hash === h || (h === '#' && !location.hash)) route().catch(fail);
  else location.hash = h;
}

function setup() {
  setupControls();
  setupDirections();
  setupNotes();
  setupGoto();
  document.addEventListener('click', followOwnLinks);
  window.addEventListener('hashchange', () => { route().catch(fail); });
}
