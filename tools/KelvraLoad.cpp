// KelvraLoad: sends log records to a Kelvra Log Server over TCP connections and syslog datagrams
// over UDP, waits until every line is on disk and reports records per second end to end and the
// server's peak memory.
//
// It either starts a server of its own (--server: the executable is copied into a fresh temporary
// directory with its own LogServer.conf on free ports, and stopped afterwards), or loads one that
// is already running (--tcp-port, --udp-port, --logs and, for the memory figure, --pid).
// With --no-wait it only sends (to a discarding sink, say, to measure the sender's own cost).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/uChildProcess.h"
#include "platform/uDateTime.h"
#include "platform/uSocket.h"
#include "protocol/uRecordFrame.h"
#include "tools/TSendPacer.h"
#include "tools/TSyslogDatagramBatch.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Datagrams built and sent with one call.
constexpr int UdpBatch = 64;

struct TLoadOptions {
  std::string ServerProgram;
  std::string Host = "127.0.0.1";
  std::uint16_t TcpPort = 30000;
  std::uint16_t UdpPort = 514;
  std::string Logs;  // the server's BaseCatalog
  int Pid = 0;
  long Records = 100'000;
  int Connections = 1;
  int Streams = 0;  // modules in all; 0: one per connection
  long Datagrams = 0;
  int Size = 100;  // bytes of message text per record
  int TimeoutSeconds = 120;
  int LogMode = 1;
  double Rate = 0;  // datagrams per second offered; 0: as fast as the socket takes them
  bool NoWait = false;
  // Before the timed phase every connection is opened and sends one record to each of its
  // streams, and the timing begins once those are on disk: the steady cost of live connections
  // and streams, without their set-up.
  bool Warm = false;
};

void Usage() {
  std::fprintf(
      stderr,
      "usage: KelvraLoad [--server EXE | --tcp-port P --udp-port P --logs DIR [--pid PID]]\n"
      "                  [--host ADDR] [--records N] [--connections M] [--streams S]\n"
      "                  [--datagrams D]\n"
      "                  [--size BYTES] [--timeout SECONDS] [--log-mode L]\n"
      "                  [--rate DATAGRAMS_PER_SECOND] [--no-wait] [--warm]\n"
      "  --records N over --connections M TCP connections (N=0: none), spread over S\n"
      "  streams (modules) in all (default: one per connection), then --datagrams D\n"
      "  syslog datagrams (at --rate per second; 0 or none: flat out); each phase waits\n"
      "  until its lines are on disk, unless --no-wait (only send; no --logs needed).\n"
      "  --warm: the TCP connections first send one record to each of their streams, and\n"
      "  the TCP phase is timed from when those are on disk (set-up reported apart).\n");
}

bool ParseArguments(int argc, char** argv, TLoadOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--no-wait") {
      options.NoWait = true;
      continue;
    }
    if (name == "--warm") {
      options.Warm = true;
      continue;
    }
    if (i + 1 >= argc) {
      return false;
    }
    const std::string value = argv[++i];
    if (name == "--server") {
      options.ServerProgram = value;
    } else if (name == "--host") {
      options.Host = value;
    } else if (name == "--tcp-port") {
      options.TcpPort = static_cast<std::uint16_t>(std::stoi(value));
    } else if (name == "--udp-port") {
      options.UdpPort = static_cast<std::uint16_t>(std::stoi(value));
    } else if (name == "--logs") {
      options.Logs = value;
    } else if (name == "--pid") {
      options.Pid = std::stoi(value);
    } else if (name == "--records") {
      options.Records = std::stol(value);
    } else if (name == "--streams") {
      options.Streams = std::max(0, std::stoi(value));
    } else if (name == "--connections") {
      options.Connections = std::max(1, std::stoi(value));
    } else if (name == "--datagrams") {
      options.Datagrams = std::stol(value);
    } else if (name == "--size") {
      options.Size = std::max(16, std::stoi(value));
    } else if (name == "--timeout") {
      options.TimeoutSeconds = std::stoi(value);
    } else if (name == "--log-mode") {
      options.LogMode = std::stoi(value);
    } else if (name == "--rate") {
      options.Rate = std::max(0.0, std::stod(value));
    } else {
      return false;
    }
  }
  return !options.ServerProgram.empty() || !options.Logs.empty() || options.NoWait;
}

