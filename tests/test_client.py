"""AcpClient construction, session lookup and session creation."""

import collections.abc
import datetime
import sys
import uuid

import pytest

import corvane_acp_native as acp
from support import (
    KEYBOARD, LAPTOP, MOUSE, STAMP, STR_TO_VEC, UUID4, Seq, amounts, cannot_convert, currencies, lines_of, state_of,
    throw,
)

def mouse(quantity=1):
    return acp.RequestItem(MOUSE, quantity)


@pytest.fixture
def session(client):
    return client.create_checkout_session([mouse(2)])


def assert_usable(client):
    """The store still works after a refused call and nothing is left pending."""
    assert sys.exc_info() == (None, None, None)
    s = client.create_checkout_session([acp.RequestItem(KEYBOARD, 1)])
    assert lines_of(s) == [(KEYBOARD, 1)]
    assert lines_of(client.get_checkout_session(s.id)) == [(KEYBOARD, 1)]


# ---------------------------------------------------------------- AcpClient construction


CLIENT_FACTORIES = [
    pytest.param(lambda: acp.AcpClient(), id="omitted"),
    pytest.param(lambda: acp.AcpClient(None), id="none-positional"),
    pytest.param(lambda: acp.AcpClient(api_key=None), id="none-keyword"),
    pytest.param(lambda: acp.AcpClient("sk_test_123"), id="str-positional"),
    pytest.param(lambda: acp.AcpClient(api_key="sk_live_abc"), id="str-keyword"),
    pytest.param(lambda: acp.AcpClient(""), id="empty-str"),
    pytest.param(lambda: acp.AcpClient("k\x00ey ☃"), id="odd-str"),
]


@pytest.mark.parametrize("factory", CLIENT_FACTORIES)
def test_client_variants_behave_identically(factory):
    client = factory()
    assert type(client) is acp.AcpClient
    s = client.create_checkout_session([mouse(2)])
    assert amounts(s.totals) == (19800, 1732, 0, 0, 21532)
    assert s.status == "not_ready_for_payment"
    again = client.get_checkout_session(s.id)
    assert state_of(again) == state_of(s)
    # sessions made through any client are seen by every other client
    assert state_of(acp.AcpClient().get_checkout_session(s.id)) == state_of(s)
    with pytest.raises(ValueError, match="^Session not found: missing$"):
        client.get_checkout_session("missing")
    with pytest.raises(ValueError, match="^At least one item is required$"):
        client.create_checkout_session([])
    with pytest.raises(ValueError, match="^Product not found: nope$"):
        client.create_checkout_session([acp.RequestItem("nope", 1)])


def test_api_key_is_not_exposed():
    client = acp.AcpClient("secret")
    assert not hasattr(client, "api_key")
    assert "secret" not in repr(client)
    assert repr(client) == object.__repr__(client)


@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (b"key", "bytes"), (1.5, "float"), (["k"], "list"), (True, "bool")],
)
def test_api_key_must_be_str(value, type_name):
    with pytest.raises(TypeError) as excinfo:
        acp.AcpClient(value)
    assert str(excinfo.value) == "argument 'api_key': " + cannot_convert(type_name, "PyString")
    with pytest.raises(TypeError) as excinfo:
        acp.AcpClient(api_key=value)
    assert str(excinfo.value) == "argument 'api_key': " + cannot_convert(type_name, "PyString")


def test_api_key_lone_surrogate():
    with pytest.raises(UnicodeEncodeError):
        acp.AcpClient("\ud800")


# ---------------------------------------------------------------- get_checkout_session


@pytest.mark.parametrize(
    "session_id",
    [
        "",
        "nope",
        "it's \"quoted\"",
        "line one\nline two\r\n",
        "naïve ☃ 日本語 \U0001f600",
        "\x00",
        "abc\x00def",
        "00000000-0000-4000-8000-000000000000",
        " ",
        "back\\slash",
    ],
)
def test_get_unknown_session_message(client, session_id):
    with pytest.raises(ValueError) as excinfo:
        client.get_checkout_session(session_id)
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == ("Session not found: " + session_id,)
    assert str(excinfo.value) == "Session not found: " + session_id


def test_get_unknown_random_uuid(client):
    session_id = str(uuid.uuid4())
    with pytest.raises(ValueError) as excinfo:
        client.get_checkout_session(session_id)
    assert str(excinfo.value) == "Session not found: " + session_id


