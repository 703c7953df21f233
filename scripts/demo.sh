#!/usr/bin/env bash
# The main job, for now: fingerprint every tracked text file of a repository with the native
# module under PyPy (default: this repository). Sets up whatever is missing first.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ENVIRONMENTS=pypy bash "$root/scripts/bootstrap.sh"
exec "$root/.venv/pypy/bin/python" "$root/examples/hash_repository.py" "${1:-$root}"
