"""PaymentRequest, Order and CheckoutSessionWithOrder records, and the
completion and cancellation of sessions."""

import re
import threading
import time

import pytest

import corvane_acp_native as acp
from support import KEYBOARD, MOUSE, ORDER_BASE_URL, UUID4, request, state_of, stored, ts_key


@pytest.fixture
def session(client):
    return client.create_checkout_session(request((MOUSE, 2)))


def assert_default_repr(obj):
    """The interpreter's own object representation, nothing of the class's."""
    assert repr(obj) == object.__repr__(obj)
    assert re.match(rf"^<(builtins\.)?{type(obj).__name__} object at 0x[0-9a-fA-F]+>$", repr(obj))


# ----------------------------------------------------------- PaymentRequest


def test_payment_request_defaults_to_absent_fields():
    p = acp.PaymentRequest()
    assert p.delegated_token is None
    assert p.method is None


@pytest.mark.parametrize(
    "args, kwargs, token, method",
    [
        (("tok_1",), {}, "tok_1", None),
        ((), {"method": "card"}, None, "card"),
        ((), {"delegated_token": "t"}, "t", None),
        (("t", "m"), {}, "t", "m"),
        ((), {"method": "m", "delegated_token": "t"}, "t", "m"),
        (("t",), {"method": "m"}, "t", "m"),
        ((None, None), {}, None, None),
        (("", ""), {}, "", ""),
        (("nul\x00tok", "日本 😀"), {}, "nul\x00tok", "日本 😀"),
    ],
)
def test_payment_request_constructor(args, kwargs, token, method):
    p = acp.PaymentRequest(*args, **kwargs)
    assert p.delegated_token == token
    assert p.method == method


