"""AcpClient.update_checkout_session: conversion order, re-pricing, customer
replacement, status/timestamp changes and every refusal."""

import time

import pytest

import corvane_acp_native as acp
from support import (
    KEYBOARD, LAPTOP, MOUSE, RaisingSequence, address_of, customer_of, line_of, request, state_of,
    stored, totals_of, ts_key, usd,
)


@pytest.fixture
def session(client):
    return client.create_checkout_session(request((MOUSE, 1)))


def wait_for_new_update(client, sid, old_updated_at, **kwargs):
    """Update until the clock has visibly moved past `old_updated_at`."""
    for _ in range(5000):
        result = client.update_checkout_session(sid, **kwargs)
        if result.updated_at != old_updated_at:
            return result
        time.sleep(0.001)
    pytest.fail(f"updated_at never changed from {old_updated_at!r}")


# ------------------------------------------------------- successful updates


def test_only_session_id_sets_ready_and_keeps_items_and_customer(client, session):
    before = stored(client, session.id)
    result = client.update_checkout_session(session.id)
    after = state_of(result)
    assert after["status"] == "ready_for_payment"
    assert after["id"] == before["id"]
    assert after["items"] == before["items"]
    assert after["totals"] == before["totals"]
    assert after["customer"] is None
    assert after["created_at"] == before["created_at"]
    assert ts_key(after["updated_at"]) >= ts_key(before["updated_at"])
    assert stored(client, session.id) == after


def test_update_refreshes_updated_at_but_never_created_at(client, session):
    created = session.created_at
    first = client.update_checkout_session(session.id)
    later = wait_for_new_update(client, session.id, first.updated_at)
    assert later.created_at == created
    assert ts_key(later.updated_at) > ts_key(first.updated_at)
    assert ts_key(later.updated_at) > ts_key(created)
    got = client.get_checkout_session(session.id)
    assert got.created_at == created
    assert got.updated_at == later.updated_at


def test_ready_session_stays_ready(client, session):
    client.update_checkout_session(session.id)
    again = client.update_checkout_session(session.id, items=request((KEYBOARD, 1)))
    assert again.status == "ready_for_payment"
    assert client.get_checkout_session(session.id).status == "ready_for_payment"


def test_empty_items_list_clears_lines_and_gives_empty_totals(client, session):
    result = client.update_checkout_session(session.id, [])
    assert result.items == []
    assert totals_of(result) == usd(0, 0, 999, 0, 999)
    assert result.status == "ready_for_payment"
    assert repr(result) == f"CheckoutSession(id='{session.id}', status='ready_for_payment', items=0)"
    assert stored(client, session.id) == state_of(result)


def test_empty_tuple_is_accepted_too(client, session):
    result = client.update_checkout_session(session.id, ())
    assert result.items == []
    assert totals_of(result) == usd(0, 0, 999, 0, 999)


@pytest.mark.parametrize(
    "pairs, expected_totals",
    [
        ([(MOUSE, 1)], usd(9900, 866, 999, 0, 11765)),
        ([(KEYBOARD, 1)], usd(29900, 2616, 0, 0, 32516)),
        ([(LAPTOP, 1)], usd(199900, 17491, 0, 0, 217391)),
        ([(MOUSE, 1), (KEYBOARD, 1)], usd(39800, 3482, 0, 0, 43282)),
        ([(MOUSE, 2)], usd(19800, 1732, 0, 0, 21532)),
        ([(MOUSE, -1)], usd(-9900, -866, 999, 0, -9767)),
        ([(MOUSE, 0)], usd(0, 0, 999, 0, 999)),
        ([(MOUSE, 15), (KEYBOARD, 1)], usd(178400, 15609, 0, 0, 194009)),
    ],
    ids=["mouse", "keyboard", "laptop", "mouse+keyboard", "mouse-x2", "negative", "zero", "tax-truncation"],
)
def test_items_are_repriced_and_totals_recomputed(client, pairs, expected_totals):
    s = client.create_checkout_session(request((LAPTOP, 3)))
    result = client.update_checkout_session(s.id, request(*pairs))
    assert [(li.id, li.quantity) for li in result.items] == pairs
    assert totals_of(result) == expected_totals
    assert stored(client, s.id)["totals"] == expected_totals


