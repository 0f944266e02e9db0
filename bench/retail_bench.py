"""The retail cases of the report benchmark (bench/report_bench.py --case retail,retail-cv): the
12-level grouped structure of bench/retail.py, daily, Parquet; pyarrow's read of the files as the
yardstick, the report command, Chromium on the page (a deep link to an item x store series, and
four overview controls), and utilsforecast's `evaluate` on the same files as the peer."""

from __future__ import annotations

import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

import retail

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
ITEMS = (305, 3049)  # a tenth of the size, the full size
SMALL_ITEMS = 7
PEER_PYTHON = os.path.join(ROOT, ".venv", "peer", "bin", "python")
FIGURE_MODEL, FIGURE_LEVEL = "AutoETS", 95
TARGETS = {"ratio": 3.0, "memory_mib": 3072, "file_mib": 64, "browser": 3.0, "control_ms": 300}
CONTROLS = ("measure", "direction", "sort", "search")


def note(text):
    print(text, file=sys.stderr, flush=True)


def pyarrow_read(*paths):
    import pyarrow as pa
    import pyarrow.parquet as pq

    start = time.perf_counter()
    for p in paths:
        pq.read_table(p)
    seconds = time.perf_counter() - start
    pa.default_memory_pool().release_unused()  # the report runs next: this process keeps no gigabytes
    return seconds


def _memory_mib(pid):
    """(resident, peak resident) MiB of a running process, 0 when it is gone."""
    found = {}
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as fh:
            for line in fh:
                if line.startswith(("VmRSS:", "VmHWM:")):
                    found[line[:5]] = int(line.split()[1]) / 1024
    except OSError:
        pass
    return found.get("VmRSS", 0.0), found.get("VmHWM", 0.0)


def run_child(cmd, cap_mib, what):
    """Runs `cmd` in its own session: (wall seconds, peak RSS in MiB, stdout). The peak is the
    process' own high-water mark (VmHWM), read every 20 ms while it runs: wait4's maximum would
    count this process' memory at the fork. The whole session is killed, and None returned for
    the time, when its resident memory passes `cap_mib` (the machine is shared: a run that would
    take all of it is stopped)."""
    start = time.perf_counter()
    out_file, err_file = tempfile.TemporaryFile(), tempfile.TemporaryFile()  # no pipe to fill while it runs
    proc = subprocess.Popen(cmd, stdout=out_file, stderr=err_file, start_new_session=True)
    capped, peak = 0.0, 0.0
    while True:
        pid, status, _ = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            break
        rss, hwm = _memory_mib(proc.pid)
        peak = max(peak, hwm)
        if cap_mib and rss > cap_mib:
            capped = rss
            os.killpg(proc.pid, signal.SIGKILL)
        time.sleep(0.02)
    elapsed = time.perf_counter() - start
    out_file.seek(0)
    err_file.seek(0)
    out, err = out_file.read().decode(errors="replace"), err_file.read().decode(errors="replace")
    out_file.close()
    err_file.close()
    if capped:
        note(f"{what}: stopped at {capped:.0f} MiB resident (the cap is {cap_mib} MiB)")
        return None, peak, out
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise SystemExit(f"{what} failed ({code}):\n{err[-3000:]}")
    return elapsed, peak, out


def write_report(pred, obs, out, cap_mib):
    cmd = [sys.executable, "-m", "sorvani_kb.datavisualization", pred, "--observed", obs, "-o", out, "-q"]
    seconds, peak, _ = run_child(cmd, cap_mib, "the report command")
    return seconds, peak


