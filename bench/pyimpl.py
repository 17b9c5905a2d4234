"""Pure-Python implementation of the checkout client API.

This is the comparison baseline for the benchmarks: the same classes, the same
constructor and setter checks, the same catalog, totals rule, lifecycle and error
messages as ``corvane_acp_native``, written the way a careful Python developer
would write them (``__slots__`` records, a module-level dict store guarded by a
``threading.Lock``, deep copies wherever the native module hands out a copy).

It is meant to be honest, not deliberately slow: cheap fast paths are taken where
a Python developer would take them (``type(x) is int``), but no check is skipped.
Strings are immutable in Python, so "copying" a text field shares the str object;
every record-typed value is copied as a new object.

Differences that are inherent to Python and deliberately not imitated:
argument-binding messages come from the interpreter ("__init__() missing ..."),
assigning to a read-only attribute raises the interpreter's property error,
timestamps carry microseconds (``datetime.isoformat``), and texts holding lone
surrogates are stored rather than refused.
"""

from __future__ import annotations

import threading
import uuid
from collections.abc import Sequence
from datetime import datetime, timezone
from operator import index as _index
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


def _to_opt_text(value: object) -> Optional[str]:
    if value is None:
        return None
    return _to_text(value)


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
        self._currency = _to_text(value)

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
        self._name = _to_opt_text(value)

    @name.deleter
    def name(self) -> NoReturn:
        _no_delete(self)

    @property
    def line1(self) -> Optional[str]:
        return self._line1

    @line1.setter
    def line1(self, value: Optional[str]) -> None:
        self._line1 = _to_opt_text(value)

    @line1.deleter
    def line1(self) -> NoReturn:
        _no_delete(self)

    @property
    def line2(self) -> Optional[str]:
        return self._line2

    @line2.setter
    def line2(self, value: Optional[str]) -> None:
        self._line2 = _to_opt_text(value)

    @line2.deleter
    def line2(self) -> NoReturn:
        _no_delete(self)

    @property
    def city(self) -> Optional[str]:
        return self._city

    @city.setter
    def city(self, value: Optional[str]) -> None:
        self._city = _to_opt_text(value)

    @city.deleter
    def city(self) -> NoReturn:
        _no_delete(self)

    @property
    def region(self) -> Optional[str]:
        return self._region

    @region.setter
    def region(self, value: Optional[str]) -> None:
        self._region = _to_opt_text(value)

    @region.deleter
    def region(self) -> NoReturn:
        _no_delete(self)

    @property
    def postal_code(self) -> Optional[str]:
        return self._postal_code

    @postal_code.setter
    def postal_code(self, value: Optional[str]) -> None:
        self._postal_code = _to_opt_text(value)

    @postal_code.deleter
    def postal_code(self) -> NoReturn:
        _no_delete(self)

    @property
    def country(self) -> Optional[str]:
        return self._country

    @country.setter
    def country(self, value: Optional[str]) -> None:
        self._country = _to_opt_text(value)

    @country.deleter
    def country(self) -> NoReturn:
        _no_delete(self)

    @property
    def phone(self) -> Optional[str]:
        return self._phone

    @phone.setter
    def phone(self, value: Optional[str]) -> None:
        self._phone = _to_opt_text(value)

    @phone.deleter
    def phone(self) -> NoReturn:
        _no_delete(self)

    @property
    def email(self) -> Optional[str]:
        return self._email

    @email.setter
    def email(self, value: Optional[str]) -> None:
        self._email = _to_opt_text(value)

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
        self._id = _to_text(value)

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
        self._id = _to_text(value)

    @id.deleter
    def id(self) -> NoReturn:
        _no_delete(self)

    @property
    def title(self) -> str:
        return self._title

    @title.setter
    def title(self, value: str) -> None:
        self._title = _to_text(value)

    @title.deleter
    def title(self) -> NoReturn:
        _no_delete(self)

    @property
    def quantity(self) -> int:
        return self._quantity

    @quantity.setter
    def quantity(self, value: int) -> None:
        self._quantity = _to_i32(value)

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
        self._variant_id = _to_opt_text(value)

    @variant_id.deleter
    def variant_id(self) -> NoReturn:
        _no_delete(self)

    @property
    def sku(self) -> Optional[str]:
        return self._sku

    @sku.setter
    def sku(self, value: Optional[str]) -> None:
        self._sku = _to_opt_text(value)

    @sku.deleter
    def sku(self) -> NoReturn:
        _no_delete(self)

    @property
    def image_url(self) -> Optional[str]:
        return self._image_url

    @image_url.setter
    def image_url(self, value: Optional[str]) -> None:
        self._image_url = _to_opt_text(value)

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
# Checkout session, order, completion result, payment request
# ---------------------------------------------------------------------------


