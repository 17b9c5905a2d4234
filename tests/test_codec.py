"""corvane_acp_codec: records as dicts and JSON, built back from dicts, pickled
and copied; their JSON Schemas, the tool-call dispatcher and its reason codes,
and timestamps read to the nanosecond."""

import copy
import json
import pickle
import re
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

import corvane_acp_codec as codec
import corvane_acp_native as acp
from support import stored, ts_key

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


# ---------------------------------------------------------------- the layout and pickles that did not come from it


def test_dict_forms_are_the_modules_attributes():
    """The typed dict forms name the module's attributes in its order, and a
    constructible record's optional fields are its constructor's defaults."""
    import typing

    for name in RECORDS:
        cls = getattr(acp, name)
        hints = typing.get_type_hints(getattr(codec, name + "Dict"))
        assert list(hints) == attribute_names(cls)
        if name in CONSTRUCTIBLE:
            optional = [key for key, hint in hints.items() if type(None) in typing.get_args(hint)]
            signature = ", ".join([key for key in hints if key not in optional] + [f"{key}=None" for key in optional])
            assert cls.__text_signature__ == f"({signature})"


def test_a_dict_form_that_differs_from_the_module_is_refused_at_import():
    from typing import TypedDict

    from corvane_acp_codec import _forms

    class Swapped(TypedDict):
        currency: str
        amount: int

    with pytest.raises(ImportError, match=r"describes Money with the fields \('currency', 'amount'\), but corvane_acp_native 1.0.0 has \('amount', 'currency'\)$"):
        _forms._fields(acp.Money, Swapped, {})


class Crafted:
    """Pickles as a call of the codec's restore function with the given arguments."""

    def __init__(self, *args):
        self.args = args

    def __reduce__(self):
        return codec._restore, self.args


@pytest.mark.parametrize(
    "args, kind, message",
    [
        (("Totals", ()), ValueError, "'Totals' is not a class it rebuilds"),
        (("money", (1, "USD")), ValueError, "'money' is not a class it rebuilds"),
        ((b"Money", (1, "USD")), TypeError, "the class name must be a str, got bytes b'Money'"),
        # the arguments would be spread into the constructor, which accepts them
        (("Address", "abcdefghi"), TypeError, "Address takes a tuple of 9 field values, got str 'abcdefghi'"),
        (("Customer", {"b": 1, "s": 2}), TypeError, "Customer takes a tuple of 2 field values, got dict {'b': 1, 's': 2}"),
        (("Money", [1, "USD"]), TypeError, "Money takes a tuple of 2 field values, got list [1, 'USD']"),
        (("Money", (1, "USD", 2)), TypeError, "Money takes a tuple of 2 field values, got tuple (1, 'USD', 2)"),
        (("Money", (True, "USD")), TypeError, "Money.amount must be int, got bool True"),
        (("RequestItem", ("prod_mouse_002", 2.0)), TypeError, "RequestItem.quantity must be int, got float 2.0"),
        (("PaymentRequest", (None, b"card")), TypeError, "PaymentRequest.method must be str or None, got bytes b'card'"),
        (("Customer", (acp.Money(1, "USD"), None)), TypeError, "Customer.billing_address must be Address or None, got Money"),
        (("Money", (2**63, "USD")), ValueError, "Money.amount must fit in a signed 64-bit integer, got int 9223372036854775808"),
        (("RequestItem", ("p", -(2**31) - 1)), ValueError, "RequestItem.quantity must fit in a signed 32-bit integer, got int -2147483649"),
        (("Address", (None, "\ud800") + (None,) * 7), ValueError, "Address.line1 is not UTF-8 text, got str '\\ud800'"),
    ],
)
def test_restore_refuses_what_its_reduce_did_not_make(args, kind, message, monkeypatch):
    data = pickle.dumps(Crafted(*args))
    built = []
    if args[0] in CONSTRUCTIBLE:  # the constructor its restorer would call
        monkeypatch.setitem(codec._RESTORERS[args[0]].__globals__, "build", lambda *a: built.append(a))
    with pytest.raises(kind) as refused:
        pickle.loads(data)
    assert type(refused.value) is kind and built == []
    assert str(refused.value).startswith("cannot restore a pickled corvane_acp_native record: " + message)


