# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix, wine64).
#   cmake -S . -B build-win64 --toolchain cmake/toolchain-x86_64-w64-mingw32.cmake
# The test programs run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
set(KELVRA_MINGW_TRIPLET x86_64-w64-mingw32)
set(KELVRA_WINE_EMULATOR /usr/lib/wine/wine64 CACHE FILEPATH "Runs the Windows test programs")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
