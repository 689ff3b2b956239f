#include "logging/TExternalLogProducer.h"

#include <optional>
#include <utility>

TExternalLogProducer::TExternalLogProducer(std::string baseCatalog, std::string peerAddress,
                                           std::string peerPort, std::string applicationName,
                                           std::string moduleName, std::string filePrefix,
                                           std::string libraryPath)
    : TCustomLogProducer(std::move(baseCatalog), std::move(peerAddress), std::move(peerPort),
                         std::move(applicationName), std::move(moduleName), std::move(filePrefix),
                         std::move(libraryPath)) {
  if (LibraryHandle.Load(LibraryPath)) {
    FInitialize = LibraryHandle.Function<TLogProviderInitialize>("LogProvider_Initialize");
    FAddMessage = LibraryHandle.Function<TLogProviderAddMessage>("LogProvider_AddMessage");
    FFinalize = LibraryHandle.Function<TLogProviderFinalize>("LogProvider_Finalize");
    if (FAddMessage == nullptr) {
      // Without a way to deliver, the library is never called.
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

void TExternalLogProducer::Execute() {
  while (!Terminated()) {
    if (!QueueSignal.WaitFor(DeliveryWaitMs)) {
      continue;
    }
    std::optional<TQueuedMessage> message;
    {
      std::lock_guard lock(QueueLock);
      if (!Queue.empty()) {
        message.emplace(std::move(Queue.front()));
        Queue.pop_front();
      }
    }
    if (message && FAddMessage != nullptr) {
      Deliver(*message);
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
