#!/usr/bin/env bash
# The slow reliability checks: a 2^25-point cluster, many runs, every thread
# count, the sanitizer build and valgrind memcheck.
# Usage: .ci/heavy.sh VENV (a virtual environment with the test extra installed)
set -euo pipefail
cd "$(dirname "$0")/.."
venv="$(cd "${1:-.venv-test}" && pwd)"
(cd tests && TAVRINE_HEAVY=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider heavy)
bash .ci/sanitize.sh "$venv"
"$venv/bin/python" .ci/memcheck.py
