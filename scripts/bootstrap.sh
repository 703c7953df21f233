#!/usr/bin/env bash
# Makes a fresh machine ready: Debian packages, the virtual environments with their Python
# packages, and the extension module built into each. Safe to run again: it only does what is
# missing, and the builds are incremental. Downloads and objects are cached outside the work tree
# (pip's cache, ccache).
#
# Environments: .venv/pypy (Debian's pypy3, NumPy 1.26) and .venv/cpython (the machine's python3,
# NumPy 2.x) are the main pair; .venv/pypy-numpy2 and .venv/cpython-numpy1 swap the NumPy majors
# so that both majors are tested under both interpreters.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

TOOLS=("pytest>=7" "scikit-build-core>=0.10" "wheel")
NUMPY1="numpy==1.26.4"
NUMPY2="numpy>=2,<3"  # PyPy 3.9 gets 2.0.x, the last NumPy with builds for it
APT_PACKAGES=(pypy3 pypy3-dev pypy3-venv python3-dev python3-venv g++ cmake ninja-build ccache pkg-config
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
# ENVIRONMENTS selects a subset (the demo needs only pypy); the default is all four.
ENVIRONMENTS=${ENVIRONMENTS:-"pypy cpython pypy-numpy2 cpython-numpy1"}
for env in $ENVIRONMENTS; do
  case $env in
    pypy) make_venv "$root/.venv/$env" pypy3 "$NUMPY1" "${TOOLS[@]}" ;;
    cpython) make_venv "$root/.venv/$env" python3 "$NUMPY2" "${TOOLS[@]}" ;;
    pypy-numpy2) make_venv "$root/.venv/$env" pypy3 "$NUMPY2" "${TOOLS[@]}" ;;
    cpython-numpy1) make_venv "$root/.venv/$env" python3 "$NUMPY1" "${TOOLS[@]}" ;;
    *) log "unknown environment $env"; exit 2 ;;
  esac
  build_module "$root/.venv/$env"
done
