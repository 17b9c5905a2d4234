"""Objects stay valid however Python code treats them during a call: arguments
dropped by the caller mid-call, instances made behind a class's constructor,
and length hints that lie."""

import functools
import subprocess
import sys
import textwrap

import corvane_acp_native as acp


def _dropping_partial(func, *args):
    """A partial whose stored (borrowed) arguments the returned `drop` frees."""
    p = functools.partial(func, *args)

    def drop():
        p.__setstate__((print, (), {}, None))

    return p, drop


def test_session_id_dropped_while_items_convert():
    client = acp.AcpClient()
    sid = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)]).id
    update, drop = _dropping_partial(client.update_checkout_session, "".join([sid]))

    class Items:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            drop()
            return acp.RequestItem("prod_keyboard_003", 2)

    session = update(Items())
    assert session.id == sid
    assert [(line.id, line.quantity) for line in session.items] == [("prod_keyboard_003", 2)]


def test_client_and_customer_dropped_while_items_convert():
    client = acp.AcpClient()
    sid = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)]).id
    customer = acp.Customer(acp.Address(city="Oslo" * 10))
    update, drop = _dropping_partial(acp.AcpClient().update_checkout_session, sid)

    class Items(list):
        def __iter__(self):
            drop()
            return super().__iter__()

    session = update(Items([acp.RequestItem("prod_mouse_002", 3)]), customer)
    assert session.customer.billing_address.city == "Oslo" * 10


def test_constructor_arguments_dropped_while_converting():
    holder = []

    class Index:
        def __index__(self):
            holder[0]()
            return 7

    make, drop = _dropping_partial(acp.Money, Index(), "USD" * 20)
    holder.append(drop)
    money = make()
    assert (money.amount, money.currency) == (7, "USD" * 20)


CLASSES = [acp.Money, acp.Address, acp.Customer, acp.LineItem, acp.Totals, acp.CheckoutSession, acp.Order,
           acp.CheckoutSessionWithOrder, acp.RequestItem, acp.PaymentRequest, acp.AcpClient]


def test_instances_made_behind_the_constructor_are_usable():
    """A replaced __new__ that calls object.__new__ still gets a valid record
    (empty texts, zero numbers, absent optionals). Run in a child: it changes
    the classes for the rest of the process."""
    code = textwrap.dedent(
        """
        import corvane_acp_native as m
        names = [n for n in m.__all__ if n[0].isupper()]
        five = m.Money(5, "USD")
        for name in names:
            cls = getattr(m, name)
            cls.__new__ = lambda c, *a, **k: object.__new__(c)
        t = m.Totals()
        t.subtotal = five
        assert (t.subtotal.amount, t.tax.amount, t.tax.currency) == (5, 0, "")
        money = m.Money.__new__(m.Money)
        money.currency = "USD"
        assert repr(money) == "Money(amount=0, currency='USD')"
        line = m.LineItem()
        assert repr(line) == "LineItem(id='', title='', quantity=0)" and line.sku is None
        session = m.CheckoutSession()
        assert session.items == [] and session.customer is None and len(session.id) == 36
        assert repr(m.Order()) == "Order(id='', status='')"
        assert m.CheckoutSessionWithOrder().order.permalink_url is None
        for name in names:
            getattr(m, name).__new__(getattr(m, name))
        print("ok")
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_calling_a_class_honours_a_replaced_new_or_init(run_py):
    """Once Python code replaces a class's __new__ or __init__, calling the class
    is the ordinary class call (the same as type.__call__); classes left alone
    keep their own constructor. Run in a child: it changes the classes."""
    proc = run_py(
        """
        import corvane_acp_native as m
        out = []
        made = object()
        m.Money.__new__ = lambda cls, *a, **k: made if a == (0,) else object.__new__(cls)
        out.append(m.Money(0) is made)
        out.append(repr(m.Money(5, currency="USD")))
        out.append(repr(type.__call__(m.Money, 5, currency="USD")))

        seen = []
        def init(self, id, quantity):
            seen.append((id, quantity))
            self.quantity = quantity * 10
        m.RequestItem.__init__ = init
        item = m.RequestItem("x", quantity=2)
        out.append((item.id, item.quantity, seen))
        try:
            m.RequestItem("x")
        except TypeError as e:
            out.append(str(e))

        try:
            m.Address(zip="1")
        except TypeError as e:
            out.append(str(e))
        out.append(m.PaymentRequest("t").delegated_token)
        print(out)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str([
        True,
        "Money(amount=0, currency='')",
        "Money(amount=0, currency='')",
        ("x", 20, [("x", 2)]),
        "RequestItem.__new__() missing 1 required positional argument: 'quantity'",
        "Address.__new__() got an unexpected keyword argument 'zip'",
        "t",
    ])


