#pragma once

#include <string_view>

// Windows reserves the device names CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9 (and the
// console's CONIN$ and CONOUT$) in every directory: a file of that name, in any case and with any
// extension, opens the device instead. Plain text, so it is the same on every platform; the
// Windows file layer uses it for IsReservedFileName.
//   "CON" => true, "nul.txt" => true, "Com1" => true, "COM10" => false, "CONSOLE" => false
bool IsWindowsDeviceName(std::string_view part);
