#!/usr/bin/env bash
# Prints the path of a working Python 3.12 interpreter: python3.12 on PATH
# first, then the newest 3.12 under pyenv. Exits 1 with a message when none runs.
set -u
is312() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; }

candidates=()
if c=$(command -v python3.12 2>/dev/null); then candidates+=("$c"); fi
root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for c in $(ls -d "$root"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r); do
  candidates+=("$c")
done
if c=$(command -v python3 2>/dev/null); then candidates+=("$c"); fi

for c in "${candidates[@]}"; do
  if is312 "$c"; then echo "$c"; exit 0; fi
done
echo "error: no Python 3.12 found (looked for python3.12 on PATH and under pyenv in $root)." >&2
echo "       Install one, for example with 'pyenv install 3.12', then run make again." >&2
exit 1