def test_updated_lines_come_from_the_catalog(client, session):
    result = client.update_checkout_session(session.id, items=request((KEYBOARD, 3), (LAPTOP, 1)))
    assert [line_of(x) for x in result.items] == [
        (KEYBOARD, "Magic Keyboard", 3, (29900, "USD"), "var_003", "MK-SILVER",
         "https://images.corvane.example/keyboard.jpg"),
        (LAPTOP, 'MacBook Pro 14"', 1, (199900, "USD"), "var_001", "MBP14-M3",
         "https://images.corvane.example/mbp14.jpg"),
    ]


def test_items_replace_the_old_lines_instead_of_merging(client):
    s = client.create_checkout_session(request((LAPTOP, 1), (KEYBOARD, 2)))
    result = client.update_checkout_session(s.id, request((MOUSE, 4)))
    assert [(li.id, li.quantity) for li in result.items] == [(MOUSE, 4)]


def test_duplicate_products_give_two_lines_counted_twice(client, session):
    result = client.update_checkout_session(session.id, request((MOUSE, 1), (MOUSE, 1)))
    assert [(li.id, li.quantity) for li in result.items] == [(MOUSE, 1), (MOUSE, 1)]
    assert totals_of(result) == usd(19800, 1732, 0, 0, 21532)


def test_items_in_a_tuple_are_accepted(client, session):
    result = client.update_checkout_session(session.id, tuple(request((KEYBOARD, 2))))
    assert [(li.id, li.quantity) for li in result.items] == [(KEYBOARD, 2)]


def test_keyword_and_positional_forms(client, session):
    c = acp.Customer(billing_address=acp.Address(city="Oslo"))
    r1 = client.update_checkout_session(session_id=session.id, items=request((KEYBOARD, 1)), customer=c)
    assert [li.id for li in r1.items] == [KEYBOARD]
    assert r1.customer.billing_address.city == "Oslo"
    r2 = client.update_checkout_session(session.id, request((LAPTOP, 1)), acp.Customer())
    assert [li.id for li in r2.items] == [LAPTOP]
    assert customer_of(r2.customer) == (None, None)
    r3 = client.update_checkout_session(session.id, None, None)
    assert [li.id for li in r3.items] == [LAPTOP]
    assert customer_of(r3.customer) == (None, None)


def test_update_is_seen_by_every_client(session):
    other = acp.AcpClient(api_key="sk_other")
    other.update_checkout_session(session.id, request((KEYBOARD, 2)))
    again = acp.AcpClient().get_checkout_session(session.id)
    assert again.status == "ready_for_payment"
    assert [(li.id, li.quantity) for li in again.items] == [(KEYBOARD, 2)]


def test_returned_snapshot_matches_store_and_is_independent(client, session):
    result = client.update_checkout_session(session.id, request((MOUSE, 2)))
    snapshot = state_of(result)
    assert stored(client, session.id) == snapshot
    line = result.items[0]
    line.quantity = 99
    assert stored(client, session.id) == snapshot
    # the snapshot returned by the update does not follow later changes
    client.update_checkout_session(session.id, request((LAPTOP, 1)))
    assert state_of(result) == snapshot


def test_request_items_are_copied_at_call_time(client, session):
    items = request((KEYBOARD, 2))
    client.update_checkout_session(session.id, items)
    items[0].quantity = 7
    items[0].id = LAPTOP
    items.append(acp.RequestItem(MOUSE, 1))
    got = client.get_checkout_session(session.id)
    assert [(li.id, li.quantity) for li in got.items] == [(KEYBOARD, 2)]


# ---------------------------------------------------------------- customer


FULL_ADDRESS = ("Ada", "1 Main St", "", "Springfield", "IL", "62701", "US", "+1 555", "ada@example.com")


