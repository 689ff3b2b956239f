#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nats/nats.h>

#include "logging/uLogServerInterface.h"
#include "platform/TEvent.h"
#include "platform/TThread.h"
#include "plugins/forward/TForwarderSpool.h"
#include "plugins/forward/uForwardSettings.h"
#include "spool/TSpool.h"

// Hands every record to a NATS JetStream stream, at least once.
//
// AddRecord writes the record to the spool (subject and JSON, see SpoolPayload) and returns; the
// sender thread takes records from the spool and publishes them asynchronously, at most
// MaxOutstandingAcks unacknowledged at a time, each with the header Nats-Msg-Id set to the
// spool's stable record id, so that a resend inside the stream's duplicate window is stored once.
// A publish acknowledgement confirms the record in the spool; an error or a time-out gives it
// back to be sent again. Nothing is published while the connection is down or the stream is not
// known to exist (it is created from the settings when missing), so records that wait keep their
// order. The connection tries every server of the list, for ever.
//
// Bad settings: the forwarder never connects, and every record goes to the spool (in the spool
// directory the settings name, or its default), so nothing is lost until the file is mended.
//
// The destructor sends for up to FlushTimeoutMs what waits and what is unacknowledged; what is
// left stays in the spool and is sent after the next start.
class TNatsJetStreamForwarder final : public TThread {
 public:
  // Lines for the diagnostic log. Called from any of the forwarder's threads.
  using TReport = std::function<void(const std::string&)>;

  // Reads the settings file, opens the spool and starts the sender thread. Never throws: a spool
  // that cannot be opened is reported, and records are then counted as dropped.
  TNatsJetStreamForwarder(const std::string& settingsPath, TReport report);
  ~TNatsJetStreamForwarder() override;

  // Sends for up to FlushTimeoutMs what waits and what is unacknowledged, then closes the
  // connection; the spool keeps the rest. Statistics stay readable. The owner's thread; once.
  void Stop();

  // Stores one record for sending. The server's forwarder thread.
  void AddRecord(const TForwardRecord& record);

  // Any thread.
  TLogProviderStatistics Statistics() const;

  // The spool payload of a record: subject, '\n', JSON. Any thread.
  static std::string SpoolPayload(const std::string& subject, const TForwardRecord& record);

  // TThread
 protected:
  void Execute() override;

 private:
  // Outcome of one publish acknowledgement; called on the NATS library's thread.
  static void OnAck(jsCtx* js, natsMsg* msg, jsPubAck* ack, jsPubAckErr* error, void* closure);
  bool Connect();
  bool EnsureStream();
  void PublishBatch();
  void Disconnect();
  // Waits up to ms for progress (an acknowledgement or the stop).
  void Pause(std::uint32_t ms);

  TReport FReport;
  TForwardSettings FSettings;
  bool FSettingsGood = false;
  std::unique_ptr<TForwarderSpool> FSpoolKeeper;  // made in the constructor, never null after
  TSpool* FSpool = nullptr;                       // FSpoolKeeper's spool; null when it cannot open

  // Owned by the sender thread from its start to its end.
  natsConnection* FConnection = nullptr;
  jsCtx* FJetStream = nullptr;
  bool FStreamReady = false;
  bool FPublishedAsync = false;  // FJetStream has had an asynchronous publish
  std::uint32_t FBackoffUntil = 0;
  std::vector<TSpoolRecord> FBatch;

  std::atomic<std::uint32_t> FOutstanding{0};
  std::atomic<bool> FSawError{false};
  std::atomic<bool> FStreamMissing{false};
  std::atomic<std::uint64_t> FSent{0};
  std::atomic<std::uint64_t> FAcknowledged{0};
  std::atomic<std::uint64_t> FDropped{0};
  // Set when the sender may go on: an acknowledgement freed a slot, or the stop began.
  TEvent FProgress;
  // The stop was asked for; the sender flushes until this time (GetTickCount32).
  std::atomic<bool> FStopping{false};
  bool FStopped = false;  // the owner's thread
  std::atomic<std::uint32_t> FFlushDeadline{0};
};