def test_get_unknown_session_by_keyword(client):
    with pytest.raises(ValueError, match="^Session not found: kw$"):
        client.get_checkout_session(session_id="kw")


@pytest.mark.parametrize(
    "transform",
    [
        pytest.param(str.upper, id="upper"),
        pytest.param(lambda s: " " + s, id="leading-blank"),
        pytest.param(lambda s: s + " ", id="trailing-blank"),
        pytest.param(lambda s: " " + s + " ", id="padded"),
        pytest.param(lambda s: s + "\n", id="newline"),
        pytest.param(lambda s: s + "\x00", id="nul"),
        pytest.param(lambda s: s[:-1], id="one-char-less"),
        pytest.param(lambda s: s.replace("-", ""), id="no-dashes"),
        pytest.param(lambda s: "{" + s + "}", id="braces"),
        pytest.param(lambda s: "urn:uuid:" + s, id="urn"),
    ],
)
def test_get_lookup_is_exact(client, session, transform):
    other = transform(session.id)
    assert other != session.id
    with pytest.raises(ValueError) as excinfo:
        client.get_checkout_session(other)
    assert str(excinfo.value) == "Session not found: " + other


@pytest.mark.parametrize(
    "value, type_name",
    [(123, "int"), (None, "NoneType"), (b"abc", "bytes"), (uuid.uuid4(), "UUID")],
)
def test_get_session_id_must_be_str(client, session, value, type_name):
    with pytest.raises(TypeError) as excinfo:
        client.get_checkout_session(value)
    assert str(excinfo.value) == (
        "argument 'session_id': " + cannot_convert(type_name, "PyString")
    )
    assert state_of(client.get_checkout_session(session.id)) == state_of(session)


def test_get_accepts_str_subclass(client, session):
    class S(str):
        pass

    got = client.get_checkout_session(S(session.id))
    assert got.id == session.id


def test_get_lone_surrogate_is_unicode_error(client):
    with pytest.raises(UnicodeEncodeError):
        client.get_checkout_session("\udc80")


def test_two_gets_are_distinct_equal_snapshots(client, session):
    first = client.get_checkout_session(session.id)
    second = client.get_checkout_session(session.id)
    assert first is not second
    assert first != second
    assert first.items[0] is not second.items[0]
    assert state_of(first) == state_of(second) == state_of(session)


def test_get_does_not_touch_updated_at(client, session):
    for _ in range(3):
        got = client.get_checkout_session(session.id)
    assert got.updated_at == session.updated_at == session.created_at


def test_sessions_are_shared_between_clients():
    first = acp.AcpClient("one")
    made = first.create_checkout_session([acp.RequestItem(LAPTOP, 1)])
    del first
    later = acp.AcpClient()
    got = later.get_checkout_session(made.id)
    assert state_of(got) == state_of(made)


# ---------------------------------------------------------------- creation: the typical request


def test_typical_request(client):
    s = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 2)])
    assert type(s) is acp.CheckoutSession
    assert s.status == "not_ready_for_payment"
    assert s.customer is None
    assert lines_of(s) == [(MOUSE, 2)]
    (line,) = s.items
    assert line.title == "Magic Mouse"
    assert (line.unit_price.amount, line.unit_price.currency) == (9900, "USD")
    assert amounts(s.totals) == (19800, 1732, 0, 0, 21532)
    assert currencies(s.totals) == ("USD",) * 5
    assert s.created_at == s.updated_at
    assert state_of(client.get_checkout_session(s.id)) == state_of(s)


def test_laptop_request(client):
    s = client.create_checkout_session([acp.RequestItem(LAPTOP, 1)])
    assert lines_of(s) == [(LAPTOP, 1)]
    assert amounts(s.totals) == (199900, 17491, 0, 0, 217391)
    assert currencies(s.totals) == ("USD",) * 5
    assert s.status == "not_ready_for_payment"
    assert s.customer is None
    assert s.created_at == s.updated_at


def test_session_identifier_format(session):
    sid = session.id
    assert len(sid) == 36
    assert UUID4.match(sid), sid
    assert sid == sid.lower()
    assert sid[14] == "4"
    assert sid[19] in "89ab"
    assert [len(g) for g in sid.split("-")] == [8, 4, 4, 4, 12]
    parsed = uuid.UUID(sid)
    assert parsed.version == 4
    assert parsed.variant == uuid.RFC_4122
    assert str(parsed) == sid


