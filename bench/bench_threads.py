"""Throughput of the client with 1 and 2 threads: how calls scale across cores.

    python3 bench/bench_threads.py [--repeats R] [--scale F] [--shared]

Runs on whatever interpreter starts it. On a free-threaded build with the GIL
off, threads run module calls side by side and 2 threads should approach twice
the throughput of one; with the GIL they take turns, so 2 threads reach about
the throughput of one. Each figure is a fixed number of calls shared between
the threads, timed in a fresh process (so every figure starts from an empty
store and creations pay for the same growth of it); the row gives the median
over R such processes, run alternately for 1 and 2 threads. Every thread has
its own client and its own sessions unless --shared, which also measures
threads sharing one client and one set of sessions."""

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


CONTROL = "control: pure-Python loop (no module call)"
OPS = {
    CONTROL: op_python,
    "get_checkout_session": op_get,
    "create_checkout_session (3 items)": op_create,
    "full flow (create, get, update, complete)": op_flow,
}
# Calls per figure, shared between the threads (a flow counts as one).
TOTALS = {
    CONTROL: 200_000,
    "get_checkout_session": 2_000_000,
    "create_checkout_session (3 items)": 400_000,
    "full flow (create, get, update, complete)": 200_000,
}


def make_state(client):
    items = three_items()
    return {
        "items": items,
        "ids": [client.create_checkout_session(items).id for _ in range(64)],
        "customer": acp.Customer(billing_address=acp.Address(name="Ada", city="London")),
        "payment": acp.PaymentRequest(method="card"),
    }


def throughput(op, threads, total, shared):
    """Calls per second of `threads` threads making `total` calls of `op`
    between them, in this (fresh) process."""
    common = acp.AcpClient()
    common_state = make_state(common)
    setups = [(common, common_state) if shared else (c, make_state(c))
              for c in (acp.AcpClient() for _ in range(threads))]
    batches = total // BATCH // threads
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
    done.wait()
    elapsed = time.perf_counter() - t0
    for w in workers:
        w.join()
    return batches * BATCH * threads / elapsed


def measure_in_child(name, threads, total, shared):
    """throughput() in a fresh interpreter, so every figure starts from an
    empty store: creations then pay for the same table growth however many
    threads share the work."""
    code = (f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); "
            f"import bench_threads as b; op = b.OPS[{name!r}]; "
            f"print(b.throughput(op, {threads}, {total}, {shared}))")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return float(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies the calls per figure")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--shared", action="store_true", help="also measure threads sharing one client")
    args = parser.parse_args()

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"Python {sys.version.split()[0]}{' free-threaded' if free_threaded else ''}, "
          f"GIL {'on' if gil else 'off'}, median of {args.repeats} fresh processes per figure")
    print(f"{'operation':<44} {'1 thread':>12} {'2 threads':>12} {'2T / 1T':>8}")
    modes = [False, True] if args.shared else [False]
    for shared in modes:
        for name in OPS:
            if shared and name == CONTROL:
                continue  # the control shares nothing
            total = int(TOTALS[name] * args.scale)
            runs = {1: [], 2: []}
            for _ in range(args.repeats):  # interleaved, so drifts hit both alike
                for threads in (1, 2):
                    runs[threads].append(measure_in_child(name, threads, total, shared))
            figures = {threads: statistics.median(r) for threads, r in runs.items()}
            label = name + (" [shared client]" if shared else "")
            print(f"{label:<44} {figures[1]:>10,.0f}/s {figures[2]:>10,.0f}/s {figures[2] / figures[1]:>8.2f}")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
