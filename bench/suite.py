#!/usr/bin/env python3
"""Benchmark suite: corvane_acp_native against its peers, in one table.

One command measures everything in the same run and prints a single table of
per-operation times and ratios, headed by the machine, the toolchain and the
performance targets (PASS or MISS):

* records: construction, attribute reads and writes and ``repr`` of ``Money``
  and ``RequestItem``, against the pure-Python ``__slots__`` classes of
  ``pyimpl.py``, two-field ``msgspec.Struct`` classes and CPython's ``complex``
  (the floor);
* engine: create, get, update, complete, cancel and the full checkout flow,
  against ``pyimpl.py``;
* scale: ``get_checkout_session`` latency with 10^3 to 10^6 sessions stored,
  the extra cost at 10^6 in units of one random memory read (a pointer chase
  over a buffer far larger than the caches, compiled with the system C
  compiler), and the resident memory per stored three-line session.

    python3 bench/suite.py               # full run (about two minutes)
    python3 bench/suite.py --quick       # smoke run (under half a minute)
    python3 bench/suite.py --markdown    # print the table as Markdown

Every figure is a median: of interleaved repeats, each sized by calibration
and preceded by an untimed warm-up, collected over several fresh worker
processes. Progress goes to stderr, the report to stdout.
"""

from __future__ import annotations

import argparse
import itertools
import json
import math
import os
import platform
import random
import statistics
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import bench_engine  # noqa: E402  (Fixture, rss_bytes and the memory child)

# ---------------------------------------------------------------------------
# Run settings
# ---------------------------------------------------------------------------


@dataclass(frozen=True)
class Settings:
    record_processes: int  # worker processes for the record micro-benchmarks
    record_rounds: int  # timed repeats of every statement per process
    record_target_s: float  # calibrated duration of one repeat
    engine_processes: int  # worker processes per implementation
    engine_rounds: int
    engine_target_s: float
    scale_processes: int  # fresh processes per store size
    scale_repeats: int  # repeats of the latency sample per process
    scale_samples: int  # single timed gets per repeat


FULL = Settings(
    record_processes=3,
    record_rounds=7,
    record_target_s=0.1,
    engine_processes=2,
    engine_rounds=7,
    engine_target_s=0.1,
    scale_processes=2,
    scale_repeats=9,
    scale_samples=20_000,
)
QUICK = Settings(
    record_processes=1,
    record_rounds=3,
    record_target_s=0.01,
    engine_processes=1,
    engine_rounds=3,
    engine_target_s=0.02,
    scale_processes=1,
    scale_repeats=3,
    scale_samples=5_000,
)

DEFAULT_SIZES = [10**3, 10**4, 10**5, 10**6]

# The statement of a record benchmark is repeated this many times per loop
# iteration, so the loop's own cost is spread thin; what is left of it is
# measured on an empty loop and subtracted.
UNROLL = 10

# ---------------------------------------------------------------------------
# Record micro-benchmarks
# ---------------------------------------------------------------------------

# (key, label, statement). In the namespace, Money and RequestItem are the
# classes under test, ``m`` is a Money(9900, "USD") and ``c`` is complex(1, 2).
RECORD_OPS: List[Tuple[str, str, str]] = [
    ("money_new", 'Money(9900, "USD")', 'Money(9900, "USD")'),
    ("item_new", 'RequestItem("prod_mouse_002", 2)', 'RequestItem("prod_mouse_002", 2)'),
    ("int_read", "money.amount (int read)", "m.amount"),
    ("text_read", "money.currency (text read)", "m.currency"),
    ("int_write", "money.amount = 9901 (int write)", "m.amount = 9901"),
    ("text_write", 'money.currency = "EUR" (text write)', 'm.currency = "EUR"'),
    ("repr", "repr(money)", "repr(m)"),
]
MSGSPEC_OPS = ("money_new", "item_new", "int_read")
EMPTY_LOOP = "loop:empty"
COMPLEX_OPS = {"money_new": "complex(1, 2)", "int_read": "c.real"}


def load_native() -> ModuleType:
    try:
        import corvane_acp_native
    except ImportError as exc:
        sys.exit(
            f"cannot import corvane_acp_native ({exc}); install it with "
            "`pip install .` from the project root"
        )
    return corvane_acp_native


