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

For agents and other JSON speakers: ``json_schema(cls)`` gives a JSON Schema
of a record's dict form, ``tool_schemas()`` the schema of each client
operation's arguments, and ``dispatch(client, operation, arguments)`` runs an
operation from JSON-shaped arguments and returns a JSON-shaped result or a
structured error whose ``reason`` is a stable code (``reason(exc)`` gives the
same code for an exception caught from the module; ``REASONS`` lists them).
``parse_timestamp(text)`` reads a session timestamp without losing its
nanoseconds. The dict forms are typed: ``to_dict(session)`` is a
``CheckoutSessionDict``, and so on for each record.
"""

from __future__ import annotations

import copyreg
import json
import reprlib
from collections.abc import Mapping
from operator import attrgetter
from typing import Any, Callable, Dict, Tuple, Type, TypeVar, Union, cast, overload

import corvane_acp_native as acp

from ._forms import (
    CONSTRUCTIBLE as _CONSTRUCTIBLE,
    LAYOUT as _LAYOUT,
    AddressDict,
    CheckoutSessionDict,
    CheckoutSessionWithOrderDict,
    CustomerDict,
    ErrorDetail,
    ErrorResult,
    Field as _Field,
    LineItemDict,
    MoneyDict,
    OrderDict,
    OrderStatus,
    PaymentRequestDict,
    RequestItemDict,
    SessionStatus,
    TotalsDict,
)

__all__ = [
    "Record",
    "Constructible",
    "to_dict",
    "to_json",
    "from_dict",
    "json_schema",
    "tool_schemas",
    "dispatch",
    "reason",
    "REASONS",
    "Refusal",
    "parse_timestamp",
    "MoneyDict",
    "TotalsDict",
    "AddressDict",
    "CustomerDict",
    "RequestItemDict",
    "LineItemDict",
    "CheckoutSessionDict",
    "PaymentRequestDict",
    "OrderDict",
    "CheckoutSessionWithOrderDict",
    "SessionStatus",
    "OrderStatus",
    "ErrorDetail",
    "ErrorResult",
]

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


def _make_converter(cls: type, fields: Tuple[_Field, ...], converters: Dict[type, _Converter]) -> _Converter:
    # One function per class, compiled once from the layout: a dict display
    # of plain attribute reads runs at the speed of hand-written code, about
    # twice as fast as a loop over the field names.
    scope: Dict[str, Any] = {}
    entries = []
    for field in fields:
        name = field.name
        if field.kind == "list":
            scope[f"_{name}"] = converters[field.target]
            entries.append(f"{name!r}: [_{name}(x) for x in r.{name}]")
        elif field.kind != "record":
            entries.append(f"{name!r}: r.{name}")
        elif field.optional:
            scope[f"_{name}"] = converters[field.target]
            entries.append(f"{name!r}: None if (v := r.{name}) is None else _{name}(v)")
        else:
            scope[f"_{name}"] = converters[field.target]
            entries.append(f"{name!r}: _{name}(r.{name})")
    source = "def convert(r):\n    return {" + ", ".join(entries) + "}\n"
    exec(compile(source, f"<to_dict {cls.__name__}>", "exec"), scope)
    return cast(_Converter, scope["convert"])


# The field names and their order come from the running module's attribute
# descriptors (the layout checks them against the dict forms at import).
_TO_DICT: Dict[type, _Converter] = {}
for _cls, _fields in _LAYOUT.items():
    _TO_DICT[_cls] = _make_converter(_cls, _fields, _TO_DICT)
del _cls, _fields

_NESTED: Dict[type, Dict[str, type]] = {
    cls: {f.name: f.target for f in fields if f.kind == "record"} for cls, fields in _LAYOUT.items()
}


@overload
def to_dict(record: acp.Money) -> MoneyDict: ...
@overload
def to_dict(record: acp.Totals) -> TotalsDict: ...
@overload
def to_dict(record: acp.Address) -> AddressDict: ...
@overload
def to_dict(record: acp.Customer) -> CustomerDict: ...
@overload
def to_dict(record: acp.RequestItem) -> RequestItemDict: ...
@overload
def to_dict(record: acp.LineItem) -> LineItemDict: ...
@overload
def to_dict(record: acp.CheckoutSession) -> CheckoutSessionDict: ...
@overload
def to_dict(record: acp.PaymentRequest) -> PaymentRequestDict: ...
@overload
def to_dict(record: acp.Order) -> OrderDict: ...
@overload
def to_dict(record: acp.CheckoutSessionWithOrder) -> CheckoutSessionWithOrderDict: ...


def to_dict(record: Record) -> Mapping[str, Any]:
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


def _describe(value: Any) -> str:
    return f"{type(value).__name__} {_short.repr(value)}"


_short = reprlib.Repr()
_short.maxstring = _short.maxother = 60


def _refuse(kind: Type[Exception], what: str) -> Exception:
    return kind("cannot restore a pickled corvane_acp_native record: " + what)


def _restore(name: str, args: Tuple[Any, ...]) -> Any:
    """Rebuild a pickled record: ``name`` is its class, ``args`` its constructor's arguments.

    Only what this module's reduce makes is accepted: one of the five class
    names and a tuple holding one value per field, each of exactly the type
    the field reads as (and in its range). Anything else is refused with a
    TypeError or ValueError saying what came, before any constructor runs.
    """
    restore = _RESTORERS.get(name) if type(name) is str else None
    if restore is None:
        if type(name) is not str:
            raise _refuse(TypeError, f"the class name must be a str, got {_describe(name)}")
        raise _refuse(
            ValueError,
            f"{_short.repr(name)} is not a class it rebuilds (Money, Address, Customer, RequestItem, PaymentRequest)",
        )
    return restore(args)


def _refusal(cls: type, args: Any) -> Exception:
    """What is wrong with ``args``, which a restorer of ``cls`` did not accept."""
    name = cls.__name__
    fields = _LAYOUT[cls]
    if type(args) is not tuple or len(args) != len(fields):
        return _refuse(TypeError, f"{name} takes a tuple of {len(fields)} field values, got {_describe(args)}")
    for field, value in zip(fields, args):
        if value is None and field.optional:
            continue
        expected = field.target if field.kind == "record" else {"int": int, "str": str}[field.kind]
        if type(value) is not expected:
            return _refuse(
                TypeError,
                f"{name}.{field.name} must be {expected.__name__}{' or None' if field.optional else ''}, "
                f"got {_describe(value)}",
            )
        if field.kind == "int" and not -(2 ** (field.target - 1)) <= value < 2 ** (field.target - 1):
            return _refuse(
                ValueError, f"{name}.{field.name} must fit in a signed {field.target}-bit integer, got {_describe(value)}"
            )
        if field.kind == "str" and not _is_utf8(cast(str, value)):
            return _refuse(ValueError, f"{name}.{field.name} is not UTF-8 text, got {_describe(value)}")
    raise AssertionError(f"no fault found in the arguments of {name}")  # pragma: no cover


def _is_utf8(text: str) -> bool:
    try:
        text.encode()
    except UnicodeEncodeError:  # a lone surrogate
        return False
    return True


def _make_restorer(cls: type) -> Callable[[Any], Any]:
    # Compiled once per class like the converters: the checks of all fields
    # in one expression cost about as much as the constructor call itself.
    fields = _LAYOUT[cls]
    names = [f"a{i}" for i in range(len(fields))]
    scope: Dict[str, Any] = {"cls": cls, "build": cls, "refusal": _refusal, "is_utf8": _is_utf8}
    checks = []
    for name, field in zip(names, fields):
        if field.kind == "int":
            bound = 2 ** (field.target - 1)
            check = f"type({name}) is int and {-bound} <= {name} < {bound}"
        elif field.kind == "str":
            check = f"type({name}) is str and ({name}.isascii() or is_utf8({name}))"
        else:
            scope[f"t{name}"] = field.target
            check = f"type({name}) is t{name}"
        checks.append(f"({name} is None or {check})" if field.optional else f"({check})")
    source = (
        "def restore(args):\n"
        f"    if type(args) is tuple and len(args) == {len(fields)}:\n"
        f"        {', '.join(names)}, = args\n"
        f"        if {' and '.join(checks)}:\n"
        f"            return build({', '.join(names)})\n"
        "    raise refusal(cls, args)\n"
    )
    exec(compile(source, f"<restore {cls.__name__}>", "exec"), scope)
    return cast(Callable[[Any], Any], scope["restore"])


_RESTORERS: Dict[str, Callable[[Any], Any]] = {cls.__name__: _make_restorer(cls) for cls in _CONSTRUCTIBLE}


_Reduced = Tuple[Callable[[str, Tuple[Any, ...]], Any], Tuple[str, Tuple[Any, ...]]]


def _make_reducer(cls: type) -> Callable[[Any], _Reduced]:
    name = cls.__name__
    read = attrgetter(*(field.name for field in _LAYOUT[cls]))

    def reduce(record: Any) -> _Reduced:
        return _restore, (name, read(record))

    return reduce


# The classes report their module as "builtins", so pickle cannot name them;
# their pickles name _restore from this module instead, which unpickling
# imports (and with it these registrations).
for _cls in _CONSTRUCTIBLE:
    copyreg.pickle(_cls, _make_reducer(_cls))
del _cls

from ._dispatch import REASONS, Refusal, dispatch, reason  # noqa: E402  (needs to_dict and from_dict)
from ._schema import json_schema, tool_schemas  # noqa: E402
from ._timestamps import parse_timestamp  # noqa: E402
