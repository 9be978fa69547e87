"""The installed package: exported symbols, bundled OpenBLAS, import behaviour."""
import ctypes
import importlib.util
import os
import re
import subprocess
import sys
import types

import numpy as np
import pytest

import tavrine
from tavrine import viza_


def _defined(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                         check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if " T " in line}


def test_the_core_lives_in_one_shared_object_reachable_through_viza_():
    header = os.path.join(tavrine.get_include(), "tavrine.h")
    names = set(re.findall(r"^TAVRINE_API\b[^;(]*?(\w+)\(", open(header).read(), re.M))
    assert len(names) > 50
    here = os.path.dirname(viza_.__file__)
    holders = [f for f in os.listdir(here) if f.endswith(".so") and "openblas" not in f
               and names & _defined(os.path.join(here, f))]
    assert holders == ["libtavrine_core.so"]
    missing = names - _defined(os.path.join(here, "libtavrine_core.so"))
    assert not missing, sorted(missing)
    lib = ctypes.CDLL(viza_.__file__)  # dlsym searches the module's dependencies too
    assert all(hasattr(lib, name) for name in names)


def test_openblas_is_bundled_and_found_by_origin():
    here = os.path.dirname(viza_.__file__)
    assert os.path.exists(os.path.join(here, "libscipy_openblas.so"))
    dyn = subprocess.run(["readelf", "-d", viza_.__file__], capture_output=True, text=True).stdout
    runpath = re.findall(r"R(?:UN)?PATH.*\[(.*)\]", dyn)
    assert runpath == ["$ORIGIN"]
    maps = open("/proc/self/maps").read()
    assert os.path.join(here, "libscipy_openblas.so") in maps


def test_scipy_blas_and_ours_work_side_by_side():
    linalg = pytest.importorskip("scipy.linalg")
    rng = np.random.default_rng(0)
    a = rng.standard_normal((300, 200)).astype(np.float32)
    b = rng.standard_normal((200, 100)).astype(np.float32)
    np.testing.assert_allclose(linalg.blas.sgemm(1.0, a, b), a.astype(np.float64) @ b,
                               rtol=1e-4, atol=1e-3)
    X = np.vstack([rng.normal(0, 1, (200, 4)), rng.normal(20, 1, (200, 4))]).astype(np.float32)
    y = np.empty(400, np.int32)
    it = viza_.zozid_py(X, X[[0, 300]].copy(), y, np.zeros(150, np.int64), np.zeros(4, np.int64), 0)
    assert it == 2 and np.array_equal(y, np.repeat([0, 1], 200))
    np.testing.assert_allclose(linalg.blas.sgemm(1.0, a, b), a.astype(np.float64) @ b,
                               rtol=1e-4, atol=1e-3)


def test_module_namespace():
    assert viza_.np is np
    assert viza_.__test__ == {}
    assert set(viza_.zozid_py.__signatures__) == {"float", "double"}


def test_reinitialisation_is_refused():
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    module_def = api.PyModule_GetDef(viza_)
    assert api.PyModule_ExecDef(viza_, module_def) == 0  # same module object: nothing
    with pytest.raises(RuntimeError, match=r"^Module 'viza_' has already been imported\. "
                                           r"Re-initialisation is not supported\.$"):
        api.PyModule_ExecDef(types.ModuleType("tavrine.viza_"), module_def)
    # Loading through the import machinery again hands back the same module.
    found = importlib.util.spec_from_file_location("tavrine.viza_", viza_.__file__)
    assert importlib.util.module_from_spec(found) is viza_


def test_import_runs_without_environment_help():
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_", "PYTHON"))}
    code = "import tavrine.viza_ as m; print(m.zozid_py.__name__)"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         cwd="/", check=True)
    assert out.stdout.strip() == "zozid_py"
