"""Argument binding and conversion for constructors, client methods and setters.

Structural binding errors (missing / surplus / duplicate / unknown arguments),
the "argument 'x': " prefix that only an exact TypeError receives, the
type-conversion message and its type-name lookup, and pass-through of every
other exception.
"""

import sys

import pytest

import corvane_acp_native as acp
from support import (
    FIELDS, INTERPRETER_LONG_OVERFLOW, KEYBOARD, LAPTOP, MOUSE, OUT_OF_RANGE, Idx, RaisingIndex, RaisingSequence, Seq,
    cannot_convert, cannot_index, expect, lines_of, plain, throw,
)

# --------------------------------------------------------------------------
# helpers
# --------------------------------------------------------------------------

class Text(str):
    pass


class Int(int):
    pass


class MyTypeError(TypeError):
    pass


class BadStr:
    def __str__(self):
        raise RuntimeError("str of this object fails")


class NoQualnameMeta(type):
    """Reading __qualname__ of a class made with this metaclass fails."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no qualname for you")
        return super().__getattribute__(name)


class NonStrQualnameMeta(type):
    """Reading __qualname__ of a class made with this metaclass gives an int."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class NoQualname(metaclass=NoQualnameMeta):
    pass


class NonStrQualname(metaclass=NonStrQualnameMeta):
    pass


class Renamed:
    pass


Renamed.__qualname__ = "Outer.Renamed"


class Outer:
    class Inner:
        pass


def ten():
    return ["x"] * 10


# --------------------------------------------------------------------------
# missing required arguments
# --------------------------------------------------------------------------

MISSING = [
    (lambda c: acp.Money(), "Money.__new__() missing 2 required positional arguments: 'amount' and 'currency'"),
    (lambda c: acp.Money(1), "Money.__new__() missing 1 required positional argument: 'currency'"),
    (lambda c: acp.Money(amount=1), "Money.__new__() missing 1 required positional argument: 'currency'"),
    (lambda c: acp.Money(currency="USD"), "Money.__new__() missing 1 required positional argument: 'amount'"),
    # Binding comes before conversion: a bad value is not looked at.
    (lambda c: acp.Money(1.5), "Money.__new__() missing 1 required positional argument: 'currency'"),
    (lambda c: acp.Money(currency=None), "Money.__new__() missing 1 required positional argument: 'amount'"),
    (lambda c: acp.RequestItem(), "RequestItem.__new__() missing 2 required positional arguments: 'id' and 'quantity'"),
    (lambda c: acp.RequestItem("x"), "RequestItem.__new__() missing 1 required positional argument: 'quantity'"),
    (lambda c: acp.RequestItem(quantity=1), "RequestItem.__new__() missing 1 required positional argument: 'id'"),
    (lambda c: acp.RequestItem(None), "RequestItem.__new__() missing 1 required positional argument: 'quantity'"),
    (
        lambda c: c.create_checkout_session(),
        "AcpClient.create_checkout_session() missing 1 required positional argument: 'items'",
    ),
    (
        lambda c: c.get_checkout_session(),
        "AcpClient.get_checkout_session() missing 1 required positional argument: 'session_id'",
    ),
    (
        lambda c: c.cancel_checkout_session(),
        "AcpClient.cancel_checkout_session() missing 1 required positional argument: 'session_id'",
    ),
    (
        lambda c: c.update_checkout_session(),
        "AcpClient.update_checkout_session() missing 1 required positional argument: 'session_id'",
    ),
    (
        lambda c: c.update_checkout_session(items=[], customer=None),
        "AcpClient.update_checkout_session() missing 1 required positional argument: 'session_id'",
    ),
    (
        lambda c: c.complete_checkout_session(),
        "AcpClient.complete_checkout_session() missing 2 required positional arguments: 'session_id' and 'payment'",
    ),
    (
        lambda c: c.complete_checkout_session("sid"),
        "AcpClient.complete_checkout_session() missing 1 required positional argument: 'payment'",
    ),
    (
        lambda c: c.complete_checkout_session(payment=acp.PaymentRequest("t")),
        "AcpClient.complete_checkout_session() missing 1 required positional argument: 'session_id'",
    ),
    (
        lambda c: c.complete_checkout_session(payment=None),
        "AcpClient.complete_checkout_session() missing 1 required positional argument: 'session_id'",
    ),
]


@pytest.mark.parametrize("call, message", MISSING)
def test_missing_required_arguments(client, call, message):
    expect(TypeError, message, call, client)


# --------------------------------------------------------------------------
# too many positional arguments
# --------------------------------------------------------------------------

