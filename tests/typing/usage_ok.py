"""Correct uses of corvane_acp_native, with the types a checker must infer.

This file is never run. check_typing.py type-checks it with `mypy --strict`
and requires it to pass without a single error, so every `assert_type` below
pins the type that the published stubs give.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Literal, Optional

from typing_extensions import assert_type

import corvane_acp_native as acp
from corvane_acp_native import AcpClient, Money, RequestItem


def module_level() -> None:
    assert_type(acp.version(), str)
    assert_type(acp.__version__, str)
    assert_type(acp.__all__, list[str])


def records() -> None:
    money = Money(9900, "USD")
    assert_type(money.amount, int)
    assert_type(money.currency, str)
    money.amount = -150
    money.currency = ""
    assert_type(repr(money), str)

    address = acp.Address("Ada", "12 St James's Square", None, "London", postal_code="SW1Y 4JH")
    assert_type(address.name, Optional[str])
    address.city = None
    address.email = "ada@example.com"

    customer = acp.Customer(billing_address=address)
    assert_type(customer.billing_address, Optional[acp.Address])
    customer.shipping_address = address
    customer.shipping_address = None

    item = RequestItem(id="prod_mouse_002", quantity=2)
    assert_type(item.id, str)
    assert_type(item.quantity, int)
    item.quantity = 3

    payment = acp.PaymentRequest(method="card")
    assert_type(payment.delegated_token, Optional[str])
    payment.delegated_token = "tok_4242"


def client_flow(items: Sequence[RequestItem]) -> acp.Order:
    client = AcpClient()
    AcpClient(api_key="key")
    AcpClient(None)

    session = client.create_checkout_session(items)
    assert_type(session, acp.CheckoutSession)
    client.create_checkout_session((RequestItem("prod_keyboard_003", 1),))
    assert_type(session.id, str)
    assert_type(session.status, Literal["not_ready_for_payment", "ready_for_payment", "completed", "canceled"])
    status: str = session.status  # still a str wherever one is wanted
    print(status)
    assert_type(session.items, list[acp.LineItem])
    assert_type(session.totals, acp.Totals)
    assert_type(session.customer, Optional[acp.Customer])
    assert_type(session.created_at, str)
    assert_type(session.updated_at, str)

    line = session.items[0]
    assert_type(line.unit_price, Money)
    assert_type(line.sku, Optional[str])
    line.quantity = 5
    line.sku = None
    line.unit_price = Money(1, "USD")

    totals = session.totals
    assert_type(totals.grand_total, Money)
    totals.discount = Money(100, "USD")

    assert_type(client.get_checkout_session(session_id=session.id), acp.CheckoutSession)
    updated = client.update_checkout_session(session.id, customer=acp.Customer())
    assert_type(updated, acp.CheckoutSession)
    client.update_checkout_session(session.id, [RequestItem("prod_mouse_002", 1)], None)
    client.update_checkout_session(session.id, items=[])

    result = client.complete_checkout_session(session.id, acp.PaymentRequest("tok"))
    assert_type(result, acp.CheckoutSessionWithOrder)
    assert_type(result.session, acp.CheckoutSession)
    order = result.order
    assert_type(order.id, str)
    assert_type(order.checkout_session_id, str)
    assert_type(order.status, Literal["placed"])
    assert_type(order.permalink_url, Optional[str])

    assert_type(client.cancel_checkout_session(session.id), acp.CheckoutSession)
    return order


def narrowing(value: object) -> int:
    if isinstance(value, acp.Totals):
        return value.subtotal.amount
    if type(value) is Money:
        return value.amount
    return 0


def codec(session: acp.CheckoutSession) -> acp.Customer:
    import json
    from datetime import datetime
    from typing import Any, Dict, Tuple

    import corvane_acp_codec
    from corvane_acp_codec import CheckoutSessionDict, MoneyDict

    data = corvane_acp_codec.to_dict(session)
    assert_type(data, CheckoutSessionDict)
    assert_type(data["totals"]["grand_total"]["amount"], int)
    assert_type(data["items"][0]["unit_price"], MoneyDict)
    assert_type(data["customer"], Optional[corvane_acp_codec.CustomerDict])
    assert_type(data["status"], Literal["not_ready_for_payment", "ready_for_payment", "completed", "canceled"])
    assert_type(corvane_acp_codec.to_dict(session.totals.tax)["currency"], str)
    assert_type(corvane_acp_codec.to_dict(acp.Address())["city"], Optional[str])
    print(json.dumps(session, default=corvane_acp_codec.to_dict))
    assert_type(corvane_acp_codec.json_schema(acp.Money), Dict[str, Any])
    assert_type(corvane_acp_codec.tool_schemas()["get_checkout_session"], Dict[str, Any])
    assert_type(corvane_acp_codec.dispatch(AcpClient(), "get_checkout_session", {"session_id": "x"}), Dict[str, Any])
    assert_type(corvane_acp_codec.parse_timestamp(session.created_at), Tuple[datetime, int])
    assert_type(corvane_acp_codec.to_json(session.totals), str)
    assert_type(corvane_acp_codec.from_dict(Money, {"amount": 1, "currency": "USD"}), Money)
    return corvane_acp_codec.from_dict(acp.Customer, {"billing_address": {"city": "Oslo"}})
