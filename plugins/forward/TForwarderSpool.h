#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "plugins/forward/uForwardSettings.h"
#include "spool/TSpool.h"

// What every forwarder does with its spool besides sending: opening it from the settings, and the
// diagnostic lines about it, the same for every engine. engine names the forwarder in each line
// ("NATS forwarder"):
//   "NATS forwarder: the spool cannot be opened, records are dropped: <why>"
//   "NATS forwarder: 12 unconfirmed records found in the spool are sent again"
//   "NATS forwarder spool: <problem found in its files>"
//   "NATS forwarder: 3 publishes failed and are sent again; last: <error>"  (once a minute)
//   "NATS forwarder spool: DROPPED 120 RECORDS at its disk limit"            (once a minute)
//   "NATS forwarder: 40 records not confirmed at stop stay in the spool for the next start"
class TForwarderSpool {
 public:
  using TReport = std::function<void(const std::string&)>;
  // The engine's text for one of its error codes.
  using TErrorText = std::function<std::string(int code)>;

  // Opens the spool the settings describe (segments at most a quarter of the disk limit, so the
  // limit drops segments, never the whole spool) and reports what it recovered. A spool that
  // cannot be opened is reported; Spool() is then null. sends names a send in the failure line
  // ("publishes", "deliveries"). Never throws.
  TForwarderSpool(const TForwardSpoolSettings& settings, std::string engine, std::string sends,
                  TErrorText errorText, TReport report);
  TForwarderSpool(const TForwarderSpool&) = delete;
  TForwarderSpool& operator=(const TForwarderSpool&) = delete;

  // Null when it could not be opened. Any thread.
  TSpool* Spool() const { return FSpool.get(); }

  // A send failed with the engine's error code and goes again; counted for the next report. Any
  // thread (the engine's callbacks).
  void SendFailed(int code);

  // The spool's problems at once; the failed sends and the spool's drops once a minute, or now
  // when force. One thread at a time: the sender thread, or the owner once it has ended.
  void Report(bool force);

  // At stop, after the sender has ended: everything due, and how many records stay for the next
  // start. The owner's thread.
  void ReportStop();

 private:
  const std::string FEngine;
  const std::string FSends;
  const TErrorText FErrorText;
  const TReport FReport;
  std::unique_ptr<TSpool> FSpool;
  std::uint32_t FLastReport = 0;               // the reporting thread's
  std::atomic<std::uint64_t> FFailedSends{0};  // since the last report
  std::atomic<int> FLastError{0};
};
