"""Builds the native XML core tests under AddressSanitizer and UBSan and runs them."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CXX = os.environ.get("CXX", "g++")


@pytest.fixture(scope="session")
def native_binary(tmp_path_factory):
    if shutil.which(CXX) is None:
        pytest.skip(f"no C++ compiler ({CXX}) to build the native tests")
    out = tmp_path_factory.mktemp("native") / "xml_core_tests"
    sources = sorted(str(p) for p in (ROOT / "tests" / "native").glob("*.cpp"))
    # The cores carry no Python: the numeric kernels and the whole XML subsystem
    # except its Python-facing files.
    sources += sorted(str(p) for p in (ROOT / "src").glob("kernels*.cpp"))
    sources += sorted(str(p) for p in (ROOT / "src" / "xmlstream").glob("*.cpp")
                      if not p.name.startswith("py_"))
    cmd = [CXX, "-std=c++20", "-O1", "-g", "-fsanitize=address,undefined",
           "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer",
           "-ffp-contract=off", f"-I{ROOT / 'src'}", f"-I{ROOT / 'tests' / 'native'}",
           *sources, "-o", str(out)]
    subprocess.run(cmd, check=True)
    return out


def test_native_xml_core(native_binary):
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    env.pop("LD_PRELOAD", None)
    proc = subprocess.run([str(native_binary)], capture_output=True, text=True,
                          env=env, cwd=ROOT, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
