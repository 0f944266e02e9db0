"""Times the native module against the same calls written in Python: its listing, src/plotPrediction.py.

    python bench/bench.py                 # sizes 10, 100, 1000; import time; memory
    python bench/bench.py --quick         # size 10, few rounds, small memory counts
    python bench/bench.py --sizes 10,100 --rounds 9 --json out.json

Every case is run through the module and through the reference in turn, sample by sample, for
several rounds, the side that opens a round changing every round (module, reference | reference,
module | ...); the table gives the median CPU time of one call on each side, their ratio
(module / reference) and the range of the per-round ratios, which is the run-to-run spread.
"""

import argparse
import gc
import importlib.util
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc

os.environ.setdefault("MPLBACKEND", "Agg")
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

# The reference: the module's Python listing, which makes the same library calls in the same
# order (the test suite checks that operation by operation).
_spec = importlib.util.spec_from_file_location(
    "reference", os.path.join(os.path.dirname(HERE), "src", "plotPrediction.py")
)
assert _spec is not None and _spec.loader is not None
reference = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(reference)
from sorvani_kb.datavisualization import plotPrediction as module  # noqa: E402

SIDES = {"module": module, "reference": reference}
COLUMNS = ("id", "date", "mean", "lo", "hi", "uc")
REGIONS = (
    "Lombardia",
    "Lazio",
    "Campania",
    "Sicilia",
    "Veneto",
    "Piemonte",
    "Puglia",
    "Toscana",
    "Calabria",
    "Sardegna",
    "Liguria",
    "Marche",
    "Abruzzo",
    "Friuli",
    "Trentino",
    "Umbria",
    "Basilicata",
    "Molise",
    "Valle d'Aosta",
    "Emilia-Romagna",
)
WEEKS = 52
VLINE = "2024-06-30"
LIBS = ("numpy", "pandas", "matplotlib", "statsmodels", "plotly")
IMPORT_LIBS = (
    "import numpy, pandas, matplotlib.pyplot; "
    "from statsmodels.graphics.gofplots import qqplot; "
    "import plotly, plotly.express, plotly.graph_objects"
)
IMPORT_MODULE = "import sorvani_kb.datavisualization.plotPrediction"


# ---------------------------------------------------------------------------------- the frames


def hierarchy_ids(size):
    """`size` hierarchy paths: Italia, its regions, their provinces, their towns, ... Each node
    has `fanout` children, filled level by level; returned parent first (sorted path order)."""
    fanout = max(3, round(size ** (1 / 3)))
    nodes, level = [()], [()]
    while len(nodes) < size:
        level = [parent + (i,) for parent in level for i in range(fanout)][: size - len(nodes)]
        nodes += level
    names = (
        REGIONS,
        [f"P{j + 1:02d}" for j in range(fanout)],
        [f"C{j + 1:02d}" for j in range(fanout)],
        [f"Z{j + 1:02d}" for j in range(fanout)],
    )
    return ["/".join(["Italia"] + [names[d][i] for d, i in enumerate(node)]) for node in sorted(nodes)]


def frames(size, seed=0):
    """A coherent forecast (each aggregate is the sum of its members) of `size` series over 52
    weeks with 95% intervals, and a frame of observed values in the same row order."""
    rng = np.random.default_rng(seed)
    ids = hierarchy_ids(size)
    children = {i: [] for i in ids}
    for i in ids[1:]:
        children[i.rsplit("/", 1)[0]].append(i)
    values = {}
    for i in reversed(ids):  # members come after their aggregate
        if children[i]:
            values[i] = sum(values[c] for c in children[i])
        else:
            season = 1 + 0.2 * np.sin(np.arange(WEEKS) * 2 * np.pi / 52 + rng.uniform(0, 6))
            values[i] = rng.uniform(50, 500) * season * np.exp(np.cumsum(rng.normal(0, 0.02, WEEKS)))
    mean = np.concatenate([values[i] for i in ids])
    width = 1.96 * 0.08 * mean * np.sqrt(np.tile(np.arange(1, WEEKS + 1), size) / 4)
    dates = pd.date_range("2024-01-07", periods=WEEKS, freq="W")
    id_col = np.repeat(np.array(ids, dtype=object), WEEKS)
    pred = pd.DataFrame(
        {"id": id_col, "date": np.tile(dates, size), "mean": mean, "lo": mean - width, "hi": mean + width}
    )
    real = pd.DataFrame(
        {"rid": id_col.copy(), "rdate": np.tile(dates, size), "obs": mean * (1 + rng.normal(0, 0.05, mean.size))}
    )
    return pred, real, ids


