#!/usr/bin/env python3
"""Writes the sample shipped with the report: predictions.csv and observed.csv.

A weekly hierarchy of orders: Italia, three regions, two or three provinces per region. Each
province follows a level with a trend and a yearly season; its observed values are that signal
plus noise, for 52 weeks of history and the 12 weeks of the forecast horizon (a backtest window,
so the forecast can be compared with what happened). The provinces' forecasts are the signal with
a small bias of their own; every aggregate's forecast is the exact sum of its members' forecasts,
its observed value the sum of its members' observed values, and its interval is as wide as the
members' errors taken as independent.

Only the standard library is used, and only `random.random()` of a seeded generator, whose
sequence Python keeps stable across versions, so the files come out byte-identical anywhere:
    python tools/make_sample.py [--out DIR]
"""

import argparse
import csv
import datetime as dt
import math
import os
import random

SEED = 20240101
START = dt.date(2024, 1, 1)  # a Monday
HISTORY, HORIZON = 52, 12
Z95 = 1.96
# region -> [(province, weekly level, trend per week, season amplitude, season phase in weeks)]
HIERARCHY = {
    "Lombardia": [("Milano", 420, 0.9, 0.18, 0), ("Bergamo", 160, 0.3, 0.12, 4), ("Brescia", 180, 0.2, 0.15, 2)],
    "Lazio": [("Roma", 380, 0.6, 0.20, 8), ("Latina", 90, 0.1, 0.10, 6)],
    "Sicilia": [("Palermo", 150, -0.2, 0.25, 12), ("Catania", 140, 0.1, 0.22, 10), ("Messina", 70, -0.1, 0.20, 14)],
}
NOISE = 0.06  # noise as a share of the level
DEFAULT_OUT = os.path.join(os.path.dirname(__file__), "..", "python", "sorvani_kb", "datavisualization", "sample")


def normal(rng):
    """A standard normal draw from two uniform ones (Box-Muller), to depend on random() only."""
    u1, u2 = 1.0 - rng.random(), rng.random()
    return math.sqrt(-2.0 * math.log(u1)) * math.cos(2.0 * math.pi * u2)


def province(rng, level, trend, amplitude, phase):
    """Observed values (ints) over history and horizon; forecast means and sigmas in tenths."""
    signal = [
        level * (1 + amplitude * math.sin(2 * math.pi * (t + phase) / 52)) + trend * t for t in range(HISTORY + HORIZON)
    ]
    observed = [max(0, round(s + NOISE * level * normal(rng))) for s in signal]
    bias = 1 + 0.06 * (rng.random() - 0.5)
    means = [round(10 * signal[HISTORY + h] * bias) for h in range(HORIZON)]
    sigmas = [NOISE * level * math.sqrt(1 + h / 6) for h in range(1, HORIZON + 1)]
    return observed, means, sigmas


def series():
    """(id, observed, forecast means in tenths, sigmas) for every member, Italia first, each
    aggregate directly before its members."""
    rng = random.Random(SEED)
    out, totals = [], []
    for region, provinces in HIERARCHY.items():
        members = [("Italia/%s/%s" % (region, name), *province(rng, *spec)) for name, *spec in provinces]
        totals.append(("Italia/" + region, *aggregate(members)))
        out.append(totals[-1])
        out.extend(members)
    return [("Italia", *aggregate(totals))] + out


def aggregate(members):
    observed = [sum(col) for col in zip(*(m[1] for m in members))]
    means = [sum(col) for col in zip(*(m[2] for m in members))]
    sigmas = [math.sqrt(sum(s * s for s in col)) for col in zip(*(m[3] for m in members))]
    return observed, means, sigmas


def tenths(n):
    return "%d.%d" % divmod(n, 10)


def write(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    dates = [(START + dt.timedelta(weeks=t)).isoformat() for t in range(HISTORY + HORIZON)]
    with open(os.path.join(out_dir, "predictions.csv"), "w", newline="") as fh:
        w = csv.writer(fh, lineterminator="\n")
        w.writerow(["id", "date", "mean", "lower", "upper"])
        for ident, _, means, sigmas in series():
            for h, (mean, sigma) in enumerate(zip(means, sigmas)):
                half = round(10 * Z95 * sigma)
                w.writerow([ident, dates[HISTORY + h], tenths(mean), tenths(max(0, mean - half)), tenths(mean + half)])
    with open(os.path.join(out_dir, "observed.csv"), "w", newline="") as fh:
        w = csv.writer(fh, lineterminator="\n")
        w.writerow(["id", "date", "value"])
        for ident, observed, _, _ in series():
            w.writerows([ident, d, v] for d, v in zip(dates, observed))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--out", default=DEFAULT_OUT, help="folder to write into (default: the package's sample folder)"
    )
    write(os.path.normpath(parser.parse_args(argv).out))


if __name__ == "__main__":
    main()