std::uint16_t FreePort(bool udp) {
  const TSocket socket = udp ? OpenUdpSocket() : OpenTcpSocket();
  std::uint16_t port = 0;
  if (BindSocket(socket, 0, 0) == 0) {
    GetLocalPort(socket, port);
  }
  CloseSocket(socket);
  return port;
}

// The message text of one record: the run's tag, where it came from, padding to size bytes.
std::string MessageText(const std::string& tag, int source, long sequence, int size) {
  std::string text = tag + " s" + std::to_string(source) + " r" + std::to_string(sequence) + " ";
  if (static_cast<int>(text.size()) < size) {
    text.append(static_cast<std::size_t>(size) - text.size(), 'x');
  }
  return text;
}

// Counts the complete lines that carry the run's tag in the log files below a root, reading
// only what was appended since the last call.
class TLineCounter {
 public:
  TLineCounter(std::filesystem::path root, std::string tag)
      : FRoot(std::move(root)), FTag(std::move(tag)) {}

  long Count() {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(FRoot, error), end; !error && it != end;
         it.increment(error)) {
      if (it->is_regular_file() && it->path().extension() == ".log") {
        // A stat is much cheaper than opening and reading, and with 10,000 streams most files
        // have not grown since the last count.
        const std::uintmax_t size = it->file_size(error);
        if (error) {
          error.clear();
          continue;
        }
        if (const auto known = FFiles.find(it->path().string());
            known == FFiles.end() || known->second.Offset != size) {
          ReadNew(it->path());
        }
      }
    }
    return FLines;
  }

 private:
  struct TFileState {
    std::uintmax_t Offset = 0;
    std::string Partial;  // an incomplete last line
  };

  void ReadNew(const std::filesystem::path& path) {
    TFileState& state = FFiles[path.string()];
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(state.Offset));
    std::string chunk(1 << 20, '\0');
    while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) ||
           file.gcount() > 0) {
      const auto got = static_cast<std::size_t>(file.gcount());
      state.Offset += got;
      state.Partial.append(chunk.data(), got);
      std::size_t start = 0;
      for (std::size_t end; (end = state.Partial.find('\n', start)) != std::string::npos;
           start = end + 1) {
        const std::string_view line(state.Partial.data() + start, end - start);
        if (line.find(FTag) != std::string_view::npos) {
          ++FLines;
        }
      }
      state.Partial.erase(0, start);
    }
  }

  std::filesystem::path FRoot;
  std::string FTag;
  std::map<std::string, TFileState> FFiles;
  long FLines = 0;
};

// Waits until the counter reaches expected, the time-out passes, (stallLimit > 0) nothing new
// arrived for that long, or (failed not null) a sender failed. The time at which the last line
// was seen, and the count.
std::pair<Clock::time_point, long> WaitForLines(TLineCounter& counter, long expected,
                                                Clock::duration timeout, Clock::duration stallLimit,
                                                const std::atomic<bool>* failed = nullptr) {
  const auto deadline = Clock::now() + timeout;
  long seen = counter.Count();
  auto lastProgress = Clock::now();
  Clock::duration counting = Clock::duration::zero();
  while (seen < expected && Clock::now() < deadline &&
         (stallLimit == Clock::duration::zero() || Clock::now() - lastProgress < stallLimit) &&
         (failed == nullptr || !failed->load())) {
    // A count over thousands of files takes a while: pausing at least as long keeps the
    // counter to half a core at most, beside the server it measures.
    std::this_thread::sleep_for(std::max<Clock::duration>(20ms, counting));
    const auto countStarted = Clock::now();
    const long now = counter.Count();
    counting = Clock::now() - countStarted;
    if (now != seen) {
      seen = now;
      lastProgress = Clock::now();
    }
  }
  return {lastProgress, seen};
}

double Seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

