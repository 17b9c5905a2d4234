#!/usr/bin/env python3
"""Worst single-call pause while the session store grows.

Creates sessions (three items each) one call at a time, timing every call, and
prints the slowest calls, the sessions stored when they happened, and the peak
resident set size of the process. Each call is timed twice: wall clock and the
thread's CPU time. On a shared machine the wall clock also counts the time the
thread was preempted (a throttled CPU quota shows up as ~100 ms stalls at
random calls), so the CPU time is the figure for the store's own pauses. The store is process-wide and never
shrinks, so run this in a process of its own.

    python3 bench/bench_growth.py             # 10^6 sessions
    python3 bench/bench_growth.py --full      # 8 * 10^6 sessions (about 5 GiB)
    python3 bench/bench_growth.py --sessions 2000000
"""

from __future__ import annotations

import argparse
import gc
import heapq
import resource
import time

import corvane_acp_native as acp

THREE_ITEMS = [("prod_laptop_001", 1), ("prod_mouse_002", 2), ("prod_keyboard_003", 1)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sessions", type=float, default=1e6)
    parser.add_argument("--full", action="store_true", help="grow to 8 * 10^6 sessions")
    parser.add_argument("--top", type=int, default=5, help="slowest calls to list")
    args = parser.parse_args()
    n = int(8e6 if args.full else args.sessions)

    client = acp.AcpClient()
    items = [acp.RequestItem(pid, qty) for pid, qty in THREE_ITEMS]
    create = client.create_checkout_session
    clock = time.perf_counter_ns
    cpu_clock = time.thread_time_ns
    worst = []  # (ns, index) of the slowest calls by wall clock, a min-heap of size top
    worst_cpu = []  # the same by thread CPU time
    gc.disable()  # a collection would be charged to whichever call it lands in
    total_start = clock()
    for i in range(n):
        cpu_start = cpu_clock()
        start = clock()
        create(items)
        elapsed = clock() - start
        cpu = cpu_clock() - cpu_start
        for heap, value in ((worst, elapsed), (worst_cpu, cpu)):
            if len(heap) < args.top:
                heapq.heappush(heap, (value, i))
            elif value > heap[0][0]:
                heapq.heapreplace(heap, (value, i))
    total = clock() - total_start
    gc.enable()
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"{n} creates in {total / 1e9:.1f} s ({total / n / 1e3:.2f} us/call mean, timing included)")
    for label, heap in (("wall clock", worst), ("thread CPU time", worst_cpu)):
        print(f"slowest calls by {label}:")
        for value, i in sorted(heap, reverse=True):
            print(f"  {value / 1e6:8.3f} ms  at {i + 1} sessions stored")
    print(f"worst single call: {max(worst_cpu)[0] / 1e6:.3f} ms CPU, {max(worst)[0] / 1e6:.3f} ms wall")
    print(f"peak RSS: {peak_kib / 1024:.0f} MiB ({peak_kib * 1024 / n:.0f} B per session)")


if __name__ == "__main__":
    main()
