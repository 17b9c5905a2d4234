"""In-process agentic-commerce checkout client (native extension).

Build ``RequestItem`` objects, open a checkout session with
``AcpClient.create_checkout_session``, update it with items or a ``Customer``,
then complete it with a ``PaymentRequest`` (which yields an ``Order``) or
cancel it. Every session lives in one in-memory store shared by all clients of
the process; nothing touches disk or network.

Amounts are whole cents (``Money(9900, "USD")`` is $99.00). Records are values:
every constructor, setter and getter copies, so changing an object you were
handed never changes the session it came from.

Errors: ``ValueError`` for bad requests and unknown sessions or products,
``RuntimeError`` for requests the session's status refuses, ``TypeError`` and
``OverflowError`` for wrong argument types and out-of-range integers. An
internal fault is raised as ``PanicException`` (module ``pelorin_runtime``),
which derives from ``BaseException``, not ``Exception``; it is not importable
from this module.
"""

from collections.abc import Sequence
from typing import Literal, final

from typing_extensions import Never

# How these stubs model the native classes:
# * writable attributes are plain annotations, read-only ones are properties
#   without a setter, so a checker flags assignments to them;
# * instances are built by __new__ (the classes have no __init__ of their own);
# * a class that cannot be instantiated declares a __new__ whose only
#   parameter has the type Never, so a checker rejects every call of it while
#   isinstance() narrowing keeps working.
# * statuses are Literal types, so a checker flags a comparison with a
#   misspelt one (under --strict-equality, part of --strict) as never true.

_SessionStatus = Literal["not_ready_for_payment", "ready_for_payment", "completed", "canceled"]
_OrderStatus = Literal["placed"]

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

__version__: str
"""The library version, ``"1.0.0"``."""

def version() -> str:
    """Get library version."""

@final
class Money:
    """An amount in the currency's minor unit (cents) with a currency code.

    ``repr`` gives ``Money(amount=9900, currency='USD')``. No arithmetic and no
    value equality: two equal-looking objects compare unequal.
    """

    amount: int
    """Signed 64-bit amount in minor units; 9900 is 99.00."""
    currency: str
    """Currency code, stored as given (the engine always uses ``"USD"``)."""

    def __new__(cls, amount: int, currency: str) -> Money:
        """Build a money value; ``amount`` must fit in a signed 64-bit integer."""

    def __repr__(self) -> str: ...

@final
class Address:
    """A postal and contact address; every field is optional text (``None`` when absent)."""

    name: str | None
    line1: str | None
    line2: str | None
    city: str | None
    region: str | None
    postal_code: str | None
    country: str | None
    phone: str | None
    email: str | None

    def __new__(
        cls,
        name: str | None = None,
        line1: str | None = None,
        line2: str | None = None,
        city: str | None = None,
        region: str | None = None,
        postal_code: str | None = None,
        country: str | None = None,
        phone: str | None = None,
        email: str | None = None,
    ) -> Address:
        """Build an address; omitted fields read as ``None``."""

@final
class Customer:
    """A billing and a shipping address, both optional and held by copy."""

    billing_address: Address | None
    """A copy of the billing address; changing the returned object changes nothing here."""
    shipping_address: Address | None
    """A copy of the shipping address; changing the returned object changes nothing here."""

    def __new__(cls, billing_address: Address | None = None, shipping_address: Address | None = None) -> Customer:
        """Build a customer from copies of the given addresses."""

@final
class LineItem:
    """A priced line of a checkout session, built by the engine from the catalog.

    Not constructible from Python: calling ``LineItem(...)`` raises
    ``TypeError("No constructor defined")``. ``repr`` gives
    ``LineItem(id='prod_mouse_002', title='Magic Mouse', quantity=2)``.
    """

    id: str
    """Catalog product identifier, e.g. ``"prod_mouse_002"``."""
    title: str
    """The product's display name."""
    quantity: int
    """Signed 32-bit number of units."""
    unit_price: Money
    """A copy of the price of one unit."""
    variant_id: str | None
    sku: str | None
    image_url: str | None

    def __new__(cls, no_constructor_defined: Never, /) -> LineItem:
        """No constructor: any call raises ``TypeError("No constructor defined")``."""

    def __repr__(self) -> str: ...

@final
class Totals:
    """The five amounts summarising a session; every field is stored, none derived.

    Not constructible from Python: calling ``Totals(...)`` raises
    ``TypeError("No constructor defined")``. Reading a field gives a new
    ``Money`` copy; assigning stores a copy of the given ``Money``.
    """

    subtotal: Money
    """Sum of the lines' unit price times quantity."""
    tax: Money
    """8.75 % of the subtotal, truncated."""
    shipping: Money
    """999 when the subtotal is at most 10000, otherwise 0."""
    discount: Money
    """Always 0 as filled by the engine."""
    grand_total: Money
    """subtotal + tax + shipping."""

    def __new__(cls, no_constructor_defined: Never, /) -> Totals:
        """No constructor: any call raises ``TypeError("No constructor defined")``."""