def test_timestamp_format(session):
    stamp = session.created_at
    assert stamp.endswith("+00:00")
    assert not stamp.endswith("Z")
    assert stamp[10] == "T"
    match = STAMP.match(stamp)
    assert match, stamp
    fraction = match.group(2)
    if fraction is not None:
        # the shortest exact form: a longer group never ends in "000"
        assert not fraction.endswith("000"), stamp
        assert int(fraction) != 0
    if sys.version_info < (3, 11) and fraction is not None and len(fraction) == 9:
        # fromisoformat reads at most six fraction digits before 3.11
        stamp = stamp.replace("." + fraction, "." + fraction[:6])
    parsed = datetime.datetime.fromisoformat(stamp)
    assert parsed.utcoffset() == datetime.timedelta(0)
    now = datetime.datetime.now(datetime.timezone.utc)
    assert abs(now - parsed) < datetime.timedelta(days=1)


def test_timestamps_of_many_sessions_are_well_formed(client):
    for _ in range(50):
        s = client.create_checkout_session([mouse()])
        assert s.created_at == s.updated_at
        match = STAMP.match(s.created_at)
        assert match, s.created_at
        fraction = match.group(2)
        if fraction is not None:
            assert not fraction.endswith("000"), s.created_at


def test_identifiers_are_distinct(client):
    ids = set()
    for _ in range(200):
        s = client.create_checkout_session([mouse()])
        assert UUID4.match(s.id)
        ids.add(s.id)
    assert len(ids) == 200


def test_identical_requests_give_two_readable_sessions(client):
    a = client.create_checkout_session([mouse(2)])
    b = client.create_checkout_session([mouse(2)])
    assert a.id != b.id
    assert lines_of(client.get_checkout_session(a.id)) == [(MOUSE, 2)]
    assert lines_of(client.get_checkout_session(b.id)) == [(MOUSE, 2)]


def test_request_item_is_copied_at_creation(client):
    item = acp.RequestItem(MOUSE, 2)
    items = [item]
    s = client.create_checkout_session(items)
    item.quantity = 7
    item.id = LAPTOP
    items.append(acp.RequestItem(KEYBOARD, 1))
    items.clear()
    stored = client.get_checkout_session(s.id)
    assert lines_of(stored) == [(MOUSE, 2)]
    assert amounts(stored.totals) == (19800, 1732, 0, 0, 21532)
    assert lines_of(s) == [(MOUSE, 2)]


def test_same_request_item_object_reused(client):
    item = acp.RequestItem(KEYBOARD, 1)
    s = client.create_checkout_session([item, item, item])
    assert lines_of(s) == [(KEYBOARD, 1)] * 3
    item.quantity = 5
    s2 = client.create_checkout_session([item])
    assert lines_of(s2) == [(KEYBOARD, 5)]
    assert lines_of(client.get_checkout_session(s.id)) == [(KEYBOARD, 1)] * 3


def test_returned_line_changes_do_not_reach_store(client, session):
    for line in session.items:
        line.quantity = 100
        line.title = "x"
    assert lines_of(client.get_checkout_session(session.id)) == [(MOUSE, 2)]


@pytest.mark.parametrize("quantity", [0, -1])
def test_zero_and_negative_quantities_are_stored(client, quantity):
    s = client.create_checkout_session([mouse(quantity)])
    assert lines_of(client.get_checkout_session(s.id)) == [(MOUSE, quantity)]


# ---------------------------------------------------------------- creation: accepted containers


class RangeLike(collections.abc.Sequence):
    """A read-only sequence built on __len__ and __getitem__."""

    def __init__(self, items):
        self._items = list(items)

    def __len__(self):
        return len(self._items)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return RangeLike(self._items[index])
        return self._items[index]


class OldStyleSequence:
    """Only __getitem__ (iteration stops at IndexError) and a __len__ that lies."""

    def __init__(self, items, length):
        self._items = list(items)
        self._length = length

    def __len__(self):
        if isinstance(self._length, BaseException):
            raise self._length
        return self._length

    def __getitem__(self, index):
        return self._items[index]


def test_tuple_is_accepted(client):
    s = client.create_checkout_session((mouse(1), acp.RequestItem(KEYBOARD, 2)))
    assert lines_of(s) == [(MOUSE, 1), (KEYBOARD, 2)]


def test_keyword_argument_is_accepted(client):
    s = client.create_checkout_session(items=[mouse(3)])
    assert lines_of(s) == [(MOUSE, 3)]