TOO_MANY = [
    (lambda c: acp.Money(1, "USD", 3), "Money.__new__() takes 2 positional arguments but 3 were given"),
    (lambda c: acp.Money(1, 2, 3, 4), "Money.__new__() takes 2 positional arguments but 4 were given"),
    (lambda c: acp.RequestItem("x", 1, 2), "RequestItem.__new__() takes 2 positional arguments but 3 were given"),
    (lambda c: acp.Address(*ten()), "Address.__new__() takes from 0 to 9 positional arguments but 10 were given"),
    (
        lambda c: acp.Address(*(ten() * 2)),
        "Address.__new__() takes from 0 to 9 positional arguments but 20 were given",
    ),
    (
        lambda c: acp.Customer(None, None, None),
        "Customer.__new__() takes from 0 to 2 positional arguments but 3 were given",
    ),
    (
        lambda c: acp.PaymentRequest("a", "b", "c"),
        "PaymentRequest.__new__() takes from 0 to 2 positional arguments but 3 were given",
    ),
    (lambda c: acp.AcpClient(None, None), "AcpClient.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (
        lambda c: c.create_checkout_session([], []),
        "AcpClient.create_checkout_session() takes 1 positional arguments but 2 were given",
    ),
    (
        lambda c: c.get_checkout_session("a", "b"),
        "AcpClient.get_checkout_session() takes 1 positional arguments but 2 were given",
    ),
    (
        lambda c: c.cancel_checkout_session("a", "b", "c"),
        "AcpClient.cancel_checkout_session() takes 1 positional arguments but 3 were given",
    ),
    (
        lambda c: c.update_checkout_session("a", None, None, None),
        "AcpClient.update_checkout_session() takes from 1 to 3 positional arguments but 4 were given",
    ),
    (
        lambda c: c.complete_checkout_session("a", None, None),
        "AcpClient.complete_checkout_session() takes 2 positional arguments but 3 were given",
    ),
    # The positional count is reported before any keyword problem.
    (lambda c: acp.Money(1, "USD", 3, bogus=1), "Money.__new__() takes 2 positional arguments but 3 were given"),
    (lambda c: acp.Money(1, "USD", 3, amount=1), "Money.__new__() takes 2 positional arguments but 3 were given"),
    (
        lambda c: acp.Address(*ten(), zip="1"),
        "Address.__new__() takes from 0 to 9 positional arguments but 10 were given",
    ),
    (
        lambda c: acp.AcpClient(1, 2, api_key=3, bogus=4),
        "AcpClient.__new__() takes from 0 to 1 positional arguments but 2 were given",
    ),
    (
        lambda c: c.get_checkout_session("a", "b", bogus=1),
        "AcpClient.get_checkout_session() takes 1 positional arguments but 2 were given",
    ),
    (
        lambda c: c.update_checkout_session(1, 2, 3, 4, 5, nope=1, session_id="x"),
        "AcpClient.update_checkout_session() takes from 1 to 3 positional arguments but 5 were given",
    ),
]


@pytest.mark.parametrize("call, message", TOO_MANY)
def test_too_many_positional_arguments(client, call, message):
    expect(TypeError, message, call, client)


# --------------------------------------------------------------------------
# keyword problems
# --------------------------------------------------------------------------

MULTIPLE = [
    (lambda c: acp.Money(1, "USD", amount=2), "Money.__new__() got multiple values for argument 'amount'"),
    (lambda c: acp.Money(1, "USD", currency="x"), "Money.__new__() got multiple values for argument 'currency'"),
    # Reported before the missing 'currency'.
    (lambda c: acp.Money(1, amount=2), "Money.__new__() got multiple values for argument 'amount'"),
    (lambda c: acp.RequestItem("x", 1, id="y"), "RequestItem.__new__() got multiple values for argument 'id'"),
    (lambda c: acp.Address("n", name="m"), "Address.__new__() got multiple values for argument 'name'"),
    (
        lambda c: acp.Customer(None, billing_address=None),
        "Customer.__new__() got multiple values for argument 'billing_address'",
    ),
    (
        lambda c: acp.PaymentRequest(None, delegated_token=None),
        "PaymentRequest.__new__() got multiple values for argument 'delegated_token'",
    ),
    (lambda c: acp.AcpClient(None, api_key=None), "AcpClient.__new__() got multiple values for argument 'api_key'"),
    (
        lambda c: c.get_checkout_session("x", session_id="y"),
        "AcpClient.get_checkout_session() got multiple values for argument 'session_id'",
    ),
    (
        lambda c: c.create_checkout_session([], items=[]),
        "AcpClient.create_checkout_session() got multiple values for argument 'items'",
    ),
    (
        lambda c: c.update_checkout_session("x", session_id="x"),
        "AcpClient.update_checkout_session() got multiple values for argument 'session_id'",
    ),
    (
        lambda c: c.update_checkout_session("x", None, items=None),
        "AcpClient.update_checkout_session() got multiple values for argument 'items'",
    ),
    (
        lambda c: c.complete_checkout_session("x", session_id="y"),
        "AcpClient.complete_checkout_session() got multiple values for argument 'session_id'",
    ),
    (
        lambda c: c.cancel_checkout_session(1, session_id=2),
        "AcpClient.cancel_checkout_session() got multiple values for argument 'session_id'",
    ),
]


@pytest.mark.parametrize("call, message", MULTIPLE)
def test_multiple_values_for_argument(client, call, message):
    expect(TypeError, message, call, client)