# utilsforecast's evaluate on the same files, reading included: MAE, MASE, RMSSE (season 7) and
# the coverage of the 80 and 95 % bands of every model, by series (and window).
PEER = """
import sys, time
start = time.perf_counter()
from functools import partial
import polars as pl
from utilsforecast.evaluation import evaluate
from utilsforecast.losses import coverage, mae, mase, rmsse
pred = pl.read_parquet(sys.argv[1])
obs = pl.read_parquet(sys.argv[2])
if "cutoff" in pred.columns:
    df = pred if "y" in pred.columns else pred.join(obs, on=["unique_id", "ds"], how="left")
    train = obs.filter(pl.col("ds") <= pred["cutoff"].max())
else:
    first = pred["ds"].min()
    df = pred.join(obs.filter(pl.col("ds") >= first), on=["unique_id", "ds"], how="left")
    train = obs.filter(pl.col("ds") < first)
models = [c for c in pred.columns if c not in ("unique_id", "ds", "cutoff", "y") and "-lo-" not in c and "-hi-" not in c]
metrics = [mae, partial(mase, seasonality=7), partial(rmsse, seasonality=7), coverage]
scores = evaluate(df, metrics=metrics, models=models, train_df=train, level=[80, 95])
print(scores.height, time.perf_counter() - start)
"""


def peer(pred, obs, python, cap_mib):
    """utilsforecast's evaluate in a child process of `python`: (wall s, peak MiB, score rows, its
    own time from its start to the scores)."""
    seconds, peak, out = run_child([python, "-c", PEER, pred, obs], cap_mib, "utilsforecast's evaluate")
    rows, inner = out.split()[-2:] if seconds is not None else ("0", "nan")
    return seconds, peak, int(rows), float(inner)


def one_figure_page(pred, obs, ident, out):
    """The module's forecast figure of `ident` (AutoETS, 95 % band, the last window), plotly.js inline."""
    import pandas as pd
    import plotly.io as pio
    import pyarrow.parquet as pq

    from sorvani_kb.datavisualization.report.page import prototypes

    f = pq.read_table(pred, filters=[("unique_id", "==", ident)]).to_pandas()
    if "cutoff" in f:
        f = f[f["cutoff"] == f["cutoff"].max()]
    o = pq.read_table(obs, filters=[("unique_id", "==", ident)]).to_pandas()
    m, lv = FIGURE_MODEL, FIGURE_LEVEL
    own = pd.DataFrame({"id": ident, "ds": f["ds"], "mean": f[m], "lo": f[f"{m}-lo-{lv}"], "hi": f[f"{m}-hi-{lv}"]})
    real = pd.DataFrame({"id": ident, "ds": o["ds"], "y": o["y"]})
    start = prototypes.start_text(own["ds"].iloc[0], "datetime")
    figs = prototypes.draw_member(prototypes.plotter("bench"), ident, own, real, [], True, start)
    with open(out, "w", encoding="utf-8") as fh:
        html = pio.to_html(
            figs["forecast"], include_plotlyjs=True, full_html=True, post_script="window.__shown = performance.now();"
        )
        fh.write(html)


# One overview control, timed in the page from the input event to the redraw it causes being
# drawn (plotly's afterplot on the treemap; the table's rows replaced, seen by a MutationObserver,
# since the table library's events stay inside its module) and the next animation frame: the treemap's measure and direction selectors, a click on a measure's column
# header, a search typed into the table's box.
CONTROL = """
(async (kind, arg) => {
  const frame = () => new Promise((r) => requestAnimationFrame(() => r()));
  const plotted = (el) => new Promise((r) => {
    const f = () => { el.removeListener('plotly_afterplot', f); r(); };
    el.on('plotly_afterplot', f);
  });
  const drawn = () => new Promise((r) => {
    const seen = new MutationObserver(() => { seen.disconnect(); r(); });
    seen.observe(document.querySelector('#members tbody'), {childList: true, subtree: true});
  });
  const late = new Promise((r) => setTimeout(() => r('late'), 60000));
  let done;
  let t0;
  if (kind === 'measure' || kind === 'direction') {
    const select = document.getElementById(kind === 'measure' ? 'colour-by' : 'direction');
    const values = [...select.options].map((o) => o.value);
    done = plotted(document.getElementById('treemap'));
    t0 = performance.now();
    select.value = values[(values.indexOf(select.value) + 1) % values.length];
    select.dispatchEvent(new Event('change'));
  } else if (kind === 'sort') {
    const th = document.querySelectorAll('#members thead th')[arg];
    done = drawn();
    t0 = performance.now();
    th.click();
  } else {
    const input = document.querySelector('#members_wrapper input[type=search], .dt-search input');
    done = drawn();
    t0 = performance.now();
    input.value = arg;
    input.dispatchEvent(new Event('input', {bubbles: true}));
  }
  if ((await Promise.race([done, late])) === 'late') return null;
  await frame();
  return performance.now() - t0;
})
"""
SEARCHES = ("FOODS_2_01", "HOBBIES_3", "CA_1/HOUSEHOLD", "_0123", "TX_5/FOODS/FOODS_0", "WI", "HOUSEHOLD_6_2")


