"""Plain-data views of ``corvane_acp_native`` records: dicts, JSON, pickling, copies.

``to_dict(record)`` turns any record into a JSON-ready nested dict whose keys
are the record's attribute names (absent optionals are ``None``, amounts are
ints, the lines of a session are a list); ``to_json(record)`` gives the same as
JSON text. ``from_dict(cls, data)`` builds one of the constructible records
(``Money``, ``Address``, ``Customer``, ``RequestItem``, ``PaymentRequest``)
back from such a dict, raising what the class's constructor raises for a bad
value.

Importing this module also registers those five classes with ``copyreg``, so
``pickle``, ``copy.copy`` and ``copy.deepcopy`` work on them; an unpickled or
copied record is a new, independent object. The records compare by identity;
compare their dicts to compare values.
"""

from __future__ import annotations

import copyreg
import json
from collections.abc import Mapping
from operator import attrgetter
from typing import Any, Callable, Dict, Tuple, Type, TypeVar, Union, cast

import corvane_acp_native as acp

__all__ = ["Record", "Constructible", "to_dict", "to_json", "from_dict"]

Record = Union[
    acp.Money,
    acp.Address,
    acp.Customer,
    acp.LineItem,
    acp.Totals,
    acp.CheckoutSession,
    acp.Order,
    acp.CheckoutSessionWithOrder,
    acp.RequestItem,
    acp.PaymentRequest,
]
"""Any record ``to_dict`` and ``to_json`` accept."""

Constructible = TypeVar(
    "Constructible", acp.Money, acp.Address, acp.Customer, acp.RequestItem, acp.PaymentRequest
)
"""The records ``from_dict`` builds, and that pickle and copy."""

_Converter = Callable[[Any], Dict[str, Any]]

# Each record's attributes in declaration order, and for the record-typed ones
# the class of their value (a one-element list for a list of such records).
# Classes come after the classes they hold.
_LAYOUT: Tuple[Tuple[type, Tuple[str, ...], Dict[str, Any]], ...] = (
    (acp.Money, ("amount", "currency"), {}),
    (
        acp.Totals,
        ("subtotal", "tax", "shipping", "discount", "grand_total"),
        dict.fromkeys(("subtotal", "tax", "shipping", "discount", "grand_total"), acp.Money),
    ),
    (
        acp.Address,
        ("name", "line1", "line2", "city", "region", "postal_code", "country", "phone", "email"),
        {},
    ),
    (
        acp.Customer,
        ("billing_address", "shipping_address"),
        {"billing_address": acp.Address, "shipping_address": acp.Address},
    ),
    (acp.RequestItem, ("id", "quantity"), {}),
    (
        acp.LineItem,
        ("id", "title", "quantity", "unit_price", "variant_id", "sku", "image_url"),
        {"unit_price": acp.Money},
    ),
    (
        acp.CheckoutSession,
        ("id", "status", "items", "totals", "customer", "created_at", "updated_at"),
        {"items": [acp.LineItem], "totals": acp.Totals, "customer": acp.Customer},
    ),
    (acp.PaymentRequest, ("delegated_token", "method"), {}),
    (acp.Order, ("id", "checkout_session_id", "status", "permalink_url"), {}),
    (
        acp.CheckoutSessionWithOrder,
        ("session", "order"),
        {"session": acp.CheckoutSession, "order": acp.Order},
    ),
)

_CONSTRUCTIBLE = (acp.Money, acp.Address, acp.Customer, acp.RequestItem, acp.PaymentRequest)


def _make_converter(
    cls: type, names: Tuple[str, ...], nested: Dict[str, Any], converters: Dict[type, _Converter]
) -> _Converter:
    # One function per class, compiled once from the layout: a dict display
    # of plain attribute reads runs at the speed of hand-written code, about
    # twice as fast as a loop over the field names.
    scope: Dict[str, Any] = {}
    entries = []
    for name in names:
        kind = nested.get(name)
        if kind is None:
            entries.append(f"{name!r}: r.{name}")
        elif isinstance(kind, list):
            scope[f"_{name}"] = converters[kind[0]]
            entries.append(f"{name!r}: [_{name}(x) for x in r.{name}]")
        else:
            scope[f"_{name}"] = converters[kind]
            entries.append(f"{name!r}: None if (v := r.{name}) is None else _{name}(v)")
    source = "def convert(r):\n    return {" + ", ".join(entries) + "}\n"
    exec(compile(source, f"<to_dict {cls.__name__}>", "exec"), scope)
    return cast(_Converter, scope["convert"])


