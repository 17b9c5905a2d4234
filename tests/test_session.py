"""CheckoutSession snapshots: their values, freshness and independence."""

import pytest

import corvane_acp_native as acp
from support import KEYBOARD, LAPTOP, MOUSE, amounts, line_of, state_of

EXPECTED_TOTALS = (49700, 4348, 0, 0, 54048)  # of the shared `session` fixture


# ---------------------------------------------------------------- CheckoutSession


def test_session_type_and_fresh_values(session):
    assert type(session) is acp.CheckoutSession
    assert session.status == "not_ready_for_payment"
    assert session.customer is None
    assert [(x.id, x.quantity) for x in session.items] == [(MOUSE, 2), (KEYBOARD, 1)]
    assert amounts(session.totals) == EXPECTED_TOTALS
    assert session.created_at == session.updated_at
    for attr in ("id", "status", "created_at", "updated_at"):
        assert type(getattr(session, attr)) is str
    assert type(session.items) is list


def test_session_status_assignment_changes_nothing(client, session):
    with pytest.raises(AttributeError):
        session.status = "completed"
    assert session.status == "not_ready_for_payment"
    assert client.get_checkout_session(session.id).status == "not_ready_for_payment"


def test_session_takes_no_new_attributes(session):
    with pytest.raises(AttributeError):
        session.note = "hello"
    with pytest.raises(AttributeError):
        session.__dict__


def test_session_customer_none_at_creation(client, session):
    assert session.customer is None
    assert client.get_checkout_session(session.id).customer is None


def test_session_items_reads_are_distinct(session):
    first = session.items
    second = session.items
    assert first is not second
    assert len(first) == len(second) == 2
    for a, b in zip(first, second):
        assert a is not b
        assert a.unit_price is not b.unit_price
        assert line_of(a) == line_of(b)


def test_session_totals_reads_are_distinct(session):
    first = session.totals
    second = session.totals
    assert first is not second
    assert type(first) is acp.Totals
    assert amounts(first) == amounts(second) == EXPECTED_TOTALS


def test_mutating_returned_list_changes_nothing(client, session):
    items = session.items
    items.append(5)
    items.pop(0)
    items.clear()
    assert len(session.items) == 2
    assert len(client.get_checkout_session(session.id).items) == 2


def test_mutating_returned_line_changes_nothing(client, session):
    before = state_of(session)
    items = session.items
    items[0].quantity = 99
    items[0].id = "changed"
    items[0].title = "Changed"
    items[0].unit_price = acp.Money(1, "EUR")
    items[0].sku = None
    items[1].variant_id = ""
    assert state_of(session) == before
    stored = client.get_checkout_session(session.id)
    assert [line_of(x) for x in stored.items] == before["items"]
    assert stored.items[0].quantity == 2


def test_mutating_returned_unit_price_changes_nothing(client, session):
    price = session.items[0].unit_price
    price.amount = -1
    price.currency = "XXX"
    assert session.items[0].unit_price.amount == 9900
    stored = client.get_checkout_session(session.id).items[0].unit_price
    assert (stored.amount, stored.currency) == (9900, "USD")


def test_mutating_returned_totals_changes_nothing(client, session):
    totals = session.totals
    totals.subtotal = acp.Money(1, "EUR")
    totals.grand_total = acp.Money(-5, "")
    totals.tax.amount = 12345
    assert amounts(session.totals) == EXPECTED_TOTALS
    assert amounts(client.get_checkout_session(session.id).totals) == EXPECTED_TOTALS
    assert session.totals.subtotal.currency == "USD"


def test_snapshot_is_not_live(client, session):
    before = state_of(session)
    client.update_checkout_session(session.id, items=[acp.RequestItem(LAPTOP, 1)])
    assert state_of(session) == before
    assert session.status == "not_ready_for_payment"
    assert client.get_checkout_session(session.id).status == "ready_for_payment"


def test_two_snapshots_are_unequal(client, session):
    again = client.get_checkout_session(session.id)
    assert again is not session
    assert again != session
    assert state_of(again) == state_of(session)
    assert hash(session) == object.__hash__(session)


def test_session_repr(session):
    assert repr(session) == (
        "CheckoutSession(id='%s', status='not_ready_for_payment', items=2)" % session.id
    )
    assert str(session) == repr(session)
    assert len(session.id) == 36


@pytest.mark.parametrize("count", [1, 3, 17])
def test_session_repr_count_matches_items(client, count):
    s = client.create_checkout_session([acp.RequestItem(MOUSE, 1)] * count)
    assert repr(s) == (
        "CheckoutSession(id='%s', status='not_ready_for_payment', items=%d)"
        % (s.id, count)
    )
    assert len(s.items) == count


def test_session_repr_with_no_items(client, session):
    emptied = client.update_checkout_session(session.id, items=[])
    assert emptied.items == []
    assert repr(emptied) == (
        "CheckoutSession(id='%s', status='ready_for_payment', items=0)" % session.id
    )


def test_session_type_object_is_module_class(client, session):
    assert type(client.get_checkout_session(session.id)) is acp.CheckoutSession
