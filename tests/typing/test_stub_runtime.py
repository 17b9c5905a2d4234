"""The published type stubs against the module they describe.

mypy's stubtest (run by ci/typecheck.sh) compares names, signatures and types,
but it cannot see whether a native attribute has a setter, nor which classes
refuse construction. These tests cover that from the running module, need no
type checker, and also make sure the installed distribution carries the stubs.
"""

import ast
import os
from pathlib import Path

import pytest

import corvane_acp_native as acp

STUBS_DIR = "corvane_acp_native-stubs"
STUB = Path(__file__).resolve().parents[2] / STUBS_DIR / "__init__.pyi"


def _parse_stub():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    classes = {}
    module_all = None
    functions = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["__all__"]:
            module_all = ast.literal_eval(node.value)
        elif isinstance(node, ast.FunctionDef):
            functions[node.name] = node
        elif isinstance(node, ast.ClassDef):
            classes[node.name] = node
    return module_all, functions, classes


MODULE_ALL, FUNCTIONS, CLASSES = _parse_stub()


def _decorators(fn):
    return {ast.unparse(d) for d in fn.decorator_list}


def stub_writable(name):
    return {
        n.target.id for n in CLASSES[name].body if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)
    }


def stub_read_only(name):
    return {n.name for n in CLASSES[name].body if isinstance(n, ast.FunctionDef) and "property" in _decorators(n)}


def stub_method(cls_name, method):
    for n in CLASSES[cls_name].body:
        if isinstance(n, ast.FunctionDef) and n.name == method:
            return n
    return None


def stub_has_no_constructor(name):
    # A class that cannot be built is declared with a __new__ whose only
    # parameter is of type Never, so a checker rejects every call.
    new = stub_method(name, "__new__")
    params = new.args.posonlyargs + new.args.args
    return len(params) == 2 and ast.unparse(params[1].annotation) == "Never"


def text_signature(fn, first):
    """The text signature the runtime would publish for a stub function."""
    args = fn.args
    assert not args.posonlyargs and not args.kwonlyargs and args.vararg is None and args.kwarg is None
    names = [a.arg for a in args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    parts = [first] if first else []
    parts += [n if d is None else f"{n}={d}" for n, d in zip(names[1:], defaults[1:])]
    return "(" + ", ".join(parts) + ")"


def sample_instances():
    """One live instance of each of the eleven classes."""
    client = acp.AcpClient()
    session = client.create_checkout_session([acp.RequestItem("prod_mouse_002", 1)])
    session = client.update_checkout_session(session.id, customer=acp.Customer(acp.Address(), None))
    result = client.complete_checkout_session(session.id, acp.PaymentRequest(method="card"))
    return {
        "Money": acp.Money(1, "USD"),
        "Address": acp.Address(),
        "Customer": acp.Customer(),
        "LineItem": session.items[0],
        "Totals": session.totals,
        "CheckoutSession": session,
        "Order": result.order,
        "CheckoutSessionWithOrder": result,
        "RequestItem": acp.RequestItem("prod_mouse_002", 1),
        "PaymentRequest": acp.PaymentRequest(),
        "AcpClient": client,
    }


RUNTIME_CLASSES = [name for name in acp.__all__ if isinstance(getattr(acp, name), type)]


@pytest.fixture(scope="module")
def instances():
    return sample_instances()


def runtime_attributes(cls, instance):
    """(writable, read-only) names of the class's attribute descriptors."""
    writable, read_only = set(), set()
    for name, descriptor in vars(cls).items():
        if type(descriptor).__name__ != "getset_descriptor" or name.startswith("__"):
            continue
        try:
            # Writing back the value just read changes nothing where it works.
            descriptor.__set__(instance, descriptor.__get__(instance, cls))
        except AttributeError:
            read_only.add(name)
        else:
            writable.add(name)
    return writable, read_only


def test_stub_names_match_module():
    assert MODULE_ALL == acp.__all__
    assert sorted(CLASSES) == sorted(RUNTIME_CLASSES)
    assert set(FUNCTIONS) == {name for name in acp.__all__ if callable(getattr(acp, name))} - set(RUNTIME_CLASSES)
    assert "PanicException" not in CLASSES and not hasattr(acp, "PanicException")


@pytest.mark.parametrize("name", RUNTIME_CLASSES)
def test_classes_are_final_in_stub(name):
    assert "final" in {ast.unparse(d) for d in CLASSES[name].decorator_list}


@pytest.mark.parametrize("name", RUNTIME_CLASSES)
def test_attribute_writability_matches(name, instances):
    writable, read_only = runtime_attributes(getattr(acp, name), instances[name])
    assert stub_writable(name) == writable
    assert stub_read_only(name) == read_only


@pytest.mark.parametrize("name", RUNTIME_CLASSES)
def test_constructor_matches(name):
    cls = getattr(acp, name)
    runtime_signature = cls.__text_signature__
    if stub_has_no_constructor(name):
        assert runtime_signature is None
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()
    else:
        assert text_signature(stub_method(name, "__new__"), None) == runtime_signature


@pytest.mark.parametrize(
    "method", [n.name for n in CLASSES["AcpClient"].body if isinstance(n, ast.FunctionDef) and n.name != "__new__"]
)
def test_client_method_signatures_match(method):
    runtime = getattr(acp.AcpClient, method)
    assert text_signature(stub_method("AcpClient", method), "$self") == runtime.__text_signature__


def test_client_methods_are_all_in_stub():
    runtime = {name for name in vars(acp.AcpClient) if not name.startswith("_")}
    stubbed = {n.name for n in CLASSES["AcpClient"].body if isinstance(n, ast.FunctionDef)} - {"__new__"}
    assert stubbed == runtime


@pytest.mark.skipif(
    bool(os.environ.get("CORVANE_SANITIZED")),
    reason="the sanitized build is imported from its build directory, not from an installed distribution",
)
def test_installed_distribution_carries_the_stubs():
    installed = Path(acp.__file__).resolve().parent / STUBS_DIR / "__init__.pyi"
    assert installed.is_file(), f"{STUBS_DIR} is not installed beside {acp.__file__}"
    assert installed.read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")
