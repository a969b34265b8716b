"""The module object, its namespace, classes and method objects, and start-up
in odd situations (second import, failed import, second interpreter)."""
import concurrent.futures
import ctypes
import importlib
import inspect
import pydoc
import re
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

import com_like

FULL_NAME = "veltrum_master.python_server.veltrum.com_like"
CLASS_ENTRIES = ("__module__", "__qualname__", "__doc__", "__dict__", "__weakref__")
CLASSES = ["Serializer", "Messaging", "OfficeJsObject", "OfficeJsArray", "OfficeJsDict", "OfficeJsTransaction"]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_namespace_binding_order():
    names = [n for n in vars(com_like) if not n.startswith("__")]
    assert names == [
        "base64", "concurrent", "Union", "dt", "threading", "uuid", "pd", "np", "Any", "Dict",
        "Serializer", "Messaging",
        "_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__",
        "_internal_officejs_names", "OfficeJsObject", "OfficeJsArray", "OfficeJsDict",
        "UNIQUE_TRANSACTION_ID", "OfficeJsTransaction", "messaging",
        "Context", "Excel", "GetSetting", "Intersect", "OfficeJsAttributeError", "_rebuild_OfficeJsAttributeError",
    ]  # fmt: skip


def test_namespace_contents():
    import base64, datetime, threading, typing, uuid

    import numpy, pandas

    m = com_like
    assert (m.base64, m.dt, m.threading, m.uuid, m.pd, m.np) == (base64, datetime, threading, uuid, pandas, numpy)
    assert m.concurrent.futures is concurrent.futures
    assert m.Any is typing.Any and m.Dict is typing.Dict
    assert type(m._internal_officejs_names) is list
    assert m._internal_officejs_names == [
        "_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__",
        "__getattr__", "__getitem__", "__setattr__", "__call__", "__del__",
    ]  # fmt: skip
    assert type(m.UNIQUE_TRANSACTION_ID) is int and m.UNIQUE_TRANSACTION_ID == 5
    assert isinstance(m.messaging, m.Messaging)


@pytest.mark.parametrize(
    "name, object_id, type_name",
    [("Context", 0, "RequestContext"), ("Excel", 1, "Excel"), ("GetSetting", 2, "Function"),
     ("Union", 3, "Function"), ("Intersect", 4, "Function")],
)  # fmt: skip
def test_root_proxies(name, object_id, type_name):
    proxy = getattr(com_like, name)
    assert type(proxy) is com_like.OfficeJsObject
    assert proxy._internal_id == object_id and type(proxy._internal_id) is int
    assert proxy._internal_typeName == type_name
    assert proxy._msg_guid == com_like.messaging._guid
    assert proxy is not ctypes.Union


def test_module_docstring():
    doc = com_like.__doc__
    assert len(doc) == 620
    assert doc.startswith("\nVeltrum - Synchronous COM-like bridge between Python and Excel Office.js.\n")
    assert doc.endswith("\n")
    for text in ["Classes:", "Serializer", "Messaging", "OfficeJsObject", "OfficeJsArray", "OfficeJsDict",
                 "Globals:", "Excel: Root proxy object (ID 1)", "Context: Context proxy object (ID 0)"]:  # fmt: skip
        assert text in doc


@pytest.mark.parametrize(
    "name, base, first_line, whole, indented",
    [
        ("Serializer", object, "Handles marshaling of data types between Python and JavaScript.", True, False),
        ("Messaging", object, "Handles messaging for the Python-Excel bridge.", False, True),
        ("OfficeJsObject", object, "Dynamic proxy class for Office.js objects.", False, True),
        ("OfficeJsArray", list, "Specialized proxy for arrays returned from Office.js.", True, False),
        ("OfficeJsDict", dict, "Specialized proxy for dictionaries returned from Office.js.", True, False),
        ("OfficeJsTransaction", object, "Transaction object to batch multiple set operations into a single request.",
         False, True),
    ],
)  # fmt: skip
def test_classes(name, base, first_line, whole, indented):
    cls = getattr(com_like, name)
    assert type(cls) is type
    assert cls.__bases__ == (base,)
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == FULL_NAME
    doc = cls.__doc__
    if whole:
        assert doc == first_line
    if indented:
        assert doc.startswith("\n    " + first_line + "\n")
        assert doc.endswith("\n    ")
        assert all(line.startswith("    ") for line in doc.split("\n")[1:] if line)
    # No class-level data, properties, slots or class methods besides the methods.
    for key, value in vars(cls).items():
        if key in CLASS_ENTRIES:
            continue
        assert isinstance(value, staticmethod) or type(value).__name__ == "function", key
    assert not issubclass(cls, com_like.OfficeJsObject) or name == "OfficeJsObject"


