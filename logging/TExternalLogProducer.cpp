#include "logging/TExternalLogProducer.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

TExternalLogProducer::TExternalLogProducer(std::string baseCatalog, std::string peerAddress,
                                           std::string peerPort, std::string applicationName,
                                           std::string moduleName, std::string filePrefix,
                                           std::string libraryPath)
    : TPluginProducer(std::move(baseCatalog), std::move(peerAddress), std::move(peerPort),
                      std::move(applicationName), std::move(moduleName), std::move(filePrefix),
                      std::move(libraryPath)) {
  if (LibraryHandle.Load(LibraryPath)) {
    FInitialize = LibraryHandle.Function<TLogProviderInitialize>("LogProvider_Initialize");
    FAddMessage = LibraryHandle.Function<TLogProviderAddMessage>("LogProvider_AddMessage");
    FFinalize = LibraryHandle.Function<TLogProviderFinalize>("LogProvider_Finalize");
    if (FAddMessage == nullptr) {
      // Without a way to deliver, the library is never called.
      FLoadProblem = "no export LogProvider_AddMessage";
      FInitialize = nullptr;
      FFinalize = nullptr;
      LibraryHandle.Release();
    } else if (FInitialize != nullptr) {
      // A plug-in must not fail here; if one throws all the same, its stream still runs rather
      // than the exception ending the server's start.
      try {
        FInitialize(BaseCatalog.c_str(), PeerAddress.c_str(), PeerPort.c_str(),
                    ApplicationName.c_str(), ModuleName.c_str(), FilePrefix.c_str());
      } catch (...) {
      }
    }
  } else {
    FLoadProblem = LibraryHandle.LoadError();
  }
  Start();
}

TExternalLogProducer::~TExternalLogProducer() {
  TerminateAndWait();
  {
    std::lock_guard lock(QueueLock);
    Queue.clear();
  }
  if (FFinalize != nullptr) {
    // Destructors must not throw; a plug-in that fails here is ignored.
    try {
      FFinalize();
    } catch (...) {
    }
    LibraryHandle.Release();
  } else {
    // A plug-in without LogProvider_Finalize may have work of its own still running: it stays
    // loaded until the process ends.
    LibraryHandle.Abandon();
  }
}

void TExternalLogProducer::AddMessage(std::string_view text, TDateTime clientTime,
                                      TDateTime serverTime) {
  TQueuedMessage message{clientTime, serverTime, std::string(text)};
  std::lock_guard lock(QueueLock);
  Queue.push_back(std::move(message));
  QueueSignal.Release();
}

void TExternalLogProducer::Stop() {
  // Its own flag, not Terminate(): a thread whose stop is requested before it has begun skips its
  // body, and the messages queued until then would be lost undelivered.
  FStopRequested.store(true, std::memory_order_release);
  // Wakes a waiting thread at once; a signal without a message is taken as nothing queued.
  QueueSignal.Release();
}

void TExternalLogProducer::StopDelivery(std::chrono::steady_clock::time_point deadline) {
  FStopDeadline.store(deadline.time_since_epoch().count(), std::memory_order_release);
  Stop();
}

bool TExternalLogProducer::FinishDelivery(std::chrono::steady_clock::time_point deadline,
                                          std::size_t& lost) {
  using namespace std::chrono;
  // The thread looks at the deadline after every wait and every delivery.
  const auto now = steady_clock::now();
  const auto left = deadline > now ? duration_cast<milliseconds>(deadline - now) : milliseconds(0);
  const auto limit = std::min<milliseconds::rep>(left.count() + 2 * DeliveryWaitMs, UINT32_MAX);
  const bool ended = WaitFor(static_cast<std::uint32_t>(limit));
  std::lock_guard lock(QueueLock);
  lost += Queue.size();
  Queue.clear();
  if (!ended) {
    ++lost;  // the message of the call that has not returned
    Abandon();
  }
  return ended;
}

bool TExternalLogProducer::PastStopDeadline() const {
  return std::chrono::steady_clock::now().time_since_epoch().count() >=
         FStopDeadline.load(std::memory_order_acquire);
}

void TExternalLogProducer::Execute() {
  while (true) {
    const bool signalled = QueueSignal.WaitFor(DeliveryWaitMs);
    if (Stopping() && PastStopDeadline()) {
      break;
    }
    std::optional<TQueuedMessage> message;
    bool empty = true;
    if (signalled || Stopping()) {
      std::lock_guard lock(QueueLock);
      if (!Queue.empty()) {
        message.emplace(std::move(Queue.front()));
        Queue.pop_front();
      }
      empty = Queue.empty();
    }
    if (message && FAddMessage != nullptr) {
      Deliver(*message);
    }
    // Asked to stop, the thread ends once everything queued before has been delivered.
    if (!message && empty && Stopping()) {
      break;
    }
  }
}

void TExternalLogProducer::Deliver(const TQueuedMessage& message) const noexcept {
  // An exception thrown by the plug-in loses this message only. Hardware faults inside the
  // plug-in cannot be caught portably and end the process.
  try {
    FAddMessage(message.ClientTime, message.ServerTime, message.Text.c_str());
  } catch (...) {
  }
}
