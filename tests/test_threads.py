"""Many threads creating and reading sessions through several clients at once."""

import collections
import random
import sys
import sysconfig
import threading

import pytest

import corvane_acp_native as acp
from support import CATALOG, PRODUCTS, Seq, expected_totals, lines_of, totals_of, usd

THREADS = 8
OPS_PER_THREAD = 250
JOIN_TIMEOUT = 300  # only guards against a deadlock hanging the run


def check_session(session, lines=None):
    """A session is well formed; with `lines`, it holds exactly those lines."""
    got = lines_of(session)
    if lines is not None:
        assert got == lines
    assert len(got) >= 1
    for line in session.items:
        title, amount = CATALOG[line.id][:2]
        assert line.title == title
        assert line.unit_price.amount == amount
        assert line.unit_price.currency == "USD"
    assert totals_of(session) == usd(*expected_totals(got))
    assert session.status == "not_ready_for_payment"
    assert session.customer is None
    assert session.created_at == session.updated_at
    assert len(session.id) == 36


def slow_sequence(items):
    """A sequence whose iteration runs Python code, so threads can switch mid-call."""
    return Seq(items, on_get=lambda seq, index: sum(range(20)))


def run_threads(targets):
    errors = []
    barrier = threading.Barrier(len(targets))

    def wrapper(fn, index):
        try:
            barrier.wait()
            fn(index)
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            errors.append((index, exc))

    threads = [
        threading.Thread(target=wrapper, args=(fn, i), daemon=True)
        for i, fn in enumerate(targets)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "a worker thread never finished"
    return errors


def test_concurrent_create_and_get(fast_switching):
    clients = [acp.AcpClient(), acp.AcpClient("k1"), acp.AcpClient(None)]
    created = {}  # session id -> requested lines
    created_lock = threading.Lock()
    published = []  # ids visible to every thread

    def worker(index):
        rnd = random.Random(index)
        mine = []
        for op in range(OPS_PER_THREAD):
            client = clients[(index + op) % len(clients)]
            choice = rnd.random()
            if choice < 0.45 or not mine:
                lines = [
                    (rnd.choice(PRODUCTS), rnd.randint(-3, 5))
                    for _ in range(rnd.randint(1, 4))
                ]
                items = [acp.RequestItem(pid, q) for pid, q in lines]
                if rnd.random() < 0.3:
                    items = slow_sequence(items)
                elif rnd.random() < 0.3:
                    items = tuple(items)
                session = client.create_checkout_session(items)
                check_session(session, lines)
                mine.append((session.id, lines))
                with created_lock:
                    created[session.id] = lines
                published.append(session.id)
            elif choice < 0.75:
                sid, lines = rnd.choice(mine)
                check_session(client.get_checkout_session(sid), lines)
            elif choice < 0.85:
                sid = rnd.choice(published)
                with created_lock:
                    lines = created[sid]
                check_session(client.get_checkout_session(sid), lines)
            elif choice < 0.9:
                missing = "missing-%d-%d" % (index, op)
                with pytest.raises(ValueError) as excinfo:
                    client.get_checkout_session(missing)
                assert str(excinfo.value) == "Session not found: " + missing
            elif choice < 0.95:
                with pytest.raises(ValueError) as excinfo:
                    client.create_checkout_session(
                        [acp.RequestItem(PRODUCTS[0], 1), acp.RequestItem("ghost", 1)]
                    )
                assert str(excinfo.value) == "Product not found: ghost"
            else:
                with pytest.raises(ValueError) as excinfo:
                    client.create_checkout_session([])
                assert str(excinfo.value) == "At least one item is required"

    errors = run_threads([worker] * THREADS)
    assert errors == []

    assert len(created) >= THREADS
    assert len(set(created)) == len(created)
    reader = acp.AcpClient()
    for sid, lines in created.items():
        check_session(reader.get_checkout_session(sid), lines)


def test_concurrent_reads_of_one_session(fast_switching):
    client = acp.AcpClient()
    lines = [("prod_mouse_002", 2), ("prod_keyboard_003", 1)]
    session = client.create_checkout_session([acp.RequestItem(p, q) for p, q in lines])

    def reader(index):
        local = acp.AcpClient()
        for _ in range(OPS_PER_THREAD):
            got = local.get_checkout_session(session.id)
            check_session(got, lines)
            assert got.created_at == session.created_at
            # scribbling on the snapshot never reaches the store
            got_items = got.items
            got_items[0].quantity = index + 1000
            got.totals.subtotal = acp.Money(index, "XXX")

    errors = run_threads([reader] * THREADS)
    assert errors == []
    check_session(client.get_checkout_session(session.id), lines)


def test_create_from_a_list_another_thread_mutates(fast_switching):
    shared = [acp.RequestItem("prod_mouse_002", 1)]
    stop = threading.Event()
    outcomes = {"ok": 0, "refused": 0}
    created = []

    def mutator(index):
        rnd = random.Random(1234)
        try:
            while not stop.is_set():
                action = rnd.randrange(8)
                if action == 0:
                    shared.append(acp.RequestItem(rnd.choice(PRODUCTS), rnd.randint(-2, 3)))
                elif action == 1 and shared:
                    shared.pop(rnd.randrange(len(shared)))
                elif action == 2:
                    shared.append(rnd.choice([7, None, "prod_mouse_002"]))
                elif action == 3 and shared:
                    shared[rnd.randrange(len(shared))] = acp.RequestItem(
                        rnd.choice(PRODUCTS + ["ghost_000"]), rnd.randint(0, 9)
                    )
                elif action == 4:
                    shared.clear()
                elif action == 5:
                    shared.extend(
                        acp.RequestItem(rnd.choice(PRODUCTS), 1)
                        for _ in range(rnd.randint(1, 20))
                    )
                elif action == 6 and shared:
                    item = shared[rnd.randrange(len(shared))]
                    if isinstance(item, acp.RequestItem):
                        item.quantity = rnd.randint(-5, 5)
                        item.id = rnd.choice(PRODUCTS)
                else:
                    shared.reverse()
                if len(shared) > 200:
                    del shared[:100]
        finally:
            stop.set()

    def creator(index):
        client = acp.AcpClient()
        try:
            for n in range(600):
                if stop.is_set():
                    break
                source = shared if n % 2 else SlowList(shared)
                try:
                    session = client.create_checkout_session(source)
                except (TypeError, ValueError):
                    outcomes["refused"] += 1
                    continue
                check_session(session)
                created.append((session.id, lines_of(session)))
                outcomes["ok"] += 1
        finally:
            stop.set()

    class SlowList(list):
        """A list view of `shared` whose iteration yields to other threads."""

        def __init__(self, source):
            super().__init__()
            self._source = source

        def __len__(self):
            return len(self._source)

        def __iter__(self):
            i = 0
            while True:
                try:
                    item = self._source[i]
                except IndexError:
                    return
                yield item
                i += 1

    errors = run_threads([mutator, creator, creator])
    assert errors == []
    assert outcomes["ok"] + outcomes["refused"] > 0
    client = acp.AcpClient()
    for sid, lines in created:
        check_session(client.get_checkout_session(sid), lines)


def test_request_item_mutated_while_creating(fast_switching):
    item = acp.RequestItem("prod_keyboard_003", 1)
    stop = threading.Event()
    created = []

    def flipper(index):
        rnd = random.Random(99)
        try:
            while not stop.is_set():
                item.quantity = rnd.randint(-100, 100)
                item.id = rnd.choice(PRODUCTS)
        finally:
            stop.set()

    def creator(index):
        client = acp.AcpClient()
        try:
            for _ in range(OPS_PER_THREAD):
                session = client.create_checkout_session(slow_sequence([item, item, item]))
                check_session(session)
                created.append((session.id, lines_of(session)))
        finally:
            stop.set()

    errors = run_threads([flipper, creator, creator])
    assert errors == []
    client = acp.AcpClient()
    for sid, lines in created:
        check_session(client.get_checkout_session(sid), lines)


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(not FREE_THREADED or sys._is_gil_enabled(),
                    reason="needs a free-threaded interpreter running without the GIL")
def test_shared_objects_without_the_gil():
    threads, rounds = 8, 400
    shared_client = acp.AcpClient("shared")
    sessions = [shared_client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)]).id
                for _ in range(4 * threads)]
    # Texts of different lengths (one past the small-string room), so a torn
    # read cannot pass for either.
    currencies = ("USD", "a currency name far longer than any inline buffer")
    amounts = (-(2**63), 2**63 - 1)
    money = acp.Money(amounts[0], currencies[0])
    item = acp.RequestItem("prod_keyboard_003", 2)
    totals = shared_client.get_checkout_session(sessions[0]).totals
    customer = acp.Customer(billing_address=acp.Address(name="Ada"))
    completions = []  # one entry per successful completion
    created = []
    refusals = {"Session already completed", "Cannot update completed or canceled session",
                "Cannot cancel completed session", "Cannot complete canceled session"}
    payment = acp.PaymentRequest(method="card")

    def worker(index):
        rnd = random.Random(index)
        own = acp.AcpClient()
        for n in range(rounds):
            client = shared_client if n % 2 else own
            money.currency = currencies[n % 2]
            money.amount = amounts[index % 2]
            assert money.currency in currencies and money.amount in amounts
            assert repr(money) in {f"Money(amount={a}, currency='{c}')" for a in amounts for c in currencies}
            totals.grand_total = money
            assert totals.grand_total.currency in currencies
            item.quantity = 2 + index % 2
            s = client.create_checkout_session([item, item])
            assert [x.quantity for x in s.items] in ([2, 2], [2, 3], [3, 2], [3, 3])
            check_session(s, lines_of(s))
            created.append((s.id, lines_of(s)))
            sid = rnd.choice(sessions)
            try:
                action = rnd.randrange(4)
                if action == 0:
                    client.update_checkout_session(sid, customer=customer)
                elif action == 1:
                    client.complete_checkout_session(sid, payment)
                    completions.append(sid)
                elif action == 2:
                    client.cancel_checkout_session(sid)
                else:
                    assert client.get_checkout_session(sid).id == sid
            except RuntimeError as exc:
                assert str(exc) in refusals

    errors = run_threads([worker] * threads)
    assert errors == []
    completed = collections.Counter(completions)
    assert max(completed.values(), default=0) <= 1
    reader = acp.AcpClient()
    for sid in sessions:
        s = reader.get_checkout_session(sid)
        assert s.status == "completed" if completed[sid] else s.status != "completed"
    assert len(created) == threads * rounds == len({sid for sid, _ in created})
    for sid, lines in created:
        check_session(reader.get_checkout_session(sid), lines)


