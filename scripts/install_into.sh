#!/usr/bin/env bash
# Builds the four native libraries (as scripts/setup.sh does) and installs just
# them, no host layer, into an existing SDK tree: the folder that holds its
# `morvel` package.   Usage: bash scripts/install_into.sh /path/to/site-packages
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ $# -ne 1 ]; then
  echo "usage: bash scripts/install_into.sh TREE   (TREE holds the SDK's morvel package)" >&2
  exit 2
fi
"$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/scripts/install_into.py" "$1"
