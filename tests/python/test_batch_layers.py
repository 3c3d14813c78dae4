"""The shape of the batch package, checked from its source: its modules import each other one way only, imports
sit at the top of a module (but for the optional Dask libraries), no function grows past a screenful, and the
model names stay in the model registry."""

import ast
import re
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "src" / "velmora_batch"
SUBPACKAGES = ["formats"]


def module_name(path):
    """A module's name within the package: ``_records``, ``formats.parquet``; a sub-package's own
    ``__init__`` is the sub-package itself (``formats``)."""
    parts = list(path.relative_to(PACKAGE).with_suffix("").parts)
    if len(parts) > 1 and parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


MODULES = {module_name(path): ast.parse(path.read_text(), str(path))
           for path in sorted([*PACKAGE.glob("*.py"), *(p for s in SUBPACKAGES for p in (PACKAGE / s).glob("*.py"))])}
MODEL_NAMES = {"ZozuvUza", "MultiPMT"}
OPTIONAL = {"dask", "distributed", "uproot", "h5py", "matplotlib", "pandas"}  # imported where used, as they may be missing
MAX_FUNCTION_LINES = 80
MAX_MODEL_NAMES = 6


def package_imports(tree, name=""):
    """The package's modules that the module ``name`` imports at its top level (not under TYPE_CHECKING):
    relative imports resolved from the module's own sub-package (``from . import x`` in ``formats`` or in
    ``formats.parquet`` is ``formats.x``), each a module of the package (``formats.parquet``), or a
    sub-package (``formats``) where no module of it has that name."""
    here = name.split(".")[:-1] if name not in SUBPACKAGES else [name]
    found = set()
    for node in tree.body:
        if isinstance(node, ast.ImportFrom) and node.level >= 1:
            base = here[:len(here) - (node.level - 1)] if node.level - 1 <= len(here) else []
            module = [*base, *(node.module.split(".") if node.module else [])]
            for alias in node.names:  # a module imported by name, else a name from the module imported
                member = ".".join([*module, alias.name])
                found.add(member if member in MODULES else ".".join(module))
            if node.module:
                found.add(".".join(module))
        elif isinstance(node, ast.Try):  # an import guarded by try, such as an optional one
            found |= package_imports(ast.Module(body=node.body, type_ignores=[]), name)
    return {_module_of(n) for n in found} - {"", name}


def _module_of(name):
    """The module of the package that an imported name lies in: the longest prefix that is one."""
    parts = name.split(".")
    for n in range(len(parts), 0, -1):
        if ".".join(parts[:n]) in MODULES:
            return ".".join(parts[:n])
    return parts[0]


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
# The format registry (formats) imports nothing of the package, so that every module may look a format up; each
# format's own module lies above what it is made of.
LAYERS = ["_version", "_errors", "formats", "_models", "_seeding", "_detector", "_channels", "_stop", "_publish",
          "_records", "_formats", "_pes", "_links", "_tables", "formats.csv", "formats.hdf5", "formats.npz",
          "formats.parquet", "formats.root", "formats.reading", "_dataset", "formats.dataset", "formats.builtin",
          "_order", "_options", "_events", "_convert", "_inputs", "_jobs", "_executors", "_plan", "_sinks", "_run",
          "_calibrate", "_info", "cli", "internal", "__init__"]


def test_the_modules_import_each_other_one_way():
    graph = {name: package_imports(tree, name) for name, tree in MODULES.items()}
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


FILE_SUFFIX = re.compile(r"\.(parquet|npz|npy|root|h5|hdf5|csv)\b", re.IGNORECASE)


def docstrings(tree):
    """The docstring nodes of a module and of its classes and functions."""
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Module | ast.ClassDef | ast.FunctionDef | ast.AsyncFunctionDef) and node.body:
            first = node.body[0]
            if isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant):
                found.add(id(first.value))
    return found


def test_file_suffixes_stay_in_the_format_modules():
    # A file format is one module of the formats package: no other module names a suffix (its documentation may).
    literals = [f"{name}:{node.lineno}: {node.value[:40]!r}" for name, tree in MODULES.items()
                if not name.startswith("formats.") for doc in [docstrings(tree)] for node in ast.walk(tree)
                if isinstance(node, ast.Constant) and isinstance(node.value, str) and id(node) not in doc
                and FILE_SUFFIX.search(node.value)]
    assert literals == []


SCRIPTS = sorted([*(PACKAGE.parents[1] / "bench").glob("*.py"), *(PACKAGE.parents[1] / "tools").glob("*.py")])
PRIVATE = re.compile(r"velmora_batch\._|from velmora_batch import [^\n]*\b_[a-z]")


def test_benchmarks_and_tools_use_public_names_or_the_internal_module():
    # Code run in child processes is text inside the scripts: the scan reads the text, not only the imports.
    found = [f"{path.name}:{n}" for path in SCRIPTS for n, line in enumerate(path.read_text().splitlines(), 1)
             if PRIVATE.search(line)]
    assert SCRIPTS and found == []
