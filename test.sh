#!/usr/bin/env bash
# Builds TrayTape and runs every test: the whole suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, the ordinary build with its benchmarks and
# the Debian package check, the engine's suites under ThreadSanitizer, and the
# file reader under libFuzzer for half a minute (TRAYTAPE_FUZZ_SECONDS). Each suite
# that needs a sound server starts a private one of its own, and runs once on
# PulseAudio and once on PipeWire.
# TRAYTAPE_QUICK=1 runs the ordinary build, its tests and the package check.
#
# The tests mostly wait for sound played and recorded in real time, so the
# other builds compile while they run, at a lower priority, so that the tests
# get the processor when they need it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh --test

cores=$(nproc)
# One test at a time per core, but for those that play and record through a
# server, which mostly wait on real time: two per core of them (or
# TRAYTAPE_TEST_JOBS).
test_jobs=${TRAYTAPE_TEST_JOBS:-$cores}
sound_jobs=${TRAYTAPE_TEST_JOBS:-$((2 * cores))}
# Line tables are enough for sanitizer reports and backtraces; full debug
# information costs a third more compile time at -O2 (the package is stripped).
# Files compiled in batches parse each header once per batch: the sanitized
# build took 387 s of processor time one by one with precompiled headers, and
# in batches of sixteen 229 s without them (268 s with them). Later, with the
# application and source-file work in, sixteen a batch took 248 s and
# thirty-two 204 s (106 s on two cores instead of 133); the shipped build
# with its benchmarks 137 s and 108 s.
debug_info=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_DEBUG="-g1" -DCMAKE_UNITY_BUILD=ON
  -DCMAKE_UNITY_BUILD_BATCH_SIZE=32)

# Each step with the time since the start and the processor time used so far
# by this script and the runs it has waited for: on a busy machine the second
# figure is the one to compare.
say() {
  local t
  read -ra t </proc/$$/stat
  printf '== %4d s, %4d s CPU: %s\n' "$SECONDS" $(((t[13] + t[14] + t[15] + t[16]) / $(getconf CLK_TCK))) "$*"
}
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT

build() {  # nice level, build dir, cmake options...
  local level=$1 dir=$2; shift 2
  say "building $dir"
  cmake -S . -B "$dir" -G Ninja "${debug_info[@]}" "$@" >/dev/null
  nice -n "$level" cmake --build "$dir" -j "$cores" ${targets:+--target $targets}
}
# The tests of a build, in the background; their output goes to <dir>/tests.log
# and is shown by finish.
start_tests() {  # build dir, parallel tests
  say "testing $1"
  ctest --test-dir "$1" --output-on-failure -j "$2" >"$1/tests.log" 2>&1 &
}
finish() {  # pid, log: waits for a background run and shows its output
  local rc=0
  wait "$1" || rc=$?
  cat "$2"
  say "done: $2 (exit $rc)"
  return $rc
}

plain=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAYTAPE_BENCH=ON)
if [ "${TRAYTAPE_QUICK:-0}" = 1 ]; then
  build 0 build "${plain[@]}" -DTRAYTAPE_TESTS=ON
  start_tests build "$test_jobs"; quick=$!
  say "checking the package"
  scripts/check-package.sh build
  finish $quick build/tests.log
  exit 0
fi

# Every test runs once, under AddressSanitizer and UndefinedBehaviorSanitizer,
# which check all that an unsanitized run of the same tests would and more:
# with both runs a fresh clone took 832 s on two cores.
#
# The sanitized build and its suite come first; the other builds start with
# them in the background, at priorities in the order they are needed, and
# take the processor whenever a long file or a test waiting on sound leaves it
# idle. Their output goes to build-logs/ and is shown when they are waited for.
mkdir -p build-logs

# At -O1 every local need not live in memory for the sanitizer to check each
# access: on an idle machine the mixer's arithmetic test took 8 s there and
# 21 s at -O0, and the whole suite 67 s and 72 s, for about the same
# processor time to build (51 and 49 s). libpulse is not instrumented, so its suites
# are not built here; the engine's own suite runs on the virtual backend.
(build 10 build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DTRAYTAPE_SANITIZE=thread \
  -DTRAYTAPE_ENGINE_ONLY=ON -DTRAYTAPE_TESTS=ON -DTRAYTAPE_BENCH=OFF) >build-logs/tsan-build.log 2>&1 &
