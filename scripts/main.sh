#!/usr/bin/env bash
# Sets everything up, then runs the main job: the `morvel` program against the
# stand-in host layer.  Settings go to a throw-away folder, not the user's.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/python_version.sh"
"$root/scripts/setup.sh"
export PATH="$(venv_for "${MORVEL_PYTHON:-3.10}")/bin:$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MORVEL_CONFIG_DIR="$work/config"

run() { echo; echo "\$ $*"; "$@" || echo "(exit status $?)"; }
run morvel --help
run morvel update-data --help
run morvel update-data -d "$work/data" --base
run morvel license -u demo -p secret
run morvel license --show
run morvel check-data --help
run morvel check-data -d "$work/data"

# The libraries at work: resampling synthetic futures bars and a tagged JSON
# round trip, with timings.
run python "$root/scripts/demo.py"
