#!/usr/bin/env bash
# Builds Kestro and runs every test: the normal build (warnings as errors) with the
# Windows tests under Wine, then AddressSanitizer/UndefinedBehaviorSanitizer and
# ThreadSanitizer builds of the tests that exercise threads and buffers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
common=(-G Ninja -DKESTRO_WERROR=ON)
# Run once, in the main build: the export and import on the real clock (two minutes of
# the protocol's own waits; the same code runs on virtual time in every build).
main_only='^TransferSession\.ExportAndImportOnTheRealClock$'

echo "== sanitizer build: address,undefined"
cmake -S . -B build/asan "${common[@]}" -DCMAKE_BUILD_TYPE=Debug -DKESTRO_SANITIZE=address,undefined \
      -DKESTRO_WINDOWS_TESTS=OFF -DKESTRO_BUILD_BENCH=ON >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure --timeout 600 -E "$main_only"

# ---- soak: a simulator session under load, under AddressSanitizer ---------------------
# Fails on a wrong value, a lost notification, a broken trace line, a leak, or growth of
# descriptors, threads or memory (failed calls are printed). KESTRO_SOAK_SECONDS sets the time.
echo "== soak (address,undefined)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  build/asan/bench/kestro_soak "${KESTRO_SOAK_SECONDS:-120}" 60
# ---- end of soak -----------------------------------------------------------------------

echo "== sanitizer build: thread"
cmake -S . -B build/tsan "${common[@]}" -DCMAKE_BUILD_TYPE=Debug -DKESTRO_SANITIZE=thread \
      -DKESTRO_WINDOWS_TESTS=OFF >/dev/null
cmake --build build/tsan -j"$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan --output-on-failure --timeout 600 -E "$main_only"

# ---- fuzzing: every libFuzzer target for a bounded time --------------------------------
# Each target runs on a scratch copy of its seed corpus (fuzz/corpus/<target>/), so the
# repository's corpus is not changed by the run. KESTRO_FUZZ_SECONDS sets the time.
echo "== fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build/fuzz "${common[@]}" -DCMAKE_BUILD_TYPE=Debug -DKESTRO_FUZZ=ON \
      -DKESTRO_BUILD_TESTS=OFF -DKESTRO_BUILD_TOOLS=OFF >/dev/null
cmake --build build/fuzz -j"$jobs"
for corpus in fuzz/corpus/*/; do
  target=$(basename "$corpus")
  scratch=$(mktemp -d)
  cp "$corpus"* "$scratch"/
  echo "-- $target"
  build/fuzz/fuzz/"$target" -max_total_time="${KESTRO_FUZZ_SECONDS:-60}" -print_final_stats=1 "$scratch"
  rm -rf "$scratch"
done
# ---- end of fuzzing ------------------------------------------------------------------

echo "== main build"
cmake -S . -B build/ci "${common[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRO_BUILD_BENCH=ON >/dev/null
cmake --build build/ci -j"$jobs"
KESTRO_STRESS_SECONDS=60 ctest --test-dir build/ci --output-on-failure --timeout 900

# ---- package: the Debian package installs and runs from its own files ------------------
echo "== package: build, install into a scratch root, run kestro demo and the examples"
scripts/package-check.sh build/ci
# ---- end of package ---------------------------------------------------------------------
