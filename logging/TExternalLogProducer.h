#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/TPluginProducer.h"
#include "logging/uLogServerInterface.h"
#include "platform/TSemaphore.h"
#include "platform/uDynamicLibrary.h"

// Hands the records of one configured stream to a plug-in library (see uLogServerInterface.h).
//
// The constructor loads the library and, when it exports LogProvider_AddMessage, calls its
// LogProvider_Initialize (if any) once on the creating thread. AddMessage only queues; the
// producer's own thread delivers the queued messages one at a time, in order, so a slow plug-in
// never holds up the caller. Asked to stop, the thread first delivers every message still queued
// and then ends; with a stop deadline (StopDelivery) it ends at the deadline at the latest,
// leaving what is left undelivered. Destruction calls LogProvider_Finalize on the destroying
// thread, after the producer's thread has ended, and then releases the library.
//
// A library that can't be loaded or lacks LogProvider_AddMessage gets no call at all; the producer
// then accepts and drops every message, and LoadProblem() says why.
class TExternalLogProducer final : public TPluginProducer {
 public:
  // For a plug-in stream baseCatalog is empty and libraryPath names the library, handed to the
  // platform's loader unchanged. Any thread; it becomes the thread of LogProvider_Initialize.
  TExternalLogProducer(std::string baseCatalog, std::string peerAddress, std::string peerPort,
                       std::string applicationName, std::string moduleName, std::string filePrefix,
                       std::string libraryPath);
  // The owner's thread, after Stop() and WaitFor() (it stops the thread itself otherwise).
  ~TExternalLogProducer() override;

  // TCustomLogProducer
  // True for the whole life of the producer, with or without a library. Any thread.
  bool IsOpen() const override { return true; }
  // Queues a copy of the message; never waits for the plug-in. Any thread.
  void AddMessage(std::string_view text, TDateTime clientTime, TDateTime serverTime) override;
  // Asks the thread to end once the queue is empty. The owner's thread.
  void Stop() override;

  // Empty when the library is in use; otherwise why not: the loader's error text, or
  // "no export LogProvider_AddMessage". Any thread.
  const std::string& LoadProblem() const override { return FLoadProblem; }

  // Stop, with deliveries ending at deadline at the latest. The owner's thread.
  void StopDelivery(std::chrono::steady_clock::time_point deadline) override;
  // After StopDelivery: waits until the thread has ended, at most a little past deadline, and
  // adds to lost the messages that were not delivered. True when the thread has ended; false
  // when it is still inside a call into the plug-in: the thread is then abandoned, the message
  // of that call counted as lost too, and the producer must never be destroyed (the thread still
  // uses it). The owner's thread.
  bool FinishDelivery(std::chrono::steady_clock::time_point deadline, std::size_t& lost) override;

 protected:
  // The delivery loop.
  void Execute() override;

 private:
  // One message from queueing until delivered or discarded. The text's terminating zero is the
  // one std::string keeps, so the plug-in sees it cut at an inner zero byte.
  struct TQueuedMessage {
    TDateTime ClientTime;
    TDateTime ServerTime;
    std::string Text;
  };

  static constexpr std::uint32_t DeliveryWaitMs = 100;

  void Deliver(const TQueuedMessage& message) const noexcept;
  bool PastStopDeadline() const;
  // Stop() was called, or the destructor's Terminate().
  bool Stopping() const noexcept {
    return FStopRequested.load(std::memory_order_acquire) || Terminated();
  }

  std::mutex QueueLock;  // guards Queue
  std::deque<TQueuedMessage> Queue;
  // Released once for every queued message.
  TSemaphore QueueSignal{0, INT32_MAX};

  // Set in the constructor, before the thread starts, and unchanged until destruction.
  TDynamicLibrary LibraryHandle;
  TLogProviderInitialize FInitialize = nullptr;
  TLogProviderAddMessage FAddMessage = nullptr;
  TLogProviderFinalize FFinalize = nullptr;
  std::string FLoadProblem;

  std::atomic<bool> FStopRequested{false};
  // steady_clock ticks of the stop deadline; the maximum while none is set.
  std::atomic<std::chrono::steady_clock::rep> FStopDeadline{
      std::chrono::steady_clock::time_point::max().time_since_epoch().count()};
};
