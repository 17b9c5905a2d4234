"""PanicException and the call boundary.

A real panic is provoked in a child interpreter by making one interpreter
allocation fail while `repr(Money(...))` builds its result ("Python API call
failed"). Everything that makes the allocator fail runs in a child process.
"""

import json
import subprocess
import sys
import textwrap

import pytest

import corvane_acp_native as acp

MESSAGE = "Python API call failed"
BANNER = (
    "--- Pelorin is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n"
)
DOC_TAIL = (
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)

PRELUDE = r'''
import json, sys, _testcapi
import corvane_acp_native as acp


def provoke_panic():
    """Fail one allocation at a time inside repr(Money) until a panic comes out."""
    money = acp.Money(1, "USD")
    for start in range(0, 2000):
        _testcapi.set_nomemory(start, start + 1)
        try:
            try:
                repr(money)
            finally:
                _testcapi.remove_mem_hooks()
        except BaseException as exc:
            if type(exc).__name__ == "PanicException":
                return exc
    raise SystemExit("no panic could be provoked")


def mark(name):
    sys.stdout.flush()
    sys.stderr.flush()
    sys.stderr.write("@@" + name + "@@\n")
    sys.stderr.flush()


def describe(exc):
    return {
        "type": type(exc).__name__,
        "module": type(exc).__module__,
        "args": [str(a) for a in exc.args],
        "str": str(exc),
    }
'''


def run_child(body, timeout=300):
    code = PRELUDE + textwrap.dedent(body)
    proc = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        errors="replace",
        timeout=timeout,
        stdin=subprocess.DEVNULL,
    )
    return proc


def child_json(body, timeout=300):
    proc = run_child(body, timeout)
    assert proc.returncode == 0, f"child failed (rc={proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
    return json.loads(proc.stdout.strip().splitlines()[-1]), proc.stderr


def section(stderr, name):
    """The part of the child's stderr written after mark(name) and before the next mark."""
    start = stderr.index(f"@@{name}@@\n") + len(f"@@{name}@@\n")
    end = stderr.find("@@", start)
    return stderr[start:] if end < 0 else stderr[start:end]


# --------------------------------------------------------------------------
# A real panic
# --------------------------------------------------------------------------


def test_panic_exception_properties():
    result, stderr = child_json(
        """
        mark("panic")
        exc = provoke_panic()
        mark("after")
        cls = type(exc)
        caught_by_exception = False
        caught_by_base = False
        try:
            try:
                raise exc
            except Exception:
                caught_by_exception = True
        except BaseException as again:
            caught_by_base = again is exc
        out = describe(exc)
        out.update({
            "qualname": cls.__qualname__,
            "bases": [b.__name__ for b in cls.__bases__],
            "mro": [b.__name__ for b in cls.__mro__],
            "is_exception": isinstance(exc, Exception),
            "caught_by_exception": caught_by_exception,
            "caught_by_base": caught_by_base,
            "doc": cls.__doc__,
            "exported": hasattr(acp, "PanicException") or "PanicException" in acp.__all__,
            "money_after": repr(acp.Money(2, "EUR")),
        })
        print(json.dumps(out))
        """
    )
    assert result["type"] == "PanicException"
    assert result["qualname"] == "PanicException"
    assert result["module"] == "pelorin_runtime"
    assert result["bases"] == ["BaseException"]
    assert result["mro"] == ["PanicException", "BaseException", "object"]
    assert result["is_exception"] is False
    assert result["caught_by_exception"] is False
    assert result["caught_by_base"] is True
    assert result["args"] == [MESSAGE]
    assert result["str"] == MESSAGE
    assert result["exported"] is False
    assert result["money_after"] == "Money(amount=2, currency='EUR')"
    # The panic writes a diagnostic carrying its message.
    assert MESSAGE in section(stderr, "panic")


