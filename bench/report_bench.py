"""Times the report command on large synthetic hierarchies, against bare pandas and Chromium.

    python bench/report_bench.py                     # sizes 1,000, 10,000 and 52,021
    python bench/report_bench.py --small             # one small size, under a minute
    python bench/report_bench.py --sizes 1000 --rounds 3 --json out.json
    python bench/report_bench.py --case retail,retail-cv --data /tmp/bench   # the retail structure, daily

For each size, one run measures (reads and writes taking turns, medians of three): pandas reading the two CSV files (plain `pd.read_csv`, no
options), the report command writing its page from them (a child process, as a user runs it:
wall time, peak resident memory), `explore()` on the same data already in memory as pandas
frames (a fresh child process; from the call until the page is saved), the page's size, and in headless Chromium the time until a
deep link to a town shows that town's figures against the time until a page holding one plotly
figure (the module's forecast figure of the same town, plotly.js inline) shows it. The retail
cases (bench/retail_bench.py) do the same on the 12-level grouped structure of bench/retail.py in
Parquet, with pyarrow's read as the yardstick, four overview controls timed in the page and
utilsforecast's `evaluate` as the peer. See bench/README.md.
"""

from __future__ import annotations

import argparse
import compileall
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "report"))
os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import retail_bench  # noqa: E402

MODEL = "AutoETS"
LEVEL = 95
HISTORY, HORIZON = 52, 12
FIRST = "2024-01-01"
REGIONS = 20
TOWNS_PER_PROVINCE = 25
SIZES = (1000, 10000, 52021)
TARGETS = {"ratio": 10.0, "ratio_aim": 5.0, "memory_mib": 2048, "file_mib": 64, "browser": 3.0}


# ------------------------------------------------------------------------------- the data


def shape(size):
    """(provinces, towns) of a hierarchy of `size` series: Italia, 20 regions, the provinces
    spread over the regions and the towns over the provinces, 25 to a province on average."""
    provinces = max(REGIONS, round((size - 1 - REGIONS) / (TOWNS_PER_PROVINCE + 1)))
    towns = size - 1 - REGIONS - provinces
    if towns < provinces:
        raise SystemExit(f"size {size} too small for the Italia / 20 regions / provinces / towns hierarchy")
    return provinces, towns


