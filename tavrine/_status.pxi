# SPDX-License-Identifier: BSD-3-Clause
# The one map from a core status to a Python exception, included by both
# bindings. `job` says what the call was doing ("cluster n=... points ..."),
# `domain` what the core asks of its arguments.

cdef extern from "tavrine.h":
    int TAVRINE_ERR_NOMEM
    int TAVRINE_ERR_ARGS


cdef inline int check_status(int status, str job, str domain="") except -1:
    """Raises MemoryError or ValueError for a negative core status."""
    if status >= 0:
        return 0
    if status == TAVRINE_ERR_NOMEM:
        raise MemoryError(f"not enough memory to {job}")
    if status == TAVRINE_ERR_ARGS:
        raise ValueError(f"cannot {job}" + (f" {domain}" if domain else ""))
    raise RuntimeError(f"the core failed to {job} (status {status})")
