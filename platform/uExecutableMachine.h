#pragma once

#include <cstdint>

// What kind of program the platform runs, for choosing the plug-in host of a library.

// The file name ending of programs: ".exe" on Windows, "" elsewhere.
extern const char ExecutableSuffix[];

// The machine field of the Portable Executable header that this process's own code has (0x8664
// for x86-64, 0x14C for x86 Windows), or 0 where libraries are not Portable Executables.
std::uint16_t ProcessPortableExecutableMachine();