def deep_link_times(browser, report, baseline, ident, rounds, model):
    """Medians over `rounds` of the time (ms from navigation start) until the deep link to `ident`
    and the one-figure page show their figures; the samples."""
    link = "file://" + report + "#node=" + urllib.parse.quote(ident, safe="")
    samples = {"report": [], "baseline": []}
    browser.open("file://" + baseline)  # both files read once: a warm disk cache
    browser.open(link)
    browser.wait_for("window.__sorvaniShown", timeout=600)
    for r in range(rounds):
        pair = [("baseline", "file://" + baseline, "window.__shown"), ("report", link, "window.__sorvaniShown")]
        for name, url, flag in pair if r % 2 == 0 else pair[::-1]:
            browser.open(url, wait=None)
            samples[name].append(browser.wait_for(flag, timeout=600, interval=0.01))
    shown = browser.evaluate("document.body.dataset.shown")
    if shown != f"member:{ident}:{model}":
        raise SystemExit(f"the deep link showed {shown!r}, not {ident}")
    return statistics.median(samples["report"]), statistics.median(samples["baseline"]), samples


def control_times(browser, report, rounds):
    """The overview (ms from navigation start until shown, its table built) and, per control,
    the median of `rounds` timings (None where a redraw did not come within a minute)."""
    browser.open("file://" + report, wait=None)
    overview = browser.wait_for(
        "document.body && (document.body.dataset.shown || '').startsWith('overview:') && window.__sorvaniShown", 600
    )
    browser.wait_for("document.body && document.body.dataset.table", timeout=600)
    samples = {k: [] for k in CONTROLS}
    for r in range(rounds):
        for kind in CONTROLS:
            arg = 3 + r % 3 if kind == "sort" else SEARCHES[r % len(SEARCHES)] if kind == "search" else None
            samples[kind].append(browser.evaluate(f"{CONTROL}({json.dumps(kind)}, {json.dumps(arg)})"))
    medians = {k: (None if None in v else statistics.median(v)) for k, v in samples.items()}
    return overview, medians, samples


def browser_times(report, baseline, ident, rounds, model):
    from browser import Chromium

    with Chromium(width=1400, height=1000, timeout=600) as browser:
        deep, one, link_samples = deep_link_times(browser, report, baseline, ident, rounds, model)
        overview, controls, control_samples = control_times(browser, report, rounds)
        if browser.errors:
            raise SystemExit(f"script errors on the page: {browser.errors[:3]}")
    return {
        "deep_link_ms": deep,
        "one_figure_ms": one,
        "browser_ratio": deep / one,
        "overview_ms": overview,
        "controls_ms": controls,
        "browser_samples": {**link_samples, **control_samples},
    }


