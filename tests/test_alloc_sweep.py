"""Allocation-failure sweep over every entry point of the module.

Each entry point is called again and again in a child interpreter, with the
interpreter's allocator made to fail at exactly one allocation: the 1st, then
the 2nd, the 3rd ... (`_testcapi.set_nomemory(n, n + 1)`, hooks removed right
after the call), until the call has come through unharmed a few times in a row.
Every run must either succeed with the right result or raise (MemoryError or
PanicException; other exceptions the module documents are tolerated and listed
in the summary), must leave no exception pending behind a result, must leave a
receiver unchanged when a setter failed, and must leave each stored session as
the call makes it when it succeeded and as it was when it failed (a result
object is made before the store changes).

The store's writer sections never allocate through the interpreter (arguments
are converted before the lock is taken and results are built after it is
released), so no interpreter allocation failure may ever poison the store: any
"Failed to acquire lock" seen here is a fault.

The child streams one JSON line per attempt (printed with the hooks removed).
If it dies, the parent records the position as a crash and starts a new child
that resumes right after it, so one crash never hides the rest of the sweep.
"""

import functools
import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

LIMIT = 300  # positions tried per entry point at most
STREAK = 3  # consecutive unharmed runs that end an entry point's sweep
MAX_CHILDREN = 60  # restarts per group at most (bounds the time after crashes)
CHILD_TIMEOUT = 120

