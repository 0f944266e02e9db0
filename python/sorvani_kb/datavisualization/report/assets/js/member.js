/* A member's view: its place in the hierarchy, its measures under every model, its figures, its
 * direct sub-members and a treemap of what is below it. With an evaluation, each model's rank for
 * the member. */
/* global META, GROUPED, PARENT, IDS, MEASURES, OVERLAY_LIMIT, CHILD_ROWS, $, state, clone, esc, fmt, fail, showOnly,
   shown, below, read, buildTree, childrenOf, ancestors, loadModel, loadMeasures, modelRow, measuresOf, memberFigures,
   drawTreemap, link, groupsOf, membersOf, parentsOf, groupName, levelName, nameOf, memberRanks, lastWindow */
/* exported drawn, showMember */

const drawn = {};   // kind -> the figure given to Plotly in the member view
const CAPTIONS = {
  forecast: 'Forecast',
  histogram: 'Residual distribution (forecast minus observed)',
  qq: 'Quantile-quantile plot of the residuals (observed minus forecast)',
  overlay: 'The member and its direct sub-members',
  sum: 'Sum check: the member against the sum of its direct sub-members',
};
const ORDER = ['forecast', 'histogram', 'qq', 'overlay', 'sum'];

// The kinds of figures of member g, in order: a grouped structure's overlay and sum check once per grouping.
function kindsOf(g) {
  if (!GROUPED) return ORDER;
  return ORDER.slice(0, 3).concat(...groupsOf(g).map((k) => ['overlay:' + groupName(k), 'sum:' + groupName(k)]));
}

function caption(kind) {
  const at = kind.indexOf(':');
  if (at < 0) return CAPTIONS[kind];
  const by = kind.slice(at + 1);
  return kind.startsWith('overlay') ? 'The member and its members by ' + by : 'Sum check: the member against the sum of its members by ' + by;
}

function purge(el) {
  el.querySelectorAll('.js-plotly-plot').forEach((d) => Plotly.purge(d));
  if (el._fullLayout) {
    Plotly.purge(el);
    el._sorvaniClick = false;
  }
  el.innerHTML = '';
}

function draw(el, kind, fig) {
  drawn[kind] = fig;
  const spec = clone(fig);
  return Plotly.newPlot(el, spec.data, spec.layout, {displaylogo: false});
}

const RANK_HELP = 'the model\'s rank among the models for this member by MASE' +
  (lastWindow() >= 0 ? ', the windows pooled' : '') + ': 1 the lowest, ties to the model given first';

async function measureTable(g) {
  const ranks = await memberRanks(g);
  const head = '<tr><th>model</th><th>band</th>' + MEASURES.map((m) => '<th title="' + esc(m.help) + '">' + esc(m.label) + '</th>').join('') +
    (ranks ? '<th title="' + esc(RANK_HELP) + '">rank</th>' : '') + '</tr>';
  const rankCell = (M) => (ranks ? '<td class="num" data-measure="rank">' + (ranks.get(M.name) ? ranks.get(M.name) : '—') + '</td>' : '');
  const shownWindow = META.models[state.mi].window;
  const rows = await Promise.all(META.models.map(async (M, mi) => {
    if (M.window !== shownWindow) return '';  // the other windows' entries of the models
    await loadModel(mi);
    const row = modelRow(mi, g);
    const v = await measuresOf(mi, row);
    const by = GROUPED && row >= 0 ? (await read(M.arrays.gapBy, row, 1))[0] : -1;
    const name = mi === state.mi ? '<strong>' + esc(M.name) + '</strong>' : link(g, mi, M.name);
    const cell = (m) => (row < 0 ? 'no forecast' : fmt(v[m.key], m.unit) + (m.key === 'gap' && by >= 0 ? ' (by ' + esc(groupName(by)) + ')' : ''));
    return '<tr><td>' + name + '</td><td>' + esc(M.level || (M.band ? 'yes' : 'none')) + '</td>' +
      MEASURES.map((m) => '<td class="num" data-measure="' + m.key + '">' + cell(m) + '</td>').join('') + rankCell(M) + '</tr>';
  }));
  return '<table class="measures"><thead>' + head + '</thead><tbody>' + rows.join('') + '</tbody></table>';
}

// The table of the sub-members `sub` of member g under `title`.
async function subTable(g, sub, title) {
  const mi = state.mi;
  await loadModel(mi);
  const cols = await loadMeasures(mi);
  const rows = sub.slice(0, CHILD_ROWS).map((c) => {
    const row = modelRow(mi, c);
    return '<tr><td>' + link(c, mi) + '</td><td class="num">' + below[c] + '</td>' +
      MEASURES.map((m, j) => '<td class="num">' + (row >= 0 ? fmt(cols[j][row], m.unit) : '—') + '</td>').join('') + '</tr>';
  }).join('');
  const more = sub.length > CHILD_ROWS ? '<p class="hint">The first ' + CHILD_ROWS + ' of ' + sub.length +
    ' sub-members; the table of the overview lists them all (search for ' + esc(IDS[g] + '/') + ').</p>' : '';
  return '<h3>' + esc(title) + ' (' + sub.length + ')</h3><table class="measures"><thead><tr><th>id</th><th>series below</th>' +
    MEASURES.map((m) => '<th title="' + esc(m.help) + '">' + esc(m.label) + '</th>').join('') + '</tr></thead><tbody>' + rows + '</tbody></table>' + more;
}

async function childrenTable(g) {
  if (GROUPED) {
    const groups = groupsOf(g);
    if (!groups.length) return '<p class="hint">No sub-members.</p>';
    const tables = await Promise.all(groups.map((k) => subTable(g, membersOf(k), 'Members by ' + groupName(k))));
    return tables.map((t, i) => '<div class="grouping" data-grouping="' + esc(groupName(groups[i])) + '">' + t + '</div>').join('');
  }
  const sub = childrenOf(g);
  if (!sub.length) return '<p class="hint">No sub-members.</p>';
  return subTable(g, sub, 'Direct sub-members');
}