_TO_DICT: Dict[type, _Converter] = {}
_FIELDS: Dict[type, Tuple[str, ...]] = {}
_NESTED: Dict[type, Dict[str, Any]] = {}
for _cls, _names, _nested in _LAYOUT:
    _TO_DICT[_cls] = _make_converter(_cls, _names, _nested, _TO_DICT)
    _FIELDS[_cls] = _names
    _NESTED[_cls] = _nested
del _cls, _names, _nested


def to_dict(record: Record) -> Dict[str, Any]:
    """Return ``record`` as a new nested dict of plain values, ready for ``json.dumps``.

    The keys are the record's attribute names in declaration order. Texts are
    str, absent optionals ``None``, amounts and quantities int; a record-typed
    attribute becomes a nested dict and ``CheckoutSession.items`` a list of
    dicts. Raises ``TypeError`` for anything that is not a record of
    ``corvane_acp_native``.
    """
    convert = _TO_DICT.get(type(record))
    if convert is None:
        raise TypeError(f"to_dict() expects a corvane_acp_native record, not {type(record).__name__}")
    return convert(record)


def to_json(record: Record) -> str:
    """Return ``record`` as JSON text: ``json.dumps(to_dict(record))``.

    For other formatting (indentation, sorted keys), call ``json.dumps`` on
    ``to_dict(record)`` yourself.
    """
    return json.dumps(to_dict(record))


def from_dict(cls: Type[Constructible], data: Mapping[str, Any]) -> Constructible:
    """Build a new ``cls`` from ``data``, a mapping of attribute names to values.

    ``cls`` is ``Money``, ``Address``, ``Customer``, ``RequestItem`` or
    ``PaymentRequest``. ``data`` is passed to the constructor as keyword
    arguments, so a missing required field, an unknown key or a value of the
    wrong type raises what the constructor raises (``Money`` with a str
    amount: ``TypeError``; an amount beyond 64 bits: ``OverflowError``). For
    ``Customer``, an address given as a mapping is built with
    ``from_dict(Address, ...)`` first. ``to_dict`` of a record gives data that
    builds an equal-valued new one.
    """
    if not (isinstance(cls, type) and cls in _CONSTRUCTIBLE):
        raise TypeError(
            "from_dict() builds Money, Address, Customer, RequestItem or PaymentRequest, not "
            + (cls.__name__ if isinstance(cls, type) else repr(cls))
        )
    if not isinstance(data, Mapping):
        raise TypeError(f"from_dict() expects a mapping of attribute names to values, not {type(data).__name__}")
    nested = _NESTED[cls]
    if nested:
        data = {
            key: from_dict(nested[key], value) if key in nested and isinstance(value, Mapping) else value
            for key, value in data.items()
        }
    return cls(**data)


def _restore(name: str, args: Tuple[Any, ...]) -> Any:
    """Rebuild a pickled record: ``name`` is its class, ``args`` its constructor's arguments."""
    return _BY_NAME[name](*args)


_BY_NAME: Dict[str, type] = {cls.__name__: cls for cls in _CONSTRUCTIBLE}


_Reduced = Tuple[Callable[[str, Tuple[Any, ...]], Any], Tuple[str, Tuple[Any, ...]]]


def _make_reducer(cls: type) -> Callable[[Any], _Reduced]:
    name = cls.__name__
    read = attrgetter(*_FIELDS[cls])

    def reduce(record: Any) -> _Reduced:
        return _restore, (name, read(record))

    return reduce


# The classes report their module as "builtins", so pickle cannot name them;
# their pickles name _restore from this module instead, which unpickling
# imports (and with it these registrations).
for _cls in _CONSTRUCTIBLE:
    copyreg.pickle(_cls, _make_reducer(_cls))
del _cls