# ---------------------------------------------------------------- JSON Schemas


@pytest.fixture(scope="module")
def refusals():
    """refusals(schema, document): the messages of a draft 2020-12 validation, [] when valid."""
    jsonschema = pytest.importorskip("jsonschema")

    def check(schema, document):
        jsonschema.Draft202012Validator.check_schema(schema)
        return [error.message for error in jsonschema.Draft202012Validator(schema).iter_errors(document)]

    return check


def every_dict_form(client):
    """The dict form of a record of every kind; sessions in every status, with
    and without a customer, with no line and with three."""
    three = [acp.RequestItem("prod_mouse_002", 2), acp.RequestItem("prod_laptop_001", -1), acp.RequestItem("prod_keyboard_003", 0)]
    customer = acp.Customer(acp.Address(name="Ada", city="London"), acp.Address())
    fresh = client.create_checkout_session(three)
    empty = client.update_checkout_session(client.create_checkout_session(three[:1]).id, items=[])
    ready = client.update_checkout_session(fresh.id, customer=customer)
    done = client.complete_checkout_session(ready.id, acp.PaymentRequest(delegated_token=""))
    canceled = client.cancel_checkout_session(client.create_checkout_session(three).id)
    records = [fresh, empty, ready, done, done.session, done.order, canceled, fresh.totals, fresh.items[0]]
    records += [acp.Money(2**63 - 1, ""), acp.RequestItem("", -(2**31)), acp.PaymentRequest(), customer, acp.Customer(), acp.Address()]
    assert {r.status for r in (fresh, empty, ready, done.session, canceled)} == {
        "not_ready_for_payment", "ready_for_payment", "completed", "canceled"
    }
    return [(type(r), codec.to_dict(r)) for r in records]


def test_every_dict_form_is_valid_against_its_schema(client, refusals):
    forms = every_dict_form(client)
    assert {cls.__name__ for cls, _ in forms} == set(RECORDS)
    for cls, data in forms:
        schema = codec.json_schema(cls)
        assert schema["$schema"] == "https://json-schema.org/draft/2020-12/schema" and schema["title"] == cls.__name__
        assert refusals(schema, data) == [], (cls.__name__, data)
        assert refusals(schema, json.loads(json.dumps(data))) == []
    assert codec.json_schema(acp.Money) is not codec.json_schema(acp.Money)


HOSTILE = [  # (class, document, what the constructor raises: None when it accepts it)
    (acp.Money, {"amount": 9900, "currency": "USD"}, None),
    (acp.Money, {"amount": -(2**63), "currency": ""}, None),
    (acp.Money, {"amount": "9900", "currency": "USD"}, TypeError),
    (acp.Money, {"amount": None, "currency": "USD"}, TypeError),
    (acp.Money, {"amount": 1.5, "currency": "USD"}, TypeError),
    (acp.Money, {"amount": 2**63, "currency": "USD"}, OverflowError),
    (acp.Money, {"amount": -(2**63) - 1, "currency": "USD"}, OverflowError),
    (acp.Money, {"amount": 1, "currency": 2}, TypeError),
    (acp.Money, {"amount": 1}, TypeError),
    (acp.Money, {"amount": 1, "currency": "USD", "cents": 1}, TypeError),
    (acp.RequestItem, {"id": "prod_mouse_002", "quantity": 2**31 - 1}, None),
    (acp.RequestItem, {"id": "prod_mouse_002", "quantity": 2**31}, OverflowError),
    (acp.RequestItem, {"id": "prod_mouse_002", "quantity": -(2**31) - 1}, OverflowError),
    (acp.RequestItem, {"id": None, "quantity": 1}, TypeError),
    (acp.RequestItem, {"quantity": 1}, TypeError),
    (acp.Address, {}, None),
    (acp.Address, {"city": None, "email": "ada@example.com"}, None),
    (acp.Address, {"city": 5}, TypeError),
    (acp.Address, {"zip": "94105"}, TypeError),
    (acp.Customer, {"billing_address": {"city": "Oslo"}, "shipping_address": None}, None),
    (acp.Customer, {"billing_address": "Ada"}, TypeError),
    (acp.Customer, {"billing_address": {"city": ["Oslo"]}}, TypeError),
    (acp.Customer, {"shipping_address": {"street": "x"}}, TypeError),
    (acp.PaymentRequest, {"method": "card"}, None),
    (acp.PaymentRequest, {"method": b"card"}, TypeError),
    (acp.PaymentRequest, {"token": "tok"}, TypeError),
]