// Opens the sender threads' wait for the timed phase: once for all of them, or to give up.
class TStartGate {
 public:
  void Open(bool go) {
    {
      std::lock_guard lock(FLock);
      FOpen = true;
      FGo = go;
    }
    FOpened.notify_all();
  }
  // True when the timed phase is to be sent. Sender threads.
  bool Wait() {
    std::unique_lock lock(FLock);
    FOpened.wait(lock, [this] { return FOpen; });
    return FGo;
  }

 private:
  std::mutex FLock;  // guards FOpen and FGo
  std::condition_variable FOpened;
  bool FOpen = false;
  bool FGo = false;
};

// The server's processor time, or a negative value without --pid.
double ServerCpu(const TLoadOptions& options) {
  return options.Pid > 0 ? ProcessCpuSeconds(options.Pid) : -1;
}

// Sends the TCP phase; the counter counts the lines. False when a connection failed.
bool RunTcp(const TLoadOptions& options, std::uint32_t address, const std::string& tag,
            const std::filesystem::path& logs) {
  TLineCounter counter(logs / options.Host / "KelvraLoad", tag);
  // The warm-up records carry a tag of their own, so they are not counted with the others.
  const std::string warmTag = "KW" + tag.substr(2);
  TLineCounter warmCounter(logs / options.Host / "KelvraLoad", warmTag);
  // Each connection's share of the streams, its records taking them in turn.
  const int streams = std::max(1, options.Streams / options.Connections);
  const auto opened = Clock::now();
  std::atomic<bool> failed{false};
  TStartGate gate;
  // Connections stay open until every line is stored: closing a socket with unread probe
  // frames resets it, and the reset would discard what the kernel has not sent yet.
  std::vector<TSocket> sockets(static_cast<std::size_t>(options.Connections), InvalidSocket);
  std::vector<std::thread> senders;
  for (int c = 0; c < options.Connections; ++c) {
    senders.emplace_back([&, c] {
      const long first = options.Records * c / options.Connections;
      const long last = options.Records * (c + 1) / options.Connections;
      const TSocket socket = OpenTcpSocket();
      sockets[static_cast<std::size_t>(c)] = socket;
      if (ConnectSocket(socket, address, options.TcpPort) != 0) {
        failed = true;
        return;
      }
      SetTcpNoDelay(socket);
      const std::string module = "c" + std::to_string(c);
      const auto streamOf = [&](long n) {
        return streams > 1 ? module + "m" + std::to_string(n % streams) : module;
      };
      std::string batch;
      if (options.Warm) {
        for (int n = 0; n < streams && !failed; ++n) {
          if (!AppendRecordFrame(batch, "KelvraLoad", streamOf(n), "",
                                 MessageText(warmTag, c, n, options.Size), LocalNow())) {
            failed = true;
          }
        }
        if (failed || !SendAllBytes(socket, batch.data(), batch.size())) {
          failed = true;
          return;
        }
        batch.clear();
        if (!gate.Wait()) {
          return;
        }
      }
      for (long i = first; i < last; ++i) {
        // The clients' encoder, framing straight into the batch.
        if (!AppendRecordFrame(batch, "KelvraLoad", streamOf(i - first), "",
                               MessageText(tag, c, i, options.Size), LocalNow())) {
          failed = true;
          break;
        }
        if (batch.size() >= 64 * 1024 || i + 1 == last) {
          if (!SendAllBytes(socket, batch.data(), batch.size())) {
            failed = true;
            break;
          }
          batch.clear();
        }
      }
    });
  }
  const auto closeAll = [&] {
    for (const TSocket socket : sockets) {
      if (socket != InvalidSocket) {
        CloseSocket(socket);
      }
    }
  };
  double cpuAtStart = ServerCpu(options);
  if (options.Warm) {
    const long warmRecords = static_cast<long>(options.Connections) * streams;
    const long warmLines =
        options.NoWait ? 0
                       : WaitForLines(warmCounter, warmRecords,
                                      std::chrono::seconds(options.TimeoutSeconds), 0s, &failed)
                             .second;
    const double cpu = ServerCpu(options);
    const bool ready = !failed && (options.NoWait || warmLines == warmRecords);
    std::printf("Warm-up: %d connection(s), %ld record(s) (one per stream) %s in %.2f s",
                options.Connections, warmRecords, options.NoWait ? "sent" : "stored",
                Seconds(Clock::now() - opened));
    if (cpu >= 0 && cpuAtStart >= 0) {
      std::printf(", server CPU %.3f s", cpu - cpuAtStart);
    }
    std::printf("%s\n", ready ? "" : " (failed)");
    std::fflush(stdout);
    gate.Open(ready);
    if (!ready) {
      for (auto& sender : senders) {
        sender.join();
      }
      closeAll();
      return false;
    }
    cpuAtStart = cpu;
  }
  const auto started = options.Warm ? Clock::now() : opened;
  if (options.NoWait) {
    for (auto& sender : senders) {
      sender.join();
    }
    const double seconds = Seconds(Clock::now() - started);
    closeAll();
    std::printf(
        "TCP: %ld records over %d connection(s), %d-byte texts: sent in %.2f s, "
        "%.0f records/s%s\n",
        options.Records, options.Connections, options.Size, seconds,
        static_cast<double>(options.Records) / seconds, failed ? " (a connection failed)" : "");
    return !failed;
  }
  const auto [lastLine, lines] = WaitForLines(
      counter, options.Records, std::chrono::seconds(options.TimeoutSeconds), 0s, &failed);
  const double cpuAtEnd = ServerCpu(options);
  for (auto& sender : senders) {
    sender.join();
  }
  const auto allSent = Clock::now();
  closeAll();
  const double seconds = Seconds(std::max(lastLine, allSent) - started);
  std::printf(
      "TCP: %ld records over %d connection(s), %d-byte texts: %ld stored in %.2f s, "
      "%.0f records/s end to end%s\n",
      options.Records, options.Connections, options.Size, lines, seconds,
      static_cast<double>(lines) / seconds, failed ? " (a connection failed)" : "");
  if (cpuAtStart >= 0 && cpuAtEnd >= 0 && lines > 0) {
    std::printf("Server CPU: %.3f s for the TCP phase%s, %.2f us per record\n",
                cpuAtEnd - cpuAtStart, options.Warm ? " after the warm-up" : "",
                1e6 * (cpuAtEnd - cpuAtStart) / static_cast<double>(lines));
  }
  return !failed && lines == options.Records;
}