def hierarchy(size):
    """ids (sorted) and, for each, the index of its parent (-1 for Italia)."""
    provinces, towns = shape(size)
    region_of = np.arange(provinces) % REGIONS
    province_of = np.arange(towns) % provinces
    regions = np.array([f"Italia/Regione{r + 1:02d}" for r in range(REGIONS)], dtype=object)
    prov = np.array([f"{regions[region_of[p]]}/Provincia{p + 1:04d}" for p in range(provinces)], dtype=object)
    town = np.array([f"{prov[province_of[t]]}/Comune{t + 1:05d}" for t in range(towns)], dtype=object)
    ids = np.concatenate([["Italia"], regions, prov, town]).astype(object)
    parent = np.concatenate([[-1], np.zeros(REGIONS, int), 1 + region_of, 1 + REGIONS + province_of])
    order = np.argsort(ids, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(len(ids))
    parent = np.where(parent >= 0, rank[np.maximum(parent, 0)], -1)[order]
    return ids[order], parent


def frames(size, seed=0):
    """(predictions, observed) frames in the long format of the forecasting libraries: weekly,
    52 weeks of history and 12 forecast weeks, observed values on all 64 weeks; the towns'
    series are simulated, every aggregate is the sum of its members (observed and forecast)."""
    ids, parent = hierarchy(size)
    n, weeks = len(ids), HISTORY + HORIZON
    rng = np.random.RandomState(seed)
    leaf = np.bincount(parent[parent >= 0], minlength=n) == 0
    t = np.arange(weeks)
    level = rng.uniform(20, 400, n)[:, None]
    season = 1 + 0.15 * np.sin(2 * np.pi * (t + rng.randint(0, 52, n)[:, None]) / 52)
    truth = level * season * np.exp(np.cumsum(rng.normal(0, 0.01, (n, weeks)), axis=1))
    y = np.where(leaf[:, None], np.round(truth + rng.normal(0, 0.05, (n, weeks)) * level, 2), 0.0)
    fc = np.where(leaf[:, None], np.round(truth[:, HISTORY:] * (1 + rng.normal(0, 0.03, (n, HORIZON))), 3), 0.0)
    sigma = np.where(leaf[:, None], 0.06 * level * np.sqrt(1 + np.arange(HORIZON) / 4), 0.0)
    depth = np.zeros(n, int)
    for g in range(n):
        depth[g] = depth[parent[g]] + 1 if parent[g] >= 0 else 0
    for d in range(depth.max(), 0, -1):  # aggregates: sums of their members
        rows = np.flatnonzero(depth == d)
        for values in (y, fc):
            np.add.at(values, parent[rows], values[rows])
        np.add.at(sigma, parent[rows], sigma[rows] ** 2)
        sigma[parent[rows]] = np.sqrt(sigma[parent[rows]])
    fc, sigma = np.round(fc, 3), np.round(sigma, 3)
    dates = pd.date_range(FIRST, periods=weeks, freq="W-MON")
    pred = pd.DataFrame(
        {
            "unique_id": np.repeat(ids, HORIZON),
            "ds": np.tile(dates[HISTORY:], n),
            MODEL: fc.ravel(),
            f"{MODEL}-lo-{LEVEL}": np.round(fc - 1.96 * sigma, 3).ravel(),
            f"{MODEL}-hi-{LEVEL}": np.round(fc + 1.96 * sigma, 3).ravel(),
        }
    )
    obs = pd.DataFrame({"unique_id": np.repeat(ids, weeks), "ds": np.tile(dates, n), "y": np.round(y, 2).ravel()})
    return pred, obs


def files(size, folder):
    """Paths of the two CSV files of `size` series in `folder`, written if not there yet."""
    pred_path = os.path.join(folder, f"pred-{size}.csv")
    obs_path = os.path.join(folder, f"obs-{size}.csv")
    if not (os.path.exists(pred_path) and os.path.exists(obs_path)):
        note(f"writing the {size:,} series files into {folder}")
        pred, obs = frames(size)
        for frame, path in ((pred, pred_path), (obs, obs_path)):
            frame.to_csv(path + ".tmp", index=False, date_format="%Y-%m-%d")
            os.replace(path + ".tmp", path)
    return pred_path, obs_path


def a_town(size):
    ids, parent = hierarchy(size)
    towns = [i for i in ids if i.count("/") == 3]
    return towns[len(towns) // 2]


# ---------------------------------------------------------------------------- measurements


def note(text):
    print(text, file=sys.stderr, flush=True)


def bare_read(pred_path, obs_path):
    start = time.perf_counter()
    pd.read_csv(pred_path)
    pd.read_csv(obs_path)
    return time.perf_counter() - start


def write_report(pred_path, obs_path, out):
    """Runs the report command in a child process: (wall seconds, peak RSS in MiB)."""
    cmd = [sys.executable, "-m", "sorvani_kb.datavisualization", pred_path, "--observed", obs_path, "-o", out, "-q"]
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    proc.returncode = os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status >> 8
    if proc.returncode != 0:
        raise SystemExit(f"the report command failed ({proc.returncode}):\n{err[-3000:]}")
    return elapsed, usage.ru_maxrss / 1024


EXPLORE = """
import os, sys, time
os.environ.setdefault("MPLBACKEND", "Agg")
import pandas as pd
from sorvani_kb.datavisualization.report import explore
pred = pd.read_csv(sys.argv[1], parse_dates=["ds"])
obs = pd.read_csv(sys.argv[2], parse_dates=["ds"])
start = time.perf_counter()
explore(pred, obs).save(sys.argv[3])
print(time.perf_counter() - start)
"""


def explore_frames(pred_path, obs_path, out):
    """explore() on frames already in memory (read by pandas, dates parsed, as a notebook holds
    them), in a fresh child process: seconds from the call until the page is saved."""
    done = subprocess.run([sys.executable, "-c", EXPLORE, pred_path, obs_path, out], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"explore() failed ({done.returncode}):\n{done.stderr[-3000:]}")
    return float(done.stdout.split()[-1])


ONE_FIGURE_DONE = "window.__shown = performance.now();"


def one_figure_page(pred_path, obs_path, town, out):
    """A page holding the module's forecast figure of `town`, plotly.js inline, as plotly writes it."""
    import plotly.io as pio

    from sorvani_kb.datavisualization.report.page import prototypes

    pred = pd.read_csv(pred_path)
    obs = pd.read_csv(obs_path)
    pred = pred[pred["unique_id"] == town].reset_index(drop=True)
    obs = obs[obs["unique_id"] == town].reset_index(drop=True)
    own = pd.DataFrame(
        {
            "id": town,
            "ds": pd.to_datetime(pred["ds"]),
            "mean": pred[MODEL],
            "lo": pred[f"{MODEL}-lo-{LEVEL}"],
            "hi": pred[f"{MODEL}-hi-{LEVEL}"],
        }
    )
    real = pd.DataFrame({"id": town, "ds": pd.to_datetime(obs["ds"]), "y": obs["y"]})
    figs = prototypes.draw_member(
        prototypes.plotter("bench"), town, own, real, [], True, prototypes.start_text(own["ds"].iloc[0], "datetime")
    )
    with open(out, "w", encoding="utf-8") as fh:
        fh.write(pio.to_html(figs["forecast"], include_plotlyjs=True, full_html=True, post_script=ONE_FIGURE_DONE))


def browser_times(report, baseline, town, rounds):
    """Medians over `rounds` of the time (ms from navigation start) until each page shows its
    figures: (report deep link, one-figure page, the samples)."""
    from browser import Chromium

    link = "file://" + report + "#node=" + urllib.parse.quote(town, safe="")
    samples = {"report": [], "baseline": []}
    with Chromium(width=1400, height=1000, timeout=300) as browser:
        browser.open("file://" + baseline)  # warm the disk cache for both files
        browser.open(link)
        browser.wait_for("window.__sorvaniShown", timeout=300)
        for r in range(rounds):
            pair = [("baseline", "file://" + baseline, "window.__shown"), ("report", link, "window.__sorvaniShown")]
            for name, url, flag in pair if r % 2 == 0 else pair[::-1]:
                browser.open(url, wait=None)
                samples[name].append(browser.wait_for(flag, timeout=300, interval=0.01))
        shown = browser.evaluate("document.body.dataset.shown")
        if browser.errors:
            raise SystemExit(f"script errors on the page: {browser.errors[:3]}")
    if shown != f"member:{town}:{MODEL}":
        raise SystemExit(f"the deep link showed {shown!r}, not the town")
    return statistics.median(samples["report"]), statistics.median(samples["baseline"]), samples


def measure(size, folder, rounds, browser=True, writes=3):
    pred_path, obs_path = files(size, folder)
    town = a_town(size)
    out = os.path.join(folder, f"report-{size}.html")
    reads, written, peaks, explored = [], [], [], []
    bare_read(pred_path, obs_path)  # the files in the page cache for both sides
    for i in range(writes):  # read and write take turns; the medians are compared
        note(f"== {size:,} series: reading with pandas, writing the report, explore() on frames ({i + 1} of {writes})")
        reads.append(bare_read(pred_path, obs_path))
        seconds, peak = write_report(pred_path, obs_path, out)
        written.append(seconds)
        peaks.append(peak)
        explored.append(explore_frames(pred_path, obs_path, out + ".frames.html"))
    read, write = statistics.median(reads), statistics.median(written)
    row = {
        "size": size,
        "read_s": read,
        "write_s": write,
        "ratio": write / read,
        "peak_mib": max(peaks),
        "file_mib": os.path.getsize(out) / 2**20,
        "town": town,
        "read_samples": reads,
        "write_samples": written,
        "explore_s": statistics.median(explored),
        "explore_samples": explored,
    }
    if browser:
        note(f"== {size:,} series: Chromium ({write:.1f} s to write)")
        baseline = os.path.join(folder, f"one-figure-{size}.html")
        one_figure_page(pred_path, obs_path, town, baseline)
        row["deep_link_ms"], row["one_figure_ms"], row["browser_samples"] = browser_times(out, baseline, town, rounds)
        row["browser_ratio"] = row["deep_link_ms"] / row["one_figure_ms"]
    return row


def table(rows):
    head = (
        "| series | pandas read | report written | ratio | explore() on frames | peak memory | file | "
        "deep link to a town | one-figure page | ratio |\n|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    )
    lines = [head]
    for r in rows:
        browser = (
            f"{r['deep_link_ms']:.0f} ms | {r['one_figure_ms']:.0f} ms | {r['browser_ratio']:.2f}"
            if "deep_link_ms" in r
            else "- | - | -"
        )
        lines.append(
            f"| {r['size']:,} | {r['read_s']:.2f} s | {r['write_s']:.2f} s | {r['ratio']:.2f} | {r['explore_s']:.2f} s | "
            f"{r['peak_mib']:.0f} MiB | {r['file_mib']:.1f} MiB | {browser} |"
        )
    return "\n".join(lines)


def verdicts(rows):
    out = []
    for r in rows:
        checks = [
            ("write/read ratio", r["ratio"] <= TARGETS["ratio"]),
            ("peak memory", r["peak_mib"] <= TARGETS["memory_mib"]),
            ("file size", r["file_mib"] <= TARGETS["file_mib"]),
            ("explore() within the command less its read", r["explore_s"] <= r["write_s"] - r["read_s"]),
        ]
        if "browser_ratio" in r:
            checks.append(("deep link", r["browser_ratio"] <= TARGETS["browser"]))
        failed = [name for name, ok in checks if not ok]
        out.append(f"{r['size']:,} series: " + ("every target met" if not failed else "missed: " + ", ".join(failed)))
    return out


def options(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument(
        "--case",
        default="tree",
        help="tree (Italia's hierarchy, CSV), retail (the 12-level grouped structure, daily, Parquet) and/or "
        "retail-cv (the same, three cross-validation windows), comma-separated (default: %(default)s)",
    )
    p.add_argument(
        "--sizes", default=",".join(str(s) for s in SIZES), help="tree: numbers of series (default: %(default)s)"
    )
    p.add_argument(
        "--items",
        default=",".join(str(s) for s in retail_bench.ITEMS),
        help="retail: numbers of items, each sold in the 10 stores (default: %(default)s, a tenth and the full size)",
    )
    p.add_argument(
        "--small",
        action="store_true",
        help=f"300 series (retail: {retail_bench.SMALL_ITEMS} items), one browser round: a check that the benchmark runs",
    )
    p.add_argument("--rounds", type=int, default=5, help="browser rounds per page (default: %(default)s)")
    p.add_argument(
        "--writes",
        type=int,
        default=3,
        help="reads and report writes per size, whose medians are compared (default: %(default)s)",
    )
    p.add_argument(
        "--data",
        metavar="DIR",
        help="folder for the input files and pages, kept between runs (default: a temporary one)",
    )
    p.add_argument("--no-browser", action="store_true", help="skip the Chromium timings")
    p.add_argument(
        "--peer-python",
        default=retail_bench.PEER_PYTHON,
        help="retail: the interpreter with utilsforecast and polars for the peer's timing, '' to skip it "
        "(default: %(default)s)",
    )
    p.add_argument(
        "--memory-cap",
        type=int,
        default=12288,
        metavar="MIB",
        help="retail: stop a child process whose resident memory passes this (default: %(default)s)",
    )
    p.add_argument("--json", metavar="PATH", help="also write every number as JSON")
    args = p.parse_args(argv)
    args.case = args.case.split(",")
    unknown = set(args.case) - {"tree", "retail", "retail-cv"}
    if unknown:
        p.error(f"--case: unknown {', '.join(sorted(unknown))}")
    return args


def measured_copy():
    """Where the report the command runs lives (this interpreter imports it as the children do),
    and None or a warning when it is not this checkout's code: a copy installed some time ago."""
    import filecmp
    from pathlib import Path

    import sorvani_kb.datavisualization.report as report

    there = Path(report.__file__).resolve().parent
    here = Path(ROOT, "python", "sorvani_kb", "datavisualization", "report").resolve()
    if there == here or not here.is_dir():
        return there, None
    sources = [p for p in here.rglob("*") if p.is_file() and "__pycache__" not in p.parts]
    differ = [p for p in sources if not (there / p.relative_to(here)).is_file()]
    differ += [p for p in sources if p not in differ and not filecmp.cmp(p, there / p.relative_to(here), shallow=False)]
    if not differ:
        return there, None
    return there, (
        f"{len(differ)} of the checkout's report files differ from the copy measured here: refresh that "
        "copy (tools/dev.sh) or run with PYTHONPATH=python over a module built in place"
    )


def main(argv=None):
    args = options(argv)
    copy, stale = measured_copy()
    note(f"measuring the report at {copy}")
    if stale:
        note("warning: " + stale)
    # An installed package holds its modules' bytecode; a checkout's would otherwise be compiled
    # again in every timed run where the environment says not to write it (PYTHONDONTWRITEBYTECODE).
    compileall.compile_dir(str(copy.parent), quiet=2)
    sizes = [300] if args.small else [int(s) for s in args.sizes.split(",")]
    items = [retail_bench.SMALL_ITEMS] if args.small else [int(s) for s in args.items.split(",")]
    rounds = 1 if args.small else args.rounds
    writes = 1 if args.small else args.writes
    from browser import BINARY

    browser = not args.no_browser and BINARY is not None
    if not args.no_browser and BINARY is None:
        note("no chromium on PATH: the browser timings are skipped")
    load = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="sorvani-bench-") as tmp:
        folder = os.path.abspath(args.data or tmp)
        os.makedirs(folder, exist_ok=True)
        rows = [measure(size, folder, rounds, browser, writes) for size in sizes] if "tree" in args.case else []
        grouped = [
            retail_bench.measure(case, n, folder, rounds, browser, writes, args.peer_python, args.memory_cap)
            for case in ("retail", "retail-cv")
            if case in args.case
            for n in items
        ]
    print(
        f"machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
        f"pandas {pd.__version__}, numpy {np.__version__}; load {load[0]:.2f} at the start, "
        f"{os.getloadavg()[0]:.2f} at the end"
    )
    if rows:
        print(table(rows))
        for line in verdicts(rows):
            print(line)
    if grouped:
        print(retail_bench.table(grouped))
        for line in retail_bench.verdicts(grouped):
            print(line)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as fh:
            json.dump(rows + grouped, fh, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
