"""Pure-Python implementation of the checkout client API.

This is the comparison baseline for the benchmarks: the same classes, the same
constructor and setter checks, the same catalog, totals rule, lifecycle, error
messages, identifier and timestamp formats as ``corvane_acp_native``, written
for speed the way a careful Python developer would write it.

Every check is kept and every copy is observable exactly as in the native
module: constructors and setters copy what they are given, every getter of a
record-typed field returns a new object, every client call returns a new
snapshot object that never changes afterwards, and nothing Python holds can
reach the store. What is not copied is what nobody can change: the store keeps
each session as a tree of tuples that is replaced, never modified, so a
snapshot shares it instead of copying it, and builds record objects only when
a getter asks for one.

The fast paths are plain Python: ``__slots__`` records built with
``object.__new__``, ``type(x) is ...`` tests ahead of the general conversions
(which give the same result and the same errors), a cached text for the
current second of the clock, and one hex conversion of 16 random bytes per
identifier.

Differences that are inherent to Python and deliberately not imitated:
argument-binding messages come from the interpreter ("__init__() missing ..."),
assigning to a read-only attribute raises the interpreter's property error,
and texts holding lone surrogates are stored rather than refused.
"""

from __future__ import annotations

import threading
from collections.abc import Sequence
from operator import index as _index
from os import urandom as _urandom
from time import gmtime as _gmtime
from time import strftime as _strftime
from time import time_ns as _time_ns
from typing import NoReturn, Optional, Tuple

__all__ = [
    "Money",
    "Address",
    "Customer",
    "LineItem",
    "Totals",
    "CheckoutSession",
    "Order",
    "CheckoutSessionWithOrder",
    "RequestItem",
    "PaymentRequest",
    "AcpClient",
    "version",
    "__version__",
]

__version__ = "1.0.0"


def version() -> str:
    """Get library version"""
    return __version__


# ---------------------------------------------------------------------------
# Conversions and their errors
# ---------------------------------------------------------------------------

_I64_MIN = -(1 << 63)
_I64_MAX = (1 << 63) - 1
_I32_MIN = -(1 << 31)
_I32_MAX = (1 << 31) - 1
_U64 = 1 << 64


def _type_name(obj: object) -> str:
    name = getattr(type(obj), "__qualname__", None)
    return name if isinstance(name, str) else "<failed to extract type name>"


def _conversion_error(obj: object, target: str) -> TypeError:
    return TypeError(f"'{_type_name(obj)}' object cannot be converted to '{target}'")


def _prefixed(name: str, exc: TypeError) -> TypeError:
    return TypeError(f"argument '{name}': {exc}")


def _to_i64(value: object) -> int:
    v: int = _index(value)  # type: ignore[arg-type]
    if v < _I64_MIN or v > _I64_MAX:
        raise OverflowError("Python int too large to convert to C long")
    return v if type(v) is int else int(v)


def _to_i32(value: object) -> int:
    v = _to_i64(value)
    if v < _I32_MIN or v > _I32_MAX:
        raise OverflowError("out of range integral type conversion attempted")
    return v


def _to_text(value: object) -> str:
    if type(value) is str:
        return value
    if isinstance(value, str):
        return str.__str__(value)  # a plain str copy of a str subclass
    raise _conversion_error(value, "PyString")


def _wrap64(x: int) -> int:
    if _I64_MIN <= x <= _I64_MAX:
        return x
    return (x - _I64_MIN) % _U64 + _I64_MIN


def _no_delete(self: object) -> NoReturn:
    raise AttributeError("can't delete attribute")


def _no_constructor(self: object, *args: object, **kwargs: object) -> NoReturn:
    raise TypeError("No constructor defined")


