"""Money and Totals: construction, attribute access, ranges and repr."""

import pytest
from hypothesis import given, settings

import corvane_acp_native as acp
from support import (
    INT64_MAX, INT64_MIN, INTERPRETER_LONG_OVERFLOW, TOTAL_FIELDS, Idx, amounts, beyond_int64, expect, int64s, texts,
)

EXPECTED_TOTALS = (49700, 4348, 0, 0, 54048)  # of the shared `session` fixture


def money_repr(amount, currency):
    return f"Money(amount={amount}, currency='{currency}')"


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
    expect(OverflowError, INTERPRETER_LONG_OVERFLOW, acp.Money, amount, "USD")


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
    expect(TypeError, message, acp.Money, *args)


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
    expect(exc_type, message, setattr, money, "amount", value)
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
    expect(TypeError, message, setattr, money, "currency", value)
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


# ---------------------------------------------------------------- Totals from a session


@pytest.mark.parametrize("field", TOTAL_FIELDS)
def test_totals_reads_give_distinct_money(totals, field):
    first = getattr(totals, field)
    second = getattr(totals, field)
    assert type(first) is acp.Money
    assert first is not second
    assert (first.amount, first.currency) == (second.amount, second.currency)


@pytest.mark.parametrize("field", TOTAL_FIELDS)
def test_totals_read_is_a_copy(totals, field):
    before = amounts(totals)
    got = getattr(totals, field)
    got.amount = 424242
    got.currency = "EUR"
    assert amounts(totals) == before
    assert getattr(totals, field).currency == "USD"


@pytest.mark.parametrize("field", TOTAL_FIELDS)
def test_totals_setter_copies_money(totals, field):
    money = acp.Money(1, "EUR")
    setattr(totals, field, money)
    money.amount = 2
    money.currency = "GBP"
    got = getattr(totals, field)
    assert (got.amount, got.currency) == (1, "EUR")
    assert got is not money


def test_totals_tax_keeps_assigned_value(totals):
    money = acp.Money(1, "USD")
    totals.tax = money
    money.amount = 2
    assert totals.tax.amount == 1


@pytest.mark.parametrize("field", TOTAL_FIELDS)
def test_totals_fields_are_independent(totals, field):
    before = dict(zip(TOTAL_FIELDS, amounts(totals)))
    setattr(totals, field, acp.Money(-7, "USD"))
    for other in TOTAL_FIELDS:
        expected = -7 if other == field else before[other]
        assert getattr(totals, other).amount == expected


def test_totals_subtotal_assignment_leaves_grand_total(totals):
    grand = totals.grand_total.amount
    totals.subtotal = acp.Money(1, "USD")
    assert totals.subtotal.amount == 1
    assert totals.grand_total.amount == grand


def test_totals_discount_none_refused(totals):
    with pytest.raises(TypeError) as excinfo:
        totals.discount = None
    assert str(excinfo.value) == "'NoneType' object cannot be converted to 'Money'"
    assert (totals.discount.amount, totals.discount.currency) == (0, "USD")


@pytest.mark.parametrize("field", TOTAL_FIELDS)
@pytest.mark.parametrize(
    "value, type_name",
    [
        (lambda: 5, "int"),
        (lambda: "USD", "str"),
        (lambda: None, "NoneType"),
        (lambda: acp.Address(), "Address"),
    ],
)
def test_totals_setter_rejects_non_money(totals, field, value, type_name):
    before = amounts(totals)
    with pytest.raises(TypeError) as excinfo:
        setattr(totals, field, value())
    assert str(excinfo.value) == "'%s' object cannot be converted to 'Money'" % type_name
    assert amounts(totals) == before


def test_totals_setter_rejects_money_of_another_record(totals, session):
    before = amounts(totals)
    with pytest.raises(TypeError) as excinfo:
        totals.tax = session.totals
    assert str(excinfo.value) == "'Totals' object cannot be converted to 'Money'"
    assert amounts(totals) == before


def test_totals_repr_is_default(totals):
    assert repr(totals) == object.__repr__(totals)
    assert str(totals) == object.__repr__(totals)


def test_totals_take_a_money_from_another_totals(session):
    a = session.totals
    b = session.totals
    a.shipping = b.grand_total
    assert a.shipping.amount == EXPECTED_TOTALS[4]
    assert b.shipping.amount == 0


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