UNEXPECTED = [
    (lambda c: acp.Address(zip="1"), "Address.__new__() got an unexpected keyword argument 'zip'"),
    (lambda c: acp.Address(City="x"), "Address.__new__() got an unexpected keyword argument 'City'"),
    (lambda c: acp.Money(1, "USD", extra=1), "Money.__new__() got an unexpected keyword argument 'extra'"),
    # Reported before the missing 'amount'.
    (lambda c: acp.Money(amt=1, currency="x"), "Money.__new__() got an unexpected keyword argument 'amt'"),
    (lambda c: acp.RequestItem(id="x", qty=1), "RequestItem.__new__() got an unexpected keyword argument 'qty'"),
    (lambda c: acp.Customer(billing=None), "Customer.__new__() got an unexpected keyword argument 'billing'"),
    (lambda c: acp.PaymentRequest(token="t"), "PaymentRequest.__new__() got an unexpected keyword argument 'token'"),
    (lambda c: acp.AcpClient(API_KEY="k"), "AcpClient.__new__() got an unexpected keyword argument 'API_KEY'"),
    (lambda c: acp.Money(**{"é": 1}), "Money.__new__() got an unexpected keyword argument 'é'"),
    (
        lambda c: c.create_checkout_session(item=[]),
        "AcpClient.create_checkout_session() got an unexpected keyword argument 'item'",
    ),
    (
        lambda c: c.get_checkout_session(id="x"),
        "AcpClient.get_checkout_session() got an unexpected keyword argument 'id'",
    ),
    (
        lambda c: c.update_checkout_session("x", customers=None),
        "AcpClient.update_checkout_session() got an unexpected keyword argument 'customers'",
    ),
    (
        lambda c: c.complete_checkout_session("x", acp.PaymentRequest(), extra=1),
        "AcpClient.complete_checkout_session() got an unexpected keyword argument 'extra'",
    ),
    (
        lambda c: c.cancel_checkout_session(session_id="x", reason="y"),
        "AcpClient.cancel_checkout_session() got an unexpected keyword argument 'reason'",
    ),
    # Keywords are checked one by one in the order the call gives them.
    (lambda c: acp.Money(1, "USD", bogus=1, amount=2), "Money.__new__() got an unexpected keyword argument 'bogus'"),
    (lambda c: acp.Money(1, "USD", amount=2, bogus=1), "Money.__new__() got multiple values for argument 'amount'"),
    (
        lambda c: c.get_checkout_session("x", bogus=1, session_id="y"),
        "AcpClient.get_checkout_session() got an unexpected keyword argument 'bogus'",
    ),
    (
        lambda c: c.get_checkout_session("x", session_id="y", bogus=1),
        "AcpClient.get_checkout_session() got multiple values for argument 'session_id'",
    ),
]


@pytest.mark.parametrize("call, message", UNEXPECTED)
def test_unexpected_keyword_and_keyword_order(client, call, message):
    expect(TypeError, message, call, client)


def test_keywords_bind_by_text_and_by_identity_alike(client):
    """A keyword written in source is the interned name, which a call matches
    by identity once it has seen it; one made at run time (another object of
    the same text, or a str subclass) binds exactly as it does."""
    runtime = "".join(["cur", "rency"])
    assert runtime == "currency"

    class Key(str):
        pass

    for _ in range(2):  # the second round after the interned names are known
        for key in ("currency", runtime, Key("currency")):
            money = acp.Money(amount=1, **{key: "EUR"})
            assert (money.amount, money.currency) == (1, "EUR")
            expect(TypeError, "Money.__new__() got multiple values for argument 'currency'",
                   lambda c, key=key: acp.Money(1, "EUR", **{key: "USD"}), client)
        sid = client.create_checkout_session(items=[acp.RequestItem("prod_mouse_002", 1)]).id
        updated = client.update_checkout_session(sid, **{"".join(["cust", "omer"]): acp.Customer()})
        assert updated.customer is not None


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda c: acp.Money(**{"\ud800": 1}), "Money.__new__() got an unexpected keyword argument '"),
        (lambda c: acp.Address(**{"ci\udcffty": 1}), "Address.__new__() got an unexpected keyword argument '"),
        (
            lambda c: c.get_checkout_session(**{"session_id\udc80": "x"}),
            "AcpClient.get_checkout_session() got an unexpected keyword argument '",
        ),
    ],
)
def test_unencodable_keyword_name_is_unrecognised_and_shown_with_replacement(client, call, prefix):
    with pytest.raises(TypeError) as excinfo:
        call(client)
    message = str(excinfo.value)
    assert message.startswith(prefix)
    assert message.endswith("'")
    assert "\ufffd" in message
    assert not any("\ud800" <= ch <= "\udfff" for ch in message)


# --------------------------------------------------------------------------
# type conversion and the parameter-name prefix
# --------------------------------------------------------------------------

