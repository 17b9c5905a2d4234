"""Checks what a type checker makes of user code against the installed stubs.

Run with an interpreter that has mypy and corvane_acp_native (with its
corvane_acp_native-stubs package) installed:

    python tests/typing/check_typing.py

* usage_ok.py must pass `mypy --strict` without any error;
* bad_usage.py must fail it with exactly the errors its `# E: <code>` comments
  announce: every marked line reports its code, and nothing else is reported.

Exits 0 when both hold, 1 otherwise (with the differences listed).
"""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
GOOD = HERE / "usage_ok.py"
BAD = HERE / "bad_usage.py"

MARKER = re.compile(r"#\s*E:\s*([a-z][a-z-]*)\s*$")
# path:line: error: message  [code]
ERROR = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: (?P<msg>.*?)\s+\[(?P<code>[a-z-]+)\]$")


def run_mypy(path: Path) -> tuple[int, list[str]]:
    with tempfile.TemporaryDirectory(prefix="mypy-cache-") as cache:
        proc = subprocess.run(
            [
                sys.executable,
                "-m",
                "mypy",
                "--strict",
                "--show-error-codes",
                "--no-error-summary",
                "--no-pretty",
                "--no-color-output",
                "--cache-dir",
                cache,
                str(path),
            ],
            capture_output=True,
            text=True,
            cwd=HERE,
        )
    if proc.returncode not in (0, 1):
        # 2 and above: mypy itself failed (bad option, crash, missing module).
        raise SystemExit(f"mypy could not check {path.name} (exit {proc.returncode}):\n{proc.stdout}{proc.stderr}")
    return proc.returncode, proc.stdout.splitlines()


def expected_errors(path: Path) -> set[tuple[int, str]]:
    expected = set()
    for number, text in enumerate(path.read_text(encoding="utf-8").splitlines(), start=1):
        match = MARKER.search(text)
        if match:
            expected.add((number, match.group(1)))
    return expected


def reported_errors(lines: list[str]) -> tuple[set[tuple[int, str]], list[str]]:
    reported = set()
    unparsed = []
    for text in lines:
        match = ERROR.match(text)
        if match:
            reported.add((int(match.group("line")), match.group("code")))
        elif ": error:" in text:
            unparsed.append(text)
    return reported, unparsed


def main() -> int:
    failures = []

    rc, lines = run_mypy(GOOD)
    if rc != 0 or any(": error:" in text for text in lines):
        failures.append(f"{GOOD.name} must type-check cleanly, mypy said:\n  " + "\n  ".join(lines))
    else:
        print(f"ok: {GOOD.name} passes mypy --strict")

    expected = expected_errors(BAD)
    rc, lines = run_mypy(BAD)
    reported, unparsed = reported_errors(lines)
    missing = sorted(expected - reported)
    surplus = sorted(reported - expected)
    if rc != 1:
        failures.append(f"{BAD.name} must fail mypy --strict, but mypy exited {rc}")
    if missing:
        failures.append(
            f"{BAD.name}: errors mypy did not report: " + ", ".join(f"line {n} [{code}]" for n, code in missing)
        )
    if surplus or unparsed:
        failures.append(
            f"{BAD.name}: errors nobody expected: "
            + ", ".join([f"line {n} [{code}]" for n, code in surplus] + unparsed)
        )
    if not (missing or surplus or unparsed) and rc == 1:
        print(f"ok: {BAD.name} fails mypy --strict with exactly the {len(expected)} expected errors")

    if failures:
        print("\n".join(failures), file=sys.stderr)
        if lines:
            print("mypy output for bad_usage.py:\n  " + "\n  ".join(lines), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
