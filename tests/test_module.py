"""Module initialisation and class registration of corvane_acp_native.

Covers the names the module registers (and their order), version()/__version__,
the shape of the eleven type objects (names, finality, layout flags, doc strings
and text signatures, attribute descriptors) and the once-per-process rule of the
init function.
"""

import os
import functools
import gc
import inspect
import json
import re
import subprocess
import sys
import sysconfig
import textwrap
import types
import weakref

import pytest

import corvane_acp_native as acp
from support import attribute_names

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

ALL_NAMES = [
    "Money",
    "Address",
    "Customer",
    "LineItem",
    "Totals",
    "CheckoutSession",
    "Order",
    "CheckoutSessionWithOrder",
    "RequestItem",
    "PaymentRequest",
    "AcpClient",
    "version",
    "__version__",
]

CLASS_NAMES = ALL_NAMES[:11]

# class name -> (constructor text signature or None, attributes in declaration
# order, writable?, own repr?)
CLASSES = {
    "Money": ("(amount, currency)", ["amount", "currency"], True, True),
    "Address": (
        "(name=None, line1=None, line2=None, city=None, region=None, "
        "postal_code=None, country=None, phone=None, email=None)",
        ["name", "line1", "line2", "city", "region", "postal_code", "country", "phone", "email"],
        True,
        False,
    ),
    "Customer": (
        "(billing_address=None, shipping_address=None)",
        ["billing_address", "shipping_address"],
        True,
        False,
    ),
    "LineItem": (
        None,
        ["id", "title", "quantity", "unit_price", "variant_id", "sku", "image_url"],
        True,
        True,
    ),
    "Totals": (None, ["subtotal", "tax", "shipping", "discount", "grand_total"], True, False),
    "CheckoutSession": (
        None,
        ["id", "status", "items", "totals", "customer", "created_at", "updated_at"],
        False,
        True,
    ),
    "Order": (None, ["id", "checkout_session_id", "status", "permalink_url"], False, True),
    "CheckoutSessionWithOrder": (None, ["session", "order"], False, False),
    "RequestItem": ("(id, quantity)", ["id", "quantity"], True, False),
    "PaymentRequest": ("(delegated_token=None, method=None)", ["delegated_token", "method"], True, False),
    "AcpClient": ("(api_key=None)", [], False, False),
}

CONSTRUCTIBLE = [name for name, entry in CLASSES.items() if entry[0] is not None]
NOT_CONSTRUCTIBLE = [name for name, entry in CLASSES.items() if entry[0] is None]

CLIENT_METHODS = [
    ("create_checkout_session", "($self, items)"),
    ("get_checkout_session", "($self, session_id)"),
    ("update_checkout_session", "($self, session_id, items=None, customer=None)"),
    ("complete_checkout_session", "($self, session_id, payment)"),
    ("cancel_checkout_session", "($self, session_id)"),
]

ONCE_MESSAGE = (
    "Pelorin modules compiled for CPython 3.8 or older may only be initialized once per interpreter process"
)

Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14


def make_instance(name):
    """A freshly built instance of one of the constructible classes."""
    samples = {
        "Money": lambda: acp.Money(1, "USD"),
        "Address": lambda: acp.Address(),
        "Customer": lambda: acp.Customer(),
        "RequestItem": lambda: acp.RequestItem("prod_mouse_002", 1),
        "PaymentRequest": lambda: acp.PaymentRequest(),
        "AcpClient": lambda: acp.AcpClient(),
    }
    return samples[name]()


