#!/bin/sh
# The main job. Until the update engine lands this lists the comm ports.
set -e
BUILD=${1:-build}
if [ -x "$BUILD/src/app/quarbsl-cli" ]; then
  exec "$BUILD/src/app/quarbsl-cli" --list-ports
fi
if [ -x "$BUILD/tools/quarbsl-ports" ]; then
  echo "demo: the update engine is not built yet; the comm ports found:"
  exec "$BUILD/tools/quarbsl-ports" --all
fi
echo "demo: the update engine is not built yet"
