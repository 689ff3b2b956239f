#include "plugins/NatsJetStreamForwarder/TNatsJetStreamForwarder.h"

#include <algorithm>
#include <charconv>
#include <exception>

#include "platform/uDateTime.h"
#include "plugins/forward/uForwarderStatistics.h"

namespace {

constexpr std::uint32_t IdleWaitMs = 50;
constexpr std::uint32_t RetryBackoffMs = 250;
constexpr std::uint32_t StreamRetryMs = 1000;
// A publish not acknowledged in this time is given back to the spool and sent again.
constexpr std::int64_t AckWaitMs = 5000;
constexpr std::size_t MaxBatch = 256;

// Whether the tick count now has reached or passed deadline.
bool Reached(std::uint32_t now, std::uint32_t deadline) {
  return static_cast<std::int32_t>(now - deadline) >= 0;
}

std::string StatusText(natsStatus status) {
  std::string text = natsStatus_GetText(status);
  const char* detail = nats_GetLastError(nullptr);
  if (detail != nullptr && *detail != '\0' && text != detail) {
    text += " (";
    text += detail;
    text += ")";
  }
  return text;
}

// The sequence behind a record id "<instance>-<sequence>"; false for anything else.
bool SequenceOfId(const char* id, std::uint64_t& sequence) {
  const std::string_view text(id);
  const std::size_t dash = text.rfind('-');
  if (dash == std::string_view::npos) {
    return false;
  }
  const auto result = std::from_chars(text.data() + dash + 1, text.data() + text.size(), sequence);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// The forwarder an acknowledgement is for. The NATS library may deliver one while the forwarder
// is being torn down; the destructor clears the pointer under the lock first, so a late
// acknowledgement finds none and is dropped (its record stays in the spool).
struct TAckTarget {
  std::mutex Lock;  // guards Forwarder, and is held while an acknowledgement reaches it
  TNatsJetStreamForwarder* Forwarder = nullptr;
};

TAckTarget& AckTarget() {
  static TAckTarget target;
  return target;
}

}  // namespace

TNatsJetStreamForwarder::TNatsJetStreamForwarder(const std::string& settingsPath, TReport report)
    : FReport(std::move(report)) {
  TForwardSettingsResult read = ReadForwardSettings(settingsPath, TForwarderKind::Nats);
  FSettings = std::move(read.Settings);
  FSettingsGood = read.Error.empty();
  if (!FSettingsGood) {
    FReport(read.Error + "; records are kept in the spool " + FSettings.Spool.Directory +
            " until the settings are mended and the server restarted");
  }
  FSpoolKeeper = std::make_unique<TForwarderSpool>(
      FSettings.Spool, "NATS forwarder", "publishes",
      [](int code) { return std::string(natsStatus_GetText(static_cast<natsStatus>(code))); },
      FReport);
  FSpool = FSpoolKeeper->Spool();
  {
    std::lock_guard lock(AckTarget().Lock);
    AckTarget().Forwarder = this;
  }
  Start();
}

TNatsJetStreamForwarder::~TNatsJetStreamForwarder() {
  Stop();
}

void TNatsJetStreamForwarder::Stop() {
  if (FStopped) {
    return;
  }
  FStopped = true;
  FFlushDeadline = GetTickCount32() + FSettings.FlushTimeoutMs;
  FStopping = true;
  FProgress.Set();
  if (FSpool) {
    FSpool->Wake();
  }
  WaitFor();
  {
    std::lock_guard lock(AckTarget().Lock);
    AckTarget().Forwarder = nullptr;
  }
  // The thread has ended; the connection it left (if any) closes here, after the target was
  // cleared, so no acknowledgement reaches a forwarder that is going away.
  Disconnect();
  FSpoolKeeper->ReportStop();
}

std::string TNatsJetStreamForwarder::SpoolPayload(const std::string& subject,
                                                  const TForwardRecord& record) {
  std::string payload;
  payload.reserve(subject.size() + 200 + record.Text.size());
  payload += subject;
  payload += '\n';
  AppendRecordJson(payload, record);
  return payload;
}

void TNatsJetStreamForwarder::AddRecord(const TForwardRecord& record) {
  if (!FSpool) {
    ++FDropped;
    return;
  }
  FSpool->Add(SpoolPayload(FSettings.Template.Build(record), record));
}

TLogProviderStatistics TNatsJetStreamForwarder::Statistics() const {
  return ForwarderStatistics(FSent, FAcknowledged, FDropped, FSpool);
}

bool TNatsJetStreamForwarder::Connect() {
  natsOptions* options = nullptr;
  if (natsOptions_Create(&options) != NATS_OK) {
    return false;
  }
  std::vector<const char*> servers;
  for (const std::string& server : FSettings.Servers) {
    servers.push_back(server.c_str());
  }
  natsStatus status =
      natsOptions_SetServers(options, servers.data(), static_cast<int>(servers.size()));
  if (status == NATS_OK) {
    natsOptions_SetMaxReconnect(options, -1);
    natsOptions_SetReconnectWait(options, 250);
    natsOptions_SetTimeout(options, 2000);
    natsOptions_SetPingInterval(options, 2000);
    natsOptions_SetMaxPingsOut(options, 2);
    // Down at start: the library keeps trying in the background, as after a disconnect. With a
    // callback the connect returns at once instead of trying for ever; the loop watches the
    // connection's state itself.
    status = natsOptions_SetRetryOnFailedConnect(
        options, true, [](natsConnection*, void*) {}, nullptr);
  }
  if (status == NATS_OK) {
    status = natsConnection_Connect(&FConnection, options);
    if (status == NATS_NOT_YET_CONNECTED) {
      status = NATS_OK;
    }
  }
  natsOptions_Destroy(options);
  if (status != NATS_OK) {
    FReport("NATS forwarder: cannot set up the connection: " + StatusText(status));
    FConnection = nullptr;
    return false;
  }
  jsOptions js;
  jsOptions_Init(&js);
  js.Wait = AckWaitMs;
  // One more than our own bound, so that the library never stalls a publish we allowed.
  js.PublishAsync.MaxPending = static_cast<int64_t>(FSettings.MaxOutstandingAcks) + 1;
  js.PublishAsync.AckHandler = &TNatsJetStreamForwarder::OnAck;
  js.PublishAsync.AckHandlerClosure = nullptr;
  status = natsConnection_JetStream(&FJetStream, FConnection, &js);
  if (status != NATS_OK) {
    FReport("NATS forwarder: no JetStream context: " + StatusText(status));
    Disconnect();
    return false;
  }
  return true;
}

void TNatsJetStreamForwarder::Disconnect() {
  if (FJetStream != nullptr && FPublishedAsync) {
    // Publishes still waiting for their acknowledgement belong to the context, which frees its
    // list of them but not the messages: taken back and destroyed here. Their records stay
    // unconfirmed in the spool and go again. (The list exists from the first publish on; asked
    // before it, the library crashes.)
    natsMsgList pending{};
    if (js_PublishAsyncGetPendingList(&pending, FJetStream) == NATS_OK) {
      natsMsgList_Destroy(&pending);
    }
  }
  FPublishedAsync = false;
  if (FConnection != nullptr) {
    natsConnection_Close(FConnection);
  }
  if (FJetStream != nullptr) {
    jsCtx_Destroy(FJetStream);
    FJetStream = nullptr;
  }
  if (FConnection != nullptr) {
    natsConnection_Destroy(FConnection);
    FConnection = nullptr;
  }
}

bool TNatsJetStreamForwarder::EnsureStream() {
  const TForwardStreamSettings& wanted = FSettings.Stream;
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status = js_GetStreamInfo(&info, FJetStream, wanted.Name.c_str(), nullptr, &code);
  if (status == NATS_OK) {
    jsStreamInfo_Destroy(info);
    return true;
  }
  if (status != NATS_NOT_FOUND && code != JSStreamNotFoundErr) {
    FReport("NATS forwarder: stream " + wanted.Name +
            " cannot be looked up: " + StatusText(status));
    return false;
  }
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  config.Name = wanted.Name.c_str();
  std::vector<const char*> subjects;
  for (const std::string& subject : wanted.Subjects) {
    subjects.push_back(subject.c_str());
  }
  config.Subjects = subjects.data();
  config.SubjectsLen = static_cast<int>(subjects.size());
  config.Retention = wanted.Retention == "interest"    ? js_InterestPolicy
                     : wanted.Retention == "workqueue" ? js_WorkQueuePolicy
                                                       : js_LimitsPolicy;
  config.Storage = wanted.Storage == "memory" ? js_MemoryStorage : js_FileStorage;
  config.Replicas = wanted.Replicas;
  config.Duplicates = static_cast<int64_t>(wanted.DuplicateWindowMs) * 1'000'000;
  config.MaxAge = static_cast<int64_t>(wanted.MaxAgeMs) * 1'000'000;
  if (wanted.MaxBytes > 0) {
    config.MaxBytes = static_cast<int64_t>(wanted.MaxBytes);
  }
  status = js_AddStream(&info, FJetStream, &config, nullptr, &code);
  if (status != NATS_OK) {
    FReport("NATS forwarder: stream " + wanted.Name + " cannot be created: " + StatusText(status) +
            " [code=" + std::to_string(code) + "]");
    return false;
  }
  jsStreamInfo_Destroy(info);
  FReport("NATS forwarder: stream " + wanted.Name + " created (" + std::to_string(wanted.Replicas) +
          " replicas)");
  return true;
}

void TNatsJetStreamForwarder::OnAck(jsCtx* /*js*/, natsMsg* msg, jsPubAck* ack, jsPubAckErr* error,
                                    void* /*closure*/) {
  TAckTarget& target = AckTarget();
  {
    std::lock_guard lock(target.Lock);
    TNatsJetStreamForwarder* self = target.Forwarder;
    const char* id = nullptr;
    std::uint64_t sequence = 0;
    if (self != nullptr && natsMsgHeader_Get(msg, "Nats-Msg-Id", &id) == NATS_OK &&
        SequenceOfId(id, sequence)) {
      if (ack != nullptr && error == nullptr) {
        self->FSpool->Acknowledge(sequence);
        ++self->FAcknowledged;
      } else {
        self->FSpool->Retry(sequence);
        self->FSawError = true;
        self->FSpoolKeeper->SendFailed(error != nullptr ? error->Err : NATS_ERR);
        if (error != nullptr && error->Err == NATS_NO_RESPONDERS) {
          self->FStreamMissing = true;
        }
      }
      self->FOutstanding.fetch_sub(1);
      self->FProgress.Set();
    }
  }
  natsMsg_Destroy(msg);
}

void TNatsJetStreamForwarder::PublishBatch() {
  const std::uint32_t limit = FSettings.MaxOutstandingAcks;
  const std::uint32_t outstanding = FOutstanding.load();
  if (outstanding >= limit) {
    FProgress.Reset();
    if (FOutstanding.load() >= limit) {
      FProgress.WaitFor(IdleWaitMs);
    }
    return;
  }
  FBatch.clear();
  const std::size_t room = std::min<std::size_t>(MaxBatch, limit - outstanding);
  if (FSpool->Take(FBatch, room, IdleWaitMs) == 0) {
    return;
  }
  for (std::size_t i = 0; i < FBatch.size(); ++i) {
    TSpoolRecord& record = FBatch[i];
    const std::size_t newline = record.Payload.find('\n');
    if (newline == std::string::npos) {
      // Not written by this forwarder: it can never be sent, so it is confirmed away, counted.
      FSpool->Acknowledge(record.Sequence);
      ++FDropped;
      continue;
    }
    const std::string subject = record.Payload.substr(0, newline);
    const std::string id = FSpool->RecordId(record.Sequence);
    natsMsg* msg = nullptr;
    natsStatus status =
        natsMsg_Create(&msg, subject.c_str(), nullptr, record.Payload.data() + newline + 1,
                       static_cast<int>(record.Payload.size() - newline - 1));
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MsgId = id.c_str();
    options.MaxWait = AckWaitMs;
    if (status == NATS_OK) {
      FOutstanding.fetch_add(1);
      status = js_PublishMsgAsync(FJetStream, &msg, &options);
      if (status != NATS_OK) {
        FOutstanding.fetch_sub(1);
      } else {
        FPublishedAsync = true;
      }
    }
    if (msg != nullptr) {
      natsMsg_Destroy(msg);  // not taken by the library
    }
    if (status != NATS_OK) {
      // Given back in order, this one and the rest of the batch, to go again after a pause.
      for (std::size_t j = i; j < FBatch.size(); ++j) {
        FSpool->Retry(FBatch[j].Sequence);
      }
      FBackoffUntil = GetTickCount32() + RetryBackoffMs;
      return;
    }
    ++FSent;
  }
}

void TNatsJetStreamForwarder::Pause(std::uint32_t ms) {
  FProgress.Reset();
  if (!FStopping) {
    FProgress.WaitFor(ms);
  }
}

void TNatsJetStreamForwarder::Execute() {
  if (!FSpool || !FSettingsGood) {
    // Nothing to send to: the spool keeps everything. The stop ends the wait.
    while (!FStopping) {
      Pause(1000);
      FSpoolKeeper->Report(false);
    }
    return;
  }
  if (!Connect()) {
    while (!FStopping) {
      Pause(1000);
      FSpoolKeeper->Report(false);
    }
    return;
  }
  std::uint32_t streamRetryAt = GetTickCount32();
  for (;;) {
    const std::uint32_t now = GetTickCount32();
    if (FStopping) {
      const bool drained = FSpool->WaitingCount() == 0 && FOutstanding.load() == 0;
      if (drained || Reached(now, FFlushDeadline)) {
        break;
      }
    }
    FSpoolKeeper->Report(false);
    if (natsConnection_Status(FConnection) != NATS_CONN_STATUS_CONNECTED) {
      Pause(IdleWaitMs);
      continue;
    }
    if (FStreamMissing.exchange(false)) {
      FStreamReady = false;
    }
    if (!FStreamReady) {
      if (!Reached(now, streamRetryAt)) {
        Pause(IdleWaitMs);
        continue;
      }
      FStreamReady = EnsureStream();
      if (!FStreamReady) {
        streamRetryAt = now + StreamRetryMs;
        continue;
      }
    }
    if (FSawError.exchange(false)) {
      FBackoffUntil = now + RetryBackoffMs;
    }
    if (!Reached(now, FBackoffUntil)) {
      Pause(IdleWaitMs);
      continue;
    }
    PublishBatch();
  }
  // Records still unacknowledged stay in flight in the spool: unconfirmed, so the next start
  // sends them again. The connection closes in the destructor.
}
