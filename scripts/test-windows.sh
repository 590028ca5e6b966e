#!/usr/bin/env bash
# Runs the Windows builds under Wine: the test suite on the sim backend, and
# the real flash-tool.exe, whose console output must match the transcripts
# in tests/windows/ byte for byte (CR LF line ends, nothing on stderr).
#   scripts/test-windows.sh [SIM_TESTS_BUILD_DIR] [EXE_BUILD_DIR]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
tests_dir=$(cd "${1:-$root/build-windows-sim-tests}" && pwd) || exit 1
exe_dir=$(cd "${2:-$root/build-windows}" && pwd) || exit 1
run="$root/scripts/wine-run.sh"
failures=0

echo "== test suite (sim backend) under Wine"
if (cd "$tests_dir" && "$run" --prefix "$tests_dir/wine-prefix" tests/ft_tests.exe </dev/null); then
  echo "PASS: ft_tests.exe"
else
  echo "FAIL: ft_tests.exe"; failures=$((failures + 1))
fi

echo "== flash-tool.exe under Wine"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# name, expected status, transcript, arguments
check() {
  local name=$1 want=$2 transcript=$3; shift 3
  (cd "$exe_dir" && "$run" --prefix "$exe_dir/wine-prefix" flash-tool.exe "$@" \
      </dev/null >"$tmp/$name.out" 2>"$tmp/$name.err")
  local status=$?
  # The build date and the invocation name vary; everything else is fixed.
  sed -E -e 's/\[Build Info: [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\]/[Build Info: DATE]/' \
         -e 's/^(Bad arguments\. Usage is )[A-Za-z]:\\[^ ]*flash-tool\.exe( \[-r\]\r)$/\1PROGRAM\2/' \
         "$tmp/$name.out" >"$tmp/$name.got"
  sed -e 's/$/\r/' "$root/tests/windows/$transcript" >"$tmp/$name.want"
  local ok=1
  [ "$status" -eq "$want" ] || { echo "  exit status $status, expected $want"; ok=0; }
  cmp -s "$tmp/$name.got" "$tmp/$name.want" || {
    echo "  standard output differs from tests/windows/$transcript:"
    diff <(cat -A "$tmp/$name.want") <(cat -A "$tmp/$name.got") | head -20; ok=0; }
  [ ! -s "$tmp/$name.err" ] || { echo "  unexpected standard error:"; head -5 "$tmp/$name.err"; ok=0; }
  if [ $ok -eq 1 ]; then echo "PASS: flash-tool.exe $*"; else echo "FAIL: flash-tool.exe $*"; failures=$((failures + 1)); fi
}
check usage 0 usage.txt -h -n
check no_device 1 no_device.txt -n

echo "== flash-tool.exe imports"
dlls=$(x86_64-w64-mingw32-objdump -p "$exe_dir/flash-tool.exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
echo "  $dlls"
for d in $dlls; do
  case $d in
    kernel32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-*|setupapi.dll|hid.dll|winusb.dll|advapi32.dll|user32.dll) ;;
    *) echo "FAIL: flash-tool.exe needs $d, which Windows does not ship"; failures=$((failures + 1)) ;;
  esac
done

[ $failures -eq 0 ] && echo "Windows tests: all passed" || echo "Windows tests: $failures failed"
[ $failures -eq 0 ]
