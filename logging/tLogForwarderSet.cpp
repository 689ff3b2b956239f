#include "logging/tLogForwarderSet.h"

#include <charconv>

#include "logging/uProvidersSection.h"

tLogForwarderSet::tLogForwarderSet(const std::string& configPath, TLogForwarderLimits limits,
                                   const std::function<void(const std::string&)>& report) {
  for (TProviderEntry& entry : ReadForwardSection(configPath)) {
    if (entry.Key.empty() || entry.LibraryPath.empty()) {
      if (report) {
        report("FAIL while load forwarder: line \"" + entry.Key + "=" + entry.LibraryPath +
               "\" of section Forward needs Name=LibraryPath");
      }
      continue;
    }
    auto forwarder =
        std::make_unique<TLogForwarder>(std::move(entry.Key), std::move(entry.LibraryPath), limits);
    if (!forwarder->LoadProblem().empty() && report) {
      report("FAIL while load forwarder " + forwarder->Name + " \"" + forwarder->LibraryPath +
             "\": " + forwarder->LoadProblem() + "; its records are counted as lost");
    }
    FForwarders.push_back(std::move(forwarder));
  }
}

tLogForwarderSet::~tLogForwarderSet() {
  ReleaseAll(std::chrono::steady_clock::time_point::max(), nullptr);
}

void tLogForwarderSet::Offer(std::string_view peerAddress, std::string_view peerPort,
                             std::string_view application, std::string_view module,
                             std::string_view prefix, std::string_view text, TDateTime clientTime,
                             TDateTime serverTime) {
  if (FForwarders.empty()) {
    return;
  }
  std::uint16_t port = 0;
  std::from_chars(peerPort.data(), peerPort.data() + peerPort.size(), port);
  for (const auto& forwarder : FForwarders) {
    forwarder->Offer(peerAddress, port, application, module, prefix, text, clientTime, serverTime);
  }
}

std::size_t tLogForwarderSet::ReleaseAll(std::chrono::steady_clock::time_point deadline,
                                         const std::function<void(const std::string&)>& report) {
  std::size_t lost = 0;
  for (const auto& forwarder : FForwarders) {
    forwarder->StopDelivery(deadline);
  }
  for (auto& forwarder : FForwarders) {
    if (forwarder->FinishDelivery(deadline, lost)) {
      forwarder->Finalize();
      if (report) {
        report(forwarder->StatisticsLine());
      }
      forwarder.reset();
    } else {
      if (report) {
        report(forwarder->StatisticsLine() + "; still inside the library, left running");
      }
      // Its thread still uses it: kept to the end of the process.
      (void)forwarder.release();
    }
  }
  FForwarders.clear();
  return lost;
}

void tLogForwarderSet::TakeDropReport(std::vector<std::string>& lines, std::uint32_t ticks,
                                      std::uint32_t intervalMs, bool force) {
  if (!force && FReported && ticks - FLastReport < intervalMs) {
    return;
  }
  bool any = false;
  for (const auto& forwarder : FForwarders) {
    if (const std::uint64_t dropped = forwarder->TakeOverflow(); dropped > 0) {
      lines.push_back("FORWARD " + forwarder->Name + ": " + std::to_string(dropped) +
                      " RECORDS DROPPED, QUEUE FULL");
      any = true;
    }
  }
  if (any) {
    FLastReport = ticks;
    FReported = true;
  }
}

void tLogForwarderSet::StatisticsLines(std::vector<std::string>& lines) const {
  for (const auto& forwarder : FForwarders) {
    lines.push_back(forwarder->StatisticsLine());
  }
}
