#!/usr/bin/env bash
# Builds from scratch in build/ci and runs every test; then builds again in build/ci-asan with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs every test once more, so that a
# memory error, a leak or undefined behaviour fails the run even where a test's own checks pass.
# The first pass also builds and checks the Debian packages (tools/package_test.sh).
#   bash tools/test.sh          both passes
#   bash tools/test.sh plain    only the first
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/ci
# Every test has its own TIMEOUT from CMakeLists.txt; --timeout bounds any test added without one.
ctest --test-dir build/ci --output-on-failure -j2 --timeout 300
# The Debian packages, installed, run, upgraded and purged (it skips, saying why, where it cannot
# install: not root or no apt).
bash tools/package_test.sh
[ "${1:-all}" = plain ] && exit 0

cmake -S . -B build/ci-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARIN_SANITIZE=address \
  -DKELVARIN_BENCH=OFF
cmake --build build/ci-asan
# A report ends the process with a failure; the fault translator's own handlers stay in charge
# of SIGSEGV/SIGFPE on command threads; a small quarantine keeps the server inside the memory
# bound the hostile-client test measures.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:allow_user_segv_handler=1:quarantine_size_mb=16
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build/ci-asan --output-on-failure -j2 --timeout 600