// Sends the UDP phase at the offered rate, or as fast as the socket takes it, in batches of
// datagrams with one system call each (and, when paced, one wait per batch); what the kernel
// drops is reported.
bool RunUdp(const TLoadOptions& options, std::uint32_t address, const std::string& tag,
            const std::filesystem::path& logs) {
  TLineCounter counter(logs / options.Host / "SYSLOG", tag);
  const TSocket socket = OpenUdpSocket();
  const TSendPacer pacer(options.Rate, UdpBatch);
  TSyslogDatagramBatch batch(tag, options.Size, UdpBatch);
  const auto started = Clock::now();
  long sentCount = 0;
  bool reported = false;
  for (long next = 0; next < options.Datagrams;) {
    const int count = pacer.Batch(next, options.Datagrams);
    // Paced by the schedule from the start, so a late wake-up is made up at once.
    const auto due = pacer.Due(started, next);
    if (due > Clock::now()) {
      std::this_thread::sleep_until(due);
    }
    const int sent =
        SendDatagrams(socket, batch.Build(next, count), count, address, options.UdpPort);
    if (sent < 0) {
      // A datagram the socket refuses is counted as not sent; the run goes on with the next.
      if (!reported) {
        std::fprintf(stderr, "UDP: sending failed: %s\n",
                     SocketErrorText(LastSocketError()).c_str());
        reported = true;
      }
      ++next;
      continue;
    }
    sentCount += sent;
    next += sent;
  }
  const auto sendEnded = Clock::now();
  CloseSocket(socket);
  if (options.NoWait) {
    std::printf("UDP: %ld datagrams sent in %.2f s, %d-byte texts, %.0f datagrams/s\n", sentCount,
                Seconds(sendEnded - started), options.Size,
                static_cast<double>(sentCount) / Seconds(sendEnded - started));
    return true;
  }
  // Datagrams may be dropped: stop waiting once nothing new came for 3 seconds.
  const auto [lastLine, lines] =
      WaitForLines(counter, sentCount, std::chrono::seconds(options.TimeoutSeconds), 3s);
  const double seconds = Seconds(std::max(lastLine, sendEnded) - started);
  std::printf(
      "UDP: %ld datagrams sent in %.2f s, %d-byte texts: %ld stored (%.2f%% lost) in "
      "%.2f s, %.0f records/s end to end\n",
      sentCount, Seconds(sendEnded - started), options.Size, lines,
      sentCount == 0 ? 0.0 : 100.0 * static_cast<double>(sentCount - lines) / sentCount, seconds,
      static_cast<double>(lines) / seconds);
  return true;
}