HARNESS = r'''
import functools, gc, json, operator, re, sys, _testcapi
import corvane_acp_native as acp

P = functools.partial

gc.disable()  # keeps the allocation sequence of each call deterministic

LIMIT = int(sys.argv[1])
STREAK = int(sys.argv[2])
RESUME_ENTRY = sys.argv[3]
RESUME_AT = int(sys.argv[4])

sys.path.insert(0, TESTS_DIR)
from support import CATALOG, FIELDS, STAMP, UUID4, expected_totals, plain
from support import ORDER_BASE_URL as BASE_URL

ENGINE_MESSAGES = (
    "At least one item is required", "Product not found: ", "Session not found: ",
    "Payment token or method required", "Failed to acquire lock",
    "Cannot update completed or canceled session", "Session already completed",
    "Cannot complete canceled session", "Cannot cancel completed session",
)
TOLERATED = (ValueError, RuntimeError, TypeError, OverflowError, AttributeError, UnicodeError)

CLIENT = acp.AcpClient()
PROBE = CLIENT.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)])
PROBE_ID = PROBE.id

_counter = [0]


def fresh(text):
    """A new str object (no cached UTF-8 form) with a varying tail."""
    _counter[0] += 1
    return "".join([text, "#", str(_counter[0])])


NONASCII = "Z\u00fcrich \u6771\u4eac \U0001f6d2"


def emit(**record):
    print("@" + json.dumps(record), flush=True)


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "pelorin_runtime"


def describe(exc):
    return "%s: %s" % (type(exc).__name__, str(exc)[:200])


def totals_of(lines):
    return tuple(("Money", a, "USD") for a in expected_totals(lines))


def line_plain(pid, qty):
    title, amount, variant, sku, image = CATALOG[pid]
    return ("LineItem", pid, title, qty, ("Money", amount, "USD"), variant, sku, image)


def stamp_key(text):
    m = STAMP.match(text)
    assert m, text
    frac = (m.group(2) or "").ljust(9, "0")
    return (m.group(1), int(frac or 0))


def state(sid):
    """What the store holds for a session: status, lines, customer, totals, updated_at."""
    s = CLIENT.get_checkout_session(sid)
    return {
        "status": s.status,
        "items": [(x.id, x.quantity) for x in s.items],
        "customer": plain(s.customer),
        "totals": plain(s.totals),
        "updated_at": s.updated_at,
        "created_at": s.created_at,
    }


def new_session(lines=(("prod_mouse_002", 1),), status="not_ready_for_payment", customer=None):
    s = CLIENT.create_checkout_session([acp.RequestItem(p, q) for p, q in lines])
    if status == "ready_for_payment" or customer is not None:
        s = CLIENT.update_checkout_session(s.id, customer=customer)
    if status == "completed":
        CLIENT.complete_checkout_session(s.id, acp.PaymentRequest(method="card"))
    elif status == "canceled":
        CLIENT.cancel_checkout_session(s.id)
    return s.id


def attempt(fn, n):
    value = exc = leak = None
    # The frame object of this function is made now: made lazily while an exception
    # unwinds through it, its failed allocation would be the interpreter's own fault
    # (it then reports "error return without exception set"). fn is a C-level callable
    # (partial, attrgetter, ...), so no Python frame lies between here and the module.
    sys._getframe()
    _testcapi.set_nomemory(n, n + 1)
    try:
        value = fn()
    except BaseException as e:
        exc = e
    try:
        # A builtin call: the interpreter reports an exception left pending
        # behind a successful result as SystemError here.
        _testcapi.remove_mem_hooks()
    except BaseException as e:
        _testcapi.remove_mem_hooks()
        leak = e
    return value, exc, leak


def after_checks():
    """A trivial call works and the store is still usable."""
    problems = []
    poisoned = False
    try:
        if acp.version() != "1.0.0" or acp.Money(7, "USD").amount != 7 or len([1, 2]) != 2:
            problems.append("trivial call gave a wrong result")
    except BaseException as e:
        problems.append("trivial call failed: " + describe(e))
    try:
        if CLIENT.get_checkout_session(PROBE_ID).id != PROBE_ID:
            problems.append("probe session read back wrong")
    except BaseException as e:
        problems.append("probe read failed: " + describe(e))
        poisoned = "Failed to acquire lock" in str(e)
    return problems, poisoned


ENTRIES = []


def entry(name, setup, check=None, raises=None, reuse=False, python_code=False):
    """setup() gives a context whose "fn", a C-level callable without arguments, is called
    under the failing allocator; setup() and check(ctx, value, exc, final) run without it.
    `raises` = (type, message) for an entry point whose proper outcome is that exception;
    `reuse` keeps one context for the whole sweep; `python_code` marks calls that run
    Python code (an __index__, a __getitem__) under the failing allocator."""
    ENTRIES.append((name, setup, check, raises, reuse, python_code))


def call(fn, *args, **kwargs):
    """Entry whose context holds nothing but the call itself."""
    return lambda: {"fn": P(fn, *args, **kwargs)}


def classify(value, exc, raises, python_code):
    """(final, outcome, problem)"""
    if exc is None:
        if raises is None:
            return True, "ok", None
        return False, "ok", "returned %r instead of raising %s" % (value, raises[0].__name__)
    if raises is not None and type(exc) is raises[0] and str(exc) == raises[1]:
        return True, "expected " + raises[0].__name__, None
    if type(exc) is MemoryError:
        return False, "MemoryError", None
    if is_panic(exc):
        return False, "PanicException: " + str(exc)[:120], None
    if isinstance(exc, SystemError):
        if python_code:
            # The interpreter's own: Python code that runs out of memory while an exception
            # unwinds through it can end like this without any native code involved
            # (a plain `for` loop over such a __getitem__ does it too).
            return False, "tolerated (interpreter) " + describe(exc), None
        return False, describe(exc), "SystemError: " + describe(exc)
    text = str(exc)
    if isinstance(exc, TOLERATED):
        if any(text.startswith(m) for m in ENGINE_MESSAGES):
            return False, describe(exc), "engine refusal caused by an allocation failure: " + describe(exc)
        return False, "tolerated " + describe(exc), None
    return False, describe(exc), "unexpected exception " + describe(exc)


def run():
    started = not RESUME_ENTRY
    for name, setup, check, raises, reuse, python_code in ENTRIES:
        start = 0
        if not started:
            if name != RESUME_ENTRY:
                continue
            started = True
            start = RESUME_AT
        ctx = None
        streak = 0
        final_at = None
        for n in range(start, LIMIT):
            if ctx is None or not reuse:
                ctx = setup()
            emit(kind="at", entry=name, n=n)
            value, exc, leak = attempt(ctx["fn"], n)
            problems = []
            if leak is not None:
                problems.append("exception pending behind the call: " + describe(leak))
            if sys.exc_info() != (None, None, None):
                problems.append("sys.exc_info() not clear after the call")
            final, outcome, problem = classify(value, exc, raises, python_code)
            if problem:
                problems.append(problem)
            if check is not None:
                try:
                    problems.extend(check(ctx, value, exc, final) or [])
                except BaseException as e:
                    problems.append("check raised " + describe(e))
            more, poisoned = after_checks()
            problems.extend(more)
            value = exc = leak = None
            emit(kind="done", entry=name, n=n, outcome=outcome, final=final, problems=problems)
            if poisoned:
                emit(kind="poisoned", entry=name, n=n)
                return
            if final:
                final_at = n if final_at is None else final_at
                streak += 1
                if streak >= STREAK:
                    break
            else:
                streak = 0
                final_at = None
        emit(kind="end", entry=name, final_at=final_at)
    emit(kind="finished")


# ---- checks shared by the entry points ------------------------------------

def expect_value(expected):
    """The result, when there is one, equals `expected` (plain form)."""
    def check(ctx, value, exc, final):
        exp = expected(ctx) if callable(expected) else expected
        if final and plain(value) != exp:
            return ["wrong result %r, expected %r" % (plain(value), exp)]
        return []
    return check


def receiver_kept(attr=None, new=None):
    """For getters/reprs (attr None): the receiver never changes. For setters: after a
    failure the receiver is exactly as before; after success only `attr` changed."""
    def check(ctx, value, exc, final):
        obj = ctx["obj"]
        now = plain(obj)
        if attr is None:
            problems = [] if now == ctx["before"] else ["receiver changed: %r -> %r" % (ctx["before"], now)]
            if final and "expect" in ctx and plain(value) != ctx["expect"]:
                problems.append("wrong result %r, expected %r" % (plain(value), ctx["expect"]))
            return problems
        if not final:
            return [] if now == ctx["before"] else ["failed setter changed the receiver: %r -> %r"
                                                   % (ctx["before"], now)]
        got = plain(getattr(obj, attr))
        exp = new(ctx)
        return [] if got == exp else ["setter stored %r, expected %r" % (got, exp)]
    return check
'''