class CheckoutSession:
    __slots__ = (
        "_id",
        "_status",
        "_items",
        "_totals",
        "_customer",
        "_created_at",
        "_updated_at",
    )

    _id: str
    _status: str
    _items: list[LineItem]
    _totals: Totals
    _customer: Optional[Customer]
    _created_at: str
    _updated_at: str

    __init__ = _no_constructor

    @property
    def id(self) -> str:
        return self._id

    @property
    def status(self) -> str:
        return self._status

    @property
    def items(self) -> list[LineItem]:
        return [li._copy() for li in self._items]

    @property
    def totals(self) -> Totals:
        return self._totals._copy()

    @property
    def customer(self) -> Optional[Customer]:
        c = self._customer
        return None if c is None else c._copy()

    @property
    def created_at(self) -> str:
        return self._created_at

    @property
    def updated_at(self) -> str:
        return self._updated_at

    def __repr__(self) -> str:
        return (
            f"CheckoutSession(id='{self._id}', status='{self._status}', "
            f"items={len(self._items)})"
        )

    def _copy(self) -> CheckoutSession:
        s: CheckoutSession = object.__new__(CheckoutSession)
        s._id = self._id
        s._status = self._status
        s._items = [li._copy() for li in self._items]
        s._totals = self._totals._copy()
        c = self._customer
        s._customer = None if c is None else c._copy()
        s._created_at = self._created_at
        s._updated_at = self._updated_at
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

    def _copy(self) -> Order:
        o: Order = object.__new__(Order)
        o._id = self._id
        o._checkout_session_id = self._checkout_session_id
        o._status = self._status
        o._permalink_url = self._permalink_url
        return o


class CheckoutSessionWithOrder:
    __slots__ = ("_session", "_order")

    _session: CheckoutSession
    _order: Order

    __init__ = _no_constructor

    @property
    def session(self) -> CheckoutSession:
        return self._session._copy()

    @property
    def order(self) -> Order:
        return self._order._copy()


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
        self._delegated_token = _to_opt_text(value)

    @delegated_token.deleter
    def delegated_token(self) -> NoReturn:
        _no_delete(self)

    @property
    def method(self) -> Optional[str]:
        return self._method

    @method.setter
    def method(self, value: Optional[str]) -> None:
        self._method = _to_opt_text(value)

    @method.deleter
    def method(self) -> NoReturn:
        _no_delete(self)


# ---------------------------------------------------------------------------
# Catalog and pricing
# ---------------------------------------------------------------------------

_CURRENCY = "USD"
_IMAGE_BASE = "https://images.corvane.example/"
_ORDER_BASE = "https://orders.corvane.example/"
_TAX_RATE = 0.0875
_SHIPPING_FEE = 999
_FREE_SHIPPING_ABOVE = 10000

# id -> (title, unit price in cents, variant id, sku, image url)
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


def _price(requests: list[Tuple[str, int]]) -> list[LineItem]:
    lines: list[LineItem] = []
    for product_id, quantity in requests:
        entry = _CATALOG.get(product_id)
        if entry is None:
            raise ValueError("Product not found: " + product_id)
        title, price, variant_id, sku, image_url = entry
        li: LineItem = object.__new__(LineItem)
        li._id = product_id
        li._title = title
        li._quantity = quantity
        li._unit_price = _money(price, _CURRENCY)
        li._variant_id = variant_id
        li._sku = sku
        li._image_url = image_url
        lines.append(li)
    return lines


def _totals_of(lines: list[LineItem]) -> Totals:
    subtotal = 0
    for li in lines:
        subtotal += li._unit_price._amount * li._quantity
    subtotal = _wrap64(subtotal)
    tax = int(float(subtotal) * _TAX_RATE)
    shipping = _SHIPPING_FEE if subtotal <= _FREE_SHIPPING_ABOVE else 0
    t: Totals = object.__new__(Totals)
    t._subtotal = _money(subtotal, _CURRENCY)
    t._tax = _money(tax, _CURRENCY)
    t._shipping = _money(shipping, _CURRENCY)
    t._discount = _money(0, _CURRENCY)
    t._grand_total = _money(_wrap64(subtotal + tax + shipping), _CURRENCY)
    return t


# ---------------------------------------------------------------------------
# Session store and client
# ---------------------------------------------------------------------------

# The process-wide store. It only grows; a writer that faults poisons it.
_store: dict[str, CheckoutSession] = {}
_store_lock = threading.Lock()
_poisoned = False

_LOCK_FAILED = "Failed to acquire lock"


def _now() -> str:
    return datetime.now(timezone.utc).isoformat()


def _new_id() -> str:
    return str(uuid.uuid4())


def _convert_items(items: object) -> list[Tuple[str, int]]:
    if isinstance(items, str):
        raise TypeError("argument 'items': Can't extract `str` to `Vec`")
    if not isinstance(items, (list, tuple)) and not isinstance(items, Sequence):
        raise _prefixed("items", _conversion_error(items, "Sequence"))
    out: list[Tuple[str, int]] = []
    try:
        for item in items:
            if not isinstance(item, RequestItem):
                raise _conversion_error(item, "RequestItem")
            out.append((item._id, item._quantity))
    except TypeError as exc:
        if type(exc) is not TypeError:
            raise
        raise _prefixed("items", exc) from exc.__cause__
    return out


