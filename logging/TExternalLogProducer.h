#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/uLogProducer.h"
#include "logging/uLogServerInterface.h"
#include "platform/TSemaphore.h"
#include "platform/uDynamicLibrary.h"

// Hands the records of one configured stream to a plug-in library (see uLogServerInterface.h).
//
// The constructor loads the library and, when it exports LogProvider_AddMessage, calls its
// LogProvider_Initialize (if any) once on the creating thread. AddMessage only queues; the
// producer's own thread delivers the queued messages one at a time, in order, so a slow plug-in
// never holds up the caller. After Stop() the thread ends within one 100 ms wait or one delivery;
// messages still queued then are discarded. Destruction calls LogProvider_Finalize on the
// destroying thread, after the producer's thread has ended, and then releases the library.
//
// A library that can't be loaded or lacks LogProvider_AddMessage gets no call at all; the producer
// then accepts and drops every message.
class TExternalLogProducer final : public TCustomLogProducer {
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

  std::mutex QueueLock;  // guards Queue
  std::deque<TQueuedMessage> Queue;
  // Released once for every queued message.
  TSemaphore QueueSignal{0, INT32_MAX};

  // Set in the constructor, before the thread starts, and unchanged until destruction.
  TDynamicLibrary LibraryHandle;
  TLogProviderInitialize FInitialize = nullptr;
  TLogProviderAddMessage FAddMessage = nullptr;
  TLogProviderFinalize FFinalize = nullptr;
};
