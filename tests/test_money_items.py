"""Money and RequestItem: construction, attribute access, ranges and repr."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane_acp_native as acp

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
OUT_OF_RANGE = "out of range integral type conversion attempted"
INTERPRETER_LONG_OVERFLOW = "Python int too large to convert to C long"

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


def money_repr(amount, currency):
    return f"Money(amount={amount}, currency='{currency}')"


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(BaseException) as excinfo:
        fn(*args, **kwargs)
    assert type(excinfo.value) is exc_type, repr(excinfo.value)
    assert str(excinfo.value) == message
    return excinfo.value


# --------------------------------------------------------------------------
# Money: construction
# --------------------------------------------------------------------------


def test_money_zero_and_empty_currency():
    money = acp.Money(0, "")
    assert money.amount == 0
    assert money.currency == ""
    assert repr(money) == "Money(amount=0, currency='')"


@pytest.mark.parametrize(
    "kwargs",
    [{"amount": -150, "currency": "USD"}, {"currency": "USD", "amount": -150}],
)
def test_money_by_keywords(kwargs):
    money = acp.Money(**kwargs)
    assert money.amount == -150
    assert money.currency == "USD"


def test_money_mixed_positional_and_keyword():
    money = acp.Money(9900, currency="XYZ")
    assert repr(money) == "Money(amount=9900, currency='XYZ')"


@pytest.mark.parametrize("value, expected", [(True, 1), (False, 0)])
def test_money_bool_amount(value, expected):
    money = acp.Money(value, "USD")
    assert money.amount == expected
    assert type(money.amount) is int


def test_money_negative_amount_and_empty_currency():
    money = acp.Money(-5, "")
    assert (money.amount, money.currency) == (-5, "")


@pytest.mark.parametrize("amount", [INT64_MAX, INT64_MIN, 0, -1, 1, 2**31, -(2**31) - 1])
def test_money_amount_range_accepted(amount):
    money = acp.Money(amount, "USD")
    assert money.amount == amount
    assert repr(money) == money_repr(amount, "USD")


def test_money_full_int64_repr():
    assert repr(acp.Money(INT64_MIN, "USD")) == "Money(amount=-9223372036854775808, currency='USD')"
    assert repr(acp.Money(INT64_MAX, "USD")) == "Money(amount=9223372036854775807, currency='USD')"


@pytest.mark.parametrize("amount", [2**63, INT64_MIN - 1, 2**64, -(2**100)])
def test_money_amount_out_of_range(amount):
    raises_exactly(OverflowError, INTERPRETER_LONG_OVERFLOW, acp.Money, amount, "USD")


@pytest.mark.parametrize(
    "args, message",
    [
        ((1.5, "USD"), "argument 'amount': 'float' object cannot be interpreted as an integer"),
        ((1, 2), "argument 'currency': 'int' object cannot be converted to 'PyString'"),
        ((1.5, 2), "argument 'amount': 'float' object cannot be interpreted as an integer"),
        (("7", "USD"), "argument 'amount': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_money_constructor_type_errors(args, message):
    raises_exactly(TypeError, message, acp.Money, *args)


def test_money_index_object_is_read_once():
    idx = Idx(42)
    money = acp.Money(idx, "USD")
    idx.value = 43
    assert money.amount == 42


# --------------------------------------------------------------------------
# Money: repr / str / identity
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "currency",
    ["it's", "back\\slash", "new\nline", "tab\there", "quote\"d", "", "日本円", "e\u0301", "nul\x00byte", "'"],
)
def test_money_repr_inserts_currency_unescaped(currency):
    money = acp.Money(12, currency)
    assert repr(money) == "Money(amount=12, currency='" + currency + "')"
    assert str(money) == repr(money)


def test_money_repr_follows_changes():
    money = acp.Money(1, "USD")
    money.amount = -250
    money.currency = "EUR"
    assert repr(money) == "Money(amount=-250, currency='EUR')"


def test_money_equality_and_hash_are_by_identity():
    first = acp.Money(1, "USD")
    second = acp.Money(1, "USD")
    assert first != second
    assert not first == second
    assert first == first
    assert hash(first) == object.__hash__(first)
    assert len({first, second}) == 2
    with pytest.raises(TypeError):
        first < second
    with pytest.raises(TypeError):
        first + second


# --------------------------------------------------------------------------
# Money: attributes
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        (2.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("5", TypeError, "'str' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (2**63, OverflowError, INTERPRETER_LONG_OVERFLOW),
        (INT64_MIN - 1, OverflowError, INTERPRETER_LONG_OVERFLOW),
    ],
)
def test_money_amount_setter_failures_leave_value(value, exc_type, message):
    money = acp.Money(77, "USD")
    raises_exactly(exc_type, message, setattr, money, "amount", value)
    assert money.amount == 77


@pytest.mark.parametrize(
    "value, message",
    [
        (None, "'NoneType' object cannot be converted to 'PyString'"),
        (5, "'int' object cannot be converted to 'PyString'"),
        (b"EUR", "'bytes' object cannot be converted to 'PyString'"),
        (["EUR"], "'list' object cannot be converted to 'PyString'"),
    ],
)
def test_money_currency_setter_failures_leave_value(value, message):
    money = acp.Money(1, "USD")
    raises_exactly(TypeError, message, setattr, money, "currency", value)
    assert money.currency == "USD"


def test_money_currency_setter_lone_surrogate_leaves_value():
    money = acp.Money(1, "USD")
    with pytest.raises(UnicodeEncodeError):
        money.currency = "\udc00"
    assert money.currency == "USD"


def test_money_setters_accept_index_and_subclasses():
    class Text(str):
        pass

    money = acp.Money(0, "USD")
    money.amount = True
    assert money.amount == 1
    money.amount = Idx(-9)
    assert money.amount == -9
    money.amount = INT64_MIN
    assert money.amount == INT64_MIN
    money.currency = Text("CHF")
    assert money.currency == "CHF"
    assert type(money.currency) is str


def test_money_reads_are_fresh_values():
    money = acp.Money(5, "USD")
    currency = money.currency
    money.currency = "EUR"
    assert currency == "USD"
    assert money.currency == "EUR"


@settings(max_examples=200, deadline=None)
@given(amount=int64s, currency=texts)
def test_money_round_trip(amount, currency):
    money = acp.Money(amount, currency)
    assert money.amount == amount
    assert money.currency == currency
    assert repr(money) == money_repr(amount, currency)
    assert str(money) == repr(money)


@settings(max_examples=200, deadline=None)
@given(first=int64s, second=int64s, text1=texts, text2=texts)
def test_money_setter_round_trip(first, second, text1, text2):
    money = acp.Money(first, text1)
    money.amount = second
    money.currency = text2
    assert (money.amount, money.currency) == (second, text2)
    assert repr(money) == money_repr(second, text2)


@settings(max_examples=100, deadline=None)
@given(start=int64s, bad=beyond_int64)
def test_money_out_of_range_setter_keeps_value(start, bad):
    money = acp.Money(start, "USD")
    with pytest.raises(OverflowError):
        money.amount = bad
    assert money.amount == start
    with pytest.raises(OverflowError):
        acp.Money(bad, "USD")


# --------------------------------------------------------------------------
# RequestItem
# --------------------------------------------------------------------------


@pytest.mark.parametrize("quantity", [0, -3, 1, INT32_MAX, INT32_MIN])
def test_request_item_quantities_accepted(quantity):
    item = acp.RequestItem("prod_x_001", quantity)
    assert item.quantity == quantity
    assert type(item.quantity) is int
    assert item.id == "prod_x_001"


@pytest.mark.parametrize(
    "quantity",
    [INT32_MAX + 1, INT32_MIN - 1, 2**40, -(2**40), INT64_MAX, INT64_MIN],
)
def test_request_item_quantity_outside_32_bits(quantity):
    exc = raises_exactly(OverflowError, OUT_OF_RANGE, acp.RequestItem, "x", quantity)
    assert exc.args == (OUT_OF_RANGE,)
    item = acp.RequestItem("x", 5)
    raises_exactly(OverflowError, OUT_OF_RANGE, setattr, item, "quantity", quantity)
    assert item.quantity == 5


@pytest.mark.parametrize("quantity", [INT64_MAX + 1, INT64_MIN - 1, 2**100])
def test_request_item_quantity_beyond_64_bits(quantity):
    raises_exactly(OverflowError, INTERPRETER_LONG_OVERFLOW, acp.RequestItem, "x", quantity)
    item = acp.RequestItem("x", 5)
    raises_exactly(OverflowError, INTERPRETER_LONG_OVERFLOW, setattr, item, "quantity", quantity)
    assert item.quantity == 5


def test_request_item_quantity_bool_and_float():
    assert acp.RequestItem("x", True).quantity == 1
    assert acp.RequestItem("x", False).quantity == 0
    raises_exactly(
        TypeError,
        "argument 'quantity': 'float' object cannot be interpreted as an integer",
        acp.RequestItem,
        "x",
        1.0,
    )


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((None, 1), {}, "argument 'id': 'NoneType' object cannot be converted to 'PyString'"),
        ((None, 1.5), {}, "argument 'id': 'NoneType' object cannot be converted to 'PyString'"),
        ((), {"quantity": "x", "id": 3}, "argument 'id': 'int' object cannot be converted to 'PyString'"),
        ((b"x", 1), {}, "argument 'id': 'bytes' object cannot be converted to 'PyString'"),
        (("x", "1"), {}, "argument 'quantity': 'str' object cannot be interpreted as an integer"),
        (("x", None), {}, "argument 'quantity': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_request_item_constructor_type_errors(args, kwargs, message):
    raises_exactly(TypeError, message, acp.RequestItem, *args, **kwargs)


@pytest.mark.parametrize(
    "kwargs",
    [{"id": "prod_mouse_002", "quantity": 2}, {"quantity": 2, "id": "prod_mouse_002"}],
)
def test_request_item_keywords_in_either_order(kwargs):
    item = acp.RequestItem(**kwargs)
    assert (item.id, item.quantity) == ("prod_mouse_002", 2)


def test_request_item_default_repr_and_identity():
    first = acp.RequestItem("a", 1)
    second = acp.RequestItem("a", 1)
    assert re.fullmatch(r"<builtins\.RequestItem object at 0x[0-9a-fA-F]+>", repr(first))
    assert str(first) == repr(first)
    assert first != second
    assert first == first
    assert hash(first) == object.__hash__(first)


def test_request_item_empty_id_and_nul():
    assert acp.RequestItem("", 0).id == ""
    assert acp.RequestItem("a\x00b", 1).id == "a\x00b"


@pytest.mark.parametrize(
    "attr, value, exc_type, message",
    [
        ("id", None, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ("id", 12, TypeError, "'int' object cannot be converted to 'PyString'"),
        ("quantity", 1.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("quantity", None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        ("quantity", 2**31, OverflowError, OUT_OF_RANGE),
    ],
)
def test_request_item_setter_failures_leave_value(attr, value, exc_type, message):
    item = acp.RequestItem("abc", 9)
    raises_exactly(exc_type, message, setattr, item, attr, value)
    assert (item.id, item.quantity) == ("abc", 9)


def test_request_item_setters():
    class Text(str):
        pass

    item = acp.RequestItem("abc", 9)
    item.id = Text("def")
    assert item.id == "def" and type(item.id) is str
    item.id = ""
    assert item.id == ""
    item.quantity = Idx(-4)
    assert item.quantity == -4
    item.quantity = True
    assert item.quantity == 1
    item.quantity = INT32_MIN
    assert item.quantity == INT32_MIN


def test_request_item_index_object_is_read_once():
    idx = Idx(3)
    item = acp.RequestItem("x", idx)
    idx.value = 4
    assert item.quantity == 3


@settings(max_examples=200, deadline=None)
@given(ident=texts, quantity=int32s, ident2=texts, quantity2=int32s)
def test_request_item_round_trip(ident, quantity, ident2, quantity2):
    item = acp.RequestItem(ident, quantity)
    assert (item.id, item.quantity) == (ident, quantity)
    item.id = ident2
    item.quantity = quantity2
    assert (item.id, item.quantity) == (ident2, quantity2)


@settings(max_examples=100, deadline=None)
@given(bad=int64_not_int32, start=int32s)
def test_request_item_32_bit_overflow(bad, start):
    with pytest.raises(OverflowError) as excinfo:
        acp.RequestItem("x", bad)
    assert str(excinfo.value) == OUT_OF_RANGE
    item = acp.RequestItem("x", start)
    with pytest.raises(OverflowError) as excinfo:
        item.quantity = bad
    assert str(excinfo.value) == OUT_OF_RANGE
    assert item.quantity == start


@settings(max_examples=50, deadline=None)
@given(bad=beyond_int64)
def test_request_item_64_bit_overflow_is_the_interpreters(bad):
    with pytest.raises(OverflowError) as excinfo:
        acp.RequestItem("x", bad)
    assert str(excinfo.value) != OUT_OF_RANGE
    assert not str(excinfo.value).startswith("argument ")


# --------------------------------------------------------------------------
# Copies: a RequestItem handed to the client is copied at the call
# --------------------------------------------------------------------------


def test_request_item_is_copied_into_a_session():
    client = acp.AcpClient()
    item = acp.RequestItem("prod_mouse_002", 2)
    session = client.create_checkout_session([item])
    item.quantity = 7
    item.id = "changed"
    again = client.get_checkout_session(session.id)
    assert [(line.id, line.quantity) for line in again.items] == [("prod_mouse_002", 2)]


def test_money_read_from_a_line_is_a_copy():
    client = acp.AcpClient()
    session = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)])
    line = session.items[0]
    first = line.unit_price
    second = line.unit_price
    assert first is not second
    before = first.amount
    first.amount = before + 1
    first.currency = "XXX"
    assert line.unit_price.amount == before
    assert line.unit_price.currency == "USD"