# --------------------------------------------------------------------------
# Records: constructors, getters, representations, setters
# --------------------------------------------------------------------------

RECORDS = r'''
class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def addr_fields():
    return [fresh(NONASCII + " " + f) for f in ("n", "l1", "l2", "c", "r", "p", "co", "ph", "e")]


def ctor(name, make, expected, python_code=False):
    """make() -> (ctx, fn); expected(ctx) is the plain form of the new object."""
    def setup():
        ctx, fn = make()
        ctx["fn"] = fn
        return ctx
    entry(name, setup, expect_value(expected), python_code=python_code)


def money_args(a, c):
    return {"a": a, "c": c}


# Constructors -------------------------------------------------------------
def _m1():
    c = money_args(2**40 + _counter[0], fresh(NONASCII))
    return c, P(acp.Money, c["a"], c["c"])
ctor("Money(a, c)", _m1, lambda c: ("Money", c["a"], c["c"]))


def _m2():
    c = money_args(-2**63, fresh("USD"))
    return c, P(acp.Money, currency=c["c"], amount=c["a"])
ctor("Money(currency=, amount=)", _m2, lambda c: ("Money", c["a"], c["c"]))


def _m3():
    c = money_args(2**63 - 1, fresh(NONASCII))
    return c, P(acp.Money.__new__, acp.Money, c["a"], c["c"])
ctor("Money.__new__", _m3, lambda c: ("Money", c["a"], c["c"]))


def _m4():
    c = money_args(12345678901, fresh(NONASCII))
    return c, P(acp.Money, **{"amount": c["a"], "currency": c["c"]})
ctor("Money(**kw)", _m4, lambda c: ("Money", c["a"], c["c"]))


def _m5():
    c = money_args(2**50 + 3, fresh("EUR"))
    return c, P(acp.Money, Index(c["a"]), c["c"])
ctor("Money(__index__)", _m5, lambda c: ("Money", c["a"], c["c"]), python_code=True)


def _a1():
    c = {"f": addr_fields()}
    return c, P(acp.Address, *c["f"])
ctor("Address(9 positional)", _a1, lambda c: ("Address",) + tuple(c["f"]))


def _a2():
    c = {"f": addr_fields()}
    return c, P(acp.Address, city=c["f"][3], email=c["f"][8])
ctor("Address(city=, email=)", _a2,
     lambda c: ("Address", None, None, None, c["f"][3], None, None, None, None, c["f"][8]))
ctor("Address()", lambda: ({}, acp.Address), lambda c: ("Address",) + (None,) * 9)


def _c1():
    c = {"a": acp.Address(*addr_fields()), "b": acp.Address(city=fresh(NONASCII))}
    return c, P(acp.Customer, c["a"], c["b"])
ctor("Customer(a, b)", _c1, lambda c: ("Customer", plain(c["a"]), plain(c["b"])))


def _c2():
    c = {"b": acp.Address(*addr_fields())}
    return c, P(acp.Customer, shipping_address=c["b"])
ctor("Customer(shipping_address=)", _c2, lambda c: ("Customer", None, plain(c["b"])))
ctor("Customer()", lambda: ({}, acp.Customer), lambda c: ("Customer", None, None))


def _r1():
    c = {"id": fresh(NONASCII), "q": 2**31 - 1}
    return c, P(acp.RequestItem, c["id"], c["q"])
ctor("RequestItem(id, q)", _r1, lambda c: ("RequestItem", c["id"], c["q"]))


def _r2():
    c = {"id": fresh("prod_mouse_002")}
    return c, P(acp.RequestItem, quantity=Index(-2**31), id=c["id"])
ctor("RequestItem(quantity=__index__, id=)", _r2, lambda c: ("RequestItem", c["id"], -2**31),
     python_code=True)


def _p1():
    c = {"t": fresh(NONASCII), "m": fresh("card")}
    return c, P(acp.PaymentRequest, c["t"], c["m"])
ctor("PaymentRequest(t, m)", _p1, lambda c: ("PaymentRequest", c["t"], c["m"]))


def _p2():
    c = {"m": fresh(NONASCII)}
    return c, P(acp.PaymentRequest, method=c["m"])
ctor("PaymentRequest(method=)", _p2, lambda c: ("PaymentRequest", None, c["m"]))
ctor("PaymentRequest()", lambda: ({}, acp.PaymentRequest), lambda c: ("PaymentRequest", None, None))


def client_works(ctx, value, exc, final):
    if final and value.get_checkout_session(PROBE_ID).id != PROBE_ID:
        return ["new client cannot read the store"]
    return []


entry("AcpClient()", call(acp.AcpClient), client_works)
entry("AcpClient(key)", lambda: {"fn": P(acp.AcpClient, fresh(NONASCII))}, client_works)
entry("AcpClient(api_key=)", lambda: {"fn": P(acp.AcpClient, api_key=fresh("sk"))}, client_works)
entry("AcpClient.__new__", call(acp.AcpClient.__new__, acp.AcpClient, None), client_works)


# Receivers shared by the getter and repr sweeps ---------------------------
_sid = new_session((("prod_laptop_001", 1), ("prod_mouse_002", -3), ("prod_keyboard_003", 2**31 - 1)),
                   customer=acp.Customer(acp.Address(*addr_fields()), acp.Address(name=fresh(NONASCII))))
SESSION = CLIENT.get_checkout_session(_sid)
_done = CLIENT.complete_checkout_session(new_session(), acp.PaymentRequest("tok"))
RECEIVERS = {
    "Money": acp.Money(-(2**62), fresh(NONASCII)),
    "Address": acp.Address(*addr_fields()),
    "Customer": acp.Customer(acp.Address(*addr_fields()), acp.Address(email=fresh(NONASCII))),
    "RequestItem": acp.RequestItem(fresh(NONASCII), -(2**31)),
    "PaymentRequest": acp.PaymentRequest(fresh(NONASCII), fresh("card")),
    "LineItem": SESSION.items[2],
    "Totals": SESSION.totals,
    "CheckoutSession": SESSION,
    "Order": _done.order,
    "CheckoutSessionWithOrder": _done,
}
GETTERS = FIELDS


def reader_setup(obj, read):
    def setup():
        return {"obj": obj, "fn": P(read, obj), "before": plain(obj), "expect": plain(read(obj))}
    return setup


for cls, attrs in GETTERS.items():
    for attr in attrs:
        entry("%s.%s" % (cls, attr), reader_setup(RECEIVERS[cls], operator.attrgetter(attr)),
              receiver_kept(), reuse=True)

for cls in ("Money", "LineItem", "CheckoutSession", "Order"):
    entry("repr(%s)" % cls, reader_setup(RECEIVERS[cls], repr), receiver_kept(), reuse=True)

entry("version()", call(acp.version), expect_value("1.0.0"))


# Setters ------------------------------------------------------------------
def setter(cls, make, attr, value, stored=None, python_code=False, label=None):
    """Sets attr on a fresh receiver to a fresh value; `stored` maps the value to what
    the attribute must then read (default: the plain form of the value)."""
    def setup():
        obj = make()
        v = value()
        return {"obj": obj, "v": v, "before": plain(obj), "fn": P(setattr, obj, attr, v)}
    def new(ctx):
        return stored(ctx["v"]) if stored else plain(ctx["v"])
    entry(label or "%s.%s = ..." % (cls, attr), setup, receiver_kept(attr, new), python_code=python_code)


def money():
    return acp.Money(5, fresh("USD"))


def address():
    return acp.Address(*addr_fields())


def line():
    return CLIENT.get_checkout_session(_sid).items[0]


def totals():
    return CLIENT.get_checkout_session(_sid).totals


setter("Money", money, "amount", lambda: 2**40 + _counter[0])
setter("Money", money, "amount", lambda: Index(-(2**60)), lambda v: -(2**60), python_code=True,
       label="Money.amount = __index__")
setter("Money", money, "currency", lambda: fresh(NONASCII))
setter("Address", address, "city", lambda: fresh(NONASCII))
setter("Address", address, "email", lambda: None)
setter("Customer", lambda: acp.Customer(address(), None), "billing_address", address)
setter("Customer", lambda: acp.Customer(address(), address()), "shipping_address", lambda: None)
setter("LineItem", line, "id", lambda: fresh(NONASCII))
setter("LineItem", line, "title", lambda: fresh("Title"))
setter("LineItem", line, "quantity", lambda: 2**31 - 1)
setter("LineItem", line, "unit_price", lambda: acp.Money(2**45, fresh(NONASCII)))
setter("LineItem", line, "variant_id", lambda: None)
setter("LineItem", line, "sku", lambda: fresh(NONASCII))
setter("LineItem", line, "image_url", lambda: fresh("https://x.example/i.jpg"))
setter("Totals", totals, "tax", lambda: acp.Money(-(2**50), fresh(NONASCII)))
setter("Totals", totals, "grand_total", lambda: acp.Money(2**62, fresh("USD")))
setter("RequestItem", lambda: acp.RequestItem("prod_mouse_002", 1), "id", lambda: fresh(NONASCII))
setter("RequestItem", lambda: acp.RequestItem("prod_mouse_002", 1), "quantity", lambda: -(2**31))
setter("PaymentRequest", lambda: acp.PaymentRequest("t", "m"), "delegated_token", lambda: fresh(NONASCII))
setter("PaymentRequest", lambda: acp.PaymentRequest("t", "m"), "method", lambda: None)
'''