def test_attribute_error_class():
    cls = com_like.OfficeJsAttributeError
    assert type(cls) is type
    assert cls.__bases__ == (AttributeError, RuntimeError)
    assert cls.__name__ == cls.__qualname__ == "OfficeJsAttributeError"
    assert cls.__module__ == FULL_NAME
    doc = cls.__doc__
    assert doc.startswith("\n    Raised when the Office.js add-in fails to read an attribute.\n")
    assert doc.endswith("\n    ")
    assert all(line.startswith("    ") for line in doc.split("\n")[1:] if line)
    assert {k for k in vars(cls) if k not in ("__module__", "__doc__", "__weakref__")} == set()
    e = cls("x")
    assert e.args == ("x",) and str(e) == "x"


def test_messaging_class_doc_text():
    assert com_like.Messaging.__doc__ == (
        "\n    Handles messaging for the Python-Excel bridge.\n\n    This class does NOT start a WebSocket server. "
        "Instead, it uses a\n    send handler callback pattern that allows the kernel to forward\n    messages "
        "through the Business Layer.\n    \n    Threading Model:\n    ----------------\n    This class is designed "
        "to be thread-safe for use in multi-threaded environments:\n    - waiters dict: Protected by _waiters_lock "
        "(threading.Lock)\n    - callable_registry: Protected by _callable_lock (threading.Lock)\n    - "
        "send_request_sync(): Can be called from worker threads, blocks using concurrent.futures.Future\n    - "
        "on_message(): Can be called from listener thread to resolve pending futures\n    "
    )