class _Arg:
    """Converts one constructor or method argument, naming it in a TypeError."""

    __slots__ = ()

    @staticmethod
    def i64(name: str, value: object) -> int:
        try:
            return _to_i64(value)
        except TypeError as exc:
            if type(exc) is not TypeError:
                raise
            raise _prefixed(name, exc) from exc.__cause__

    @staticmethod
    def i32(name: str, value: object) -> int:
        try:
            return _to_i32(value)
        except TypeError as exc:
            if type(exc) is not TypeError:
                raise
            raise _prefixed(name, exc) from exc.__cause__

    @staticmethod
    def text(name: str, value: object) -> str:
        if type(value) is str:
            return value
        try:
            return _to_text(value)
        except TypeError as exc:
            raise _prefixed(name, exc) from None

    @staticmethod
    def opt_text(name: str, value: object) -> Optional[str]:
        if value is None or type(value) is str:
            return value
        try:
            return _to_text(value)
        except TypeError as exc:
            raise _prefixed(name, exc) from None


# ---------------------------------------------------------------------------
# Money and Totals
# ---------------------------------------------------------------------------


class Money:
    __slots__ = ("_amount", "_currency")

    _amount: int
    _currency: str

    def __init__(self, amount: int, currency: str) -> None:
        if type(amount) is not int or amount < _I64_MIN or amount > _I64_MAX:
            amount = _Arg.i64("amount", amount)
        if type(currency) is not str:
            currency = _Arg.text("currency", currency)
        self._amount = amount
        self._currency = currency

    @property
    def amount(self) -> int:
        return self._amount

    @amount.setter
    def amount(self, value: int) -> None:
        if type(value) is not int or value < _I64_MIN or value > _I64_MAX:
            value = _to_i64(value)
        self._amount = value

    @amount.deleter
    def amount(self) -> NoReturn:
        _no_delete(self)

    @property
    def currency(self) -> str:
        return self._currency

    @currency.setter
    def currency(self, value: str) -> None:
        if type(value) is not str:
            value = _to_text(value)
        self._currency = value

    @currency.deleter
    def currency(self) -> NoReturn:
        _no_delete(self)

    def __repr__(self) -> str:
        return f"Money(amount={self._amount}, currency='{self._currency}')"

    def _copy(self) -> Money:
        m: Money = object.__new__(Money)
        m._amount = self._amount
        m._currency = self._currency
        return m


def _money(amount: int, currency: str) -> Money:
    m: Money = object.__new__(Money)
    m._amount = amount
    m._currency = currency
    return m


def _copy_money_in(value: object) -> Money:
    if not isinstance(value, Money):
        raise _conversion_error(value, "Money")
    return value._copy()


class Totals:
    __slots__ = ("_subtotal", "_tax", "_shipping", "_discount", "_grand_total")

    _subtotal: Money
    _tax: Money
    _shipping: Money
    _discount: Money
    _grand_total: Money

    __init__ = _no_constructor

    @property
    def subtotal(self) -> Money:
        return self._subtotal._copy()

    @subtotal.setter
    def subtotal(self, value: Money) -> None:
        self._subtotal = _copy_money_in(value)

    @subtotal.deleter
    def subtotal(self) -> NoReturn:
        _no_delete(self)

    @property
    def tax(self) -> Money:
        return self._tax._copy()

    @tax.setter
    def tax(self, value: Money) -> None:
        self._tax = _copy_money_in(value)

    @tax.deleter
    def tax(self) -> NoReturn:
        _no_delete(self)

    @property
    def shipping(self) -> Money:
        return self._shipping._copy()

    @shipping.setter
    def shipping(self, value: Money) -> None:
        self._shipping = _copy_money_in(value)

    @shipping.deleter
    def shipping(self) -> NoReturn:
        _no_delete(self)

    @property
    def discount(self) -> Money:
        return self._discount._copy()

    @discount.setter
    def discount(self, value: Money) -> None:
        self._discount = _copy_money_in(value)

    @discount.deleter
    def discount(self) -> NoReturn:
        _no_delete(self)

    @property
    def grand_total(self) -> Money:
        return self._grand_total._copy()

    @grand_total.setter
    def grand_total(self, value: Money) -> None:
        self._grand_total = _copy_money_in(value)

    @grand_total.deleter
    def grand_total(self) -> NoReturn:
        _no_delete(self)

    def _copy(self) -> Totals:
        t: Totals = object.__new__(Totals)
        t._subtotal = self._subtotal._copy()
        t._tax = self._tax._copy()
        t._shipping = self._shipping._copy()
        t._discount = self._discount._copy()
        t._grand_total = self._grand_total._copy()
        return t


