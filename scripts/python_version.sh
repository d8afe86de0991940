# Sourced by the other scripts: picks the CPython version and finds it.
#
# MORVEL_PYTHON names the version (3.10, 3.11, 3.12 or 3.13; default 3.10).
# `venv_for VERSION` prints the project's virtual environment for it: .venv
# for 3.10, .venv-<version> otherwise.  `find_python VERSION` prints the path
# of that interpreter: python<version> on PATH, else a pyenv installation.

SUPPORTED_PYTHONS="3.10 3.11 3.12 3.13"

check_version_name() {
  case " $SUPPORTED_PYTHONS " in
    *" $1 "*) ;;
    *) echo "error: Python $1 is not supported; choose one of: $SUPPORTED_PYTHONS" >&2
       return 2 ;;
  esac
}

venv_for() {
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  if [ "$1" = 3.10 ]; then echo "$root/.venv"; else echo "$root/.venv-$1"; fi
}

is_version() {
  "$1" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$2'.split('.'))))" \
    2>/dev/null
}

find_python() {
  local version=$1 candidates=() pyenv_root="${PYENV_ROOT:-}"
  command -v "python$version" >/dev/null 2>&1 && candidates+=("$(command -v "python$version")")
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
    if is_version "$p" "$version"; then echo "$p"; return 0; fi
  done
  echo "error: no CPython $version found: looked for python$version on PATH and for" \
       "versions/$version.*/bin/python$version under \$PYENV_ROOT, \$(pyenv root) and ~/.pyenv" >&2
  return 1
}

# The pins a project environment installs: requirements.txt without its
# benchmark block, which only the benchmarks need.
environment_pins() {
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  sed '/^# -- Benchmark extras/,$d' "$root/requirements.txt"
}
