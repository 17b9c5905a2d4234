"""Clock and random-source faults, injected with the LD_PRELOAD shim in child
interpreters: timestamp formatting, the /dev/urandom fallback, panics during
creation (no poisoning) and panics inside writers (the store is poisoned)."""

import calendar
import json
import os
import re
import textwrap
from datetime import datetime, timedelta

import pytest

UUID4_RE = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")

RANDOM_PANIC = "could not retrieve random bytes for uuid: "
CLOCK_PANIC = "system time before Unix epoch"
LOCK_FAILED = "Failed to acquire lock"

# Code shared by every child script. Faults are switched through os.environ,
# which the shim reads on every call.
PRELUDE = r'''
import ctypes, json, os, sys
import corvane_acp_native as acp


def outcome(fn):
    try:
        value = fn()
    except Exception as exc:
        return {"kind": "error", "type": type(exc).__name__, "module": type(exc).__module__,
                "msg": str(exc), "args": [str(a) for a in exc.args]}
    except BaseException as exc:
        return {"kind": "base", "type": type(exc).__name__, "module": type(exc).__module__,
                "msg": str(exc), "is_exception": isinstance(exc, Exception)}
    if not isinstance(value, (str, int, list, dict, type(None))):
        value = repr(value)
    return {"kind": "ok", "value": value}


def fault(name, value):
    if value is None:
        os.environ.pop(name, None)
    else:
        os.environ[name] = value


def at(sec, nanos=0):
    fault("CORVANE_SHIM_CLOCK", "%d.%09d" % (sec, nanos))


def items(pid="prod_mouse_002", qty=1):
    return [acp.RequestItem(pid, qty)]


def emit(result):
    print("RESULT " + json.dumps(result), flush=True)
'''


def run_script(run_py, shim, body):
    proc = run_py(PRELUDE + textwrap.dedent(body), preload=shim)
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
    )
    lines = [line for line in proc.stdout.splitlines() if line.startswith("RESULT ")]
    assert len(lines) == 1, f"no result from child\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
    return json.loads(lines[0][len("RESULT "):]), proc


def assert_panic(out, prefix, stderr):
    assert out["kind"] == "base", f"expected a PanicException, got {out}"
    assert out["type"] == "PanicException"
    assert out["module"] == "pelorin_runtime"
    assert out["is_exception"] is False
    assert out["msg"].startswith(prefix), out["msg"]
    assert out["msg"] in stderr


def assert_error(out, type_name, message):
    assert out["kind"] == "error", f"expected {type_name}({message!r}), got {out}"
    assert (out["type"], out["msg"]) == (type_name, message)
    assert out["args"] == [message]


def assert_ok(out):
    assert out["kind"] == "ok", f"expected success, got {out}"
    return out["value"]


