#include "platform/uDateTime.h"

#include <windows.h>

TDateTime LocalNow() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  return EncodeDateTime(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute,
                        local.wSecond, local.wMilliseconds);
}

std::uint32_t GetTickCount32() {
  return static_cast<std::uint32_t>(GetTickCount());
}
