"""Builds the native tests of the cores under AddressSanitizer and UBSan, from
the project's own CMake description, and runs them."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CXX = os.environ.get("CXX", "g++")


def _tool(name):
    # The test extra installs CMake and Ninja into the environment, whose
    # scripts directory need not be on PATH.
    beside = Path(sys.executable).parent / name
    return str(beside) if beside.exists() else shutil.which(name)


@pytest.fixture(scope="session")
def native_binary(tmp_path_factory):
    cmake = _tool("cmake")
    if shutil.which(CXX) is None or cmake is None:
        pytest.skip(f"no C++ compiler ({CXX}) or CMake to build the native tests")
    build = tmp_path_factory.mktemp("native-build")
    configure = [
        cmake,
        "-S",
        str(ROOT),
        "-B",
        str(build),
        f"-DCMAKE_CXX_COMPILER={CXX}",
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DQK_BUILD_EXTENSION=OFF",
        "-DQK_BUILD_TESTS=ON",
        "-DQK_SANITIZE=ON",
    ]
    ninja = _tool("ninja")
    if ninja:
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(
        [cmake, "--build", str(build), "--target", "qk_native_tests", "-j", "2"],
        check=True,
        stdout=subprocess.DEVNULL,
        timeout=1800,
    )
    return build / "qk_native_tests"


def test_native_cores(native_binary):
    env = dict(
        os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0", UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    )
    env.pop("LD_PRELOAD", None)
    proc = subprocess.run([str(native_binary)], capture_output=True, text=True, env=env, cwd=ROOT, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_cores_do_not_include_python():
    # The build refuses it too; this names the file when someone tries.
    offenders = []
    for path in (ROOT / "src").rglob("*"):
        if path.suffix not in {".h", ".cpp", ".inc"} or "py" in path.relative_to(ROOT / "src").parts[:-1]:
            continue
        text = path.read_text(encoding="utf-8")
        if "Python.h" in text or '"py/' in text:
            offenders.append(str(path.relative_to(ROOT)))
    assert offenders == []
