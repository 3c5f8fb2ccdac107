#!/usr/bin/env bash
# Prints the path of a Python 3.13 interpreter: python3.13 on PATH when it
# really runs (a pyenv shim may refuse while another version is global),
# otherwise the newest 3.13 under pyenv, otherwise the usual system places.
set -u
works() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }
candidates=()
command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root 2>/dev/null); else root=${PYENV_ROOT:-$HOME/.pyenv}; fi
for p in $(ls -d "$root"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -rV); do candidates+=("$p"); done
candidates+=(/usr/local/bin/python3.13 /usr/bin/python3.13)
for c in "${candidates[@]}"; do
  if works "$c"; then echo "$c"; exit 0; fi
done
echo "find-python: no working Python 3.13 found (PATH, pyenv, /usr/local/bin, /usr/bin)" >&2
exit 1
