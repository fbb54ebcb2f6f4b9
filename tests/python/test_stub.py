"""The type stub installed beside quorle_ext agrees with the module."""

import ast
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import quorle_ext

REPO_STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "quorle_ext.pyi"


@pytest.fixture(scope="module")
def stub_path():
    path = pathlib.Path(quorle_ext.__file__).with_name("quorle_ext.pyi")
    assert path.is_file(), f"no stub installed beside {quorle_ext.__file__}"
    return path


@pytest.fixture(scope="module")
def stub_tree(stub_path):
    return ast.parse(stub_path.read_text(encoding="utf-8"))


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_installed_stub_is_the_repository_stub(stub_path):
    if not REPO_STUB.is_file():
        pytest.skip("not run from a source checkout")
    assert stub_path.read_bytes() == REPO_STUB.read_bytes()


def test_stubtest_passes(stub_path, tmp_path):
    # mypy refuses site-packages on its search path, so check a copy.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(stub_path, stubs / "quorle_ext.pyi")
    env = {**os.environ, "MYPYPATH": str(stubs)}
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quorle_ext"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success" in proc.stdout


def test_stub_names_match_the_module(stub_tree):
    top = {
        node.name
        for node in stub_tree.body
        if isinstance(node, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef))
    } | {
        target.id
        for node in stub_tree.body
        if isinstance(node, (ast.Assign, ast.AnnAssign))
        for target in (node.targets if isinstance(node, ast.Assign) else [node.target])
        if isinstance(target, ast.Name)
    }
    assert public(top) == public(vars(quorle_ext)) == {"Inf"}


def test_stub_class_names_match_the_class(stub_tree):
    (cls,) = [n for n in stub_tree.body if isinstance(n, ast.ClassDef) and n.name == "Inf"]
    in_stub = [n.name for n in cls.body if isinstance(n, ast.FunctionDef)]
    assert len(in_stub) == len(set(in_stub)), "a name is declared twice"
    # Single-underscore names are the engine's extras for the package: stubbed too.
    at_runtime = [
        n
        for n in vars(quorle_ext.Inf)
        if n == "__init__" or not (n.startswith("__") or n.startswith("_pybind11"))
    ]
    assert sorted(in_stub) == sorted(at_runtime)


def test_stub_properties_and_positional_parameters(stub_tree):
    (cls,) = [n for n in stub_tree.body if isinstance(n, ast.ClassDef) and n.name == "Inf"]
    for fn in (n for n in cls.body if isinstance(n, ast.FunctionDef)):
        decorators = {ast.unparse(d) for d in fn.decorator_list}
        is_property = isinstance(vars(quorle_ext.Inf)[fn.name], property)
        assert ("property" in decorators) == is_property, fn.name
        if fn.name.startswith("set_"):
            # Methods take no keywords at runtime; the stub must say so.
            assert [a.arg for a in fn.args.posonlyargs] == ["self", "arg0"], fn.name
            assert not fn.args.args, fn.name
