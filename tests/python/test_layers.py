"""The package's layers: each module imports only from its own layer or those below it, no
module is part of an import cycle (function-level imports included), and the console script
the project declares is the command."""

from __future__ import annotations

import ast
import pathlib
import tomllib
from importlib import import_module

import pytest

import quorle

PACKAGE = pathlib.Path(quorle.__file__).parent
PYPROJECT = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
# Bottom to top, as the pipeline runs.
LAYERS = ["engine", "inference", "sql", "loading", "command"]


def module_name(path: pathlib.Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imported(path: pathlib.Path) -> set[str]:
    """The package's modules (or subpackages) that the file imports, anywhere in it."""
    name = module_name(path)
    package = name if path.stem == "__init__" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found |= {a.name for a in node.names if a.name.split(".")[0] == "quorle"}
        elif isinstance(node, ast.ImportFrom) and node.level:
            base = package.split(".")[: len(package.split(".")) - node.level + 1]
            target = ".".join([*base, *([node.module] if node.module else [])])
            for alias in node.names:
                submodule = f"{target}.{alias.name}"
                is_module = (PACKAGE.parent / (submodule.replace(".", "/") + ".py")).exists()
                found.add(submodule if is_module else target)
        elif isinstance(node, ast.ImportFrom) and (node.module or "").split(".")[0] == "quorle":
            found.add(node.module)
    return found


GRAPH = {module_name(p): imported(p) for p in sorted(PACKAGE.rglob("*.py"))}
LAYERED = sorted(m for m in GRAPH if m.count(".") >= 1 and m.split(".")[1] in LAYERS)


def layer(module: str) -> int | None:
    parts = module.split(".")
    return LAYERS.index(parts[1]) if len(parts) > 1 and parts[1] in LAYERS else None


def reachable(start: str) -> set[str]:
    seen, todo = set(), [start]
    while todo:
        for target in GRAPH.get(todo.pop(), ()):
            if target not in seen:
                seen.add(target)
                todo.append(target)
    return seen


def test_every_layer_holds_modules():
    assert {layer(m) for m in LAYERED} == set(range(len(LAYERS)))


@pytest.mark.parametrize("module", LAYERED)
def test_a_module_imports_only_its_own_layer_and_those_below(module):
    above = {t for t in GRAPH[module] if layer(t) is None or layer(t) > layer(module)}
    assert above == set(), f"{module} imports from above its layer"


@pytest.mark.parametrize("module", sorted(GRAPH))
def test_no_module_is_in_an_import_cycle(module):
    assert module not in reachable(module)


def test_the_console_script_is_the_command(capsys):
    target = tomllib.loads(PYPROJECT.read_text())["project"]["scripts"]["quorle"]
    module, _, attribute = target.partition(":")
    main = getattr(import_module(module), attribute)
    with pytest.raises(SystemExit) as ended:
        main(["--version"])
    assert ended.value.code == 0
    assert capsys.readouterr().out.startswith("quorle ")
