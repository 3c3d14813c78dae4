"""The typed face of the module: the stubs ship with the wheel, and the typed usage sample runs as it type-checks
(the test command checks it with mypy --strict; here its calls, including those the stubs reject, meet the module)."""

import ast
import importlib.metadata
import os
import runpy
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.skipif("VELMORA_EXPECT_MODULE_DIR" in os.environ, reason="the module under test is a build tree, not the wheel")
def test_the_wheel_installs_the_current_stubs():
    dist = importlib.metadata.distribution("velmora")
    stubs = [f for f in dist.files or [] if f.parts[0] == "velmora-stubs"]
    assert [f.name for f in stubs] == ["__init__.pyi"]
    installed = Path(dist.locate_file(stubs[0])).read_text()
    assert installed == (ROOT / "velmora-stubs" / "__init__.pyi").read_text(), "reinstall: the stubs changed"


@pytest.mark.parametrize("sample", ["usage.py", "batch_usage.py"])
def test_typed_usage_sample_runs(sample):
    runpy.run_path(str(ROOT / "tests" / "typing" / sample), run_name="__main__")


# velmora_batch._core: stubtest checks its names against _core.pyi, but cannot see the signatures of compiled
# functions. The binding library writes each one as the first line of its docstring; the package calls them by
# keyword, so the stub's parameter names must be the module's.
CORE_STUB = ROOT / "src" / "velmora_batch" / "_core.pyi"


def _stub_parameters():
    """Parameter names of every function and method of the stub, by qualified name; a class lists the methods
    it inherits from the stub's other classes."""
    tree = ast.parse(CORE_STUB.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}

    def names(function):
        args = function.args
        return [a.arg for a in [*args.posonlyargs, *args.args, *args.kwonlyargs]]

    def methods(cls):
        out = {}
        for base in cls.bases:
            if isinstance(base, ast.Name) and base.id in classes:
                out.update(methods(classes[base.id]))
        for node in cls.body:
            if isinstance(node, ast.FunctionDef) and not any(
                    isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list):
                out[node.name] = names(node)
        return out

    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = names(node)
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            found.update({f"{node.name}.{m}": n for m, n in methods(node).items()})
    return found


def _runtime_parameters(function):
    """Parameter names from the signature that opens a compiled function's docstring."""
    line = function.__doc__.lstrip().splitlines()[0]
    inside = line[line.index("(") + 1 : line.rindex(") ->")]
    names, depth, start = [], 0, 0
    for i, char in enumerate(inside + ","):
        depth += char in "[("
        depth -= char in "])"
        if char == "," and depth == 0:
            if inside[start:i].strip():
                names.append(inside[start:i].split(":")[0].strip())
            start = i + 1
    return names


STUB_PARAMETERS = _stub_parameters()


def test_the_core_stub_lists_the_functions_the_package_calls():
    assert {"read_spectrum", "ZozuvUzaEngine.simulate", "MultiPMTEngine.__init__", "CancelFlag.set"} <= set(
        STUB_PARAMETERS)


@pytest.mark.parametrize("name", sorted(STUB_PARAMETERS))
def test_core_stub_signatures_name_the_modules_parameters(name):
    from velmora_batch import _core

    target = _core
    for part in name.split("."):
        target = getattr(target, part)
    assert STUB_PARAMETERS[name] == _runtime_parameters(target)
