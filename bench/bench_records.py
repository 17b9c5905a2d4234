#!/usr/bin/env python3
"""Micro-benchmark of the record classes: construction and attribute access.

Times the same statements against corvane_acp_native and against the pure-Python
baseline in pyimpl.py, and prints the median time per operation in nanoseconds
with the native/pure-Python ratio. A read of ``complex(1, 2).real`` (a C-level
member read, the cheapest attribute access CPython offers) is shown as a floor.

    python3 bench/bench_records.py            # full run (about a minute)
    python3 bench/bench_records.py --quick    # smoke run (a few seconds)
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import timeit
from types import ModuleType
from typing import Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

# (label, statement). The namespace provides Money, RequestItem, a Money ``m``
# and a RequestItem ``r``, all from the implementation under test.
CASES: List[Tuple[str, str]] = [
    ("Money(9900, 'USD')", "Money(9900, 'USD')"),
    ("RequestItem('prod_mouse_002', 2)", "RequestItem('prod_mouse_002', 2)"),
    ("money.amount (read)", "m.amount"),
    ("item.quantity (read)", "r.quantity"),
    ("money.currency (read)", "m.currency"),
    ("item.id (read)", "r.id"),
    ("money.amount = 9901 (write)", "m.amount = 9901"),
    ("repr(money)", "repr(m)"),
]

FLOOR_LABEL = "complex(1, 2).real (floor)"
FLOOR_STMT = "c.real"


def load_impl(name: str) -> ModuleType:
    if name == "native":
        try:
            import corvane_acp_native
        except ImportError as exc:
            sys.exit(
                f"cannot import corvane_acp_native ({exc}); install it with "
                "`pip install .` from the project root, or pass --impl pyimpl"
            )
        return corvane_acp_native
    import pyimpl

    return pyimpl


def namespace(mod: ModuleType) -> Dict[str, object]:
    return {
        "Money": mod.Money,
        "RequestItem": mod.RequestItem,
        "m": mod.Money(9900, "USD"),
        "r": mod.RequestItem("prod_mouse_002", 2),
    }


def measure(jobs: Dict[str, Tuple[str, Dict[str, object]]], quick: bool) -> Dict[str, float]:
    """Median time of one execution of each job's statement, in nanoseconds.

    The repeats are interleaved (one repeat of every job per round), so a burst
    of background load spreads over all jobs instead of skewing one of them.
    """
    timers = {key: timeit.Timer(stmt, globals=dict(ns)) for key, (stmt, ns) in jobs.items()}
    if quick:
        numbers = {key: 20_000 for key in timers}
        rounds = 3
    else:
        # Size each repeat to take about 0.2 s; take the median of 7 rounds.
        numbers = {key: max(t.autorange()[0], 100_000) for key, t in timers.items()}
        rounds = 7
    samples: Dict[str, List[float]] = {key: [] for key in timers}
    for _ in range(rounds):
        for key, timer in timers.items():
            number = numbers[key]
            samples[key].append(timer.timeit(number) / number * 1e9)
    return {key: statistics.median(values) for key, values in samples.items()}


def fmt_ns(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:,.1f}"


def fmt_ratio(native: Optional[float], py: Optional[float]) -> str:
    if native is None or py is None or py == 0:
        return "-"
    return f"{native / py:.2f}"


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="fast smoke run with few iterations")
    parser.add_argument(
        "--impl",
        choices=("both", "native", "pyimpl"),
        default="both",
        help="which implementation(s) to time (default: both)",
    )
    args = parser.parse_args(argv)

    impls = ["native", "pyimpl"] if args.impl == "both" else [args.impl]
    modules = {name: load_impl(name) for name in impls}

    print(f"Python {platform.python_version()} ({platform.python_implementation()}), "
          f"{platform.machine()}, {os.cpu_count()} CPUs")
    if "native" in modules:
        print(f"corvane_acp_native {modules['native'].version()}")
    mode = "quick: 3 rounds x 20,000" if args.quick else "7 interleaved rounds, >=0.2 s each"
    print(f"timeit, median of repeats ({mode}); times per operation in ns\n")

    jobs: Dict[str, Tuple[str, Dict[str, object]]] = {}
    for name, mod in modules.items():
        ns = namespace(mod)
        for label, stmt in CASES:
            jobs[f"{name}:{label}"] = (stmt, ns)
    jobs["floor"] = (FLOOR_STMT, {"c": complex(1, 2)})
    jobs["overhead"] = ("pass", {})
    timed = measure(jobs, args.quick)
    results: Dict[str, Dict[str, float]] = {
        name: {label: timed[f"{name}:{label}"] for label, _ in CASES} for name in impls
    }
    floor = timed["floor"]
    overhead = timed["overhead"]

    headers = ("operation", "native ns", "pyimpl ns", "native/py")
    rows: List[Tuple[str, str, str, str]] = []
    for label, _ in CASES:
        native = results.get("native", {}).get(label)
        py = results.get("pyimpl", {}).get(label)
        rows.append((label, fmt_ns(native), fmt_ns(py), fmt_ratio(native, py)))
    rows.append((FLOOR_LABEL, fmt_ns(floor), fmt_ns(floor), "-"))

    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
    line = "  ".join(
        h.ljust(widths[i]) if i == 0 else h.rjust(widths[i]) for i, h in enumerate(headers)
    )
    print(line)
    print("-" * len(line))
    for r in rows:
        print("  ".join(c.ljust(widths[i]) if i == 0 else c.rjust(widths[i]) for i, c in enumerate(r)))
    print(f"\ntimeit loop overhead (`pass`): {overhead:.1f} ns per iteration, included above")
    print("native/py < 1 means the native module is faster")
    return 0


if __name__ == "__main__":
    sys.exit(main())
