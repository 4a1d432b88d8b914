"""The shipped type stubs: they match the extension module at run time, and
mypy --strict uses them to check the whole API."""

import ast
import importlib.util
import inspect
import pathlib
import subprocess
import sys

import pytest

import quelbrand_kernels as qk

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "python" / "quelbrand_kernels-stubs" / "__init__.pyi"


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def test_stub_names_and_parameters_match_the_module():
    tree = stub_tree()
    stub_all = next(
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
    )
    assert stub_all == qk.__all__
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert set(functions) | set(classes) == set(qk.__all__)
    for name, node in functions.items():
        runtime = inspect.signature(getattr(qk, name)).parameters.values()
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in runtime)
        arguments = node.args
        assert not (
            arguments.posonlyargs or arguments.kwonlyargs or arguments.vararg or arguments.kwarg or arguments.defaults
        ), name
        assert [a.arg for a in arguments.args] == [p.name for p in runtime], name
    batch_iter = classes["XmlBatchIter"]
    assert [d.id for d in batch_iter.decorator_list] == ["final"]
    assert {"__iter__", "__next__"} <= {n.name for n in batch_iter.body if isinstance(n, ast.FunctionDef)}


def test_stub_package_is_installed_beside_the_module():
    # mypy finds the stubs only as an installed PEP 561 stub-only package.
    module = importlib.util.find_spec("quelbrand_kernels")
    site = pathlib.Path(module.origin).parent
    assert (site / "quelbrand_kernels-stubs" / "__init__.pyi").is_file()


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    pytest.importorskip("mypy")
    cache = tmp_path_factory.mktemp("mypy-cache")

    def check(*targets):
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *targets],
            capture_output=True,
            text=True,
            cwd=ROOT,
            timeout=600,
        )

    return check


@pytest.mark.parametrize("targets", [["examples/typed_api.py"], ["-p", "quelbrand"]])
def test_mypy_strict_passes(mypy, targets):
    result = mypy(*targets)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_uses_the_stubs(mypy, tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "import quelbrand_kernels as qk\n"
        "qk.count_xml_records(3)\n"
        "qk.XmlBatchIter()\n"
        "names: int = next(qk.stream_xml_file('f.xml', 10))[0]\n"
        "qk.keyed_uniforms(1, 'ns', [1, 2], draw=0)\n"
    )
    result = mypy(str(wrong))
    assert result.returncode == 1
    errors = [line.split(":")[1] for line in result.stdout.splitlines() if ": error:" in line]
    assert errors == ["2", "3", "4", "5"], result.stdout


def test_typed_example_runs():
    pytest.importorskip("pandas")
    pytest.importorskip("dask.dataframe")
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "typed_api.py")], capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
