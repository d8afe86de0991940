#!/usr/bin/env bash
# Sets up a virtual environment with pinned dependencies from requirements.txt
# and builds and installs this package into it.  Safe to run again.
#
# MORVEL_PYTHON picks the CPython version: 3.10 (the default, in .venv), 3.11,
# 3.12 or 3.13 (in .venv-<version>).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/python_version.sh"
version="${MORVEL_PYTHON:-3.10}"
check_version_name "$version"
venv=$(venv_for "$version")

if [ ! -x "$venv/bin/python" ] || ! is_version "$venv/bin/python" "$version"; then
  python=$(find_python "$version")
  echo "setup: creating $(basename "$venv") with $python"
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi

pip=("$venv/bin/python" -m pip --disable-pip-version-check --no-input -q)
"${pip[@]}" install -r <(environment_pins)
# The build uses the pinned build tools installed above.
"${pip[@]}" install --no-build-isolation --no-deps --force-reinstall --config-settings=cmake.define.MORVEL_WERROR=ON "$root"
