#include "plugins/KafkaForwarder/TKafkaForwarder.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <thread>
#include <utility>

#include "platform/uDateTime.h"
#include "plugins/forward/uForwarderStatistics.h"

namespace {

constexpr std::uint32_t IdleWaitMs = 50;
constexpr std::uint32_t RetryBackoffMs = 250;
constexpr std::size_t MaxBatch = 512;
constexpr char RecordIdHeader[] = "kelvra-record-id";

bool Reached(std::uint32_t now, std::uint32_t deadline) {
  return static_cast<std::int32_t>(now - deadline) >= 0;
}

// The three parts of a spool payload; false when it is not one of ours.
bool SplitPayload(const std::string& payload, std::string_view& topic, std::string_view& key,
                  std::string_view& json) {
  const std::size_t first = payload.find('\n');
  const std::size_t second = first == std::string::npos ? first : payload.find('\n', first + 1);
  if (second == std::string::npos) {
    return false;
  }
  const std::string_view all(payload);
  topic = all.substr(0, first);
  key = all.substr(first + 1, second - first - 1);
  json = all.substr(second + 1);
  return !topic.empty();
}

}  // namespace

TKafkaForwarder::TKafkaForwarder(const std::string& settingsPath, TReport report)
    : FReport(std::move(report)) {
  TForwardSettingsResult read = ReadForwardSettings(settingsPath, TForwarderKind::Kafka);
  FSettings = std::move(read.Settings);
  FSettingsGood = read.Error.empty();
  if (!FSettingsGood) {
    FReport(read.Error + "; records are kept in the spool " + FSettings.Spool.Directory +
            " until the settings are mended and the server restarted");
  }
  FSpoolKeeper = std::make_unique<TForwarderSpool>(
      FSettings.Spool, "Kafka forwarder", "deliveries",
      [](int code) {
        return std::string(rd_kafka_err2str(static_cast<rd_kafka_resp_err_t>(code)));
      },
      FReport);
  FSpool = FSpoolKeeper->Spool();
  if (FSettingsGood && FSpool && !CreateProducer()) {
    FSettingsGood = false;
  }
  Start();
}

TKafkaForwarder::~TKafkaForwarder() {
  Stop();
}

bool TKafkaForwarder::CreateProducer() {
  rd_kafka_conf_t* conf = rd_kafka_conf_new();
  char error[512];
  std::string servers;
  for (const std::string& server : FSettings.Servers) {
    servers += (servers.empty() ? "" : ",") + server;
  }
  std::vector<std::pair<std::string, std::string>> properties = {{"bootstrap.servers", servers}};
  for (const auto& property : FSettings.EngineProperties) {
    if (property.first == "enable.idempotence" || property.first == "acks" ||
        property.first == "request.required.acks") {
      FReport("Kafka forwarder: setting " + property.first +
              " is ignored: the producer is always idempotent with acks=all");
      continue;
    }
    properties.push_back(property);
  }
  properties.emplace_back("enable.idempotence", "true");
  properties.emplace_back("acks", "all");
  for (const auto& [name, value] : properties) {
    if (rd_kafka_conf_set(conf, name.c_str(), value.c_str(), error, sizeof error) !=
        RD_KAFKA_CONF_OK) {
      FReport("Kafka forwarder: setting " + name + "=" + value + " refused: " + error +
              "; records are kept in the spool until the settings are mended");
      rd_kafka_conf_destroy(conf);
      return false;
    }
  }
  rd_kafka_conf_set_opaque(conf, this);
  rd_kafka_conf_set_dr_msg_cb(conf, &TKafkaForwarder::OnDelivery);
  rd_kafka_conf_set_error_cb(conf, &TKafkaForwarder::OnError);
  FKafka = rd_kafka_new(RD_KAFKA_PRODUCER, conf, error, sizeof error);
  if (FKafka == nullptr) {
    FReport(std::string("Kafka forwarder: no producer: ") + error);
    rd_kafka_conf_destroy(conf);
    return false;
  }
  return true;
}

