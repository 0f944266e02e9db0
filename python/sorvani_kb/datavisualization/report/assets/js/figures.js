/* A member's figures: copies of the prototypes the module drew (META.models[mi].proto and
 * META.residualProto) with the member's title, trace names and numbers put in. */
/* global META, GROUPED, IDS, clone, nums, read, readAll, childrenOf, loadModel, modelRow, search, groupsOf, membersOf,
   groupName */
/* exported memberFigures */

async function observedOf(g) {
  const O = META.obs;
  const b = Math.floor(g / META.block);
  const counts = await read(O.arrays.count, b * META.block, g - b * META.block + 1);
  const n = counts.pop();
  const at = META.arrays[O.arrays.values].bounds[b] + counts.reduce((sum, v) => sum + v, 0);
  if (O.arrays.start !== undefined) {
    const [values, s] = await Promise.all([read(O.arrays.values, at, n), read(O.arrays.start, g, 1)]);
    return {x: O.axis.slice(s[0], s[0] + n), y: nums(values), p: Array.from({length: n}, (_, k) => s[0] + k)};
  }
  const [values, pos] = await Promise.all([read(O.arrays.values, at, n), read(O.arrays.pos, at, n)]);
  return {x: pos.map((p) => O.axis[p]), y: nums(values), p: Array.from(pos)};
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

// The numbers the figures of member g (row `row` of model M) show, with those of its
// sub-members `sub` ([member, row] pairs); null for what the model or the report lacks.
async function memberNumbers(M, g, row, sub) {
  const F = M.width;
  const A = M.arrays;
  const none = Promise.resolve(null);
  const aggRows = sub.length ? readAll(A.aggRows) : none;
  const [mean, lo, hi, obs, res, std, subMeans, sums] = await Promise.all([
    read(A.mean, row * F, F),
    M.band ? read(A.lo, row * F, F) : none,
    M.band ? read(A.hi, row * F, F) : none,
    META.obs ? observedOf(g) : none,
    META.obs && A.res !== undefined ? read(A.res, row * F, F) : none,
    META.obs ? read(A.std, row, 1) : none,
    Promise.all(sub.map(([, r]) => read(A.mean, r * F, F))),
    aggRows.then((agg) => (agg ? read(A.sums, search(agg, row) * F, F) : null)),
  ]);
  return {mean, lo, hi, obs, res: res || (obs && residualsOf(M, mean, obs)), std, subMeans, sums};
}

// The residuals of a model whose page derives them (M.fcObs: the forecast dates' positions on
// the observed axis): each date's observed value less the forecast, NaN where either is missing;
// the report stores them instead where this would not give its numbers exactly.
function residualsOf(M, mean, obs) {
  if (!M.fcObs) return null;
  const at = new Map(obs.p.map((p, k) => [p, obs.y[k]]));
  return M.fcObs.map((p, j) => {
    const y = p >= 0 ? at.get(p) : undefined;
    return y === undefined || y === null || !Number.isFinite(mean[j]) ? NaN : y - mean[j];
  });
}

function forecastFigure(M, g, v) {
  const P = M.proto;
  const fc = clone(P.forecast);
  fc.layout.title.text = P.titlePrefix + IDS[g];
  fc.data[0].y = nums(v.mean);
  let t = 1;
  if (M.band) {
    fc.data[1].y = nums(v.lo);
    fc.data[2].y = nums(v.hi);
    t = 3;
  }
  if (v.obs) {
    // A cross-validation window shows the history up to its cutoff and its own actuals.
    const n = M.obsEnd === undefined ? v.obs.x.length : v.obs.p.filter((p) => p < M.obsEnd).length;
    fc.data[t].x = v.obs.x.slice(0, n);
    fc.data[t].y = v.obs.y.slice(0, n);
  }
  return fc;
}

// The residual histogram and QQ plot into `out`, or why they are absent.
function residualFigures(out, v) {
  if (!META.obs) {
    out.why.histogram = 'No observed values were given: no residual figures.';
    return;
  }
  const r = v.res.filter((x) => !Number.isNaN(x));
  if (r.length >= 1) {
    const hist = clone(META.residualProto.histogram);
    hist.data[0].x = r.map((x) => -x);
    out.histogram = hist;
  } else {
    out.why.histogram = 'No observed value falls on a forecast date of this member: no residuals to draw.';
  }
  if (r.length >= 2 && Number.isFinite(v.std[0])) out.qq = qqFigure(r, v.std[0]);
  else if (r.length >= 1) out.why.qq = r.length < 2 ? 'One residual only: no quantile-quantile plot.' : 'The residuals are all equal: no quantile-quantile plot.';
}

// The overlay of member g and its sub-members `sub` and the sum check into `out`, under the
// kinds "overlay" and "sum" followed by `suffix` (":<grouping>" in a grouped structure).
function hierarchyFigures(out, M, g, sub, v, suffix) {
  const P = M.proto;
  const ov = clone(P.overlay);
  ov.data = [[g, v.mean]].concat(sub.map(([c], i) => [c, v.subMeans[i]])).map(([c, values]) => {
    const tr = clone(P.overlayTrace);
    tr.y = nums(values);
    tr.name = IDS[c];
    return tr;
  });
  out['overlay' + suffix] = ov;
  const sum = clone(P.sum);
  sum.data[0].y = nums(v.mean);
  sum.data[0].name = P.sumPrefixes[0] + IDS[g];
  sum.data[1].y = nums(v.sums);
  sum.data[1].name = P.sumPrefixes[1] + IDS[g];
  out['sum' + suffix] = sum;
}

// The forecasts of the members `sub` ([member, row] pairs) of grouping k and their sum.
async function groupingNumbers(M, k, sub) {
  const F = M.width;
  const A = M.arrays;
  const [subMeans, sums] = await Promise.all([
    Promise.all(sub.map(([, r]) => read(A.mean, r * F, F))),
    readAll(A.groups).then((groups) => read(A.sums, search(groups, k) * F, F)),
  ]);
  return {subMeans, sums};
}

// The overlay and sum check of member g for each of its groupings into `out`.
async function groupingFigures(out, mi, g, mean) {
  const M = META.models[mi];
  await Promise.all(groupsOf(g).map(async (k) => {
    const name = ':' + groupName(k);
    const sub = membersOf(k).map((c) => [c, modelRow(mi, c)]).filter((p) => p[1] >= 0);
    if (!sub.length) {
      out.why['overlay' + name] = 'Model ' + M.name + ' has no forecast for the members of this member by ' + groupName(k) + '.';
      return;
    }
    const v = await groupingNumbers(M, k, sub);
    hierarchyFigures(out, M, g, sub, {mean, subMeans: v.subMeans, sums: v.sums}, name);
  }));
}

// The figures of member g under model mi, keyed like the report's reference (forecast,
// histogram, qq, overlay, sum; in a grouped structure overlay:<grouping>, sum:<grouping> for
// each of its groupings), and under "why" the reason a kind is absent.
async function memberFigures(mi, g) {
  const M = META.models[mi];
  await loadModel(mi);
  const row = modelRow(mi, g);
  const out = {why: {}};
  if (row < 0 || !M.proto) {
    out.why.forecast = 'Model ' + M.name + ' has no forecast for this member.';
    return out;
  }
  const sub = GROUPED ? [] : childrenOf(g).map((c) => [c, modelRow(mi, c)]).filter((p) => p[1] >= 0);
  const v = await memberNumbers(M, g, row, sub);
  out.forecast = forecastFigure(M, g, v);
  residualFigures(out, v);
  if (GROUPED) await groupingFigures(out, mi, g, v.mean);
  else if (sub.length) hierarchyFigures(out, M, g, sub, v, '');
  else if (childrenOf(g).length) out.why.overlay = 'Model ' + M.name + ' has no forecast for the sub-members of this member.';
  return out;
}