def cases(side, size):
    """name -> (call, after): the calls timed for one side on a frame of `size` series."""
    pred, real, ids = frames(size)
    split_frame = pred.copy()  # obtain_dataset relabels its frame in place
    one = ids[len(ids) // 2]
    region = ids[1]
    p = side.plotPrediction(*COLUMNS)
    rq = (real, "rid", "obs")
    return {
        "plotPrediction()": (lambda: side.plotPrediction(*COLUMNS), None),
        "obtain_dataset Italia": (lambda: side.obtain_dataset(split_frame, "Italia", "id"), None),
        "obtain_dataset region": (lambda: side.obtain_dataset(split_frame, region, "id"), None),
        "plot_pred all ids": (lambda: p.plot_pred(pred, None, real, "rid", "rdate", "obs", True, VLINE), None),
        "plot_pred one id": (lambda: p.plot_pred(pred, one, real, "rid", "rdate", "obs", True, VLINE), None),
        "plot_hierarchical": (lambda: p.plot_hierarchical(pred, "Italia"), None),
        "plot_sum_hierarchy": (lambda: p.plot_sum_hierarchy(pred, "Italia"), None),
        "dist_residuals all ids": (lambda: p.dist_residuals(pred, *rq), None),
        "dist_residuals one id": (lambda: p.dist_residuals(pred, *rq, one), None),
        "plot_residuals": (lambda: p.plot_residuals(pred, *rq, one), lambda: plt.close("all")),
    }


# ----------------------------------------------------------------------------------- timing


def sample(call, after, inner):
    """(wall, CPU) seconds per call over `inner` calls, garbage collection off; `after` runs
    untimed after each call. CPU time (this process) is what the table reports: other work on
    the machine stretches the wall time but hardly the CPU time."""
    gc.collect()
    gc.disable()
    try:
        if after is None:
            w0, c0 = time.perf_counter(), time.process_time()
            for _ in range(inner):
                call()
            return (time.perf_counter() - w0) / inner, (time.process_time() - c0) / inner
        wall = cpu = 0.0
        for _ in range(inner):
            w0, c0 = time.perf_counter(), time.process_time()
            call()
            wall, cpu = wall + time.perf_counter() - w0, cpu + time.process_time() - c0
            after()
        return wall / inner, cpu / inner
    finally:
        gc.enable()


def time_size(size, rounds, target, budget, order, flip, log, only=None):
    both = {name: cases(SIDES[name], size) for name in order}
    rows = []
    for case in both[order[0]]:
        if only and only not in case:
            continue
        calls = {name: both[name][case] for name in order}
        # One call on each side fills the libraries' caches and gives the cost of a call.
        first = {name: sample(*calls[name], 1) for name in order}
        cost = max(wall for wall, _ in first.values())
        inner = max(1, math.ceil(target / cost))
        n_rounds = rounds
        if 2 * cost * inner * rounds > budget:
            n_rounds = max(min(3, rounds), min(rounds, int(budget / (2 * cost * inner))))
        # A call of over a second is barely touched by first-call costs: its warm-up pair
        # counts as the first round.
        got = {name: [first[name]] if inner == 1 and cost > 1 else [] for name in order}
        while len(got["reference"]) < n_rounds:
            # Module and reference take turns; with the "alternate" order the side that opens
            # a round changes every round, so whatever favours one position cancels out.
            turn = order[::-1] if flip and len(got["reference"]) % 2 else order
            for name in turn:
                got[name].append(sample(*calls[name], inner))
        times = {name: [c for _, c in got[name]] for name in SIDES}
        walls = {name: [w for w, _ in got[name]] for name in SIDES}
        m, r = statistics.median(times["module"]), statistics.median(times["reference"])
        paired = [a / b for a, b in zip(times["module"], times["reference"])]
        wall_ratio = statistics.median(walls["module"]) / statistics.median(walls["reference"])
        rows.append(
            {
                "method": case,
                "series": size,
                "rounds": n_rounds,
                "calls": inner,
                "module_s": m,
                "reference_s": r,
                "ratio": m / r,
                "ratio_min": min(paired),
                "ratio_max": max(paired),
                "wall_ratio": wall_ratio,
                "cpu": times,
                "wall": walls,
            }
        )
        log(f"  {size:>5} {case:<24} {fmt(m):>10} {fmt(r):>10} {m / r:6.3f}")
    return rows


def verdict(row):
    spread = (row["ratio_max"] - row["ratio_min"]) / 2
    if row["ratio"] - 1 > spread:
        return "slower"
    if 1 - row["ratio"] > spread:
        return "faster"
    return "same"


def fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


# ------------------------------------------------------------------------------ import time


def import_times(runs):
    def once(stmt):
        code = f"import time; t = time.perf_counter(); {stmt}; print(time.perf_counter() - t)"
        out = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            check=True,
            env=dict(os.environ, MPLBACKEND="Agg"),
        )
        return float(out.stdout.split()[-1])

    once(IMPORT_MODULE)  # warms the file cache
    got = {"module": [], "libraries": []}
    for _ in range(runs):
        got["module"].append(once(IMPORT_MODULE))
        got["libraries"].append(once(IMPORT_LIBS))
    med = {k: statistics.median(v) for k, v in got.items()}
    return {
        "runs": runs,
        "raw": got,
        "module_s": med["module"],
        "libraries_s": med["libraries"],
        "difference_ms": (med["module"] - med["libraries"]) * 1e3,
    }


