#!/usr/bin/env bash
# Builds TrayTape and runs every test: an ordinary build, then the whole suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the engine's
# suites under ThreadSanitizer. Each suite that needs a sound server starts a
# private one of its own. TRAYTAPE_QUICK=1 runs the ordinary build alone.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh --test

jobs=$(nproc)
run_suite() {  # build-dir, cmake options...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAYTAPE_TESTS=ON -DTRAYTAPE_BENCH=ON
# The Debian package: built, then checked by lintian and the desktop validators (a few seconds).
scripts/check-package.sh build
if [ "${TRAYTAPE_QUICK:-0}" != 1 ]; then
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DTRAYTAPE_SANITIZE=address,undefined -DTRAYTAPE_TESTS=ON -DTRAYTAPE_BENCH=OFF
  run_suite build-tsan -DCMAKE_BUILD_TYPE=Debug -DTRAYTAPE_SANITIZE=thread -DTRAYTAPE_ENGINE_ONLY=ON -DTRAYTAPE_TESTS=ON -DTRAYTAPE_BENCH=OFF
fi