def _session_id_arg(session_id: object) -> str:
    if type(session_id) is str:
        return session_id
    return _Arg.text("session_id", session_id)


class AcpClient:
    __slots__ = ("_api_key",)

    _api_key: Optional[str]

    def __init__(self, api_key: Optional[str] = None) -> None:
        self._api_key = _Arg.opt_text("api_key", api_key)

    def create_checkout_session(self, items: Sequence[RequestItem]) -> CheckoutSession:
        requests = _convert_items(items)
        if not requests:
            raise ValueError("At least one item is required")
        lines = _price(requests)
        now = _now()
        totals = _totals_of(lines)
        sid = _new_id()
        record: CheckoutSession = object.__new__(CheckoutSession)
        record._id = sid
        record._status = "not_ready_for_payment"
        record._items = lines
        record._totals = totals
        record._customer = None
        record._created_at = now
        record._updated_at = now
        stored = record._copy()
        with _store_lock:
            if _poisoned:
                raise RuntimeError(_LOCK_FAILED)
            _store[sid] = stored
        return record

    def get_checkout_session(self, session_id: str) -> CheckoutSession:
        session_id = _session_id_arg(session_id)
        with _store_lock:
            if _poisoned:
                raise RuntimeError(_LOCK_FAILED)
            record = _store.get(session_id)
            if record is None:
                raise ValueError("Session not found: " + session_id)
            return record._copy()

    def update_checkout_session(
        self,
        session_id: str,
        items: Optional[Sequence[RequestItem]] = None,
        customer: Optional[Customer] = None,
    ) -> CheckoutSession:
        global _poisoned
        session_id = _session_id_arg(session_id)
        requests = None if items is None else _convert_items(items)
        new_customer: Optional[Customer] = None
        if customer is not None:
            if not isinstance(customer, Customer):
                raise _prefixed("customer", _conversion_error(customer, "Customer"))
            new_customer = customer._copy()
        with _store_lock:
            if _poisoned:
                raise RuntimeError(_LOCK_FAILED)
            record = _store.get(session_id)
            if record is None:
                raise ValueError("Session not found: " + session_id)
            status = record._status
            if status == "completed" or status == "canceled":
                raise RuntimeError("Cannot update completed or canceled session")
            lines = None if requests is None else _price(requests)
            try:
                now = _now()
                if lines is not None:
                    totals = _totals_of(lines)
                    record._items = lines
                    record._totals = totals
                if new_customer is not None:
                    record._customer = new_customer
                record._status = "ready_for_payment"
                record._updated_at = now
                return record._copy()
            except BaseException:
                _poisoned = True
                raise

    def complete_checkout_session(
        self, session_id: str, payment: PaymentRequest
    ) -> CheckoutSessionWithOrder:
        global _poisoned
        session_id = _session_id_arg(session_id)
        if not isinstance(payment, PaymentRequest):
            raise _prefixed("payment", _conversion_error(payment, "PaymentRequest"))
        has_token = payment._delegated_token is not None
        has_method = payment._method is not None
        with _store_lock:
            if _poisoned:
                raise RuntimeError(_LOCK_FAILED)
            record = _store.get(session_id)
            if record is None:
                raise ValueError("Session not found: " + session_id)
            status = record._status
            if status == "completed":
                raise RuntimeError("Session already completed")
            if status == "canceled":
                raise RuntimeError("Cannot complete canceled session")
            if not has_token and not has_method:
                raise ValueError("Payment token or method required")
            try:
                now = _now()
                order_id = _new_id()
                record._status = "completed"
                record._updated_at = now
                snapshot = record._copy()
            except BaseException:
                _poisoned = True
                raise
        order: Order = object.__new__(Order)
        order._id = order_id
        order._checkout_session_id = snapshot._id
        order._status = "placed"
        order._permalink_url = _ORDER_BASE + snapshot._id
        result: CheckoutSessionWithOrder = object.__new__(CheckoutSessionWithOrder)
        result._session = snapshot
        result._order = order
        return result

    def cancel_checkout_session(self, session_id: str) -> CheckoutSession:
        global _poisoned
        session_id = _session_id_arg(session_id)
        with _store_lock:
            if _poisoned:
                raise RuntimeError(_LOCK_FAILED)
            record = _store.get(session_id)
            if record is None:
                raise ValueError("Session not found: " + session_id)
            if record._status == "completed":
                raise RuntimeError("Cannot cancel completed session")
            try:
                now = _now()
                record._status = "canceled"
                record._updated_at = now
                return record._copy()
            except BaseException:
                _poisoned = True
                raise