@pytest.mark.parametrize("cls, document, raised", HOSTILE, ids=[f"{c.__name__}-{i}" for i, (c, _, _) in enumerate(HOSTILE)])
def test_schema_refuses_exactly_what_the_constructor_refuses(cls, document, raised, refusals):
    if raised is None:
        codec.from_dict(cls, document)
    else:
        with pytest.raises(raised):
            codec.from_dict(cls, document)
    by_schema = refusals(codec.json_schema(cls), document)
    assert bool(by_schema) == (raised is not None), by_schema


def test_where_json_and_python_numbers_part(refusals):
    """JSON Schema knows numbers, not Python's int, bool and float: a JSON
    true is no integer to the schema but 1 to the constructor, and 2.0 is an
    integer to the schema but a float the constructor refuses. A str with a
    lone surrogate is a string to the schema that the module cannot hold."""
    schema = codec.json_schema(acp.RequestItem)
    assert refusals(schema, {"id": "p", "quantity": True}) and codec.from_dict(acp.RequestItem, {"id": "p", "quantity": True}).quantity == 1
    assert refusals(schema, {"id": "p", "quantity": 2.0}) == []
    with pytest.raises(TypeError, match="^argument 'quantity': 'float' object cannot be interpreted as an integer$"):
        codec.from_dict(acp.RequestItem, {"id": "p", "quantity": 2.0})
    assert refusals(schema, {"id": "\ud800", "quantity": 1}) == []
    with pytest.raises(UnicodeEncodeError):
        codec.from_dict(acp.RequestItem, {"id": "\ud800", "quantity": 1})


def test_schemas_of_engine_records_refuse_hostile_documents(client, refusals):
    session = codec.to_dict(client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)]))
    schema = codec.json_schema(acp.CheckoutSession)
    for broken in (
        {**session, "status": "complete"},
        {**session, "extra": 1},
        {k: v for k, v in session.items() if k != "customer"},
        {**session, "items": [{**session["items"][0], "quantity": 2**31}]},
        {**session, "totals": {**session["totals"], "tax": {"amount": "1732", "currency": "USD"}}},
        {**session, "customer": {"billing_address": {"city": 1}, "shipping_address": None}},
    ):
        assert refusals(schema, broken), broken
    assert refusals(codec.json_schema(acp.Order), {"id": "o", "checkout_session_id": "s", "status": "placed"})
    with pytest.raises(TypeError, match="^json_schema\\(\\) expects a corvane_acp_native record class, not AcpClient$"):
        codec.json_schema(acp.AcpClient)


def test_tool_schemas_describe_each_operations_arguments(client, refusals):
    import inspect

    schemas = codec.tool_schemas()
    assert list(schemas) == [name for name in vars(acp.AcpClient) if not name.startswith("_")]
    for name, schema in schemas.items():
        parameters = list(inspect.signature(getattr(acp.AcpClient, name)).parameters.values())[1:]
        assert list(schema["properties"]) == [p.name for p in parameters]
        assert schema["required"] == [p.name for p in parameters if p.default is inspect.Parameter.empty]
        assert schema["title"] == name and schema["description"]
    sid = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)]).id
    item = {"id": "prod_mouse_002", "quantity": 1}
    valid = {
        "create_checkout_session": [{"items": [item]}],
        "get_checkout_session": [{"session_id": sid}],
        "update_checkout_session": [
            {"session_id": sid},
            {"session_id": sid, "items": [], "customer": None},
            {"session_id": sid, "items": None, "customer": {"billing_address": {"city": "Oslo"}}},
        ],
        "complete_checkout_session": [{"session_id": sid, "payment": {"method": "card"}}],
        "cancel_checkout_session": [{"session_id": sid}],
    }
    invalid = {
        "create_checkout_session": [{}, {"items": []}, {"items": "abc"}, {"items": [{"id": "p"}]}, {"items": [item], "x": 1}],
        "get_checkout_session": [{}, {"session_id": 123}, {"session_id": sid, "sessionId": sid}],
        "update_checkout_session": [{"items": []}, {"session_id": sid, "customer": {"name": "Ada"}}],
        "complete_checkout_session": [{"session_id": sid}, {"session_id": sid, "payment": None}, {"session_id": sid, "payment": "card"}],
        "cancel_checkout_session": [{"session_id": None}],
    }
    for name in schemas:
        for arguments in valid[name]:
            assert refusals(schemas[name], arguments) == [], (name, arguments)
        for arguments in invalid[name]:
            assert refusals(schemas[name], arguments), (name, arguments)


