"""The dict form of every record, as ``TypedDict`` classes.

These are the codec's one description of the records' fields and their types.
The field names and their order must equal the attribute descriptors of the
running module's classes (the codec checks that when it is imported); the
types drive the converters, the restore checks of pickling and the JSON
Schemas. Annotations are written without ``from __future__ import
annotations`` and with ``Optional``/``List`` so that ``typing.get_type_hints``
evaluates them on every supported Python.
"""

from typing import Any, Dict, List, Literal, NamedTuple, Optional, Tuple, TypedDict, Union, get_args, get_origin, get_type_hints

import corvane_acp_native as acp

SessionStatus = Literal["not_ready_for_payment", "ready_for_payment", "completed", "canceled"]
"""The four statuses of a session."""

OrderStatus = Literal["placed"]


class MoneyDict(TypedDict):
    amount: int
    currency: str


class TotalsDict(TypedDict):
    subtotal: MoneyDict
    tax: MoneyDict
    shipping: MoneyDict
    discount: MoneyDict
    grand_total: MoneyDict


class AddressDict(TypedDict):
    name: Optional[str]
    line1: Optional[str]
    line2: Optional[str]
    city: Optional[str]
    region: Optional[str]
    postal_code: Optional[str]
    country: Optional[str]
    phone: Optional[str]
    email: Optional[str]


class CustomerDict(TypedDict):
    billing_address: Optional[AddressDict]
    shipping_address: Optional[AddressDict]


class RequestItemDict(TypedDict):
    id: str
    quantity: int


class LineItemDict(TypedDict):
    id: str
    title: str
    quantity: int
    unit_price: MoneyDict
    variant_id: Optional[str]
    sku: Optional[str]
    image_url: Optional[str]


class CheckoutSessionDict(TypedDict):
    id: str
    status: SessionStatus
    items: List[LineItemDict]
    totals: TotalsDict
    customer: Optional[CustomerDict]
    created_at: str
    updated_at: str


class PaymentRequestDict(TypedDict):
    delegated_token: Optional[str]
    method: Optional[str]


class OrderDict(TypedDict):
    id: str
    checkout_session_id: str
    status: OrderStatus
    permalink_url: Optional[str]


class CheckoutSessionWithOrderDict(TypedDict):
    session: CheckoutSessionDict
    order: OrderDict


class ErrorDetail(TypedDict):
    """What ``dispatch`` reports for a refused call."""

    type: str
    reason: str
    message: str


class ErrorResult(TypedDict):
    error: ErrorDetail


# Record class -> its dict form. Classes come after the classes they hold.
FORMS: Tuple[Tuple[type, type], ...] = (
    (acp.Money, MoneyDict),
    (acp.Totals, TotalsDict),
    (acp.Address, AddressDict),
    (acp.Customer, CustomerDict),
    (acp.RequestItem, RequestItemDict),
    (acp.LineItem, LineItemDict),
    (acp.CheckoutSession, CheckoutSessionDict),
    (acp.PaymentRequest, PaymentRequestDict),
    (acp.Order, OrderDict),
    (acp.CheckoutSessionWithOrder, CheckoutSessionWithOrderDict),
)

# The width of every integer field: amounts are signed 64-bit, quantities 32-bit.
INT_BITS: Dict[Tuple[type, str], int] = {
    (acp.Money, "amount"): 64,
    (acp.RequestItem, "quantity"): 32,
    (acp.LineItem, "quantity"): 32,
}

CONSTRUCTIBLE = (acp.Money, acp.Address, acp.Customer, acp.RequestItem, acp.PaymentRequest)


class Field(NamedTuple):
    """One attribute of a record, as the codec reads and writes it."""

    name: str
    kind: str
    """"int", "str", "literal", "record" or "list" (a list of records)."""
    optional: bool
    """True when the attribute may be None."""
    target: Any
    """The width in bits of an int, the values of a literal, the class of a record or of a list's records."""


_GETSET = type(vars(acp.Money)["amount"])


def attribute_names(cls: type) -> Tuple[str, ...]:
    """The attributes of a record class of the running module, in declaration order."""
    return tuple(name for name, d in vars(cls).items() if type(d) is _GETSET and not name.startswith("__"))


def _fields(cls: type, form: type, record_of: Dict[type, type]) -> Tuple[Field, ...]:
    hints = get_type_hints(form)
    names = attribute_names(cls)
    if tuple(hints) != names:
        raise ImportError(
            f"corvane_acp_codec describes {cls.__name__} with the fields {tuple(hints)}, "
            f"but corvane_acp_native {acp.__version__} has {names}"
        )
    fields = []
    for name, hint in hints.items():
        optional = False
        if get_origin(hint) is Union:
            (hint,) = [arg for arg in get_args(hint) if arg is not type(None)]
            optional = True
        if hint is int:
            fields.append(Field(name, "int", optional, INT_BITS[(cls, name)]))
        elif hint is str:
            fields.append(Field(name, "str", optional, None))
        elif get_origin(hint) is Literal:
            fields.append(Field(name, "literal", optional, get_args(hint)))
        elif get_origin(hint) is list:
            fields.append(Field(name, "list", optional, record_of[get_args(hint)[0]]))
        else:
            fields.append(Field(name, "record", optional, record_of[hint]))
    return tuple(fields)


def _layout() -> Dict[type, Tuple[Field, ...]]:
    record_of = {form: cls for cls, form in FORMS}
    return {cls: _fields(cls, form, record_of) for cls, form in FORMS}


LAYOUT = _layout()
"""Record class -> its fields: the names and order of the module's attribute
descriptors, the types of the dict forms above."""
