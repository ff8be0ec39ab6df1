#!/bin/sh
# Installs the Debian packages the build needs, only those that are missing.
# Usage: tools/install-deps.sh core|test|gui|fuzz ...
set -e
pkgs="g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libudev-dev"
for set in "$@"; do
  case "$set" in
    core) ;;
    gui) pkgs="$pkgs qt6-base-dev" ;;
    test) pkgs="$pkgs qt6-base-dev srecord php-cli xvfb xauth" ;;
    bench) pkgs="$pkgs libbenchmark-dev srecord" ;;
    fuzz) pkgs="$pkgs clang libclang-rt-14-dev srecord" ;;
    *) echo "install-deps: unknown set '$set'" >&2; exit 2 ;;
  esac
done
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages:$missing (run as root, or install them)" >&2
  exit 1
fi
echo "install-deps: installing$missing"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