@final
class CheckoutSession:
    """A read-only snapshot of a stored checkout session.

    Returned by every ``AcpClient`` method; it never changes after it was
    returned (read the session again to see later changes). Not constructible
    from Python. ``repr`` gives
    ``CheckoutSession(id='...', status='not_ready_for_payment', items=2)``.
    """

    def __new__(cls, no_constructor_defined: Never, /) -> CheckoutSession:
        """No constructor: any call raises ``TypeError("No constructor defined")``."""

    @property
    def id(self) -> str:
        """Session identifier: a lower-case UUID version 4, 36 characters."""

    @property
    def status(self) -> _SessionStatus:
        """One of ``"not_ready_for_payment"``, ``"ready_for_payment"``, ``"completed"``, ``"canceled"``."""

    @property
    def items(self) -> list[LineItem]:
        """A new list of copies of the priced lines, in request order."""

    @property
    def totals(self) -> Totals:
        """A copy of the session's totals."""

    @property
    def customer(self) -> Customer | None:
        """A copy of the customer, or ``None`` until an update supplied one."""

    @property
    def created_at(self) -> str:
        """Creation time, RFC 3339 in UTC with offset ``+00:00``."""

    @property
    def updated_at(self) -> str:
        """Time of the last change, RFC 3339 in UTC with offset ``+00:00``."""

    def __repr__(self) -> str: ...

@final
class Order:
    """The order made by completing a session (read-only; not constructible).

    ``repr`` gives ``Order(id='...', status='placed')``.
    """

    def __new__(cls, no_constructor_defined: Never, /) -> Order:
        """No constructor: any call raises ``TypeError("No constructor defined")``."""

    @property
    def id(self) -> str:
        """Order identifier: a lower-case UUID version 4, 36 characters."""

    @property
    def checkout_session_id(self) -> str:
        """Identifier of the completed session."""

    @property
    def status(self) -> _OrderStatus:
        """Always ``"placed"``."""

    @property
    def permalink_url(self) -> str | None:
        """URL of the order page, ending with the session identifier."""

    def __repr__(self) -> str: ...

@final
class CheckoutSessionWithOrder:
    """What ``AcpClient.complete_checkout_session`` returns (read-only; not constructible)."""

    def __new__(cls, no_constructor_defined: Never, /) -> CheckoutSessionWithOrder:
        """No constructor: any call raises ``TypeError("No constructor defined")``."""

    @property
    def session(self) -> CheckoutSession:
        """A copy of the completed session (status ``"completed"``)."""

    @property
    def order(self) -> Order:
        """A copy of the order the completion created."""

@final
class RequestItem:
    """A requested product and quantity, the input of session creation and update."""

    id: str
    """Catalog product identifier, e.g. ``"prod_keyboard_003"``."""
    quantity: int
    """Signed 32-bit number of units; zero and negative values are accepted."""

    def __new__(cls, id: str, quantity: int) -> RequestItem:
        """Build a request item; ``quantity`` must fit in a signed 32-bit integer."""

@final
class PaymentRequest:
    """A delegated payment token and/or a payment method name; completion needs at least one."""

    delegated_token: str | None
    method: str | None

    def __new__(cls, delegated_token: str | None = None, method: str | None = None) -> PaymentRequest:
        """Build a payment request; an empty string counts as present."""

@final
class AcpClient:
    """The checkout client. All clients of a process share one session store.

    ``api_key`` is kept with the client but never used.
    """

    def __new__(cls, api_key: str | None = None) -> AcpClient:
        """Build a client; ``api_key`` is stored but never used."""
    def create_checkout_session(self, items: Sequence[RequestItem]) -> CheckoutSession:
        """Open a session priced from the catalog; status ``"not_ready_for_payment"``.

        Raises ``ValueError`` for an empty ``items`` or an unknown product.
        """

    def get_checkout_session(self, session_id: str) -> CheckoutSession:
        """Read a session back; ``ValueError`` if there is no such session."""

    def update_checkout_session(
        self, session_id: str, items: Sequence[RequestItem] | None = None, customer: Customer | None = None
    ) -> CheckoutSession:
        """Replace the items (re-priced) and/or the customer of an open session.

        The session becomes ``"ready_for_payment"``. ``RuntimeError`` for a
        completed or canceled session, ``ValueError`` for an unknown session
        or product.
        """

    def complete_checkout_session(self, session_id: str, payment: PaymentRequest) -> CheckoutSessionWithOrder:
        """Complete a session and create its order.

        ``ValueError`` when ``payment`` has neither a token nor a method;
        ``RuntimeError`` for a completed or canceled session.
        """

    def cancel_checkout_session(self, session_id: str) -> CheckoutSession:
        """Cancel a session (again, if already canceled); ``RuntimeError`` if it is completed."""
