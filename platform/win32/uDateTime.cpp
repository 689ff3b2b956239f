#include "platform/uDateTime.h"

#include <windows.h>

TDateTime LocalNow() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  return EncodeDateTime(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute,
                        local.wSecond, local.wMilliseconds);
}

TDateTime CachedLocalNow(TLocalTimeCache& /*cache*/) {
  // GetLocalTime reads the local fields directly: there is no conversion to save.
  return LocalNow();
}

std::uint32_t GetTickCount32() {
  return static_cast<std::uint32_t>(GetTickCount());
}