# (class, method) -> (signature line, first line of the description or None, annotations)
METHODS = {
    ("Serializer", "to_wire"): ("Serializer.to_wire(value: Any) -> Dict[str, Any]",
                                "Serialize a Python value to wire format for transmission.",
                                {"value": "Any", "return": "Dict[str, Any]"}),
    ("Serializer", "from_wire"): ("Serializer.from_wire(dict wire: Dict[str, Any]) -> Any",
                                  "Deserialize a wire format value back to Python.",
                                  {"wire": "Dict[str, Any]", "return": "Any"}),
    ("Messaging", "__init__"): ("Messaging.__init__(self)", None, {}),
    ("Messaging", "set_send_handler"): ("Messaging.set_send_handler(self, handler)",
                                        "Register a callback used to send messages to the add-in.", {}),
    ("Messaging", "on_message"): ("Messaging.on_message(self, dict message: Dict[str, Any])",
                                  "Handle an incoming response message from the add-in.",
                                  {"message": "Dict[str, Any]"}),
    ("Messaging", "send_request_sync"): (
        "Messaging.send_request_sync(self, dict req: Dict[str, Any], double timeout: float = 30.0)",
        "Send a request and wait synchronously for the response.", {"req": "Dict[str, Any]", "timeout": "float"}),
    ("Messaging", "reset"): ("Messaging.reset(self)",
                             "Reset the messaging state (e.g., when the connection is closed).", {}),
    ("Messaging", "register_callable"): ("Messaging.register_callable(self, callable_obj: Any) -> str",
                                         "Register a Python callable and return its ID.",
                                         {"callable_obj": "Any", "return": "str"}),
    ("Messaging", "get_callable"): ("Messaging.get_callable(self, str callable_id: str) -> Any",
                                    "Retrieve a registered callable by its ID.",
                                    {"callable_id": "str", "return": "Any"}),
    ("Messaging", "unregister_callable"): ("Messaging.unregister_callable(self, str callable_id: str)",
                                           "Remove a callable from the registry.", {"callable_id": "str"}),
    ("OfficeJsObject", "__init__"): ("OfficeJsObject.__init__(self, int object_id: int, str type_name: str)", None,
                                     {"object_id": "int", "type_name": "str"}),
    ("OfficeJsObject", "__getattr__"): ("OfficeJsObject.__getattr__(self, str name: str)", None, {"name": "str"}),
    ("OfficeJsObject", "__getitem__"): ("OfficeJsObject.__getitem__(self, index)", None, {}),
    ("OfficeJsObject", "__setattr__"): ("OfficeJsObject.__setattr__(self, str name: str, value)", None,
                                        {"name": "str"}),
    ("OfficeJsTransaction", "__init__"): (
        "OfficeJsTransaction.__init__(self, roolback_at_error=False, raiseError=True, error_callback=None, "
        "block_gets=False)", None, {}),
    ("OfficeJsTransaction", "_start"): ("OfficeJsTransaction._start(self)", None, {}),
    ("OfficeJsTransaction", "commit"): ("OfficeJsTransaction.commit(self)", None, {}),
    ("OfficeJsTransaction", "__enter__"): ("OfficeJsTransaction.__enter__(self)", None, {}),
    ("OfficeJsTransaction", "__exit__"): ("OfficeJsTransaction.__exit__(self, exc_type, exc_val, exc_tb)", None, {}),
    ("OfficeJsTransaction", "__del__"): ("OfficeJsTransaction.__del__(self)", None, {}),
    ("OfficeJsTransaction", "__repr__"): ("OfficeJsTransaction.__repr__(self)", None, {}),
}  # fmt: skip
for _cls in ("OfficeJsObject", "OfficeJsArray", "OfficeJsDict"):
    for _meth, _rest, _ann in [("__call__", "(self, *args, **kwargs)", {}), ("__del__", "(self)", {}),
                               ("__repr__", "(self)", {})]:  # fmt: skip
        METHODS[(_cls, _meth)] = (f"{_cls}.{_meth}{_rest}", None, _ann)
for _cls in ("OfficeJsArray", "OfficeJsDict"):
    METHODS[(_cls, "__init__")] = (f"{_cls}.__init__(self, int object_id: int)", None, {"object_id": "int"})
    METHODS[(_cls, "__getattr__")] = (f"{_cls}.__getattr__(self, str name: str)", None, {"name": "str"})
    METHODS[(_cls, "__setattr__")] = (f"{_cls}.__setattr__(self, str name: str, value)", None, {"name": "str"})


def test_method_table_is_complete():
    for name in CLASSES:
        cls = getattr(com_like, name)
        own = {k for k in vars(cls) if k not in CLASS_ENTRIES}
        assert own == {m for (c, m) in METHODS if c == name}, name


@pytest.mark.parametrize("cls_name, name", sorted(METHODS))
def test_method_objects(cls_name, name):
    sig_line, first, annotations = METHODS[(cls_name, name)]
    raw = vars(getattr(com_like, cls_name))[name]
    is_static = (cls_name, name) in (("Serializer", "to_wire"), ("Serializer", "from_wire"))
    assert isinstance(raw, staticmethod) == is_static
    func = raw.__func__ if is_static else raw
    assert func.__name__ == name
    assert func.__qualname__ == f"{cls_name}.{name}"
    assert func.__module__ == FULL_NAME
    assert func.__annotations__ == annotations
    if first is None:
        assert func.__doc__ == sig_line
    else:
        assert func.__doc__.startswith(sig_line + "\n\n" + first)
    # The signature that editors show follows the signature line.
    params = inspect.signature(func).parameters
    shown = re.sub(r"\[[^\]]*\]", "", sig_line[sig_line.index("(") + 1:sig_line.index(")")])
    expected = [p.split("=")[0].split(":")[0].split()[-1].lstrip("*") for p in shown.split(", ") if p]
    assert list(params) == expected
    for p in params.values():
        if p.name in annotations:
            assert p.annotation == annotations[p.name]
    text = pydoc.render_doc(func, renderer=pydoc.plaintext)
    assert name in text