def msgspec_classes() -> Optional[Tuple[type, type]]:
    """Two-field msgspec Structs with the same field names and types."""
    try:
        import msgspec
    except ImportError:
        return None

    class Money(msgspec.Struct):
        amount: int
        currency: str

    class RequestItem(msgspec.Struct):
        id: str
        quantity: int

    return Money, RequestItem


def record_jobs() -> Dict[str, Tuple[str, Dict[str, object]]]:
    """Every record benchmark as key -> (statement, namespace)."""
    import pyimpl

    jobs: Dict[str, Tuple[str, Dict[str, object]]] = {}
    peers: List[Tuple[str, Any, Any]] = [
        ("native", load_native().Money, load_native().RequestItem),
        ("pyimpl", pyimpl.Money, pyimpl.RequestItem),
    ]
    ms = msgspec_classes()
    if ms is not None:
        peers.append(("msgspec", ms[0], ms[1]))
    for peer, money, item in peers:
        for key, _label, stmt in RECORD_OPS:
            if peer == "msgspec" and key not in MSGSPEC_OPS:
                continue
            # A namespace of its own per job, so writes touch only their object.
            ns = {"Money": money, "RequestItem": item, "m": money(9900, "USD")}
            jobs[f"{peer}:{key}"] = (stmt, ns)
    for key, stmt in COMPLEX_OPS.items():
        jobs[f"complex:{key}"] = (stmt, {"complex": complex, "c": complex(1, 2)})
    jobs[EMPTY_LOOP] = ("pass", {})
    return jobs


def make_timer(stmt: str, ns: Dict[str, object], unroll: int = UNROLL) -> Callable[[int], float]:
    """A function timing ``number`` loop iterations of the unrolled statement.

    The namespace is bound to locals of the timing function (fast loads, as in
    a function body). The garbage collector stays enabled, as in real code.
    """
    glob = {f"_bench_{k}": v for k, v in ns.items()}
    setup = "\n".join(f"{k} = _bench_{k}" for k in ns) or "pass"
    timer = timeit.Timer("\n".join([stmt] * unroll), setup=setup, globals=glob)
    inner = timer.inner  # type: ignore[attr-defined]
    clock = time.perf_counter

    def run(number: int) -> float:
        return float(inner(itertools.repeat(None, number), clock))

    return run


def calibrate(run: Callable[[int], float], target_s: float) -> int:
    """Loop count for which one call of ``run`` takes about ``target_s``."""
    number = 1
    while True:
        elapsed = run(number)
        if elapsed >= target_s / 5 or number >= 1 << 30:
            return max(1, math.ceil(number * target_s / max(elapsed, 1e-9)))
        grow = target_s / 5 / max(elapsed, 1e-9)
        number *= int(min(max(grow * 1.2, 2), 100))


def child_records(cfg: Settings) -> Dict[str, Any]:
    jobs = record_jobs()
    # The empty loop runs a single ``pass`` (one NOP) per iteration: its time
    # divided by UNROLL is the loop's share in one statement of the others.
    runs = {
        key: make_timer(stmt, ns, 1 if key == EMPTY_LOOP else UNROLL)
        for key, (stmt, ns) in jobs.items()
    }
    numbers = {key: calibrate(run, cfg.record_target_s) for key, run in runs.items()}
    for key, run in runs.items():  # warm-up at full size
        run(numbers[key])
    keys = list(runs)
    values: Dict[str, List[float]] = {key: [] for key in keys}
    for rnd in range(cfg.record_rounds):
        # Interleaved rounds, each starting one job later, so a burst of
        # background load spreads over all jobs.
        shift = rnd % len(keys)
        for key in keys[shift:] + keys[:shift]:
            n = numbers[key]
            values[key].append(runs[key](n) / (n * UNROLL))
    return {"values": values}


# ---------------------------------------------------------------------------
# Engine benchmarks
# ---------------------------------------------------------------------------

ENGINE_OPS: List[Tuple[str, str]] = [
    ("create", "create_checkout_session (3 items)"),
    ("get", "get_checkout_session"),
    ("update", "update_checkout_session (customer)"),
    ("complete", "complete_checkout_session"),
    ("cancel", "cancel_checkout_session"),
    ("flow", "full flow: create, get, update, complete"),
]


