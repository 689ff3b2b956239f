#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The machine field of a Portable Executable (a Windows program or DLL), for choosing the plug-in
// host of a library: a 32-bit DLL needs the 32-bit host.
constexpr std::uint16_t PortableExecutableI386 = 0x14C;
constexpr std::uint16_t PortableExecutableAmd64 = 0x8664;

// From the first bytes of a file: "MZ", the header offset at 0x3C, "PE\0\0" there, then the
// machine. 0 when the bytes are not a Portable Executable or end too early.
std::uint16_t PortableExecutableMachine(std::string_view image);

// The same, read from a file; 0 when it cannot be read.
std::uint16_t PortableExecutableMachineOfFile(const std::string& path);
