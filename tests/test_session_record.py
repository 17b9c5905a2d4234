"""CheckoutSession snapshots, and the Totals and LineItem objects they hand out."""

import pytest

import corvane_acp_native as acp

MOUSE = "prod_mouse_002"
KEYBOARD = "prod_keyboard_003"
LAPTOP = "prod_laptop_001"

SESSION_ATTRS = ("id", "status", "items", "totals", "customer", "created_at", "updated_at")
TOTAL_FIELDS = ("subtotal", "tax", "shipping", "discount", "grand_total")
LINE_ATTRS = ("id", "title", "quantity", "unit_price", "variant_id", "sku", "image_url")
OPTIONAL_LINE_TEXTS = ("variant_id", "sku", "image_url")

I32_MIN = -(2**31)
I32_MAX = 2**31 - 1
RANGE_MESSAGE = "out of range integral type conversion attempted"


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.fixture
def client():
    return acp.AcpClient()


@pytest.fixture
def session(client):
    return client.create_checkout_session(
        [acp.RequestItem(MOUSE, 2), acp.RequestItem(KEYBOARD, 1)]
    )


@pytest.fixture
def totals(session):
    return session.totals


@pytest.fixture
def line(session):
    return session.items[0]


def amounts(totals):
    return tuple(getattr(totals, f).amount for f in TOTAL_FIELDS)


def line_state(line):
    price = line.unit_price
    return (
        line.id,
        line.title,
        line.quantity,
        price.amount,
        price.currency,
        line.variant_id,
        line.sku,
        line.image_url,
    )


def session_state(s):
    return (
        s.id,
        s.status,
        [line_state(x) for x in s.items],
        amounts(s.totals),
        s.customer,
        s.created_at,
        s.updated_at,
    )


EXPECTED_TOTALS = (49700, 4348, 0, 0, 54048)


def update(client, session_id, **kwargs):
    try:
        method = client.update_checkout_session
    except AttributeError:
        pytest.skip("update_checkout_session is not available in this build yet")
    return method(session_id, **kwargs)


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


@pytest.mark.parametrize("args", [(), ("x",), (1, 2, 3)])
def test_session_has_no_constructor(args):
    with pytest.raises(TypeError) as excinfo:
        acp.CheckoutSession(*args)
    assert str(excinfo.value) == "No constructor defined"


def test_session_has_no_constructor_with_keywords():
    with pytest.raises(TypeError, match="^No constructor defined$"):
        acp.CheckoutSession(id="x", status="completed")


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
        assert line_state(a) == line_state(b)


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
    before = session_state(session)
    items = session.items
    items[0].quantity = 99
    items[0].id = "changed"
    items[0].title = "Changed"
    items[0].unit_price = acp.Money(1, "EUR")
    items[0].sku = None
    items[1].variant_id = ""
    assert session_state(session) == before
    stored = client.get_checkout_session(session.id)
    assert [line_state(x) for x in stored.items] == before[2]
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
    before = session_state(session)
    update(client, session.id, items=[acp.RequestItem(LAPTOP, 1)])
    assert session_state(session) == before
    assert session.status == "not_ready_for_payment"
    assert client.get_checkout_session(session.id).status == "ready_for_payment"


def test_two_snapshots_are_unequal(client, session):
    again = client.get_checkout_session(session.id)
    assert again is not session
    assert again != session
    assert session_state(again) == session_state(session)
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
    emptied = update(client, session.id, items=[])
    assert emptied.items == []
    assert repr(emptied) == (
        "CheckoutSession(id='%s', status='ready_for_payment', items=0)" % session.id
    )


def test_session_type_object_is_module_class(client, session):
    assert type(client.get_checkout_session(session.id)) is acp.CheckoutSession


# ---------------------------------------------------------------- Totals from a session


@pytest.mark.parametrize(
    "args", [lambda: (), lambda: (1,), lambda: (acp.Money(0, "USD"),) * 5]
)
def test_totals_has_no_constructor(args):
    with pytest.raises(TypeError) as excinfo:
        acp.Totals(*args())
    assert str(excinfo.value) == "No constructor defined"


@pytest.mark.parametrize("field", TOTAL_FIELDS)
def test_totals_reads_give_distinct_money(totals, field):
    first = getattr(totals, field)
    second = getattr(totals, field)
    assert type(first) is acp.Money
    assert first is not second
    assert (first.amount, first.currency) == (second.amount, second.currency)


@pytest.mark.parametrize("field", TOTAL_FIELDS)
def test_totals_read_is_a_copy(totals, field):
    before = amounts(totals)
    got = getattr(totals, field)
    got.amount = 424242
    got.currency = "EUR"
    assert amounts(totals) == before
    assert getattr(totals, field).currency == "USD"


