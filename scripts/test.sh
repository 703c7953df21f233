#!/usr/bin/env bash
# Runs every test: the native unit tests, then the Python suite in every environment (PyPy and
# CPython, each with NumPy 1.26 and 2.x). Sets up whatever is missing first.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh

echo "== native unit tests"
cmake -S . -B build/native-tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVANTREL_BUILD_MODULE=OFF -DVANTREL_BUILD_TESTS=ON -DVANTREL_WERROR=ON >/dev/null
cmake --build build/native-tests
build/native-tests/vantrel_native_tests --gtest_brief=1

status=0
for env in pypy cpython pypy-numpy2 cpython-numpy1; do
  echo "== Python tests under $env"
  ".venv/$env/bin/python" -c 'import sys, numpy; print(sys.version.split()[0], sys.implementation.name, "numpy", numpy.__version__)'
  ".venv/$env/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@" || status=1
done
exit $status