def load_impl(name: str) -> ModuleType:
    if name == "native":
        return load_native()
    import pyimpl

    return pyimpl


def engine_benches(mod: ModuleType) -> Dict[str, Tuple[Callable[[int], Any], Callable[[Any], None]]]:
    """Each engine operation as (prepare(n) -> state, run(state)); run times n calls."""
    fx = bench_engine.Fixture(mod)
    client, items, customer, payment = fx.client, fx.items, fx.customer, fx.payment
    create = client.create_checkout_session
    get = client.get_checkout_session
    update = client.update_checkout_session
    complete = client.complete_checkout_session
    cancel = client.cancel_checkout_session
    rng = random.Random(1)

    # Separate pools, so the updates do not change what the gets copy out.
    get_pool = [create(items).id for _ in range(1_000)]
    update_pool = [create(items).id for _ in range(1_000)]
    for sid in update_pool:
        update(sid, customer=customer)

    def fresh(n: int, with_customer: bool) -> List[str]:
        ids = [create(items).id for _ in range(n)]
        if with_customer:
            for sid in ids:
                update(sid, customer=customer)
        return ids

    def run_create(st: range) -> None:
        for _ in st:
            create(items)

    def run_get(ids: List[str]) -> None:
        for sid in ids:
            get(sid)

    def run_update(ids: List[str]) -> None:
        for sid in ids:
            update(sid, customer=customer)

    def run_complete(ids: List[str]) -> None:
        for sid in ids:
            complete(sid, payment)

    def run_cancel(ids: List[str]) -> None:
        for sid in ids:
            cancel(sid)

    def run_flow(st: range) -> None:
        for _ in st:
            sid = create(items).id
            get(sid)
            update(sid, customer=customer)
            complete(sid, payment)

    return {
        "create": (range, run_create),
        "get": (lambda n: [rng.choice(get_pool) for _ in range(n)], run_get),
        "update": (lambda n: [rng.choice(update_pool) for _ in range(n)], run_update),
        # Completion follows an update with a customer, as in the flow.
        "complete": (lambda n: fresh(n, True), run_complete),
        "cancel": (lambda n: fresh(n, False), run_cancel),
        "flow": (range, run_flow),
    }


def child_engine(impl: str, cfg: Settings) -> Dict[str, Any]:
    benches = engine_benches(load_impl(impl))
    clock = time.perf_counter

    def timed(key: str, n: int) -> float:
        prepare, run = benches[key]
        state = prepare(n)
        t0 = clock()
        run(state)
        return clock() - t0

    numbers: Dict[str, int] = {}
    for key in benches:
        numbers[key] = calibrate(lambda n, key=key: timed(key, n), cfg.engine_target_s)
        timed(key, numbers[key])  # warm-up at full size
    keys = list(benches)
    values: Dict[str, List[float]] = {key: [] for key in keys}
    for rnd in range(cfg.engine_rounds):
        shift = rnd % len(keys)
        for key in keys[shift:] + keys[:shift]:
            values[key].append(timed(key, numbers[key]) / numbers[key])
    return {"values": values, "numbers": numbers}


# ---------------------------------------------------------------------------
# Lookup latency by store size
# ---------------------------------------------------------------------------


def big_mappings_kib() -> Tuple[int, int]:
    """Resident KiB of the process's mappings of 4 MiB and more, and how much of
    that transparent huge pages back (AnonHugePages), from /proc/self/smaps:
    with a big store that is the session table (and, past 60% load, the next
    one mapped ahead of its doubling). (0, 0) where there is no smaps."""
    resident = huge = 0
    size = rss = 0
    try:
        with open("/proc/self/smaps") as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key == "Size":
                    size = int(rest.split()[0])
                elif key == "Rss":
                    rss = int(rest.split()[0])
                elif key == "AnonHugePages" and size >= 4096:
                    resident += rss
                    huge += int(rest.split()[0])
    except OSError:
        pass
    return resident, huge


