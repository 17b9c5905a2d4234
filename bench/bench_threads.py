"""Throughput of the client across threads: scaling to 2 threads, and what is
left when threads outnumber the cores.

    python3 bench/bench_threads.py [--repeats R] [--scale F] [--counts 8,32,128]
                                   [--shared] [--compare DIR[=LABEL] ...] [--no-gc]

Runs on whatever interpreter starts it. On a free-threaded build with the GIL
off, threads run module calls side by side and 2 threads should approach twice
the throughput of one; with the GIL they take turns, so 2 threads reach about
the throughput of one.

Each figure is a fixed number of calls shared between the threads, timed in a
fresh process (so every figure starts from an empty store and creations pay
for the same growth of it). Every thread has its own client and its own
sessions unless --shared, which also measures threads sharing one client and
one set of sessions.

Two pure-Python rows are the controls: what the machine gives plain Python code
at the time of the run. On a virtual machine two threads do not always reach
twice the speed of one, and threads beyond the cores cost context switches that
no module can avoid. The first control only computes; the second makes and
drops a small object per step, as a module call makes and drops its result.

One repeat measures every row at every thread count, back to back, in an order
that rotates from repeat to repeat; R repeats run one after another. Each
repeat gives every row its scaling (2 threads / 1 thread) divided by the
computing control's scaling in the same repeat, and its share at N threads (N
threads / 2 threads) divided by the control's share; the tables give the median
and the range of those quotients over the repeats, so background load that
moves all rows alike cancels.

Each figure is given twice: calls per second of wall-clock time, and calls per
second of the CPU time the process used. On a machine that other work keeps
busy, the first moves with the share of the cores the scheduler gives the
process (more threads get a larger share), the second does not: a lock that
spins while its holder is preempted shows there as CPU time spent for nothing.

--compare DIR=LABEL measures the rows of the module again with another build
of it (a directory holding the module, put first on the import path), in the
same repeats; --no-gc disables the collector in every child."""

import argparse
import os
import statistics
import subprocess
import sys
import sysconfig
import threading
import time

import corvane_acp_native as acp

BATCH = 200  # calls between looks at the clock


def three_items():
    return [acp.RequestItem("prod_mouse_002", 2), acp.RequestItem("prod_keyboard_003", 1),
            acp.RequestItem("prod_laptop_001", 1)]


def op_get(client, state):
    get = client.get_checkout_session
    ids = state["ids"]
    n = len(ids)
    for i in range(BATCH):
        get(ids[i % n])


def op_create(client, state):
    create = client.create_checkout_session
    items = state["items"]
    for _ in range(BATCH):
        create(items)


def op_flow(client, state):
    items, customer, payment = state["items"], state["customer"], state["payment"]
    for _ in range(BATCH):
        sid = client.create_checkout_session(items).id
        client.get_checkout_session(sid)
        client.update_checkout_session(sid, customer=customer)
        client.complete_checkout_session(sid, payment)


def op_python(client, state):
    """No module call at all: what the machine gives pure Python code, the
    control for every other row."""
    x = 0
    for i in range(BATCH * 20):
        x += i % 7


class _Result:
    __slots__ = ("id", "status")

    def __init__(self, id, status):
        self.id = id
        self.status = status


def op_python_alloc(client, state):
    """No module call either: a dict lookup and a small object made and
    dropped per step, as a call makes and drops its result."""
    table = state["table"]
    keys = state["keys"]
    n = len(keys)
    for i in range(BATCH * 4):
        _Result(keys[i % n], table[keys[i % n]])


CONTROL = "control: pure-Python loop"
CONTROL_ALLOC = "control: lookup + small object"
OPS = {
    CONTROL: op_python,
    CONTROL_ALLOC: op_python_alloc,
    "get_checkout_session": op_get,
    "create_checkout_session (3 items)": op_create,
    "full flow (create, get, update, complete)": op_flow,
}
CONTROLS = (CONTROL, CONTROL_ALLOC)
# Calls per figure, shared between the threads (a flow counts as one).
TOTALS = {
    CONTROL: 200_000,
    CONTROL_ALLOC: 800_000,
    "get_checkout_session": 2_000_000,
    "create_checkout_session (3 items)": 400_000,
    "full flow (create, get, update, complete)": 200_000,
}


def make_state(client):
    items = three_items()
    ids = [client.create_checkout_session(items).id for _ in range(64)]
    return {
        "items": items,
        "ids": ids,
        "keys": [s.encode().decode() for s in ids],
        "table": {s: "ready" for s in ids},
        "customer": acp.Customer(billing_address=acp.Address(name="Ada", city="London")),
        "payment": acp.PaymentRequest(method="card"),
    }


