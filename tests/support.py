"""What the tests share: the catalog and the totals rule as plain Python, the
texts of the messages, timestamp and identifier patterns, plain views of the
records, and the odd sequences and index objects the conversions are fed.

Imported by the test modules, and by the allocation sweep's child interpreters.
"""

import re
import types
from datetime import datetime

from hypothesis import strategies as st

import corvane_acp_native as acp

# ---------------------------------------------------------------- the catalog and its rules

LAPTOP = "prod_laptop_001"
MOUSE = "prod_mouse_002"
KEYBOARD = "prod_keyboard_003"

# product id -> (title, unit amount, variant_id, sku, image_url)
CATALOG = {
    LAPTOP: ('MacBook Pro 14"', 199900, "var_001", "MBP14-M3", "https://images.corvane.example/mbp14.jpg"),
    MOUSE: ("Magic Mouse", 9900, "var_002", "MM-WHITE", "https://images.corvane.example/mouse.jpg"),
    KEYBOARD: ("Magic Keyboard", 29900, "var_003", "MK-SILVER", "https://images.corvane.example/keyboard.jpg"),
}
PRODUCTS = sorted(CATALOG)
ORDER_BASE_URL = "https://orders.corvane.example/"

I32_MIN, I32_MAX = INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
I64_MIN, I64_MAX = INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def wrap64(value):
    """Reduce an integer to signed 64-bit two's complement."""
    return (value + 2**63) % 2**64 - 2**63


def expected_totals(lines):
    """Totals amounts for (product id, quantity) pairs: wrapping sums, truncated double tax."""
    # Wrapping each line and each partial sum gives the same as wrapping the
    # exact sum once: two's complement addition is addition modulo 2**64.
    subtotal = wrap64(sum(CATALOG[pid][1] * quantity for pid, quantity in lines))
    tax = int(float(subtotal) * 0.0875)
    shipping = 999 if subtotal <= 10000 else 0
    return (subtotal, tax, shipping, 0, wrap64(subtotal + tax + shipping))


def expected_line(pid, quantity):
    """The line the catalog makes of one requested item, as `line_of` shows it."""
    title, amount, variant_id, sku, image_url = CATALOG[pid]
    return (pid, title, quantity, (amount, "USD"), variant_id, sku, image_url)


def request(*pairs):
    """Request items for (product id, quantity) pairs."""
    return [acp.RequestItem(pid, quantity) for pid, quantity in pairs]


def usd(*amounts):
    return tuple((a, "USD") for a in amounts)


# ---------------------------------------------------------------- fields and plain views

def attribute_names(cls):
    """The class's attributes in declaration order: its attribute descriptors,
    read from the running module (test_module pins them to the expected names)."""
    return tuple(name for name, d in vars(cls).items()
                 if isinstance(d, types.GetSetDescriptorType) and not name.startswith("__"))


# class name -> its attributes, in declaration order: every exported class that has any
FIELDS = {
    name: attribute_names(cls)
    for name, cls in ((name, getattr(acp, name)) for name in acp.__all__)
    if isinstance(cls, type) and attribute_names(cls)
}

MONEY_FIELDS = FIELDS["Money"]
TOTAL_FIELDS = FIELDS["Totals"]
ADDRESS_FIELDS = FIELDS["Address"]
CUSTOMER_FIELDS = FIELDS["Customer"]
LINE_FIELDS = FIELDS["LineItem"]
SESSION_FIELDS = FIELDS["CheckoutSession"]
ORDER_FIELDS = FIELDS["Order"]


def plain(obj):
    """Everything a record shows, as nested tuples of plain values."""
    if obj is None or isinstance(obj, (str, int)):
        return obj
    if isinstance(obj, (list, tuple)):
        return [plain(x) for x in obj]
    name = type(obj).__name__
    if name not in FIELDS:
        return "<%s>" % name
    return (name,) + tuple(plain(getattr(obj, f)) for f in FIELDS[name])


def money_of(money):
    return (money.amount, money.currency)


def amounts(totals):
    return tuple(getattr(totals, f).amount for f in TOTAL_FIELDS)


def currencies(totals):
    return tuple(getattr(totals, f).currency for f in TOTAL_FIELDS)


def totals_of(session):
    """The session's totals as (amount, currency) pairs."""
    return tuple(money_of(getattr(session.totals, f)) for f in TOTAL_FIELDS)


def lines_of(session):
    """The session's lines as (product id, quantity) pairs."""
    return [(x.id, x.quantity) for x in session.items]


