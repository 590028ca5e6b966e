#!/usr/bin/env bash
# Packs dist/flash-tool-<version>-win64.zip: flash-tool.exe, the README and
# the note on binding WinUSB.   scripts/pack-windows.sh BUILD_DIR DIST_DIR
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
dist=$2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "pack-windows: no project version in $build" >&2; exit 1; }
name=flash-tool-$version-win64
stage=$build/$name
rm -rf "$stage"
mkdir -p "$stage" "$dist"
cp "$build/flash-tool.exe" "$stage/"
x86_64-w64-mingw32-strip "$stage/flash-tool.exe"
cp "$root/README.md" "$stage/README.md"
cp "$root/docs/windows.md" "$stage/WINDOWS.md"
dist_abs=$(cd "$dist" && pwd)
rm -f "$dist_abs/$name.zip"
(cd "$build" && zip -q -X -r "$dist_abs/$name.zip" "$name")
echo "packed $dist/$name.zip"