# ---------------------------------------------------------------- dispatch and reason codes


def test_dispatch_runs_a_whole_flow_from_json(client, refusals):
    def call(operation, arguments):
        result = json.loads(json.dumps(codec.dispatch(client, operation, json.loads(arguments))))
        assert "error" not in result, result
        return result

    item = '{"id": "prod_mouse_002", "quantity": 2}'
    created = call("create_checkout_session", f'{{"items": [{item}, {item}]}}')
    sid = created["id"]
    assert created["totals"]["grand_total"] == {"amount": 43065, "currency": "USD"}
    assert call("get_checkout_session", f'{{"session_id": "{sid}"}}') == created
    updated = call(
        "update_checkout_session",
        f'{{"session_id": "{sid}", "items": [{item}], "customer": {{"billing_address": {{"city": "Oslo"}}}}}}',
    )
    assert (updated["status"], len(updated["items"]), updated["customer"]["billing_address"]["city"]) == ("ready_for_payment", 1, "Oslo")
    done = call("complete_checkout_session", f'{{"session_id": "{sid}", "payment": {{"method": "card"}}}}')
    assert done["order"]["checkout_session_id"] == sid and done["session"]["status"] == "completed"
    assert done["session"] == codec.to_dict(client.get_checkout_session(sid))
    assert refusals(codec.json_schema(acp.CheckoutSessionWithOrder), done) == []
    canceled = call("cancel_checkout_session", json.dumps({"session_id": client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)]).id}))
    assert canceled["status"] == "canceled"


def refused_calls(client):
    """(reason, operation, arguments) for every refusal a call can meet."""
    open_ = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)]).id
    done = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)]).id
    client.complete_checkout_session(done, acp.PaymentRequest(method="card"))
    canceled = client.cancel_checkout_session(client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)]).id).id
    item = {"id": "prod_mouse_002", "quantity": 1}
    return [
        ("empty_basket", "create_checkout_session", {"items": []}),
        ("unknown_product", "create_checkout_session", {"items": [item, {"id": "prod_nope_999", "quantity": 1}]}),
        ("unknown_product", "update_checkout_session", {"session_id": open_, "items": [{"id": "", "quantity": 1}]}),
        ("unknown_session", "get_checkout_session", {"session_id": "no such 'session'\n"}),
        ("unknown_session", "complete_checkout_session", {"session_id": "x", "payment": {}}),
        ("missing_payment", "complete_checkout_session", {"session_id": open_, "payment": {}}),
        ("not_updatable", "update_checkout_session", {"session_id": done}),
        ("not_updatable", "update_checkout_session", {"session_id": canceled, "items": [item]}),
        ("already_completed", "complete_checkout_session", {"session_id": done, "payment": {"method": "card"}}),
        ("not_completable", "complete_checkout_session", {"session_id": canceled, "payment": {"method": "card"}}),
        ("not_cancellable", "cancel_checkout_session", {"session_id": done}),
        ("bad_argument", "get_checkout_session", {}),
        ("bad_argument", "get_checkout_session", {"session_id": 123}),
        ("bad_argument", "get_checkout_session", {"session_id": open_, "sessionId": open_}),
        ("bad_argument", "create_checkout_session", {"items": "prod_mouse_002"}),
        ("bad_argument", "create_checkout_session", {"items": {"id": "prod_mouse_002", "quantity": 1}}),
        ("bad_argument", "create_checkout_session", {"items": ["prod_mouse_002"]}),
        ("bad_argument", "create_checkout_session", {"items": [{"id": "prod_mouse_002"}]}),
        ("bad_argument", "create_checkout_session", {"items": [{"id": "prod_mouse_002", "quantity": 2**31}]}),
        ("bad_argument", "create_checkout_session", {"items": [{"id": "prod_mouse_002", "quantity": 2**63}]}),
        ("bad_argument", "create_checkout_session", {"items": [{"id": "\ud800", "quantity": 1}]}),
        ("bad_argument", "update_checkout_session", {"session_id": open_, "customer": {"billing_address": {"zip": "1"}}}),
        ("bad_argument", "complete_checkout_session", {"session_id": open_, "payment": None}),
    ]


