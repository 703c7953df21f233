#!/usr/bin/env bash
# Makes a fresh machine ready: Debian packages, the two virtual environments (.venv/pypy from
# Debian's pypy3, .venv/cpython from the machine's python3) with their Python packages, and the
# extension module built into both. Safe to run again: it only does what is missing, and the
# builds are incremental. Downloads are cached outside the work tree (pip's cache, ccache).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# NumPy 1.26 under PyPy, NumPy 2.x under CPython: both majors are exercised in every run.
PYPY_PACKAGES=("numpy==1.26.4" "pytest>=7" "scikit-build-core>=0.10" "wheel")
CPYTHON_PACKAGES=("numpy>=2,<3" "pytest>=7" "scikit-build-core>=0.10" "wheel")
APT_PACKAGES=(pypy3 pypy3-dev pypy3-venv python3-venv g++ cmake ninja-build ccache pkg-config
              libssl-dev libgtest-dev)

log() { printf '[bootstrap] %s\n' "$*" >&2; }

install_debian_packages() {
  local missing=() pkg
  for pkg in "${APT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
      || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# make_venv DIR INTERPRETER PACKAGES...
make_venv() {
  local dir=$1 interpreter=$2 stamp
  shift 2
  stamp="$dir/.vantrel-packages"
  if [ ! -x "$dir/bin/python" ]; then
    log "creating $dir with $interpreter"
    "$interpreter" -m venv "$dir"
  fi
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$*" ]; then
    log "installing into $dir: $*"
    "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
    "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@"
    printf '%s' "$*" > "$stamp"
  fi
}

build_module() {
  local dir=$1
  log "building vantrel_native into $dir"
  "$dir/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    --no-deps --force-reinstall -Ccmake.define.VANTREL_WERROR=ON \
    -Ccmake.define.VANTREL_BUILD_PROBE=ON "$root"
}

install_debian_packages
make_venv "$root/.venv/pypy" pypy3 "${PYPY_PACKAGES[@]}"
make_venv "$root/.venv/cpython" python3 "${CPYTHON_PACKAGES[@]}"
build_module "$root/.venv/pypy"
build_module "$root/.venv/cpython"