# --------------------------------------------------------------------------
# Client methods that succeed
# --------------------------------------------------------------------------

CLIENT_OK = r'''
def reqs(lines):
    return [acp.RequestItem(p, q) for p, q in lines]


class Seq:
    """A sequence written in Python whose length overstates its content."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 10**9

    def __getitem__(self, i):
        return self.items[i]


def check_create(lines):
    def check(ctx, value, exc, final):
        if not final:
            return []  # the new session's identifier is unknown: nothing to read back
        problems = []
        got = plain(value)
        stored = plain(CLIENT.get_checkout_session(value.id))
        if got != stored:
            problems.append("result differs from the store: %r / %r" % (got, stored))
        if not UUID4.match(value.id):
            problems.append("bad id " + value.id)
        exp = ("not_ready_for_payment", [line_plain(p, q) for p, q in lines], totals_of(lines), None)
        if (got[2], got[3], tuple(got[4][1:]), got[5]) != exp:
            problems.append("wrong new session %r" % (got,))
        if got[6] != got[7]:
            problems.append("created_at differs from updated_at")
        return problems
    return check


def create_entry(name, lines, make, python_code=False):
    entry(name, lambda: {"fn": make(reqs(lines))}, check_create(lines), python_code=python_code)


create_entry("create([1 item])", [("prod_mouse_002", 2)],
             lambda items: P(CLIENT.create_checkout_session, items))
create_entry("create((3 items))", [("prod_laptop_001", 1), ("prod_mouse_002", -1), ("prod_keyboard_003", 2**31 - 1)],
             lambda items: P(CLIENT.create_checkout_session, tuple(items)))
create_entry("create(items=[..])", [("prod_keyboard_003", 0), ("prod_keyboard_003", -(2**31))],
             lambda items: P(CLIENT.create_checkout_session, items=items))
create_entry("create(Seq)", [("prod_laptop_001", 7), ("prod_mouse_002", 3)],
             lambda items: P(CLIENT.create_checkout_session, Seq(items)), python_code=True)


def session_check(after):
    """`after(ctx)` gives the expected state once the call took effect. The store must
    hold that state after a success and the state before the call after a failure."""
    def check(ctx, value, exc, final):
        problems = []
        before = ctx["before"]
        now = state(ctx["sid"])
        exp = after(ctx)
        took_effect = (
            now["status"] == exp["status"] and now["items"] == exp["items"]
            and now["customer"] == exp["customer"]
            and now["totals"][1:] == totals_of(exp["items"])
            and stamp_key(now["updated_at"]) >= stamp_key(before["updated_at"])
            and now["created_at"] == before["created_at"]
        )
        if exp.get("same_stamp") and now["updated_at"] != before["updated_at"]:
            took_effect = False
        if final:
            if not took_effect:
                problems.append("call succeeded but the store holds %r (expected %r)" % (now, exp))
            snap = value.session if type(value).__name__ == "CheckoutSessionWithOrder" else value
            if plain(snap) != plain(CLIENT.get_checkout_session(ctx["sid"])):
                problems.append("result differs from the store")
        elif now != before:
            problems.append("failed call changed the store: before %r, now %r" % (before, now))
        return problems
    return check


def session_entry(name, method, args, after, status="not_ready_for_payment", start_customer=None, check=None,
                  **kwargs):
    """args(ctx) and kwargs' values (callables of ctx) give the call's arguments; the
    session identifier is passed as a fresh str equal to the stored one."""
    def setup():
        sid = new_session(status=status, customer=start_customer() if start_customer else None)
        ctx = {"sid": sid, "arg": fresh(sid)[:36], "before": state(sid)}
        ctx["fn"] = P(method, *args(ctx), **{k: v(ctx) for k, v in kwargs.items()})
        return ctx
    checks = [session_check(after)] + ([check] if check else [])
    entry(name, setup, lambda *a: [p for c in checks for p in c(*a)])


def same(**changes):
    def after(ctx):
        exp = dict(ctx["before"])
        exp.update({k: (v(ctx) if callable(v) else v) for k, v in changes.items()})
        return exp
    return after


def cust():
    return acp.Customer(acp.Address(*[fresh(NONASCII) for _ in range(9)]), None)


def check_order(ctx, value, exc, final):
    if not final:
        return []
    o = value.order
    problems = []
    if (o.checkout_session_id, o.status, o.permalink_url) != (ctx["sid"], "placed", BASE_URL + ctx["sid"]):
        problems.append("wrong order %r" % (plain(o),))
    if not UUID4.match(o.id) or o.id == ctx["sid"]:
        problems.append("bad order id " + o.id)
    return problems


def arg(ctx):
    return (ctx["arg"],)


session_entry("get(id)", CLIENT.get_checkout_session, arg, same(same_stamp=True))
session_entry("get(session_id=)", CLIENT.get_checkout_session, lambda c: (), same(same_stamp=True),
              session_id=lambda c: c["arg"])

UPDATE_LINES = [("prod_keyboard_003", 3), ("prod_laptop_001", -2), ("prod_mouse_002", 2**31 - 1)]
session_entry("update(id, items)", CLIENT.update_checkout_session, lambda c: (c["arg"], reqs(UPDATE_LINES)),
              same(status="ready_for_payment", items=UPDATE_LINES))
_customers = {}


def remember_customer(ctx):
    _customers[ctx["sid"]] = cust()
    return _customers[ctx["sid"]]


session_entry("update(id, customer=)", CLIENT.update_checkout_session, arg,
              same(status="ready_for_payment", customer=lambda c: plain(_customers[c["sid"]])),
              customer=remember_customer)
session_entry("update(id, items, customer)", CLIENT.update_checkout_session, lambda c: (),
              same(status="ready_for_payment", items=UPDATE_LINES[:1],
                   customer=lambda c: plain(_customers[c["sid"]])),
              status="ready_for_payment", start_customer=cust,
              session_id=lambda c: c["arg"], items=lambda c: reqs(UPDATE_LINES[:1]), customer=remember_customer)
session_entry("update(id)", CLIENT.update_checkout_session, arg, same(status="ready_for_payment"))
session_entry("update(id, items=[])", CLIENT.update_checkout_session, lambda c: (c["arg"], []),
              same(status="ready_for_payment", items=[]))
session_entry("complete(id, token)", CLIENT.complete_checkout_session,
              lambda c: (c["arg"], acp.PaymentRequest(fresh(NONASCII))), same(status="completed"),
              check=check_order)
session_entry("complete(id, method) when ready", CLIENT.complete_checkout_session, lambda c: (),
              same(status="completed"), status="ready_for_payment", start_customer=cust, check=check_order,
              session_id=lambda c: c["arg"], payment=lambda c: acp.PaymentRequest(method=""))
session_entry("cancel(id)", CLIENT.cancel_checkout_session, arg, same(status="canceled"))
session_entry("cancel(id) when canceled", CLIENT.cancel_checkout_session, lambda c: (),
              same(status="canceled"), status="canceled", session_id=lambda c: c["arg"])
'''

