"""A complete checkout with corvane_acp_native.

Creates a checkout session from a few catalog products, reads it back, adds a
customer with billing and shipping addresses, completes it with a payment request
and shows the resulting order. It then shows how the client refuses requests that
do not fit the session's state.

Run it after installing the package:

    python3 examples/checkout.py
"""

from __future__ import annotations

from typing import Optional

import corvane_acp_native as acp

RULE = "-" * 64


def dollars(money: acp.Money) -> str:
    """Formats an amount in cents as dollars, with the raw cents beside it."""
    cents = money.amount
    sign = "-" if cents < 0 else ""
    whole, frac = divmod(abs(cents), 100)
    return f"{sign}${whole:,}.{frac:02d} {money.currency} ({cents} cents)"


def heading(title: str) -> None:
    print()
    print(title)
    print(RULE)


def show_address(label: str, address: Optional[acp.Address]) -> None:
    if address is None:
        print(f"    {label}: (none)")
        return
    parts = [
        address.line1,
        address.line2,
        address.city,
        address.region,
        address.postal_code,
        address.country,
    ]
    where = ", ".join(part for part in parts if part)
    print(f"    {label}: {address.name or '(no name)'}")
    print(f"              {where}")
    contact = " / ".join(part for part in (address.email, address.phone) if part)
    if contact:
        print(f"              {contact}")


def show_session(session: acp.CheckoutSession) -> None:
    print(f"  {session!r}")
    print(f"  id:         {session.id}")
    print(f"  status:     {session.status}")
    print(f"  created_at: {session.created_at}")
    print(f"  updated_at: {session.updated_at}")
    print("  items:")
    for line in session.items:
        price = line.unit_price
        line_total = acp.Money(price.amount * line.quantity, price.currency)
        print(f"    {line.quantity:>3} x {line.title:<16} [{line.id}, sku {line.sku}]")
        print(f"          at {dollars(price)}  = {dollars(line_total)}")
    totals = session.totals
    print("  totals:")
    print(f"    subtotal     {dollars(totals.subtotal)}")
    print(f"    tax          {dollars(totals.tax)}")
    print(f"    shipping     {dollars(totals.shipping)}")
    print(f"    discount     {dollars(totals.discount)}")
    print(f"    grand total  {dollars(totals.grand_total)}")
    customer = session.customer
    if customer is None:
        print("  customer:   (none yet)")
    else:
        print("  customer:")
        show_address("billing ", customer.billing_address)
        show_address("shipping", customer.shipping_address)


def show_refusal(what: str, exc: Exception) -> None:
    print(f"  {what}")
    print(f"    -> {type(exc).__name__}: {exc}")


def main() -> None:
    print(f"corvane_acp_native {acp.version()}")
    client = acp.AcpClient(api_key="demo-key")

    heading("1. Create a checkout session")
    session = client.create_checkout_session(
        [
            acp.RequestItem("prod_laptop_001", 1),
            acp.RequestItem("prod_mouse_002", 2),
            acp.RequestItem(id="prod_keyboard_003", quantity=1),
        ]
    )
    show_session(session)

    heading("2. Read it back")
    fetched = client.get_checkout_session(session.id)
    print(f"  {fetched!r}")
    print(f"  same id: {fetched.id == session.id}, status: {fetched.status}")
    print(f"  grand total: {dollars(fetched.totals.grand_total)}")

    heading("3. Add the customer")
    billing = acp.Address(
        name="Ada Lovelace",
        line1="12 St James's Square",
        city="London",
        postal_code="SW1Y 4JH",
        country="GB",
        phone="+44 20 7946 0000",
        email="ada@example.com",
    )
    shipping = acp.Address(
        name="Ada Lovelace",
        line1="500 Market Street",
        line2="Suite 4",
        city="San Francisco",
        region="CA",
        postal_code="94105",
        country="US",
    )
    updated = client.update_checkout_session(
        session.id, customer=acp.Customer(billing_address=billing, shipping_address=shipping)
    )
    show_session(updated)

    heading("4. Complete it with a payment request")
    payment = acp.PaymentRequest(delegated_token="tok_demo_4242", method="card")
    result = client.complete_checkout_session(session.id, payment)
    order = result.order
    completed = result.session
    print(f"  {order!r}")
    print(f"  order id:            {order.id}")
    print(f"  order status:        {order.status}")
    print(f"  checkout_session_id: {order.checkout_session_id}")
    print(f"  permalink_url:       {order.permalink_url}")
    print(f"  session status:      {completed.status}")
    print(f"  amount charged:      {dollars(completed.totals.grand_total)}")
    print(f"  completed at:        {completed.updated_at}")

    heading("5. Requests the client refuses")
    try:
        client.complete_checkout_session(session.id, acp.PaymentRequest(method="card"))
    except RuntimeError as exc:
        show_refusal("completing the same session a second time:", exc)
    try:
        client.cancel_checkout_session(session.id)
    except RuntimeError as exc:
        show_refusal("canceling a completed session:", exc)
    try:
        client.create_checkout_session([acp.RequestItem("prod_unicorn_999", 1)])
    except ValueError as exc:
        show_refusal("creating a session for a product that is not in the catalog:", exc)
    still = client.get_checkout_session(session.id)
    print(f"  the session is still readable: {still!r}")


if __name__ == "__main__":
    main()