def test_customer_is_stored_with_both_addresses(client, session):
    billing = acp.Address(*FULL_ADDRESS)
    shipping = acp.Address(name="Bob", city="Tromsø", line2="c/o 'x'\n\"y\"")
    result = client.update_checkout_session(session.id, customer=acp.Customer(billing, shipping))
    expected = (FULL_ADDRESS, address_of(shipping))
    assert customer_of(result.customer) == expected
    assert customer_of(client.get_checkout_session(session.id).customer) == expected
    # the empty text stays empty, absent fields stay absent
    assert result.customer.billing_address.line2 == ""
    assert result.customer.shipping_address.email is None


def test_customer_with_no_addresses_is_present_but_empty(client, session):
    result = client.update_checkout_session(session.id, customer=acp.Customer())
    assert type(result.customer) is acp.Customer
    assert result.customer.billing_address is None
    assert result.customer.shipping_address is None
    got = client.get_checkout_session(session.id)
    assert type(got.customer) is acp.Customer
    assert customer_of(got.customer) == (None, None)
    assert got.status == "ready_for_payment"


def test_customer_is_replaced_as_a_whole(client, session):
    client.update_checkout_session(
        session.id, customer=acp.Customer(billing_address=acp.Address(city="Bergen"))
    )
    result = client.update_checkout_session(
        session.id, customer=acp.Customer(shipping_address=acp.Address(city="Narvik"))
    )
    assert result.customer.billing_address is None
    assert result.customer.shipping_address.city == "Narvik"
    got = client.get_checkout_session(session.id)
    assert got.customer.billing_address is None
    assert got.customer.shipping_address.city == "Narvik"


def test_omitted_or_none_customer_keeps_the_current_one(client, session):
    client.update_checkout_session(session.id, customer=acp.Customer(acp.Address(city="Bergen")))
    r1 = client.update_checkout_session(session.id, request((KEYBOARD, 1)))
    assert r1.customer.billing_address.city == "Bergen"
    r2 = client.update_checkout_session(session.id, items=None, customer=None)
    assert r2.customer.billing_address.city == "Bergen"
    assert [li.id for li in r2.items] == [KEYBOARD]


def test_customer_only_update_keeps_items_and_totals(client):
    s = client.create_checkout_session(request((KEYBOARD, 2), (MOUSE, 1)))
    before = stored(client, s.id)
    result = client.update_checkout_session(s.id, customer=acp.Customer())
    assert [line_of(x) for x in result.items] == before["items"]
    assert totals_of(result) == before["totals"]


def test_customer_argument_is_copied(client, session):
    address = acp.Address(city="Old")
    customer = acp.Customer(billing_address=address)
    client.update_checkout_session(session.id, customer=customer)
    address.city = "Changed address"
    customer.billing_address = acp.Address(city="Changed customer")
    customer.shipping_address = acp.Address(city="Added later")
    got = client.get_checkout_session(session.id)
    assert got.customer.billing_address.city == "Old"
    assert got.customer.shipping_address is None


@pytest.mark.parametrize("change", [
    lambda c: setattr(c, "billing_address", acp.Address(city="New")),
    lambda c: setattr(c, "billing_address", None),
    lambda c: setattr(c, "shipping_address", acp.Address(name="Added")),
], ids=["billing", "billing-none", "shipping"])
def test_a_customer_changed_between_updates_is_stored_as_it_is_now(client, change):
    first, second = (client.create_checkout_session(request((MOUSE, 1))) for _ in range(2))
    customer = acp.Customer(billing_address=acp.Address(city="Old"))
    client.update_checkout_session(first.id, customer=customer)
    kept = customer_of(customer)
    change(customer)
    assert customer_of(client.update_checkout_session(second.id, customer=customer).customer) == customer_of(customer)
    assert customer_of(client.get_checkout_session(second.id).customer) == customer_of(customer) != kept
    assert customer_of(client.get_checkout_session(first.id).customer) == kept


def test_changing_a_returned_customer_changes_nothing(client, session):
    result = client.update_checkout_session(session.id, customer=acp.Customer(acp.Address(city="A")))
    c = result.customer
    c.billing_address = acp.Address(city="B")
    c.billing_address.city = "C"
    assert result.customer.billing_address.city == "A"
    assert client.get_checkout_session(session.id).customer.billing_address.city == "A"


