"""Instructions per full checkout flow, counted by callgrind.

    python3 bench/bench_instructions.py            # the count
    python3 bench/bench_instructions.py --top 25   # and where they go

One flow is: create a session with three items, read its id, get it, update it
with a customer, complete it with a payment, in a loop inside a function (as
a caller's code runs; a loop at module level would add a dictionary lookup
for every name it touches, about 1,800 instructions a flow). The script runs that flow N and
2N times, each under `valgrind --tool=callgrind`, and divides the difference in
instructions by N, so the interpreter's start-up, the import and the set-up
cancel out. Callgrind counts instructions, not time, so the figure is the same
on a loaded machine from one run to the next (within a few instructions).

--top K lists the K functions whose counts grew the most per flow, with the
object they live in: the module's own functions against the interpreter's.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

FLOW = r"""
import sys
import corvane_acp_native as acp

n = int(sys.argv[1])
client = acp.AcpClient()
items = [acp.RequestItem("prod_laptop_001", 1),
         acp.RequestItem("prod_mouse_002", 2),
         acp.RequestItem("prod_keyboard_003", 1)]
customer = acp.Customer(billing_address=acp.Address(name="A", city="B"))
payment = acp.PaymentRequest(delegated_token="tok")


def flows(n):
    create = client.create_checkout_session
    get = client.get_checkout_session
    update = client.update_checkout_session
    complete = client.complete_checkout_session
    for _ in range(n):
        sid = create(items).id
        get(sid)
        update(sid, customer=customer)
        complete(sid, payment)


flows(n)
"""


def run(flows: int, workdir: str) -> tuple[int, str]:
    out = os.path.join(workdir, f"callgrind.{flows}.out")
    script = os.path.join(workdir, "flow.py")
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
         sys.executable, script, str(flows)],
        capture_output=True, text=True, env=env, check=False)
    m = re.search(r"Collected : (\d+)", proc.stderr)
    if proc.returncode != 0 or m is None:
        sys.exit(f"callgrind run failed:\n{proc.stderr[-2000:]}")
    return int(m.group(1)), out


def functions(path: str) -> dict[str, int]:
    text = subprocess.run(
        ["callgrind_annotate", "--threshold=100", "--inclusive=no", path],
        capture_output=True, text=True, check=True).stdout
    counts: dict[str, int] = {}
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(.*)$", line)
        if m is None:
            m = re.match(r"\s*([\d,]+)\s+(\S.*)$", line)
        if m is None or ":" not in m.group(2):
            continue
        name = m.group(2).strip()
        counts[name] = counts.get(name, 0) + int(m.group(1).replace(",", ""))
    return counts


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--flows", type=int, default=2000,
                    help="N: the runs do N and 2N flows (default 2000)")
    ap.add_argument("--top", type=int, default=0, metavar="K",
                    help="also list the K functions that cost the most per flow")
    args = ap.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed (Debian: apt install valgrind)")

    with tempfile.TemporaryDirectory() as workdir:
        with open(os.path.join(workdir, "flow.py"), "w") as f:
            f.write(FLOW)
        n = args.flows
        small, small_out = run(n, workdir)
        large, large_out = run(2 * n, workdir)
        per_flow = (large - small) / n
        print(f"instructions per flow: {per_flow:,.0f}  "
              f"(callgrind, ({large:,} - {small:,}) / {n} flows, "
              f"Python {sys.version.split()[0]})")
        if args.top:
            a, b = functions(small_out), functions(large_out)
            grown = {k: (b.get(k, 0) - a.get(k, 0)) / n for k in set(a) | set(b)}
            module = sum(v for k, v in grown.items() if "corvane_acp" in k)
            print(f"  in the module's own code: {module:,.0f}; "
                  f"elsewhere (interpreter, libc): {per_flow - module:,.0f}")
            for name, v in sorted(grown.items(), key=lambda kv: -kv[1])[:args.top]:
                short = re.sub(r"\s+", " ", name)
                print(f"  {v:8.1f}  {short[:150]}")


if __name__ == "__main__":
    main()