def run_child(code, timeout=180):
    """Run `code` in a fresh interpreter; return the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        errors="replace",
        timeout=timeout,
        stdin=subprocess.DEVNULL,
    )


def child_json(code, timeout=180):
    """Run `code` in a child that prints one JSON document as its last stdout line."""
    proc = run_child(code, timeout)
    assert proc.returncode == 0, f"child failed (rc={proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
    return json.loads(proc.stdout.strip().splitlines()[-1]), proc


# --------------------------------------------------------------------------
# Module object, __all__, version
# --------------------------------------------------------------------------


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded interpreter can run without the GIL")
def test_import_leaves_the_gil_off():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c",
         "import sys, corvane_acp_native; print(sys._is_gil_enabled())"],
        capture_output=True, text=True, env=env, timeout=60, stdin=subprocess.DEVNULL,
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "False\n", "")


def test_all_is_exact_list_in_registration_order():
    assert type(acp.__all__) is list
    assert acp.__all__ == ALL_NAMES


def test_star_import_brings_exactly_the_thirteen_names():
    namespace = {}
    exec("from corvane_acp_native import *", namespace)
    namespace.pop("__builtins__", None)
    assert sorted(namespace) == sorted(ALL_NAMES)
    assert namespace["__version__"] == "1.0.0"
    assert namespace["version"] is acp.version
    for name in CLASS_NAMES:
        assert namespace[name] is getattr(acp, name)


def test_public_module_attributes_are_the_registered_names():
    public = {name for name in dir(acp) if not name.startswith("_")}
    assert public == set(CLASS_NAMES) | {"version"}
    for name in ALL_NAMES:
        assert hasattr(acp, name)


def test_panic_exception_is_not_exported():
    assert not hasattr(acp, "PanicException")
    assert "PanicException" not in acp.__all__


def test_module_doc_and_name():
    assert acp.__doc__ == "Python module definition"
    assert acp.__name__ == "corvane_acp_native"


def test_version_and_dunder_version():
    assert acp.version() == "1.0.0"
    assert type(acp.version()) is str
    assert acp.__version__ == "1.0.0"
    assert type(acp.__version__) is str
    assert acp.version() == acp.__version__


@pytest.mark.parametrize(
    "args, kwargs",
    [((1,), {}), ((None,), {}), (("1.0.0",), {}), ((), {"x": 1}), ((1, 2), {})],
)
def test_version_refuses_any_argument(args, kwargs):
    with pytest.raises(TypeError):
        acp.version(*args, **kwargs)


def test_version_function_object():
    fn = acp.version
    assert isinstance(fn, types.BuiltinFunctionType)
    assert fn.__name__ == "version"
    assert fn.__self__ is acp
    assert fn.__module__ == "corvane_acp_native"
    assert fn.__text_signature__ == "()"
    assert fn.__doc__ == "Get library version"
    assert str(inspect.signature(fn)) == "()"


# --------------------------------------------------------------------------
# The eleven type objects
# --------------------------------------------------------------------------


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_names_and_module(name):
    cls = getattr(acp, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    # The interpreter shows the full type name "builtins.<name>" here.
    assert repr(cls) == f"<class 'builtins.{name}'>"


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_base_and_flags(name):
    cls = getattr(acp, name)
    assert cls.__bases__ == (object,)
    assert cls.__mro__ == (cls, object)
    assert cls.__flags__ & Py_TPFLAGS_HEAPTYPE
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_are_final(name):
    cls = getattr(acp, name)
    with pytest.raises(TypeError):

        class Sub(cls):  # noqa: F841
            pass

    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        type("Sub", (object, cls), {})


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_instances_have_no_dict_and_no_weakref(name):
    obj = make_instance(name)
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.some_new_attribute = 1
    assert not hasattr(obj, "some_new_attribute")


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_instances_are_not_gc_tracked(name):
    assert not gc.is_tracked(make_instance(name))


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_type_identity_of_constructed_objects(name):
    obj = make_instance(name)
    assert type(obj) is getattr(acp, name)
    assert isinstance(obj, getattr(acp, name))


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_dictionary_holds_only_its_attributes_and_methods(name):
    cls = getattr(acp, name)
    _, attrs, _, own_repr = CLASSES[name]
    public = {key for key in vars(cls) if not key.startswith("__")}
    expected = set(attrs)
    if name == "AcpClient":
        expected |= {m for m, _ in CLIENT_METHODS}
    assert public == expected
    # No comparison, hashing or string conversion of their own.
    for dunder in ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__hash__", "__str__",
                   "__iter__", "__len__", "__getitem__", "__add__", "__init__"):
        assert dunder not in vars(cls), dunder
    assert ("__repr__" in vars(cls)) is own_repr


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_attribute_descriptors(name):
    cls = getattr(acp, name)
    _, attrs, writable, _ = CLASSES[name]
    for attr in attrs:
        descr = vars(cls)[attr]
        assert isinstance(descr, types.GetSetDescriptorType), attr
        assert descr.__doc__ == "", attr
        assert descr.__name__ == attr
        assert descr.__objclass__ is cls
    # In declaration order: what the tests' FIELDS read from the module.
    assert attribute_names(cls) == tuple(attrs)


def test_python_baseline_has_the_module_layout():
    # bench/pyimpl.py keeps a hand-written copy of every class (the benchmarks'
    # baseline, written the way a Python developer would): it follows the module.
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
    try:
        import pyimpl
    finally:
        del sys.path[0]
    assert pyimpl.__all__ == acp.__all__
    for name in CLASS_NAMES:
        cls, baseline = getattr(acp, name), getattr(pyimpl, name)
        properties = tuple(key for key, value in vars(baseline).items() if isinstance(value, property))
        assert properties == attribute_names(cls), name
    for method, _ in CLIENT_METHODS:
        assert callable(getattr(pyimpl.AcpClient, method)), method


def test_money_amount_descriptor_doc_is_empty_text():
    assert acp.Money.amount.__doc__ == ""


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_doc_and_text_signature_of_constructible_classes(name):
    cls = getattr(acp, name)
    signature = CLASSES[name][0]
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == ""
    assert str(inspect.signature(cls)) == signature


@pytest.mark.parametrize("name", NOT_CONSTRUCTIBLE)
def test_doc_and_text_signature_of_classes_without_constructor(name):
    cls = getattr(acp, name)
    assert cls.__text_signature__ is None
    assert cls.__doc__ is None


@pytest.mark.parametrize("method, signature", CLIENT_METHODS)
def test_client_method_docs(method, signature):
    descr = vars(acp.AcpClient)[method]
    assert isinstance(descr, types.MethodDescriptorType)
    assert descr.__name__ == method
    assert descr.__qualname__ == f"AcpClient.{method}"
    assert descr.__text_signature__ == signature
    assert descr.__doc__ is None
    # inspect shows the receiver as positional-only.
    assert str(inspect.signature(descr)) == signature.replace("($self, ", "(self, /, ")
    bound = getattr(acp.AcpClient(), method)
    assert bound.__doc__ is None
    assert str(inspect.signature(bound)) == "(" + signature[len("($self, "):]


def test_client_methods_are_registered_in_order():
    names = [key for key in vars(acp.AcpClient) if not key.startswith("__")]
    assert names == [m for m, _ in CLIENT_METHODS]


@pytest.mark.parametrize("name", NOT_CONSTRUCTIBLE)
@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1,), {}),
        ((None, None), {}),
        (("a", 1, 2.5, []), {}),
        ((), {"id": "x"}),
        ((1,), {"x": 1, "y": 2}),
        (tuple(range(50)), {"amount": 1}),
        ((acp.Money(0, "USD"),) * 5, {}),
        ((), {"id": "x", "status": "completed"}),
    ],
)
def test_no_constructor_defined(name, args, kwargs):
    cls = getattr(acp, name)
    with pytest.raises(TypeError) as excinfo:
        cls(*args, **kwargs)
    assert str(excinfo.value) == "No constructor defined"
    assert excinfo.value.args == ("No constructor defined",)
    assert type(excinfo.value) is TypeError


@pytest.mark.parametrize("name", NOT_CONSTRUCTIBLE)
def test_no_constructor_defined_through_dunder_new(name):
    cls = getattr(acp, name)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls.__new__(cls)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls.__new__(cls, 1, key=2)


def test_default_repr_of_classes_without_their_own():
    for obj, name in [
        (acp.Address(), "Address"),
        (acp.Customer(), "Customer"),
        (acp.RequestItem("x", 1), "RequestItem"),
        (acp.PaymentRequest(), "PaymentRequest"),
        (acp.AcpClient(), "AcpClient"),
    ]:
        assert re.fullmatch(rf"<builtins\.{name} object at 0x[0-9a-fA-F]+>", repr(obj)), repr(obj)
        assert str(obj) == repr(obj)


def test_type_objects_are_the_registered_ones_for_engine_results():
    client = acp.AcpClient()
    session = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 2)])
    assert type(session) is acp.CheckoutSession
    assert type(session.totals) is acp.Totals
    assert type(session.totals.grand_total) is acp.Money
    assert type(session.items[0]) is acp.LineItem
    assert type(session.items[0].unit_price) is acp.Money
    again = acp.AcpClient().get_checkout_session(session.id)
    assert type(again) is acp.CheckoutSession
    updated = client.update_checkout_session(session.id, customer=acp.Customer(acp.Address()))
    assert type(updated.customer) is acp.Customer
    assert type(updated.customer.billing_address) is acp.Address
    done = client.complete_checkout_session(session.id, acp.PaymentRequest(method="card"))
    assert type(done) is acp.CheckoutSessionWithOrder
    assert type(done.session) is acp.CheckoutSession
    assert type(done.order) is acp.Order


def test_engine_results_have_no_dict_and_no_weakref():
    client = acp.AcpClient()
    session = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)])
    done = client.complete_checkout_session(session.id, acp.PaymentRequest("tok"))
    objects = [session, session.totals, session.items[0], done, done.order]
    for obj in objects:
        with pytest.raises(AttributeError):
            obj.__dict__
        with pytest.raises(TypeError):
            weakref.ref(obj)
        assert not gc.is_tracked(obj)
        with pytest.raises(AttributeError):
            obj.some_new_attribute = 1
    # (writes to their attributes are refused: see the attribute tables of the binding tests)


# --------------------------------------------------------------------------
# Once-per-process initialisation (children: sys.modules games stay out of the
# test process)
# --------------------------------------------------------------------------


def test_second_initialisation_is_refused_and_first_module_stays_usable():
    result, _ = child_json(
        """
        import json, sys
        import corvane_acp_native as first
        del sys.modules["corvane_acp_native"]
        outcomes = []
        for _ in range(2):
            try:
                import corvane_acp_native  # noqa
                outcomes.append(["ok"])
            except BaseException as e:
                outcomes.append([type(e).__name__, list(map(str, e.args))])
        m = first.Money(-5, "EUR")
        out = {
            "outcomes": outcomes,
            "in_sys_modules": "corvane_acp_native" in sys.modules,
            "repr": repr(m),
            "isinstance": isinstance(m, first.Money),
            "version": first.version(),
            "all": first.__all__,
            "client": type(first.AcpClient("k")).__name__,
        }
        print(json.dumps(out))
        """
    )
    assert result["outcomes"] == [["ImportError", [ONCE_MESSAGE]]] * 2
    assert result["in_sys_modules"] is False
    assert result["repr"] == "Money(amount=-5, currency='EUR')"
    assert result["isinstance"] is True
    assert result["version"] == "1.0.0"
    assert result["all"] == ALL_NAMES
    assert result["client"] == "AcpClient"


def test_init_through_create_dynamic_is_refused_once_initialised():
    result, _ = child_json(
        """
        import _imp, importlib.util, json
        import corvane_acp_native as first
        spec = importlib.util.find_spec("corvane_acp_native")
        try:
            _imp.create_dynamic(spec)
            out = ["ok"]
        except BaseException as e:
            out = [type(e).__name__, str(e)]
        out.append(first.Money(1, "x").amount)
        print(json.dumps(out))
        """
    )
    assert result == ["ImportError", ONCE_MESSAGE, 1]


def test_import_in_sub_interpreter_is_refused():
    proc = run_child(
        """
        import sys, _testcapi
        import corvane_acp_native as first
        rc = _testcapi.run_in_subinterp("import corvane_acp_native")
        sys.stderr.flush()
        print("RC", rc)
        print("MAIN", repr(first.Money(3, "USD")))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert "RC -1" in proc.stdout
    if FREE_THREADED:
        # A free-threaded interpreter refuses a single-phase module in a
        # sub-interpreter itself, before the module's initialisation runs.
        assert "ImportError: module corvane_acp_native does not support loading in subinterpreters" in proc.stderr
    else:
        assert ONCE_MESSAGE in proc.stderr
        assert "ImportError" in proc.stderr
    assert "MAIN Money(amount=3, currency='USD')" in proc.stdout