CONVERSION = [
    (lambda c: acp.Money(1.5, "USD"), "argument 'amount': " + cannot_index("float")),
    (lambda c: acp.Money("5", "USD"), "argument 'amount': " + cannot_index("str")),
    (lambda c: acp.Money(None, "USD"), "argument 'amount': " + cannot_index("NoneType")),
    (lambda c: acp.Money(1, 2), "argument 'currency': " + cannot_convert("int", "PyString")),
    (lambda c: acp.Money(1, None), "argument 'currency': " + cannot_convert("NoneType", "PyString")),
    (lambda c: acp.Money(1, b"USD"), "argument 'currency': " + cannot_convert("bytes", "PyString")),
    (lambda c: acp.Money(1, acp.Money(1, "x")), "argument 'currency': " + cannot_convert("Money", "PyString")),
    (lambda c: acp.Money(1.5, 2), "argument 'amount': " + cannot_index("float")),
    # Parameter order decides, not keyword order.
    (lambda c: acp.Money(currency=2, amount=1.5), "argument 'amount': " + cannot_index("float")),
    (lambda c: acp.RequestItem(quantity=1.5, id=None), "argument 'id': " + cannot_convert("NoneType", "PyString")),
    (lambda c: acp.RequestItem(quantity=2**40, id=None), "argument 'id': " + cannot_convert("NoneType", "PyString")),
    (lambda c: acp.RequestItem("x", 1.0), "argument 'quantity': " + cannot_index("float")),
    (lambda c: acp.Address(city=5), "argument 'city': " + cannot_convert("int", "PyString")),
    (lambda c: acp.Address(email=1, name=2.5), "argument 'name': " + cannot_convert("float", "PyString")),
    (lambda c: acp.Address(None, None, None, None, None, None, None, None, 1),
     "argument 'email': " + cannot_convert("int", "PyString")),
    (lambda c: acp.Customer(billing_address="x"), "argument 'billing_address': " + cannot_convert("str", "Address")),
    (
        lambda c: acp.Customer(shipping_address=acp.Customer()),
        "argument 'shipping_address': " + cannot_convert("Customer", "Address"),
    ),
    (
        lambda c: acp.Customer(shipping_address=1, billing_address=2),
        "argument 'billing_address': " + cannot_convert("int", "Address"),
    ),
    (
        lambda c: acp.PaymentRequest(method=1, delegated_token=2.0),
        "argument 'delegated_token': " + cannot_convert("float", "PyString"),
    ),
    (lambda c: acp.PaymentRequest(None, []), "argument 'method': " + cannot_convert("list", "PyString")),
    (lambda c: acp.AcpClient(1), "argument 'api_key': " + cannot_convert("int", "PyString")),
    (lambda c: acp.AcpClient(api_key=b"k"), "argument 'api_key': " + cannot_convert("bytes", "PyString")),
    (lambda c: c.get_checkout_session(123), "argument 'session_id': " + cannot_convert("int", "PyString")),
    (lambda c: c.get_checkout_session(session_id=b"x"), "argument 'session_id': " + cannot_convert("bytes", "PyString")),
    (lambda c: c.cancel_checkout_session(None), "argument 'session_id': " + cannot_convert("NoneType", "PyString")),
    (
        lambda c: c.update_checkout_session(customer=1, items="x", session_id=5),
        "argument 'session_id': " + cannot_convert("int", "PyString"),
    ),
    (
        lambda c: c.update_checkout_session("nope", customer=1, items="abc"),
        "argument 'items': Can't extract `str` to `Vec`",
    ),
    (
        lambda c: c.update_checkout_session("nope", customer="c"),
        "argument 'customer': " + cannot_convert("str", "Customer"),
    ),
    (
        lambda c: c.update_checkout_session("nope", None, acp.Address()),
        "argument 'customer': " + cannot_convert("Address", "Customer"),
    ),
    (
        lambda c: c.complete_checkout_session(payment=None, session_id=1),
        "argument 'session_id': " + cannot_convert("int", "PyString"),
    ),
    (
        lambda c: c.complete_checkout_session("nope", None),
        "argument 'payment': " + cannot_convert("NoneType", "PaymentRequest"),
    ),
    (
        lambda c: c.complete_checkout_session("nope", acp.Money(1, "x")),
        "argument 'payment': " + cannot_convert("Money", "PaymentRequest"),
    ),
    (lambda c: c.create_checkout_session(5), "argument 'items': " + cannot_convert("int", "Sequence")),
    (lambda c: c.create_checkout_session({}), "argument 'items': " + cannot_convert("dict", "Sequence")),
    (lambda c: c.create_checkout_session(set()), "argument 'items': " + cannot_convert("set", "Sequence")),
    (lambda c: c.create_checkout_session(iter([])), "argument 'items': " + cannot_convert("list_iterator", "Sequence")),
    (
        lambda c: c.create_checkout_session(x for x in []),
        "argument 'items': " + cannot_convert("generator", "Sequence"),
    ),
    (lambda c: c.create_checkout_session(""), "argument 'items': Can't extract `str` to `Vec`"),
    (lambda c: c.create_checkout_session(Text("ab")), "argument 'items': Can't extract `str` to `Vec`"),
    (lambda c: c.create_checkout_session([1]), "argument 'items': " + cannot_convert("int", "RequestItem")),
    (
        lambda c: c.create_checkout_session([acp.RequestItem("prod_mouse_002", 1), None]),
        "argument 'items': " + cannot_convert("NoneType", "RequestItem"),
    ),
    (lambda c: c.create_checkout_session(items=[1]), "argument 'items': " + cannot_convert("int", "RequestItem")),
]