def test_custom_sequence_is_accepted(client):
    s = client.create_checkout_session(RangeLike([mouse(1), acp.RequestItem(LAPTOP, 1)]))
    assert lines_of(s) == [(MOUSE, 1), (LAPTOP, 1)]


def test_list_subclass_is_accepted(client):
    class MyList(list):
        pass

    s = client.create_checkout_session(MyList([mouse(4)]))
    assert lines_of(s) == [(MOUSE, 4)]


def test_iteration_order_decides_content(client):
    class Reversed(list):
        def __iter__(self):
            return iter(list(reversed(self)))

    s = client.create_checkout_session(Reversed([mouse(1), acp.RequestItem(KEYBOARD, 1)]))
    assert lines_of(s) == [(KEYBOARD, 1), (MOUSE, 1)]


def test_length_zero_but_no_items_is_empty(client):
    with pytest.raises(ValueError, match="^At least one item is required$"):
        client.create_checkout_session(OldStyleSequence([], 10**15))


# ---------------------------------------------------------------- creation: refusals in order


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "value",
    [
        pytest.param("", id="empty"),
        pytest.param("prod_mouse_002", id="product-id"),
        pytest.param("x", id="one-char"),
        pytest.param(MyStr("abc"), id="str-subclass"),
        pytest.param(MyStr(""), id="empty-str-subclass"),
    ],
)
def test_str_is_never_a_sequence(client, value):
    with pytest.raises(TypeError) as excinfo:
        client.create_checkout_session(value)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == STR_TO_VEC
    assert_usable(client)


def _gen():
    yield mouse()


@pytest.mark.parametrize(
    "value, type_name",
    [
        pytest.param(lambda: {"a": mouse()}, "dict", id="dict"),
        pytest.param(lambda: {}, "dict", id="empty-dict"),
        pytest.param(lambda: set(), "set", id="set"),
        pytest.param(lambda: frozenset(), "frozenset", id="frozenset"),
        pytest.param(lambda: _gen(), "generator", id="generator"),
        pytest.param(lambda: iter([mouse()]), "list_iterator", id="list-iterator"),
        pytest.param(lambda: iter((mouse(),)), "tuple_iterator", id="tuple-iterator"),
        pytest.param(lambda: {}.keys(), "dict_keys", id="dict-keys"),
        pytest.param(lambda: None, "NoneType", id="none"),
        pytest.param(lambda: 5, "int", id="int"),
        pytest.param(lambda: mouse(), "RequestItem", id="bare-request-item"),
    ],
)
def test_non_sequences_are_refused(client, value, type_name):
    with pytest.raises(TypeError) as excinfo:
        client.create_checkout_session(value())
    assert str(excinfo.value) == "argument 'items': " + cannot_convert(type_name, "Sequence")
    assert_usable(client)


def test_generator_is_not_consumed(client):
    consumed = []

    def gen():
        consumed.append(True)
        yield mouse()

    g = gen()
    with pytest.raises(TypeError, match="'generator' object cannot be converted to 'Sequence'"):
        client.create_checkout_session(g)
    assert consumed == []


@pytest.mark.parametrize(
    "items, type_name",
    [
        pytest.param(lambda: [mouse(), 5], "int", id="int-after-item"),
        pytest.param(lambda: [5, mouse()], "int", id="int-first"),
        pytest.param(lambda: [None], "NoneType", id="none"),
        pytest.param(lambda: [acp.Money(1, "USD")], "Money", id="money"),
        pytest.param(lambda: [("prod_mouse_002", 1)], "tuple", id="tuple-pair"),
        pytest.param(lambda: ["prod_mouse_002"], "str", id="str-element"),
        pytest.param(lambda: (mouse(), acp.Address()), "Address", id="address-in-tuple"),
        pytest.param(lambda: range(3), "int", id="range"),
        pytest.param(lambda: b"ab", "int", id="bytes"),
    ],
)
def test_elements_must_be_request_items(client, items, type_name):
    with pytest.raises(TypeError) as excinfo:
        client.create_checkout_session(items())
    assert str(excinfo.value) == (
        "argument 'items': " + cannot_convert(type_name, "RequestItem")
    )
    assert_usable(client)


def test_element_error_comes_before_pricing(client):
    # the unknown product would only be found after the whole list is converted
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'RequestItem'"):
        client.create_checkout_session([acp.RequestItem("nope", 1), 7])


