"""The type stub of plotPrediction: it matches the module, and says what callers get."""

import os
import re
import subprocess
import sys
from importlib import resources
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MODULE = "sorvani_kb.datavisualization.plotPrediction"
STUB = ROOT / "python" / "sorvani_kb" / "datavisualization" / "plotPrediction.pyi"


def mypy(args, stubs, cwd):
    """Runs a mypy tool with the stubs under `stubs` ahead of the installed package."""
    env = {**os.environ, "MYPYPATH": str(stubs), "MPLBACKEND": "Agg"}
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600)


def test_stubtest_finds_the_stub_exact(tmp_path):
    proc = mypy(["mypy.stubtest", "--mypy-config-file", str(tmp_path / "none.ini"), MODULE], ROOT / "python", tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize(
    "old, new, name",
    [
        (
            "target: str, id_pred: str | None = None\n    ) -> list",
            "target: str, id_pred: str | None\n    ) -> list",
            "dist_residuals",
        ),
        ("vertical_line: str | None = None", "vline: str | None = None", "plot_pred"),
        ("def plot_sum_hierarchy(", "def _plot_sum_hierarchy(", "plot_sum_hierarchy"),
        ("def obtain_dataset(df:", "def obtain_dataset(frame:", "obtain_dataset"),
    ],
)
def test_stubtest_catches_a_wrong_stub(tmp_path, old, new, name):
    tree = tmp_path / "stubs" / "sorvani_kb" / "datavisualization"
    tree.mkdir(parents=True)
    (tree.parent / "__init__.py").touch()
    (tree / "__init__.py").touch()
    text = STUB.read_text()
    assert old in text
    (tree / "plotPrediction.pyi").write_text(text.replace(old, new))
    proc = mypy(
        ["mypy.stubtest", "--mypy-config-file", str(tmp_path / "none.ini"), MODULE], tmp_path / "stubs", tmp_path
    )
    assert proc.returncode == 1 and f"{MODULE}.{'plotPrediction.' * (name != 'obtain_dataset')}{name}" in proc.stdout


# (line of a caller, what mypy must say about it): a revealed type, or an error code, or None for
# nothing. FIG, FRAME, PLT and NP stand for what mypy makes of go.Figure(), pd.DataFrame(),
# matplotlib.pyplot.subplot and numpy.array_split.
USAGE = [
    (
        "from sorvani_kb.datavisualization.plotPrediction import go, np, obtain_dataset, pd, plotPrediction, plotly, plt, px, qqplot",
        None,
    ),
    ("p = plotPrediction('id', 'date', 'mean', 'lo', 'hi', 'uc')", None),
    ("df = pd.DataFrame()", None),
    ("reveal_type(p.plot_pred(df, 'Italia', df, 'rid', 'rdate', 'obs', True, '2024-01-07'))", "list[FIG]"),
    ("reveal_type(p.plot_hierarchical(df, 'Italia'))", "FIG"),
    ("reveal_type(p.plot_sum_hierarchy(df, gerarchia='Italia'))", "FIG"),
    ("reveal_type(p.dist_residuals(df, df, 'rid', 'obs', id_pred='Italia'))", "list[FIG]"),
    ("reveal_type(p.plot_residuals(df, df, 'rid', 'obs'))", "FIG"),
    ("reveal_type(obtain_dataset(df, 'Italia', 'id'))", "list[FRAME]"),
    ("reveal_type(p.pi_upper)", "str"),
    ("reveal_type(plt.subplot)", "PLT"),
    ("reveal_type(np.array_split)", "NP"),
    ("p.plot_pred(df, id_pred=3)", "arg-type"),
    ("p.plot_hierarchical(df, None)", "arg-type"),
    ("obtain_dataset(df, 'Italia')", "call-arg"),
    ("p.plot_residuals(df, df, 'rid', 'obs', vertical_line='x')", "call-arg"),
    ("p.dist_residuals(df, df, 'rid')", "call-arg"),
    ("plotPrediction('id', 'date', 'mean', 'lo', 'hi')", "call-arg"),
]


def test_callers_see_the_documented_types(tmp_path):
    probes = [
        "reveal_type(go.Figure())",
        "reveal_type(pd.DataFrame())",
        "import matplotlib.pyplot, numpy  # type: ignore[import-untyped,unused-ignore]",
        "reveal_type(matplotlib.pyplot.subplot)",
        "reveal_type(numpy.array_split)",
    ]
    lines = [code for code, _ in USAGE] + probes
    (tmp_path / "use.py").write_text("\n".join(lines) + "\n")
    proc = mypy(
        [
            "mypy",
            "--cache-dir",
            str(tmp_path / "cache"),
            "--show-error-codes",
            "--hide-error-context",
            "--no-error-summary",
            "use.py",
        ],
        ROOT / "python",
        tmp_path,
    )
    said = {}
    for line in proc.stdout.splitlines():
        m = re.match(r'use\.py:(\d+): (?:note: Revealed type is "(.*)"|error: .*\[([\w-]+)\])$', line)
        if m:
            said[int(m[1])] = (m[2] or m[3]).replace("builtins.", "")
    names = dict(zip(["FIG", "FRAME", "PLT", "NP"], [said.pop(len(USAGE) + n) for n in (1, 2, 4, 5)]))
    expected = {
        n: names.get(e, e).replace("FIG", names["FIG"]).replace("FRAME", names["FRAME"])
        for n, (_, e) in enumerate(USAGE, 1)
        if e
    }
    assert said == expected, proc.stdout


def test_installed_package_carries_the_stub():
    package = resources.files("sorvani_kb")
    assert (package / "py.typed").is_file()
    assert (package / "datavisualization" / "plotPrediction.pyi").read_text() == STUB.read_text()