void TKafkaForwarder::Stop() {
  if (FStopped) {
    return;
  }
  FStopped = true;
  FFlushDeadline = GetTickCount32() + FSettings.FlushTimeoutMs;
  FStopping = true;
  if (FSpool) {
    FSpool->Wake();
  }
  WaitFor();
  if (FKafka != nullptr) {
    // Reports still due are served here; the rest are purged and stay in the spool.
    rd_kafka_purge(FKafka, RD_KAFKA_PURGE_F_QUEUE | RD_KAFKA_PURGE_F_INFLIGHT);
    rd_kafka_poll(FKafka, 0);
    rd_kafka_destroy(FKafka);
    FKafka = nullptr;
  }
  FSpoolKeeper->ReportStop();
  if (FSpool) {
    FSpool->Sync();
  }
}

std::string TKafkaForwarder::SpoolPayload(const std::string& topic, const TForwardRecord& record) {
  std::string payload;
  payload.reserve(topic.size() + 250 + record.Text.size());
  payload += topic;
  payload += '\n';
  // The key never holds a line end: the fields it is made of are made safe first.
  for (const char c : RecordStreamKey(record)) {
    payload += c == '\n' ? ' ' : c;
  }
  payload += '\n';
  AppendRecordJson(payload, record);
  return payload;
}

void TKafkaForwarder::AddRecord(const TForwardRecord& record) {
  if (!FSpool) {
    ++FDropped;
    return;
  }
  FSpool->Add(SpoolPayload(FSettings.Template.Build(record), record));
}

TLogProviderStatistics TKafkaForwarder::Statistics() const {
  return ForwarderStatistics(FSent, FAcknowledged, FDropped, FSpool);
}

void TKafkaForwarder::OnDelivery(rd_kafka_t*, const rd_kafka_message_t* message, void* opaque) {
  // Served by rd_kafka_poll on the sender thread (or in Stop), so the forwarder is alive.
  auto* self = static_cast<TKafkaForwarder*>(opaque);
  const auto sequence =
      static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(message->_private));
  if (message->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
    self->FSpool->Acknowledge(sequence);
    ++self->FAcknowledged;
  } else {
    self->FSpool->Retry(sequence);
    if (message->err != RD_KAFKA_RESP_ERR__PURGE_QUEUE &&
        message->err != RD_KAFKA_RESP_ERR__PURGE_INFLIGHT) {
      self->FSpoolKeeper->SendFailed(message->err);
      self->FBackoffUntil = GetTickCount32() + RetryBackoffMs;
      self->FHeldAfterFailure = true;
      ++self->FFailedWhileHeld;
    }
  }
  self->FOutstanding.fetch_sub(1);
}

void TKafkaForwarder::OnError(rd_kafka_t* kafka, int error, const char* reason, void* opaque) {
  auto* self = static_cast<TKafkaForwarder*>(opaque);
  if (error == RD_KAFKA_RESP_ERR__FATAL) {
    char text[512];
    rd_kafka_fatal_error(kafka, text, sizeof text);
    self->FFatal = true;
    self->FReport(std::string("Kafka forwarder: fatal producer error, records are kept in the "
                              "spool until the server is restarted: ") +
                  text);
  } else if (error != RD_KAFKA_RESP_ERR__TRANSPORT &&
             error != RD_KAFKA_RESP_ERR__ALL_BROKERS_DOWN) {
    self->FReport(std::string("Kafka forwarder: ") + reason);
  }
}

