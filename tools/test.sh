#!/usr/bin/env bash
# Builds from scratch in build/ci and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/ci
# Every test has its own TIMEOUT from CMakeLists.txt; --timeout bounds any test added without one.
ctest --test-dir build/ci --output-on-failure -j2 --timeout 300
