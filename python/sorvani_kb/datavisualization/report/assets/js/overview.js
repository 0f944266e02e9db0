/* The overview: the summary cards, the treemap of the hierarchy coloured by a measure, the
 * evaluation of every model (evaluation.js) and the worst members of each measure, above the
 * table of every member (table.js). */
/* global META, GROUPED, PARENT, N, IDS, MEASURES, $, state, esc, fmt, showOnly, shown, kids, below, depthOf, subtree,
   buildTree, roots, loadModel, loadMeasures, modelRow, buildTable, hashFor, link, nameOf, drawEvaluation,
   modelNames */
/* exported drawTreemap, showOverview, setupDirections */

function colourScale(values, worst) {
  const finite = values.filter(Number.isFinite);
  if (!finite.length) return {colour: () => '#cccccc', lo: NaN, hi: NaN};
  const key = worst === 'abs' ? finite.map(Math.abs) : finite;
  key.sort((a, b) => a - b);
  const lo = key[Math.floor(0.02 * (key.length - 1))];
  const hi = key[Math.ceil(0.98 * (key.length - 1))];
  const stops = [[26, 152, 80], [254, 224, 139], [215, 48, 39]];
  const colour = (v) => {
    if (!Number.isFinite(v)) return '#cccccc';
    const x = worst === 'abs' ? Math.abs(v) : v;
    let f = hi > lo ? (x - lo) / (hi - lo) : 0.5;
    f = Math.min(1, Math.max(0, f));
    if (worst === 'low') f = 1 - f;
    const s = f < 0.5 ? 0 : 1;
    const u = f < 0.5 ? f * 2 : (f - 0.5) * 2;
    const c = stops[s].map((a, i) => Math.round(a + (stops[s + 1][i] - a) * u));
    return 'rgb(' + c.join(',') + ')';
  };
  return {colour, lo, hi};
}

// Measure j of model mi by global index (NaN where the model has no row).
async function measureByMember(mi, j) {
  const gid = await loadModel(mi);
  const values = (await loadMeasures(mi))[j];
  const byG = new Float64Array(N).fill(NaN);
  gid.forEach((g, r) => { byG[g] = values[r]; });
  return byG;
}

// The members a treemap below `top` shows: whole levels from there down while `budget`
// rectangles allow (at least the first `budget` of `top`).
function treemapMembers(top, budget) {
  let level = top;
  const members = [];
  while (level.length && members.length + level.length <= budget) {
    members.push(...level);
    const next = [];
    level.forEach((g) => { for (let i = kids.start[g]; i < kids.start[g + 1]; i++) next.push(kids.list[i]); });
    level = next;
  }
  if (!members.length) members.push(...top.slice(0, budget));
  return members;
}

// The treemap trace of `members` below `top`, coloured by `scale` of the measure's values byG.
function treemapTrace(top, members, byG, measure, scale) {
  const many = top.length > 1;
  // Labels on the top levels only: plotly measures every label it draws, which at thousands of
  // rectangles takes seconds; the others show theirs on hover.
  const base = Math.min(...top.map((g) => depthOf[g]));
  const deepest = Math.max(...members.map((g) => depthOf[g])) - base;
  const labelled = deepest <= 1 ? Infinity : members.length > 300 ? 1 : 2;
  const tm = {type: 'treemap', ids: [], labels: [], parents: [], values: [], text: [], texttemplate: [], marker: {colors: []},
    branchvalues: 'total', hovertemplate: '%{text}<extra></extra>', sort: false};
  if (many) {
    tm.ids.push('all'); tm.labels.push('all roots'); tm.parents.push(''); tm.text.push('every root'); tm.texttemplate.push('%{label}');
    tm.values.push(top.reduce((sum, g) => sum + below[g], 0)); tm.marker.colors.push('#eeeeee');
  }
  const inTree = new Set(members);
  const tops = new Set(top);
  members.forEach((g) => {
    tm.ids.push('g' + g);
    tm.labels.push(tops.has(g) ? IDS[g] : nameOf(g));
    tm.parents.push(PARENT[g] >= 0 && inTree.has(PARENT[g]) ? 'g' + PARENT[g] : (many ? 'all' : ''));
    tm.values.push(below[g]);
    tm.text.push(esc(IDS[g]) + '<br>' + esc(measure.label) + ': ' + fmt(byG[g], measure.unit) + '<br>' + below[g] + ' series');
    tm.marker.colors.push(scale.colour(byG[g]));
    tm.texttemplate.push(depthOf[g] - base <= labelled ? '%{label}' : '');
  });
  return tm;
}

// The colour legend of a treemap: the good and the bad end of the scale, and no value.
function treemapLegend(measure, scale, scaleEl) {
  const lo = fmt(scale.lo, measure.unit);
  const hi = fmt(scale.hi, measure.unit);
  const good = measure.worst === 'low' ? hi : lo;
  const bad = measure.worst === 'low' ? lo : hi;
  const absolute = (t) => (measure.worst === 'abs' ? '|' + t + '|' : t);
  scaleEl.innerHTML = esc(measure.label) + ': <span class="swatch good"></span> ' + esc(absolute(good)) +
    ' <span class="ramp"></span> ' + esc(absolute(bad)) + ' <span class="swatch bad"></span> <span class="swatch none"></span> no value';
}

