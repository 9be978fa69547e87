#!/usr/bin/env bash
# Builds tavrine in a fresh virtual environment and runs the whole test suite.
# Needs only python3 (3.10+) with venv, a C++17 compiler and access to PyPI.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${TAVRINE_TEST_VENV:-.venv-test}"
rm -rf "$venv"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q ".[test]"
# Run from outside the source tree so that the installed package is the one imported.
cd tests
exec "../$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" .
