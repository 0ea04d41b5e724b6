# Cross-compiles ntsnap for 32-bit Windows with the MinGW-w64 tool chain of Debian
# (package g++-mingw-w64-i686; scripts/windows.sh installs it when missing):
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
#   cmake --build build-win
#
# The result, build-win/ntsnap.exe, is a console program linked statically: it needs no DLL beyond
# those of the system and its C runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(NTSNAP_MINGW_TRIPLET i686-w64-mingw32)
# The win32 thread model: the program is single-threaded and needs no pthread emulation library.
find_program(NTSNAP_MINGW_CXX NAMES ${NTSNAP_MINGW_TRIPLET}-g++-win32 ${NTSNAP_MINGW_TRIPLET}-g++)
if(NOT NTSNAP_MINGW_CXX)
  message(FATAL_ERROR "${NTSNAP_MINGW_TRIPLET}-g++ not found: run bash scripts/windows.sh")
endif()
set(CMAKE_CXX_COMPILER ${NTSNAP_MINGW_CXX})
set(CMAKE_RC_COMPILER ${NTSNAP_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${NTSNAP_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A console program (not a windowed one), with the compiler's own runtime libraries linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -mconsole")