def direct_call(client, operation, arguments):
    """The same call made on the client itself, records built by from_dict."""
    kwargs = dict(arguments)
    if isinstance(kwargs.get("items"), list):
        kwargs["items"] = [codec.from_dict(acp.RequestItem, x) if isinstance(x, dict) else x for x in kwargs["items"]]
    for key, cls in (("customer", acp.Customer), ("payment", acp.PaymentRequest)):
        if isinstance(kwargs.get(key), dict):
            kwargs[key] = codec.from_dict(cls, kwargs[key])
    getattr(client, operation)(**kwargs)


def test_every_refusal_comes_back_with_its_reason_and_exact_message(client):
    calls = refused_calls(client)
    for code, operation, arguments in calls:
        before = {sid: stored(client, sid) for sid in {a.get("session_id") for _, _, a in calls} if isinstance(sid, str) and len(sid) == 36}
        result = codec.dispatch(client, operation, arguments)
        assert {sid: stored(client, sid) for sid in before} == before
        with pytest.raises(Exception) as raised:
            direct_call(client, operation, arguments)
        exc = raised.value
        assert result == {"error": {"type": type(exc).__name__, "reason": code, "message": str(exc)}}, (operation, arguments)
        assert codec.reason(exc) == code
        json.dumps(result)
    # Deleting an attribute, the two guards no call from Python reaches, and
    # the poisoned store (provoked in a child below) complete the table.
    with pytest.raises(AttributeError) as raised:
        del acp.Money(1, "USD").amount
    assert codec.reason(raised.value) == "not_deletable"
    reached = {code for code, _, _ in calls}
    assert reached | {"not_deletable", "record_in_use", "store_unavailable"} == {row.reason for row in codec.REASONS}
    assert codec.reason(RuntimeError("Already borrowed")) == codec.reason(RuntimeError("Already mutably borrowed")) == "record_in_use"


def test_dispatch_reports_its_own_refusals():
    client = acp.AcpClient()
    unknown = codec.dispatch(client, "__class__", {})
    assert unknown["error"]["type"] == "ValueError" and unknown["error"]["reason"] == "unknown_operation"
    assert unknown["error"]["message"].startswith("unknown operation '__class__'; the operations are create_checkout_session, ")
    assert codec.dispatch(client, "get_checkout_session", ["x"]) == {
        "error": {
            "type": "TypeError",
            "reason": "bad_argument",
            "message": "the arguments of get_checkout_session must be an object of parameter names, not list",
        }
    }
    with pytest.raises(TypeError, match="^dispatch\\(\\) expects an AcpClient, not dict$"):
        codec.dispatch({}, "get_checkout_session", {"session_id": "x"})


class NotFound(ValueError):
    pass


@pytest.mark.parametrize(
    "exc", [ValueError("boom"), NotFound("Session not found: x"), RecursionError("Failed to acquire lock"), MemoryError(), KeyError("x")]
)
def test_what_the_module_does_not_refuse_propagates(client, exc):
    """Only the module's refusals become results: an exception of Python code
    run during a conversion passes through dispatch as it passes through the
    module, unless its exact type and message are a refusal's."""
    from support import RaisingSequence

    with pytest.raises(type(exc)) as raised:
        codec.dispatch(client, "create_checkout_session", {"items": RaisingSequence(exc)})
    assert raised.value is exc and codec.reason(exc) is None


