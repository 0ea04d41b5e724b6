#!/usr/bin/env bash
# Builds ntsnap in build/ and runs it with the options given (/p, /t, or none for both reports).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2
cmake -S . -B build -G Ninja -DNTSNAP_TESTS=OFF -DNTSNAP_BENCH=OFF >/dev/null
cmake --build build --target ntsnap >&2
exec ./build/ntsnap "$@"
