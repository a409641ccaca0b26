#!/usr/bin/env bash
# Builds TrayTape and starts it (the tray application once it is built,
# otherwise the command-line recorder's device list).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAYTAPE_TESTS=OFF -DTRAYTAPE_BENCH=OFF >/dev/null
cmake --build build
if [ -x build/traytape ]; then
  exec build/traytape "$@"
fi
exec build/traytape-cli devices
