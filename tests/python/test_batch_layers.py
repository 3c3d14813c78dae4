"""The shape of the batch package, checked from its source: its modules import each other one way only, imports
sit at the top of a module (but for the optional Dask libraries), no function grows past a screenful, and the
model names stay in the model registry."""

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "src" / "velmora_batch"
MODULES = {path.stem: ast.parse(path.read_text(), str(path)) for path in sorted(PACKAGE.glob("*.py"))}
MODEL_NAMES = {"ZozuvUza", "MultiPMT"}
OPTIONAL = {"dask", "distributed", "uproot", "h5py", "matplotlib", "pandas"}  # imported where used, as they may be missing
MAX_FUNCTION_LINES = 80
MAX_MODEL_NAMES = 6


def package_imports(tree):
    """The package's modules that a module imports at its top level (not under TYPE_CHECKING)."""
    found = set()
    for node in tree.body:
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            found |= {node.module} if node.module else {alias.name for alias in node.names}
        elif isinstance(node, ast.Try):  # an import guarded by try, such as an optional one
            found |= package_imports(ast.Module(body=node.body, type_ignores=[]))
    return {name.split(".")[0] for name in found}


def find_cycle(graph):
    """A cycle of ``graph`` (module -> imported modules) as a list of modules, or None."""
    state = {}

    def visit(node, path):
        state[node] = "open"
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                return path[path.index(nxt):] + [nxt]
            if nxt not in state and (cycle := visit(nxt, [*path, nxt])):
                return cycle
        state[node] = "done"
        return None

    for start in sorted(graph):
        if start not in state and (cycle := visit(start, [start])):
            return cycle
    return None


def functions(tree):
    return [node for node in ast.walk(tree) if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef)]


def code_lines(function):
    """The lines of a function from its signature to its end, less its docstring: documentation is no
    complexity."""
    lines = function.end_lineno - function.lineno + 1
    first = function.body[0]
    if isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant) and isinstance(first.value.value, str):
        lines -= first.end_lineno - first.lineno + 1
    return lines


# The package's modules from the bottom up: each imports only modules before it (and the compiled _core).
LAYERS = ["_version", "_errors", "_models", "_seeding", "_detector", "_channels", "_stop", "_publish", "_records", "_formats", "_pes", "_links", "_tables", "_dataset",
          "_order", "_options", "_events", "_convert", "_jobs", "_executors", "_plan", "_sinks", "_run", "_calibrate", "_info", "cli", "__init__"]


def test_the_modules_import_each_other_one_way():
    graph = {name: package_imports(tree) for name, tree in MODULES.items()}
    assert find_cycle(graph) is None
    assert sorted(LAYERS) == sorted(MODULES)
    upward = {name: sorted(graph[name] - {"_core"} - set(LAYERS[:LAYERS.index(name)])) for name in LAYERS}
    assert {name: up for name, up in upward.items() if up} == {}


@pytest.mark.parametrize("graph, cycle", [
    ({"a": {"b"}, "b": {"c"}, "c": set()}, None),
    ({"a": {"b"}, "b": {"c"}, "c": {"a"}}, ["a", "b", "c", "a"]),
    ({"a": {"a"}}, ["a", "a"]),
    ({"a": {"b", "c"}, "b": set(), "c": {"d"}, "d": {"c"}}, ["c", "d", "c"]),
], ids=["chain", "three", "self", "behind a branch"])
def test_the_cycle_finder_finds_cycles(graph, cycle):
    assert find_cycle(graph) == cycle


def test_imports_inside_functions_are_of_optional_libraries_only():
    inside = []
    for name, tree in MODULES.items():
        for function in functions(tree):
            for node in ast.walk(function):
                if isinstance(node, ast.Import):
                    roots = {alias.name.split(".")[0] for alias in node.names}
                elif isinstance(node, ast.ImportFrom):
                    roots = {"." if node.level else node.module.split(".")[0]}
                else:
                    continue
                if not roots <= OPTIONAL:
                    inside.append(f"{name}.{function.name}: {', '.join(sorted(roots))}")
    assert inside == []


def test_no_function_is_longer_than_a_screen():
    long = {f"{name}.{function.name}": code_lines(function)
            for name, tree in MODULES.items() for function in functions(tree)
            if code_lines(function) > MAX_FUNCTION_LINES}
    assert long == {}


def test_model_names_stay_in_the_model_registry():
    literals = [f"{name}:{node.lineno}" for name, tree in MODULES.items() if name != "_models"
                for node in ast.walk(tree)
                if isinstance(node, ast.Constant) and isinstance(node.value, str) and node.value in MODEL_NAMES]
    assert len(literals) <= MAX_MODEL_NAMES, literals
