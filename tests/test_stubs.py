"""zelk_core.pyi describes the module exactly: names, classes and attributes (mypy's stubtest),
and every signature, with its parameter names, order, annotations and defaults (compared with
the signature line pybind11 generates for each function)."""

import ast
import os
import re
import subprocess
import sys

import pytest

import zelk_core as z

HERE = os.path.dirname(os.path.abspath(__file__))
STUB = os.path.join(HERE, "..", "zelk_core.pyi")


def test_stubtest_finds_no_difference():
    out = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "zelk_core", "--allowlist",
         os.path.join(HERE, "stubtest_allowlist.txt")],
        capture_output=True, text=True, timeout=300, cwd=HERE)
    assert out.returncode == 0, out.stdout + out.stderr


def test_installed_stubs_are_the_project_stub():
    import site
    with open(STUB) as f:
        want = f.read()
    for base in site.getsitepackages():
        for rel in ("zelk_core.pyi", os.path.join("zelk_core-stubs", "__init__.pyi")):
            path = os.path.join(base, rel)
            if os.path.exists(path):
                with open(path) as f:
                    assert f.read() == want, path


def normalise(text):
    text = text.replace("'", '"')
    return re.sub(r"\b(typing|collections\.abc|zelk_core)\.", "", text)


def stub_signatures():
    """name -> normalised signature text, aliases expanded, for every function and method."""
    with open(STUB) as f:
        tree = ast.parse(f.read())
    aliases = {}
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            aliases[node.target.id] = node.value

    class Expand(ast.NodeTransformer):
        def visit_Name(self, node):
            return self.visit(aliases[node.id]) if node.id in aliases else node

    def render(fn, owner=None):
        params = []
        args = fn.args.args
        defaults = [None] * (len(args) - len(fn.args.defaults)) + fn.args.defaults
        for a, d in zip(args, defaults):
            ann = f"{owner}" if a.arg == "self" else ast.unparse(Expand().visit(a.annotation))
            params.append(f"{a.arg}: {ann}" + ("" if d is None else f" = {ast.unparse(d)}"))
        ret = ast.unparse(Expand().visit(fn.returns))
        return normalise(f"{fn.name}({', '.join(params)}) -> {ret}")

    sigs = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            sigs[node.name] = render(node)
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not any(
                        isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list):
                    sigs[f"{node.name}.{item.name}"] = render(item, owner=node.name)
    return sigs


def runtime_signatures():
    sigs = {}
    for name, obj in vars(z).items():
        if name.startswith("__"):
            continue
        if isinstance(obj, type):
            for meth in ("__init__", "fit"):
                doc = (getattr(vars(obj).get(meth), "__doc__", None) or "").strip()
                if doc.startswith(f"{meth}("):  # a constructor or method that pybind11 generated
                    sigs[f"{name}.{meth}"] = normalise(doc.splitlines()[0])
        else:
            sigs[name] = normalise(obj.__doc__.strip().splitlines()[0])
    return sigs


def test_every_signature_matches():
    stub, runtime = stub_signatures(), runtime_signatures()
    assert sorted(stub) == sorted(runtime)
    for name in runtime:
        assert stub[name] == runtime[name], name


def test_stub_carries_the_module_docstring_and_help_shows_signatures():
    with open(STUB) as f:
        assert ast.get_docstring(ast.parse(f.read())) == z.__doc__
    assert z.ols.__doc__.startswith("ols(X: ")


# Every function but gibbs_entropy (registered with the sampler) carries a text signature.
WITH_SIGNATURES = ["mad", "compute_sr", "mdl_score", "mdl_score_reg", "design_matrix_1d",
                   "smoothness_penalty_matrices_1d", "boundary_reduce_1d", "design_matrix_nd",
                   "build_penalty_matrices_nd", "ols", "fit_regularized_linear"]


@pytest.mark.parametrize("name", WITH_SIGNATURES)
def test_help_and_inspect_show_the_parameters(name):
    import inspect
    import pydoc
    fn = getattr(z, name)
    with open(STUB) as f:
        stub = next(node for node in ast.parse(f.read()).body
                    if isinstance(node, ast.FunctionDef) and node.name == name)
    args = stub.args.args
    defaults = [None] * (len(args) - len(stub.args.defaults)) + stub.args.defaults
    want = [(a.arg, inspect.Parameter.empty if d is None else ast.literal_eval(d))
            for a, d in zip(args, defaults)]
    params = inspect.signature(fn).parameters.values()
    assert [(p.name, p.default) for p in params] == want
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    # help() shows that signature, not "method of pybind11_builtins...", above pybind11's own line,
    # which stays the function's __doc__.
    text = pydoc.render_doc(fn, renderer=pydoc.plaintext)
    assert "pybind11_builtins" not in text
    body = "".join(text.split("\n", 2)[2].split())  # after the title; long signatures wrap
    assert body.startswith("".join(f"{name}{inspect.signature(fn)}{fn.__doc__[:12]}".split()))
    assert fn.__doc__.startswith(f"{name}({args[0].arg}: ")
    assert fn.__self__ is z and fn.__module__ == "zelk_core"