# ----------------------------------------------------------------------------------- memory

MEMORY_CASES = {  # method -> calls (a 10-series frame; figure-heavy methods fewer calls)
    "plotPrediction()": 10_000,
    "obtain_dataset region": 10_000,
    "plot_hierarchical": 1_000,
    "plot_sum_hierarchy": 200,
    "plot_pred one id": 200,
    "plot_pred all ids": 20,
    "dist_residuals one id": 200,
    "dist_residuals all ids": 20,
    "plot_residuals": 200,
}
QUICK_MEMORY = ("plotPrediction()", "obtain_dataset region", "plot_hierarchical", "plot_residuals")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_worker(side, case, count):
    """Runs in its own process: RSS over `count` calls, then tracemalloc over a fifth of them."""
    call, _ = cases(SIDES[side], 10)[case]

    def batch(n):
        for i in range(n):
            call()
            if i % 50 == 49:
                plt.close("all")
        plt.close("all")
        gc.collect()

    batch(max(5, count // 100))  # warm-up
    rss0 = rss_bytes()
    batch(count)
    rss1 = rss_bytes()
    traced_calls = max(10, count // 5)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    batch(traced_calls)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    print(
        json.dumps(
            {
                "rss_before": rss0,
                "rss_after": rss1,
                "rss_growth": rss1 - rss0,
                "traced_calls": traced_calls,
                "traced_growth": after - before,
            }
        )
    )


def memory(quick, log):
    out = []
    for case, count in MEMORY_CASES.items():
        if quick and case not in QUICK_MEMORY:
            continue
        count = max(10, count // 10) if quick else count
        procs = {
            side: subprocess.Popen(
                [sys.executable, __file__, "--memory-worker", side, case, str(count)], stdout=subprocess.PIPE, text=True
            )
            for side in SIDES
        }  # both sides at once, one core each
        row = {"method": case, "calls": count}
        for side, proc in procs.items():
            stdout, _ = proc.communicate()
            if proc.returncode:
                raise RuntimeError(f"memory worker {side} {case} failed")
            row[side] = json.loads(stdout.splitlines()[-1])
        log(f"  {case:<24} {count:>6} calls: module RSS {row['module']['rss_growth'] / 2**20:+.1f} MiB")
        out.append(row)
    return out


# ----------------------------------------------------------------------------------- report


def machine():
    model = next(
        (line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
        platform.processor(),
    )
    versions = {lib: __import__(lib).__version__ for lib in LIBS}
    return {
        "nproc": os.cpu_count(),
        "cpu": model,
        "python": platform.python_version(),
        "versions": versions,
        "module": module.__file__,
        "command": " ".join([sys.executable] + sys.argv),
        "loadavg_start": open("/proc/loadavg").read().split()[:3],
    }


def report(info, rows, imports, mem, notes, quick):
    print("## Benchmark: native module against the same calls in Python\n")
    print(f"- machine: {info['nproc']} cores, {info['cpu']}")
    print(f"- Python {info['python']}; " + ", ".join(f"{k} {v}" for k, v in info["versions"].items()))
    print(f"- command: `{info['command']}`")
    print(
        f"- load average (1, 5, 15 min) at start {' '.join(info['loadavg_start'])}, "
        f"at end {' '.join(info['loadavg_end'])}"
    )
    print("- wall time: " + ", ".join(f"{k} {v:.0f} s" for k, v in info["phases_s"].items()) + "\n")
    for note in notes:
        print(f"- {note}")
    print(
        "\n| method | series | rounds × calls | module | reference | ratio | per-round ratios | verdict | wall ratio |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---|---:|")
    for r in rows:
        print(
            f"| {r['method']} | {r['series']} | {r['rounds']} × {r['calls']} | {fmt(r['module_s'])} "
            f"| {fmt(r['reference_s'])} | {r['ratio']:.3f} | {r['ratio_min']:.3f}–{r['ratio_max']:.3f} "
            f"| {verdict(r)} | {r['wall_ratio']:.3f} |"
        )
    if imports:
        spread = (max(imports["raw"]["module"]) - min(imports["raw"]["module"])) * 1e3
        print(
            f"\nImport time ({imports['runs']} fresh interpreters each, medians): module "
            f"{imports['module_s'] * 1e3:.1f} ms, its seven libraries directly "
            f"{imports['libraries_s'] * 1e3:.1f} ms, difference {imports['difference_ms']:+.1f} ms "
            f"(module runs spread over {spread:.1f} ms)."
        )
    if mem:
        print(
            "\nMemory (10-series frame, one process per method and side; pyplot figures closed "
            "every 50 calls; tracemalloc over a further fifth as many calls):\n"
        )
        print(
            "| method | calls | module RSS growth | reference RSS growth | module traced growth "
            "| reference traced growth |"
        )
        print("|---|---:|---:|---:|---:|---:|")
        for m in mem:
            a, b = m["module"], m["reference"]
            print(
                f"| {m['method']} | {m['calls']} | {a['rss_growth'] / 2**20:+.2f} MiB "
                f"| {b['rss_growth'] / 2**20:+.2f} MiB "
                f"| {a['traced_growth'] / 1024:+.1f} KiB / {a['traced_calls']} "
                f"| {b['traced_growth'] / 1024:+.1f} KiB / {b['traced_calls']} |"
            )
        short = [f"{m['method']} ({m['calls']})" for m in mem if m["calls"] < 10_000]
        if short:
            print(
                "\nFewer than 10,000 calls, since 10,000 would take too long"
                f"{' (--quick: a tenth of the default counts)' if quick else ''}: "
                f"{', '.join(short)}."
            )


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="size 10, 3 rounds, small memory counts")
    ap.add_argument("--sizes", help="comma-separated numbers of series (default 10,100,1000)")
    ap.add_argument("--rounds", type=int, help="rounds per case (default 7, quick 3)")
    ap.add_argument("--json", metavar="PATH", help="write the raw numbers here")
    ap.add_argument(
        "--order",
        choices=("alternate", "module-first", "reference-first"),
        default="alternate",
        help="which side opens each round (default: they take turns, round by round)",
    )
    ap.add_argument("--only", metavar="TEXT", help="time only the cases whose name contains TEXT")
    ap.add_argument("--no-import", action="store_true", help="skip the import-time runs")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory runs")
    ap.add_argument("--memory-worker", nargs=3, metavar=("SIDE", "METHOD", "CALLS"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_worker:
        side, case, count = args.memory_worker
        return memory_worker(side, case, int(count))

    sizes = [int(s) for s in (args.sizes or ("10" if args.quick else "10,100,1000")).split(",")]
    rounds = args.rounds or (3 if args.quick else 7)
    target, budget = (0.02, 4.0) if args.quick else (0.05, 10.0)

    def log(text):
        print(text, file=sys.stderr, flush=True)

    info = machine()
    notes = [
        "times are CPU seconds of the benchmark process per call (medians over the rounds); "
        "the last column is the ratio of the wall-clock medians",
        f"one sample = the mean of `calls` calls (at least {target * 1e3:.0f} ms of work); "
        f"a case whose rounds would exceed {budget:.0f} s uses fewer rounds (at least 3)",
        "verdict: slower/faster when the ratio differs from 1 by more than half the range of the per-round ratios",
        "plot_residuals: `plt.close('all')` after every call, outside the timed region",
        f"order within a round: {args.order}",
    ]
    phases, t0 = {}, time.perf_counter()
    rows = []
    for size in sizes:
        log(f"timing {size} series")
        order = ("reference", "module") if args.order == "reference-first" else ("module", "reference")
        rows += time_size(size, rounds, target, budget, order, args.order == "alternate", log, args.only)
    phases["timing"], t0 = time.perf_counter() - t0, time.perf_counter()
    imports = None
    if not args.no_import:
        log("import time")
        imports = import_times(2 if args.quick else 5)
    phases["import"], t0 = time.perf_counter() - t0, time.perf_counter()
    mem = None
    if not args.no_memory:
        log("memory")
        mem = memory(args.quick, log)
    phases["memory"] = time.perf_counter() - t0
    info["phases_s"] = {k: round(v, 1) for k, v in phases.items()}
    info["loadavg_end"] = open("/proc/loadavg").read().split()[:3]
    report(info, rows, imports, mem, notes, args.quick)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "timing": rows, "import": imports, "memory": mem}, f, indent=1)


if __name__ == "__main__":
    main()
