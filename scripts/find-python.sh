#!/usr/bin/env bash
# Prints the path of a working Python interpreter of the version asked for.
#
#   scripts/find-python.sh [WANT]
#
# WANT is a version (3.13), a command named after one (python3.13) or the path of an
# interpreter; 3.12 by default. For a version: python3.X on PATH first, then the newest
# 3.X under pyenv, then python3 on PATH; the first that runs and is 3.X wins (a pyenv
# shim for a version that pyenv has not enabled does not run). A path is taken as it is,
# once it runs. Exits 1 with a message when none runs.
set -u
want=${1:-3.12}

if [[ $want == */* ]]; then
  if "$want" -c 'import sys' >/dev/null 2>&1; then echo "$want"; exit 0; fi
  echo "error: $want does not run as a Python interpreter." >&2
  exit 1
fi

version=${want#python}
if ! [[ $version =~ ^3\.[0-9]+$ ]]; then
  echo "error: '$want' is neither a version such as 3.13 or python3.13 nor a path." >&2
  exit 1
fi
# 3.13 reads as the tuple (3, 13) once its dot is a comma.
is_wanted() {
  "$1" -c "import sys; sys.exit(sys.version_info[:2] != (${version/./, }))" >/dev/null 2>&1
}

candidates=()
if c=$(command -v "python$version" 2>/dev/null); then candidates+=("$c"); fi
root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for c in $(ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null \
           | sort -V -r); do
  candidates+=("$c")
done
if c=$(command -v python3 2>/dev/null); then candidates+=("$c"); fi

for c in "${candidates[@]}"; do
  if is_wanted "$c"; then echo "$c"; exit 0; fi
done
echo "error: no Python $version found (looked for python$version on PATH and" \
     "under pyenv in $root)." >&2
echo "       Install one, for example with 'pyenv install $version', then run make again." >&2
exit 1