def test_internal_faults_propagate_and_a_poisoned_store_is_store_unavailable(run_py, shim):
    child = run_py(
        """
        import json, os
        import corvane_acp_native as acp, corvane_acp_codec as codec
        client = acp.AcpClient()
        sid = codec.dispatch(client, "create_checkout_session", {"items": [{"id": "prod_mouse_002", "quantity": 1}]})["id"]
        os.environ["CORVANE_SHIM_CLOCK"] = "before_epoch"
        try:
            codec.dispatch(client, "cancel_checkout_session", {"session_id": sid})
        except BaseException as exc:
            panic = [type(exc).__name__, isinstance(exc, Exception), codec.reason(exc)]
        else:
            panic = None
        del os.environ["CORVANE_SHIM_CLOCK"]
        print(json.dumps([panic, codec.dispatch(client, "get_checkout_session", {"session_id": sid})]))
        """,
        preload=shim,
    )
    assert child.returncode == 0, child.stderr
    panic, after = json.loads(child.stdout.splitlines()[-1])
    assert panic == ["PanicException", False, None]
    assert after == {"error": {"type": "RuntimeError", "reason": "store_unavailable", "message": "Failed to acquire lock"}}


# ---------------------------------------------------------------- timestamps


def nanos_since_1970(moment, nanoseconds):
    epoch = datetime(1970, 1, 1, tzinfo=timezone.utc)
    return (moment - epoch) // timedelta(microseconds=1) * 1000 + nanoseconds


@pytest.mark.parametrize(
    "reading", [(0, 0), (1741064767, 120_000_000), (1741064767, 123_456_000), (1741064767, 123_456_789), (4102444799, 999_999_999), (1741064767, 1)]
)
def test_parse_timestamp_is_exact_to_the_nanosecond(run_py, shim, reading):
    sec, ns = reading
    child = run_py(
        f"""
        import os
        import corvane_acp_native as acp
        os.environ["CORVANE_SHIM_CLOCK"] = "{sec}.{ns:09d}"
        print(acp.AcpClient().create_checkout_session([acp.RequestItem("prod_mouse_002", 1)]).created_at)
        """,
        preload=shim,
    )
    assert child.returncode == 0, child.stderr
    text = child.stdout.strip()
    moment, nanoseconds = codec.parse_timestamp(text)
    assert moment.tzinfo is timezone.utc and moment.utcoffset() == timedelta(0)
    assert nanos_since_1970(moment, nanoseconds) == sec * 10**9 + ns
    assert moment == datetime.fromtimestamp(sec, timezone.utc) + timedelta(microseconds=ns // 1000)
    assert nanoseconds == ns % 1000


def test_parse_timestamp_reads_the_module_s_own_texts(client):
    session = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)])
    later = client.cancel_checkout_session(session.id)
    first, second = codec.parse_timestamp(session.created_at), codec.parse_timestamp(later.updated_at)
    assert first <= second and (session.created_at <= later.updated_at)
    whole, ns = ts_key(session.created_at)
    assert first == (whole.replace(microsecond=ns // 1000, tzinfo=timezone.utc), ns % 1000)


@pytest.mark.parametrize(
    "text",
    [
        "",
        "2026-12-09T17:43:22Z",
        "2026-12-09T17:43:22.123Z",
        "2026-12-09T17:43:22+01:00",
        "2026-12-09T17:43:22.000+00:00",
        "2026-12-09T17:43:22.120000+00:00",
        "2026-12-09T17:43:22.123456000+00:00",
        "2026-12-09T17:43:22.12+00:00",
        "2026-12-09T17:43:22.1234567890+00:00",
        "2026-12-09 17:43:22+00:00",
        "2026-13-09T17:43:22+00:00",
        "2026-02-30T17:43:22+00:00",
        "2026-12-09T17:43:60+00:00",
        "2026-12-09T17:43:22+00:00\n",
        " 2026-12-09T17:43:22+00:00",
        "２０２６-12-09T17:43:22+00:00",
        "0000-12-09T17:43:22+00:00",
    ],
)
def test_parse_timestamp_refuses_other_texts_naming_them(text):
    with pytest.raises(ValueError) as refused:
        codec.parse_timestamp(text)
    assert type(refused.value) is ValueError
    assert str(refused.value) == f"not a corvane_acp_native timestamp (RFC 3339 in UTC as the module writes it): {text!r}"


def test_parse_timestamp_refuses_what_is_not_text():
    with pytest.raises(TypeError, match="^parse_timestamp\\(\\) expects a str, not bytes$"):
        codec.parse_timestamp(b"2026-12-09T17:43:22+00:00")
