#!/usr/bin/env python3
"""Benchmark of the checkout engine: throughput, lookup latency, memory.

For corvane_acp_native and for the pure-Python baseline in pyimpl.py it measures

* throughput (operations per second) of create (three items), get, a create+get
  pair, and the full flow: create with three items, get, update with a customer,
  complete with a payment request;
* get_checkout_session latency (median over many gets of random existing ids)
  with 10^3, 10^5 and 10^6 sessions stored;
* memory per stored three-line session: growth of the resident set size
  (/proc/self/statm) divided by the number of sessions created, with the objects
  the client returned dropped at once.

The session store is process-wide and never shrinks, so every measurement runs
in a fresh subprocess of this script.

    python3 bench/bench_engine.py            # full run (a few minutes)
    python3 bench/bench_engine.py --quick    # smoke run (10^3 and 10^4 sessions)
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time
from types import ModuleType
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

IMPLS = ("native", "pyimpl")
THREE_ITEMS = (("prod_laptop_001", 1), ("prod_mouse_002", 2), ("prod_keyboard_003", 1))


def load_impl(name: str) -> ModuleType:
    if name == "native":
        import corvane_acp_native

        return corvane_acp_native
    import pyimpl

    return pyimpl


class Fixture:
    """A client and the arguments every benchmark passes to it."""

    def __init__(self, mod: ModuleType) -> None:
        self.mod = mod
        self.client = mod.AcpClient()
        self.items = [mod.RequestItem(pid, qty) for pid, qty in THREE_ITEMS]
        billing = mod.Address(
            name="Ada Lovelace",
            line1="12 St James's Square",
            city="London",
            postal_code="SW1Y 4JH",
            country="GB",
            email="ada@example.com",
        )
        shipping = mod.Address(
            name="Ada Lovelace",
            line1="500 Market Street",
            city="San Francisco",
            region="CA",
            postal_code="94105",
            country="US",
        )
        self.customer = mod.Customer(billing, shipping)
        self.payment = mod.PaymentRequest(delegated_token="tok_bench", method="card")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


# ---------------------------------------------------------------------------
# Child measurements (each runs in its own process and prints one JSON object)
# ---------------------------------------------------------------------------


def child_throughput(mod: ModuleType, quick: bool) -> Dict[str, Any]:
    fx = Fixture(mod)
    client, items, customer, payment = fx.client, fx.items, fx.customer, fx.payment
    create = client.create_checkout_session
    get = client.get_checkout_session
    update = client.update_checkout_session
    complete = client.complete_checkout_session

    batch = 2_000 if quick else 20_000
    repeat = 3 if quick else 7
    rng = random.Random(1)

    pool = [create(items).id for _ in range(1_000)]  # also warms the store up
    get_ids = [rng.choice(pool) for _ in range(batch)]
    loop = range(batch)

    def run_create() -> None:
        for _ in loop:
            create(items)

    def run_get() -> None:
        for sid in get_ids:
            get(sid)

    def run_pair() -> None:
        for _ in loop:
            get(create(items).id)

    def run_flow() -> None:
        for _ in loop:
            sid = create(items).id
            get(sid)
            update(sid, customer=customer)
            complete(sid, payment)

    benches: List[Tuple[str, Callable[[], None]]] = [
        ("create", run_create),
        ("get", run_get),
        ("create+get", run_pair),
        ("flow", run_flow),
    ]
    out: Dict[str, Any] = {}
    for name, fn in benches:
        times = []
        for _ in range(repeat):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
        out[name] = batch / statistics.median(times)
    return out


def child_latency(mod: ModuleType, sessions: int, quick: bool) -> Dict[str, Any]:
    fx = Fixture(mod)
    create = fx.client.create_checkout_session
    get = fx.client.get_checkout_session
    items = fx.items

    t0 = time.perf_counter()
    ids = [create(items).id for _ in range(sessions)]
    fill_s = time.perf_counter() - t0

    samples = 5_000 if quick else 20_000
    rng = random.Random(2)
    sample = [ids[rng.randrange(sessions)] for _ in range(samples)]
    for sid in sample[:1_000]:  # warm-up
        get(sid)

    pc = time.perf_counter_ns
    empty = []
    for _ in range(samples):
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
    timed.sort()

    t1 = time.perf_counter_ns()
    for sid in sample:
        get(sid)
    batched = (time.perf_counter_ns() - t1) / samples

    return {
        "sessions": sessions,
        "fill_s": fill_s,
        "median_ns": max(statistics.median(timed) - overhead, 0.0),
        "p99_ns": max(timed[int(len(timed) * 0.99)] - overhead, 0.0),
        "batched_ns": batched,
        "timer_overhead_ns": overhead,
    }


def child_memory(mod: ModuleType, sessions: int) -> Dict[str, Any]:
    fx = Fixture(mod)
    create = fx.client.create_checkout_session
    items = fx.items
    create(items)  # the store exists from here on
    gc.collect()
    before = rss_bytes()
    for _ in range(sessions):
        create(items)
    gc.collect()
    after = rss_bytes()
    return {
        "sessions": sessions,
        "rss_before": before,
        "rss_after": after,
        "bytes_per_session": (after - before) / sessions,
    }


def run_child(argv: Sequence[str]) -> Dict[str, Any]:
    cmd = [sys.executable, os.path.abspath(__file__), *argv]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        raise RuntimeError(f"benchmark child failed ({proc.returncode}): {' '.join(argv)}")
    result: Dict[str, Any] = json.loads(proc.stdout.strip().splitlines()[-1])
    return result


def child_main(args: argparse.Namespace) -> int:
    mod = load_impl(args.impl)
    if args.child == "throughput":
        out = child_throughput(mod, args.quick)
    elif args.child == "latency":
        out = child_latency(mod, args.sessions, args.quick)
    else:
        out = child_memory(mod, args.sessions)
    print(json.dumps(out))
    return 0


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------


def table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]

    def fmt(cells: Sequence[str]) -> str:
        return "  ".join(
            c.ljust(widths[i]) if i == 0 else c.rjust(widths[i]) for i, c in enumerate(cells)
        )

    head = fmt(headers)
    print(head)
    print("-" * len(head))
    for r in rows:
        print(fmt(r))
    print()


def ratio(native: Optional[float], py: Optional[float]) -> str:
    if native is None or py is None or py == 0:
        return "-"
    return f"{native / py:.2f}"


def num(value: Optional[float], fmt: str = "{:,.0f}") -> str:
    return "-" if value is None else fmt.format(value)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Checkout engine benchmark")
    parser.add_argument("--quick", action="store_true", help="small smoke run")
    parser.add_argument("--impl", choices=("both", *IMPLS), default="both")
    parser.add_argument(
        "--sizes",
        type=lambda s: [int(float(x)) for x in s.split(",")],
        help="comma-separated store sizes for the latency runs (default 1e3,1e5,1e6; "
        "quick: 1e3,1e4)",
    )
    parser.add_argument(
        "--memory-sessions",
        type=int,
        help="sessions created for the memory figure (default 200000; quick: 20000)",
    )
    parser.add_argument("--child", choices=("throughput", "latency", "memory"), help=argparse.SUPPRESS)
    parser.add_argument("--sessions", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        return child_main(args)

    impls = list(IMPLS) if args.impl == "both" else [args.impl]
    if "native" in impls:
        try:
            import corvane_acp_native
        except ImportError as exc:
            sys.exit(
                f"cannot import corvane_acp_native ({exc}); install it with "
                "`pip install .` from the project root, or pass --impl pyimpl"
            )
        native_version = corvane_acp_native.version()
    else:
        native_version = None
    sizes = args.sizes or ([10**3, 10**4] if args.quick else [10**3, 10**5, 10**6])
    mem_n = args.memory_sessions or (20_000 if args.quick else 200_000)
    quick = ["--quick"] if args.quick else []

    print(f"Python {platform.python_version()} ({platform.python_implementation()}), "
          f"{platform.machine()}, {os.cpu_count()} CPUs")
    if native_version:
        print(f"corvane_acp_native {native_version}")
    print("each figure measured in a fresh subprocess\n")

    # Throughput.
    thr: Dict[str, Dict[str, float]] = {}
    for impl in impls:
        print(f"[throughput: {impl}] ...", file=sys.stderr, flush=True)
        thr[impl] = run_child(["--child", "throughput", "--impl", impl, *quick])
    labels = [
        ("create", "create (3 items)"),
        ("get", "get"),
        ("create+get", "create + get pair"),
        ("flow", "full flow (create, get, update, complete)"),
    ]
    rows: List[Tuple[str, ...]] = []
    for key, label in labels:
        n = thr.get("native", {}).get(key)
        p = thr.get("pyimpl", {}).get(key)
        rows.append((label, num(n), num(p), ratio(p, n), num(1e6 / n if n else None, "{:,.2f}")))
    print("Throughput (operations per second, median of repeats; native/py = time ratio,")
    print("below 1 when the native module is faster)")
    table(("operation", "native ops/s", "pyimpl ops/s", "native/py", "native us/op"), rows)

    # Latency of get_checkout_session by store size.
    rows = []
    for size in sizes:
        res: Dict[str, Dict[str, Any]] = {}
        for impl in impls:
            print(f"[latency: {impl}, {size:,} sessions] ...", file=sys.stderr, flush=True)
            res[impl] = run_child(
                ["--child", "latency", "--impl", impl, "--sessions", str(size), *quick]
            )
        n_res = res.get("native", {})
        p_res = res.get("pyimpl", {})
        rows.append(
            (
                f"{size:,}",
                num(n_res.get("median_ns")),
                num(n_res.get("p99_ns")),
                num(n_res.get("batched_ns")),
                num(p_res.get("median_ns")),
                num(p_res.get("p99_ns")),
                ratio(n_res.get("median_ns"), p_res.get("median_ns")),
            )
        )
    print("get_checkout_session latency in ns by sessions stored (random existing ids;")
    print("median and p99 of single timed calls minus timer overhead; batched = mean in a loop)")
    table(
        ("sessions", "native med", "native p99", "native batched", "pyimpl med", "pyimpl p99",
         "native/py"),
        rows,
    )

    # Memory per stored session.
    rows = []
    mem: Dict[str, Dict[str, Any]] = {}
    for impl in impls:
        print(f"[memory: {impl}, {mem_n:,} sessions] ...", file=sys.stderr, flush=True)
        mem[impl] = run_child(["--child", "memory", "--impl", impl, "--sessions", str(mem_n)])
    for impl in impls:
        m = mem[impl]
        rows.append(
            (
                impl,
                f"{m['sessions']:,}",
                num(m["rss_before"] / 2**20, "{:,.1f}"),
                num(m["rss_after"] / 2**20, "{:,.1f}"),
                num(m["bytes_per_session"]),
            )
        )
    print("Memory per stored three-line session (RSS growth / sessions, returned objects dropped)")
    table(("impl", "sessions", "RSS before MiB", "RSS after MiB", "bytes/session"), rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
