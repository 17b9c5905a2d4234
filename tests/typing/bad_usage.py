"""Misuses of corvane_acp_native that a type checker must reject.

This file is never run. check_typing.py type-checks it with mypy and requires
exactly the errors marked on the lines below (`# E: <error code>`), no more and
no fewer. Each case sits in its own function because calling a class that has
no constructor is typed as never returning, which would hide what follows it.
"""

import corvane_acp_native as acp


def attribute_typo(client: acp.AcpClient) -> None:
    session = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)])
    print(session.stauts)  # E: attr-defined
    print(session.totals.grand_totl)  # E: attr-defined


def wrong_argument_types(client: acp.AcpClient) -> None:
    acp.Money("9900", "USD")  # E: arg-type
    acp.RequestItem("prod_mouse_002", quantity="2")  # E: arg-type
    client.create_checkout_session(acp.RequestItem("prod_mouse_002", 1))  # E: arg-type
    client.complete_checkout_session("sid", None)  # E: arg-type
    client.update_checkout_session("sid", customer=acp.Address())  # E: arg-type


def misspelt_status(client: acp.AcpClient) -> None:
    session = client.get_checkout_session("sid")
    if session.status == "complete":  # E: comparison-overlap
        print("never")
    result = client.complete_checkout_session("sid", acp.PaymentRequest(method="card"))
    if result.order.status == "placed ":  # E: comparison-overlap
        print("never")


def unknown_keyword() -> None:
    acp.Address(zip="94105")  # E: call-arg


def read_only_attributes(client: acp.AcpClient) -> None:
    session = client.get_checkout_session("sid")
    session.status = "completed"  # E: misc
    session.totals = session.totals  # E: misc


def wrong_attribute_value(session: acp.CheckoutSession) -> None:
    money = acp.Money(1, "USD")
    money.currency = None  # E: assignment
    session.items[0].sku = 5  # E: assignment
    session.totals.tax = 866  # E: assignment


def wrong_result_use(client: acp.AcpClient) -> None:
    result = client.complete_checkout_session("sid", acp.PaymentRequest(method="card"))
    total: int = result.session.totals.grand_total  # E: assignment
    print(total)


def not_importable() -> None:
    print(acp.PanicException)  # E: attr-defined


def no_constructor() -> None:
    acp.Totals()  # E: call-arg
    acp.CheckoutSession("sid")  # E: arg-type


def codec_misuse(session: acp.CheckoutSession) -> None:
    import corvane_acp_codec

    corvane_acp_codec.from_dict(acp.Totals, {})  # E: type-var
    corvane_acp_codec.to_dict({"amount": 1})  # E: call-overload
    money: acp.Money = corvane_acp_codec.from_dict(acp.Address, {})  # E: assignment
    print(money)


def codec_dict_typos(session: acp.CheckoutSession) -> None:
    from corvane_acp_codec import to_dict

    data = to_dict(session)
    print(data["totals"]["grand_totl"])  # E: typeddict-item
    print(data["stauts"])  # E: typeddict-item
    amount: str = data["totals"]["grand_total"]["amount"]  # E: assignment
    print(amount)