@pytest.mark.parametrize("call, message", CONVERSION)
def test_conversion_errors_name_the_parameter(client, call, message):
    expect(TypeError, message, call, client)


SETTER_CONVERSION = [
    (lambda: acp.Money(1, "USD"), "amount", 2.0, cannot_index("float")),
    (lambda: acp.Money(1, "USD"), "amount", "5", cannot_index("str")),
    (lambda: acp.Money(1, "USD"), "amount", None, cannot_index("NoneType")),
    (lambda: acp.Money(1, "USD"), "currency", 5, cannot_convert("int", "PyString")),
    (lambda: acp.Money(1, "USD"), "currency", None, cannot_convert("NoneType", "PyString")),
    (lambda: acp.RequestItem("x", 1), "id", None, cannot_convert("NoneType", "PyString")),
    (lambda: acp.RequestItem("x", 1), "quantity", 1.0, cannot_index("float")),
    (lambda: acp.Address(city="Oslo"), "city", 5, cannot_convert("int", "PyString")),
    (lambda: acp.Customer(), "billing_address", 1, cannot_convert("int", "Address")),
    (lambda: acp.Customer(), "shipping_address", acp.Customer(), cannot_convert("Customer", "Address")),
    (lambda: acp.PaymentRequest("t", "m"), "method", 1, cannot_convert("int", "PyString")),
]


@pytest.mark.parametrize("make, attr, value, message", SETTER_CONVERSION)
def test_setter_conversion_errors_have_no_prefix_and_change_nothing(make, attr, value, message):
    obj = make()
    before = getattr(obj, attr)
    expect(TypeError, message, setattr, obj, attr, value)
    after = getattr(obj, attr)
    if isinstance(before, (int, str)) or before is None:
        assert after == before
    else:
        assert type(after) is type(before)


def test_type_name_is_the_qualname_of_the_type():
    expect(
        TypeError,
        "argument 'currency': " + cannot_convert("Outer.Renamed", "PyString"),
        acp.Money,
        1,
        Renamed(),
    )
    expect(
        TypeError,
        "argument 'currency': " + cannot_convert("Outer.Inner", "PyString"),
        acp.Money,
        1,
        Outer.Inner(),
    )
    expect(
        TypeError,
        "argument 'billing_address': " + cannot_convert("Outer.Inner", "Address"),
        acp.Customer,
        Outer.Inner(),
    )
    money = acp.Money(1, "USD")
    expect(TypeError, cannot_convert("Outer.Renamed", "PyString"), setattr, money, "currency", Renamed())


@pytest.mark.parametrize("cls", [NoQualname, NonStrQualname])
def test_unreadable_type_name(cls):
    failed = "<failed to extract type name>"
    expect(TypeError, "argument 'currency': " + cannot_convert(failed, "PyString"), acp.Money, 1, cls())
    expect(TypeError, "argument 'billing_address': " + cannot_convert(failed, "Address"), acp.Customer, cls())
    expect(TypeError, "argument 'api_key': " + cannot_convert(failed, "PyString"), acp.AcpClient, cls())
    money = acp.Money(1, "USD")
    expect(TypeError, cannot_convert(failed, "PyString"), setattr, money, "currency", cls())
    assert money.currency == "USD"
    client = acp.AcpClient()
    expect(
        TypeError,
        "argument 'payment': " + cannot_convert(failed, "PaymentRequest"),
        client.complete_checkout_session,
        "nope",
        cls(),
    )
    expect(
        TypeError,
        "argument 'items': " + cannot_convert(failed, "RequestItem"),
        client.create_checkout_session,
        [cls()],
    )


# --------------------------------------------------------------------------
# which exceptions get the prefix
# --------------------------------------------------------------------------


def test_exact_type_error_from_index_gets_the_prefix():
    original = TypeError("custom failure")
    exc = expect(TypeError, "argument 'amount': custom failure", acp.Money, RaisingIndex(original), "USD")
    assert exc is not original
    assert exc.__cause__ is None


def test_prefixed_type_error_keeps_the_cause():
    cause = ValueError("y")
    original = TypeError("x")
    original.__cause__ = cause
    exc = expect(TypeError, "argument 'amount': x", acp.Money, RaisingIndex(original), "USD")
    assert exc is not original
    assert exc.__cause__ is cause


def test_prefixed_type_error_keeps_the_cause_of_raise_from():
    seen = {}

    class RaiseFrom:
        def __index__(self):
            inner = ValueError("y")
            seen["cause"] = inner
            raise TypeError("x") from inner

    exc = expect(TypeError, "argument 'quantity': x", acp.RequestItem, "id", RaiseFrom())
    assert exc.__cause__ is seen["cause"]
    assert type(exc.__cause__) is ValueError
    assert str(exc.__cause__) == "y"


@pytest.mark.parametrize(
    "original, text",
    [
        (TypeError(42), "42"),
        (TypeError(), ""),
        (TypeError("a", "b"), "('a', 'b')"),
        (TypeError("quote ' and \n newline"), "quote ' and \n newline"),
        (TypeError("non-ascii é ☃"), "non-ascii é ☃"),
    ],
)
def test_prefix_uses_str_of_the_replaced_exception(original, text):
    expect(TypeError, "argument 'amount': " + text, acp.Money, RaisingIndex(original), "USD")