# Statements that keep a thread inside a module call while Python code sleeps
# in it (an __index__, a sequence's __getitem__).
CALLS_THAT_SLEEP = {
    "constructor": "acp.Money(Slow(), 'USD')",
    "setter": "money.amount = Slow()",
    "client-method": "client.create_checkout_session(SlowItems())",
}


@pytest.mark.parametrize("call", list(CALLS_THAT_SLEEP))
def test_exit_with_daemon_threads_inside_calls(run_py, call):
    """The interpreter exits while daemon threads are inside module calls. Each
    such thread must end as it would inside a builtin (3.11 to 3.13 unwind its
    stack, later versions park it) and the process exit normally, silently."""
    code = f"""
    import threading, time
    import corvane_acp_native as acp

    class Slow:
        def __index__(self):
            time.sleep(0.01)
            return 1

    class SlowItems:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            time.sleep(0.01)
            if i:
                raise IndexError(i)
            return acp.RequestItem("prod_mouse_002", 1)

    money = acp.Money(1, "USD")
    client = acp.AcpClient()
    started = threading.Barrier(5)

    def work():
        started.wait()
        while True:
            {CALLS_THAT_SLEEP[call]}

    for _ in range(4):
        threading.Thread(target=work, daemon=True).start()
    started.wait()
    time.sleep(0.2)
    print("exiting", flush=True)
    """
    for _ in range(3):  # the threads end at a different point each time
        proc = run_py(code)
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, "exiting\n", "")
