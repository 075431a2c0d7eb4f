"""The type stub against the runtime module, and mypy --strict on the examples, a typed
program and a deliberately wrong one."""
import ast
import glob
import inspect
import os
import re
import shutil
import subprocess
import sys

import pytest

import velto_protocol as vp

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
STUB = os.path.join(ROOT, "python", "velto_protocol-stubs", "__init__.pyi")
CPYTHON_ONLY = pytest.mark.skipif(
    sys.implementation.name != "cpython",
    reason="PyPy hides builtin signatures; mypy is run once, by CPython")
# Added to the runtime by the serving-soundness work; the stub documents it already.
PENDING = {("ComSocketServer", "wait_disconnected")} - (
    {("ComSocketServer", "wait_disconnected")} if hasattr(vp.ComSocketServer, "wait_disconnected") else set())


def stub_classes():
    """{qualified name: ClassDef} of the stub's public classes, nested ones as A.B."""
    tree = ast.parse(open(STUB).read())
    out = {}

    def walk(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
                out[prefix + node.name] = node
                walk(node.body, prefix + node.name + ".")
    walk(tree.body, "")
    return tree, out


def members(cls_node):
    """{name: (kind, node)} of a stub class, kind one of property, staticmethod, method,
    class, attribute."""
    out = {}
    for node in cls_node.body:
        if isinstance(node, ast.FunctionDef):
            decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
            kind = "property" if "property" in decorators else (
                "staticmethod" if "staticmethod" in decorators else "method")
            out[node.name] = (kind, node)
        elif isinstance(node, ast.ClassDef):
            out[node.name] = ("class", node)
        elif isinstance(node, ast.AnnAssign):
            out[node.target.id] = ("attribute", node)
    return out


def stub_params(fn):
    """[(name, kind, has default)] of a stub function without its first (self) parameter."""
    a = fn.args
    kinds = ([(x.arg, "POSITIONAL_ONLY") for x in a.posonlyargs] +
             [(x.arg, "POSITIONAL_OR_KEYWORD") for x in a.args])
    defaults = [False] * (len(kinds) - len(a.defaults)) + [True] * len(a.defaults)
    params = [(n, k, d) for (n, k), d in zip(kinds, defaults)]
    params += [(x.arg, "KEYWORD_ONLY", d is not None) for x, d in zip(a.kwonlyargs, a.kw_defaults)]
    decorators = {d.id for d in fn.decorator_list if isinstance(d, ast.Name)}
    return params if "staticmethod" in decorators or fn.name == "on" and fn.col_offset == 0 else params[1:]


def runtime_params(obj):
    return [(p.name, p.kind.name, p.default is not p.empty) for p in inspect.signature(obj).parameters.values()]


@CPYTHON_ONLY
def test_stub_names_and_signatures_match_the_runtime():
    tree, classes = stub_classes()
    stub_all = next(ast.literal_eval(n.value) for n in tree.body
                    if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert stub_all == list(vp.__all__)
    top = {n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef)) and not n.name.startswith("_")}
    # WebSocketServer is a module attribute outside __all__.
    assert top == set(vp.__all__) | {"WebSocketServer"}
    on_node = next(n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == "on")
    assert stub_params(on_node) == runtime_params(vp.on)

    for qualname, node in classes.items():
        cls = vp
        for part in qualname.split("."):
            cls = getattr(cls, part)
        stub = members(node)
        runtime = {n for n in vars(cls) if not n.startswith("__")}
        assert set(stub) - {"__init__", "__eq__", "__ne__", "__int__", "__hash__", "__match_args__"} == \
            runtime | {m for c, m in PENDING if c == qualname}, qualname
        for name, (kind, member) in stub.items():
            if (qualname, name) in PENDING or name in ("__eq__", "__ne__", "__int__", "__hash__"):
                continue
            value = vars(cls)[name] if name in vars(cls) else getattr(cls, name)
            if kind == "property":
                assert type(value).__name__ == "getset_descriptor", (qualname, name)
            elif kind == "class":
                assert isinstance(value, type) and issubclass(value, cls), (qualname, name)
            elif kind == "attribute" and name == "__match_args__":
                assert (value is None) == ast.unparse(member.annotation).endswith("[None]"), qualname
            elif kind == "attribute":
                assert type(value) is cls, (qualname, name)
            else:
                if name == "__init__":
                    runtime_side = runtime_params(cls)
                elif kind == "staticmethod":
                    runtime_side = runtime_params(getattr(cls, name))
                else:
                    runtime_side = runtime_params(getattr(cls, name))[1:]  # its self
                assert stub_params(member) == runtime_side, (qualname, name)


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy --strict (Debian's, under /usr/bin/python3) on files with the stub and the
    companion package on its path: (exit code, output)."""
    if shutil.which("mypy") is None and not os.path.exists("/usr/lib/python3/dist-packages/mypy"):
        pytest.fail("mypy is not installed (scripts/install-deps.sh installs it)")
    work = tmp_path_factory.mktemp("mypy")
    shutil.copyfile(STUB, work / "velto_protocol.pyi")  # as installed beside the module

    def run(files):
        env = dict(os.environ, MYPYPATH=os.pathsep.join([str(work), os.path.join(ROOT, "python")]))
        r = subprocess.run(["/usr/bin/python3", "-m", "mypy", "--strict", "--no-error-summary",
                            "--cache-dir", str(work / "cache"), *files],
                           env=env, cwd=str(work), capture_output=True, text=True, timeout=300)
        return r.returncode, r.stdout + r.stderr
    return run


@CPYTHON_ONLY
def test_mypy_strict_accepts_the_examples_and_the_companion_package(mypy):
    files = sorted(glob.glob(os.path.join(ROOT, "examples", "*.py"))) + [os.path.join(ROOT, "python", "velto_tools")]
    assert os.path.join(ROOT, "examples", "robot.py") in files
    assert mypy(files) == (0, "")


@CPYTHON_ONLY
def test_mypy_strict_reports_each_wrong_use(mypy):
    path = os.path.join(os.path.dirname(__file__), "typing_wrong.py")
    expected = {(n, m.group(1)) for n, line in enumerate(open(path), 1)
                for m in [re.search(r"# E: ([a-z-]+)", line)] if m}
    rc, out = mypy([path])
    found = {(int(n), code) for n, code in re.findall(r"typing_wrong\.py:(\d+): error: .*\[([a-z-]+)\]$", out, re.M)}
    assert rc == 1 and len(expected) == 9
    assert found == expected, out