def test_prefix_replaces_unencodable_characters():
    with pytest.raises(TypeError) as excinfo:
        acp.Money(RaisingIndex(TypeError("bad\ud800text")), "USD")
    message = str(excinfo.value)
    assert message.startswith("argument 'amount': bad")
    assert message.endswith("text")
    assert "\ufffd" in message
    assert not any("\ud800" <= ch <= "\udfff" for ch in message)


def test_prefix_when_str_of_the_replaced_exception_fails(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report))
    original = TypeError(BadStr())
    expect(
        TypeError,
        "argument 'amount': <unprintable TypeError object>",
        acp.Money,
        RaisingIndex(original),
        "USD",
    )
    assert len(reports) == 1
    assert type(reports[0].exc_value) is RuntimeError
    assert str(reports[0].exc_value) == "str of this object fails"


@pytest.mark.parametrize(
    "original",
    [
        MyTypeError("subclass"),
        OverflowError("custom overflow"),
        ValueError("value"),
        RuntimeError("runtime"),
        KeyError("key"),
        ZeroDivisionError("zero"),
        UnicodeEncodeError("utf-8", "x", 0, 1, "why"),
        MemoryError(),
    ],
    ids=lambda e: type(e).__name__,
)
@pytest.mark.parametrize(
    "call",
    [
        lambda v: acp.Money(v, "USD"),
        lambda v: acp.Money(currency="USD", amount=v),
        lambda v: acp.RequestItem("x", v),
    ],
    ids=["money-positional", "money-keyword", "request-item"],
)
def test_other_exceptions_pass_through_unchanged(original, call):
    with pytest.raises(BaseException) as excinfo:
        call(RaisingIndex(original))
    assert excinfo.value is original
    assert not str(excinfo.value).startswith("argument ")


def test_type_error_subclass_keeps_its_cause_and_identity():
    cause = ValueError("y")
    original = MyTypeError("x")
    original.__cause__ = cause
    with pytest.raises(MyTypeError) as excinfo:
        acp.Money(RaisingIndex(original), "USD")
    assert excinfo.value is original
    assert str(excinfo.value) == "x"
    assert excinfo.value.__cause__ is cause


@pytest.mark.parametrize(
    "original",
    [TypeError("plain"), MyTypeError("sub"), OverflowError("o"), ValueError("v")],
    ids=lambda e: type(e).__name__,
)
@pytest.mark.parametrize("make, attr", [(lambda: acp.Money(3, "USD"), "amount"),
                                        (lambda: acp.RequestItem("x", 3), "quantity")])
def test_setters_raise_index_failures_unchanged(original, make, attr):
    obj = make()
    with pytest.raises(BaseException) as excinfo:
        setattr(obj, attr, RaisingIndex(original))
    assert excinfo.value is original
    assert getattr(obj, attr) == 3


def test_items_iteration_errors(client):
    expect(TypeError, "argument 'items': boom", client.create_checkout_session, RaisingSequence(TypeError("boom")))
    for original in (ValueError("boom"), MyTypeError("boom"), RuntimeError("boom")):
        with pytest.raises(BaseException) as excinfo:
            client.create_checkout_session(RaisingSequence(original))
        assert excinfo.value is original
        with pytest.raises(BaseException) as excinfo:
            client.update_checkout_session("nope", RaisingSequence(original))
        assert excinfo.value is original
    expect(
        TypeError,
        "argument 'items': boom",
        client.update_checkout_session,
        "nope",
        items=RaisingSequence(TypeError("boom")),
    )


# --------------------------------------------------------------------------
# overflow is never prefixed
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: acp.Money(2**63, "USD"), INTERPRETER_LONG_OVERFLOW),
        (lambda: acp.Money(-(2**63) - 1, "USD"), INTERPRETER_LONG_OVERFLOW),
        (lambda: acp.Money(amount=2**200, currency=5), INTERPRETER_LONG_OVERFLOW),
        (lambda: acp.Money(Idx(2**64), "USD"), INTERPRETER_LONG_OVERFLOW),
        (lambda: acp.RequestItem("x", 2**31), OUT_OF_RANGE),
        (lambda: acp.RequestItem("x", -(2**31) - 1), OUT_OF_RANGE),
        (lambda: acp.RequestItem(quantity=2**62, id="x"), OUT_OF_RANGE),
        (lambda: acp.RequestItem("x", Idx(2**31)), OUT_OF_RANGE),
        (lambda: acp.RequestItem("x", 2**63), INTERPRETER_LONG_OVERFLOW),
        (lambda: acp.RequestItem("x", -(2**63) - 1), INTERPRETER_LONG_OVERFLOW),
    ],
)
def test_overflow_is_never_prefixed(call, message):
    expect(OverflowError, message, call)


def test_overflow_in_amount_is_reported_before_a_bad_currency():
    expect(OverflowError, INTERPRETER_LONG_OVERFLOW, acp.Money, 2**63, None)
    # id is converted before quantity, so a bad id wins over an overflowing quantity
    expect(
        TypeError,
        "argument 'id': " + cannot_convert("int", "PyString"),
        acp.RequestItem,
        7,
        2**31,
    )


