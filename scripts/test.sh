#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite.  MORVEL_PYTHON picks the
# CPython version, as for scripts/setup.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/python_version.sh"
"$root/scripts/setup.sh"
venv=$(venv_for "${MORVEL_PYTHON:-3.10}")
cd "$root"
exec "$venv/bin/python" -m pytest -q "$@"
