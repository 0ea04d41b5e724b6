#!/usr/bin/env bash
# Cross-compiles the 32-bit Windows program build-win/ntsnap.exe (installing the MinGW-w64 tool
# chain first when it is missing) and checks what kind of program it is (scripts/check_exe.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh g++-mingw-w64-i686 binutils-mingw-w64-i686
cmake --no-warn-unused-cli -S . -B build-win -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
      -DCMAKE_BUILD_TYPE=Release -DNTSNAP_WERROR=ON >/dev/null
cmake --build build-win
bash scripts/check_exe.sh build-win/ntsnap.exe