# --------------------------------------------------------------------------
# Error paths: the proper outcome of each call is a documented exception
# --------------------------------------------------------------------------

ERRORS = r'''
UNKNOWN = "00000000-0000-4000-8000-000000000000"
R = acp.RequestItem


def unchanged(ctx, value, exc, final):
    now = state(ctx["sid"])
    if now != ctx["before"]:
        return ["refused call changed the store: %r -> %r" % (ctx["before"], now)]
    return []


def err(name, make, exc_type, message, status="not_ready_for_payment"):
    """make(sid) gives the call; the session `sid` (in `status`) must stay as it was."""
    def setup():
        sid = new_session(status=status)
        return {"sid": sid, "before": state(sid), "fn": make(fresh(sid)[:36])}
    entry(name, setup, unchanged, raises=(exc_type, message))


create = CLIENT.create_checkout_session
err("create([])", lambda s: P(create, []), ValueError, "At least one item is required")
err("create(())", lambda s: P(create, items=()), ValueError, "At least one item is required")
err("create(unknown product)", lambda s: P(create, [R("prod_mouse_002", 1), R("prod_x_" + NONASCII, 1)]),
    ValueError, "Product not found: prod_x_" + NONASCII)
err("create(str)", lambda s: P(create, "abc"), TypeError, "argument 'items': Can't extract `str` to `Vec`")
err("create([int])", lambda s: P(create, [R("prod_mouse_002", 1), 5]), TypeError,
    "argument 'items': 'int' object cannot be converted to 'RequestItem'")
err("create(dict)", lambda s: P(create, {}), TypeError,
    "argument 'items': 'dict' object cannot be converted to 'Sequence'")
err("get(unknown)", lambda s: P(CLIENT.get_checkout_session, "nope " + NONASCII), ValueError,
    "Session not found: nope " + NONASCII)
err("get(int)", lambda s: P(CLIENT.get_checkout_session, 123), TypeError,
    "argument 'session_id': 'int' object cannot be converted to 'PyString'")
err("update(unknown)", lambda s: P(CLIENT.update_checkout_session, UNKNOWN, [R("prod_nope", 1)]), ValueError,
    "Session not found: " + UNKNOWN)
err("update(completed)", lambda s: P(CLIENT.update_checkout_session, s, [R("prod_mouse_002", 1)]),
    RuntimeError, "Cannot update completed or canceled session", "completed")
err("update(canceled)", lambda s: P(CLIENT.update_checkout_session, s, customer=acp.Customer()),
    RuntimeError, "Cannot update completed or canceled session", "canceled")
err("update(unknown product)",
    lambda s: P(CLIENT.update_checkout_session, s, [R("prod_mouse_002", 1), R("prod_mouse_02", 1)]),
    ValueError, "Product not found: prod_mouse_02", "ready_for_payment")
err("update(customer=int)", lambda s: P(CLIENT.update_checkout_session, s, None, 5), TypeError,
    "argument 'customer': 'int' object cannot be converted to 'Customer'")
err("complete(unknown)", lambda s: P(CLIENT.complete_checkout_session, UNKNOWN, acp.PaymentRequest()),
    ValueError, "Session not found: " + UNKNOWN)
err("complete(completed)", lambda s: P(CLIENT.complete_checkout_session, s, acp.PaymentRequest("t")),
    RuntimeError, "Session already completed", "completed")
err("complete(canceled)", lambda s: P(CLIENT.complete_checkout_session, s, acp.PaymentRequest("t")),
    RuntimeError, "Cannot complete canceled session", "canceled")
err("complete(no payment)", lambda s: P(CLIENT.complete_checkout_session, s, acp.PaymentRequest()),
    ValueError, "Payment token or method required")
err("complete(payment=None)", lambda s: P(CLIENT.complete_checkout_session, s, None), TypeError,
    "argument 'payment': 'NoneType' object cannot be converted to 'PaymentRequest'")
err("cancel(unknown)", lambda s: P(CLIENT.cancel_checkout_session, UNKNOWN), ValueError,
    "Session not found: " + UNKNOWN)
err("cancel(completed)", lambda s: P(CLIENT.cancel_checkout_session, s), RuntimeError,
    "Cannot cancel completed session", "completed")
err("Money(1.5, c)", lambda s: P(acp.Money, 1.5, "USD"), TypeError,
    "argument 'amount': 'float' object cannot be interpreted as an integer")
err("Money(1, 2)", lambda s: P(acp.Money, 1, 2), TypeError,
    "argument 'currency': 'int' object cannot be converted to 'PyString'")
err("RequestItem(id, 2**31)", lambda s: P(acp.RequestItem, "x", 2**31), OverflowError,
    "out of range integral type conversion attempted")
err("Address(zip=)", lambda s: P(acp.Address, zip="1"), TypeError,
    "Address.__new__() got an unexpected keyword argument 'zip'")
err("Totals()", lambda s: acp.Totals, TypeError, "No constructor defined")
err("Money.amount = str", lambda s: P(setattr, acp.Money(1, "USD"), "amount", "x"), TypeError,
    "'str' object cannot be interpreted as an integer")
err("del Money.currency", lambda s: P(delattr, acp.Money(1, "USD"), "currency"), AttributeError,
    "can't delete attribute")
'''