// A click on a rectangle of the treemap drawn in `el` opens that member's view.
function openOnClick(el) {
  if (el._sorvaniClick) return;
  el._sorvaniClick = true;
  el.on('plotly_treemapclick', (ev) => {
    const id = ev.points && ev.points[0] && ev.points[0].id;
    if (id && id[0] === 'g') location.hash = hashFor(Number(id.slice(1)), state.mi);
    return false;
  });
}

// A treemap of the members below `top` (global indices), whole levels from there down while
// `budget` rectangles allow, coloured by the chosen measure of model mi; a click opens a member.
async function drawTreemap(mi, el, top, budget, scaleEl, noteEl) {
  buildTree();
  const j = MEASURES.findIndex((m) => m.key === state.colourBy);
  const measure = MEASURES[j];
  const byG = await measureByMember(mi, j);
  const members = treemapMembers(top, budget);
  const scale = colourScale(members.map((g) => byG[g]), measure.worst);
  const layout = {margin: {t: 10, l: 10, r: 10, b: 10}, height: 560};
  await Plotly.react(el, [treemapTrace(top, members, byG, measure, scale)], layout, {displaylogo: false});
  openOnClick(el);
  treemapLegend(measure, scale, scaleEl);
  const total = top.reduce((sum, g) => sum + subtree[g], 0);
  noteEl.textContent = total > members.length ? 'Showing ' + members.length + ' of ' + total + ' members (the levels that fit ' +
    budget + ' rectangles); the deeper ones open from their parent\'s view or from the table.' : '';
}

async function worstPanel(mi) {
  const M = META.models[mi];
  await loadModel(mi);
  const cols = await loadMeasures(mi);
  $('worst').innerHTML = MEASURES.map((m, j) => {
    if (m.card === false) return '';  // in the table and the treemap only
    const list = M.worst[m.key] || [];
    const items = list.map((g) => '<li>' + link(g, mi) + ' <span class="num">' + fmt(cols[j][modelRow(mi, g)], m.unit) + '</span></li>').join('');
    return '<div class="card" data-measure="' + m.key + '"><h3 title="' + esc(m.help) + ' (click: sort the table by it)">' + esc(m.label) + '</h3>' +
      (items ? '<ol>' + items + '</ol>' : '<p class="hint">' + esc(M.none[m.key] || 'No member has a value.') + '</p>') + '</div>';
  }).join('');
}

function summary(mi) {
  buildTree();
  const M = META.models[mi];
  let deepest = 0;
  for (let g = 0; g < N; g++) deepest = Math.max(deepest, depthOf[g]);
  const cards = [
    ['members', N], ['roots', roots().length], ['levels', GROUPED ? GROUPED.levels.length : deepest + 1], ['models', modelNames().length],
    ['forecast dates', M.width + (M.range ? ' (' + M.range[0] + ' to ' + M.range[1] + ')' : '')],
    ['band', M.band ? (M.level || 'yes') : 'none'],
  ];
  $('summary').innerHTML = cards.map(([k, v]) => '<div class="card small"><div class="big">' + esc(v) + '</div>' + esc(k) + '</div>').join('');
}

// The selector of the direction the treemap follows through a grouped structure split in several
// ways at its top (by State first, or by Sector first); a tree has one and shows none.
function setupDirections() {
  const box = $('direction-box');
  const directions = GROUPED ? GROUPED.directions : [];
  if (directions.length < 2) return;
  box.hidden = false;
  const select = $('direction');
  select.innerHTML = directions.map((d, i) => '<option value="' + i + '">' + esc(d.name) + ' first</option>').join('');
  document.body.dataset.direction = directions[0].name;
  // The link says the direction: the view it opens follows it (navigation.js).
  select.addEventListener('change', () => { location.hash = hashFor(state.g, state.mi, Number(select.value)); });
}

async function showOverview(mi) {
  const token = ++state.token;
  showOnly('overview');
  buildTree();
  if (state.overviewModel !== mi) {
    summary(mi);
    await Promise.all([worstPanel(mi), drawTreemap(mi, $('treemap'), roots(), META.treemapNodes, $('treemap-scale'), $('treemap-note')),
      drawEvaluation()]);
    // When two overviews overlap (a quick change of model), the one that ends last records its model.
    // eslint-disable-next-line require-atomic-updates
    state.overviewModel = mi;
  } else if (state.drawnDirection !== state.direction) {  // another direction: its treemap (links follow it when clicked)
    await drawTreemap(mi, $('treemap'), roots(), META.treemapNodes, $('treemap-scale'), $('treemap-note'));
  }
  // eslint-disable-next-line require-atomic-updates
  state.drawnDirection = state.direction;
  if (GROUPED) document.body.dataset.treemap = GROUPED.directions[state.direction].name;
  if (token !== state.token) return;
  if (state.tableModel !== mi) await buildTable(mi);
  if (token !== state.token) return;
  shown('overview:' + META.models[mi].name, META.models[mi].name);
}
