#include "platform/uExecutableMachine.h"

const char ExecutableSuffix[] = "";

std::uint16_t ProcessPortableExecutableMachine() {
  return 0;
}
