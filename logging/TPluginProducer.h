#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "logging/uLogProducer.h"

// What the holder needs of a plug-in producer, whether the library runs in the server's process
// (TExternalLogProducer) or in a plug-in host of its own (TIsolatedLogProducer).
class TPluginProducer : public TCustomLogProducer {
 public:
  // Empty when the library is in use; otherwise why not. Any thread.
  virtual const std::string& LoadProblem() const = 0;
  // Stop, with deliveries ending at deadline at the latest. The owner's thread.
  virtual void StopDelivery(std::chrono::steady_clock::time_point deadline) = 0;
  // After StopDelivery: waits for the end and adds to lost what was not delivered. False when the
  // thread could not be ended: the producer must then never be destroyed. The owner's thread.
  virtual bool FinishDelivery(std::chrono::steady_clock::time_point deadline,
                              std::size_t& lost) = 0;
  // Appends the diagnostic lines gathered since the last call. The owner's thread.
  virtual void TakeReport(std::vector<std::string>& lines) { (void)lines; }

 protected:
  using TCustomLogProducer::TCustomLogProducer;
};
