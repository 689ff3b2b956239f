#pragma once

#include <cstddef>
#include <functional>
#include <memory>

// A thread of the platform with a stack of a chosen size (std::thread has no say in it): a
// pthread with its attribute's stack size, or a Windows thread whose stack size is a reservation
// (STACK_SIZE_PARAM_IS_A_RESERVATION). Thousands of connection threads then reserve little
// address space each.
//
// Like std::thread: joined or detached once; a thread still joinable at destruction is detached.
// Start, Join and Detach are called by the owner's thread; IsCurrent by any.
class TNativeThread {
 public:
  TNativeThread();
  ~TNativeThread();
  TNativeThread(const TNativeThread&) = delete;
  TNativeThread& operator=(const TNativeThread&) = delete;

  // Runs body on a new thread whose stack holds stackBytes (0: the platform's default; a size
  // below the platform's least is raised to it). False, with nothing started, when the platform
  // refuses; true once started. Only when not joinable.
  bool Start(std::function<void()> body, std::size_t stackBytes);
  // Waits for the body to return and releases the thread. Only when joinable and not current.
  void Join();
  // Lets the thread run on by itself. Only when joinable.
  void Detach();
  bool Joinable() const noexcept;
  // Whether the calling thread is this one.
  bool IsCurrent() const noexcept;

 private:
  struct TState;
  std::unique_ptr<TState> FState;
};