GROUPS = {"records": RECORDS, "client": CLIENT_OK, "errors": ERRORS}


def sweep(group):
    """Runs the group's sweep, restarting after crashes. Returns (entries, crashes)."""
    code = f"TESTS_DIR = {str(Path(__file__).resolve().parent)!r}\n" + HARNESS + textwrap.dedent(GROUPS[group]) + "\nrun()\n"
    entries = {}
    crashes = []
    resume = ("", 0)
    for _ in range(MAX_CHILDREN):
        proc = subprocess.run(
            [sys.executable, "-c", code, str(LIMIT), str(STREAK), resume[0], str(resume[1])],
            capture_output=True, text=True, errors="replace", timeout=CHILD_TIMEOUT,
            stdin=subprocess.DEVNULL,
        )
        last_at = None
        finished = poisoned = False
        for line in proc.stdout.splitlines():
            if not line.startswith("@"):
                continue
            rec = json.loads(line[1:])
            kind = rec["kind"]
            if kind == "at":
                last_at = (rec["entry"], rec["n"])
            elif kind == "done":
                e = entries.setdefault(rec["entry"], {"outcomes": {}, "problems": [], "final_at": None, "ended": False})
                e["outcomes"][rec["outcome"]] = e["outcomes"].get(rec["outcome"], 0) + 1
                e["problems"].extend("n=%d: %s" % (rec["n"], p) for p in rec["problems"])
                last_at = None
            elif kind == "end":
                e = entries.setdefault(rec["entry"], {"outcomes": {}, "problems": [], "final_at": None, "ended": False})
                e["ended"] = True
                e["final_at"] = rec["final_at"]
            elif kind == "poisoned":
                poisoned = True
                resume = (rec["entry"], rec["n"] + 1)
            elif kind == "finished":
                finished = True
        if finished and proc.returncode == 0:
            break
        if poisoned and proc.returncode == 0:
            continue  # the problem is already recorded; go on in a fresh process
        assert last_at is not None, (
            f"child of group {group} failed outside an attempt (rc={proc.returncode}):\n"
            f"{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
        )
        crashes.append({"entry": last_at[0], "n": last_at[1], "rc": proc.returncode,
                        "stderr": proc.stderr.strip().splitlines()[-4:]})
        resume = (last_at[0], last_at[1] + 1)
    else:
        pytest.fail(f"group {group}: too many child restarts ({MAX_CHILDREN})")
    return entries, crashes


