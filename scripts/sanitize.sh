#!/usr/bin/env bash
# Runs the native unit tests and the Python suite (CPython) against AddressSanitizer and
# UndefinedBehaviorSanitizer builds. Slower than scripts/test.sh and not part of it; run it after
# touching reference handling, the converters or the worker pool.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
ENVIRONMENTS=cpython bash scripts/bootstrap.sh  # Debian packages and build tools

flags="-fsanitize=address,undefined -fno-omit-frame-pointer"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== native unit tests (ASan, UBSan, LeakSanitizer)"
cmake -S . -B build/sanitize-native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_BUILD_MODULE=OFF -DVANTREL_BUILD_TESTS=ON \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build build/sanitize-native
build/sanitize-native/vantrel_native_tests --gtest_brief=1

echo "== Python suite on an instrumented module (ASan, UBSan)"
venv=.venv/sanitize
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    "numpy>=2,<3" "pytest>=7" "scikit-build-core>=0.10" wheel
fi
CFLAGS="$flags" CXXFLAGS="$flags" LDFLAGS="$flags" "$venv/bin/python" -m pip install -q \
  --disable-pip-version-check --no-build-isolation --no-deps --force-reinstall \
  -Cbuild-dir=build/sanitize-module -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.VANTREL_BUILD_PROBE=ON .
# The interpreter itself is not instrumented: preload the runtimes, and leave leak checking to
# the native tests (the interpreter keeps memory until exit by design).
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@"
