#!/usr/bin/env bash
# Builds the four modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into .venv-sanitize and runs the whole test suite there, with the sanitizer
# runtimes preloaded into the interpreter.  Fails on a test failure and on any
# sanitizer report, also one from a child process whose exit a test expected.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/python_version.sh"
"$root/scripts/setup.sh"   # the pinned interpreter and dependencies, in .venv
venv="$root/.venv-sanitize"
base=$("$root/.venv/bin/python" -c 'import sys; print(sys._base_executable)')
if [ ! -x "$venv/bin/python" ]; then
  "$base" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip --disable-pip-version-check --no-input -q)
"${pip[@]}" install -r <(environment_pins)

flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
"${pip[@]}" install --no-build-isolation --no-deps --force-reinstall \
  --config-settings=build-dir=build/sanitize --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings=cmake.define.MORVEL_WERROR=ON \
  --config-settings="cmake.define.CMAKE_CXX_FLAGS=$flags" \
  --config-settings="cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" \
  "$root"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# The interpreter itself is not built for leak checking; numpy probes huge
# allocations and expects a null; tests that set LD_PRELOAD in a child keep
# the runtime first only by luck of the order.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:verify_asan_link_order=0:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
export PYTHONMALLOC=malloc   # object memory through malloc, where ASan sees it
# The kernel's own unit tests are compiled with the same checks.
export MORVEL_NATIVE_TEST_FLAGS="$flags"
export MORVEL_SANITIZED=1

cd "$root"
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
if compgen -G "$logs/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  cat "$logs"/* >&2
  exit 1
fi
exit "$status"
