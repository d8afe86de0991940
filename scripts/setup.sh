#!/usr/bin/env bash
# Sets up a virtual environment with pinned dependencies from requirements.txt
# and builds and installs this package into it.  Safe to run again.
#
# MORVEL_PYTHON picks the CPython version (3.10, 3.11, 3.12 or 3.13; default
# 3.10).  3.10 uses .venv, any other version .venv-<version>.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
version="${MORVEL_PYTHON:-3.10}"
case "$version" in
  3.10|3.11|3.12|3.13) ;;
  *) echo "error: MORVEL_PYTHON=$version: supported versions are 3.10, 3.11, 3.12, 3.13" >&2
     exit 2 ;;
esac
if [ "$version" = 3.10 ]; then venv="$root/.venv"; else venv="$root/.venv-$version"; fi

is_version() {
  "$1" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" \
    2>/dev/null
}

find_python() {
  local candidates=()
  command -v "python$version" >/dev/null 2>&1 && candidates+=("$(command -v "python$version")")
  local pyenv_root="${PYENV_ROOT:-}"
  if [ -z "$pyenv_root" ] && command -v pyenv >/dev/null 2>&1; then
    pyenv_root=$(pyenv root)
  fi
  for dir in "$pyenv_root" "$HOME/.pyenv" /root/.pyenv; do
    [ -n "$dir" ] || continue
    for p in "$dir"/versions/"$version".*/bin/python"$version"; do
      [ -x "$p" ] && candidates+=("$p")
    done
  done
  for p in "${candidates[@]}"; do
    if is_version "$p"; then echo "$p"; return 0; fi
  done
  echo "error: no CPython $version found: looked for python$version on PATH and for" \
       "versions/$version.*/bin/python$version under \$PYENV_ROOT, \$(pyenv root) and ~/.pyenv" >&2
  return 1
}

if [ ! -x "$venv/bin/python" ] || ! is_version "$venv/bin/python"; then
  python=$(find_python)
  echo "setup: creating $(basename "$venv") with $python"
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi

pip=("$venv/bin/python" -m pip --disable-pip-version-check --no-input -q)
"${pip[@]}" install -r "$root/requirements.txt"
# The build uses the pinned build tools installed above.
"${pip[@]}" install --no-build-isolation --no-deps --force-reinstall "$root"
