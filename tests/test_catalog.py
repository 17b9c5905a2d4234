"""Catalog lookup, line pricing and the totals rule, seen through session creation."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane_acp_native as acp
from support import CATALOG, I32_MAX, I32_MIN, KEYBOARD, LAPTOP, MOUSE, amounts, currencies, expected_totals, request


def create(lines):
    return acp.AcpClient().create_checkout_session(request(*lines))


# ---------------------------------------------------------------- catalog lines


@pytest.mark.parametrize("pid", [LAPTOP, MOUSE, KEYBOARD])
@pytest.mark.parametrize("quantity", [1, 3])
def test_catalog_line_fields(pid, quantity):
    session = create([(pid, quantity)])
    (line,) = session.items
    title, amount, variant_id, sku, image_url = CATALOG[pid]
    assert type(line) is acp.LineItem
    assert line.id == pid
    assert line.title == title
    assert line.quantity == quantity
    assert line.unit_price.amount == amount
    assert line.unit_price.currency == "USD"
    assert line.variant_id == variant_id
    assert line.sku == sku
    assert line.image_url == image_url


def test_laptop_title_has_inch_mark():
    (line,) = create([(LAPTOP, 1)]).items
    assert line.title == "MacBook Pro 14\""
    assert len(line.title) == 15
    assert line.title.endswith('"')


def test_keyboard_quantity_three_line():
    (line,) = create([(KEYBOARD, 3)]).items
    assert (line.id, line.title, line.quantity) == (KEYBOARD, "Magic Keyboard", 3)
    assert (line.unit_price.amount, line.unit_price.currency) == (29900, "USD")
    assert (line.variant_id, line.sku) == ("var_003", "MK-SILVER")
    assert line.image_url.startswith("https://")
    assert line.image_url.endswith("/keyboard.jpg")


def test_image_urls_share_one_https_host():
    session = create([(LAPTOP, 1), (MOUSE, 1), (KEYBOARD, 1)])
    hosts = set()
    for line in session.items:
        assert line.image_url.startswith("https://")
        hosts.add(line.image_url[len("https://"):].split("/", 1)[0])
    assert len(hosts) == 1


def test_lines_follow_request_order_and_are_not_merged():
    request = [(KEYBOARD, 1), (MOUSE, 2), (LAPTOP, 1), (MOUSE, 5)]
    session = create(request)
    assert [(line.id, line.quantity) for line in session.items] == request
    assert amounts(session.totals) == expected_totals(request)


def test_same_product_twice_gives_two_lines():
    session = create([(MOUSE, 1), (MOUSE, 1)])
    items = session.items
    assert len(items) == 2
    assert [line.id for line in items] == [MOUSE, MOUSE]
    assert session.totals.subtotal.amount == 19800


@pytest.mark.parametrize("quantity", [0, -1, -3, I32_MAX, I32_MIN])
def test_quantity_is_used_unchanged(quantity):
    session = create([(MOUSE, quantity)])
    (line,) = session.items
    assert line.quantity == quantity
    assert line.unit_price.amount == 9900
    assert amounts(session.totals) == expected_totals([(MOUSE, quantity)])


# ---------------------------------------------------------------- totals rule


WORKED_VALUES = [
    pytest.param([(MOUSE, 1)], (9900, 866, 999, 0, 11765), id="mouse"),
    pytest.param([(KEYBOARD, 1)], (29900, 2616, 0, 0, 32516), id="keyboard"),
    pytest.param([(LAPTOP, 1)], (199900, 17491, 0, 0, 217391), id="laptop"),
    pytest.param(
        [(MOUSE, 1), (KEYBOARD, 1)], (39800, 3482, 0, 0, 43282), id="mouse+keyboard"
    ),
    pytest.param([(MOUSE, 2)], (19800, 1732, 0, 0, 21532), id="mouse*2"),
    pytest.param([(MOUSE, -1)], (-9900, -866, 999, 0, -9767), id="mouse*-1"),
    pytest.param([(MOUSE, 0)], (0, 0, 999, 0, 999), id="mouse*0"),
]


@pytest.mark.parametrize("lines, expected", WORKED_VALUES)
def test_worked_totals(lines, expected):
    totals = create(lines).totals
    assert type(totals) is acp.Totals
    assert amounts(totals) == expected
    assert currencies(totals) == ("USD",) * 5
    # the model used elsewhere in this file agrees with the table
    assert expected_totals(lines) == expected


def test_totals_of_no_lines():
    client = acp.AcpClient()
    session = client.create_checkout_session([acp.RequestItem(MOUSE, 1)])
    updated = client.update_checkout_session(session.id, items=[])
    assert updated.items == []
    assert amounts(updated.totals) == (0, 0, 999, 0, 999)
    assert currencies(updated.totals) == ("USD",) * 5
    again = client.get_checkout_session(session.id)
    assert amounts(again.totals) == (0, 0, 999, 0, 999)


@pytest.mark.parametrize(
    "lines, shipping",
    [
        pytest.param([(MOUSE, 1)], 999, id="9900-pays"),
        pytest.param([(MOUSE, 2)], 0, id="19800-free"),
        pytest.param([(KEYBOARD, 1)], 0, id="29900-free"),
        pytest.param([(MOUSE, 0)], 999, id="zero-pays"),
        pytest.param([(MOUSE, -1)], 999, id="negative-pays"),
        pytest.param([(LAPTOP, -1)], 999, id="large-negative-pays"),
        pytest.param([(KEYBOARD, 1), (MOUSE, -2)], 0, id="sum-10100-free"),
        pytest.param([(MOUSE, 3), (MOUSE, -2)], 999, id="sum-9900-pays"),
        pytest.param([(KEYBOARD, 1), (MOUSE, -1)], 0, id="sum-20000-free"),
        # 9900 * -150 + 29900 * 50 is exactly 10000: still pays
        pytest.param([(MOUSE, -150), (KEYBOARD, 50)], 999, id="exactly-10000-pays"),
        pytest.param([(KEYBOARD, 50), (MOUSE, -150)], 999, id="exactly-10000-reordered"),
    ],
)
def test_shipping_threshold(lines, shipping):
    totals = create(lines).totals
    assert totals.shipping.amount == shipping
    assert amounts(totals) == expected_totals(lines)


def test_subtotal_of_exactly_10000():
    totals = create([(MOUSE, -150), (KEYBOARD, 50)]).totals
    assert amounts(totals) == (10000, 875, 999, 0, 11874)


def test_discount_is_always_zero_and_not_in_grand_total():
    totals = create([(LAPTOP, 3), (MOUSE, 1)]).totals
    assert totals.discount.amount == 0
    assert totals.grand_total.amount == (
        totals.subtotal.amount + totals.tax.amount + totals.shipping.amount
    )


def test_tax_is_truncated_double_product():
    # 15 mice and one keyboard: 178400 * 0.0875 is 15610 in decimal, but the
    # double nearest to 0.0875 is slightly low, so the truncated tax is 15609.
    session = create([(MOUSE, 15), (KEYBOARD, 1)])
    totals = session.totals
    assert totals.subtotal.amount == 178400
    assert totals.tax.amount == 15609
    assert totals.shipping.amount == 0
    assert totals.grand_total.amount == 178400 + 15609


def test_tax_truncation_with_separate_lines():
    lines = [(MOUSE, 1)] * 15 + [(KEYBOARD, 1)]
    totals = create(lines).totals
    assert (totals.subtotal.amount, totals.tax.amount) == (178400, 15609)


@pytest.mark.parametrize(
    "lines",
    [
        [(MOUSE, -15), (KEYBOARD, -1)],
        [(MOUSE, 7)],
        [(LAPTOP, 3)],
        [(KEYBOARD, -7)],
        [(LAPTOP, 12345)],
    ],
)
def test_tax_truncates_toward_zero(lines):
    totals = create(lines).totals
    subtotal = totals.subtotal.amount
    assert totals.tax.amount == int(float(subtotal) * 0.0875)


@settings(
    max_examples=60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
@given(
    st.lists(
        st.tuples(
            st.sampled_from([LAPTOP, MOUSE, KEYBOARD]),
            st.one_of(
                st.integers(-20, 20),
                st.integers(I32_MIN, I32_MAX),
                st.sampled_from([I32_MIN, I32_MAX, 0]),
            ),
        ),
        min_size=1,
        max_size=6,
    )
)
def test_totals_match_model(lines):
    session = create(lines)
    assert [(line.id, line.quantity) for line in session.items] == lines
    assert amounts(session.totals) == expected_totals(lines)
    assert currencies(session.totals) == ("USD",) * 5


# ---------------------------------------------------------------- wrapping arithmetic

# One laptop line at the largest quantity costs 199900 * (2**31 - 1)
# = 429287984035300 cents; about 21486 of them exceed 2**63.
LAPTOP_MAX_LINE = 199900 * I32_MAX


@pytest.mark.parametrize(
    "count, quantity",
    [
        pytest.param(20000, I32_MAX, id="grand-total-wraps-only"),
        pytest.param(21486, I32_MAX, id="subtotal-just-wraps"),
        pytest.param(43000, I32_MAX, id="subtotal-wraps-back-positive"),
        pytest.param(21486, I32_MIN, id="negative-subtotal-wraps"),
    ],
)
def test_sum_wraps_to_signed_64_bits(count, quantity):
    lines = [(LAPTOP, quantity)] * count
    item = acp.RequestItem(LAPTOP, quantity)
    session = acp.AcpClient().create_checkout_session([item] * count)
    expected = expected_totals(lines)
    assert amounts(session.totals) == expected
    assert currencies(session.totals) == ("USD",) * 5
    assert len(session.items) == count
    assert repr(session).endswith(", items=%d)" % count)
    # the values stay signed 64-bit
    for value in expected:
        assert -(2**63) <= value < 2**63


def test_wrapping_cases_are_really_wrapping():
    # sanity check of the chosen counts against unbounded arithmetic
    assert 20000 * LAPTOP_MAX_LINE < 2**63
    assert expected_totals([(LAPTOP, I32_MAX)] * 20000)[4] < 0
    assert 21486 * LAPTOP_MAX_LINE >= 2**63
    assert expected_totals([(LAPTOP, I32_MAX)] * 21486)[0] < 0
    assert expected_totals([(LAPTOP, I32_MIN)] * 21486)[0] > 0


# ---------------------------------------------------------------- lookup


@pytest.mark.parametrize(
    "product_id",
    [
        "prod_laptop_001 ",
        " prod_laptop_001",
        "PROD_LAPTOP_001",
        "Prod_laptop_001",
        "prod_keyboard_00",
        "prod_keyboard_0031",
        "prod_mouse_02",
        "prod_mouse_0022",
        "prod_mouse_002\x00",
        "prod_mouse_\x00002",
        "\x00",
        "",
        "prod_laptop",
        "laptop",
        "prod_laptop_001\n",
        "pród_mouse_002",
        "prod_mouse_003",
    ],
)
def test_unknown_products_are_refused(product_id):
    client = acp.AcpClient()
    with pytest.raises(ValueError) as excinfo:
        client.create_checkout_session([acp.RequestItem(product_id, 1)])
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == ("Product not found: " + product_id,)
    assert str(excinfo.value) == "Product not found: " + product_id


def test_empty_identifier_message_has_nothing_after_prefix():
    with pytest.raises(ValueError, match=r"\AProduct not found: \Z"):
        acp.AcpClient().create_checkout_session([acp.RequestItem("", 1)])


@pytest.mark.parametrize(
    "product_id",
    ["it's \"quoted\"", "two\nlines", "naïve ☃ 商品", "back\\slash"],
)
def test_unknown_product_identifier_is_inserted_verbatim(product_id):
    with pytest.raises(ValueError) as excinfo:
        acp.AcpClient().create_checkout_session([acp.RequestItem(product_id, 1)])
    assert str(excinfo.value) == "Product not found: " + product_id


@pytest.mark.parametrize(
    "ids, reported",
    [
        (["nope_a", "nope_b"], "nope_a"),
        ([MOUSE, "nope_a", "nope_b"], "nope_a"),
        (["nope_a", MOUSE, "nope_b"], "nope_a"),
        ([MOUSE, KEYBOARD, "nope_c"], "nope_c"),
        ([LAPTOP, "prod_laptop_001 ", "PROD_MOUSE_002"], "prod_laptop_001 "),
    ],
)
def test_first_unknown_product_is_reported(ids, reported):
    items = [acp.RequestItem(pid, 1) for pid in ids]
    with pytest.raises(ValueError) as excinfo:
        acp.AcpClient().create_checkout_session(items)
    assert excinfo.value.args == ("Product not found: " + reported,)


def test_unknown_product_with_zero_quantity_is_still_refused():
    with pytest.raises(ValueError, match="^Product not found: nope$"):
        acp.AcpClient().create_checkout_session(
            [acp.RequestItem(MOUSE, 1), acp.RequestItem("nope", 0)]
        )


def test_failed_pricing_leaves_the_store_usable():
    client = acp.AcpClient()
    before = client.create_checkout_session([acp.RequestItem(MOUSE, 1)])
    with pytest.raises(ValueError):
        client.create_checkout_session(
            [acp.RequestItem(MOUSE, 1), acp.RequestItem("prod_none_000", 1)]
        )
    # the earlier session is untouched and the next creation works normally
    again = client.get_checkout_session(before.id)
    assert [(line.id, line.quantity) for line in again.items] == [(MOUSE, 1)]
    assert amounts(again.totals) == (9900, 866, 999, 0, 11765)
    after = client.create_checkout_session([acp.RequestItem(KEYBOARD, 1)])
    assert after.id != before.id
    assert amounts(after.totals) == (29900, 2616, 0, 0, 32516)
    assert amounts(client.get_checkout_session(after.id).totals) == (
        29900,
        2616,
        0,
        0,
        32516,
    )