void TKafkaForwarder::ProduceBatch() {
  if (FHeldAfterFailure) {
    // A send failed for good: nothing goes until every outstanding report is in, or records of
    // the failed one's stream that librdkafka still holds could be stored before it. Then the
    // failed records, which the spool hands out first (lowest sequence first), go alone, and
    // nothing newer goes until they are stored.
    if (FOutstanding.load() > 0) {
      rd_kafka_poll(FKafka, IdleWaitMs);
      return;
    }
    FHeldAfterFailure = false;
    FRetryFirst = std::exchange(FFailedWhileHeld, 0);
  }
  const std::uint32_t limit = FSettings.MaxOutstandingAcks;
  const std::uint32_t outstanding = FOutstanding.load();
  if (outstanding >= limit || !Reached(GetTickCount32(), FBackoffUntil)) {
    rd_kafka_poll(FKafka, IdleWaitMs);
    return;
  }
  FBatch.clear();
  std::size_t room = std::min<std::size_t>(MaxBatch, limit - outstanding);
  if (FRetryFirst > 0) {
    room = std::min<std::size_t>(room, FRetryFirst);
  }
  if (FSpool->Take(FBatch, room, rd_kafka_outq_len(FKafka) > 0 ? 0 : IdleWaitMs) == 0) {
    rd_kafka_poll(FKafka, rd_kafka_outq_len(FKafka) > 0 ? 5 : 0);
    return;
  }
  if (FRetryFirst > 0) {
    FRetryFirst -= std::min<std::uint64_t>(FRetryFirst, FBatch.size());
    // The last of them: held again until they are stored (or have failed again).
    FHeldAfterFailure = FRetryFirst == 0;
  }
  for (std::size_t i = 0; i < FBatch.size(); ++i) {
    const TSpoolRecord& record = FBatch[i];
    std::string_view topic;
    std::string_view key;
    std::string_view json;
    if (!SplitPayload(record.Payload, topic, key, json)) {
      // Not written by this forwarder: it can never be sent, so it is confirmed away, counted.
      FSpool->Acknowledge(record.Sequence);
      ++FDropped;
      continue;
    }
    const std::string id = FSpool->RecordId(record.Sequence);
    const std::string topicName(topic);
    FOutstanding.fetch_add(1);
    const rd_kafka_resp_err_t error = rd_kafka_producev(
        FKafka, RD_KAFKA_V_TOPIC(topicName.c_str()),
        RD_KAFKA_V_KEY(const_cast<char*>(key.data()), key.size()),
        RD_KAFKA_V_VALUE(const_cast<char*>(json.data()), json.size()),
        RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY),
        RD_KAFKA_V_HEADER(RecordIdHeader, id.data(), static_cast<ssize_t>(id.size())),
        RD_KAFKA_V_OPAQUE(reinterpret_cast<void*>(static_cast<std::uintptr_t>(record.Sequence))),
        RD_KAFKA_V_END);
    if (error != RD_KAFKA_RESP_ERR_NO_ERROR) {
      FOutstanding.fetch_sub(1);
      // This one and the rest of the batch go back, in order, to go again after a pause.
      for (std::size_t j = i; j < FBatch.size(); ++j) {
        FSpool->Retry(FBatch[j].Sequence);
      }
      FSpoolKeeper->SendFailed(error);
      FBackoffUntil = GetTickCount32() + RetryBackoffMs;
      FHeldAfterFailure = true;
      FFailedWhileHeld += FBatch.size() - i;
      break;
    }
    ++FSent;
  }
  rd_kafka_poll(FKafka, 0);
}

void TKafkaForwarder::Execute() {
  while (true) {
    if (FStopping) {
      const bool drained = FOutstanding.load() == 0 && FSpool && FSpool->WaitingCount() == 0;
      if (drained || Reached(GetTickCount32(), FFlushDeadline) || FKafka == nullptr || FFatal) {
        break;
      }
    }
    if (FKafka == nullptr || FFatal || !FSpool) {
      // Bad settings or no producer: records wait in the spool.
      std::this_thread::sleep_for(std::chrono::milliseconds(IdleWaitMs));
      if (FStopping) {
        break;
      }
      FSpoolKeeper->Report(false);
      continue;
    }
    ProduceBatch();
    FSpoolKeeper->Report(false);
  }
}
