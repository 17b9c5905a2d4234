"""Client operations from JSON-shaped arguments, and a stable code for every refusal."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Dict, NamedTuple, Optional, Tuple, cast

import corvane_acp_native as acp

from . import from_dict, to_dict


class Refusal(NamedTuple):
    """One row of ``REASONS``: the exception the module raises and the code it is reported with."""

    exception: type
    """The exact exception type (a subclass does not match)."""
    message: Optional[str]
    """The exact message; a prefix when it ends with ": " (an identifier follows); None for any message."""
    reason: str


REASONS: Tuple[Refusal, ...] = (
    Refusal(ValueError, "At least one item is required", "empty_basket"),
    Refusal(ValueError, "Product not found: ", "unknown_product"),
    Refusal(ValueError, "Session not found: ", "unknown_session"),
    Refusal(ValueError, "Payment token or method required", "missing_payment"),
    Refusal(RuntimeError, "Cannot update completed or canceled session", "not_updatable"),
    Refusal(RuntimeError, "Session already completed", "already_completed"),
    Refusal(RuntimeError, "Cannot complete canceled session", "not_completable"),
    Refusal(RuntimeError, "Cannot cancel completed session", "not_cancellable"),
    Refusal(RuntimeError, "Failed to acquire lock", "store_unavailable"),
    Refusal(RuntimeError, "Already borrowed", "record_in_use"),
    Refusal(RuntimeError, "Already mutably borrowed", "record_in_use"),
    Refusal(AttributeError, "can't delete attribute", "not_deletable"),
    Refusal(TypeError, None, "bad_argument"),
    Refusal(OverflowError, None, "bad_argument"),
    Refusal(UnicodeEncodeError, None, "bad_argument"),
)
"""Every refusal ``corvane_acp_native`` raises, with its reason code.

TypeError, OverflowError and UnicodeEncodeError come from binding and
converting arguments (a missing or unknown argument, a wrong type, an integer
out of range, a str with a lone surrogate); their messages vary, so any
message matches. Everything else the module or the interpreter raises (its
panic exception, MemoryError, an exception of user code) has no code."""

_EXACT: Dict[Tuple[type, str], str] = {}
_PREFIXES: Dict[type, Tuple[Tuple[str, str], ...]] = {}
_ANY: Dict[type, str] = {}
for _row in REASONS:
    if _row.message is None:
        _ANY[_row.exception] = _row.reason
    elif _row.message.endswith(": "):
        _PREFIXES[_row.exception] = _PREFIXES.get(_row.exception, ()) + ((_row.message, _row.reason),)
    else:
        _EXACT[(_row.exception, _row.message)] = _row.reason
del _row


def reason(exc: BaseException) -> Optional[str]:
    """The reason code of a refusal raised by ``corvane_acp_native``, or None.

    ``reason(exc)`` is ``"unknown_session"`` for ``ValueError("Session not
    found: ...")``, ``"not_cancellable"`` for ``RuntimeError("Cannot cancel
    completed session")`` and so on (``REASONS`` lists them all). It is None
    for anything the module does not raise as a refusal: its panic exception,
    MemoryError, subclasses, other messages.
    """
    kind = type(exc)
    code = _ANY.get(kind)
    if code is not None:
        return code
    if not exc.args or type(exc.args[0]) is not str:
        return None
    message: str = exc.args[0]
    code = _EXACT.get((kind, message))
    if code is not None:
        return code
    for prefix, code in _PREFIXES.get(kind, ()):
        if message.startswith(prefix):
            return code
    return None


OPERATIONS: Tuple[str, ...] = tuple(name for name in vars(acp.AcpClient) if not name.startswith("_"))
"""The client's five operations, in the order the module declares them."""

_RECORD_ARGUMENTS: Dict[str, type] = {"customer": acp.Customer, "payment": acp.PaymentRequest}


def _argument(name: str, value: Any) -> Any:
    # Records given as their dict forms are built as from_dict builds them;
    # anything else goes to the method as it is, so that the module refuses
    # it with its own message.
    if name == "items" and type(value) is list:
        return [from_dict(acp.RequestItem, item) if isinstance(item, Mapping) else item for item in value]
    cls = _RECORD_ARGUMENTS.get(name)
    if cls is not None and isinstance(value, Mapping):
        return from_dict(cls, value)
    return value


def _error(kind: str, code: str, message: str) -> Dict[str, Any]:
    return {"error": {"type": kind, "reason": code, "message": message}}


def dispatch(client: acp.AcpClient, operation: str, arguments: Mapping[str, Any]) -> Dict[str, Any]:
    """Run one client operation from JSON-shaped arguments and return its JSON-shaped result.

    ``operation`` is the name of an ``AcpClient`` method and ``arguments`` a
    mapping of its parameter names to values, with records given as their
    dict forms (``{"items": [{"id": "prod_mouse_002", "quantity": 1}]}``), as
    ``tool_schemas()`` describes them. The result is ``to_dict`` of what the
    method returned (a ``CheckoutSessionDict``, or for completion a
    ``CheckoutSessionWithOrderDict``), or for a refused call
    ``{"error": {"type": ..., "reason": ..., "message": ...}}``: the
    exception's type name, its code from ``REASONS`` and its exact message.
    An unknown operation is reported with the reason ``"unknown_operation"``
    and arguments that are not a mapping with ``"bad_argument"``.

    Nothing else is turned into a result: the module's panic exception (an
    internal fault), MemoryError and any exception without a reason code
    propagate. Arguments that are not plain JSON values (an object whose
    ``__index__`` or ``__getitem__`` runs during a conversion) may raise
    exceptions of their own, which the module passes on unchanged; those are
    told apart only by their exact type and message. ``client`` must be an
    ``AcpClient`` (``TypeError`` otherwise).
    """
    if not isinstance(client, acp.AcpClient):
        raise TypeError(f"dispatch() expects an AcpClient, not {type(client).__name__}")
    if type(operation) is not str or operation not in OPERATIONS:
        return _error(
            "ValueError", "unknown_operation", f"unknown operation {operation!r}; the operations are {', '.join(OPERATIONS)}"
        )
    if not isinstance(arguments, Mapping):
        return _error(
            "TypeError",
            "bad_argument",
            f"the arguments of {operation} must be an object of parameter names, not {type(arguments).__name__}",
        )
    method = getattr(client, operation)
    try:
        result = method(**{name: _argument(name, value) for name, value in arguments.items()})
    except (TypeError, ValueError, RuntimeError, OverflowError) as exc:
        code = reason(exc)
        if code is None:
            raise
        return _error(type(exc).__name__, code, str(exc))
    return cast(Dict[str, Any], to_dict(result))
