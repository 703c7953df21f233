#!/usr/bin/env bash
# Runs the boundary benchmarks under PyPy (NumPy 1.26) and then CPython (NumPy 2.x).
# Arguments go to bench/bench_boundary.py, e.g. --quick or a case-name filter.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

for env in pypy cpython; do
  if [ ! -x ".venv/$env/bin/python" ]; then
    echo "missing .venv/$env: run scripts/bootstrap.sh first" >&2
    exit 1
  fi
done

for env in pypy cpython; do
  ".venv/$env/bin/python" bench/bench_boundary.py "$@"
done
