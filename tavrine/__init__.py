"""tavrine: exact k-means (Lloyd) for float32 data, pruned with drift bounds.

The numeric core is C++ with AVX2/FMA kernels, OpenMP threads and OpenBLAS.
``tavrine.KMeans`` is the scikit-learn-style estimator; ``tavrine.viza_.zozid_py``
is the core's raw entry point.
"""

import os as _os

from . import viza_  # noqa: F401  refuses to import on a processor without AVX2/FMA

__version__ = "0.1.0"

__all__ = ["KMeans", "kmeans_plusplus", "get_include", "__version__"]


def __getattr__(name):
    # The estimator (and scikit-learn behind it) loads on first use, so the
    # command line answers --version and bad arguments without that import.
    if name in ("KMeans", "kmeans_plusplus"):
        from . import _kmeans

        return getattr(_kmeans, name)
    raise AttributeError(f"module 'tavrine' has no attribute {name!r}")


def get_include() -> str:
    """Return the folder that holds the installed C header ``tavrine.h``.

    Returns
    -------
    str
        Absolute path of the include folder.
    """
    return _os.path.join(_os.path.dirname(__file__), "include")