@functools.lru_cache(maxsize=None)
def init_attempts_under_allocation_failure():
    """Initialise the module in a child, making exactly one interpreter
    allocation fail, for increasing positions of that allocation, until an
    attempt succeeds (or reports the once-per-process error)."""
    result, _ = child_json(
        """
        import _imp, _testcapi, importlib.util, json, sys
        ONCE = %r
        spec = importlib.util.find_spec("corvane_acp_native")
        create = lambda: _imp.create_dynamic(spec)
        if sys.version_info >= (3, 14):
            # From 3.14 on, the import machinery crashes when the allocation
            # of its extension-cache key fails right after a successful
            # single-phase initialisation (it goes on with a null key), so
            # the sweep calls the init function itself.
            import ctypes
            init = ctypes.PyDLL(spec.origin).PyInit_corvane_acp_native
            init.restype = ctypes.py_object
            init.argtypes = ()
            create = init
        attempts = []
        module = None
        for start in range(0, 5000):
            _testcapi.set_nomemory(start, start + 1)
            try:
                try:
                    module = create()
                finally:
                    _testcapi.remove_mem_hooks()
            except BaseException as e:
                try:
                    text = str(e)
                except BaseException:
                    text = "<unprintable>"
                cause = e.__cause__
                attempts.append([
                    type(e).__name__,
                    text,
                    None if cause is None else type(cause).__name__,
                    None if cause is None else str(cause),
                ])
                if type(e) is ImportError and text == ONCE:
                    break
                continue
            attempts.append(["ok"])
            break
        out = {"attempts": attempts}
        if module is not None:
            out["version"] = module.version()
            out["money"] = repr(module.Money(7, "USD"))
            try:
                _imp.create_dynamic(spec)
                out["again"] = "ok"
            except BaseException as e:
                out["again"] = [type(e).__name__, str(e)]
        print(json.dumps(out))
        """ % ONCE_MESSAGE,
        timeout=600,
    )
    return result