def measure(case, items, folder, rounds=5, browser=True, writes=1, peer_python=PEER_PYTHON, cap_mib=12288):
    """One row of the results: `case` "retail" (a 28-day forecast after the history) or
    "retail-cv" (three 28-day cross-validation windows) at `items` items."""
    paths = retail.write(folder, items)
    pred = paths.cv if case == "retail-cv" else paths.holdout
    levels = retail.Levels.of(items)
    ident = retail.an_item_store(items)
    out = os.path.join(folder, f"report-{case}-{items}.html")
    row = {"case": case, "items": items, "series": len(levels.ids), "bottom": len(levels.group[-1]), "id": ident}
    import pyarrow.parquet as pq

    row["rows"] = pq.read_metadata(pred).num_rows, pq.read_metadata(paths.observed).num_rows
    reads, written, peaks = [], [], []
    pyarrow_read(pred, paths.observed)  # the files in the page cache for every reader
    for i in range(writes):  # read and write take turns; the medians are compared
        note(f"== {case}, {len(levels.ids):,} series: pyarrow's read, the report ({i + 1} of {writes})")
        reads.append(pyarrow_read(pred, paths.observed))
        seconds, peak = write_report(pred, paths.observed, out, cap_mib)
        written.append(seconds)
        peaks.append(peak)
    row.update(read_s=statistics.median(reads), read_samples=reads, write_samples=written, peak_mib=max(peaks))
    done = [s for s in written if s is not None]
    row["write_s"] = statistics.median(done) if len(done) == len(written) else None
    row["ratio"] = row["write_s"] / row["read_s"] if row["write_s"] else None
    row["file_mib"] = os.path.getsize(out) / 2**20 if row["write_s"] else None
    if peer_python and os.path.exists(peer_python):
        note(f"== {case}, {len(levels.ids):,} series: utilsforecast's evaluate")
        row["peer_s"], row["peer_peak_mib"], row["peer_rows"], row["peer_inner_s"] = peer(
            pred, paths.observed, peer_python, cap_mib
        )
    if browser and row["write_s"]:
        note(f"== {case}, {len(levels.ids):,} series: Chromium")
        baseline = os.path.join(folder, f"one-figure-{case}-{items}.html")
        one_figure_page(pred, paths.observed, ident, baseline)
        row.update(browser_times(out, baseline, ident, rounds, retail.MODELS[0]))
    return row


def _s(v, unit=" s", digits=2):
    return "-" if v is None else f"{v:.{digits}f}{unit}"


def table(rows):
    head = (
        "| case | series | pyarrow read | report written | ratio | peak memory | file | utilsforecast evaluate | "
        "its peak memory |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|"
    )
    lines = [head]
    for r in rows:
        peer_peak = _s(r.get("peer_peak_mib"), " MiB", 0) if r.get("peer_s") else "-"
        lines.append(
            f"| {r['case']} | {r['series']:,} | {_s(r['read_s'])} | {_s(r['write_s'])} | {_s(r['ratio'], '')} | "
            f"{r['peak_mib']:.0f} MiB | {_s(r['file_mib'], ' MiB', 1)} | {_s(r.get('peer_s'))} | {peer_peak} |"
        )
    lines += [
        "",
        "| case | series | overview | deep link | one-figure page | ratio | measure | direction | sort | search |",
    ]
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        if "deep_link_ms" not in r:
            continue
        c = r["controls_ms"]
        lines.append(
            f"| {r['case']} | {r['series']:,} | {_s(r['overview_ms'], ' ms', 0)} | {_s(r['deep_link_ms'], ' ms', 0)} | "
            f"{_s(r['one_figure_ms'], ' ms', 0)} | {_s(r['browser_ratio'], '')} | "
            + " | ".join(_s(c[k], " ms", 0) for k in CONTROLS)
            + " |"
        )
    return "\n".join(lines)


def verdicts(rows):
    out = []
    for r in rows:
        w = r["write_s"]
        checks = [
            ("write within 3x pyarrow's read", w is not None and r["ratio"] <= TARGETS["ratio"]),
            ("peak memory within 3 GiB", r["peak_mib"] <= TARGETS["memory_mib"]),
            ("page within 64 MiB", w is not None and r["file_mib"] <= TARGETS["file_mib"]),
        ]
        if r.get("peer_s") is not None:
            checks.append(("faster than utilsforecast's evaluate", w is not None and w < r["peer_s"]))
            checks.append(("less memory than utilsforecast's evaluate", r["peak_mib"] < r["peer_peak_mib"]))
        if "browser_ratio" in r:
            checks.append(("deep link within 3x the one-figure page", r["browser_ratio"] <= TARGETS["browser"]))
            for k in CONTROLS:
                v = r["controls_ms"][k]
                checks.append((f"{k} within 300 ms", v is not None and v <= TARGETS["control_ms"]))
        met = [n for n, ok in checks if ok]
        missed = [n for n, ok in checks if not ok]
        text = f"{r['case']}, {r['series']:,} series: met: {', '.join(met) or 'none'}"
        out.append(text + ("; missed: " + ", ".join(missed) if missed else "; every target met"))
    return out