def timestamp(sec, nanos):
    """Expected session timestamp text for a CLOCK_REALTIME reading."""
    text = (datetime(1970, 1, 1) + timedelta(seconds=sec)).strftime("%Y-%m-%dT%H:%M:%S")
    if nanos:
        if nanos % 1_000_000 == 0:
            text += ".%03d" % (nanos // 1_000_000)
        elif nanos % 1_000 == 0:
            text += ".%06d" % (nanos // 1_000)
        else:
            text += ".%09d" % nanos
    return text + "+00:00"


# --------------------------------------------------------------- the shim


def test_shim_controls_getrandom_and_clock(run_py, shim):
    """The shim itself: faults switch on and off at run time (no module needed)."""
    body = r'''
    import ctypes, json, os, time
    libc = ctypes.CDLL(None, use_errno=True)
    gr = libc.getrandom
    gr.restype = ctypes.c_ssize_t
    gr.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint]
    buf = ctypes.create_string_buffer(16)

    def draw():
        ctypes.set_errno(0)
        n = gr(buf, 16, 0)
        return [n, ctypes.get_errno() if n < 0 else 0]

    res = {"plain": draw()}
    os.environ["CORVANE_SHIM_GETRANDOM"] = "eio"
    res["eio"] = draw()
    os.environ["CORVANE_SHIM_GETRANDOM"] = "enosys"
    res["enosys"] = draw()
    os.environ["CORVANE_SHIM_GETRANDOM_AFTER"] = "2"
    res["after"] = [draw() for _ in range(4)]
    os.environ["CORVANE_SHIM_GETRANDOM_AFTER"] = "1:again"
    res["rearmed"] = [draw() for _ in range(2)]
    del os.environ["CORVANE_SHIM_GETRANDOM"]
    del os.environ["CORVANE_SHIM_GETRANDOM_AFTER"]
    res["off"] = draw()
    res["faults"] = libc.corvane_shim_getrandom_faults()
    os.environ["CORVANE_SHIM_CLOCK"] = "before_epoch"
    res["before_epoch"] = time.time_ns()
    os.environ["CORVANE_SHIM_CLOCK"] = "1741064767.000001"
    res["fixed"] = time.time_ns()
    res["monotonic_moves"] = time.monotonic_ns() > 0
    del os.environ["CORVANE_SHIM_CLOCK"]
    res["real"] = time.time_ns()
    print("RESULT " + json.dumps(res))
    '''
    proc = run_py(body, preload=shim)
    assert proc.returncode == 0, proc.stderr
    res = json.loads(proc.stdout.split("RESULT ", 1)[1])
    EIO, ENOSYS = 5, 38
    assert res["plain"] == [16, 0]
    assert res["eio"] == [-1, EIO]
    assert res["enosys"] == [-1, ENOSYS]
    assert res["after"] == [[16, 0], [16, 0], [-1, ENOSYS], [-1, ENOSYS]]
    assert res["rearmed"] == [[16, 0], [-1, ENOSYS]]
    assert res["off"] == [16, 0]
    assert res["faults"] == 5
    assert res["before_epoch"] == -10 * 10**9
    assert res["fixed"] == 1741064767 * 10**9 + 1000
    assert res["real"] > 1_600_000_000 * 10**9


# ------------------------------------------------- (a) timestamp formatting


BASE = calendar.timegm((2025, 3, 4, 5, 6, 7, 0, 0, 0))

CLOCK_CASES = [
    (BASE, 0, "2025-03-04T05:06:07+00:00"),
    (BASE, 120_000_000, "2025-03-04T05:06:07.120+00:00"),
    (BASE, 123_456_000, "2025-03-04T05:06:07.123456+00:00"),
    (BASE, 123_456_789, "2025-03-04T05:06:07.123456789+00:00"),
    (BASE, 1_000, "2025-03-04T05:06:07.000001+00:00"),
    (BASE, 1, "2025-03-04T05:06:07.000000001+00:00"),
    (BASE, 5_000_000, "2025-03-04T05:06:07.005+00:00"),
    (BASE, 500_000, "2025-03-04T05:06:07.000500+00:00"),
    (BASE, 100, "2025-03-04T05:06:07.000000100+00:00"),
    (BASE, 999_999_999, "2025-03-04T05:06:07.999999999+00:00"),
    (BASE, 999_000_000, "2025-03-04T05:06:07.999+00:00"),
    (0, 0, "1970-01-01T00:00:00+00:00"),
    (calendar.timegm((2024, 2, 29, 23, 59, 59, 0, 0, 0)), 10_000_000, "2024-02-29T23:59:59.010+00:00"),
    (calendar.timegm((2000, 12, 31, 0, 0, 0, 0, 0, 0)), 0, "2000-12-31T00:00:00+00:00"),
    (2**31, 0, "2038-01-19T03:14:08+00:00"),
    (calendar.timegm((9999, 12, 31, 23, 59, 59, 0, 0, 0)), 0, "9999-12-31T23:59:59+00:00"),
]


def test_expected_texts_agree_with_the_formatting_rule():
    for sec, ns, text in CLOCK_CASES:
        assert timestamp(sec, ns) == text


def test_creation_timestamp_format(run_py, shim):
    cases = [[sec, ns] for sec, ns, _ in CLOCK_CASES]
    body = f'''
    CASES = {cases!r}
    c = acp.AcpClient()
    c.create_checkout_session(items())  # first store use happens on the real clock
    res = []
    for sec, ns in CASES:
        at(sec, ns)
        s = c.create_checkout_session(items())
        fault("CORVANE_SHIM_CLOCK", None)
        g = c.get_checkout_session(s.id)
        res.append([s.created_at, s.updated_at, g.created_at, g.updated_at])
    emit(res)
    '''
    readings, _ = run_script(run_py, shim, body)
    got = {text: tuple(r) for (_, _, text), r in zip(CLOCK_CASES, readings)}
    expected = {text: (text,) * 4 for _, _, text in CLOCK_CASES}
    assert got == expected


def test_lifecycle_timestamps_follow_the_clock(run_py, shim):
    t = [BASE + 100 * k for k in range(12)]
    body = f'''
    T = {t!r}
    c = acp.AcpClient()
    r = {{}}
    at(T[0]); s = c.create_checkout_session(items())
    r["created"] = [s.created_at, s.updated_at]
    at(T[1], 5); u = c.update_checkout_session(s.id)
    r["update"] = [u.created_at, u.updated_at, u.status]
    at(T[2]); r["bad_update"] = outcome(lambda: c.update_checkout_session(s.id, items("nope")))
    at(T[3]); r["bad_complete"] = outcome(lambda: c.complete_checkout_session(s.id, acp.PaymentRequest()))
    g = c.get_checkout_session(s.id); r["after_failures"] = [g.created_at, g.updated_at, g.status]
    at(T[4], 250000000); u2 = c.update_checkout_session(s.id, customer=acp.Customer())
    r["update2"] = [u2.created_at, u2.updated_at]
    at(T[5], 7000); done = c.complete_checkout_session(s.id, acp.PaymentRequest("tok"))
    r["complete"] = [done.session.created_at, done.session.updated_at, done.session.status]
    at(T[6])
    r["refused"] = [
        outcome(lambda: c.complete_checkout_session(s.id, acp.PaymentRequest("tok"))),
        outcome(lambda: c.cancel_checkout_session(s.id)),
        outcome(lambda: c.update_checkout_session(s.id)),
    ]
    g = c.get_checkout_session(s.id); r["final"] = [g.created_at, g.updated_at, g.status]
    at(T[7]); s2 = c.create_checkout_session(items())
    at(T[8], 1); x1 = c.cancel_checkout_session(s2.id)
    at(T[9]); x2 = c.cancel_checkout_session(s2.id)
    at(T[10]); r["bad_complete2"] = outcome(lambda: c.complete_checkout_session(s2.id, acp.PaymentRequest("t")))
    fault("CORVANE_SHIM_CLOCK", None)
    g2 = c.get_checkout_session(s2.id)
    r["cancel"] = [x1.created_at, x1.updated_at, x2.updated_at, x2.status, g2.updated_at, g2.status]
    emit(r)
    '''
    r, _ = run_script(run_py, shim, body)
    ts = timestamp
    assert r["created"] == [ts(t[0], 0)] * 2
    assert r["update"] == [ts(t[0], 0), ts(t[1], 5), "ready_for_payment"]
    assert_error(r["bad_update"], "ValueError", "Product not found: nope")
    assert_error(r["bad_complete"], "ValueError", "Payment token or method required")
    assert r["after_failures"] == [ts(t[0], 0), ts(t[1], 5), "ready_for_payment"]
    assert r["update2"] == [ts(t[0], 0), ts(t[4], 250_000_000)]
    assert r["complete"] == [ts(t[0], 0), ts(t[5], 7000), "completed"]
    assert_error(r["refused"][0], "RuntimeError", "Session already completed")
    assert_error(r["refused"][1], "RuntimeError", "Cannot cancel completed session")
    assert_error(r["refused"][2], "RuntimeError", "Cannot update completed or canceled session")
    assert r["final"] == [ts(t[0], 0), ts(t[5], 7000), "completed"]
    assert_error(r["bad_complete2"], "RuntimeError", "Cannot complete canceled session")
    assert r["cancel"] == [ts(t[7], 0), ts(t[8], 1), ts(t[9], 0), "canceled", ts(t[9], 0), "canceled"]


# ------------------------------------------------ (b) /dev/urandom fallback


@pytest.mark.parametrize("mode", ["enosys", "eperm"])
def test_random_fallback_when_getrandom_is_unavailable(run_py, shim, mode):
    body = f'''
    lib = ctypes.CDLL(None)
    lib.corvane_shim_getrandom_faults.restype = ctypes.c_long
    start = lib.corvane_shim_getrandom_faults()
    fault("CORVANE_SHIM_GETRANDOM", {mode!r})
    c = acp.AcpClient()
    ids = [c.create_checkout_session(items()).id for _ in range(6)]
    done = c.complete_checkout_session(ids[0], acp.PaymentRequest("tok"))
    order = [done.order.id, done.order.checkout_session_id]
    got = [c.get_checkout_session(i).id for i in ids]
    refused = lib.corvane_shim_getrandom_faults() - start
    fault("CORVANE_SHIM_GETRANDOM", None)
    emit({{"ids": ids, "order": order, "got": got, "refused": refused}})
    '''
    r, _ = run_script(run_py, shim, body)
    ids = r["ids"]
    assert all(UUID4_RE.match(i) for i in ids), ids
    assert len(set(ids)) == len(ids)
    assert r["got"] == ids
    order_id, order_sid = r["order"]
    assert UUID4_RE.match(order_id)
    assert order_id not in ids
    assert order_sid == ids[0]
    # the module did go to getrandom (through the interposed symbol) first
    assert r["refused"] >= 1


# ------------------------------------- (c), (d) faults during creation


@pytest.mark.parametrize(
    "name, value, prefix",
    [
        ("CORVANE_SHIM_GETRANDOM", "eio", RANDOM_PANIC),
        ("CORVANE_SHIM_CLOCK", "before_epoch", CLOCK_PANIC),
    ],
    ids=["random-eio", "clock-before-epoch"],
)
def test_fault_during_creation_panics_without_poisoning(run_py, shim, name, value, prefix):
    body = f'''
    c = acp.AcpClient()
    first = c.create_checkout_session(items())  # the store (and its hash seed) exists now
    fault({name!r}, {value!r})
    r = {{"create": outcome(lambda: c.create_checkout_session(items("prod_keyboard_003", 2)))}}
    r["create_again"] = outcome(lambda: c.create_checkout_session(items()))
    fault({name!r}, None)
    later = acp.AcpClient()
    r["create_after"] = outcome(lambda: later.create_checkout_session(items()).status)
    r["get"] = outcome(lambda: c.get_checkout_session(first.id).status)
    r["update"] = outcome(lambda: c.update_checkout_session(first.id).status)
    r["complete"] = outcome(lambda: later.complete_checkout_session(first.id, acp.PaymentRequest("t")).order.status)
    s = later.create_checkout_session(items())
    r["cancel"] = outcome(lambda: c.cancel_checkout_session(s.id).status)
    emit(r)
    '''
    r, proc = run_script(run_py, shim, body)
    assert_panic(r["create"], prefix, proc.stderr)
    assert_panic(r["create_again"], prefix, proc.stderr)
    if prefix == RANDOM_PANIC:
        assert len(r["create"]["msg"]) > len(RANDOM_PANIC)
    assert assert_ok(r["create_after"]) == "not_ready_for_payment"
    assert assert_ok(r["get"]) == "not_ready_for_payment"
    assert assert_ok(r["update"]) == "ready_for_payment"
    assert assert_ok(r["complete"]) == "placed"
    assert assert_ok(r["cancel"]) == "canceled"


def test_clock_panic_message_has_a_description(run_py, shim):
    body = '''
    c = acp.AcpClient()
    fault("CORVANE_SHIM_CLOCK", "before_epoch")
    r = outcome(lambda: c.create_checkout_session(items()))
    fault("CORVANE_SHIM_CLOCK", None)
    emit(r)
    '''
    r, proc = run_script(run_py, shim, body)
    assert_panic(r, CLOCK_PANIC, proc.stderr)
    assert r["msg"].startswith(CLOCK_PANIC + ": ")
    assert len(r["msg"]) > len(CLOCK_PANIC + ": ")


# ---------------------------------------- (e) faults inside a writer poison


WRITER_FAULTS = [
    ("update", "CORVANE_SHIM_CLOCK", "before_epoch", CLOCK_PANIC),
    ("update_items_customer", "CORVANE_SHIM_CLOCK", "before_epoch", CLOCK_PANIC),
    ("cancel", "CORVANE_SHIM_CLOCK", "before_epoch", CLOCK_PANIC),
    ("cancel_again", "CORVANE_SHIM_CLOCK", "before_epoch", CLOCK_PANIC),
    ("complete", "CORVANE_SHIM_CLOCK", "before_epoch", CLOCK_PANIC),
    ("complete", "CORVANE_SHIM_GETRANDOM", "eio", RANDOM_PANIC),
]


@pytest.mark.parametrize(
    "op, name, value, prefix",
    WRITER_FAULTS,
    ids=[f"{op}-{value}" for op, _, value, _ in WRITER_FAULTS],
)
def test_fault_inside_a_writer_poisons_the_store(run_py, shim, op, name, value, prefix):
    body = f'''
    OP = {op!r}
    a = acp.AcpClient()
    target = a.create_checkout_session(items())
    other = a.create_checkout_session(items("prod_keyboard_003"))
    if OP == "cancel_again":
        a.cancel_checkout_session(target.id)
    calls = {{
        "update": lambda: a.update_checkout_session(target.id),
        "update_items_customer": lambda: a.update_checkout_session(
            target.id, items("prod_laptop_001"), acp.Customer(acp.Address(city="X"))),
        "cancel": lambda: a.cancel_checkout_session(target.id),
        "cancel_again": lambda: a.cancel_checkout_session(target.id),
        "complete": lambda: a.complete_checkout_session(target.id, acp.PaymentRequest("tok")),
    }}
    fault({name!r}, {value!r})
    panic = outcome(calls[OP])
    fault({name!r}, None)

    b = acp.AcpClient("sk_new")
    after = {{}}
    for label, cl in (("old", a), ("new", b)):
        checks = {{
            "create": lambda: cl.create_checkout_session(items()),
            "get_target": lambda: cl.get_checkout_session(target.id),
            "get_other": lambda: cl.get_checkout_session(other.id),
            "get_unknown": lambda: cl.get_checkout_session("no-such-session"),
            "update_target": lambda: cl.update_checkout_session(target.id),
            "update_other": lambda: cl.update_checkout_session(other.id, items(), acp.Customer()),
            "update_unknown": lambda: cl.update_checkout_session("no-such-session", items("nope")),
            "complete_target": lambda: cl.complete_checkout_session(target.id, acp.PaymentRequest("t")),
            "complete_other": lambda: cl.complete_checkout_session(other.id, acp.PaymentRequest()),
            "cancel_target": lambda: cl.cancel_checkout_session(target.id),
            "cancel_other": lambda: cl.cancel_checkout_session(other.id),
        }}
        for key, fn in checks.items():
            after[label + "." + key] = outcome(fn)
    # conversion and request checks still run before the store is touched
    early = {{
        "create_empty": outcome(lambda: a.create_checkout_session([])),
        "create_str": outcome(lambda: b.create_checkout_session("abc")),
        "get_int": outcome(lambda: b.get_checkout_session(123)),
        "complete_none": outcome(lambda: a.complete_checkout_session(target.id, None)),
    }}
    emit({{"panic": panic, "after": after, "early": early}})
    '''
    r, proc = run_script(run_py, shim, body)
    # the writer did not return (so no order was handed out): it panicked
    assert r["panic"]["kind"] != "ok"
    assert_panic(r["panic"], prefix, proc.stderr)
    assert len(r["after"]) == 22
    for key, out in r["after"].items():
        assert out["kind"] == "error", (key, out)
        assert (out["type"], out["msg"]) == ("RuntimeError", LOCK_FAILED), (key, out)
    early = r["early"]
    assert_error(early["create_empty"], "ValueError", "At least one item is required")
    assert_error(early["create_str"], "TypeError", "argument 'items': Can't extract `str` to `Vec`")
    assert_error(early["get_int"], "TypeError",
                 "argument 'session_id': 'int' object cannot be converted to 'PyString'")
    assert_error(early["complete_none"], "TypeError",
                 "argument 'payment': 'NoneType' object cannot be converted to 'PaymentRequest'")


# -------------------------------- (g) engine errors inside a writer do not


def test_engine_errors_inside_writers_do_not_poison(run_py, shim):
    body = '''
    class Boom:
        def __len__(self):
            return 1
        def __getitem__(self, i):
            raise ZeroDivisionError("boom")

    c = acp.AcpClient()
    s = c.create_checkout_session(items())
    done = c.create_checkout_session(items())
    c.complete_checkout_session(done.id, acp.PaymentRequest(method="m"))
    gone = c.create_checkout_session(items())
    c.cancel_checkout_session(gone.id)
    errors = [
        outcome(lambda: c.complete_checkout_session(done.id, acp.PaymentRequest("t"))),
        outcome(lambda: c.cancel_checkout_session(done.id)),
        outcome(lambda: c.update_checkout_session(done.id)),
        outcome(lambda: c.complete_checkout_session(gone.id, acp.PaymentRequest("t"))),
        outcome(lambda: c.update_checkout_session(gone.id, items())),
        outcome(lambda: c.update_checkout_session(s.id, items("prod_mouse_002") + items("nope"))),
        outcome(lambda: c.complete_checkout_session(s.id, acp.PaymentRequest())),
        outcome(lambda: c.update_checkout_session("nope")),
        outcome(lambda: c.complete_checkout_session("nope", acp.PaymentRequest("t"))),
        outcome(lambda: c.cancel_checkout_session("nope")),
        outcome(lambda: c.get_checkout_session("nope")),
        outcome(lambda: c.create_checkout_session(items("nope"))),
        outcome(lambda: c.create_checkout_session([])),
        outcome(lambda: c.update_checkout_session(s.id, Boom())),
    ]
    oks = [
        outcome(lambda: c.get_checkout_session(s.id).status),
        outcome(lambda: c.update_checkout_session(s.id, items("prod_keyboard_003")).status),
        outcome(lambda: acp.AcpClient().create_checkout_session(items()).status),
        outcome(lambda: c.complete_checkout_session(s.id, acp.PaymentRequest("t")).session.status),
        outcome(lambda: c.cancel_checkout_session(gone.id).status),
        outcome(lambda: c.get_checkout_session(done.id).status),
    ]
    emit({"errors": errors, "oks": oks})
    '''
    r, _ = run_script(run_py, shim, body)
    expected = [
        ("RuntimeError", "Session already completed"),
        ("RuntimeError", "Cannot cancel completed session"),
        ("RuntimeError", "Cannot update completed or canceled session"),
        ("RuntimeError", "Cannot complete canceled session"),
        ("RuntimeError", "Cannot update completed or canceled session"),
        ("ValueError", "Product not found: nope"),
        ("ValueError", "Payment token or method required"),
        ("ValueError", "Session not found: nope"),
        ("ValueError", "Session not found: nope"),
        ("ValueError", "Session not found: nope"),
        ("ValueError", "Session not found: nope"),
        ("ValueError", "Product not found: nope"),
        ("ValueError", "At least one item is required"),
        ("ZeroDivisionError", "boom"),
    ]
    assert len(r["errors"]) == len(expected)
    for out, (type_name, message) in zip(r["errors"], expected):
        assert_error(out, type_name, message)
    assert [assert_ok(o) for o in r["oks"]] == [
        "not_ready_for_payment", "ready_for_payment", "not_ready_for_payment",
        "completed", "canceled", "completed",
    ]


# ------------------------- (h) running out of memory inside a writer changes nothing


OUT_OF_MEMORY = r'''
import functools, resource, _testcapi
# Blocks of a mebibyte and more are mapped afresh and unmapped when freed, so
# capping the address space makes the next large one fail.
ctypes.CDLL(None).mallopt(-3, 1 << 20)  # M_MMAP_THRESHOLD, fixed


def capped(fn):
    """fn's outcome with the address space capped 4 MiB above what is in use."""
    with open("/proc/self/statm") as f:
        in_use = int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (in_use + (4 << 20), hard))
    try:
        return outcome(fn)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def first_allocation_fails(call):
    """The outcome of call (a C-level callable, so that no Python code allocates
    before the module does) with the interpreter's first allocation failing."""
    _testcapi.set_nomemory(0, 1)
    try:
        return outcome(call)
    finally:
        _testcapi.remove_mem_hooks()


c = acp.AcpClient()
keep = c.create_checkout_session(items()).id


def usable():
    """Every method works: the store is not poisoned."""
    s = c.create_checkout_session(items()).id
    return [c.get_checkout_session(keep).status, c.update_checkout_session(s).status,
            c.complete_checkout_session(s, acp.PaymentRequest("t")).order.status,
            c.cancel_checkout_session(c.create_checkout_session(items()).id).status]


def stored(sid):
    s = c.get_checkout_session(sid)
    return [s.status, [(x.id, x.quantity) for x in s.items], s.updated_at]
'''

MEMORY_CASES = {
    # The table must grow to take the next session, and cannot.
    "table-growth": ("memory allocation failed", r'''
    def create_until_it_fails():
        while True:
            c.create_checkout_session(items())
    failures = [capped(create_until_it_fails)]
    same = True
    '''),
    # The copy handed back (of a session with 8 MiB of lines) cannot be made.
    # Customers are shared between copies, so only lines take memory to copy.
    "record-copy": ("memory allocation failed", r'''
    sid = c.create_checkout_session(items() * (1 << 20)).id

    def summary():
        s = c.get_checkout_session(sid)
        return [s.status, s.totals.grand_total.amount, s.updated_at]
    before = summary()
    failures = [capped(lambda: c.update_checkout_session(sid, customer=acp.Customer())),
                capped(lambda: c.complete_checkout_session(sid, acp.PaymentRequest("t"))),
                capped(lambda: c.cancel_checkout_session(sid))]
    same = summary() == before
    '''),
    # The Python object of the result cannot be made.
    "result-object": ("could not allocate a ", r'''
    sid = c.update_checkout_session(c.create_checkout_session(items()).id).id
    before = stored(sid)
    P = functools.partial
    failures = [first_allocation_fails(P(c.complete_checkout_session, sid, acp.PaymentRequest("t"))),
                first_allocation_fails(P(c.update_checkout_session, sid)),
                first_allocation_fails(P(c.cancel_checkout_session, sid))]
    same = stored(sid) == before
    '''),
}


@pytest.mark.parametrize("case", list(MEMORY_CASES))
def test_running_out_of_memory_in_a_writer_changes_nothing(run_py, case):
    """Whatever can fail for want of memory happens before the stored record
    changes: the call raises the PanicException it always did, the session is
    left as it was, and the store is not poisoned."""
    if case != "result-object" and os.environ.get("CORVANE_SANITIZED"):
        pytest.skip("the sanitizers reserve address space of their own")
    if case != "result-object" and os.environ.get("CORVANE_EMULATED"):
        # The cap applies to the emulator's process, whose own mappings come
        # and go under it: the module's allocations do not fail where they would.
        pytest.skip("an address-space cap is not the program's own under an emulator")
    prefix, body = MEMORY_CASES[case]
    r, proc = run_script(run_py, None, OUT_OF_MEMORY + textwrap.dedent(body + '''
    emit({"failures": failures, "same": same, "usable": outcome(usable),
          "completed": outcome(lambda: c.complete_checkout_session(keep, acp.PaymentRequest("t")).order.status)})
    '''))
    assert r["failures"]
    for out in r["failures"]:
        assert_panic(out, prefix, proc.stderr)
    if case == "result-object":
        assert [out["msg"].split(":")[0] for out in r["failures"]] == [
            "could not allocate a CheckoutSessionWithOrder object",
            "could not allocate a CheckoutSession object",
            "could not allocate a CheckoutSession object",
        ]
    assert r["same"] is True
    assert assert_ok(r["usable"]) == ["not_ready_for_payment", "ready_for_payment", "placed", "canceled"]
    assert assert_ok(r["completed"]) == "placed"


def test_big_table_is_huge_page_aligned_and_a_fork_mid_growth_keeps_working(run_py):
    """Past 4 MiB the session table is mapped on 2 MiB boundaries (the unit a
    transparent huge page needs), and the next one is mapped and faulted in
    ahead of its doubling by a thread of the store's own. That thread is
    stopped before a fork, so the interpreter (3.12 on) does not warn that the
    process forks with threads, and the child still grows its store through
    the doubling and reads every session."""
    r, _ = run_script(run_py, None, r'''
    import warnings
    c = acp.AcpClient()
    ids = [c.create_checkout_session(items()).id for _ in range(70_000)]  # past half of 2**17 slots
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        pid = os.fork()
    if pid == 0:
        more = [c.create_checkout_session(items()).id for _ in range(60_000)]  # past the doubling
        ok = all(c.get_checkout_session(s).id == s for s in ids[::97] + more[::97])
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    big = []
    with open("/proc/self/smaps") as f:
        for line in f:
            head = line.split()[0]
            if "-" in head and not head.endswith(":"):
                start, end = (int(x, 16) for x in head.split("-"))
                if end - start >= 8 << 20:
                    big.append((start, end))
    emit({"child": status, "big": [[s % (2 << 20), (e - s) % (2 << 20)] for s, e in big],
          "warnings": [str(w.message) for w in caught]})
    ''')
    assert r["child"] == 0
    assert not [w for w in r["warnings"] if "multi-threaded" in w], r["warnings"]
    assert r["big"], "no mapping of 8 MiB or more"
    assert any(m == [0, 0] for m in r["big"]), r["big"]
