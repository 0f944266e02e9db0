/* The overview's evaluation of every model, from META.evaluation (absent: the page shows none):
 * the mean of a chosen measure per hierarchy level and model (relative to the benchmark for the
 * losses when one was given), how many members each model is best for, and for a chosen level
 * the error by steps ahead and the empirical against the nominal coverage; and each model's rank
 * for a member, which its view shows. */
/* global META, $, esc, fmt, read, lastWindow */
/* exported drawEvaluation, memberRanks */

const EVALUATION = META.evaluation || null;
let evaluationDrawn = false;

// A level x model table; cell(value) gives each value's <td>.
function evaluationTable(rows, cell) {
  const head = '<tr><th>level</th>' + EVALUATION.models.map((m) => '<th>' + esc(m) + '</th>').join('') + '</tr>';
  const body = EVALUATION.levels.map((level, i) => '<tr><th>' + esc(level) + '</th>' + rows[i].map(cell).join('') + '</tr>');
  return '<table class="measures evaluation"><thead>' + head + '</thead><tbody>' + body.join('') + '</tbody></table>';
}

function valueCell(v, unit) {
  const text = fmt(v === null ? NaN : v, unit);
  return '<td class="num" data-value="' + (v === null ? '' : String(v)) + '">' + esc(text) + '</td>';
}

function showSummary(k) {
  const s = EVALUATION.summaries[k];
  const box = $('evaluation-summary');
  box.innerHTML = evaluationTable(s.values, (v) => valueCell(v, s.unit));
  box.dataset.measure = s.key;
  const relative = s.relative ? ' Relative to the benchmark ' + EVALUATION.benchmark + ': each mean divided by the ' +
    'benchmark\'s over the same members (1: as good, below 1: better).' : '';
  const none = s.values.every((row) => row.every((v) => v === null)) ? ' No member has a value of it.' : '';
  $('evaluation-help').textContent = s.label + ': ' + s.help + relative + none;
}

// The titles sit at the left, clear of plotly's toolbar at the top right.
const FIGURE_LAYOUT = {height: 380, margin: {t: 60, l: 60, r: 10, b: 50}, legend: {orientation: 'h', y: -0.2}};
const TITLE = {x: 0, xref: 'paper', xanchor: 'left', y: 1, yref: 'paper', yanchor: 'bottom', pad: {b: 12}};

function horizonFigure(li) {
  const level = EVALUATION.horizon[li];
  const data = level.traces.map((t) => ({type: 'scatter', mode: 'lines+markers', name: t.model, x: t.step, y: t.value}));
  const measure = level.measure === 'mase' ? '|error| / MASE scale' : 'MAE';
  const layout = Object.assign({}, FIGURE_LAYOUT, {
    title: Object.assign({text: 'Error by steps ahead: ' + esc(EVALUATION.levels[li])}, TITLE),
    xaxis: {title: {text: 'steps ahead'}, dtick: 1}, yaxis: {title: {text: measure}, rangemode: 'tozero'},
  });
  return Plotly.react($('evaluation-horizon'), data, layout, {displaylogo: false});
}

function calibrationFigure(li) {
  const traces = EVALUATION.calibration[li];
  const el = $('evaluation-calibration');
  el.hidden = !traces.length;
  if (!traces.length) return Plotly.purge(el);
  const data = traces.map((t) => ({type: 'scatter', mode: 'lines+markers', name: t.model, x: t.nominal, y: t.coverage}));
  data.push({type: 'scatter', mode: 'lines', name: 'nominal', x: [0, 100], y: [0, 100], hoverinfo: 'skip',
    line: {dash: 'dot', color: '#888888'}});
  const low = Math.max(0, Math.min(...traces.flatMap((t) => t.nominal.concat(t.coverage).filter((v) => v !== null))) - 5);
  const layout = Object.assign({}, FIGURE_LAYOUT, {
    title: Object.assign({text: 'Calibration: ' + esc(EVALUATION.levels[li])}, TITLE),
    xaxis: {title: {text: 'nominal coverage (%)'}, range: [low, 100]},
    yaxis: {title: {text: 'empirical coverage (%)'}, range: [low, 100]},
  });
  return Plotly.react(el, data, layout, {displaylogo: false});
}

async function showLevel(li) {
  await Promise.all([horizonFigure(li), calibrationFigure(li)]);
  $('evaluation').dataset.level = EVALUATION.levels[li];
}

function evaluationSelects() {
  const measure = $('evaluation-measure');
  measure.innerHTML = EVALUATION.summaries.map((s, k) => '<option value="' + k + '" title="' + esc(s.help) + '">' +
    esc(s.label) + (s.relative ? ' (relative)' : '') + '</option>').join('');
  measure.addEventListener('change', () => showSummary(Number(measure.value)));
  const level = $('evaluation-level');
  level.innerHTML = EVALUATION.levels.map((name, i) => '<option value="' + i + '">' + esc(name) + '</option>').join('');
  level.value = String(EVALUATION.levels.length - 1);
  level.addEventListener('change', () => showLevel(Number(level.value)));
}

// Draws the evaluation once (it is of every model, whichever the page shows).
async function drawEvaluation() {
  if (!EVALUATION || evaluationDrawn) return;
  evaluationDrawn = true;
  $('evaluation').hidden = false;
  $('evaluation-note').textContent = 'The mean over each level\'s members (Overall: every member)' +
    (lastWindow() >= 0 ? ', cross-validation windows pooled.' : '.') +
    (EVALUATION.benchmark ? ' The losses are relative to the benchmark ' + EVALUATION.benchmark + '.' : '');
  evaluationSelects();
  // MASE first, unless no member has one (a history shorter than a season): the first that has.
  const first = Math.max(0, EVALUATION.summaries.findIndex((m) => m.values.some((row) => row.some((v) => v !== null))));
  $('evaluation-measure').value = String(first);
  showSummary(first);
  $('evaluation-best').innerHTML = evaluationTable(EVALUATION.best, (v) => valueCell(v, 'count'));
  await showLevel(EVALUATION.levels.length - 1);
}

// Per model of the evaluation, its rank for member g by MASE (1 the lowest; 0: none), or null
// when the page holds no ranks.
async function memberRanks(g) {
  if (!EVALUATION || !EVALUATION.rank) return null;
  const k = EVALUATION.models.length;
  const ranks = await read(EVALUATION.rank, g * k, k);
  return new Map(EVALUATION.models.map((name, i) => [name, ranks[i]]));
}
