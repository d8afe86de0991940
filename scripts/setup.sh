#!/usr/bin/env bash
# Sets up .venv (CPython 3.10, pinned dependencies from requirements.txt) and
# builds and installs this package into it.  Safe to run again.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv"

is_py310() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' 2>/dev/null; }

find_python() {
  local candidates=()
  command -v python3.10 >/dev/null 2>&1 && candidates+=("$(command -v python3.10)")
  local pyenv_root="${PYENV_ROOT:-}"
  if [ -z "$pyenv_root" ] && command -v pyenv >/dev/null 2>&1; then
    pyenv_root=$(pyenv root)
  fi
  for dir in "$pyenv_root" "$HOME/.pyenv" /root/.pyenv; do
    [ -n "$dir" ] || continue
    for p in "$dir"/versions/3.10.*/bin/python3.10; do
      [ -x "$p" ] && candidates+=("$p")
    done
  done
  for p in "${candidates[@]}"; do
    if is_py310 "$p"; then echo "$p"; return 0; fi
  done
  echo "error: no CPython 3.10 found: looked for python3.10 on PATH and for" \
       "versions/3.10.*/bin/python3.10 under \$PYENV_ROOT, \$(pyenv root) and ~/.pyenv" >&2
  return 1
}

if [ ! -x "$venv/bin/python" ] || ! is_py310 "$venv/bin/python"; then
  python=$(find_python)
  echo "setup: creating .venv with $python"
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi

pip=("$venv/bin/python" -m pip --disable-pip-version-check --no-input -q)
"${pip[@]}" install -r "$root/requirements.txt"
# The build uses the pinned build tools installed above.
"${pip[@]}" install --no-build-isolation --no-deps --force-reinstall --config-settings=cmake.define.MORVEL_WERROR=ON "$root"