def report(group, entries, crashes):
    lines = [f"allocation sweep, group {group}: {len(entries)} entry points"]
    for name, e in entries.items():
        kinds = ", ".join(f"{k} x{v}" for k, v in sorted(e["outcomes"].items()))
        lines.append(f"  {name}: {kinds}")
    for c in crashes:
        lines.append(f"  CRASH {c['entry']} at allocation {c['n'] + 1} (rc={c['rc']}): {' | '.join(c['stderr'])}")
    return "\n".join(lines)


@functools.lru_cache(maxsize=None)
def swept(group):
    entries, crashes = sweep(group)
    return entries, crashes, report(group, entries, crashes)


@pytest.mark.parametrize("group", sorted(GROUPS))
def test_every_run_succeeds_or_raises_cleanly(group):
    entries, crashes, summary = swept(group)
    print(summary)
    problems = []
    for name, e in entries.items():
        problems.extend(f"{name}: {p}" for p in e["problems"])
        if e["ended"] and e["final_at"] is None:
            problems.append(f"{name}: never came through within {LIMIT} allocation positions")
    assert entries, summary
    assert not problems, "\n".join(problems[:60]) + "\n\n" + summary


@pytest.mark.parametrize("group", sorted(GROUPS))
def test_process_never_dies(group):
    entries, crashes, summary = swept(group)
    died = [
        f"{c['entry']}: process died (rc={c['rc']}) when allocation {c['n'] + 1} failed: " + " | ".join(c["stderr"])
        for c in crashes
    ]
    assert not died, "\n".join(died) + "\n\n" + summary
