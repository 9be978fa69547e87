"""tavrine: exact k-means (Lloyd) for float32 data, pruned with angle bounds.

The numeric core is C++ with AVX2/FMA kernels, OpenMP threads and OpenBLAS.
``tavrine.KMeans`` is the scikit-learn-style estimator; ``tavrine.viza_.zozid_py``
is the core's raw entry point.
"""

import os as _os

__version__ = "0.1.0"

from ._kmeans import KMeans, kmeans_plusplus  # noqa: E402

__all__ = ["KMeans", "kmeans_plusplus", "get_include", "__version__"]


def get_include():
    """Return the folder that holds the installed C header ``tavrine.h``.

    Returns
    -------
    str
        Absolute path of the include folder.
    """
    return _os.path.join(_os.path.dirname(__file__), "include")
