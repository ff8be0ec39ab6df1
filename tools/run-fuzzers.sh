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
  # Seed the TI-Text target with the committed stand-in image.
  if [ "$name" = fuzz-titext ] && [ -z "$(ls -A "$corpus")" ]; then
    for s in "$HERE"/firmware/*.txt; do [ -f "$s" ] && cp "$s" "$corpus/"; done
  fi
  echo "== $name (${SECONDS_EACH} s)"
  if ! "$f" -max_total_time="$SECONDS_EACH" -max_len=65536 -print_final_stats=1 \
       -artifact_prefix="$BUILD/fuzz-corpus/$name-" "$corpus" 2>"$BUILD/$name.log"; then
    status=1
    echo "run-fuzzers: $name found a problem, see $BUILD/$name.log" >&2
  fi
  grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs|ERROR' "$BUILD/$name.log" || true
done
[ "$found" = 1 ] || { echo "run-fuzzers: no fuzz targets under $BUILD/fuzz" >&2; exit 1; }
exit $status
