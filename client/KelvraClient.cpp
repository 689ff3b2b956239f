#include "client/KelvraClient.h"

#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "client/TKelvraClient.h"
#include "protocol/uRecordFrame.h"

static_assert(KELVRA_MAX_RECORD_TEXT_BYTES == MaxRecordTextBytes);

// The opaque handle of the C API.
struct kelvra_client {
  std::unique_ptr<TKelvraClient> Client;
};

namespace {

kelvra_status ToC(TKelvraStatus status) {
  return static_cast<kelvra_status>(static_cast<int>(status));
}

kelvra_status SendRecord(kelvra_client* client, const char* application, const char* module,
                         const char* prefix, const char* text, std::size_t textLength,
                         bool stampNow, double clientTime) {
  if (client == nullptr || application == nullptr || module == nullptr ||
      (text == nullptr && textLength > 0)) {
    return KELVRA_INVALID_ARGUMENT;
  }
  const std::string_view body = text != nullptr ? std::string_view(text, textLength) : "";
  const std::string_view filePrefix = prefix != nullptr ? prefix : "";
  // No exception may cross into C; the only one possible is a failed allocation.
  try {
    return ToC(stampNow ? client->Client->Send(application, module, filePrefix, body)
                        : client->Client->Send(application, module, filePrefix, body, clientTime));
  } catch (const std::bad_alloc&) {
    return KELVRA_BUFFER_FULL;
  }
}

}  // namespace

extern "C" {

void kelvra_options_init(kelvra_options* options) {
  if (options == nullptr) {
    return;
  }
  const TKelvraClientOptions defaults;
  options->buffer_size = defaults.BufferSize;
  options->full_policy = static_cast<int>(defaults.FullPolicy);
  options->cut_oversize_text = defaults.CutOversizeText ? 1 : 0;
  options->connect_timeout_ms = defaults.ConnectTimeoutMs;
  options->reconnect_delay_ms = defaults.ReconnectDelayMs;
  options->reconnect_delay_max_ms = defaults.ReconnectDelayMaxMs;
}

kelvra_status kelvra_open(const char* host, uint16_t port, const kelvra_options* options,
                          kelvra_client** client, int* platform_error) {
  if (platform_error != nullptr) {
    *platform_error = 0;
  }
  if (client == nullptr) {
    return KELVRA_INVALID_ARGUMENT;
  }
  *client = nullptr;
  if (host == nullptr) {
    return KELVRA_INVALID_ARGUMENT;
  }
  TKelvraClientOptions settings;
  if (options != nullptr) {
    if (options->full_policy != KELVRA_FULL_WAIT && options->full_policy != KELVRA_FULL_DROP) {
      return KELVRA_INVALID_ARGUMENT;
    }
    settings.BufferSize = options->buffer_size;
    settings.FullPolicy = static_cast<TKelvraFullPolicy>(options->full_policy);
    settings.CutOversizeText = options->cut_oversize_text != 0;
    settings.ConnectTimeoutMs = options->connect_timeout_ms;
    settings.ReconnectDelayMs = options->reconnect_delay_ms;
    settings.ReconnectDelayMaxMs = options->reconnect_delay_max_ms;
  }
  // No exception may cross into C.
  try {
    TKelvraStatus status = TKelvraStatus::Ok;
    int error = 0;
    auto opened = TKelvraClient::Open(host, port, settings, status, error);
    if (platform_error != nullptr) {
      *platform_error = error;
    }
    if (!opened) {
      return ToC(status);
    }
    auto handle = std::make_unique<kelvra_client>();
    handle->Client = std::move(opened);
    // The caller owns the handle from here until kelvra_close.
    *client = handle.release();
    return KELVRA_OK;
  } catch (...) {
    return KELVRA_CONNECT_FAILED;
  }
}

kelvra_status kelvra_send(kelvra_client* client, const char* application, const char* module,
                          const char* prefix, const char* text) {
  if (text == nullptr) {
    return KELVRA_INVALID_ARGUMENT;
  }
  return SendRecord(client, application, module, prefix, text, std::char_traits<char>::length(text),
                    true, 0);
}

kelvra_status kelvra_send_record(kelvra_client* client, const char* application, const char* module,
                                 const char* prefix, const char* text, size_t text_length,
                                 double client_time) {
  return SendRecord(client, application, module, prefix, text, text_length, false, client_time);
}

kelvra_status kelvra_flush(kelvra_client* client, int timeout_ms) {
  if (client == nullptr) {
    return KELVRA_INVALID_ARGUMENT;
  }
  return ToC(client->Client->Flush(timeout_ms));
}

kelvra_status kelvra_close(kelvra_client* client, int timeout_ms) {
  if (client == nullptr) {
    return KELVRA_INVALID_ARGUMENT;
  }
  const std::unique_ptr<kelvra_client> owned(client);
  return ToC(owned->Client->Close(timeout_ms));
}

kelvra_status kelvra_get_counters(const kelvra_client* client, kelvra_counters* counters) {
  if (client == nullptr || counters == nullptr) {
    return KELVRA_INVALID_ARGUMENT;
  }
  const TKelvraClientCounters snapshot = client->Client->Counters();
  counters->sent = snapshot.Sent;
  counters->dropped = snapshot.Dropped;
  counters->reconnects = snapshot.Reconnects;
  counters->cut = snapshot.Cut;
  counters->last_error = snapshot.LastError;
  return KELVRA_OK;
}

const char* kelvra_status_text(kelvra_status status) {
  return KelvraStatusText(static_cast<TKelvraStatus>(status));
}

}  // extern "C"
