#include "logging/tLogForwarderSet.h"

#include <algorithm>
#include <charconv>
#include <set>

#include "logging/uProvidersSection.h"

namespace {

// A directory name for the forwarder named name, distinct from those in used.
std::string JournalName(const std::string& name, std::set<std::string>& used) {
  std::string safe;
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    safe.push_back(plain ? c : '_');
  }
  // Names are compared without case: some file systems do so.
  const auto folded = [](std::string text) {
    for (char& c : text) {
      c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
  };
  // Windows drops a name's trailing dots and keeps device names (CON, NUL, COM1...) for itself.
  for (auto last = safe.rbegin(); last != safe.rend() && *last == '.'; ++last) {
    *last = '_';
  }
  static const std::set<std::string> devices = {
      "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
      "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
  if (safe.empty() || safe.front() == '.' ||
      devices.count(folded(safe.substr(0, safe.find('.')))) != 0) {
    safe.insert(safe.begin(), '_');
  }
  std::string chosen = safe;
  for (int n = 2; !used.insert(folded(chosen)).second; ++n) {
    chosen = safe + "~" + std::to_string(n);
  }
  return chosen;
}

}  // namespace

tLogForwarderSet::tLogForwarderSet(const std::string& configPath, TLogForwarderLimits limits,
                                   const std::function<void(const std::string&)>& report) {
  std::set<std::string> used;
  for (TProviderEntry& entry : ReadForwardSection(configPath)) {
    if (entry.Key.empty() || entry.LibraryPath.empty()) {
      if (report) {
        report("FAIL while load forwarder: line \"" + entry.Key + "=" + entry.LibraryPath +
               "\" of section Forward needs Name=LibraryPath");
      }
      continue;
    }
    std::string journal;
    if (!limits.JournalRoot.empty()) {
      journal = limits.JournalRoot;
      if (journal.back() != '/' && journal.back() != '\\') {
        journal += '/';
      }
      journal += JournalName(entry.Key, used);
    }
    auto forwarder = std::make_unique<TLogForwarder>(
        std::move(entry.Key), std::move(entry.LibraryPath), limits, std::move(journal));
    if (report) {
      if (!forwarder->JournalProblem().empty()) {
        report("FAIL while open journal of forwarder " + forwarder->Name + ": " +
               forwarder->JournalProblem() + "; its records are queued in memory only");
      }
      for (const std::string& problem : forwarder->TakeJournalProblems()) {
        report("FORWARD " + forwarder->Name + ": journal: " + problem);
      }
      if (!forwarder->LoadProblem().empty()) {
        report("FAIL while load forwarder " + forwarder->Name + " \"" + forwarder->LibraryPath +
               "\": " + forwarder->LoadProblem() +
               (forwarder->HasJournal()
                    ? "; its records are kept in its journal for a start with a usable library"
                    : "; its records are counted as lost"));
      }
      if (const std::uint64_t recovered = forwarder->Counts().Recovered; recovered > 0) {
        report("FORWARD " + forwarder->Name + ": " + std::to_string(recovered) +
               " RECORDS NOT YET DELIVERED FOUND IN THE JOURNAL, DELIVERED FIRST");
      }
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

void tLogForwarderSet::HoldRecords() {
  for (const auto& forwarder : FForwarders) {
    forwarder->HoldRecords();
  }
}

void tLogForwarderSet::WriteHeld() {
  for (const auto& forwarder : FForwarders) {
    forwarder->WriteHeld();
  }
}

void tLogForwarderSet::WriteHeldSoFar() {
  for (const auto& forwarder : FForwarders) {
    forwarder->WriteHeldSoFar();
  }
}

std::size_t tLogForwarderSet::ReleaseAll(std::chrono::steady_clock::time_point deadline,
                                         const std::function<void(const std::string&)>& report) {
  std::size_t lost = 0;
  for (const auto& forwarder : FForwarders) {
    forwarder->StopDelivery(deadline);
  }
  std::vector<std::string> hostLines;
  for (auto& forwarder : FForwarders) {
    const bool ended = forwarder->FinishDelivery(deadline, lost);
    hostLines.clear();
    forwarder->TakeReport(hostLines);
    if (report) {
      for (const std::string& line : hostLines) {
        report(line);
      }
    }
    if (ended) {
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
  // What the hosts tell comes at once: a crash is not held back by the drop reports' interval.
  for (const auto& forwarder : FForwarders) {
    forwarder->TakeReport(lines);
  }
  if (!force && FReported && ticks - FLastReport < intervalMs) {
    return;
  }
  bool any = false;
  for (const auto& forwarder : FForwarders) {
    if (const std::uint64_t dropped = forwarder->TakeDropped(); dropped > 0) {
      lines.push_back("FORWARD " + forwarder->Name + ": " + std::to_string(dropped) +
                      (forwarder->HasJournal() ? " RECORDS DROPPED, JOURNAL FULL"
                                               : " RECORDS DROPPED, QUEUE FULL"));
      any = true;
    }
    for (const std::string& problem : forwarder->TakeJournalProblems()) {
      lines.push_back("FORWARD " + forwarder->Name + ": journal: " + problem);
      any = true;
    }
  }
  if (any) {
    FLastReport = ticks;
    FReported = true;
  }
}

void tLogForwarderSet::StatisticsLines(std::vector<std::string>& lines) const {
  // Every host is asked first, so that they answer at once and one time-out bounds them all.
  std::uint32_t timeoutMs = 0;
  for (const auto& forwarder : FForwarders) {
    forwarder->AskLibraryCounts();
    timeoutMs = std::max(timeoutMs, forwarder->StatisticsTimeoutMs());
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (const auto& forwarder : FForwarders) {
    lines.push_back(forwarder->StatisticsLine(deadline));
  }
}