def test_panic_exception_doc():
    result, _ = child_json(
        """
        print(json.dumps({"doc": type(provoke_panic()).__doc__}))
        """
    )
    doc = result["doc"]
    assert doc.startswith("\n")
    assert doc.endswith("\n\n" + DOC_TAIL)
    sentence = doc[1 : len(doc) - len(DOC_TAIL) - 2]
    assert sentence.strip()
    assert "\n\n" not in sentence
    assert "panic" in sentence.lower()


def test_uncaught_panic_ends_the_program_with_its_traceback():
    proc = run_child(
        """
        exc = provoke_panic()
        print("BEFORE", flush=True)
        try:
            raise exc
        except Exception:
            print("SWALLOWED", flush=True)
        print("AFTER", flush=True)
        """
    )
    assert proc.returncode == 1
    assert "BEFORE" in proc.stdout
    assert "SWALLOWED" not in proc.stdout
    assert "AFTER" not in proc.stdout
    assert f"pelorin_runtime.PanicException: {MESSAGE}" in proc.stderr


def test_store_is_not_poisoned_by_a_panic_outside_the_store():
    result, _ = child_json(
        """
        provoke_panic()
        client = acp.AcpClient()
        try:
            client.get_checkout_session("missing")
            out = ["no error"]
        except BaseException as e:
            out = [type(e).__name__, str(e)]
        print(json.dumps(out))
        """
    )
    assert result == ["ValueError", "Session not found: missing"]


# --------------------------------------------------------------------------
# A PanicException coming back from Python code during a conversion
# --------------------------------------------------------------------------


def test_resumed_panic_from_index_in_constructor():
    result, stderr = child_json(
        """
        caught = provoke_panic()

        class Idx:
            def __index__(self):
                raise caught

        mark("resume")
        try:
            acp.Money(Idx(), "USD")
            out = {"type": None}
        except BaseException as exc:
            out = describe(exc)
            out["same_type"] = type(exc) is type(caught)
            out["same_object"] = exc is caught
        mark("end")
        print(json.dumps(out))
        """
    )
    assert result["type"] == "PanicException"
    assert result["same_type"] is True
    assert result["same_object"] is False
    assert result["args"] == [MESSAGE]
    assert result["str"] == MESSAGE
    assert not result["str"].startswith("argument ")
    err = section(stderr, "resume")
    assert BANNER in err
    after_banner = err[err.index(BANNER) + len(BANNER):]
    # The fetched exception is printed with its traceback after the banner.
    assert "Traceback (most recent call last):" in after_banner
    assert "__index__" in after_banner
    assert f"PanicException: {MESSAGE}" in after_banner


@pytest.mark.parametrize(
    "call",
    [
        "acp.Money(amount=Idx(), currency='USD')",
        "acp.Money(Idx(), 5)",
        "acp.RequestItem('x', Idx())",
        "setattr(acp.Money(1, 'USD'), 'amount', Idx())",
        "setattr(acp.RequestItem('x', 1), 'quantity', Idx())",
        "acp.AcpClient().create_checkout_session(Seq())",
        "acp.AcpClient().update_checkout_session('nope', Seq())",
    ],
)
def test_resumed_panic_through_every_kind_of_entry(call):
    result, stderr = child_json(
        f"""
        caught = provoke_panic()

        class Idx:
            def __index__(self):
                raise caught

        class Seq:
            def __len__(self):
                return 1

            def __getitem__(self, index):
                raise caught

        mark("resume")
        try:
            {call}
            out = {{"type": None}}
        except BaseException as exc:
            out = describe(exc)
            out["same_type"] = type(exc) is type(caught)
            out["same_object"] = exc is caught
        mark("end")
        try:
            acp.AcpClient().get_checkout_session("missing")
        except BaseException as exc:
            out["after"] = [type(exc).__name__, str(exc)]
        print(json.dumps(out))
        """
    )
    assert result["type"] == "PanicException"
    assert result["same_type"] is True
    assert result["same_object"] is False
    assert result["args"] == [MESSAGE]
    assert BANNER in section(stderr, "resume")
    # A panic during argument conversion happens before the store's lock.
    assert result["after"] == ["ValueError", "Session not found: missing"]


