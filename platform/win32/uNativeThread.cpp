#include "platform/uNativeThread.h"

#include <windows.h>

#include <utility>

struct TNativeThread::TState {
  HANDLE Thread = nullptr;
  DWORD Id = 0;
};

namespace {

DWORD WINAPI RunBody(LPVOID argument) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return 0;
}

}  // namespace

TNativeThread::TNativeThread() : FState(std::make_unique<TState>()) {}

TNativeThread::~TNativeThread() {
  if (FState->Thread != nullptr) {
    Detach();
  }
}

bool TNativeThread::Start(std::function<void()> body, std::size_t stackBytes) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  // The size reserves address space only; pages are committed as the stack grows.
  FState->Thread =
      CreateThread(nullptr, stackBytes, RunBody, owned.get(),
                   stackBytes > 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &FState->Id);
  if (FState->Thread == nullptr) {
    return false;
  }
  // The new thread owns the body now.
  (void)owned.release();
  return true;
}

void TNativeThread::Join() {
  WaitForSingleObject(FState->Thread, INFINITE);
  CloseHandle(FState->Thread);
  FState->Thread = nullptr;
}

void TNativeThread::Detach() {
  CloseHandle(FState->Thread);
  FState->Thread = nullptr;
}

bool TNativeThread::Joinable() const noexcept {
  return FState->Thread != nullptr;
}

bool TNativeThread::IsCurrent() const noexcept {
  return FState->Thread != nullptr && GetCurrentThreadId() == FState->Id;
}