tsan_build=$!
# The program as it is shipped, and the benchmarks: built, packaged and checked.
(build 15 build "${plain[@]}" -DTRAYTAPE_TESTS=OFF
  say "checking the package"
  nice -n 15 scripts/check-package.sh build) >build-logs/shipped.log 2>&1 &
shipped=$!
# The file reader under libFuzzer, built here and run once the sanitized
# build is done (below).
(CXX=clang++ targets="fuzz_reader make_fuzz_seeds" build 10 build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTRAYTAPE_FUZZ=ON -DTRAYTAPE_ENGINE_ONLY=ON -DTRAYTAPE_TESTS=OFF -DTRAYTAPE_BENCH=OFF
  rm -rf build-fuzz/seeds build-fuzz/corpus && mkdir -p build-fuzz/corpus
  build-fuzz/tests/fuzz/make_fuzz_seeds build-fuzz/seeds) >build-logs/fuzz-build.log 2>&1 &
fuzz_build=$!

# At -O0: at -O1 the build took 376 s of processor time against 229 s, and
# the longest suites spend their time waiting for sound.
build 0 build-asan -DCMAKE_BUILD_TYPE=Debug -DTRAYTAPE_SANITIZE=address,undefined \
  -DTRAYTAPE_TESTS=ON -DTRAYTAPE_BENCH=OFF
# The file reader under libFuzzer for a bounded time, from seeds of every
# kind of file the writer makes; a crash, a leak or an input that takes over
# 30 s fails the run. It runs beside the sound-server suites, which leave it
# most of a core. One input, a 709-byte M4A whose boxes ask for large
# tables, takes up to 5.6 s of processor time there (2.7 s user, 2.9 s
# system, in the sanitizer's allocator; the shipped reader refuses it in
# 0.1 s), and at the lowest priority beside the other suites it ran past a
# 10 s bound.
finish $fuzz_build build-logs/fuzz-build.log
say "fuzzing the file reader"
(rc=0
  nice -n 10 build-fuzz/tests/fuzz/fuzz_reader -max_total_time="${TRAYTAPE_FUZZ_SECONDS:-30}" -max_len=8192 \
    -timeout=30 -rss_limit_mb=2048 -artifact_prefix=build-fuzz/ build-fuzz/corpus build-fuzz/seeds \
    >build-fuzz/fuzz.log 2>&1 || rc=$?
  # Its progress lines are many: the whole log only when it failed.
  if [ $rc = 0 ]; then tail -3 build-fuzz/fuzz.log; else cat build-fuzz/fuzz.log; fi
  exit $rc) >build-logs/fuzz.log 2>&1 &
fuzz=$!

# The suites that play and record through a server spend most of their time
# waiting for sound: the six whole suites on both servers, four at a time,
# took 105 s and 137 s of processor time (servers included) where one by one
# they take 359 s. They run first, with only the builds and the fuzzer
# beside them: with the arithmetic and widget tests beside them too, a mixed
# take's tone once read 23 ppm off its pitch.
say "testing build-asan: the sound-server suites"
ctest --test-dir build-asan --output-on-failure -L sound -j "$sound_jobs" >build-asan/sound.log 2>&1 &
finish $! build-asan/sound.log
# Then the rest, and the engine's suite under ThreadSanitizer beside it at a
# lower priority: neither waits on sound.
say "testing build-asan: the rest"
ctest --test-dir build-asan --output-on-failure -LE sound -j "$test_jobs" >build-asan/tests.log 2>&1 &
rest=$!
finish $tsan_build build-logs/tsan-build.log
say "testing build-tsan"
nice -n 5 ctest --test-dir build-tsan --output-on-failure -j "$test_jobs" >build-tsan/tests.log 2>&1 &
tsan=$!
finish $rest build-asan/tests.log
finish $tsan build-tsan/tests.log
finish $shipped build-logs/shipped.log
finish $fuzz build-logs/fuzz.log
say "all passed"