# ------------------------------------------------------- argument conversion


EXISTING = object()  # placeholder for the fixture session's id


@pytest.mark.parametrize(
    "sid, items, customer, message",
    [
        (123, "abc", 5, "argument 'session_id': 'int' object cannot be converted to 'PyString'"),
        (None, None, None, "argument 'session_id': 'NoneType' object cannot be converted to 'PyString'"),
        (b"sess", None, None, "argument 'session_id': 'bytes' object cannot be converted to 'PyString'"),
        (EXISTING, "abc", 5, "argument 'items': Can't extract `str` to `Vec`"),
        (EXISTING, "", None, "argument 'items': Can't extract `str` to `Vec`"),
        ("no-such-session", "prod_mouse_002", None, "argument 'items': Can't extract `str` to `Vec`"),
        (EXISTING, [acp.RequestItem(MOUSE, 1), 7], acp.Address(),
         "argument 'items': 'int' object cannot be converted to 'RequestItem'"),
        (EXISTING, {"a": 1}, None, "argument 'items': 'dict' object cannot be converted to 'Sequence'"),
        (EXISTING, {acp.RequestItem(MOUSE, 1)}, None,
         "argument 'items': 'set' object cannot be converted to 'Sequence'"),
        (EXISTING, (x for x in ()), None, "argument 'items': 'generator' object cannot be converted to 'Sequence'"),
        (EXISTING, 5, None, "argument 'items': 'int' object cannot be converted to 'Sequence'"),
        (EXISTING, [acp.RequestItem("nope", 1)], 5, "argument 'customer': 'int' object cannot be converted to 'Customer'"),
        (EXISTING, [], acp.Address(), "argument 'customer': 'Address' object cannot be converted to 'Customer'"),
        ("no-such-session", None, acp.Address(),
         "argument 'customer': 'Address' object cannot be converted to 'Customer'"),
        ("no-such-session", [acp.RequestItem("nope", 1)], "x",
         "argument 'customer': 'str' object cannot be converted to 'Customer'"),
        (EXISTING, RaisingSequence(TypeError("boom")), None, "argument 'items': boom"),
    ],
    ids=[
        "sid-int-first", "sid-none", "sid-bytes", "items-str", "items-empty-str", "items-str-before-lookup",
        "items-int-element", "items-dict", "items-set", "items-generator", "items-int",
        "customer-int-before-product-check", "customer-address", "customer-before-lookup",
        "customer-str-before-lookup", "items-iteration-typeerror",
    ],
)
def test_conversion_errors_come_first_and_change_nothing(client, session, sid, items, customer, message):
    client.update_checkout_session(session.id, customer=acp.Customer(acp.Address(city="Keep")))
    before = stored(client, session.id)
    target = session.id if sid is EXISTING else sid
    with pytest.raises(TypeError) as info:
        client.update_checkout_session(target, items, customer)
    assert str(info.value) == message
    assert stored(client, session.id) == before


@pytest.mark.parametrize("exc", [ZeroDivisionError("boom"), KeyError("k"), RuntimeError("r")])
def test_non_type_errors_from_iteration_pass_through_unchanged(client, session, exc):
    before = stored(client, session.id)
    with pytest.raises(type(exc)) as info:
        client.update_checkout_session(session.id, RaisingSequence(exc))
    assert info.value is exc
    assert stored(client, session.id) == before


def test_range_is_a_sequence_but_its_elements_are_not_request_items(client, session):
    with pytest.raises(TypeError) as info:
        client.update_checkout_session(session.id, range(2))
    assert str(info.value) == "argument 'items': 'int' object cannot be converted to 'RequestItem'"


# ------------------------------------------------------------ engine refusals


def test_unknown_product_in_second_item_changes_nothing(client, session):
    client.update_checkout_session(
        session.id, request((KEYBOARD, 2)), acp.Customer(acp.Address(city="Before"))
    )
    before = stored(client, session.id)
    with pytest.raises(ValueError) as info:
        client.update_checkout_session(
            session.id,
            request((LAPTOP, 1), ("prod_nope_999", 1)),
            acp.Customer(shipping_address=acp.Address(city="After")),
        )
    assert info.value.args == ("Product not found: prod_nope_999",)
    assert type(info.value) is ValueError
    assert stored(client, session.id) == before


