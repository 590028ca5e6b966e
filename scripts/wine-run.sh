#!/usr/bin/env bash
# Runs a Windows program under Wine with a quiet, self-contained prefix.
#   scripts/wine-run.sh [--prefix DIR] PROGRAM.exe [ARG...]
# The prefix defaults to $WINEPREFIX, else ./wine-prefix. It is created on
# first use with its output discarded; no GUI, no Mono or Gecko prompts.
set -eu

prefix=${WINEPREFIX:-$PWD/wine-prefix}
if [ "${1:-}" = "--prefix" ]; then
  prefix=$2
  shift 2
fi
[ $# -ge 1 ] || { echo "usage: $0 [--prefix DIR] PROGRAM.exe [ARG...]" >&2; exit 2; }

wine=${WINE:-}
if [ -z "$wine" ]; then
  for w in wine64 /usr/lib/wine/wine64 wine; do
    if command -v "$w" >/dev/null 2>&1; then wine=$w; break; fi
  done
fi
[ -n "$wine" ] || { echo "wine-run: no wine64 found (scripts/install-deps.sh windows)" >&2; exit 127; }

export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY

if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  # One creator at a time when tests start in parallel.
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    "$wine" wineboot --init >/dev/null 2>&1 || true
    wineserver=$(dirname "$(command -v "$wine")")/wineserver
    [ -x "$wineserver" ] || wineserver=wineserver
    "$wineserver" -w >/dev/null 2>&1 || true
  fi
  flock -u 9
  exec 9>&-
fi

exec "$wine" "$@"