def test_signature_defaults():
    sig = inspect.signature(com_like.Messaging.send_request_sync)
    assert sig.parameters["timeout"].default == 30.0
    assert sig.return_annotation is inspect.Signature.empty
    assert inspect.signature(com_like.Messaging.register_callable).return_annotation == "str"
    sig = inspect.signature(com_like.OfficeJsTransaction.__init__)
    assert [p.default for p in list(sig.parameters.values())[1:]] == [False, True, None, False]
    assert str(inspect.signature(com_like.OfficeJsObject.__call__)) == "(self, *args, **kwargs)"


def test_methods_bind_like_functions():
    m = com_like.messaging
    bound = m.reset
    assert inspect.ismethod(bound) and bound.__self__ is m and bound.__func__ is com_like.Messaging.reset
    assert list(inspect.signature(bound).parameters) == []
    assert list(inspect.signature(m.send_request_sync).parameters) == ["req", "timeout"]
    old = m._guid
    assert com_like.Messaging.reset(m) is None
    assert m._guid != old
    # help() on the class and on the instance renders every method.
    text = pydoc.render_doc(com_like.Messaging, renderer=pydoc.plaintext)
    for name in ("set_send_handler", "on_message", "send_request_sync", "reset", "register_callable",
                 "get_callable", "unregister_callable", "Threading Note"):  # fmt: skip
        assert name in text
    pydoc.render_doc(m, renderer=pydoc.plaintext)


def test_methods_are_weakly_referable():
    m = com_like.Messaging()
    receiver = weakref.WeakMethod(m.on_message)  # how hosts subscribe weak receivers
    assert receiver() == m.on_message
    assert weakref.ref(com_like.Serializer.to_wire)() is com_like.Serializer.to_wire
    del m
    assert receiver() is None


def test_static_methods_on_class_and_instance():
    s = com_like.Serializer()
    for f in (com_like.Serializer.to_wire, s.to_wire):
        assert f({"a": 1}) == com_like.Serializer.to_wire({"a": 1})
    assert com_like.Serializer.from_wire({"type": "Int", "value": 7}) == 7
    assert s.from_wire({"type": "Int", "value": 7}) == 7
    assert s.to_wire is com_like.Serializer.to_wire


def test_module_functions_are_plain_builtins():
    for name in com_like._internal_officejs_names[:5]:
        f = getattr(com_like, name)
        assert inspect.isbuiltin(f)
        assert f.__module__ == FULL_NAME
        assert f.__self__ is None
        assert not hasattr(f, "__annotations__")
    assert com_like._cw__getattr__.__doc__.startswith(
        "_cw__getattr__(self, str name: str)\n\nGet attribute proxy method for OfficeJsObject.")
    assert com_like._cw__call__.__doc__.startswith(
        "_cw__call__(self, *args, **kwargs)\n\nCall proxy method for OfficeJsObject (Function type).")


def test_registered_under_full_name_with_spec_entries():
    assert sys.modules[FULL_NAME] is com_like
    assert sys.modules["com_like"] is com_like
    spec = com_like.__spec__
    assert com_like.__name__ == spec.name == "com_like"
    assert com_like.__loader__ is spec.loader and com_like.__file__ == spec.origin
    assert com_like.__package__ == spec.parent == ""
    assert not hasattr(com_like, "__path__")


def module_def_exec(module):
    """Runs the module definition's execute step on `module`."""
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    return api.PyModule_ExecDef(module, api.PyModule_GetDef(com_like))


def test_execute_step_guards():
    m = com_like.messaging
    assert module_def_exec(com_like) == 0  # the recorded module: nothing runs again
    assert com_like.messaging is m
    with pytest.raises(RuntimeError) as info:
        module_def_exec(types.ModuleType("com_like"))
    assert info.value.args == (
        "Module 'com_like' has already been imported. Re-initialisation is not supported.",)