def test_resumed_panic_keeps_a_custom_message():
    result, stderr = child_json(
        """
        Panic = type(provoke_panic())

        class Idx:
            def __index__(self):
                raise Panic("a message of our own")

        mark("resume")
        try:
            acp.Money(Idx(), "USD")
        except BaseException as exc:
            out = describe(exc)
        mark("end")
        print(json.dumps(out))
        """
    )
    assert result["type"] == "PanicException"
    assert result["args"] == ["a message of our own"]
    assert BANNER in section(stderr, "resume")


def test_resumed_panic_whose_text_cannot_be_read():
    result, stderr = child_json(
        """
        Panic = type(provoke_panic())

        class BadStr:
            def __str__(self):
                raise RuntimeError("unprintable")

        class Idx:
            def __index__(self):
                raise Panic(BadStr())

        mark("resume")
        try:
            acp.RequestItem("x", Idx())
        except BaseException as exc:
            out = describe(exc)
        mark("end")
        print(json.dumps(out))
        """
    )
    assert result["type"] == "PanicException"
    assert result["args"] == ["Unwrapped panic from Python code"]
    assert BANNER in section(stderr, "resume")


def test_subclass_of_panic_exception_is_an_ordinary_error():
    result, stderr = child_json(
        """
        Panic = type(provoke_panic())

        class SubPanic(Panic):
            pass

        original = SubPanic("sub")

        class Idx:
            def __index__(self):
                raise original

        mark("resume")
        try:
            acp.Money(Idx(), "USD")
        except BaseException as exc:
            out = describe(exc)
            out["same_object"] = exc is original
        mark("end")
        print(json.dumps(out))
        """
    )
    assert result["type"] == "SubPanic"
    assert result["same_object"] is True
    assert result["args"] == ["sub"]
    assert "Pelorin is resuming a panic" not in section(stderr, "resume")


# --------------------------------------------------------------------------
# Error values raised by the boundary carry their message as the only argument
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: acp.Totals(), TypeError, "No constructor defined"),
        (lambda: acp.Money(), TypeError, "Money.__new__() missing 2 required positional arguments: 'amount' and 'currency'"),
        (lambda: acp.Money(1, 2), TypeError, "argument 'currency': 'int' object cannot be converted to 'PyString'"),
        (lambda: acp.RequestItem("x", 2**31), OverflowError, "out of range integral type conversion attempted"),
        (lambda: delattr(acp.Money(1, "x"), "amount"), AttributeError, "can't delete attribute"),
        (
            lambda: acp.AcpClient().create_checkout_session("abc"),
            TypeError,
            "argument 'items': Can't extract `str` to `Vec`",
        ),
    ],
)
def test_pending_style_errors_have_message_as_sole_argument(call, exc_type, message):
    with pytest.raises(BaseException) as excinfo:
        call()
    assert type(excinfo.value) is exc_type
    assert excinfo.value.args == (message,)
    assert str(excinfo.value) == message
    assert excinfo.value.__cause__ is None


def test_resumed_panic_keeps_its_whole_message():
    """A PanicException coming back from Python code is resumed with str() of
    it in full: NUL characters kept, unencodable characters replaced."""
    code = textwrap.dedent(
        """
        import _testcapi, corvane_acp_native as m
        money = m.Money(1, "USD")
        panic = None
        for start in range(2000):
            _testcapi.set_nomemory(start, start + 1)
            try:
                repr(money)
            except BaseException as e:
                if type(e).__name__ == "PanicException":
                    panic = type(e)
            finally:
                _testcapi.remove_mem_hooks()
            if panic:
                break
        out = []
        for text in ["a\\x00b", "lone \\udcff"]:
            class Idx:
                def __index__(self, text=text):
                    raise panic(text)
            try:
                m.Money(Idx(), "USD")
            except panic as e:
                out.append(ascii(str(e)))
        print(" ".join(out))
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["'a\\x00b'", "'lone", "\\ufffd'"]
