"""Address and Customer: construction, conversion errors, copies and attribute rules."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane_acp_native as acp

FIELDS = (
    "name",
    "line1",
    "line2",
    "city",
    "region",
    "postal_code",
    "country",
    "phone",
    "email",
)
CUSTOMER_FIELDS = ("billing_address", "shipping_address")

SAMPLE = (
    "Ada Lovelace",
    "1 Analytical Way",
    "Flat 2",
    "London",
    "Greater London",
    "NW1 6XE",
    "GB",
    "+44 20 7946 0000",
    "ada@example.com",
)

# any text a str may hold except lone surrogates (which cannot be encoded)
TEXT = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=40)


class MyStr(str):
    pass


def fields_of(address):
    return tuple(getattr(address, f) for f in FIELDS)


def not_string(type_name):
    return "'%s' object cannot be converted to 'PyString'" % type_name


def not_address(type_name):
    return "'%s' object cannot be converted to 'Address'" % type_name


# ---------------------------------------------------------------- Address construction


def test_address_without_arguments_is_all_absent():
    address = acp.Address()
    assert fields_of(address) == (None,) * 9


def test_address_positional_fields_in_order():
    address = acp.Address(*SAMPLE)
    assert fields_of(address) == SAMPLE
    for field, value in zip(FIELDS, SAMPLE):
        got = getattr(address, field)
        assert type(got) is str
        assert got == value


@pytest.mark.parametrize("count", range(1, 10))
def test_address_partial_positional(count):
    address = acp.Address(*SAMPLE[:count])
    assert fields_of(address) == SAMPLE[:count] + (None,) * (9 - count)


@pytest.mark.parametrize("field", FIELDS)
def test_address_single_keyword(field):
    address = acp.Address(**{field: "value of " + field})
    for other in FIELDS:
        expected = "value of " + field if other == field else None
        assert getattr(address, other) == expected


def test_address_keywords_in_any_order():
    kwargs = dict(zip(FIELDS, SAMPLE))
    address = acp.Address(**dict(reversed(list(kwargs.items()))))
    assert fields_of(address) == SAMPLE


def test_address_mixed_positional_and_keyword():
    address = acp.Address("N", "L1", email="e@x", city="C")
    assert fields_of(address) == ("N", "L1", None, "C", None, None, None, None, "e@x")


def test_address_explicit_none_is_absent():
    address = acp.Address(*([None] * 9))
    assert fields_of(address) == (None,) * 9


def test_address_empty_text_is_not_absent():
    address = acp.Address(*([""] * 9))
    assert fields_of(address) == ("",) * 9


def test_address_accepts_str_subclass_and_returns_plain_str():
    address = acp.Address(city=MyStr("Paris"))
    assert address.city == "Paris"
    assert type(address.city) is str
    address.region = MyStr("IDF")
    assert address.region == "IDF"
    assert type(address.region) is str


@pytest.mark.parametrize(
    "text", ["a\x00b", "\x00", "Zürich ☃ 東京", "it's \"quoted\"", "a\nb", "x" * 10000]
)
def test_address_text_kept_whole(text):
    address = acp.Address(city=text)
    assert address.city == text
    address.phone = text
    assert address.phone == text


@pytest.mark.parametrize("field", FIELDS)
@pytest.mark.parametrize(
    "value, type_name",
    [(5, "int"), (b"bytes", "bytes"), (1.5, "float"), (["x"], "list"), (True, "bool")],
)
def test_address_constructor_type_error_names_parameter(field, value, type_name):
    with pytest.raises(TypeError) as excinfo:
        acp.Address(**{field: value})
    assert str(excinfo.value) == "argument '%s': %s" % (field, not_string(type_name))


def test_address_city_5_positional():
    with pytest.raises(TypeError) as excinfo:
        acp.Address(None, None, None, 5)
    assert str(excinfo.value) == "argument 'city': " + not_string("int")


def test_address_only_first_failure_reported():
    with pytest.raises(TypeError) as excinfo:
        acp.Address(name=1, city=5)
    assert str(excinfo.value) == "argument 'name': " + not_string("int")
    with pytest.raises(TypeError) as excinfo:
        acp.Address(city=5, name=1)
    assert str(excinfo.value) == "argument 'name': " + not_string("int")
    with pytest.raises(TypeError) as excinfo:
        acp.Address("ok", None, None, 5.0, None, None, None, None, 7)
    assert str(excinfo.value) == "argument 'city': " + not_string("float")


def test_address_lone_surrogate_raises_unicode_error_unprefixed():
    with pytest.raises(UnicodeEncodeError):
        acp.Address(city="bad\ud800")


def test_address_type_error_before_later_surrogate():
    with pytest.raises(TypeError, match="^argument 'name': "):
        acp.Address(name=1, city="bad\ud800")


def test_address_surrogate_before_later_type_error():
    with pytest.raises(UnicodeEncodeError):
        acp.Address(name="bad\udfff", city=5)


def test_address_text_signature():
    assert acp.Address.__text_signature__ == (
        "(name=None, line1=None, line2=None, city=None, region=None, "
        "postal_code=None, country=None, phone=None, email=None)"
    )


# ---------------------------------------------------------------- Address attributes


@pytest.mark.parametrize("field", FIELDS)
def test_address_set_empty_then_none(field):
    address = acp.Address(*SAMPLE)
    setattr(address, field, "")
    assert getattr(address, field) == ""
    assert getattr(address, field) is not None
    setattr(address, field, None)
    assert getattr(address, field) is None
    setattr(address, field, "again")
    assert getattr(address, field) == "again"
    # the other fields are untouched
    for other, value in zip(FIELDS, SAMPLE):
        if other != field:
            assert getattr(address, other) == value


@pytest.mark.parametrize("field", FIELDS)
@pytest.mark.parametrize(
    "value, type_name", [(5, "int"), (b"x", "bytes"), (acp.Address, "type")]
)
def test_address_setter_type_error_leaves_field(field, value, type_name):
    address = acp.Address(*SAMPLE)
    with pytest.raises(TypeError) as excinfo:
        setattr(address, field, value)
    # attribute writes carry no argument prefix
    assert str(excinfo.value) == not_string(type_name)
    assert fields_of(address) == SAMPLE


def test_address_setter_type_error_on_absent_field_keeps_it_absent():
    address = acp.Address()
    with pytest.raises(TypeError):
        address.city = 3
    assert address.city is None


def test_address_setter_surrogate_leaves_field():
    address = acp.Address(city="Rome")
    with pytest.raises(UnicodeEncodeError):
        address.city = "\udcff"
    assert address.city == "Rome"


def test_address_repr_is_default():
    address = acp.Address(*SAMPLE)
    assert repr(address) == object.__repr__(address)
    assert str(address) == object.__repr__(address)
    assert "Ada" not in repr(address)


def test_address_has_no_value_equality():
    a = acp.Address(*SAMPLE)
    b = acp.Address(*SAMPLE)
    assert a != b
    assert not (a == b)
    assert a == a
    assert hash(a) == object.__hash__(a)


def test_address_cannot_grow_attributes():
    address = acp.Address()
    with pytest.raises(AttributeError):
        address.zip = "12345"


@settings(max_examples=50, deadline=None)
@given(st.lists(st.one_of(st.none(), TEXT), min_size=9, max_size=9))
def test_address_round_trip(values):
    address = acp.Address(*values)
    assert list(fields_of(address)) == values
    other = acp.Address()
    for field, value in zip(FIELDS, values):
        setattr(other, field, value)
    assert list(fields_of(other)) == values


# ---------------------------------------------------------------- Customer construction


def test_customer_without_arguments():
    customer = acp.Customer()
    assert customer.billing_address is None
    assert customer.shipping_address is None


def test_customer_explicit_none():
    customer = acp.Customer(None, None)
    assert customer.billing_address is None
    assert customer.shipping_address is None


def test_customer_positional_order():
    billing = acp.Address(city="Billing City")
    shipping = acp.Address(city="Shipping City")
    customer = acp.Customer(billing, shipping)
    assert customer.billing_address.city == "Billing City"
    assert customer.shipping_address.city == "Shipping City"


def test_customer_keywords():
    shipping = acp.Address(*SAMPLE)
    customer = acp.Customer(shipping_address=shipping)
    assert customer.billing_address is None
    got = customer.shipping_address
    assert type(got) is acp.Address
    assert fields_of(got) == SAMPLE


def test_customer_address_with_all_fields_absent_is_present():
    customer = acp.Customer(acp.Address())
    got = customer.billing_address
    assert got is not None
    assert type(got) is acp.Address
    assert fields_of(got) == (None,) * 9


@pytest.mark.parametrize(
    "value, type_name",
    [
        (lambda: "street", "str"),
        (lambda: 5, "int"),
        (lambda: acp.Money(1, "USD"), "Money"),
        (lambda: acp.Customer(), "Customer"),
        (lambda: {"city": "x"}, "dict"),
    ],
)
@pytest.mark.parametrize("field", CUSTOMER_FIELDS)
def test_customer_constructor_type_error_names_parameter(field, value, type_name):
    with pytest.raises(TypeError) as excinfo:
        acp.Customer(**{field: value()})
    assert str(excinfo.value) == "argument '%s': %s" % (field, not_address(type_name))


def test_customer_str_billing_address():
    with pytest.raises(TypeError) as excinfo:
        acp.Customer("1 Main St")
    assert str(excinfo.value) == "argument 'billing_address': " + not_address("str")


def test_customer_only_first_failure_reported():
    with pytest.raises(TypeError) as excinfo:
        acp.Customer(1, "two")
    assert str(excinfo.value) == "argument 'billing_address': " + not_address("int")
    with pytest.raises(TypeError) as excinfo:
        acp.Customer(acp.Address(), "two")
    assert str(excinfo.value) == "argument 'shipping_address': " + not_address("str")


def test_customer_text_signature():
    assert acp.Customer.__text_signature__ == (
        "(billing_address=None, shipping_address=None)"
    )


# ---------------------------------------------------------------- Customer copies


def test_customer_copies_address_in_at_construction():
    address = acp.Address(city="Old City", name="N")
    customer = acp.Customer(address)
    address.city = "New City"
    address.name = None
    assert customer.billing_address.city == "Old City"
    assert customer.billing_address.name == "N"


def test_customer_same_address_for_both_is_two_copies():
    address = acp.Address(city="Both")
    customer = acp.Customer(address, address)
    billing = customer.billing_address
    billing.city = "Changed"
    assert customer.shipping_address.city == "Both"
    assert customer.billing_address.city == "Both"


def test_customer_copy_out_on_read():
    customer = acp.Customer(acp.Address(city="Kept"))
    read = customer.billing_address
    read.city = "Changed"
    read.email = "new@example.com"
    assert customer.billing_address.city == "Kept"
    assert customer.billing_address.email is None


@pytest.mark.parametrize("field", CUSTOMER_FIELDS)
def test_customer_reads_give_distinct_objects(field):
    customer = acp.Customer(acp.Address(city="A"), acp.Address(city="B"))
    first = getattr(customer, field)
    second = getattr(customer, field)
    assert first is not second
    assert fields_of(first) == fields_of(second)


@pytest.mark.parametrize("field", CUSTOMER_FIELDS)
def test_customer_setter_copies(field):
    customer = acp.Customer()
    address = acp.Address(city="Set")
    setattr(customer, field, address)
    address.city = "Later"
    assert getattr(customer, field).city == "Set"
    other = "shipping_address" if field == "billing_address" else "billing_address"
    assert getattr(customer, other) is None


@pytest.mark.parametrize("field", CUSTOMER_FIELDS)
def test_customer_set_none_makes_absent(field):
    customer = acp.Customer(acp.Address(city="A"), acp.Address(city="B"))
    setattr(customer, field, None)
    assert getattr(customer, field) is None
    other = "shipping_address" if field == "billing_address" else "billing_address"
    assert getattr(customer, other) is not None


@pytest.mark.parametrize("field", CUSTOMER_FIELDS)
@pytest.mark.parametrize(
    "value, type_name",
    [(lambda: "x", "str"), (lambda: 0, "int"), (lambda: acp.Customer(), "Customer")],
)
def test_customer_setter_type_error_leaves_value(field, value, type_name):
    customer = acp.Customer(acp.Address(city="A"), acp.Address(city="B"))
    with pytest.raises(TypeError) as excinfo:
        setattr(customer, field, value())
    assert str(excinfo.value) == not_address(type_name)
    assert customer.billing_address.city == "A"
    assert customer.shipping_address.city == "B"


def test_customer_repr_is_default():
    customer = acp.Customer(acp.Address(city="A"))
    assert repr(customer) == object.__repr__(customer)
    assert str(customer) == object.__repr__(customer)


def test_customer_has_no_value_equality():
    a = acp.Customer()
    b = acp.Customer()
    assert a != b
    assert hash(a) == object.__hash__(a)


def test_customer_round_trip_of_all_fields():
    customer = acp.Customer(acp.Address(*SAMPLE), acp.Address(*reversed(SAMPLE)))
    assert fields_of(customer.billing_address) == SAMPLE
    assert fields_of(customer.shipping_address) == tuple(reversed(SAMPLE))