// A server of the tool's own in a fresh directory; removed with the directory.
class TOwnServer {
 public:
  TOwnServer(const TLoadOptions& options) {
    FDir = std::filesystem::temp_directory_path() /
           ("kelvra_load_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(FDir / "cwd");
    const auto program = FDir / "KelvraLogServer";
    std::filesystem::copy_file(options.ServerProgram, program);
    TcpPort = FreePort(false);
    UdpPort = FreePort(true);
    std::ofstream(FDir / "LogServer.conf")
        << "[Common]\nServicePort=" << TcpPort << "\nSysLogPort=" << UdpPort
        << "\nLogMode=" << options.LogMode << "\n";
    TChildProcess::TOptions child;
    child.Program = program.string();
    child.WorkingDirectory = (FDir / "cwd").string();
    child.OutputPath = (FDir / "output.txt").string();
    FProcess = std::make_unique<TChildProcess>(child);
    Logs = (FDir / "Logs").string() + "/";
  }
  ~TOwnServer() {
    FProcess->RequestStop();
    if (!FProcess->WaitFor(60'000)) {
      FProcess->Kill();
      FProcess->WaitFor(60'000);
    }
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
  }
  int Pid() const { return FProcess->Id(); }

  std::uint16_t TcpPort = 0;
  std::uint16_t UdpPort = 0;
  std::string Logs;

 private:
  std::filesystem::path FDir;
  std::unique_ptr<TChildProcess> FProcess;
};

bool WaitForListener(std::uint32_t address, std::uint16_t port) {
  const auto deadline = Clock::now() + 30s;
  while (Clock::now() < deadline) {
    const TSocket socket = OpenTcpSocket();
    const bool connected = ConnectSocket(socket, address, port) == 0;
    CloseSocket(socket);
    if (connected) {
      return true;
    }
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  TLoadOptions options;
  if (!ParseArguments(argc, argv, options)) {
    Usage();
    return 2;
  }
  std::uint32_t address = 0;
  if (!ParseIPv4Address(options.Host, address)) {
    std::fprintf(stderr, "not an IPv4 address: %s\n", options.Host.c_str());
    return 2;
  }
  std::unique_ptr<TOwnServer> server;
  if (!options.ServerProgram.empty()) {
    server = std::make_unique<TOwnServer>(options);
    options.TcpPort = server->TcpPort;
    options.UdpPort = server->UdpPort;
    options.Logs = server->Logs;
    options.Pid = server->Pid();
  }
  if (!WaitForListener(address, options.TcpPort)) {
    std::fprintf(stderr, "no server listens on %s:%u\n", options.Host.c_str(), options.TcpPort);
    return 1;
  }
  // Every run has its own tag, so lines of earlier runs in the same tree do not count.
  const std::string tag = "KL" + std::to_string(std::random_device{}());
  bool ok = true;
  if (options.Records > 0) {
    ok = RunTcp(options, address, tag, options.Logs) && ok;
  }
  if (options.Datagrams > 0) {
    ok = RunUdp(options, address, tag, options.Logs) && ok;
  }
  if (options.Pid > 0) {
    std::printf("Server peak memory (VmHWM): %.1f MiB\n",
                static_cast<double>(ProcessPeakMemory(options.Pid)) / (1024.0 * 1024.0));
  }
  return ok ? 0 : 1;
}