def child_scale(sessions: int, cfg: Settings) -> Dict[str, Any]:
    """get_checkout_session latency with ``sessions`` three-line sessions stored.

    Single calls on randomly chosen existing ids are timed one by one; each
    repeat takes the median minus the median cost of an empty timer pair. A
    plain loop over the same ids gives the batched mean as a cross-check.
    """
    fx = bench_engine.Fixture(load_native())
    create = fx.client.create_checkout_session
    get = fx.client.get_checkout_session
    items = fx.items
    t0 = time.perf_counter()
    ids = [create(items).id for _ in range(sessions)]
    fill_s = time.perf_counter() - t0
    table_kib, table_huge_kib = big_mappings_kib()

    rng = random.Random(2)
    for _ in range(1_000):  # warm-up
        get(ids[rng.randrange(sessions)])
    pc = time.perf_counter_ns
    medians: List[float] = []
    batched: List[float] = []
    singles: List[float] = []
    for _ in range(cfg.scale_repeats):
        # Fresh copies of the chosen ids, allocated in sample order: the id
        # strings a large fill leaves scattered over the heap would otherwise
        # add a cache miss of their own to every call, which is the caller's
        # memory and not the store's.
        sample = [ids[rng.randrange(sessions)].encode().decode()
                  for _ in range(cfg.scale_samples)]
        empty = []
        for _ in sample:
            a = pc()
            b = pc()
            empty.append(b - a)
        overhead = statistics.median(empty)
        timed = []
        for sid in sample:
            a = pc()
            get(sid)
            b = pc()
            timed.append(b - a)
        medians.append(max(statistics.median(timed) - overhead, 0.0))
        singles.extend(t - overhead for t in timed)
        a = pc()
        for sid in sample:
            get(sid)
        batched.append((pc() - a) / len(sample))
    singles.sort()
    return {
        "sessions": sessions,
        "fill_s": fill_s,
        "table_kib": table_kib,
        "table_huge_kib": table_huge_kib,
        "median_ns": medians,
        "batched_ns": batched,
        "p99_ns": singles[int(len(singles) * 0.99)],
    }


# ---------------------------------------------------------------------------
# The floor: one random memory read
# ---------------------------------------------------------------------------

# A pointer chase over a buffer far larger than the caches: one index per
# 64-byte line, the lines linked into a single random cycle, so every load
# depends on the one before and lands on a line (and usually a page) that no
# cache holds. Plain C in the subset that g++ also accepts.
CHASE_SOURCE = r"""
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static uint64_t rng = 0x9E3779B97F4A7C15ull;
static uint64_t next_random(void) {
    rng ^= rng << 13; rng ^= rng >> 7; rng ^= rng << 17;
    return rng;
}

int main(int argc, char **argv) {
    size_t mib = argc > 1 ? strtoull(argv[1], NULL, 10) : 512;
    size_t loads = argc > 2 ? strtoull(argv[2], NULL, 10) : 2000000;
    int rounds = argc > 3 ? atoi(argv[3]) : 7;
    const size_t stride = 64 / sizeof(size_t);
    size_t lines = mib * 1024 * 1024 / 64;
    size_t *buf = (size_t *)malloc(lines * 64);
    size_t *order = (size_t *)malloc(lines * sizeof(size_t));
    if (buf == NULL || order == NULL || lines < 2) return 1;
    memset(buf, 0, lines * 64);
    for (size_t i = 0; i < lines; ++i) order[i] = i;
    for (size_t i = lines - 1; i > 0; --i) {  /* Fisher-Yates */
        size_t j = (size_t)(next_random() % (i + 1));
        size_t t = order[i]; order[i] = order[j]; order[j] = t;
    }
    for (size_t i = 0; i < lines; ++i)
        buf[order[i] * stride] = order[(i + 1) % lines] * stride;
    free(order);
    size_t p = 0;
    for (size_t i = 0; i < loads; ++i) p = buf[p];  /* warm-up */
    for (int r = 0; r < rounds; ++r) {
        struct timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        for (size_t i = 0; i < loads; ++i) p = buf[p];
        clock_gettime(CLOCK_MONOTONIC, &b);
        double ns = (double)(b.tv_sec - a.tv_sec) * 1e9 + (double)(b.tv_nsec - a.tv_nsec);
        printf("%.3f\n", ns / (double)loads);
    }
    fprintf(stderr, "end %zu\n", p);  /* keeps the chase observable */
    free(buf);
    return 0;
}
"""

