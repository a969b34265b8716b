"""The type stub ships with the module and matches it name for name and
parameter for parameter."""
import ast
import inspect
import os

import pytest

import com_like

SOURCE_STUB = os.path.join(os.path.dirname(__file__), "..", "python_server", "veltrum", "com_like", "com_like.pyi")
INSTALLED = os.path.dirname(com_like.__file__)


def stub_tree():
    with open(SOURCE_STUB) as f:
        return ast.parse(f.read())


def stub_names(tree):
    """Names the stub declares for the module. Imports and plain assignments
    bound to private names are the stub's own helpers."""
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update({t.id: node for t in node.targets if not t.id.startswith("_")})
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                bound = alias.asname or alias.name.split(".")[0]
                if not bound.startswith("_"):
                    names[bound] = node
    return names


def module_names():
    return {n for n in vars(com_like) if not (n.startswith("__") and n.endswith("__"))}


def params(fn_node):
    a = fn_node.args
    out = [p.arg for p in a.posonlyargs + a.args]
    if a.vararg:
        out.append("*" + a.vararg.arg)
    out += [p.arg for p in a.kwonlyargs]
    if a.kwarg:
        out.append("**" + a.kwarg.arg)
    return out


def runtime_params(fn):
    try:
        sig = inspect.signature(fn)
    except ValueError:  # module-level builtins: take the docstring's signature line
        line = fn.__doc__.splitlines()[0]
        inner = line[line.index("(") + 1 : line.rindex(")")]
        return [p.split(":")[0].split()[-1] for p in inner.split(", ")]
    kinds = {inspect.Parameter.VAR_POSITIONAL: "*", inspect.Parameter.VAR_KEYWORD: "**"}
    return [kinds.get(p.kind, "") + p.name for p in sig.parameters.values()]


def test_stub_and_marker_are_installed_next_to_the_module():
    installed = os.path.join(INSTALLED, "com_like.pyi")
    with open(installed) as a, open(SOURCE_STUB) as b:
        assert a.read() == b.read(), "installed stub is out of date: reinstall"
    assert os.path.exists(os.path.join(INSTALLED, "py.typed"))


def test_every_module_name_is_in_the_stub_and_back():
    declared = set(stub_names(stub_tree()))
    assert sorted(module_names() - declared) == []
    assert sorted(declared - module_names()) == []


def test_module_functions_have_their_real_parameters():
    names = stub_names(stub_tree())
    for name, node in names.items():
        if isinstance(node, ast.FunctionDef):
            assert params(node) == runtime_params(getattr(com_like, name)), name


@pytest.mark.parametrize(
    "cls",
    [c for c in vars(com_like).values() if isinstance(c, type) and c.__module__ == com_like.Messaging.__module__],
    ids=lambda c: c.__name__,
)
def test_class_members_match(cls):
    node = stub_names(stub_tree())[cls.__name__]
    assert isinstance(node, ast.ClassDef)
    stub_methods = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    runtime = {k: v for k, v in vars(cls).items() if callable(v) or isinstance(v, staticmethod)}
    assert list(stub_methods) == list(runtime)
    for name, fn in runtime.items():
        fn = fn.__func__ if isinstance(fn, staticmethod) else fn
        assert params(stub_methods[name]) == runtime_params(fn), name
        static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in stub_methods[name].decorator_list)
        assert static == isinstance(vars(cls)[name], staticmethod), name
    if issubclass(cls, BaseException):
        assert [ast.unparse(b) for b in node.bases] == [b.__name__ for b in cls.__bases__]
        return
    bases = {object: [], list: ["_t.List[Any]"], dict: ["Dict[Any, Any]"]}[cls.__base__]
    assert [ast.unparse(b) for b in node.bases] == bases


def test_instance_attributes_match():
    classes = {n.name: n for n in stub_tree().body if isinstance(n, ast.ClassDef)}
    for obj in (com_like.messaging, com_like.Excel, com_like.OfficeJsArray(1), com_like.OfficeJsDict(1),
                com_like.OfficeJsTransaction()):
        node = classes[type(obj).__name__]
        declared = {n.target.id for n in node.body if isinstance(n, ast.AnnAssign)}
        assert declared == set(vars(obj)), type(obj).__name__
