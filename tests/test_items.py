"""RequestItem and LineItem: construction, attribute access, ranges and copies."""

import re

import pytest
from hypothesis import given, settings

import corvane_acp_native as acp
from support import (
    INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN, INTERPRETER_LONG_OVERFLOW, LAPTOP, OUT_OF_RANGE, Idx,
    beyond_int64, expect, int32s, int64_not_int32, line_of, texts,
)

OPTIONAL_LINE_TEXTS = ("variant_id", "sku", "image_url")


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
    exc = expect(OverflowError, OUT_OF_RANGE, acp.RequestItem, "x", quantity)
    assert exc.args == (OUT_OF_RANGE,)
    item = acp.RequestItem("x", 5)
    expect(OverflowError, OUT_OF_RANGE, setattr, item, "quantity", quantity)
    assert item.quantity == 5


@pytest.mark.parametrize("quantity", [INT64_MAX + 1, INT64_MIN - 1, 2**100])
def test_request_item_quantity_beyond_64_bits(quantity):
    expect(OverflowError, INTERPRETER_LONG_OVERFLOW, acp.RequestItem, "x", quantity)
    item = acp.RequestItem("x", 5)
    expect(OverflowError, INTERPRETER_LONG_OVERFLOW, setattr, item, "quantity", quantity)
    assert item.quantity == 5


def test_request_item_quantity_bool_and_float():
    assert acp.RequestItem("x", True).quantity == 1
    assert acp.RequestItem("x", False).quantity == 0
    expect(
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
    expect(TypeError, message, acp.RequestItem, *args, **kwargs)


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
    expect(exc_type, message, setattr, item, attr, value)
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


# ---------------------------------------------------------------- LineItem from a session


@pytest.mark.parametrize("attr", OPTIONAL_LINE_TEXTS)
def test_lineitem_optional_text_none_and_empty(line, attr):
    setattr(line, attr, None)
    assert getattr(line, attr) is None
    setattr(line, attr, "")
    assert getattr(line, attr) == ""
    assert getattr(line, attr) is not None
    setattr(line, attr, "x\x00y")
    assert getattr(line, attr) == "x\x00y"


def test_lineitem_sku_empty_is_not_none(line):
    line.sku = ""
    assert line.sku == ""
    assert type(line.sku) is str


@pytest.mark.parametrize(
    "attr, value, type_name",
    [(attr, 1, "int") for attr in OPTIONAL_LINE_TEXTS]
    + [(attr, b"x", "bytes") for attr in OPTIONAL_LINE_TEXTS]
    + [(attr, value, name) for attr in ("id", "title") for value, name in [(None, "NoneType"), (3, "int")]],
)
def test_lineitem_text_setter_type_errors_leave_the_line(line, attr, value, type_name):
    # the optional texts take None (see above); the id and the title do not
    before = line_of(line)
    with pytest.raises(TypeError) as excinfo:
        setattr(line, attr, value)
    assert str(excinfo.value) == "'%s' object cannot be converted to 'PyString'" % type_name
    assert line_of(line) == before


@pytest.mark.parametrize("attr", ("id", "title"))
def test_lineitem_required_text_accepts_empty_and_str_subclass(line, attr):
    class S(str):
        pass

    setattr(line, attr, "")
    assert getattr(line, attr) == ""
    setattr(line, attr, S("sub"))
    assert getattr(line, attr) == "sub"
    assert type(getattr(line, attr)) is str


def test_lineitem_text_surrogate_refused(line):
    before = line_of(line)
    with pytest.raises(UnicodeEncodeError):
        line.title = "\ud83d"
    assert line_of(line) == before


def test_lineitem_repr(line):
    assert repr(line) == "LineItem(id='prod_mouse_002', title='Magic Mouse', quantity=2)"
    assert str(line) == repr(line)


def test_lineitem_repr_laptop_title_unescaped(client):
    (laptop,) = client.create_checkout_session([acp.RequestItem(LAPTOP, 1)]).items
    assert repr(laptop) == (
        "LineItem(id='prod_laptop_001', title='MacBook Pro 14\"', quantity=1)"
    )


def test_lineitem_repr_unescaped_quote_and_signed_quantity(line):
    line.id = "it's"
    line.title = "back\\slash\n'x'"
    line.quantity = -7
    assert repr(line) == "LineItem(id='it's', title='back\\slash\n'x'', quantity=-7)"


@pytest.mark.parametrize("quantity", [0, -1, INT32_MIN, INT32_MAX])
def test_lineitem_repr_quantity(line, quantity):
    line.quantity = quantity
    assert repr(line).endswith(", quantity=%d)" % quantity)


def test_lineitem_repr_ignores_price_and_optionals(line):
    before = repr(line)
    line.unit_price = acp.Money(1, "EUR")
    line.sku = None
    line.variant_id = ""
    line.image_url = "https://elsewhere.example/x.png"
    assert repr(line) == before


def test_lineitem_unit_price_reads_distinct(line):
    first = line.unit_price
    second = line.unit_price
    assert first is not second
    first.amount = 1
    assert line.unit_price.amount == 9900
    assert second.amount == 9900


def test_lineitem_unit_price_setter_copies(line):
    money = acp.Money(250, "EUR")
    line.unit_price = money
    money.amount = 1
    money.currency = "GBP"
    price = line.unit_price
    assert (price.amount, price.currency) == (250, "EUR")


@pytest.mark.parametrize(
    "value, type_name",
    [(lambda: None, "NoneType"), (lambda: 9900, "int"), (lambda: acp.Address(), "Address")],
)
def test_lineitem_unit_price_rejects_non_money(line, value, type_name):
    before = line_of(line)
    with pytest.raises(TypeError) as excinfo:
        line.unit_price = value()
    assert str(excinfo.value) == "'%s' object cannot be converted to 'Money'" % type_name
    assert line_of(line) == before


@pytest.mark.parametrize(
    "value, expected",
    [
        (INT32_MAX, INT32_MAX),
        (INT32_MIN, INT32_MIN),
        (0, 0),
        (-3, -3),
        (True, 1),
        (False, 0),
        (Idx(41), 41),
    ],
)
def test_lineitem_quantity_in_range(line, value, expected):
    line.quantity = value
    assert line.quantity == expected
    assert type(line.quantity) is int


@pytest.mark.parametrize(
    "value", [INT32_MAX + 1, INT32_MIN - 1, 2**62, -(2**63), 2**63 - 1, Idx(2**31)]
)
def test_lineitem_quantity_out_of_32_bits(line, value):
    with pytest.raises(OverflowError) as excinfo:
        line.quantity = value
    assert str(excinfo.value) == OUT_OF_RANGE
    assert line.quantity == 2


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 10**30])
def test_lineitem_quantity_beyond_64_bits(line, value):
    with pytest.raises(OverflowError):
        line.quantity = value
    assert line.quantity == 2


@pytest.mark.parametrize("value", [1.0, 1.5, "3", None, b"1"])
def test_lineitem_quantity_not_an_integer(line, value):
    with pytest.raises(TypeError) as excinfo:
        line.quantity = value
    assert not str(excinfo.value).startswith("argument ")
    assert line.quantity == 2


def test_lineitem_has_no_value_equality(session):
    a = session.items[0]
    b = session.items[0]
    assert a != b
    assert hash(a) == object.__hash__(a)
