// kelvra-stream-writer: reads the records that the NATS JetStream forwarder publishes, with a
// durable pull consumer, and writes them as the server does: the same file tree under the base
// catalog, the same lines. Each message is acknowledged after its line was handed to the file
// system, so a writer that stops or crashes loses nothing: the stream hands the rest to the next
// run (a line may then be written twice, never lost).
//
//   kelvra-stream-writer --base /srv/Logs/ [--servers nats://127.0.0.1:4222,...]
//                        [--stream KELVRA] [--durable kelvra-writer] [--subject kelvra.>]
//                        [--batch 256] [--exit-when-idle MS]
//
// Several writers with the same --durable share the work; different --durable names each get
// every record. Exit codes: 0 after a stop (SIGTERM, SIGINT) or --exit-when-idle, 1 usage error,
// 2 no connection or no consumer.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <nats/nats.h>

#include "platform/uDateTime.h"
#include "platform/uStopSignals.h"
#include "tools/TStreamLineWriter.h"

namespace {

struct TArguments {
  std::string Base;
  std::vector<std::string> Servers = {"nats://127.0.0.1:4222"};
  std::string Stream = "KELVRA";
  std::string Durable = "kelvra-writer";
  std::string Subject = "kelvra.>";
  int Batch = 256;
  long ExitWhenIdleMs = -1;
};

void Usage() {
  std::fputs(
      "usage: kelvra-stream-writer --base DIR/ [--servers URL,...] [--stream NAME]\n"
      "                            [--durable NAME] [--subject SUBJECT] [--batch N]\n"
      "                            [--exit-when-idle MS]\n",
      stderr);
}

bool ParseArguments(int argc, char** argv, TArguments& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) {
      return false;
    }
    const std::string value = argv[++i];
    if (name == "--base") {
      args.Base = value;
    } else if (name == "--servers") {
      args.Servers.clear();
      std::size_t start = 0;
      while (start <= value.size()) {
        const std::size_t comma = value.find(',', start);
        args.Servers.push_back(value.substr(start, comma - start));
        if (comma == std::string::npos) {
          break;
        }
        start = comma + 1;
      }
    } else if (name == "--stream") {
      args.Stream = value;
    } else if (name == "--durable") {
      args.Durable = value;
    } else if (name == "--subject") {
      args.Subject = value;
    } else if (name == "--batch") {
      args.Batch = std::atoi(value.c_str());
    } else if (name == "--exit-when-idle") {
      args.ExitWhenIdleMs = std::atol(value.c_str());
    } else {
      return false;
    }
  }
  return !args.Base.empty() && args.Batch > 0 && !args.Servers.empty();
}

std::atomic<bool> StopRequested{false};

}  // namespace

int main(int argc, char** argv) {
  BlockStopSignals();
  TArguments args;
  if (!ParseArguments(argc, argv, args)) {
    Usage();
    return 1;
  }
  TStopSignalWatcher watcher([] { StopRequested = true; });

  natsOptions* options = nullptr;
  natsConnection* connection = nullptr;
  jsCtx* js = nullptr;
  natsSubscription* subscription = nullptr;
  std::vector<const char*> servers;
  for (const std::string& server : args.Servers) {
    servers.push_back(server.c_str());
  }
  natsStatus status = natsOptions_Create(&options);
  if (status == NATS_OK) {
    status = natsOptions_SetServers(options, servers.data(), static_cast<int>(servers.size()));
  }
  if (status == NATS_OK) {
    natsOptions_SetMaxReconnect(options, -1);
    natsOptions_SetReconnectWait(options, 250);
    natsOptions_SetRetryOnFailedConnect(
        options, true, [](natsConnection*, void*) {}, nullptr);
    status = natsConnection_Connect(&connection, options);
    if (status == NATS_NOT_YET_CONNECTED) {
      status = NATS_OK;
    }
  }
  if (status == NATS_OK) {
    status = natsConnection_JetStream(&js, connection, nullptr);
  }
  // The consumer is made once the server and the stream are there; until then, keep trying.
  jsErrCode code = static_cast<jsErrCode>(0);
  while (status == NATS_OK && !StopRequested) {
    jsSubOptions subOptions;
    jsSubOptions_Init(&subOptions);
    subOptions.Stream = args.Stream.c_str();
    subOptions.Config.AckPolicy = js_AckExplicit;
    subOptions.Config.DeliverPolicy = js_DeliverAll;
    subOptions.Config.MaxAckPending = args.Batch * 4;
    const natsStatus made = js_PullSubscribe(&subscription, js, args.Subject.c_str(),
                                             args.Durable.c_str(), nullptr, &subOptions, &code);
    if (made == NATS_OK) {
      break;
    }
    if (args.ExitWhenIdleMs >= 0) {
      status = made;  // a test run: say why at once
      break;
    }
    nats_Sleep(500);
  }
  if (status != NATS_OK) {
    std::fprintf(stderr, "kelvra-stream-writer: no consumer on stream %s: %s [code=%d] %s\n",
                 args.Stream.c_str(), natsStatus_GetText(status), static_cast<int>(code),
                 nats_GetLastError(nullptr));
    jsCtx_Destroy(js);
    natsConnection_Destroy(connection);
    natsOptions_Destroy(options);
    return 2;
  }

  TStreamLineWriter writer(args.Base);
  std::uint64_t written = 0;
  std::uint64_t malformed = 0;
  std::uint32_t lastRecord = GetTickCount32();
  std::vector<std::string> report;
  while (!StopRequested) {
    natsMsgList list{};
    const natsStatus fetched = natsSubscription_Fetch(&list, subscription, args.Batch, 500, &code);
    if (fetched == NATS_OK) {
      for (int i = 0; i < list.Count; ++i) {
        natsMsg* msg = list.Msgs[i];
        const std::string_view json(natsMsg_GetData(msg),
                                    static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
        TForwardRecord record;
        std::string error;
        if (ParseRecordJson(json, record, error)) {
          writer.Write(record);
          ++written;
          natsMsg_Ack(msg, nullptr);
        } else {
          // Sending it again would not mend it: terminated, counted and reported.
          ++malformed;
          std::fprintf(stderr, "kelvra-stream-writer: message on %s is no record (%s), dropped\n",
                       natsMsg_GetSubject(msg), error.c_str());
          natsMsg_Term(msg, nullptr);
        }
      }
      natsMsgList_Destroy(&list);
      lastRecord = GetTickCount32();
    } else if (args.ExitWhenIdleMs >= 0 &&
               static_cast<long>(GetTickCount32() - lastRecord) >= args.ExitWhenIdleMs) {
      break;
    }
    writer.TakeDropReport(report);
    for (const std::string& line : report) {
      std::fprintf(stderr, "kelvra-stream-writer: %s\n", line.c_str());
    }
    report.clear();
  }
  std::fprintf(stderr, "kelvra-stream-writer: %llu lines written, %llu malformed messages\n",
               static_cast<unsigned long long>(written),
               static_cast<unsigned long long>(malformed));
  natsSubscription_Destroy(subscription);
  jsCtx_Destroy(js);
  natsConnection_Destroy(connection);
  natsOptions_Destroy(options);
  return 0;
}