CHASE_MIB = 256
CHASE_LOADS = {False: 2_000_000, True: 500_000}  # per round, by --quick
CHASE_ROUNDS = {False: 7, True: 3}


def memory_read_ns(quick: bool) -> Optional[float]:
    """Median nanoseconds per dependent load of the pointer chase, or None.

    The chase is compiled with the system C (or C++) compiler into a temporary
    directory; without a compiler, or if it fails, there is no figure.
    """
    import shutil
    import tempfile

    compilers = [(c, lang) for c, lang in (("cc", "c"), ("gcc", "c"), ("g++", "c++"))
                 if shutil.which(c)]
    if not compilers:
        return None
    with tempfile.TemporaryDirectory(prefix="chase-") as tmp:
        src = os.path.join(tmp, "chase.c")
        exe = os.path.join(tmp, "chase")
        with open(src, "w") as f:
            f.write(CHASE_SOURCE)
        for cc, lang in compilers:
            built = subprocess.run([cc, "-O2", "-x", lang, src, "-o", exe],
                                   capture_output=True, text=True)
            if built.returncode == 0:
                break
        else:
            return None
        args = [str(CHASE_MIB), str(CHASE_LOADS[quick]), str(CHASE_ROUNDS[quick])]
        run = subprocess.run([exe, *args], capture_output=True, text=True)
        if run.returncode != 0:
            return None
        try:
            values = [float(v) for v in run.stdout.split()]
        except ValueError:
            return None
    return statistics.median(values) if values else None


# ---------------------------------------------------------------------------
# Child processes
# ---------------------------------------------------------------------------


def run_child(argv: Sequence[str], script: str = __file__) -> Dict[str, Any]:
    cmd = [sys.executable, os.path.abspath(script), *argv]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        raise RuntimeError(f"benchmark child failed ({proc.returncode}): {' '.join(argv)}")
    result: Dict[str, Any] = json.loads(proc.stdout.strip().splitlines()[-1])
    return result


def child_main(args: argparse.Namespace) -> int:
    cfg = QUICK if args.quick else FULL
    if args.child == "records":
        out = child_records(cfg)
    elif args.child == "engine":
        out = child_engine(args.impl, cfg)
    else:
        out = child_scale(args.sessions, cfg)
    print(json.dumps(out))
    return 0


def progress(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def merge_values(results: Sequence[Dict[str, Any]]) -> Dict[str, List[float]]:
    merged: Dict[str, List[float]] = {}
    for res in results:
        for key, vals in res["values"].items():
            merged.setdefault(key, []).extend(vals)
    return merged


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------


def fmt_time(seconds: Optional[float]) -> str:
    if seconds is None:
        return "-"
    if seconds < 1e-6:
        return f"{seconds * 1e9:.1f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e3:.2f} ms"


def fmt_ratio(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:.2f}"


def fmt_pow10(n: int) -> str:
    exp = round(math.log10(n)) if n > 0 else 0
    return f"10^{exp}" if 10**exp == n else f"{n:,}"


@dataclass
class Target:
    label: str
    value: Optional[float]
    limit: float
    at_most: bool  # True: value <= limit passes; False: value >= limit passes
    unit: str = "×"

    @property
    def verdict(self) -> str:
        if self.value is None:
            return "n/a"
        ok = self.value <= self.limit if self.at_most else self.value >= self.limit
        return "PASS" if ok else "MISS"

    def rule(self) -> str:
        sign = "≤" if self.at_most else "≥"
        limit = f"{self.limit:g}" if self.unit != "×" else f"{self.limit:.2f}"
        return f"{sign} {limit}{' ' + self.unit if self.unit == 'B' else ''}"

    def cell(self) -> str:
        return f"{self.rule()}: {self.verdict}"

    def summary(self) -> str:
        got = "-" if self.value is None else (
            f"{self.value:.0f} B" if self.unit == "B" else f"{self.value:.2f}"
        )
        return f"{self.label} {self.rule()} → {got} {self.verdict}"


Row = Tuple[str, str, str, str, str, str, str, str]
HEADERS = ("group", "operation", "native", "compared with", "its time",
           "native/peer", "peer/native", "target")


def comparison_row(group: str, op: str, native: Optional[float], peer: str,
                   other: Optional[float], target: Optional[Target] = None) -> Row:
    ok = native is not None and other is not None and native > 0 and other > 0
    return (
        group,
        op,
        fmt_time(native),
        peer,
        fmt_time(other),
        fmt_ratio(native / other) if ok else "-",  # type: ignore[operator]
        fmt_ratio(other / native) if ok else "-",  # type: ignore[operator]
        target.cell() if target else "",
    )


def print_table(rows: Sequence[Row], markdown: bool) -> None:
    if markdown:
        print("| " + " | ".join(HEADERS) + " |")
        print("|" + "|".join("---" if i < 2 or i == 3 or i == 7 else "---:"
                             for i in range(len(HEADERS))) + "|")
        for r in rows:
            print("| " + " | ".join(c.replace("|", "\\|").replace("_", "\\_") for c in r) + " |")
        return
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(HEADERS)]
    right = {2, 4, 5, 6}

    def fmt(cells: Sequence[str]) -> str:
        return "  ".join(c.rjust(widths[i]) if i in right else c.ljust(widths[i])
                         for i, c in enumerate(cells)).rstrip()

    head = fmt(HEADERS)
    print(head)
    print("-" * len(head))
    for r in rows:
        print(fmt(r))


