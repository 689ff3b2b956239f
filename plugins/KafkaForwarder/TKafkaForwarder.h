#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <librdkafka/rdkafka.h>

#include "logging/uLogServerInterface.h"
#include "platform/TThread.h"
#include "plugins/forward/TForwarderSpool.h"
#include "plugins/forward/uForwardSettings.h"
#include "spool/TSpool.h"

// Hands every record to Kafka, at least once.
//
// AddRecord writes the record to the spool (topic, key and JSON, see SpoolPayload) and returns;
// the sender thread takes records from the spool and produces them, at most MaxOutstandingAcks
// without a delivery report at a time. The producer is idempotent (enable.idempotence=true,
// acks=all), so librdkafka's own retries never store a record twice; the key is the record's
// stream (address|application|module), so one stream keeps its order in one partition. Each
// message carries the header "kelvra-record-id" with the spool's stable record id, for consumers
// that remove the duplicates a resend after a crash can bring. A successful delivery report
// confirms the record in the spool; a failed one gives it back to be produced again, and holds
// production until every outstanding report is in, so the failed records go again, in order,
// before anything newer of their streams (a record that can never be stored stops its stream
// this way, counted in the failed deliveries reported once a minute).
//
// Every line of the settings' [Kafka] section is handed to librdkafka as it is (after
// bootstrap.servers from Servers; enable.idempotence and acks cannot be changed). Bad settings:
// nothing is produced and every record goes to the spool until the file is mended and the server
// restarted.
//
// Stop flushes for up to FlushTimeoutMs; what is left stays in the spool for the next start.
class TKafkaForwarder final : public TThread {
 public:
  // Lines for the diagnostic log; called from the forwarder's threads.
  using TReport = std::function<void(const std::string&)>;

  // Reads the settings file, opens the spool, creates the producer and starts the sender thread.
  // Never throws.
  TKafkaForwarder(const std::string& settingsPath, TReport report);
  ~TKafkaForwarder() override;

  // Flushes for up to FlushTimeoutMs, then ends the producer; the spool keeps the rest.
  // Statistics stay readable. The owner's thread.
  void Stop();

  // Stores one record for sending. The server's forwarder thread.
  void AddRecord(const TForwardRecord& record);

  // Any thread.
  TLogProviderStatistics Statistics() const;

  // The spool payload of a record: topic, '\n', key, '\n', JSON. Any thread.
  static std::string SpoolPayload(const std::string& topic, const TForwardRecord& record);

 protected:
  // TThread
  void Execute() override;

 private:
  static void OnDelivery(rd_kafka_t* kafka, const rd_kafka_message_t* message, void* opaque);
  static void OnError(rd_kafka_t* kafka, int error, const char* reason, void* opaque);
  bool CreateProducer();
  void ProduceBatch();

  TReport FReport;
  TForwardSettings FSettings;
  bool FSettingsGood = false;
  std::unique_ptr<TForwarderSpool> FSpoolKeeper;  // made in the constructor, never null after
  TSpool* FSpool = nullptr;                       // FSpoolKeeper's spool; null when it cannot open
  rd_kafka_t* FKafka = nullptr;                   // created in the constructor, destroyed by Stop

  // The sender thread's.
  std::vector<TSpoolRecord> FBatch;
  std::uint32_t FBackoffUntil = 0;
  // A send failed: ProduceBatch waits for every outstanding report before it produces again,
  // then sends the FRetryFirst failed records alone. Set by the delivery reports too, which
  // rd_kafka_poll serves on this thread.
  bool FHeldAfterFailure = false;
  std::uint64_t FFailedWhileHeld = 0;  // records given back since the hold began
  std::uint64_t FRetryFirst = 0;       // of those, still to be produced before anything newer

  std::atomic<std::uint32_t> FOutstanding{0};
  std::atomic<std::uint64_t> FSent{0};
  std::atomic<std::uint64_t> FAcknowledged{0};
  std::atomic<std::uint64_t> FDropped{0};
  std::atomic<bool> FFatal{false};
  std::atomic<bool> FStopping{false};
  std::atomic<std::uint32_t> FFlushDeadline{0};
  bool FStopped = false;  // the owner's thread
};