@pytest.mark.parametrize(
    "empty",
    [lambda: [], lambda: (), lambda: range(0), lambda: b"", lambda: RangeLike([])],
    ids=["list", "tuple", "range", "bytes", "custom"],
)
def test_empty_sequence_is_refused(client, empty):
    with pytest.raises(ValueError) as excinfo:
        client.create_checkout_session(empty())
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == ("At least one item is required",)
    assert_usable(client)


def test_unknown_product_after_valid_one(client):
    with pytest.raises(ValueError) as excinfo:
        client.create_checkout_session([mouse(), acp.RequestItem("prod_ghost_404", 1)])
    assert excinfo.value.args == ("Product not found: prod_ghost_404",)
    assert_usable(client)


def exploding(items, fail_at, exc):
    """Yields the given items, then raises the given exception at one index."""
    return Seq(items, length=len(items) + 1, on_get=lambda seq, index: throw(exc) if index == fail_at else None)


@pytest.mark.parametrize(
    "exc",
    [
        pytest.param(KeyError("missing"), id="KeyError"),
        pytest.param(ValueError("bad value"), id="ValueError"),
        pytest.param(RuntimeError("runtime"), id="RuntimeError"),
        pytest.param(ZeroDivisionError("zero"), id="ZeroDivisionError"),
        pytest.param(OverflowError("overflow"), id="OverflowError"),
        pytest.param(LookupError("lookup"), id="LookupError"),
    ],
)
def test_iteration_error_passes_through(client, exc):
    seq = exploding([mouse(), acp.RequestItem(KEYBOARD, 1)], 1, exc)
    with pytest.raises(type(exc)) as excinfo:
        client.create_checkout_session(seq)
    assert excinfo.value is exc
    assert type(excinfo.value) is type(exc)
    assert excinfo.value.args == exc.args
    assert seq.seen == [0, 1]
    assert_usable(client)


def test_iteration_error_from_iter_method(client):
    class BadIter(list):
        def __iter__(self):
            raise KeyError("no iterator")

    with pytest.raises(KeyError) as excinfo:
        client.create_checkout_session(BadIter([mouse()]))
    assert excinfo.value.args == ("no iterator",)
    assert_usable(client)


def test_iteration_type_error_gains_prefix(client):
    cause = ValueError("root")
    err = TypeError("broken element")
    err.__cause__ = cause
    seq = exploding([mouse()], 1, err)
    with pytest.raises(TypeError) as excinfo:
        client.create_checkout_session(seq)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == "argument 'items': broken element"
    assert excinfo.value.__cause__ is cause
    assert_usable(client)


def test_iteration_type_error_subclass_is_unchanged(client):
    class MyTypeError(TypeError):
        pass

    err = MyTypeError("sub")
    seq = exploding([mouse()], 0, err)
    with pytest.raises(MyTypeError) as excinfo:
        client.create_checkout_session(seq)
    assert excinfo.value is err
    assert str(excinfo.value) == "sub"


def test_iteration_error_before_any_element(client):
    seq = exploding([], 0, ValueError("first"))
    with pytest.raises(ValueError) as excinfo:
        client.create_checkout_session(seq)
    # the iteration's own error, not the empty-list refusal
    assert excinfo.value.args == ("first",)


def test_iteration_error_after_unknown_product(client):
    # conversion finishes (and fails) before pricing starts
    seq = exploding([acp.RequestItem("nope", 1)], 1, KeyError("k"))
    with pytest.raises(KeyError):
        client.create_checkout_session(seq)


def test_generator_iterator_error_passes_through(client):
    class GenSeq(list):
        def __iter__(self):
            yield mouse()
            raise LookupError("mid-way")

    with pytest.raises(LookupError) as excinfo:
        client.create_checkout_session(GenSeq())
    assert excinfo.value.args == ("mid-way",)
    assert_usable(client)


def test_failed_creations_leave_earlier_sessions_alone(client):
    kept = client.create_checkout_session([mouse(2)])
    failures = [
        ("", TypeError),
        ({}, TypeError),
        ([mouse(), 1], TypeError),
        ([], ValueError),
        ([mouse(), acp.RequestItem("x", 1)], ValueError),
        (exploding([mouse()], 1, KeyError("k")), KeyError),
    ]
    for items, exc_type in failures:
        with pytest.raises(exc_type):
            client.create_checkout_session(items)
        assert state_of(client.get_checkout_session(kept.id)) == state_of(kept)
    assert_usable(client)
