"""JSON Schemas (draft 2020-12) of the records' dict forms and of the client operations' arguments."""

from __future__ import annotations

from typing import Any, Dict, List

import corvane_acp_native as acp

from ._dispatch import OPERATIONS
from ._forms import CONSTRUCTIBLE, LAYOUT, Field

DIALECT = "https://json-schema.org/draft/2020-12/schema"

_DESCRIPTIONS = {
    acp.Money: "An amount in cents (a signed 64-bit integer) and a currency code.",
    acp.Totals: "The five amounts of a session, all in USD.",
    acp.Address: "A postal and contact address; every field is optional text.",
    acp.Customer: "A billing and a shipping address, both optional.",
    acp.RequestItem: "A catalog product identifier and a quantity (a signed 32-bit integer).",
    acp.LineItem: "A priced line of a session.",
    acp.CheckoutSession: "A checkout session as stored after the call.",
    acp.PaymentRequest: "A delegated payment token and/or a payment method; completing needs at least one.",
    acp.Order: "The order that completing a session placed.",
    acp.CheckoutSessionWithOrder: "A completed session and its order.",
}


def _ref(cls: type, defs: Dict[str, Any]) -> Dict[str, Any]:
    if cls.__name__ not in defs:
        defs[cls.__name__] = {}  # reserved first, so a record held twice is described once
        defs[cls.__name__] = _object(cls, defs)
    return {"$ref": f"#/$defs/{cls.__name__}"}


def _value(field: Field, defs: Dict[str, Any]) -> Dict[str, Any]:
    schema: Dict[str, Any]
    if field.kind == "int":
        bound = 2 ** (field.target - 1)
        schema = {"type": "integer", "minimum": -bound, "maximum": bound - 1}
    elif field.kind == "str":
        schema = {"type": "string"}
    elif field.kind == "literal":
        schema = {"enum": list(field.target)}
    elif field.kind == "list":
        schema = {"type": "array", "items": _ref(field.target, defs)}
    else:
        schema = _ref(field.target, defs)
    if not field.optional:
        return schema
    if set(schema) == {"type"}:
        return {"type": [schema["type"], "null"]}
    return {"anyOf": [schema, {"type": "null"}]}


def _object(cls: type, defs: Dict[str, Any]) -> Dict[str, Any]:
    fields = LAYOUT[cls]
    # A constructible record's optional fields may be left out (the
    # constructor defaults them to None); the records only the engine makes
    # always carry every field.
    required = [f.name for f in fields if not (f.optional and cls in CONSTRUCTIBLE)]
    return {
        "description": _DESCRIPTIONS[cls],
        "type": "object",
        "properties": {f.name: _value(f, defs) for f in fields},
        "required": required,
        "additionalProperties": False,
    }


def json_schema(cls: type) -> Dict[str, Any]:
    """A JSON Schema (draft 2020-12) of the dict form of the record class ``cls``.

    Every ``to_dict`` output of a ``cls`` is valid against it. For the five
    classes ``from_dict`` builds, it accepts what their constructors accept:
    the optional fields may be left out or null, and it refuses wrong types,
    missing required fields, unknown fields and integers outside the fields'
    ranges. Records held by the record are described under ``$defs``.
    Each call returns a new dict. Raises ``TypeError`` for anything that is
    not a record class of ``corvane_acp_native``.
    """
    if not (isinstance(cls, type) and cls in LAYOUT):
        raise TypeError(
            "json_schema() expects a corvane_acp_native record class, not "
            + (cls.__name__ if isinstance(cls, type) else repr(cls))
        )
    defs: Dict[str, Any] = {}
    schema: Dict[str, Any] = {"$schema": DIALECT, "title": cls.__name__}
    schema.update(_object(cls, defs))
    if defs:
        schema["$defs"] = defs
    return schema


_OPERATION_DESCRIPTIONS = {
    "create_checkout_session": "Open a checkout session for the requested products and quantities, priced from the catalog.",
    "get_checkout_session": "Read a checkout session back.",
    "update_checkout_session": (
        "Replace the items (re-priced) and/or the customer of an open session; it becomes ready_for_payment."
    ),
    "complete_checkout_session": "Complete a session with a payment token or method; returns the session and its order.",
    "cancel_checkout_session": "Cancel a session that is not completed.",
}

_PARAMETER_DESCRIPTIONS = {
    "session_id": "The session's identifier, as a checkout session's id gave it.",
    "items": "The requested products: catalog product identifiers and quantities.",
    "customer": "The customer's billing and shipping addresses.",
    "payment": "A delegated payment token and/or a payment method name.",
}


def _parameter(operation: str, name: str, optional: bool, defs: Dict[str, Any]) -> Dict[str, Any]:
    schema: Dict[str, Any]
    if name == "session_id":
        schema = {"type": "string"}
    elif name == "items":
        schema = {"type": "array", "items": _ref(acp.RequestItem, defs)}
        if operation == "create_checkout_session":
            schema["minItems"] = 1  # "At least one item is required"
    elif name == "customer":
        schema = _ref(acp.Customer, defs)
    elif name == "payment":
        schema = _ref(acp.PaymentRequest, defs)
    else:  # pragma: no cover - the module has no other parameter
        raise AssertionError(f"no schema for the parameter {name!r} of {operation}")
    if optional:  # null keeps what the session has
        if "type" in schema:
            schema["type"] = [schema["type"], "null"]
        else:
            schema = {"anyOf": [schema, {"type": "null"}]}
    schema["description"] = _PARAMETER_DESCRIPTIONS[name]
    return schema


def _operation_schema(operation: str) -> Dict[str, Any]:
    # The parameters, their order and which are required come from the
    # method's signature in the running module.
    import inspect  # only here: it takes longer to import than the whole codec
    parameters = list(inspect.signature(getattr(acp.AcpClient, operation)).parameters.values())[1:]
    defs: Dict[str, Any] = {}
    properties = {
        p.name: _parameter(operation, p.name, p.default is not inspect.Parameter.empty, defs) for p in parameters
    }
    required: List[str] = [p.name for p in parameters if p.default is inspect.Parameter.empty]
    schema: Dict[str, Any] = {
        "$schema": DIALECT,
        "title": operation,
        "description": _OPERATION_DESCRIPTIONS[operation],
        "type": "object",
        "properties": properties,
        "required": required,
        "additionalProperties": False,
    }
    if defs:
        schema["$defs"] = defs
    return schema


def tool_schemas() -> Dict[str, Dict[str, Any]]:
    """The JSON Schema (draft 2020-12) of each client operation's arguments, by operation name.

    The keys are the five ``AcpClient`` method names; each schema describes
    the object of keyword arguments that ``dispatch`` takes for it, with
    records as their dict forms, and carries a ``description`` for an
    agent's tool list. Each call returns new dicts.
    """
    return {operation: _operation_schema(operation) for operation in OPERATIONS}
