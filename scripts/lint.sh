#!/usr/bin/env bash
# Style checks, a few seconds: ruff on the Python code, clang-format on the C++
# sources.  `scripts/lint.sh --fix` rewrites the files instead of checking.
# The two linters are the versions pinned in requirements.txt, kept in their own
# small environment (.venv-lint) so that this needs no build.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

venv="$root/.venv-lint"
if [ ! -x "$venv/bin/python" ]; then
  python=$(command -v python3 || command -v python)
  "$python" -m venv "$venv"
fi
pins=$(grep -E '^(ruff|clang-format)==' requirements.txt)
# shellcheck disable=SC2086
"$venv/bin/python" -m pip --disable-pip-version-check --no-input -q install $pins

mapfile -t sources < <(find src -type f \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) | sort)

if [ "${1:-}" = "--fix" ]; then
  # Both fixers run, also when ruff leaves findings it cannot fix.
  "$venv/bin/clang-format" -i "${sources[@]}"
  "$venv/bin/ruff" check --fix .
  exit 0
fi

status=0
"$venv/bin/ruff" check . || status=1
"$venv/bin/clang-format" --dry-run --Werror "${sources[@]}" || status=1
if [ "$status" -ne 0 ]; then
  echo "lint: style check failed; bash scripts/lint.sh --fix rewrites the files" >&2
fi
exit "$status"
