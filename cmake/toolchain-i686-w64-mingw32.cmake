# Cross build for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686-posix).
#   cmake -S . -B build-win32 --toolchain cmake/toolchain-i686-w64-mingw32.cmake
# This is the build that loads existing 32-bit __stdcall plug-ins. Its programs need a Wine that can
# run 32-bit code (wine32 and a kernel with IA-32 emulation); without one, build and check only.
set(KELVRA_MINGW_TRIPLET i686-w64-mingw32)
set(KELVRA_WINE_EMULATOR "" CACHE FILEPATH "Runs the Windows test programs (wine with wine32)")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