# --------------------------------------------------------------------------
# lone surrogates: the interpreter's UnicodeEncodeError, unchanged
# --------------------------------------------------------------------------


def check_surrogate_error(exc):
    assert type(exc) is UnicodeEncodeError
    assert exc.encoding == "utf-8"
    assert exc.reason == "surrogates not allowed"
    assert not str(exc).startswith("argument ")


SURROGATE_CALLS = {
    "money-currency": lambda c: acp.Money(1, "\ud800"),
    "money-currency-keyword": lambda c: acp.Money(currency="US\udfffD", amount=1),
    "request-item-id": lambda c: acp.RequestItem("\ud800", 1),
    # id is converted before quantity
    "request-item-id-before-bad-quantity": lambda c: acp.RequestItem("\ud800", 1.5),
    "address-city": lambda c: acp.Address(city="\udc80"),
    "payment-method": lambda c: acp.PaymentRequest(method="x\ud800y"),
    "client-api-key": lambda c: acp.AcpClient(api_key="\ud800"),
    "get-session-id": lambda c: c.get_checkout_session("\ud800"),
    "cancel-session-id": lambda c: c.cancel_checkout_session(session_id="\udbff"),
    # session_id is converted before items and payment
    "update-session-id-before-items": lambda c: c.update_checkout_session("\ud800", items="not reached"),
    "complete-session-id-before-payment": lambda c: c.complete_checkout_session("\ud800", None),
}


@pytest.mark.parametrize("call", list(SURROGATE_CALLS.values()), ids=list(SURROGATE_CALLS))
def test_lone_surrogates_raise_unicode_encode_error_unchanged(client, call):
    with pytest.raises(UnicodeEncodeError) as excinfo:
        call(client)
    check_surrogate_error(excinfo.value)


def test_bad_amount_is_reported_before_a_lone_surrogate_currency():
    expect(TypeError, "argument 'amount': " + cannot_index("float"), acp.Money, 1.5, "\ud800")


@pytest.mark.parametrize(
    "make, attr",
    [
        (lambda: acp.Money(1, "USD"), "currency"),
        (lambda: acp.RequestItem("abc", 1), "id"),
        (lambda: acp.Address(city="Oslo"), "city"),
        (lambda: acp.PaymentRequest("tok", "card"), "method"),
    ],
)
def test_lone_surrogate_in_setter_changes_nothing(make, attr):
    obj = make()
    before = getattr(obj, attr)
    with pytest.raises(UnicodeEncodeError) as excinfo:
        setattr(obj, attr, "bad\ud800")
    check_surrogate_error(excinfo.value)
    assert getattr(obj, attr) == before


# --------------------------------------------------------------------------
# accepted argument kinds
# --------------------------------------------------------------------------


def test_subclasses_and_index_objects_are_accepted():
    money = acp.Money(Int(5), Text("EUR"))
    assert money.amount == 5 and type(money.amount) is int
    assert money.currency == "EUR" and type(money.currency) is str

    idx = Idx(-7)
    money = acp.Money(idx, "USD")
    assert money.amount == -7
    assert idx.calls == 1
    idx.value = 100
    assert money.amount == -7

    item = acp.RequestItem(Text("prod"), Idx(3))
    assert item.id == "prod" and type(item.id) is str
    assert item.quantity == 3

    assert acp.Money(True, "x").amount == 1
    assert acp.Money(False, "x").amount == 0
    assert acp.RequestItem("x", True).quantity == 1

    address = acp.Address(city=Text("Paris"))
    assert address.city == "Paris" and type(address.city) is str
    assert type(acp.AcpClient(api_key=Text("k"))) is acp.AcpClient
    assert acp.PaymentRequest(Text("tok")).delegated_token == "tok"


def test_str_subclass_text_is_the_str_content_not_its_str_method():
    class Loud(str):
        def __str__(self):
            return "something else"

    assert acp.Money(1, Loud("USD")).currency == "USD"
    assert acp.RequestItem(Loud("abc"), 1).id == "abc"


def test_str_subclass_session_id_is_accepted():
    client = acp.AcpClient()
    expect(ValueError, "Session not found: no such id", client.get_checkout_session, Text("no such id"))


def test_nul_characters_are_kept_whole():
    text = "a\x00b\x00"
    assert acp.Money(1, text).currency == text
    assert acp.RequestItem(text, 1).id == text
    assert acp.Address(name=text).name == text
    assert acp.PaymentRequest(method=text).method == text


# --------------------------------------------------------------------------
# writing and deleting attributes, for every class
# --------------------------------------------------------------------------


def a_session(client):
    return client.create_checkout_session([acp.RequestItem(MOUSE, 2), acp.RequestItem(KEYBOARD, 1)])


def a_completion(client):
    return client.complete_checkout_session(a_session(client).id, acp.PaymentRequest(method="card"))


