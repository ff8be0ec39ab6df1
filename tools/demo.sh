#!/bin/sh
# The main job: a whole firmware update of a simulated ORBIS 62 sensor
# (firmware 4.06) behind a simulated Sendra reader, with the image this
# updater carries. The simulator runs on a pseudo-terminal; quarbsl-cli talks
# to it as to a real comm port. Ends with the updater's success line and the
# simulator's comparison of its flash with the image.
#
# Usage: tools/demo.sh [BUILD_DIR]   (default: build, relative to the repository)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-build}
case "$BUILD" in
  /*) ;;
  *) BUILD="$ROOT/$BUILD" ;;
esac
CLI="$BUILD/src/app/quarbsl-cli"
SIM="$BUILD/sim/quarbsl-sim"
IMAGE="$ROOT/firmware/ORBIS62 4.06.txt"
WORKFOLDER="$BUILD/demo-work"

if [ ! -x "$CLI" ] || [ ! -x "$SIM" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja
  cmake --build "$BUILD" -j 2 --target quarbsl-cli quarbsl-sim
fi

TMP=$(mktemp -d "${TMPDIR:-/tmp}/quarbsl-demo.XXXXXX")
SIM_PID=
stop_sim() {
  if [ -n "$SIM_PID" ]; then
    kill -TERM "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
    SIM_PID=
  fi
}
cleanup() {
  stop_sim
  rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$SIM" --chain sendra,sensor --sensor-type 107 --sensor-version 406 \
  --expect-image "$IMAGE" >"$TMP/sim.out" 2>&1 &
SIM_PID=$!

# The simulator's first line names its port.
i=0
while [ ! -s "$TMP/sim.out" ]; do
  i=$((i + 1))
  if [ "$i" -gt 100 ] || ! kill -0 "$SIM_PID" 2>/dev/null; then
    echo "demo: the simulator did not start" >&2
    cat "$TMP/sim.out" >&2
    exit 1
  fi
  sleep 0.1
done
PORT=$(head -n 1 "$TMP/sim.out")
echo "demo: simulated Sendra reader with an ORBIS 62 sensor (firmware 4.06) on $PORT"
echo "demo: quarbsl-cli --port $PORT --work-folder $WORKFOLDER"
echo

status=0
"$CLI" --port "$PORT" --work-folder "$WORKFOLDER" || status=$?

# Stopping the simulator makes it compare its flash with the image once more.
stop_sim
echo
verdict=$(grep '^sim: flash ' "$TMP/sim.out" | tail -n 1 || true)
grep '^sim: flash error' "$TMP/sim.out" | sort -u || true
if [ -n "$verdict" ]; then
  echo "$verdict"
else
  echo "demo: the simulator reported no flash comparison" >&2
  [ "$status" -ne 0 ] || status=1
fi
echo "demo: the updater's log is in $WORKFOLDER"
case "$verdict" in
  "sim: flash equals image"*) ;;
  *) [ "$status" -ne 0 ] || status=1 ;;
esac
exit "$status"