INIT_CLASS_ERROR = "An error occurred while initializing class "

# On CPython 3.13 (seen with 3.13.0) the interpreter's own PyType_FromSpec can
# crash once an earlier call of it in the same process failed on an allocation;
# plain C code that only calls PyType_FromSpec shows it too. The in-process
# retry sweep below cannot run there.
needs_type_from_spec_retry = pytest.mark.skipif(
    sys.version_info[:2] == (3, 13), reason="PyType_FromSpec crashes after an earlier failed allocation on 3.13"
)


@needs_type_from_spec_retry
def test_failed_first_initialisation_can_be_retried():
    # An initialisation that fails inside the module body must not count as
    # "initialised": the next attempt has to run the init function again.
    result = init_attempts_under_allocation_failure()
    attempts = result["attempts"]
    assert attempts, result
    if attempts[-1] == ["ok"]:
        assert result["version"] == "1.0.0"
        assert result["money"] == "Money(amount=7, currency='USD')"
        assert result["again"] == ["ImportError", ONCE_MESSAGE]
    else:
        # The init function succeeded but the import machinery failed right
        # after it; from then on the module counts as initialised.
        assert attempts[-1][:2] == ["ImportError", ONCE_MESSAGE]
        assert len(attempts) >= 2

    def failed_inside_body(attempt):
        return attempt[0] == "PanicException" or (
            attempt[0] == "RuntimeError" and attempt[1].startswith(INIT_CLASS_ERROR)
        )

    inside = [i for i, a in enumerate(attempts[:-1]) if failed_inside_body(a)]
    if not inside:
        pytest.skip(f"no allocation failure landed inside the module body: {attempts[:20]}")
    for i in inside:
        # The attempt right after a failed body still runs the init function.
        assert attempts[i + 1][:2] != ["ImportError", ONCE_MESSAGE], (attempts[i], attempts[i + 1])


