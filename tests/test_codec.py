"""corvane_acp_codec: records as dicts and JSON, built back from dicts, pickled and copied."""

import copy
import json
import pickle
import re
from pathlib import Path

import pytest

import corvane_acp_codec as codec
import corvane_acp_native as acp

CONSTRUCTIBLE = ["Money", "Address", "Customer", "RequestItem", "PaymentRequest"]
RECORDS = CONSTRUCTIBLE + ["LineItem", "Totals", "CheckoutSession", "Order", "CheckoutSessionWithOrder"]


@pytest.fixture(scope="module")
def samples():
    """One instance of every record kind, with both present and absent optionals."""
    client = acp.AcpClient()
    address = acp.Address(name="Ada", line1="12 St James's Square", city="London", email="ada@example.com")
    customer = acp.Customer(billing_address=address)
    session = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 2), acp.RequestItem("prod_laptop_001", -1)])
    session = client.update_checkout_session(session.id, customer=customer)
    result = client.complete_checkout_session(session.id, acp.PaymentRequest(method="card"))
    return {
        "Money": acp.Money(-9223372036854775808, "USD"),
        "Address": address,
        "Customer": customer,
        "RequestItem": acp.RequestItem("prod_keyboard_003", 3),
        "PaymentRequest": acp.PaymentRequest(delegated_token=""),
        "LineItem": session.items[0],
        "Totals": session.totals,
        "CheckoutSession": result.session,
        "Order": result.order,
        "CheckoutSessionWithOrder": result,
    }


def attribute_names(cls):
    return [name for name, d in vars(cls).items() if type(d).__name__ == "getset_descriptor" and not name.startswith("__")]


@pytest.mark.parametrize("name", RECORDS)
def test_dict_and_json_hold_every_attribute(name, samples):
    record = samples[name]
    data = codec.to_dict(record)
    assert list(data) == attribute_names(type(record))
    for key, value in data.items():
        native = getattr(record, key)
        if native is None or isinstance(native, (str, int)):
            assert value == native and type(value) is type(native)
        elif isinstance(native, list):
            assert value == [codec.to_dict(item) for item in native]
        else:
            assert value == codec.to_dict(native)
    assert json.loads(codec.to_json(record)) == data
    assert codec.to_dict(record) is not data


def test_dict_shapes(samples):
    assert codec.to_dict(acp.Money(9900, "USD")) == {"amount": 9900, "currency": "USD"}
    assert codec.to_dict(acp.Customer()) == {"billing_address": None, "shipping_address": None}
    session = codec.to_dict(samples["CheckoutSession"])
    assert [line["quantity"] for line in session["items"]] == [2, -1]
    assert session["items"][0]["unit_price"] == {"amount": 9900, "currency": "USD"}
    assert session["customer"]["billing_address"]["city"] == "London"
    assert session["customer"]["shipping_address"] is None
    assert session["status"] == "completed"


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
@pytest.mark.parametrize(
    "rebuild",
    [
        pytest.param(lambda r: codec.from_dict(type(r), codec.to_dict(r)), id="dict"),
        pytest.param(lambda r: codec.from_dict(type(r), json.loads(codec.to_json(r))), id="json"),
        pytest.param(lambda r: pickle.loads(pickle.dumps(r)), id="pickle"),
        pytest.param(lambda r: pickle.loads(pickle.dumps(r, protocol=0)), id="pickle-0"),
        pytest.param(copy.copy, id="copy"),
        pytest.param(copy.deepcopy, id="deepcopy"),
    ],
)
def test_round_trips_give_new_equal_records(name, rebuild, samples):
    record = samples[name]
    again = rebuild(record)
    assert type(again) is type(record)
    assert again is not record and again != record  # equality stays identity
    assert codec.to_dict(again) == codec.to_dict(record)


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, lambda r: pickle.loads(pickle.dumps(r))])
def test_copies_are_independent(duplicate):
    money = acp.Money(1, "USD")
    customer = acp.Customer(shipping_address=acp.Address(city="Paris"))
    money_copy, customer_copy = duplicate(money), duplicate(customer)
    money_copy.amount = 2
    customer_copy.shipping_address = None
    assert money.amount == 1
    assert customer.shipping_address.city == "Paris"


def test_non_constructible_records_do_not_pickle(samples):
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(samples["CheckoutSession"])


@pytest.mark.parametrize(
    "cls, data",
    [
        (acp.Money, {"amount": "9900", "currency": "USD"}),
        (acp.Money, {"amount": 1.5, "currency": 2}),
        (acp.Money, {"amount": 2**63, "currency": "USD"}),
        (acp.Money, {"amount": 1}),
        (acp.Money, {"amount": 1, "currency": "USD", "cents": 1}),
        (acp.RequestItem, {"id": "prod_mouse_002", "quantity": 2**31}),
        (acp.RequestItem, {"id": None, "quantity": 1}),
        (acp.Address, {"city": 5}),
        (acp.Customer, {"billing_address": "Ada"}),
        (acp.PaymentRequest, {"method": b"card"}),
    ],
)
def test_from_dict_raises_what_the_constructor_raises(cls, data):
    with pytest.raises((TypeError, OverflowError)) as direct:
        cls(**data)
    with pytest.raises(type(direct.value), match="^" + re.escape(str(direct.value)) + "$"):
        codec.from_dict(cls, data)


def test_from_dict_builds_nested_addresses_and_refuses_what_it_cannot_build():
    customer = codec.from_dict(acp.Customer, {"billing_address": {"city": "Oslo"}, "shipping_address": None})
    assert customer.billing_address.city == "Oslo" and customer.shipping_address is None
    with pytest.raises(TypeError, match="^argument 'city': 'int' object cannot be converted to 'PyString'$"):
        codec.from_dict(acp.Customer, {"billing_address": {"city": 5}})
    with pytest.raises(TypeError, match="^from_dict\\(\\) builds .* not Totals$"):
        codec.from_dict(acp.Totals, {})
    with pytest.raises(TypeError, match="^from_dict\\(\\) expects a mapping .* not list$"):
        codec.from_dict(acp.Money, [9900, "USD"])
    with pytest.raises(TypeError, match="^to_dict\\(\\) expects a corvane_acp_native record, not dict$"):
        codec.to_dict({"amount": 1})


def test_records_from_another_process(run_py):
    """What a worker process hands back: pickled records and a session's dict."""
    child = run_py(
        """
        import pickle, sys
        import corvane_acp_native as acp, corvane_acp_codec as codec
        client = acp.AcpClient()
        session = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)])
        session = client.update_checkout_session(session.id, customer=acp.Customer(acp.Address(name="Ada")))
        sys.stdout.write(pickle.dumps([session.customer, session.items[0].unit_price, codec.to_dict(session)]).hex())
        """
    )
    assert child.returncode == 0, child.stderr
    customer, price, session = pickle.loads(bytes.fromhex(child.stdout))
    assert customer.billing_address.name == "Ada"
    assert codec.to_dict(price) == {"amount": 9900, "currency": "USD"}
    assert session["customer"] == codec.to_dict(customer)


def test_importing_the_codec_adds_nothing_to_the_native_module(run_py):
    child = run_py(
        """
        import corvane_acp_native as acp
        def names():
            return {n: sorted(vars(getattr(acp, n))) if isinstance(getattr(acp, n), type) else None for n in dir(acp)}
        before = names()
        import corvane_acp_codec
        assert names() == before
        """
    )
    assert child.returncode == 0, child.stderr


def test_codec_is_installed_as_a_typed_package():
    assert (Path(codec.__file__).parent / "py.typed").is_file()
