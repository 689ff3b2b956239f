# Shared part of the mingw-w64 toolchain files; KELVRA_MINGW_TRIPLET names the target.
# The posix-thread compilers give std::thread and std::mutex; everything is linked statically
# (libgcc, libstdc++, winpthread), so the .exe and the plug-in DLLs need no DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KELVRA_MINGW_TRIPLET})

set(CMAKE_C_COMPILER ${KELVRA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVRA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVRA_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${KELVRA_MINGW_TRIPLET}-objdump CACHE FILEPATH "objdump of the target")

set(CMAKE_FIND_ROOT_PATH /usr/${KELVRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(kelvra_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${kelvra_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${kelvra_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${kelvra_static_runtime}")

if(KELVRA_WINE_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVRA_WINE_EMULATOR})
endif()