# What may be written: deleting any of it is refused by the setter, and nothing changes.
WRITABLE = {
    "Money": (lambda c: acp.Money(5, "USD"), FIELDS["Money"]),
    "Address": (lambda c: acp.Address("n", "l1", "l2", "c", "r", "p", "co", "ph", "e"), FIELDS["Address"]),
    "Customer": (lambda c: acp.Customer(acp.Address(city="a"), acp.Address(city="b")), FIELDS["Customer"]),
    "Customer-absent": (lambda c: acp.Customer(), FIELDS["Customer"]),
    "RequestItem": (lambda c: acp.RequestItem("x", 4), FIELDS["RequestItem"]),
    "PaymentRequest": (lambda c: acp.PaymentRequest("t", None), FIELDS["PaymentRequest"]),
    "LineItem": (lambda c: a_session(c).items[0], FIELDS["LineItem"]),
    "Totals": (lambda c: a_session(c).totals, FIELDS["Totals"]),
}

# What is read-only: writing and deleting are the interpreter's refusals, and nothing changes.
READ_ONLY = {
    "CheckoutSession": (a_session, FIELDS["CheckoutSession"]),
    "Order": (lambda c: a_completion(c).order, FIELDS["Order"]),
    "CheckoutSessionWithOrder": (a_completion, FIELDS["CheckoutSessionWithOrder"]),
}


def per_attribute(table):
    return [pytest.param(make, attr, id=f"{name}.{attr}") for name, (make, attrs) in table.items() for attr in attrs]


@pytest.mark.parametrize("make, attr", per_attribute(WRITABLE))
def test_deleting_an_attribute_is_refused(client, make, attr):
    obj = make(client)
    before = plain(obj)
    expect(AttributeError, "can't delete attribute", delattr, obj, attr)
    assert plain(obj) == before


@pytest.mark.parametrize("value", ["completed", None, 0, []])
@pytest.mark.parametrize("make, attr", per_attribute(READ_ONLY))
def test_read_only_attributes_refuse_writes_and_deletion(client, make, attr, value):
    obj = make(client)
    before = plain(obj)
    with pytest.raises(AttributeError) as excinfo:
        setattr(obj, attr, value)
    assert "can't delete attribute" not in str(excinfo.value)
    with pytest.raises(AttributeError) as excinfo:
        delattr(obj, attr)
    # refused by the interpreter itself, not by a setter
    assert str(excinfo.value) != "can't delete attribute"
    assert plain(obj) == before


def test_deleting_an_unknown_attribute_is_the_interpreters_error():
    with pytest.raises(AttributeError) as excinfo:
        del acp.Money(1, "x").nope
    assert str(excinfo.value) != "can't delete attribute"


# --------------------------------------------------------------------------
# the length of a sequence of items is only a hint
# --------------------------------------------------------------------------

class IntSub(int):
    pass


class OwnInterrupt(BaseException):
    """A BaseException of the caller's own, neither Exception nor a system one."""


LENGTHS = [
    pytest.param(lambda: throw(KeyboardInterrupt()), id="raises-KeyboardInterrupt"),
    pytest.param(lambda: throw(SystemExit(1)), id="raises-SystemExit"),
    pytest.param(lambda: throw(OwnInterrupt()), id="raises-own-BaseException"),
    pytest.param(lambda: throw(RuntimeError("no length")), id="raises-RuntimeError"),
    pytest.param(lambda: throw(TypeError("no length")), id="raises-TypeError"),
    pytest.param(lambda: 2**100, id="beyond-ssize_t"),
    pytest.param(lambda: -(2**100), id="hugely-negative"),
    pytest.param(lambda: 10**15, id="huge"),
    pytest.param(lambda: sys.maxsize, id="maxsize"),
    pytest.param(lambda: sys.maxsize - 1, id="maxsize-1"),
    pytest.param(lambda: 0, id="zero"),
    pytest.param(lambda: 1, id="one"),
    pytest.param(lambda: -1, id="negative"),
    pytest.param(lambda: "3", id="str"),
    pytest.param(lambda: 2.0, id="float"),
    pytest.param(lambda: IntSub(10**12), id="int-subclass"),
    pytest.param(lambda: True, id="bool"),
]


@pytest.mark.parametrize("length", LENGTHS)
def test_any_length_is_only_a_hint(client, length):
    # a sequence written in Python: only __len__ and __getitem__
    s = client.create_checkout_session(Seq([acp.RequestItem(MOUSE, 1), acp.RequestItem(KEYBOARD, 2)], length=length))
    assert lines_of(s) == [(MOUSE, 1), (KEYBOARD, 2)]
    assert sys.exc_info() == (None, None, None)
    assert lines_of(client.get_checkout_session(s.id)) == [(MOUSE, 1), (KEYBOARD, 2)]
    updated = client.update_checkout_session(s.id, Seq([acp.RequestItem(LAPTOP, 1)], length=length))
    assert lines_of(updated) == [(LAPTOP, 1)]
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("hint", [10**9, 4096, 5, 0])
def test_a_list_subclass_that_lies_about_its_length_gives_its_items(client, hint):
    class Lying(list):
        def __len__(self):
            return hint

    items = Lying([acp.RequestItem(MOUSE, 1)] * 4)
    sid = client.create_checkout_session(items).id
    assert len(client.get_checkout_session(sid).items) == 4
    assert len(client.update_checkout_session(sid, items=items).items) == 4
