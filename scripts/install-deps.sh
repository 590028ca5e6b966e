#!/usr/bin/env bash
# Installs the Debian packages a build needs, when they are missing.
# Idempotent. As a non-root user it prints the command to run instead.
#   scripts/install-deps.sh [GROUP...]   groups: build (default), windows, fuzz, linux
set -eu

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build)

packages=()
for g in "${groups[@]}"; do
  case "$g" in
    build)   packages+=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev) ;;
    valgrind) packages+=(valgrind) ;;
    windows) packages+=(g++-mingw-w64-x86-64-posix wine64 zip) ;;
    fuzz)    packages+=(clang-14 libclang-rt-14-dev) ;;
    linux)   packages+=(libusb-1.0-0-dev umockdev libumockdev-dev pkg-config) ;;
    *) echo "install-deps: unknown group '$g'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

cmd="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run: sudo apt-get update && sudo $cmd" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
$cmd
