#include "platform/uNativeThread.h"

#include <pthread.h>

#include <algorithm>
#include <climits>
#include <utility>

struct TNativeThread::TState {
  pthread_t Thread{};
  bool Joinable = false;
};

namespace {

void* RunBody(void* argument) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}

}  // namespace

TNativeThread::TNativeThread() : FState(std::make_unique<TState>()) {}

TNativeThread::~TNativeThread() {
  if (FState->Joinable) {
    Detach();
  }
}

bool TNativeThread::Start(std::function<void()> body, std::size_t stackBytes) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    return false;
  }
  if (stackBytes > 0) {
    pthread_attr_setstacksize(&attributes, std::max<std::size_t>(stackBytes, PTHREAD_STACK_MIN));
  }
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  const int started = pthread_create(&FState->Thread, &attributes, RunBody, owned.get());
  pthread_attr_destroy(&attributes);
  if (started != 0) {
    return false;
  }
  // The new thread owns the body now.
  (void)owned.release();
  FState->Joinable = true;
  return true;
}

void TNativeThread::Join() {
  pthread_join(FState->Thread, nullptr);
  FState->Joinable = false;
}

void TNativeThread::Detach() {
  pthread_detach(FState->Thread);
  FState->Joinable = false;
}

bool TNativeThread::Joinable() const noexcept {
  return FState->Joinable;
}

bool TNativeThread::IsCurrent() const noexcept {
  return FState->Joinable && pthread_equal(FState->Thread, pthread_self()) != 0;
}
