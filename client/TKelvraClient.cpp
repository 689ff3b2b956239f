#include "client/TKelvraClient.h"

#include <algorithm>
#include <chrono>

#include "client/TClientWriter.h"
#include "client/TRecordBuffer.h"
#include "platform/uDateTime.h"
#include "platform/uSocket.h"
#include "protocol/uRecordFrame.h"

namespace {

constexpr int DestructorCloseTimeoutMs = 5000;

std::chrono::steady_clock::time_point DeadlineIn(int timeoutMs) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
}

}  // namespace

const char* KelvraStatusText(TKelvraStatus status) {
  switch (status) {
    case TKelvraStatus::Ok:
      return "ok";
    case TKelvraStatus::InvalidArgument:
      return "invalid argument";
    case TKelvraStatus::HostNotFound:
      return "host not found";
    case TKelvraStatus::ConnectFailed:
      return "cannot connect";
    case TKelvraStatus::RecordTooLarge:
      return "record too large for one frame";
    case TKelvraStatus::BufferFull:
      return "buffer full, record dropped";
    case TKelvraStatus::TimedOut:
      return "timed out";
    case TKelvraStatus::Closed:
      return "client closed";
  }
  return "unknown status";
}

std::unique_ptr<TKelvraClient> TKelvraClient::Open(const std::string& host, std::uint16_t port,
                                                   const TKelvraClientOptions& options,
                                                   TKelvraStatus& status, int& platformError) {
  platformError = 0;
  if (host.empty() || options.ConnectTimeoutMs < 0 || options.ReconnectDelayMs < 0 ||
      options.ReconnectDelayMaxMs < 0 ||
      (options.FullPolicy != TKelvraFullPolicy::Wait &&
       options.FullPolicy != TKelvraFullPolicy::Drop)) {
    status = TKelvraStatus::InvalidArgument;
    return nullptr;
  }
  // Winsock's start-up is counted, so every client starts and cleans up its own.
  platformError = StartNetwork();
  if (platformError != 0) {
    status = TKelvraStatus::ConnectFailed;
    return nullptr;
  }
  const TSocket socket =
      ConnectClientSocket(host, port, options.ConnectTimeoutMs, status, platformError);
  if (socket == InvalidSocket) {
    CleanupNetwork();
    return nullptr;
  }
  auto client = std::make_unique<TKelvraClient>(TOpenKey(), options);
  client->FWriter = std::make_unique<TClientWriter>(host, port, options, socket, *client->FBuffer,
                                                    *client->FReady, *client->FCounters);
  return client;
}

TKelvraClient::TKelvraClient(TOpenKey, const TKelvraClientOptions& options)
    : FOptions(options),
      FReady(std::make_unique<TSocketSignal>()),
      FCounters(std::make_unique<tClientCounterSet>()),
      FBuffer(std::make_unique<TRecordBuffer>(
          options.BufferSize, options.FullPolicy == TKelvraFullPolicy::Wait, *FReady)) {}

TKelvraClient::~TKelvraClient() {
  if (!FClosed) {
    Close(DestructorCloseTimeoutMs);
  }
}

TKelvraStatus TKelvraClient::Send(std::string_view application, std::string_view module,
                                  std::string_view prefix, std::string_view text) {
  return Send(application, module, prefix, text, LocalNow());
}

TKelvraStatus TKelvraClient::Send(std::string_view application, std::string_view module,
                                  std::string_view prefix, std::string_view text,
                                  double clientTime) {
  const std::size_t names = application.size() + module.size() + prefix.size();
  std::string cut;
  if (names > MaxRecordTextBytes || text.size() > MaxRecordTextBytes - names) {
    if (!FOptions.CutOversizeText || names + KelvraCutMark.size() > MaxRecordTextBytes) {
      return TKelvraStatus::RecordTooLarge;
    }
    cut.assign(text.substr(0, MaxRecordTextBytes - names - KelvraCutMark.size()));
    cut += KelvraCutMark;
    text = cut;
    FCounters->Cut.fetch_add(1, std::memory_order_relaxed);
  }
  switch (FBuffer->Add(application, module, prefix, text, clientTime)) {
    case TRecordBuffer::TAddResult::Added:
      return TKelvraStatus::Ok;
    case TRecordBuffer::TAddResult::Full:
      FCounters->Dropped.fetch_add(1, std::memory_order_relaxed);
      return TKelvraStatus::BufferFull;
    case TRecordBuffer::TAddResult::Closed:
      break;
  }
  return TKelvraStatus::Closed;
}

TKelvraStatus TKelvraClient::Flush(int timeoutMs) {
  return FBuffer->WaitUntilEmpty(DeadlineIn(timeoutMs)) ? TKelvraStatus::Ok
                                                        : TKelvraStatus::TimedOut;
}

TKelvraStatus TKelvraClient::Close(int timeoutMs) {
  if (FClosed || !FWriter) {
    return TKelvraStatus::Closed;
  }
  FClosed = true;
  FBuffer->Close();
  FWriter->RequestClose(DeadlineIn(timeoutMs));
  FWriter->WaitFor();
  const bool succeeded = FWriter->CloseSucceeded();
  FWriter.reset();
  CleanupNetwork();
  return succeeded ? TKelvraStatus::Ok : TKelvraStatus::TimedOut;
}

TKelvraClientCounters TKelvraClient::Counters() const {
  TKelvraClientCounters counters;
  counters.Sent = FCounters->Sent.load(std::memory_order_relaxed);
  counters.Dropped = FCounters->Dropped.load(std::memory_order_relaxed);
  counters.Reconnects = FCounters->Reconnects.load(std::memory_order_relaxed);
  counters.Cut = FCounters->Cut.load(std::memory_order_relaxed);
  counters.LastError = FCounters->LastError.load(std::memory_order_relaxed);
  return counters;
}