def machine_line(native_version: str) -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        cxx = subprocess.run(["g++", "--version"], capture_output=True, text=True,
                             check=True).stdout.splitlines()[0]
    except (OSError, subprocess.CalledProcessError, IndexError):
        cxx = "g++ not found"
    try:
        import msgspec

        peers = f"msgspec {msgspec.__version__}"
    except ImportError:
        peers = "msgspec not installed"
    return (f"machine: {cpu}, {os.cpu_count()} cores | compiler: {cxx} | "
            f"Python {platform.python_version()} ({platform.python_implementation()}) | "
            f"corvane_acp_native {native_version} | {peers}")


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        description="corvane_acp_native benchmark suite: one table, peers measured in the same run"
    )
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: fewer processes, repeats and samples (under 30 s)")
    parser.add_argument("--markdown", action="store_true", help="print the report as Markdown")
    parser.add_argument(
        "--sizes",
        type=lambda s: [int(float(x)) for x in s.split(",")],
        help="comma-separated store sizes for the lookup latency (default 1e3,1e4,1e5,1e6); "
        "the memory figure uses the largest",
    )
    parser.add_argument("--verbose", action="store_true",
                        help="also print min/median/max of every measurement to stderr")
    parser.add_argument("--child", choices=("records", "engine", "scale"), help=argparse.SUPPRESS)
    parser.add_argument("--impl", choices=("native", "pyimpl"), default="native",
                        help=argparse.SUPPRESS)
    parser.add_argument("--sessions", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        return child_main(args)

    native_version = load_native().version()
    cfg = QUICK if args.quick else FULL
    sizes = sorted(set(args.sizes or DEFAULT_SIZES))
    quick = ["--quick"] if args.quick else []
    started = time.monotonic()
    load_before = os.getloadavg()[0]

    # Records: every peer in the same worker processes, interleaved.
    rec_results = []
    for i in range(cfg.record_processes):
        progress(f"[records: process {i + 1}/{cfg.record_processes}] ...")
        rec_results.append(run_child(["--child", "records", *quick]))
    rec_vals = merge_values(rec_results)
    rec = {key: statistics.median(v) for key, v in rec_vals.items()}
    loop_share = rec.pop(EMPTY_LOOP)  # per statement: already divided by UNROLL
    rec = {key: max(v - loop_share, 0.0) for key, v in rec.items()}

    # Engine: a fresh process per implementation, alternating.
    eng_results: Dict[str, List[Dict[str, Any]]] = {"native": [], "pyimpl": []}
    for i in range(cfg.engine_processes):
        for impl in ("native", "pyimpl"):
            progress(f"[engine: {impl}, process {i + 1}/{cfg.engine_processes}] ...")
            eng_results[impl].append(run_child(["--child", "engine", "--impl", impl, *quick]))
    eng_vals = {impl: merge_values(res) for impl, res in eng_results.items()}
    eng = {impl: {key: statistics.median(v) for key, v in vals.items()}
           for impl, vals in eng_vals.items()}

    # Scale: a fresh process per store size (the store never shrinks).
    scale_raw: Dict[int, Dict[str, List[float]]] = {
        n: {"median_ns": [], "batched_ns": [], "p99_ns": []} for n in sizes
    }
    table_pages: Dict[int, Tuple[int, int]] = {}  # size -> (resident, on huge pages) in KiB
    for i in range(cfg.scale_processes):
        for n in sizes:
            progress(f"[scale: {n:,} sessions, process {i + 1}/{cfg.scale_processes}] ...")
            res = run_child(["--child", "scale", "--sessions", str(n), *quick])
            scale_raw[n]["median_ns"].extend(res["median_ns"])
            scale_raw[n]["batched_ns"].extend(res["batched_ns"])
            scale_raw[n]["p99_ns"].append(res["p99_ns"])
            table_pages[n] = (res["table_kib"], res["table_huge_kib"])
    scale = {n: {k: statistics.median(v) for k, v in d.items()} for n, d in scale_raw.items()}

    progress(f"[floor: random memory read, {CHASE_MIB} MiB pointer chase] ...")
    read_ns = memory_read_ns(args.quick)

    mem_n = max(sizes)
    progress(f"[memory: {mem_n:,} sessions] ...")
    mem = bench_engine.run_child(
        ["--child", "memory", "--impl", "native", "--sessions", str(mem_n)]
    )
    elapsed = time.monotonic() - started
    load_after = os.getloadavg()[0]

    if args.verbose:
        for title, vals_by in (("records", {"": rec_vals}), ("engine", eng_vals)):
            for prefix, vals in vals_by.items():
                for key, v in vals.items():
                    progress(f"{title} {prefix}{':' if prefix else ''}{key}: "
                             f"min {min(v) * 1e9:.1f} med {statistics.median(v) * 1e9:.1f} "
                             f"max {max(v) * 1e9:.1f} ns (n={len(v)})")
        for n, d in scale_raw.items():
            progress(f"scale {n}: medians {[round(x) for x in d['median_ns']]}, "
                     f"batched {[round(x) for x in d['batched_ns']]}")

    # Targets.
    def rget(key: str) -> Optional[float]:
        return rec.get(key)

    def quotient(a: Optional[float], b: Optional[float]) -> Optional[float]:
        return None if a is None or b is None or b == 0 else a / b

    t_money = Target('Money() vs msgspec', quotient(rget("native:money_new"),
                                                  rget("msgspec:money_new")), 1.0, True)
    t_item = Target('RequestItem() vs msgspec', quotient(rget("native:item_new"),
                                                       rget("msgspec:item_new")), 1.0, True)
    t_read = Target("int read vs complex.real", quotient(rget("native:int_read"),
                                                        rget("complex:int_read")), 1.1, True)
    t_flow = Target("full flow speed-up vs pyimpl",
                    quotient(eng["pyimpl"].get("flow"), eng["native"].get("flow")), 10.0, False)
    small, large = 10**3, 10**6
    # What a lookup in a big store costs beyond one in a small one, counted in
    # random memory reads: about one is the floor for a table the caches cannot hold.
    delta_ns = (scale[large]["median_ns"] - scale[small]["median_ns"]
                if small in scale and large in scale else None)
    t_floor = Target("get 10^6 − get 10^3 in random reads",
                     quotient(delta_ns, read_ns), 1.25, True)
    t_mem = Target("bytes per session", mem["bytes_per_session"], 256, True, unit="B")
    targets = [t_money, t_item, t_read, t_flow, t_floor, t_mem]

    # Table.
    rows: List[Row] = []
    for key, label, _stmt in RECORD_OPS:
        native = rget(f"native:{key}")
        rows.append(comparison_row("records", label, native, "pyimpl (__slots__)",
                                   rget(f"pyimpl:{key}")))
        if key in MSGSPEC_OPS:
            tgt = {"money_new": t_money, "item_new": t_item}.get(key)
            rows.append(comparison_row("records", label, native, "msgspec.Struct",
                                       rget(f"msgspec:{key}"), tgt))
        if key in COMPLEX_OPS:
            floor = "complex(1, 2)" if key == "money_new" else "complex(1, 2).real (floor)"
            rows.append(comparison_row("records", label, native, floor,
                                       rget(f"complex:{key}"),
                                       t_read if key == "int_read" else None))
    for key, label in ENGINE_OPS:
        rows.append(comparison_row("engine", label, eng["native"].get(key), "pyimpl",
                                   eng["pyimpl"].get(key), t_flow if key == "flow" else None))
    base = scale.get(small)
    for n in sizes:
        ns = scale[n]["median_ns"] * 1e-9
        label = f"get, {fmt_pow10(n)} sessions stored (median)"
        if n == small or base is None:
            rows.append(comparison_row("scale", label, ns, "-", None))
        else:
            rows.append(comparison_row("scale", label, ns, f"get, {fmt_pow10(small)} stored",
                                       base["median_ns"] * 1e-9))
    rows.append(comparison_row("scale", f"random memory read ({CHASE_MIB} MiB pointer chase)",
                               None if read_ns is None else read_ns * 1e-9, "-", None))
    rows.append(comparison_row("scale", f"get, {fmt_pow10(large)} minus {fmt_pow10(small)} stored",
                               None if delta_ns is None else delta_ns * 1e-9,
                               "random memory read",
                               None if read_ns is None else read_ns * 1e-9, t_floor))
    rows.append(("memory", f"RSS growth per stored 3-line session ({fmt_pow10(mem_n)})",
                 f"{mem['bytes_per_session']:.0f} B", "-", "-", "-", "-", t_mem.cell()))

    mode = "quick" if args.quick else "full"
    header = machine_line(native_version)
    target_line = "targets: " + " | ".join(t.summary() for t in targets)
    method = (
        f"{mode} run in {elapsed:.0f} s; load average {load_before:.2f} before, "
        f"{load_after:.2f} after. Times are medians per operation. "
        f"records: {cfg.record_processes} process(es) × {cfg.record_rounds} interleaved "
        f"repeats of ~{cfg.record_target_s * 1e3:.0f} ms, statement unrolled ×{UNROLL}, "
        f"empty-loop share ({loop_share * 1e9:.2f} ns) subtracted. "
        f"engine: {cfg.engine_processes} process(es) per implementation × "
        f"{cfg.engine_rounds} repeats of ~{cfg.engine_target_s * 1e3:.0f} ms. "
        f"scale: {cfg.scale_processes} fresh process(es) per size × {cfg.scale_repeats} × "
        f"{cfg.scale_samples:,} single timed gets of random ids, timer cost subtracted; "
        + ", ".join(f"{fmt_pow10(n)}: p99 {scale[n]['p99_ns']:.0f} ns, "
                    f"batched mean {scale[n]['batched_ns']:.0f} ns" for n in sizes)
        + ". transparent huge pages (AnonHugePages of the resident memory in mappings of 4 MiB and more, "
        "from /proc/self/smaps, in the last process of each size): "
        + ", ".join(f"{fmt_pow10(n)}: {table_pages[n][1] / 1024:.0f} of {table_pages[n][0] / 1024:.0f} MiB"
                    for n in sizes)
        + f". floor: a dependent-load chase over {CHASE_MIB} MiB in random 64-byte lines, "
        f"median of {CHASE_ROUNDS[args.quick]} × {CHASE_LOADS[args.quick]:,} loads"
        + ("" if read_ns is not None else " (no C compiler: not measured)")
        + ". native/peer < 1 and peer/native > 1 mean the native module is faster."
    )
    if args.markdown:
        print(header.replace(" | ", " · ") + "\n")
        print(target_line.replace(" | ", " · ") + "\n")
        print_table(rows, markdown=True)
        print(f"\n{method}")
    else:
        print(header)
        print(target_line)
        print()
        print_table(rows, markdown=False)
        print()
        print(method)
    return 0


if __name__ == "__main__":
    sys.exit(main())
