#!/bin/sh
# Runs every benchmark program built under <build>/bench (programs named quarbsl-bench-*).
set -e
BUILD=${1:-build}
found=0
for b in $(find "$BUILD/bench" -type f -name 'quarbsl-bench-*' -perm -u+x 2>/dev/null | sort); do
  found=1
  echo "== $b"
  "$b"
done
[ "$found" = 1 ] || echo "run-bench: no benchmarks built"