# ---------------------------------------------------------------------------
# Address and Customer
# ---------------------------------------------------------------------------


class Address:
    __slots__ = (
        "_name",
        "_line1",
        "_line2",
        "_city",
        "_region",
        "_postal_code",
        "_country",
        "_phone",
        "_email",
    )

    _name: Optional[str]
    _line1: Optional[str]
    _line2: Optional[str]
    _city: Optional[str]
    _region: Optional[str]
    _postal_code: Optional[str]
    _country: Optional[str]
    _phone: Optional[str]
    _email: Optional[str]

    def __init__(
        self,
        name: Optional[str] = None,
        line1: Optional[str] = None,
        line2: Optional[str] = None,
        city: Optional[str] = None,
        region: Optional[str] = None,
        postal_code: Optional[str] = None,
        country: Optional[str] = None,
        phone: Optional[str] = None,
        email: Optional[str] = None,
    ) -> None:
        t = _Arg.opt_text
        self._name = t("name", name)
        self._line1 = t("line1", line1)
        self._line2 = t("line2", line2)
        self._city = t("city", city)
        self._region = t("region", region)
        self._postal_code = t("postal_code", postal_code)
        self._country = t("country", country)
        self._phone = t("phone", phone)
        self._email = t("email", email)

    @property
    def name(self) -> Optional[str]:
        return self._name

    @name.setter
    def name(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._name = value

    @name.deleter
    def name(self) -> NoReturn:
        _no_delete(self)

    @property
    def line1(self) -> Optional[str]:
        return self._line1

    @line1.setter
    def line1(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._line1 = value

    @line1.deleter
    def line1(self) -> NoReturn:
        _no_delete(self)

    @property
    def line2(self) -> Optional[str]:
        return self._line2

    @line2.setter
    def line2(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._line2 = value

    @line2.deleter
    def line2(self) -> NoReturn:
        _no_delete(self)

    @property
    def city(self) -> Optional[str]:
        return self._city

    @city.setter
    def city(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._city = value

    @city.deleter
    def city(self) -> NoReturn:
        _no_delete(self)

    @property
    def region(self) -> Optional[str]:
        return self._region

    @region.setter
    def region(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._region = value

    @region.deleter
    def region(self) -> NoReturn:
        _no_delete(self)

    @property
    def postal_code(self) -> Optional[str]:
        return self._postal_code

    @postal_code.setter
    def postal_code(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._postal_code = value

    @postal_code.deleter
    def postal_code(self) -> NoReturn:
        _no_delete(self)

    @property
    def country(self) -> Optional[str]:
        return self._country

    @country.setter
    def country(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._country = value

    @country.deleter
    def country(self) -> NoReturn:
        _no_delete(self)

    @property
    def phone(self) -> Optional[str]:
        return self._phone

    @phone.setter
    def phone(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._phone = value

    @phone.deleter
    def phone(self) -> NoReturn:
        _no_delete(self)

    @property
    def email(self) -> Optional[str]:
        return self._email

    @email.setter
    def email(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._email = value

    @email.deleter
    def email(self) -> NoReturn:
        _no_delete(self)

    def _copy(self) -> Address:
        a: Address = object.__new__(Address)
        a._name = self._name
        a._line1 = self._line1
        a._line2 = self._line2
        a._city = self._city
        a._region = self._region
        a._postal_code = self._postal_code
        a._country = self._country
        a._phone = self._phone
        a._email = self._email
        return a


def _copy_opt_address_in(value: object) -> Optional[Address]:
    if value is None:
        return None
    if not isinstance(value, Address):
        raise _conversion_error(value, "Address")
    return value._copy()


class Customer:
    __slots__ = ("_billing_address", "_shipping_address")

    _billing_address: Optional[Address]
    _shipping_address: Optional[Address]

    def __init__(
        self,
        billing_address: Optional[Address] = None,
        shipping_address: Optional[Address] = None,
    ) -> None:
        try:
            billing = _copy_opt_address_in(billing_address)
        except TypeError as exc:
            raise _prefixed("billing_address", exc) from None
        try:
            shipping = _copy_opt_address_in(shipping_address)
        except TypeError as exc:
            raise _prefixed("shipping_address", exc) from None
        self._billing_address = billing
        self._shipping_address = shipping

    @property
    def billing_address(self) -> Optional[Address]:
        a = self._billing_address
        return None if a is None else a._copy()

    @billing_address.setter
    def billing_address(self, value: Optional[Address]) -> None:
        self._billing_address = _copy_opt_address_in(value)

    @billing_address.deleter
    def billing_address(self) -> NoReturn:
        _no_delete(self)

    @property
    def shipping_address(self) -> Optional[Address]:
        a = self._shipping_address
        return None if a is None else a._copy()

    @shipping_address.setter
    def shipping_address(self, value: Optional[Address]) -> None:
        self._shipping_address = _copy_opt_address_in(value)

    @shipping_address.deleter
    def shipping_address(self) -> NoReturn:
        _no_delete(self)

    def _copy(self) -> Customer:
        c: Customer = object.__new__(Customer)
        b = self._billing_address
        s = self._shipping_address
        c._billing_address = None if b is None else b._copy()
        c._shipping_address = None if s is None else s._copy()
        return c


# ---------------------------------------------------------------------------
# Request items and line items
# ---------------------------------------------------------------------------


class RequestItem:
    __slots__ = ("_id", "_quantity")

    _id: str
    _quantity: int

    def __init__(self, id: str, quantity: int) -> None:
        if type(id) is not str:
            id = _Arg.text("id", id)
        if type(quantity) is not int or quantity < _I32_MIN or quantity > _I32_MAX:
            quantity = _Arg.i32("quantity", quantity)
        self._id = id
        self._quantity = quantity

    @property
    def id(self) -> str:
        return self._id

    @id.setter
    def id(self, value: str) -> None:
        if type(value) is not str:
            value = _to_text(value)
        self._id = value

    @id.deleter
    def id(self) -> NoReturn:
        _no_delete(self)

    @property
    def quantity(self) -> int:
        return self._quantity

    @quantity.setter
    def quantity(self, value: int) -> None:
        if type(value) is not int or value < _I32_MIN or value > _I32_MAX:
            value = _to_i32(value)
        self._quantity = value

    @quantity.deleter
    def quantity(self) -> NoReturn:
        _no_delete(self)


class LineItem:
    __slots__ = (
        "_id",
        "_title",
        "_quantity",
        "_unit_price",
        "_variant_id",
        "_sku",
        "_image_url",
    )

    _id: str
    _title: str
    _quantity: int
    _unit_price: Money
    _variant_id: Optional[str]
    _sku: Optional[str]
    _image_url: Optional[str]

    __init__ = _no_constructor

    @property
    def id(self) -> str:
        return self._id

    @id.setter
    def id(self, value: str) -> None:
        if type(value) is not str:
            value = _to_text(value)
        self._id = value

    @id.deleter
    def id(self) -> NoReturn:
        _no_delete(self)

    @property
    def title(self) -> str:
        return self._title

    @title.setter
    def title(self, value: str) -> None:
        if type(value) is not str:
            value = _to_text(value)
        self._title = value

    @title.deleter
    def title(self) -> NoReturn:
        _no_delete(self)

    @property
    def quantity(self) -> int:
        return self._quantity

    @quantity.setter
    def quantity(self, value: int) -> None:
        if type(value) is not int or value < _I32_MIN or value > _I32_MAX:
            value = _to_i32(value)
        self._quantity = value

    @quantity.deleter
    def quantity(self) -> NoReturn:
        _no_delete(self)

    @property
    def unit_price(self) -> Money:
        return self._unit_price._copy()

    @unit_price.setter
    def unit_price(self, value: Money) -> None:
        self._unit_price = _copy_money_in(value)

    @unit_price.deleter
    def unit_price(self) -> NoReturn:
        _no_delete(self)

    @property
    def variant_id(self) -> Optional[str]:
        return self._variant_id

    @variant_id.setter
    def variant_id(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._variant_id = value

    @variant_id.deleter
    def variant_id(self) -> NoReturn:
        _no_delete(self)

    @property
    def sku(self) -> Optional[str]:
        return self._sku

    @sku.setter
    def sku(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._sku = value

    @sku.deleter
    def sku(self) -> NoReturn:
        _no_delete(self)

    @property
    def image_url(self) -> Optional[str]:
        return self._image_url

    @image_url.setter
    def image_url(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._image_url = value

    @image_url.deleter
    def image_url(self) -> NoReturn:
        _no_delete(self)

    def __repr__(self) -> str:
        return f"LineItem(id='{self._id}', title='{self._title}', quantity={self._quantity})"

    def _copy(self) -> LineItem:
        li: LineItem = object.__new__(LineItem)
        li._id = self._id
        li._title = self._title
        li._quantity = self._quantity
        li._unit_price = self._unit_price._copy()
        li._variant_id = self._variant_id
        li._sku = self._sku
        li._image_url = self._image_url
        return li


# ---------------------------------------------------------------------------
# Stored state
# ---------------------------------------------------------------------------
#
# The store keeps every session as a tree of plain tuples, built once and
# never changed: an update builds a new state and puts it in the store in
# place of the old one. A state never reaches Python code: every getter builds
# new record objects from it, so a snapshot and the store can share one state
# and still behave as independent copies.
#
#   session  (id, status, lines, totals, customer, created_at, updated_at)
#   lines    a tuple of lines, each (product_id, quantity, catalog entry)
#   totals   (subtotal, tax, shipping, discount, grand_total), all in _CURRENCY
#   customer (billing, shipping), each None or an address:
#   address  (name, line1, line2, city, region, postal_code, country, phone, email)
#   order    (id, checkout_session_id, status, permalink_url)

_new = object.__new__
_CURRENCY = "USD"


def _line_item(line: tuple) -> LineItem:
    li: LineItem = _new(LineItem)
    li._id, li._quantity, entry = line
    li._title, price, li._variant_id, li._sku, li._image_url = entry
    li._unit_price = _money(price, _CURRENCY)
    return li


def _totals_record(totals: tuple) -> Totals:
    t: Totals = _new(Totals)
    t._subtotal = _money(totals[0], _CURRENCY)
    t._tax = _money(totals[1], _CURRENCY)
    t._shipping = _money(totals[2], _CURRENCY)
    t._discount = _money(totals[3], _CURRENCY)
    t._grand_total = _money(totals[4], _CURRENCY)
    return t


def _address_state(a: Optional[Address]) -> Optional[tuple]:
    if a is None:
        return None
    return (a._name, a._line1, a._line2, a._city, a._region, a._postal_code,
            a._country, a._phone, a._email)


def _address_record(state: Optional[tuple]) -> Optional[Address]:
    if state is None:
        return None
    a: Address = _new(Address)
    (a._name, a._line1, a._line2, a._city, a._region, a._postal_code,
     a._country, a._phone, a._email) = state
    return a


# ---------------------------------------------------------------------------
# Checkout session, order, completion result, payment request
# ---------------------------------------------------------------------------


class CheckoutSession:
    __slots__ = ("_s",)

    _s: tuple

    __init__ = _no_constructor

    @property
    def id(self) -> str:
        return self._s[0]

    @property
    def status(self) -> str:
        return self._s[1]

    @property
    def items(self) -> list[LineItem]:
        return [_line_item(line) for line in self._s[2]]

    @property
    def totals(self) -> Totals:
        return _totals_record(self._s[3])

    @property
    def customer(self) -> Optional[Customer]:
        state = self._s[4]
        if state is None:
            return None
        c: Customer = _new(Customer)
        c._billing_address = _address_record(state[0])
        c._shipping_address = _address_record(state[1])
        return c

    @property
    def created_at(self) -> str:
        return self._s[5]

    @property
    def updated_at(self) -> str:
        return self._s[6]

    def __repr__(self) -> str:
        s = self._s
        return f"CheckoutSession(id='{s[0]}', status='{s[1]}', items={len(s[2])})"


def _snapshot(state: tuple) -> CheckoutSession:
    # create, get and update spell these three lines out: a call costs more.
    s: CheckoutSession = _new(CheckoutSession)
    s._s = state
    return s


class Order:
    __slots__ = ("_id", "_checkout_session_id", "_status", "_permalink_url")

    _id: str
    _checkout_session_id: str
    _status: str
    _permalink_url: Optional[str]

    __init__ = _no_constructor

    @property
    def id(self) -> str:
        return self._id

    @property
    def checkout_session_id(self) -> str:
        return self._checkout_session_id

    @property
    def status(self) -> str:
        return self._status

    @property
    def permalink_url(self) -> Optional[str]:
        return self._permalink_url

    def __repr__(self) -> str:
        return f"Order(id='{self._id}', status='{self._status}')"


class CheckoutSessionWithOrder:
    __slots__ = ("_session", "_order")

    _session: tuple
    _order: tuple

    __init__ = _no_constructor

    @property
    def session(self) -> CheckoutSession:
        return _snapshot(self._session)

    @property
    def order(self) -> Order:
        o: Order = _new(Order)
        o._id, o._checkout_session_id, o._status, o._permalink_url = self._order
        return o


class PaymentRequest:
    __slots__ = ("_delegated_token", "_method")

    _delegated_token: Optional[str]
    _method: Optional[str]

    def __init__(
        self, delegated_token: Optional[str] = None, method: Optional[str] = None
    ) -> None:
        token = _Arg.opt_text("delegated_token", delegated_token)
        meth = _Arg.opt_text("method", method)
        self._delegated_token = token
        self._method = meth

    @property
    def delegated_token(self) -> Optional[str]:
        return self._delegated_token

    @delegated_token.setter
    def delegated_token(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._delegated_token = value

    @delegated_token.deleter
    def delegated_token(self) -> NoReturn:
        _no_delete(self)

    @property
    def method(self) -> Optional[str]:
        return self._method

    @method.setter
    def method(self, value: Optional[str]) -> None:
        if value is not None and type(value) is not str:
            value = _to_text(value)
        self._method = value

    @method.deleter
    def method(self) -> NoReturn:
        _no_delete(self)


# ---------------------------------------------------------------------------
# Catalog and pricing
# ---------------------------------------------------------------------------

_IMAGE_BASE = "https://images.corvane.example/"
_ORDER_BASE = "https://orders.corvane.example/"
_TAX_RATE = 0.0875
_SHIPPING_FEE = 999
_FREE_SHIPPING_ABOVE = 10000

# id -> (title, unit price in cents, variant id, sku, image url): the tail of a line
_CATALOG: dict[str, Tuple[str, int, str, str, str]] = {
    "prod_laptop_001": ('MacBook Pro 14"', 199900, "var_001", "MBP14-M3", _IMAGE_BASE + "mbp14.jpg"),
    "prod_mouse_002": ("Magic Mouse", 9900, "var_002", "MM-WHITE", _IMAGE_BASE + "mouse.jpg"),
    "prod_keyboard_003": (
        "Magic Keyboard",
        29900,
        "var_003",
        "MK-SILVER",
        _IMAGE_BASE + "keyboard.jpg",
    ),
}


def _price(requests: list[Tuple[str, int]]) -> Tuple[tuple, tuple]:
    """The priced lines of the requested items and their totals."""
    catalog = _CATALOG
    lines = []
    subtotal = 0
    for product_id, quantity in requests:
        entry = catalog.get(product_id)
        if entry is None:
            raise ValueError("Product not found: " + product_id)
        subtotal += entry[1] * quantity
        lines.append((product_id, quantity, entry))
    if not _I64_MIN <= subtotal <= _I64_MAX:
        subtotal = _wrap64(subtotal)
    tax = int(subtotal * _TAX_RATE)
    shipping = _SHIPPING_FEE if subtotal <= _FREE_SHIPPING_ABOVE else 0
    grand = subtotal + tax + shipping
    if not _I64_MIN <= grand <= _I64_MAX:
        grand = _wrap64(grand)
    # Tuples of atoms only: the collector stops tracking them, so a big store costs it nothing.
    return tuple(lines), (subtotal, tax, shipping, 0, grand)


# ---------------------------------------------------------------------------
# Session store and client
# ---------------------------------------------------------------------------

# The process-wide store. It only grows; a writer that faults poisons it.
_store: dict[str, tuple] = {}
_store_lock = threading.Lock()
_poisoned = False

_LOCK_FAILED = "Failed to acquire lock"

# RFC 3339 text of the current second up to its ".", recomputed when the second changes.
_clock_second: Tuple[int, str] = (-1, "")


def _now() -> str:
    """The current UTC time; the fraction has 0, 3, 6 or 9 digits, the shortest exact."""
    global _clock_second
    t = _time_ns()
    second = t // 1_000_000_000
    nanos = t - second * 1_000_000_000
    cached = _clock_second
    if cached[0] == second:
        prefix = cached[1]
    else:
        prefix = _strftime("%Y-%m-%dT%H:%M:%S.", _gmtime(second))
        _clock_second = (second, prefix)
    # Zero-padded digits without a format spec: the digits of 10^k + n after its "1".
    if nanos % 1000:
        return prefix + str(nanos + 1_000_000_000)[1:] + "+00:00"
    if nanos % 1_000_000:
        return prefix + str(nanos // 1000 + 1_000_000)[1:] + "+00:00"
    if nanos:
        return prefix + str(nanos // 1_000_000 + 1000)[1:] + "+00:00"
    return prefix[:-1] + "+00:00"


# The hexadecimal digit of byte 8's high half with the RFC 4122 variant (binary 10xx) applied.
_VARIANT_DIGIT = {d: "89ab"[int(d, 16) & 3] for d in "0123456789abcdef"}


def _new_id() -> str:
    """A UUID version 4 from 16 bytes of the operating system's random source."""
    h = _urandom(16).hex()
    return f"{h[:8]}-{h[8:12]}-4{h[13:16]}-{_VARIANT_DIGIT[h[16]]}{h[17:20]}-{h[20:]}"


def _convert_items(items: object) -> list[Tuple[str, int]]:
    tp = type(items)
    if tp is not list and tp is not tuple:
        if isinstance(items, str):
            raise TypeError("argument 'items': Can't extract `str` to `Vec`")
        if not isinstance(items, (list, tuple)) and not isinstance(items, Sequence):
            raise _prefixed("items", _conversion_error(items, "Sequence"))
    out: list[Tuple[str, int]] = []
    try:
        for item in items:  # type: ignore[attr-defined]
            if type(item) is not RequestItem and not isinstance(item, RequestItem):
                raise _conversion_error(item, "RequestItem")
            out.append((item._id, item._quantity))
    except TypeError as exc:
        if type(exc) is not TypeError:
            raise
        raise _prefixed("items", exc) from exc.__cause__
    return out


def _customer_state(customer: object) -> tuple:
    if type(customer) is not Customer and not isinstance(customer, Customer):
        raise _prefixed("customer", _conversion_error(customer, "Customer"))
    return (
        _address_state(customer._billing_address),  # type: ignore[attr-defined]
        _address_state(customer._shipping_address),  # type: ignore[attr-defined]
    )


class AcpClient:
    __slots__ = ("_api_key",)

    _api_key: Optional[str]

    def __init__(self, api_key: Optional[str] = None) -> None:
        self._api_key = _Arg.opt_text("api_key", api_key)

    def create_checkout_session(self, items: Sequence[RequestItem]) -> CheckoutSession:
        requests = _convert_items(items)
        if not requests:
            raise ValueError("At least one item is required")
        lines, totals = _price(requests)
        now = _now()
        sid = _new_id()
        state = (sid, "not_ready_for_payment", lines, totals, None, now, now)
        with _store_lock:
            if _poisoned:
                raise RuntimeError(_LOCK_FAILED)
            _store[sid] = state
        s: CheckoutSession = _new(CheckoutSession)
        s._s = state
        return s

    def get_checkout_session(self, session_id: str) -> CheckoutSession:
        if type(session_id) is not str:
            session_id = _Arg.text("session_id", session_id)
        with _store_lock:
            if _poisoned:
                raise RuntimeError(_LOCK_FAILED)
            state = _store.get(session_id)
        if state is None:
            raise ValueError("Session not found: " + session_id)
        s: CheckoutSession = _new(CheckoutSession)
        s._s = state
        return s

    def update_checkout_session(
        self,
        session_id: str,
        items: Optional[Sequence[RequestItem]] = None,
        customer: Optional[Customer] = None,
    ) -> CheckoutSession:
        global _poisoned
        if type(session_id) is not str:
            session_id = _Arg.text("session_id", session_id)
        requests = None if items is None else _convert_items(items)
        new_customer = None if customer is None else _customer_state(customer)
        with _store_lock:
            if _poisoned:
                raise RuntimeError(_LOCK_FAILED)
            state = _store.get(session_id)
            if state is None:
                raise ValueError("Session not found: " + session_id)
            status = state[1]
            if status == "completed" or status == "canceled":
                raise RuntimeError("Cannot update completed or canceled session")
            if requests is None:
                lines = state[2]
                totals = state[3]
            else:
                lines, totals = _price(requests)
            try:
                state = (
                    state[0],
                    "ready_for_payment",
                    lines,
                    totals,
                    state[4] if new_customer is None else new_customer,
                    state[5],
                    _now(),
                )
                _store[session_id] = state
            except BaseException:
                _poisoned = True
                raise
        s: CheckoutSession = _new(CheckoutSession)
        s._s = state
        return s

    def complete_checkout_session(
        self, session_id: str, payment: PaymentRequest
    ) -> CheckoutSessionWithOrder:
        global _poisoned
        if type(session_id) is not str:
            session_id = _Arg.text("session_id", session_id)
        if type(payment) is not PaymentRequest and not isinstance(payment, PaymentRequest):
            raise _prefixed("payment", _conversion_error(payment, "PaymentRequest"))
        has_token = payment._delegated_token is not None
        has_method = payment._method is not None
        with _store_lock:
            if _poisoned:
                raise RuntimeError(_LOCK_FAILED)
            state = _store.get(session_id)
            if state is None:
                raise ValueError("Session not found: " + session_id)
            status = state[1]
            if status == "completed":
                raise RuntimeError("Session already completed")
            if status == "canceled":
                raise RuntimeError("Cannot complete canceled session")
            if not has_token and not has_method:
                raise ValueError("Payment token or method required")
            try:
                now = _now()
                order_id = _new_id()
                state = (state[0], "completed", state[2], state[3], state[4], state[5], now)
                _store[session_id] = state
            except BaseException:
                _poisoned = True
                raise
        sid = state[0]
        result: CheckoutSessionWithOrder = _new(CheckoutSessionWithOrder)
        result._session = state
        result._order = (order_id, sid, "placed", _ORDER_BASE + sid)
        return result

    def cancel_checkout_session(self, session_id: str) -> CheckoutSession:
        global _poisoned
        if type(session_id) is not str:
            session_id = _Arg.text("session_id", session_id)
        with _store_lock:
            if _poisoned:
                raise RuntimeError(_LOCK_FAILED)
            state = _store.get(session_id)
            if state is None:
                raise ValueError("Session not found: " + session_id)
            if state[1] == "completed":
                raise RuntimeError("Cannot cancel completed session")
            try:
                state = (state[0], "canceled", state[2], state[3], state[4], state[5], _now())
                _store[session_id] = state
            except BaseException:
                _poisoned = True
                raise
        return _snapshot(state)