@pytest.mark.parametrize("field", TOTAL_FIELDS)
def test_totals_setter_copies_money(totals, field):
    money = acp.Money(1, "EUR")
    setattr(totals, field, money)
    money.amount = 2
    money.currency = "GBP"
    got = getattr(totals, field)
    assert (got.amount, got.currency) == (1, "EUR")
    assert got is not money


def test_totals_tax_keeps_assigned_value(totals):
    money = acp.Money(1, "USD")
    totals.tax = money
    money.amount = 2
    assert totals.tax.amount == 1


@pytest.mark.parametrize("field", TOTAL_FIELDS)
def test_totals_fields_are_independent(totals, field):
    before = dict(zip(TOTAL_FIELDS, amounts(totals)))
    setattr(totals, field, acp.Money(-7, "USD"))
    for other in TOTAL_FIELDS:
        expected = -7 if other == field else before[other]
        assert getattr(totals, other).amount == expected


def test_totals_subtotal_assignment_leaves_grand_total(totals):
    grand = totals.grand_total.amount
    totals.subtotal = acp.Money(1, "USD")
    assert totals.subtotal.amount == 1
    assert totals.grand_total.amount == grand


def test_totals_discount_none_refused(totals):
    with pytest.raises(TypeError) as excinfo:
        totals.discount = None
    assert str(excinfo.value) == "'NoneType' object cannot be converted to 'Money'"
    assert (totals.discount.amount, totals.discount.currency) == (0, "USD")


@pytest.mark.parametrize("field", TOTAL_FIELDS)
@pytest.mark.parametrize(
    "value, type_name",
    [
        (lambda: 5, "int"),
        (lambda: "USD", "str"),
        (lambda: None, "NoneType"),
        (lambda: acp.Address(), "Address"),
    ],
)
def test_totals_setter_rejects_non_money(totals, field, value, type_name):
    before = amounts(totals)
    with pytest.raises(TypeError) as excinfo:
        setattr(totals, field, value())
    assert str(excinfo.value) == "'%s' object cannot be converted to 'Money'" % type_name
    assert amounts(totals) == before


def test_totals_setter_rejects_money_of_another_record(totals, session):
    before = amounts(totals)
    with pytest.raises(TypeError) as excinfo:
        totals.tax = session.totals
    assert str(excinfo.value) == "'Totals' object cannot be converted to 'Money'"
    assert amounts(totals) == before


def test_totals_repr_is_default(totals):
    assert repr(totals) == object.__repr__(totals)
    assert str(totals) == object.__repr__(totals)


def test_totals_take_a_money_from_another_totals(session):
    a = session.totals
    b = session.totals
    a.shipping = b.grand_total
    assert a.shipping.amount == EXPECTED_TOTALS[4]
    assert b.shipping.amount == 0


# ---------------------------------------------------------------- LineItem from a session


@pytest.mark.parametrize(
    "args", [lambda: (), lambda: ("p1", "Mug", 2), lambda: (acp.RequestItem(MOUSE, 1),)]
)
def test_lineitem_has_no_constructor(args):
    with pytest.raises(TypeError) as excinfo:
        acp.LineItem(*args())
    assert str(excinfo.value) == "No constructor defined"


@pytest.mark.parametrize("attr", OPTIONAL_LINE_TEXTS)
def test_lineitem_optional_text_none_and_empty(line, attr):
    setattr(line, attr, None)
    assert getattr(line, attr) is None
    setattr(line, attr, "")
    assert getattr(line, attr) == ""
    assert getattr(line, attr) is not None
    setattr(line, attr, "x\x00y")
    assert getattr(line, attr) == "x\x00y"


def test_lineitem_sku_empty_is_not_none(line):
    line.sku = ""
    assert line.sku == ""
    assert type(line.sku) is str


@pytest.mark.parametrize("attr", OPTIONAL_LINE_TEXTS)
@pytest.mark.parametrize("value, type_name", [(1, "int"), (b"x", "bytes")])
def test_lineitem_optional_text_type_error(line, attr, value, type_name):
    before = line_state(line)
    with pytest.raises(TypeError) as excinfo:
        setattr(line, attr, value)
    assert str(excinfo.value) == "'%s' object cannot be converted to 'PyString'" % type_name
    assert line_state(line) == before


