#include "platform/uExecutableMachine.h"

const char ExecutableSuffix[] = ".exe";

std::uint16_t ProcessPortableExecutableMachine() {
#if defined(_M_X64) || defined(__x86_64__)
  return 0x8664;
#elif defined(_M_IX86) || defined(__i386__)
  return 0x14C;
#elif defined(__aarch64__) || defined(_M_ARM64)
  return 0xAA64;
#else
  return 0;
#endif
}