// How member g of a grouped structure sits in it: its level, every parent, its groupings.
function groupedInfo(g, mi) {
  const parents = parentsOf(g).map(([p, k]) => link(p, mi) + ' (split by ' + esc(groupName(k)) + ')');
  const groups = groupsOf(g).map((k) => 'by ' + esc(groupName(k)) + ' into ' + membersOf(k).length);
  return 'Level <strong>' + esc(levelName(g)) + '</strong>. ' +
    (parents.length ? 'Member of ' + parents.join(' and ') + '. ' : 'A root of the hierarchy. ') +
    (groups.length ? 'Split ' + (groups.length > 1 ? groups.length + ' ways: ' : '') + groups.join(', ') + '; ' + below[g] + ' series below. ' : 'No sub-members. ');
}

// The crumbs, title and description of member g (with `sub` direct sub-members) under model M.
function memberHeader(g, mi, M, sub) {
  $('crumbs').innerHTML = link(null, mi, 'Overview') + ' / ' + ancestors(g).map((a) => link(a, mi, nameOf(a))).join(' / ');
  $('member-title').textContent = IDS[g];
  $('member-info').innerHTML = (GROUPED ? groupedInfo(g, mi) : (PARENT[g] >= 0 ? 'Sub-member of ' + link(PARENT[g], mi) + '. ' : 'A root of the hierarchy. ') +
    (sub ? sub + ' direct sub-member' + (sub > 1 ? 's' : '') + ', ' + below[g] + ' series below. ' : 'No sub-members. ')) +
    'Figures of model <strong>' + esc(M.name) + '</strong>' + (M.band ? ', band: ' + esc(M.level ? M.level + ' prediction interval' : 'the prediction interval') : ', no interval bounds') + '.' +
    (M.pooled ? ' The measures pool all ' + M.pooled + ' cross-validation windows; the figures are of the last (cutoff ' + esc(M.cutoff) + ').' : '') +
    (META.history ? ' The figures show the last ' + META.history + ' observations before the forecast; the measures use the whole history.' : '');
}

// Empties the member view of the member shown before.
function clearMember(box) {
  purge(box);
  Object.keys(drawn).forEach((k) => delete drawn[k]);
  $('member-measures').innerHTML = '';
  $('member-children').innerHTML = '';
  purge($('member-tree-plot'));
  $('member-tree').hidden = true;
  delete document.body.dataset.complete;
}

// The box of one kind of figure in `box`: its caption and either its plot (returned, to be
// drawn), the reason it is absent, or a button that draws an overlay of very many lines.
function figureSlot(box, figs, kind) {
  const div = document.createElement('div');
  div.className = 'figure';
  div.dataset.kind = kind;
  div.innerHTML = '<h3>' + esc(caption(kind)) + '</h3>';
  box.appendChild(div);
  if (!figs[kind]) {
    div.insertAdjacentHTML('beforeend', '<p class="hint">' + esc(figs.why[kind]) + '</p>');
    return null;
  }
  const plot = document.createElement('div');
  plot.className = 'plot';
  plot.id = 'plot-' + kind;
  div.appendChild(plot);
  if (kind.startsWith('overlay') && figs[kind].data.length > OVERLAY_LIMIT) {
    const button = document.createElement('button');
    button.textContent = 'Draw the ' + figs[kind].data.length + ' lines of this overlay';
    button.addEventListener('click', () => { button.remove(); draw(plot, kind, figs[kind]).catch(fail); });
    div.insertBefore(button, plot);
    return null;
  }
  return plot;
}

// The boxes of the figures of `figs`, in order: [plot, kind] of each figure to draw now.
function figureSlots(box, figs, g) {
  const slots = [];
  kindsOf(g).forEach((kind) => {
    if (!figs[kind] && !figs.why[kind]) return;
    const plot = figureSlot(box, figs, kind);
    if (plot) slots.push([plot, kind]);
  });
  return slots;
}

// Draws the figures of the slots; one figure plotly cannot draw does not keep the others from
// being drawn.
async function drawSlots(slots, figs) {
  const results = await Promise.allSettled(slots.map(([plot, kind]) => draw(plot, kind, figs[kind])));
  results.filter((r) => r.status === 'rejected').forEach((r) => fail(r.reason));
}

async function showMember(g, mi) {
  const token = ++state.token;
  buildTree();
  const M = META.models[mi];
  const figs = await memberFigures(mi, g);
  performance.mark('sorvani:figures');
  if (token !== state.token) return;
  showOnly('member');
  const sub = childrenOf(g).length;
  memberHeader(g, mi, M, sub);
  const box = $('figures');
  clearMember(box);
  const slots = figureSlots(box, figs, g);
  const tables = Promise.all([measureTable(g), childrenTable(g)]).then(([measures, children]) => {
    if (token !== state.token) return;
    $('member-measures').innerHTML = measures;
    $('member-children').innerHTML = children;
    document.body.dataset.complete = 'member:' + IDS[g] + ':' + M.name;
  });
  await drawSlots(slots, figs);
  performance.mark('sorvani:drawn');
  if (token !== state.token) return;
  shown('member:' + IDS[g] + ':' + M.name, M.name);
  await tables;
  if (sub && token === state.token) {
    $('member-tree').hidden = false;
    await drawTreemap(mi, $('member-tree-plot'), [g], Math.min(META.treemapNodes, 1000), $('member-tree-scale'), $('member-tree-note'));
    if (token === state.token) document.body.dataset.tree = IDS[g];
  }
}