def line_of(line):
    return (line.id, line.title, line.quantity, money_of(line.unit_price), line.variant_id, line.sku, line.image_url)


def address_of(address):
    return None if address is None else tuple(getattr(address, f) for f in ADDRESS_FIELDS)


def customer_of(customer):
    if customer is None:
        return None
    assert type(customer) is acp.Customer
    return (address_of(customer.billing_address), address_of(customer.shipping_address))


def state_of(session):
    """Everything a session snapshot shows."""
    return {
        "id": session.id,
        "status": session.status,
        "items": [line_of(x) for x in session.items],
        "totals": totals_of(session),
        "customer": customer_of(session.customer),
        "created_at": session.created_at,
        "updated_at": session.updated_at,
    }


def stored(client, session_id):
    """What the store holds for a session now."""
    return state_of(client.get_checkout_session(session_id))


# ---------------------------------------------------------------- identifiers and timestamps

UUID4 = re.compile(r"\A[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\Z")
STAMP = re.compile(r"\A(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)(?:\.(\d{3}|\d{6}|\d{9}))?\+00:00\Z")


def ts_key(text):
    """Sortable (whole seconds, nanoseconds) form of a session timestamp."""
    m = STAMP.match(text)
    assert m, f"not a session timestamp: {text!r}"
    whole = datetime.strptime(m.group(1), "%Y-%m-%dT%H:%M:%S")
    return whole, int((m.group(2) or "").ljust(9, "0") or "0")


# ---------------------------------------------------------------- messages

OUT_OF_RANGE = "out of range integral type conversion attempted"
# Written by the interpreter, not by the module.
INTERPRETER_LONG_OVERFLOW = "Python int too large to convert to C long"
STR_TO_VEC = "argument 'items': Can't extract `str` to `Vec`"


def cannot_convert(type_name, target):
    return f"'{type_name}' object cannot be converted to '{target}'"


def cannot_index(type_name):
    return f"'{type_name}' object cannot be interpreted as an integer"


def expect(exc_type, message, fn, *args, **kwargs):
    """Call fn; it must raise exactly exc_type whose only argument is `message`."""
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - checked below
        assert type(exc) is exc_type, f"{type(exc).__name__}: {exc}"
        assert str(exc) == message
        assert exc.args == (message,)
        return exc
    raise AssertionError(f"{exc_type.__name__}({message!r}) not raised")


def raises_same(exc, fn, *args, **kwargs):
    """fn must raise exactly the object exc."""
    try:
        fn(*args, **kwargs)
    except BaseException as got:  # noqa: BLE001 - checked below
        assert got is exc, f"{type(got).__name__}: {got}"
        return
    raise AssertionError(f"{exc!r} not raised")


# ---------------------------------------------------------------- odd arguments


def throw(exc):
    """Raise exc (for use inside a lambda)."""
    raise exc


class Idx:
    """An object that implements only the integer-index protocol; counts its calls."""

    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __index__(self):
        self.calls += 1
        return self.value


class RaisingIndex:
    """An object whose __index__ raises the given exception instance, or a new
    one from the given callable each time."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc() if callable(self.exc) else self.exc


class Seq:
    """A sequence over a backing list (only __len__ and __getitem__), with hooks:
    `length` is a fixed length or a callable giving it, `on_get(seq, index)`
    runs before each item access; `seen` records the indexes asked for."""

    def __init__(self, items, length=None, on_get=None):
        self.items = list(items)
        self.length = length
        self.on_get = on_get
        self.seen = []

    def __len__(self):
        if callable(self.length):
            return self.length()
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        self.seen.append(index)
        if self.on_get is not None:
            self.on_get(self, index)
        return self.items[index]


class RaisingSequence:
    """A sequence of one whose element access raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise self.exc


# ---------------------------------------------------------------- value strategies

# Any text the module can hold: everything but lone surrogates (NUL included).
texts = st.text(st.characters(exclude_categories=("Cs",)), max_size=40)
int64s = st.integers(min_value=INT64_MIN, max_value=INT64_MAX)
int32s = st.integers(min_value=INT32_MIN, max_value=INT32_MAX)
beyond_int64 = st.one_of(
    st.integers(min_value=INT64_MAX + 1, max_value=2**200),
    st.integers(min_value=-(2**200), max_value=INT64_MIN - 1),
)
int64_not_int32 = st.one_of(
    st.integers(min_value=INT32_MAX + 1, max_value=INT64_MAX),
    st.integers(min_value=INT64_MIN, max_value=INT32_MIN - 1),
)
