#!/bin/sh
# Runs every libFuzzer target built under <build>/fuzz for a bounded time.
# Usage: tools/run-fuzzers.sh [build-dir] [seconds-per-target]
set -e
BUILD=${1:-build-fuzz}
SECONDS_EACH=${2:-60}
[ -n "$SECONDS_EACH" ] || SECONDS_EACH=60
HERE=$(cd "$(dirname "$0")/.." && pwd)
found=0
status=0
for f in $(find "$BUILD/fuzz" -maxdepth 1 -type f -name 'fuzz-*' -perm -u+x 2>/dev/null | sort); do
  found=1
  name=$(basename "$f")
  corpus="$BUILD/fuzz-corpus/$name"
  mkdir -p "$corpus"
  # Small hand-made seeds; the corpus grows from them between runs.
  seeds="$HERE/tests/fuzz/seeds/$name"
  [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus/" 2>/dev/null || true
  echo "== $name (${SECONDS_EACH} s)"
  if ! "$f" -max_total_time="$SECONDS_EACH" -max_len=4096 -print_final_stats=1 \
       -artifact_prefix="$BUILD/fuzz-corpus/$name-" "$corpus" 2>"$BUILD/$name.log"; then
    status=1
    echo "run-fuzzers: $name found a problem, see $BUILD/$name.log" >&2
  fi
  grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs|ERROR' "$BUILD/$name.log" || true
done
[ "$found" = 1 ] || { echo "run-fuzzers: no fuzz targets under $BUILD/fuzz" >&2; exit 1; }
exit $status
