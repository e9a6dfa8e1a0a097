#!/usr/bin/env bash
# Configures (once) and builds into build/ (or $BV_BUILD_DIR).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BV_BUILD_DIR:-$ROOT/build}"
"$ROOT/scripts/deps.sh"
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
cmake --build "$BUILD" -j"$(nproc)"