def test_import_again_gives_the_same_module():
    m, excel, context = com_like.messaging, com_like.Excel, com_like.Context
    assert importlib.import_module("com_like") is com_like
    saved = sys.modules.pop("com_like")
    try:
        again = importlib.import_module("com_like")
        assert again is com_like
        assert again.messaging is m and again.Excel is excel and again.Context is context
        assert importlib.reload(com_like) is com_like
        assert com_like.messaging is m
    finally:
        sys.modules["com_like"] = saved


def test_body_runs_once_in_a_fresh_process():
    r = run_python("""
        import sys, com_like
        m = com_like.messaging
        del sys.modules["com_like"]
        import com_like as again
        assert again is sys.modules["veltrum_master.python_server.veltrum.com_like"]
        assert again.messaging is m
        print("ok")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_failed_import_then_good_one():
    r = run_python("""
        import sys, traceback
        sys.modules["numpy"] = None
        try:
            import com_like
        except ImportError as e:
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            print("failed", "numpy" in str(e), "init veltrum_master.python_server.veltrum.com_like" in names)
        else:
            print("imported")
        assert "com_like" not in sys.modules
        del sys.modules["numpy"]
        import com_like, numpy
        assert com_like.np is numpy
        assert com_like.Union._internal_id == 3
        assert com_like.Excel._msg_guid == com_like.messaging._guid
        assert sys.modules["veltrum_master.python_server.veltrum.com_like"] is not com_like  # first attempt's
        del sys.modules["com_like"]
        import com_like as again
        assert again is com_like
        print("ok")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["failed", "True", "True", "ok"]


def test_version_warning_only_on_another_version():
    r = run_python("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import com_like
        print(len([w for w in caught if issubclass(w.category, RuntimeWarning)]))
    """)
    assert r.returncode == 0, r.stderr
    # The test run uses the interpreter the module was built for.
    assert r.stdout.strip() == "0"


SUBINTERPRETER_PROBE = """
import sys
import com_like
try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        print("none")
        raise SystemExit(0)
out = sys.argv[1]
code = f'''
import sys
sys.path[:] = {sys.path!r}
try:
    import com_like
    result = "imported"
except BaseException as e:
    result = type(e).__name__ + ": " + str(e)
with open({out!r}, "w") as f:
    f.write(result)
'''
iid = interpreters.create()
interpreters.run_string(iid, code)
interpreters.destroy(iid)
print(open(out).read())
"""


def test_second_interpreter_is_refused(tmp_path):
    r = subprocess.run([sys.executable, "-c", SUBINTERPRETER_PROBE, str(tmp_path / "out.txt")],
                       capture_output=True, text=True, timeout=120)  # fmt: skip
    assert r.returncode == 0, r.stderr
    if r.stdout.strip() == "none":
        pytest.skip("no sub-interpreter support in this interpreter")
    assert r.stdout.strip() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


@pytest.mark.parametrize("name, doc", [
    ("reset", "Messaging.reset(self)\n\nReset the messaging state (e.g., when the connection is closed).\n\n"
              "Cancels all pending futures and generates a new GUID.\n\nThreading Note: This method should be called "
              "from the listener thread\nduring disconnect/reconnect. The locks ensure thread-safe cleanup."),
    ("register_callable",
     "Messaging.register_callable(self, callable_obj: Any) -> str\n\nRegister a Python callable and return its ID.\n\n"
     "Args:\n    callable_obj: The callable to register (function, lambda, method, etc.)\n\nReturns:\n    String ID "
     "that can be used to invoke the callable from Excel.\n    \nRaises:\n    TypeError: If callable_obj is not "
     "callable\n    \nThreading Note: This method is thread-safe due to _callable_lock.\nCan be called from any "
     "thread (worker or listener)."),
])  # fmt: skip
def test_full_method_docstrings(name, doc):
    assert getattr(com_like.Messaging, name).__doc__ == doc
