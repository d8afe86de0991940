#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite.  MORVEL_PYTHON picks the
# CPython version, as for scripts/setup.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
version="${MORVEL_PYTHON:-3.10}"
if [ "$version" = 3.10 ]; then venv="$root/.venv"; else venv="$root/.venv-$version"; fi
cd "$root"
exec "$venv/bin/python" -m pytest -q "$@"
