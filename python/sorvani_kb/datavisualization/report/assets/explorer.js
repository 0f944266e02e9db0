/* The report page: overview of the hierarchy and a view of each member.
 *
 * Data: #sorvani-meta holds the hierarchy, the models, the figure prototypes and the index of
 * the binary arrays; each array is one base64 script element (#sorvani-b<n>, little-endian) that
 * is decoded piecewise, as a member's view needs it. A member's figures are copies of the
 * prototypes (figures the module drew when the report was written) with the member's own title,
 * names and arrays put in: see memberFigures. */
(function () {
  'use strict';

  performance.mark('sorvani:start');
  const META = JSON.parse(document.getElementById('sorvani-meta').textContent);
  const PARENT = META.parent;
  const N = PARENT.length;
  const IDS = new Array(N);
  const idOf = (g) => {
    if (IDS[g] === undefined) IDS[g] = PARENT[g] >= 0 ? idOf(PARENT[g]) + '/' + META.names[g] : META.names[g];
    return IDS[g];
  };
  for (let g = 0; g < N; g++) idOf(g);
  performance.mark('sorvani:meta');
  const MEASURES = META.measures;
  const OVERLAY_LIMIT = 300;   // sub-members drawn in an overlay without asking
  const CHILD_ROWS = 200;      // sub-members listed in a member's view

  // ------------------------------------------------------------------------------------------
  // Binary arrays: chunks of byte-shuffled, deflated, base64 data (see Blobs in explorer.py)

  const SIZE = {f4: 4, f8: 8, i4: 4, u2: 2, u1: 1};
  const TYPED = {f4: Float32Array, f8: Float64Array, i4: Int32Array, u2: Uint16Array, u1: Uint8Array};
  const chunks = new Map();
  const wholes = new Map();
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

  async function inflate(b64) {
    const bin = atob(b64);
    const bytes = new Uint8Array(bin.length);
    for (let i = 0; i < bin.length; i++) bytes[i] = bin.charCodeAt(i);
    const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate'));
    return new Uint8Array(await new Response(stream).arrayBuffer());
  }

  // Chunk c of array `name`, as a typed array.
  function chunk(name, c) {
    const key = name + ':' + c;
    let p = chunks.get(key);
    if (p === undefined) {
      const a = META.arrays[name];
      p = (a.blocked ? arrived(c) : a.late ? arrived(META.blocks) : Promise.resolve()).then(() => inflate(document.getElementById('sorvani-b' + (a.el + c)).textContent)).then((raw) => {
        const n = a.bounds[c + 1] - a.bounds[c];
        const code = raw[0];
        const size = code === 0 ? SIZE[a.dtype] : code === 255 ? 8 : 4;
        const bytes = new Uint8Array(n * size);
        for (let k = 0; k < size; k++) {
          const at = littleEndian ? k : size - 1 - k;
          for (let i = 0; i < n; i++) bytes[i * size + at] = raw[1 + k * n + i];
        }
        if (code === 0) return new TYPED[a.dtype](bytes.buffer);
        if (code === 255) return new Float64Array(bytes.buffer);
        const ints = new Int32Array(bytes.buffer);
        const scale = Math.pow(10, code - 1);
        const out = new Float64Array(n);
        for (let i = 0; i < n; i++) out[i] = ints[i] === -2147483648 ? NaN : ints[i] / scale;
        return out;
      });
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

  function nums(values) {
    return values.map((v) => (Number.isFinite(v) ? v : null));
  }

  // ------------------------------------------------------------------------------------------
  // Hierarchy

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
      gids[mi] = name === undefined ? null : await readAll(name);   // null: every id, in order
    }
    return gids[mi] === null ? Array.from({length: N}, (_, g) => g) : gids[mi];
  }

  async function loadMeasures(mi) {
    if (measureRows[mi] === undefined) {
      const M = META.models[mi];
      const flat = await readAll(M.arrays.measures);
      const k = MEASURES.length;
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

  // ------------------------------------------------------------------------------------------
  // Figures

  function clone(value) {
    return JSON.parse(JSON.stringify(value));
  }

  async function observedOf(g) {
    const O = META.obs;
    const b = Math.floor(g / META.block);
    const counts = await read(O.arrays.count, b * META.block, g - b * META.block + 1);
    const n = counts.pop();
    const at = META.arrays[O.arrays.values].bounds[b] + counts.reduce((sum, v) => sum + v, 0);
    if (O.arrays.start !== undefined) {
      const [values, s] = await Promise.all([read(O.arrays.values, at, n), read(O.arrays.start, g, 1)]);
      return {x: O.axis.slice(s[0], s[0] + n), y: nums(values)};
    }
    const [values, pos] = await Promise.all([read(O.arrays.values, at, n), read(O.arrays.pos, at, n)]);
    return {x: pos.map((p) => O.axis[p]), y: nums(values)};
  }

  // matplotlib's interval widening for a range that is (nearly) a single value.
  function nonsingular(vmin, vmax, expander, tiny) {
    if (!Number.isFinite(vmin) || !Number.isFinite(vmax)) return [-expander, expander];
    if (vmax < vmin) [vmin, vmax] = [vmax, vmin];
    const maxabs = Math.max(Math.abs(vmin), Math.abs(vmax));
    if (maxabs < (1e6 / tiny) * 2.2250738585072014e-308) {
      vmin = -expander; vmax = expander;
    } else if (vmax - vmin <= maxabs * tiny) {
      if (vmax === 0 && vmin === 0) { vmin = -expander; vmax = expander; } else {
        vmin -= expander * Math.abs(vmin); vmax += expander * Math.abs(vmax);
      }
    }
    return [vmin, vmax];
  }

  // The view limits matplotlib's autoscaling gives to data spanning [d0, d1] on a linear axis
  // with the given margin.
  function autoscale(d0, d1, margin) {
    [d0, d1] = nonsingular(d0, d1, 0.05, 1e-15);
    let delta = (d1 - d0) * margin;
    if (!Number.isFinite(delta)) delta = 0;
    return nonsingular(d0 - delta, d1 + delta, 1e-12, 1e-13);
  }

  // The QQ plot of residuals r (observed - forecast) with sample standard deviation s: the sorted
  // residuals against the normal quantiles scaled by s, and the 45-degree line across the axes'
  // limits.
  function qqFigure(r, s) {
    const P = META.residualProto;
    const fig = clone(P.qq);
    const q = META.quantiles[String(r.length)];
    const xs = q.map((v) => v * s + 0);
    const ys = Float64Array.from(r).sort();
    const xl = autoscale(Math.min(...xs), Math.max(...xs), P.margins[0]);
    const yl = autoscale(ys[0], ys[ys.length - 1], P.margins[1]);
    const lo = Math.min(xl[0], yl[0]);
    const hi = Math.max(xl[1], yl[1]);
    fig.data[0].x = xs;
    fig.data[0].y = Array.from(ys);
    fig.data[1].x = [lo, hi];
    fig.data[1].y = [lo, hi];
    return fig;
  }

  // The figures of member g under model mi, keyed like the report's reference (forecast,
  // histogram, qq, overlay, sum), and under "why" the reason a kind is absent.
  async function memberFigures(mi, g) {
    const M = META.models[mi];
    await loadModel(mi);
    const row = modelRow(mi, g);
    const out = {why: {}};
    if (row < 0 || !M.proto) {
      out.why.forecast = 'Model ' + M.name + ' has no forecast for this member.';
      return out;
    }
    const P = M.proto;
    const F = M.width;
    const A = M.arrays;
    const sub = childrenOf(g).map((c) => [c, modelRow(mi, c)]).filter((p) => p[1] >= 0);
    const none = Promise.resolve(null);
    const aggRows = sub.length ? readAll(A.aggRows) : none;
    const [mean, lo, hi, obs, res, std, subMeans, sums] = await Promise.all([
      read(A.mean, row * F, F),
      M.band ? read(A.lo, row * F, F) : none,
      M.band ? read(A.hi, row * F, F) : none,
      META.obs ? observedOf(g) : none,
      META.obs ? read(A.res, row * F, F) : none,
      META.obs ? read(A.std, row, 1) : none,
      Promise.all(sub.map(([, r]) => read(A.mean, r * F, F))),
      aggRows.then((agg) => (agg ? read(A.sums, search(agg, row) * F, F) : null)),
    ]);
    const fc = clone(P.forecast);
    fc.layout.title.text = P.titlePrefix + IDS[g];
    fc.data[0].y = nums(mean);
    let t = 1;
    if (M.band) {
      fc.data[1].y = nums(lo);
      fc.data[2].y = nums(hi);
      t = 3;
    }
    if (obs) {
      fc.data[t].x = obs.x;
      fc.data[t].y = obs.y;
    }
    out.forecast = fc;
    if (META.obs) {
      const r = res.filter((v) => !Number.isNaN(v));
      if (r.length >= 1) {
        const hist = clone(META.residualProto.histogram);
        hist.data[0].x = r.map((v) => -v);
        out.histogram = hist;
      } else {
        out.why.histogram = 'No observed value falls on a forecast date of this member: no residuals to draw.';
      }
      if (r.length >= 2 && Number.isFinite(std[0])) out.qq = qqFigure(r, std[0]);
      else if (r.length >= 1) out.why.qq = r.length < 2 ? 'One residual only: no quantile-quantile plot.' : 'The residuals are all equal: no quantile-quantile plot.';
    } else {
      out.why.histogram = 'No observed values were given: no residual figures.';
    }
    if (sub.length) {
      const ov = clone(P.overlay);
      ov.data = [[g, mean]].concat(sub.map(([c], i) => [c, subMeans[i]])).map(([c, values]) => {
        const tr = clone(P.overlayTrace);
        tr.y = nums(values);
        tr.name = IDS[c];
        return tr;
      });
      out.overlay = ov;
      const sum = clone(P.sum);
      sum.data[0].y = nums(mean);
      sum.data[0].name = P.sumPrefixes[0] + IDS[g];
      sum.data[1].y = nums(sums);
      sum.data[1].name = P.sumPrefixes[1] + IDS[g];
      out.sum = sum;
    } else if (childrenOf(g).length) {
      out.why.overlay = 'Model ' + M.name + ' has no forecast for the sub-members of this member.';
    }
    return out;
  }

  // ------------------------------------------------------------------------------------------
  // Formatting and links

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

  function hashFor(g, mi) {
    let h = g === null ? '#' : '#node=' + encodeURIComponent(IDS[g]);
    if (mi > 0) h += (g === null ? 'model=' : '&model=') + encodeURIComponent(META.models[mi].name);
    return h;
  }

  function link(g, mi, text) {
    return '<a href="' + esc(hashFor(g, mi)) + '">' + esc(text === undefined ? IDS[g] : text) + '</a>';
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

  // ------------------------------------------------------------------------------------------
  // Views

  const $ = (id) => document.getElementById(id);
  const state = {mi: 0, g: null, token: 0, overviewModel: -1, colourBy: 'smape', table: null, tableModel: -1};
  const drawn = {};   // kind -> the figure given to Plotly in the member view

  function modelIndex(name) {
    const i = META.models.findIndex((m) => m.name === name);
    return i < 0 ? 0 : i;
  }

  function showOnly(id) {
    ['overview', 'member', 'missing'].forEach((s) => { $(s).hidden = s !== id; });
  }

  function purge(el) {
    el.querySelectorAll('.js-plotly-plot').forEach((d) => Plotly.purge(d));
    if (el._fullLayout) {
      Plotly.purge(el);
      el._sorvaniClick = false;
    }
    el.innerHTML = '';
  }

  async function measureTable(g) {
    const head = '<tr><th>model</th><th>band</th>' + MEASURES.map((m) => '<th title="' + esc(m.help) + '">' + esc(m.label) + '</th>').join('') + '</tr>';
    const rows = await Promise.all(META.models.map(async (M, mi) => {
      await loadModel(mi);
      const row = modelRow(mi, g);
      const v = await measuresOf(mi, row);
      const name = mi === state.mi ? '<strong>' + esc(M.name) + '</strong>' : link(g, mi, M.name);
      return '<tr><td>' + name + '</td><td>' + esc(M.level || (M.band ? 'yes' : 'none')) + '</td>' +
        MEASURES.map((m) => '<td class="num">' + (row >= 0 ? fmt(v[m.key], m.unit) : 'no forecast') + '</td>').join('') + '</tr>';
    }));
    return '<table class="measures"><thead>' + head + '</thead><tbody>' + rows.join('') + '</tbody></table>';
  }

  async function childrenTable(g) {
    const sub = childrenOf(g);
    if (!sub.length) return '<p class="hint">No sub-members.</p>';
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
    return '<h3>Direct sub-members (' + sub.length + ')</h3><table class="measures"><thead><tr><th>id</th><th>series below</th>' +
      MEASURES.map((m) => '<th title="' + esc(m.help) + '">' + esc(m.label) + '</th>').join('') + '</tr></thead><tbody>' + rows + '</tbody></table>' + more;
  }

  const CAPTIONS = {
    forecast: 'Forecast',
    histogram: 'Residual distribution (forecast minus observed)',
    qq: 'Quantile-quantile plot of the residuals (observed minus forecast)',
    overlay: 'The member and its direct sub-members',
    sum: 'Sum check: the member against the sum of its direct sub-members',
  };
  const ORDER = ['forecast', 'histogram', 'qq', 'overlay', 'sum'];

  function shown(what, model) {
    document.body.dataset.shown = what;
    window.__sorvaniShown = performance.now();
    performance.mark('sorvani:shown');
    document.dispatchEvent(new CustomEvent('sorvani:shown', {detail: {view: what, model}}));
  }

  async function showMember(g, mi) {
    const token = ++state.token;
    buildTree();
    const M = META.models[mi];
    const figs = await memberFigures(mi, g);
    performance.mark('sorvani:figures');
    if (token !== state.token) return;
    showOnly('member');
    $('crumbs').innerHTML = link(null, mi, 'Overview') + ' / ' + ancestors(g).map((a) => link(a, mi, META.names[a])).join(' / ');
    $('member-title').textContent = IDS[g];
    const sub = childrenOf(g).length;
    $('member-info').innerHTML = (PARENT[g] >= 0 ? 'Sub-member of ' + link(PARENT[g], mi) + '. ' : 'A root of the hierarchy. ') +
      (sub ? sub + ' direct sub-member' + (sub > 1 ? 's' : '') + ', ' + below[g] + ' series below. ' : 'No sub-members. ') +
      'Figures of model <strong>' + esc(M.name) + '</strong>' + (M.band ? ', band: ' + esc(M.level ? M.level + ' prediction interval' : 'the prediction interval') : ', no interval bounds') + '.';
    const box = $('figures');
    purge(box);
    Object.keys(drawn).forEach((k) => delete drawn[k]);
    $('member-measures').innerHTML = '';
    $('member-children').innerHTML = '';
    purge($('member-tree-plot'));
    $('member-tree').hidden = true;
    delete document.body.dataset.complete;
    const slots = [];
    ORDER.forEach((kind) => {
      const why = figs.why[kind];
      if (!figs[kind] && !why) return;
      const div = document.createElement('div');
      div.className = 'figure';
      div.dataset.kind = kind;
      div.innerHTML = '<h3>' + esc(CAPTIONS[kind]) + '</h3>';
      box.appendChild(div);
      if (!figs[kind]) {
        div.insertAdjacentHTML('beforeend', '<p class="hint">' + esc(why) + '</p>');
        return;
      }
      const plot = document.createElement('div');
      plot.className = 'plot';
      plot.id = 'plot-' + kind;
      div.appendChild(plot);
      if (kind === 'overlay' && figs.overlay.data.length > OVERLAY_LIMIT) {
        const button = document.createElement('button');
        button.textContent = 'Draw the ' + figs.overlay.data.length + ' lines of this overlay';
        button.addEventListener('click', () => { button.remove(); draw(plot, kind, figs[kind]).catch(fail); });
        div.insertBefore(button, plot);
        return;
      }
      slots.push([plot, kind]);
    });
    const tables = Promise.all([measureTable(g), childrenTable(g)]).then(([measures, children]) => {
      if (token !== state.token) return;
      $('member-measures').innerHTML = measures;
      $('member-children').innerHTML = children;
      document.body.dataset.complete = 'member:' + IDS[g] + ':' + M.name;
    });
    // One figure plotly cannot draw does not keep the others from being drawn.
    const results = await Promise.allSettled(slots.map(([plot, kind]) => draw(plot, kind, figs[kind])));
    results.filter((r) => r.status === 'rejected').forEach((r) => fail(r.reason));
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

  function draw(el, kind, fig) {
    drawn[kind] = fig;
    const spec = clone(fig);
    return Plotly.newPlot(el, spec.data, spec.layout, {displaylogo: false});
  }

  // ------------------------------------------------------------------------------------------
  // Overview

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

  // A treemap of the members below `top` (global indices), whole levels from there down while
  // `budget` rectangles allow, coloured by the chosen measure of model mi; a click opens a member.
  async function drawTreemap(mi, el, top, budget, scaleEl, noteEl) {
    buildTree();
    const j = MEASURES.findIndex((m) => m.key === state.colourBy);
    const measure = MEASURES[j];
    const gid = await loadModel(mi);
    const values = (await loadMeasures(mi))[j];
    const byG = new Float64Array(N).fill(NaN);
    gid.forEach((g, r) => { byG[g] = values[r]; });
    let level = top;
    const shownNodes = [];
    while (level.length && shownNodes.length + level.length <= budget) {
      shownNodes.push(...level);
      const next = [];
      level.forEach((g) => { for (let i = kids.start[g]; i < kids.start[g + 1]; i++) next.push(kids.list[i]); });
      level = next;
    }
    if (!shownNodes.length) shownNodes.push(...top.slice(0, budget));
    const scale = colourScale(shownNodes.map((g) => byG[g]), measure.worst);
    const many = top.length > 1;
    // Labels on the top levels only: plotly measures every label it draws, which at thousands of
    // rectangles takes seconds; the others show theirs on hover.
    const base = Math.min(...top.map((g) => depthOf[g]));
    const deepest = Math.max(...shownNodes.map((g) => depthOf[g])) - base;
    const labelled = deepest <= 1 ? Infinity : shownNodes.length > 300 ? 1 : 2;
    const tm = {type: 'treemap', ids: [], labels: [], parents: [], values: [], text: [], texttemplate: [], marker: {colors: []},
      branchvalues: 'total', hovertemplate: '%{text}<extra></extra>', sort: false};
    if (many) {
      tm.ids.push('all'); tm.labels.push('all roots'); tm.parents.push(''); tm.text.push('every root'); tm.texttemplate.push('%{label}');
      tm.values.push(top.reduce((sum, g) => sum + below[g], 0)); tm.marker.colors.push('#eeeeee');
    }
    const inTree = new Set(shownNodes);
    const tops = new Set(top);
    shownNodes.forEach((g) => {
      tm.ids.push('g' + g);
      tm.labels.push(tops.has(g) ? IDS[g] : META.names[g]);
      tm.parents.push(PARENT[g] >= 0 && inTree.has(PARENT[g]) ? 'g' + PARENT[g] : (many ? 'all' : ''));
      tm.values.push(below[g]);
      tm.text.push(esc(IDS[g]) + '<br>' + esc(measure.label) + ': ' + fmt(byG[g], measure.unit) + '<br>' + below[g] + ' series');
      tm.marker.colors.push(scale.colour(byG[g]));
      tm.texttemplate.push(depthOf[g] - base <= labelled ? '%{label}' : '');
    });
    const layout = {margin: {t: 10, l: 10, r: 10, b: 10}, height: 560};
    await Plotly.react(el, [tm], layout, {displaylogo: false});
    if (!el._sorvaniClick) {
      el._sorvaniClick = true;
      el.on('plotly_treemapclick', (ev) => {
        const id = ev.points && ev.points[0] && ev.points[0].id;
        if (id && id[0] === 'g') location.hash = hashFor(Number(id.slice(1)), state.mi);
        return false;
      });
    }
    const lo = fmt(scale.lo, measure.unit);
    const hi = fmt(scale.hi, measure.unit);
    const good = measure.worst === 'low' ? hi : lo;
    const bad = measure.worst === 'low' ? lo : hi;
    const absolute = (t) => (measure.worst === 'abs' ? '|' + t + '|' : t);
    scaleEl.innerHTML = esc(measure.label) + ': <span class="swatch good"></span> ' + esc(absolute(good)) +
      ' <span class="ramp"></span> ' + esc(absolute(bad)) + ' <span class="swatch bad"></span> <span class="swatch none"></span> no value';
    const total = top.reduce((sum, g) => sum + subtree[g], 0);
    noteEl.textContent = total > shownNodes.length ? 'Showing ' + shownNodes.length + ' of ' + total + ' members (the levels that fit ' +
      budget + ' rectangles); the deeper ones open from their parent\'s view or from the table.' : '';
  }

  async function worstPanel(mi) {
    const M = META.models[mi];
    await loadModel(mi);
    const cols = await loadMeasures(mi);
    $('worst').innerHTML = MEASURES.map((m, j) => {
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
      ['members', N], ['roots', roots().length], ['levels', deepest + 1], ['models', META.models.length],
      ['forecast dates', M.width + (M.range ? ' (' + M.range[0] + ' to ' + M.range[1] + ')' : '')],
      ['band', M.band ? (M.level || 'yes') : 'none'],
    ];
    $('summary').innerHTML = cards.map(([k, v]) => '<div class="card small"><div class="big">' + esc(v) + '</div>' + esc(k) + '</div>').join('');
  }

  let tableModule = null;

  function tableLibrary() {
    if (tableModule === null) tableModule = arrived(META.blocks).then(() => {
      const text = atob(document.getElementById('sorvani-datatables').textContent);
      const bytes = new Uint8Array(text.length);
      for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
      return import(URL.createObjectURL(new Blob([bytes], {type: 'text/javascript'})));
    });
    return tableModule;
  }

  async function buildTable(mi) {
    const [lib, gid, cols] = await Promise.all([tableLibrary(), loadModel(mi), loadMeasures(mi)]);
    const DataTable = lib.default;
    const data = gid.map((g, r) => [g, depthOf[g], kids.start[g + 1] - kids.start[g]].concat(cols.map((c) => c[r])));
    const box = $('table-box');
    if (state.table) { state.table.destroy(); state.table = null; }
    box.innerHTML = '<table id="members" class="display compact" style="width:100%"></table>';
    const numeric = (m) => ({
      title: esc(m.label), className: 'num', type: 'num', searchable: false,
      render: (v, type) => {
        if (type === 'display') return fmt(v, m.unit);
        if (Number.isFinite(v)) return m.worst === 'abs' ? Math.abs(v) : v;
        return m.worst === 'low' ? Infinity : -Infinity;  // no value: last when sorted worst first
      },
    });
    const columns = [
      {title: 'id', render: (g, type) => (type === 'display' ? link(g, state.mi) : IDS[g])},
      {title: 'level', className: 'num', type: 'num', searchable: false},
      {title: 'sub-members', className: 'num', type: 'num', searchable: false},
    ].concat(MEASURES.map(numeric));
    state.table = new DataTable('#members', {
      data, columns, deferRender: true, pageLength: 25, order: [[0, 'asc']], autoWidth: false,
      language: {search: 'Search ids:'},
      headerCallback: (thead) => {
        thead.querySelectorAll('th').forEach((th, i) => { if (i >= 3) th.title = MEASURES[i - 3].help; });
      },
    });
    state.tableModel = mi;
    document.body.dataset.table = META.models[mi].name;
  }

  // Sorts the table by a measure, worst first, and scrolls to it.
  function sortWorst(key) {
    const j = MEASURES.findIndex((m) => m.key === key);
    if (!state.table || j < 0) return;
    state.table.order([3 + j, MEASURES[j].worst === 'low' ? 'asc' : 'desc']).draw();
    $('table-box').scrollIntoView();
  }

  async function showOverview(mi) {
    const token = ++state.token;
    showOnly('overview');
    buildTree();
    if (state.overviewModel !== mi) {
      summary(mi);
      await Promise.all([worstPanel(mi), drawTreemap(mi, $('treemap'), roots(), META.treemapNodes, $('treemap-scale'), $('treemap-note'))]);
      state.overviewModel = mi;
    }
    if (token !== state.token) return;
    if (state.tableModel !== mi) await buildTable(mi);
    if (token !== state.token) return;
    shown('overview:' + META.models[mi].name, META.models[mi].name);
  }

  // ------------------------------------------------------------------------------------------
  // Routing

  function route() {
    const h = parseHash();
    const mi = h.model !== undefined ? modelIndex(h.model) : 0;
    state.mi = mi;
    $('model').value = String(mi);
    const M = META.models[mi];
    $('level').textContent = M ? (M.band ? 'band: ' + (M.level ? M.level + ' prediction interval' : 'prediction interval') : 'no interval bounds') : '';
    if (h.node !== undefined) {
      const g = lookup(h.node);
      if (g === undefined) {
        state.token++;
        showOnly('missing');
        $('missing').querySelector('p').innerHTML = 'The report holds no member with the id <code>' + esc(h.node) + '</code>. ' + link(null, mi, 'Back to the overview') + '.';
        shown('missing', null);
        return Promise.resolve();
      }
      state.g = g;
      document.title = IDS[g] + ' · ' + META.title;
      return showMember(g, mi);
    }
    state.g = null;
    document.title = META.title;
    return showOverview(mi);
  }

  function fail(e) {
    console.error(e);
  }

  function setup() {
    $('source').textContent = 'Forecasts of ' + N + ' series from ' + META.prediction +
      (META.observed ? ', observed values from ' + META.observed : ', no observed values') + '.';
    const select = $('model');
    select.innerHTML = META.models.map((M, i) => '<option value="' + i + '">' + esc(M.name) + '</option>').join('');
    select.addEventListener('change', () => { location.hash = hashFor(state.g, Number(select.value)); });
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
    if (META.notes.length) {
      const notes = $('notes');
      notes.hidden = false;
      notes.querySelector('summary').textContent = META.notes.length + ' note' + (META.notes.length > 1 ? 's' : '') + ' on the input';
      notes.querySelector('ul').innerHTML = META.notes.map((n) => '<li>' + esc(n) + '</li>').join('');
    }
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
    window.addEventListener('hashchange', () => { route().catch(fail); });
  }

  window.sorvani = {
    meta: META,
    ids: IDS,
    // The figures the page draws for `id` under the model named `model`, as given to Plotly.
    figures: async (model, id) => {
      const g = lookup(id);
      if (g === undefined) return null;
      const f = await memberFigures(modelIndex(model), g);
      delete f.why;
      return f;
    },
    drawn: () => drawn,
    sortWorst,
    table: () => state.table,
  };

  setup();
  window.sorvani.ready = route().catch(fail);
})();