@pytest.mark.parametrize("attr", ("id", "title"))
@pytest.mark.parametrize("value, type_name", [(None, "NoneType"), (3, "int")])
def test_lineitem_required_text_refuses_non_str(line, attr, value, type_name):
    before = line_state(line)
    with pytest.raises(TypeError) as excinfo:
        setattr(line, attr, value)
    assert str(excinfo.value) == "'%s' object cannot be converted to 'PyString'" % type_name
    assert line_state(line) == before


@pytest.mark.parametrize("attr", ("id", "title"))
def test_lineitem_required_text_accepts_empty_and_str_subclass(line, attr):
    class S(str):
        pass

    setattr(line, attr, "")
    assert getattr(line, attr) == ""
    setattr(line, attr, S("sub"))
    assert getattr(line, attr) == "sub"
    assert type(getattr(line, attr)) is str


def test_lineitem_text_surrogate_refused(line):
    before = line_state(line)
    with pytest.raises(UnicodeEncodeError):
        line.title = "\ud83d"
    assert line_state(line) == before


def test_lineitem_repr(line):
    assert repr(line) == "LineItem(id='prod_mouse_002', title='Magic Mouse', quantity=2)"
    assert str(line) == repr(line)


def test_lineitem_repr_laptop_title_unescaped(client):
    (laptop,) = client.create_checkout_session([acp.RequestItem(LAPTOP, 1)]).items
    assert repr(laptop) == (
        "LineItem(id='prod_laptop_001', title='MacBook Pro 14\"', quantity=1)"
    )


def test_lineitem_repr_unescaped_quote_and_signed_quantity(line):
    line.id = "it's"
    line.title = "back\\slash\n'x'"
    line.quantity = -7
    assert repr(line) == "LineItem(id='it's', title='back\\slash\n'x'', quantity=-7)"


@pytest.mark.parametrize("quantity", [0, -1, I32_MIN, I32_MAX])
def test_lineitem_repr_quantity(line, quantity):
    line.quantity = quantity
    assert repr(line).endswith(", quantity=%d)" % quantity)


def test_lineitem_repr_ignores_price_and_optionals(line):
    before = repr(line)
    line.unit_price = acp.Money(1, "EUR")
    line.sku = None
    line.variant_id = ""
    line.image_url = "https://elsewhere.example/x.png"
    assert repr(line) == before


def test_lineitem_unit_price_reads_distinct(line):
    first = line.unit_price
    second = line.unit_price
    assert first is not second
    first.amount = 1
    assert line.unit_price.amount == 9900
    assert second.amount == 9900


def test_lineitem_unit_price_setter_copies(line):
    money = acp.Money(250, "EUR")
    line.unit_price = money
    money.amount = 1
    money.currency = "GBP"
    price = line.unit_price
    assert (price.amount, price.currency) == (250, "EUR")


@pytest.mark.parametrize(
    "value, type_name",
    [(lambda: None, "NoneType"), (lambda: 9900, "int"), (lambda: acp.Address(), "Address")],
)
def test_lineitem_unit_price_rejects_non_money(line, value, type_name):
    before = line_state(line)
    with pytest.raises(TypeError) as excinfo:
        line.unit_price = value()
    assert str(excinfo.value) == "'%s' object cannot be converted to 'Money'" % type_name
    assert line_state(line) == before


@pytest.mark.parametrize(
    "value, expected",
    [
        (I32_MAX, I32_MAX),
        (I32_MIN, I32_MIN),
        (0, 0),
        (-3, -3),
        (True, 1),
        (False, 0),
        (Idx(41), 41),
    ],
)
def test_lineitem_quantity_in_range(line, value, expected):
    line.quantity = value
    assert line.quantity == expected
    assert type(line.quantity) is int


@pytest.mark.parametrize(
    "value", [I32_MAX + 1, I32_MIN - 1, 2**62, -(2**63), 2**63 - 1, Idx(2**31)]
)
def test_lineitem_quantity_out_of_32_bits(line, value):
    with pytest.raises(OverflowError) as excinfo:
        line.quantity = value
    assert str(excinfo.value) == RANGE_MESSAGE
    assert line.quantity == 2


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 10**30])
def test_lineitem_quantity_beyond_64_bits(line, value):
    with pytest.raises(OverflowError):
        line.quantity = value
    assert line.quantity == 2


@pytest.mark.parametrize("value", [1.0, 1.5, "3", None, b"1"])
def test_lineitem_quantity_not_an_integer(line, value):
    with pytest.raises(TypeError) as excinfo:
        line.quantity = value
    assert not str(excinfo.value).startswith("argument ")
    assert line.quantity == 2


def test_lineitem_has_no_value_equality(session):
    a = session.items[0]
    b = session.items[0]
    assert a != b
    assert hash(a) == object.__hash__(a)
