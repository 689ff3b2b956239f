# CI's README build: the README's RelWithDebInfo (-O2 -DNDEBUG, the same code) without -g. Debug
# information does not change what GCC generates and takes more than a third of the compile time.
# Read through the CMAKE_TOOLCHAIN_FILE environment variable, so the command stays the README's;
# the entries are set before the compiler's defaults would be.
set(CMAKE_C_FLAGS_RELWITHDEBINFO "-O2 -DNDEBUG" CACHE STRING "RelWithDebInfo without -g")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O2 -DNDEBUG" CACHE STRING "RelWithDebInfo without -g")