@needs_type_from_spec_retry
def test_class_initialisation_error_names_the_class_and_keeps_the_cause():
    attempts = init_attempts_under_allocation_failure()["attempts"]
    class_errors = [a for a in attempts if a[0] == "RuntimeError" and a[1].startswith(INIT_CLASS_ERROR)]
    if not class_errors:
        pytest.skip("no allocation failure landed inside the creation of a type object")
    assert {a[1][len(INIT_CLASS_ERROR):] for a in class_errors} <= set(CLASS_NAMES)
    # The underlying failure is kept as the cause: the interpreter's
    # MemoryError, or, where the failed call set no exception, the fetch
    # error SystemError "attempted to fetch exception but none was set".
    for attempt in class_errors:
        assert attempt[2] in ("MemoryError", "SystemError"), attempt
        if attempt[2] == "SystemError":
            assert attempt[3] == "attempted to fetch exception but none was set", attempt


def test_import_under_debug_allocators():
    """The class docs are allocated with the interpreter's own allocator for
    them; the debug allocators catch any mismatch at import or exit."""
    code = (
        "import corvane_acp_native as m\n"
        "c = m.AcpClient()\n"
        "s = c.create_checkout_session([m.RequestItem('prod_mouse_002', 1)])\n"
        "print(m.Money.__text_signature__, repr(s.totals.tax))\n"
    )
    env = dict(os.environ, PYTHONMALLOC="debug")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "(amount, currency) Money(amount=866, currency='USD')"