def test_payment_request_accepts_str_subclass():
    class S(str):
        pass

    p = acp.PaymentRequest(S("tok"), method=S("m"))
    assert p.delegated_token == "tok" and type(p.delegated_token) is str
    assert p.method == "m" and type(p.method) is str


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "argument 'delegated_token': 'int' object cannot be converted to 'PyString'"),
        ((b"x",), {}, "argument 'delegated_token': 'bytes' object cannot be converted to 'PyString'"),
        ((None, 2), {}, "argument 'method': 'int' object cannot be converted to 'PyString'"),
        ((), {"method": 2.5}, "argument 'method': 'float' object cannot be converted to 'PyString'"),
        ((1, 2), {}, "argument 'delegated_token': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_payment_request_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        acp.PaymentRequest(*args, **kwargs)
    assert str(info.value) == message


def test_payment_request_lone_surrogate_is_refused():
    with pytest.raises(UnicodeEncodeError):
        acp.PaymentRequest("\ud800")
    p = acp.PaymentRequest(method="m")
    with pytest.raises(UnicodeEncodeError):
        p.method = "\udfff"
    assert p.method == "m"


@pytest.mark.parametrize("field", ["delegated_token", "method"])
def test_payment_request_setters(field):
    p = acp.PaymentRequest("t0", "m0")
    setattr(p, field, "new")
    assert getattr(p, field) == "new"
    setattr(p, field, "")
    assert getattr(p, field) == ""
    setattr(p, field, None)
    assert getattr(p, field) is None
    setattr(p, field, "again")
    for bad, tname in [(3, "int"), (b"b", "bytes"), (acp.PaymentRequest(), "PaymentRequest")]:
        with pytest.raises(TypeError) as info:
            setattr(p, field, bad)
        assert str(info.value) == f"'{tname}' object cannot be converted to 'PyString'"
        assert getattr(p, field) == "again"
    assert getattr(p, field) == "again"
    other = "t0" if field == "method" else "m0"
    assert getattr(p, "delegated_token" if field == "method" else "method") == other


def test_payment_request_class_shape():
    assert acp.PaymentRequest.__text_signature__ == "(delegated_token=None, method=None)"
    p = acp.PaymentRequest("t")
    q = acp.PaymentRequest("t")
    assert p != q and p == p
    assert_default_repr(p)
    with pytest.raises(AttributeError):
        p.amount = 1


# ----------------------------------------------- Order and the completion result


@pytest.fixture
def completed(client, session):
    return client.complete_checkout_session(session.id, acp.PaymentRequest(method="card"))


def test_completion_result_types_and_fresh_objects(completed):
    assert type(completed) is acp.CheckoutSessionWithOrder
    s1, s2 = completed.session, completed.session
    o1, o2 = completed.order, completed.order
    assert type(s1) is acp.CheckoutSession and type(o1) is acp.Order
    assert s1 is not s2 and o1 is not o2
    assert state_of(s1) == state_of(s2)
    assert (o1.id, o1.checkout_session_id, o1.status, o1.permalink_url) == (
        o2.id, o2.checkout_session_id, o2.status, o2.permalink_url)


def test_order_fields(session, completed):
    order = completed.order
    assert len(order.id) == 36
    assert order.id[14] == "4"
    assert UUID4.match(order.id)
    assert order.id != session.id
    assert order.checkout_session_id == session.id
    assert order.status == "placed"
    assert order.permalink_url == ORDER_BASE_URL + session.id
    assert not order.permalink_url.endswith(order.id)


def test_order_repr_shows_only_id_and_status(completed):
    order = completed.order
    assert repr(order) == f"Order(id='{order.id}', status='placed')"
    assert str(order) == repr(order)


def test_completion_result_has_default_repr(completed):
    assert_default_repr(completed)


def test_result_parts_are_copies(client, session, completed):
    snap = completed.session
    snap.totals.subtotal = acp.Money(1, "EUR")
    items = snap.items
    items[0].quantity = 42
    items.clear()
    assert completed.session.items[0].quantity == 2
    assert completed.session.totals.subtotal.amount == 19800
    assert client.get_checkout_session(session.id).items[0].quantity == 2


def test_order_objects_compare_by_identity(completed):
    o1, o2 = completed.order, completed.order
    assert o1 != o2 and o1 == o1


# ------------------------------------------------------------------ complete


def test_complete_fresh_session_with_method_only(client, session):
    result = client.complete_checkout_session(session.id, acp.PaymentRequest(method="card"))
    s = result.session
    assert s.status == "completed"
    assert s.id == session.id
    assert s.created_at == session.created_at
    assert ts_key(s.updated_at) >= ts_key(session.updated_at)
    assert [(li.id, li.quantity) for li in s.items] == [(MOUSE, 2)]
    assert [m.amount for m in (s.totals.subtotal, s.totals.tax, s.totals.shipping,
                               s.totals.discount, s.totals.grand_total)] == [19800, 1732, 0, 0, 21532]
    assert s.customer is None
    order = result.order
    assert order.status == "placed"
    assert order.checkout_session_id == session.id
    assert order.permalink_url == ORDER_BASE_URL + session.id


@pytest.mark.parametrize(
    "payment",
    [
        acp.PaymentRequest("tok_visa"),
        acp.PaymentRequest(method="card"),
        acp.PaymentRequest("tok", "card"),
        acp.PaymentRequest(""),
        acp.PaymentRequest(method=""),
        acp.PaymentRequest("", ""),
    ],
    ids=["token", "method", "both", "empty-token", "empty-method", "both-empty"],
)
def test_any_present_token_or_method_completes(client, payment):
    s = client.create_checkout_session(request((KEYBOARD, 1)))
    result = client.complete_checkout_session(s.id, payment)
    assert result.session.status == "completed"
    assert client.get_checkout_session(s.id).status == "completed"


def test_complete_ready_session_keeps_customer_and_items(client, session):
    client.update_checkout_session(
        session.id, request((KEYBOARD, 1)), acp.Customer(acp.Address(city="Lima"), None)
    )
    result = client.complete_checkout_session(session.id, acp.PaymentRequest("tok"))
    s = result.session
    assert s.status == "completed"
    assert [(li.id, li.quantity) for li in s.items] == [(KEYBOARD, 1)]
    assert s.customer.billing_address.city == "Lima"
    assert s.customer.shipping_address is None


def test_complete_session_without_items(client, session):
    client.update_checkout_session(session.id, [])
    result = client.complete_checkout_session(session.id, acp.PaymentRequest(method="m"))
    assert result.session.items == []
    assert result.session.totals.grand_total.amount == 999
    assert result.session.status == "completed"


def test_completion_is_visible_through_get(client, session):
    result = client.complete_checkout_session(session.id, acp.PaymentRequest(method="card"))
    got = acp.AcpClient("other").get_checkout_session(session.id)
    assert state_of(got) == state_of(result.session)
    assert got.status == "completed"
    assert got.updated_at == result.session.updated_at
    assert got.created_at == session.created_at


def test_keyword_arguments(client, session):
    result = client.complete_checkout_session(payment=acp.PaymentRequest("t"), session_id=session.id)
    assert result.session.status == "completed"
    s2 = client.create_checkout_session(request((MOUSE, 1)))
    assert client.cancel_checkout_session(session_id=s2.id).status == "canceled"


def test_payment_request_changes_after_the_call_change_nothing(client, session):
    p = acp.PaymentRequest()
    with pytest.raises(ValueError):
        client.complete_checkout_session(session.id, p)
    p.method = "card"
    result = client.complete_checkout_session(session.id, p)
    p.method = None
    assert result.session.status == "completed"
    assert client.get_checkout_session(session.id).status == "completed"


def test_two_completions_give_two_different_orders(client):
    a = client.create_checkout_session(request((MOUSE, 1)))
    b = client.create_checkout_session(request((MOUSE, 1)))
    oa = client.complete_checkout_session(a.id, acp.PaymentRequest("t")).order
    ob = client.complete_checkout_session(b.id, acp.PaymentRequest("t")).order
    assert oa.id != ob.id
    assert {oa.id, ob.id}.isdisjoint({a.id, b.id})
    assert oa.checkout_session_id == a.id and ob.checkout_session_id == b.id
    assert UUID4.match(oa.id) and UUID4.match(ob.id)


def test_empty_payment_request_is_refused_and_changes_nothing(client, session):
    client.update_checkout_session(session.id)
    before = stored(client, session.id)
    with pytest.raises(ValueError) as info:
        client.complete_checkout_session(session.id, acp.PaymentRequest())
    assert type(info.value) is ValueError
    assert info.value.args == ("Payment token or method required",)
    assert stored(client, session.id) == before
    assert before["status"] == "ready_for_payment"
    # the store was released: the session can still be completed
    assert client.complete_checkout_session(session.id, acp.PaymentRequest(None, "m")).session.status == "completed"


def test_empty_payment_on_fresh_session_keeps_it_not_ready(client, session):
    before = stored(client, session.id)
    with pytest.raises(ValueError, match="^Payment token or method required$"):
        client.complete_checkout_session(session.id, acp.PaymentRequest(None, None))
    assert stored(client, session.id) == before
    assert before["status"] == "not_ready_for_payment"


@pytest.mark.parametrize(
    "payment",
    [acp.PaymentRequest(), acp.PaymentRequest(method="card")],
    ids=["empty-payment", "valid-payment"],
)
def test_complete_refusals_by_status(client, payment):
    done = client.create_checkout_session(request((MOUSE, 1)))
    client.complete_checkout_session(done.id, acp.PaymentRequest("t"))
    canceled = client.create_checkout_session(request((MOUSE, 1)))
    client.cancel_checkout_session(canceled.id)

    for sid, message in [
        (done.id, "Session already completed"),
        (canceled.id, "Cannot complete canceled session"),
    ]:
        before = stored(client, sid)
        with pytest.raises(RuntimeError) as info:
            client.complete_checkout_session(sid, payment)
        assert type(info.value) is RuntimeError
        assert info.value.args == (message,)
        assert stored(client, sid) == before


def test_complete_unknown_session_is_checked_before_payment(client):
    with pytest.raises(ValueError) as info:
        client.complete_checkout_session("no-such-session", acp.PaymentRequest())
    assert info.value.args == ("Session not found: no-such-session",)


@pytest.mark.parametrize("sid", ["", "nope", "quote' \"dq\"\nnl", "ünïcødé-😀"])
def test_complete_and_cancel_unknown_session_message(client, sid):
    with pytest.raises(ValueError) as info:
        client.complete_checkout_session(sid, acp.PaymentRequest("t"))
    assert info.value.args == ("Session not found: " + sid,)
    with pytest.raises(ValueError) as info:
        client.cancel_checkout_session(sid)
    assert info.value.args == ("Session not found: " + sid,)


def test_lookup_is_exact(client, session):
    for sid in (session.id.upper(), session.id + " ", "\t" + session.id):
        with pytest.raises(ValueError):
            client.complete_checkout_session(sid, acp.PaymentRequest("t"))
        with pytest.raises(ValueError):
            client.cancel_checkout_session(sid)
    assert client.get_checkout_session(session.id).status == "not_ready_for_payment"


@pytest.mark.parametrize(
    "sid, payment, message",
    [
        ("known", None, "argument 'payment': 'NoneType' object cannot be converted to 'PaymentRequest'"),
        ("unknown", None, "argument 'payment': 'NoneType' object cannot be converted to 'PaymentRequest'"),
        ("known", acp.Customer(), "argument 'payment': 'Customer' object cannot be converted to 'PaymentRequest'"),
        ("known", "tok", "argument 'payment': 'str' object cannot be converted to 'PaymentRequest'"),
        ("known", {"method": "card"}, "argument 'payment': 'dict' object cannot be converted to 'PaymentRequest'"),
        (123, None, "argument 'session_id': 'int' object cannot be converted to 'PyString'"),
        (None, acp.PaymentRequest("t"), "argument 'session_id': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_complete_conversion_errors(client, session, sid, payment, message):
    target = {"known": session.id, "unknown": "no-such-session"}.get(sid, sid)
    before = stored(client, session.id)
    with pytest.raises(TypeError) as info:
        client.complete_checkout_session(target, payment)
    assert str(info.value) == message
    assert stored(client, session.id) == before


# -------------------------------------------------------------------- cancel


def test_cancel_fresh_and_ready_sessions(client):
    fresh = client.create_checkout_session(request((MOUSE, 1)))
    ready = client.create_checkout_session(request((KEYBOARD, 1)))
    client.update_checkout_session(ready.id, customer=acp.Customer(acp.Address(city="Rome")))
    for s in (fresh, ready):
        before = stored(client, s.id)
        result = client.cancel_checkout_session(s.id)
        assert type(result) is acp.CheckoutSession
        assert result.status == "canceled"
        after = state_of(result)
        for key in ("id", "items", "totals", "customer", "created_at"):
            assert after[key] == before[key]
        assert ts_key(after["updated_at"]) >= ts_key(before["updated_at"])
        assert stored(client, s.id) == after


def test_cancel_twice_refreshes_updated_at(client, session):
    first = client.cancel_checkout_session(session.id)
    second = client.cancel_checkout_session(session.id)
    assert second.status == "canceled"
    assert ts_key(second.updated_at) >= ts_key(first.updated_at)
    for _ in range(5000):
        if second.updated_at != first.updated_at:
            break
        time.sleep(0.001)
        second = client.cancel_checkout_session(session.id)
    assert second.updated_at != first.updated_at
    assert ts_key(second.updated_at) > ts_key(first.updated_at)
    assert second.created_at == session.created_at
    got = client.get_checkout_session(session.id)
    assert got.status == "canceled"
    assert got.updated_at == second.updated_at


def test_cancel_completed_session_is_refused(client, session, completed):
    before = stored(client, session.id)
    with pytest.raises(RuntimeError) as info:
        client.cancel_checkout_session(session.id)
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Cannot cancel completed session",)
    assert stored(client, session.id) == before


def test_completed_session_refuses_everything(client, session, completed):
    before = stored(client, session.id)
    with pytest.raises(RuntimeError, match="^Session already completed$"):
        client.complete_checkout_session(session.id, acp.PaymentRequest("t"))
    with pytest.raises(RuntimeError, match="^Cannot cancel completed session$"):
        client.cancel_checkout_session(session.id)
    with pytest.raises(RuntimeError, match="^Cannot update completed or canceled session$"):
        client.update_checkout_session(session.id)
    assert stored(client, session.id) == before
    assert before["updated_at"] == completed.session.updated_at


def test_canceled_session_refuses_complete_but_not_cancel(client, session):
    client.cancel_checkout_session(session.id)
    before = stored(client, session.id)
    with pytest.raises(RuntimeError, match="^Cannot complete canceled session$"):
        client.complete_checkout_session(session.id, acp.PaymentRequest(method="card"))
    with pytest.raises(RuntimeError, match="^Cannot update completed or canceled session$"):
        client.update_checkout_session(session.id, request((KEYBOARD, 1)))
    assert stored(client, session.id) == before
    assert client.cancel_checkout_session(session.id).status == "canceled"


@pytest.mark.parametrize(
    "sid, message",
    [
        (123, "argument 'session_id': 'int' object cannot be converted to 'PyString'"),
        (None, "argument 'session_id': 'NoneType' object cannot be converted to 'PyString'"),
        (b"x", "argument 'session_id': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_cancel_conversion_errors(client, sid, message):
    with pytest.raises(TypeError) as info:
        client.cancel_checkout_session(sid)
    assert str(info.value) == message


# ------------------------------------------------------------------ threads


def test_racing_completions_exactly_one_wins(client):
    for _ in range(25):
        s = client.create_checkout_session(request((MOUSE, 1)))
        barrier = threading.Barrier(2)
        outcomes = []
        lock = threading.Lock()

        def worker(token):
            c = acp.AcpClient()
            p = acp.PaymentRequest(token)
            barrier.wait()
            try:
                r = c.complete_checkout_session(s.id, p)
                out = ("ok", r.order.id, r.session.status)
            except BaseException as exc:  # noqa: BLE001 - recorded and checked below
                out = ("err", type(exc), exc.args)
            with lock:
                outcomes.append(out)

        threads = [threading.Thread(target=worker, args=(t,)) for t in ("a", "b")]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert len(outcomes) == 2
        wins = [o for o in outcomes if o[0] == "ok"]
        losses = [o for o in outcomes if o[0] == "err"]
        assert len(wins) == 1, outcomes
        assert losses == [("err", RuntimeError, ("Session already completed",))]
        assert wins[0][2] == "completed"
        got = client.get_checkout_session(s.id)
        assert got.status == "completed"


def test_racing_complete_and_cancel_agree_with_the_final_state(client):
    for _ in range(25):
        s = client.create_checkout_session(request((MOUSE, 1)))
        barrier = threading.Barrier(2)
        results = {}

        def run(name, fn):
            barrier.wait()
            try:
                fn()
                results[name] = "ok"
            except RuntimeError as exc:
                results[name] = str(exc)

        ts = [
            threading.Thread(target=run, args=("complete", lambda: acp.AcpClient().complete_checkout_session(
                s.id, acp.PaymentRequest(method="m")))),
            threading.Thread(target=run, args=("cancel", lambda: acp.AcpClient().cancel_checkout_session(s.id))),
        ]
        for t in ts:
            t.start()
        for t in ts:
            t.join(60)
        final = client.get_checkout_session(s.id).status
        if final == "completed":
            assert results == {"complete": "ok", "cancel": "Cannot cancel completed session"}
        else:
            assert final == "canceled"
            assert results == {"complete": "Cannot complete canceled session", "cancel": "ok"}