def throughput(op, threads, total, shared):
    """Calls per second of `threads` threads making `total` calls of `op`
    between them, in this (fresh) process, by the wall clock and per second
    of CPU time the process used."""
    common = acp.AcpClient()
    common_state = make_state(common)
    setups = [(common, common_state) if shared else (c, make_state(c))
              for c in (acp.AcpClient() for _ in range(threads))]
    batches = max(total // BATCH // threads, 1)
    start = threading.Barrier(threads + 1)
    done = threading.Barrier(threads + 1)

    def run(index):
        client, state = setups[index]
        op(client, state)  # warm up
        start.wait()
        for _ in range(batches):
            op(client, state)
        done.wait()

    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    start.wait()
    t0 = time.perf_counter()
    c0 = time.process_time()
    done.wait()
    elapsed = time.perf_counter() - t0
    cpu = time.process_time() - c0
    for w in workers:
        w.join()
    calls = batches * BATCH * threads
    return calls / elapsed, calls / max(cpu, 1e-9)


def measure_in_child(name, threads, total, shared, path=None, no_gc=False):
    """throughput() in a fresh interpreter, so every figure starts from an
    empty store: creations then pay for the same table growth however many
    threads share the work."""
    here = os.path.dirname(os.path.abspath(__file__))
    code = (f"import sys, gc; sys.path.insert(0, {here!r}); "
            + (f"sys.path.insert(0, {path!r}); " if path else "")
            + ("gc.disable(); " if no_gc else "")
            + f"import bench_threads as b; op = b.OPS[{name!r}]; "
            f"print(b.throughput(op, {threads}, {total}, {shared}))")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    wall, cpu = out.stdout.strip().strip("()").split(",")
    return float(wall), float(cpu)


def spread(values):
    return f"{statistics.median(values):.2f} [{min(values):.2f}-{max(values):.2f}]"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the calls per figure")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--counts", default="8,32,128",
                        help="thread counts beyond the cores (comma-separated; empty for none)")
    parser.add_argument("--shared", action="store_true", help="also measure threads sharing one client")
    parser.add_argument("--compare", action="append", default=[], metavar="DIR[=LABEL]",
                        help="also measure the module's rows with the build of it in DIR")
    parser.add_argument("--no-gc", action="store_true", help="disable the collector in every child")
    parser.add_argument("--only", default="", help="measure only the rows whose name contains one of "
                        "these comma-separated texts (the computing control always runs)")
    args = parser.parse_args()
    counts = [int(c) for c in args.counts.split(",") if c.strip()]
    thread_counts = [1, 2] + counts

    builds = [("", None)]
    for spec in args.compare:
        path, _, label = spec.partition("=")
        builds.append((f" [{label or os.path.basename(path.rstrip('/'))}]", os.path.abspath(path)))
    rows = []  # (label, op name, shared, import path)
    for shared in ([False, True] if args.shared else [False]):
        for name in OPS:
            if name in CONTROLS:
                if not shared:
                    rows.append((name, name, False, None))
                continue
            for suffix, path in builds:
                rows.append((name + (" [shared client]" if shared else "") + suffix, name, shared, path))

    wanted = [w for w in args.only.split(",") if w]
    if wanted:
        rows = [r for r in rows if r[0] == CONTROL or any(w in r[0] for w in wanted)]
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"Python {sys.version.split()[0]}{' free-threaded' if free_threaded else ''}, "
          f"GIL {'on' if gil else 'off'}, {os.cpu_count()} CPUs, {args.repeats} repeats, "
          f"threads {', '.join(map(str, thread_counts))}{', collector off' if args.no_gc else ''}; "
          f"load average {os.getloadavg()[0]:.2f} before")
    sys.stdout.flush()

    runs = {(label, n): [] for label, *_ in rows for n in thread_counts}
    for r in range(args.repeats):
        order = rows[r % len(rows):] + rows[:r % len(rows)]
        for n in thread_counts:
            for label, name, shared, path in order:
                total = int(TOTALS[name] * args.scale)
                runs[label, n].append(measure_in_child(name, n, total, shared, path, args.no_gc))
        print(f"  repeat {r + 1}/{args.repeats} done, load average {os.getloadavg()[0]:.2f}",
              file=sys.stderr, flush=True)

    def report(metric, title):
        def per_repeat(label, a, b):
            return [x[metric] / y[metric] for x, y in zip(runs[label, a], runs[label, b])]

        control_scaling = per_repeat(CONTROL, 2, 1)
        unit = "/s" if metric == 0 else "/cpu-s"
        print()
        print(f"{title}: scaling to 2 threads (figures are medians; quotients per repeat: median [min-max])")
        print(f"{'operation':<58} {'1 thread':>14} {'2 threads':>14} {'2T / 1T':>17} {'/ control':>17}")
        for label, *_ in rows:
            scaling = per_repeat(label, 2, 1)
            relative = [a / c for a, c in zip(scaling, control_scaling)]
            one = statistics.median(x[metric] for x in runs[label, 1])
            two = statistics.median(x[metric] for x in runs[label, 2])
            print(f"{label:<58} {one:>8,.0f}{unit:<6} {two:>8,.0f}{unit:<6} {spread(scaling):>17} {spread(relative):>17}")
        if counts:
            print()
            print(f"{title}: share of the 2-thread figure left at N threads, and that share over the "
                  "computing control's (per repeat: median [min-max])")
            header = "".join(f" {f'{n} threads':>17} {'/ control':>17}" for n in counts)
            print(f"{'operation':<58}{header}")
            for label, *_ in rows:
                cells = ""
                for n in counts:
                    share = per_repeat(label, n, 2)
                    relative = [a / c for a, c in zip(share, per_repeat(CONTROL, n, 2))]
                    cells += f" {spread(share):>17} {spread(relative):>17}"
                print(f"{label:<58}{cells}")

    report(0, "Throughput (calls per second)")
    report(1, "Work per CPU time (calls per second of the process's CPU time)")
    print(f"\nload average {os.getloadavg()[0]:.2f} after")


if __name__ == "__main__":
    main()
