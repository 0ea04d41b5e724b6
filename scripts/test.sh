#!/usr/bin/env bash
# Builds ntsnap and its tests in build/ and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DNTSNAP_WERROR=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2
