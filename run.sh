#!/usr/bin/env bash
# Builds TrayTape and starts the tray application.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAYTAPE_TESTS=OFF -DTRAYTAPE_BENCH=OFF >/dev/null
cmake --build build
exec build/traytape "$@"