def test_unknown_product_keeps_a_fresh_session_not_ready(client, session):
    before = stored(client, session.id)
    with pytest.raises(ValueError, match="^Product not found: prod_nope$"):
        client.update_checkout_session(session.id, request((MOUSE, 1), ("prod_nope", 1)))
    after = stored(client, session.id)
    assert after == before
    assert after["status"] == "not_ready_for_payment"


def test_first_unknown_product_in_request_order_is_reported(client, session):
    with pytest.raises(ValueError) as info:
        client.update_checkout_session(session.id, request(("bad_one", 1), (MOUSE, 1), ("bad_two", 1)))
    assert info.value.args == ("Product not found: bad_one",)


@pytest.mark.parametrize(
    "product_id",
    [
        "",
        "PROD_MOUSE_002",
        "prod_mouse_002 ",
        " prod_mouse_002",
        "prod_keyboard_00",
        "prod_keyboard_0033",
        "it's \"quoted\"\nand\ttabbed",
        "produit_é_日本_😀",
        "nul\x00inside",
    ],
)
def test_product_identifier_is_quoted_verbatim(client, session, product_id):
    with pytest.raises(ValueError) as info:
        client.update_checkout_session(session.id, request((product_id, 1)))
    assert info.value.args == ("Product not found: " + product_id,)


@pytest.mark.parametrize("sid", ["", "nope", "it's \"x\"\n", "sessão-🙂"])
def test_unknown_session_message(client, sid):
    with pytest.raises(ValueError) as info:
        client.update_checkout_session(sid)
    assert type(info.value) is ValueError
    assert info.value.args == ("Session not found: " + sid,)


def test_unknown_session_is_reported_before_unknown_product(client):
    with pytest.raises(ValueError) as info:
        client.update_checkout_session("missing-session", request(("missing-product", 1)))
    assert info.value.args == ("Session not found: missing-session",)


@pytest.mark.parametrize("variant", ["upper", "leading-blank", "trailing-blank", "truncated"])
def test_session_lookup_is_exact(client, session, variant):
    sid = {
        "upper": session.id.upper(),
        "leading-blank": " " + session.id,
        "trailing-blank": session.id + " ",
        "truncated": session.id[:-1],
    }[variant]
    before = stored(client, session.id)
    with pytest.raises(ValueError) as info:
        client.update_checkout_session(sid, request((KEYBOARD, 1)))
    assert info.value.args == ("Session not found: " + sid,)
    assert stored(client, session.id) == before


def _close(client, sid, how):
    if how == "canceled":
        client.cancel_checkout_session(sid)
    else:
        client.complete_checkout_session(sid, acp.PaymentRequest(method="card"))


@pytest.mark.parametrize("how", ["canceled", "completed"])
@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"items": [acp.RequestItem(KEYBOARD, 1)]},
        {"items": []},
        {"items": [acp.RequestItem("prod_unknown", 1)]},
        {"customer": acp.Customer()},
    ],
    ids=["nothing", "valid-items", "empty-items", "unknown-product", "customer"],
)
def test_closed_sessions_refuse_updates(client, how, kwargs):
    s = client.create_checkout_session(request((MOUSE, 1)))
    _close(client, s.id, how)
    before = stored(client, s.id)
    assert before["status"] == how
    with pytest.raises(RuntimeError) as info:
        client.update_checkout_session(s.id, **kwargs)
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Cannot update completed or canceled session",)
    assert stored(client, s.id) == before


def test_refusal_releases_the_store(client, session):
    with pytest.raises(ValueError):
        client.update_checkout_session(session.id, request(("nope", 1)))
    with pytest.raises(ValueError):
        client.update_checkout_session("nope")
    # an immediate second call works normally
    result = client.update_checkout_session(session.id, request((KEYBOARD, 1)))
    assert result.status == "ready_for_payment"
    assert client.get_checkout_session(session.id).status == "ready_for_payment"
