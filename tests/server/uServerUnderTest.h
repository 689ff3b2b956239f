#pragma once

// The real server executable, run as a child process from a directory of its own, and helpers to
// talk to it (TLoopbackClient for TCP). Used by the end-to-end tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/uChildProcess.h"
#include "platform/uSocket.h"
#include "server/uRecordDecoder.h"
#include "tests/net/LoopbackClient.h"
#include "tests/uTestDirectory.h"

namespace e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: the machine is small and shared, and the sanitizers slow everything down.
inline constexpr auto Patience = 30s;

inline std::uint32_t Loopback() {
  std::uint32_t address = 0;
  ParseIPv4Address("127.0.0.1", address);
  return address;
}

// A port that was free a moment ago: bound to port 0, read, released.
inline std::uint16_t FreePort(bool udp) {
  const TSocket socket = udp ? OpenUdpSocket() : OpenTcpSocket();
  std::uint16_t port = 0;
  if (BindSocket(socket, 0, 0) == 0) {
    GetLocalPort(socket, port);
  }
  CloseSocket(socket);
  return port;
}

// Polls condition until it holds or the deadline passes.
inline bool WaitUntil(const std::function<bool()>& condition, Clock::duration patience = Patience) {
  const auto deadline = Clock::now() + patience;
  while (!condition()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A TPKT frame: 03 00, the frame length big-endian, the payload.
inline std::string TpktFrame(const std::string& payload) {
  const std::size_t length = payload.size() + 4;
  std::string frame{'\x03', '\x00', static_cast<char>(length >> 8 & 0xFF),
                    static_cast<char>(length & 0xFF)};
  return frame + payload;
}

inline std::string RecordFrame(const std::string& application, const std::string& module,
                               const std::string& prefix, const std::string& text,
                               TDateTime clientTime) {
  tLogRecord record;
  record.ApplicationName = application;
  record.ModuleName = module;
  record.FilePrefix = prefix;
  record.Text = text;
  record.ClientTime = clientTime;
  return TpktFrame(EncodeLogRecord(record));
}

inline bool SendDatagram(std::uint16_t port, const std::string& bytes) {
  const TSocket socket = OpenUdpSocket();
  const long sent = ::SendDatagram(socket, bytes.data(), bytes.size(), Loopback(), port);
  CloseSocket(socket);
  return sent == static_cast<long>(bytes.size());
}

// Every regular file below root whose path ends in suffix, sorted by path.
inline std::vector<std::filesystem::path> FilesBelow(const std::filesystem::path& root,
                                                     const std::string& suffix = ".log") {
  std::vector<std::filesystem::path> found;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    const std::string path = it->path().string();
    if (it->is_regular_file() && path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found.push_back(it->path());
    }
  }
  // Day folders and hour files sort by time.
  std::sort(found.begin(), found.end());
  return found;
}

// The concatenated contents of every log file below root.
inline std::string ReadLogTree(const std::filesystem::path& root) {
  std::string all;
  for (const auto& file : FilesBelow(root)) {
    all += ReadTextFile(file.string());
  }
  return all;
}

// The lines of a diagnostic log without their time stamps, CR LF removed; a line without a stamp
// comes back marked "UNSTAMPED ".
inline std::vector<std::string> Messages(const std::string& log) {
  static const std::regex stamped(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d:\d{3} : (.*)\r$)");
  std::vector<std::string> messages;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, match, stamped)) {
      messages.push_back(match[1]);
    } else {
      messages.push_back("UNSTAMPED " + line);
    }
  }
  return messages;
}

// The server copied into a test directory, with its LogServer.conf, started from another
// current directory. The destructor always stops it: SIGTERM, then SIGKILL after a deadline.
class TServerUnderTest {
 public:
  TServerUnderTest()
      : FTcpPort(FreePort(false)), FUdpPort(FreePort(true)), FProgram(FDir.File(ProgramName())) {
    std::filesystem::copy_file(KELVRA_SERVER_EXE, FProgram);
    std::filesystem::create_directories(FDir.File("elsewhere"));
  }
  ~TServerUnderTest() { Stop(); }
  TServerUnderTest(const TServerUnderTest&) = delete;
  TServerUnderTest& operator=(const TServerUnderTest&) = delete;

  std::uint16_t TcpPort() const { return FTcpPort; }
  std::uint16_t UdpPort() const { return FUdpPort; }
  std::string Dir() const { return FDir.Dir(); }
  std::string ConfigPath() const { return FDir.File("LogServer.conf"); }
  std::string LogRoot() const { return FDir.Dir() + NativePath("Logs/"); }
  // The executable's file name, which names the diagnostic log's folders: "KelvraLogServer", and
  // "KelvraLogServer.exe" on Windows.
  static std::string ProgramName() {
    return std::filesystem::path(KELVRA_SERVER_EXE).filename().string();
  }
  std::string DiagnosticRoot() const {
    return LogRoot() + NativePath("0.0.0.0/" + ProgramName() + "/" + ProgramName());
  }

  // Writes LogServer.conf with the test's ports and the extra lines of "Common".
  void Configure(const std::string& extraCommonLines = "") {
    WriteTextFile(ConfigPath(), "[Common]\nServicePort=" + std::to_string(FTcpPort) +
                                    "\nSysLogPort=" + std::to_string(FUdpPort) + "\n" +
                                    extraCommonLines);
  }

  // Copies a program or library into the server's directory under its own name (the plug-in
  // host, which the server looks for beside itself).
  void CopyBesideServer(const std::string& path) {
    std::filesystem::copy_file(path, FDir.File(std::filesystem::path(path).filename().string()),
                               std::filesystem::copy_options::overwrite_existing);
  }

  // Adds a variable to the server's environment from the next Start on.
  void SetEnvironment(const std::string& name, const std::string& value) {
    FEnvironment.emplace_back(name, value);
  }

  void Start() {
    TChildProcess::TOptions options;
    options.Program = FProgram;
    options.WorkingDirectory = FDir.File("elsewhere");
    options.Environment = {{"LC_ALL", "C"}};
    options.Environment.insert(options.Environment.end(), FEnvironment.begin(), FEnvironment.end());
    options.OutputPath = FDir.File("output.txt");
    FProcess = std::make_unique<TChildProcess>(options);
  }

  // Starts the server and waits until its TCP port accepts connections.
  void StartAndWaitForListener() {
    Start();
    TLoopbackClient probe;
    ASSERT_TRUE(WaitUntil([&] { return probe.Connect(FTcpPort) || !FProcess->Running(); }));
    ASSERT_TRUE(FProcess->Running()) << Output();
  }

  // The TCP listener opens before the syslog socket, so a datagram sent as soon as TCP accepts
  // can find no socket yet. Sends the datagram probe until one is stored in 127.0.0.1's syslog
  // stream; a test that checks that stream leaves the probes out.
  bool WaitForSyslogListener(const std::string& probe) {
    const std::filesystem::path stream = LogRoot() + NativePath("127.0.0.1/SYSLOG");
    return WaitUntil([&] {
      SendDatagram(FUdpPort, probe);
      std::this_thread::sleep_for(50ms);
      return ReadLogTree(stream.string()).find(probe) != std::string::npos;
    });
  }

  // SIGTERM, and the process has ended within the deadline (else it is killed). True when it
  // ended by itself.
  bool Stop() {
    if (!FProcess) {
      return true;
    }
    FProcess->RequestStop();
    if (FProcess->WaitFor(30'000)) {
      return true;
    }
    FProcess->Kill();
    FProcess->WaitFor(30'000);
    return false;
  }

  TChildProcess& Process() { return *FProcess; }
  std::string Output() const { return ReadTextFile(FDir.File("output.txt")); }
  std::string DiagnosticLog() const { return ReadLogTree(DiagnosticRoot()); }

  bool WaitForDiagnosticLine(const std::string& line) {
    return WaitUntil([&] { return DiagnosticLog().find(line) != std::string::npos; });
  }

 private:
  TTestDirectory FDir;
  std::uint16_t FTcpPort;
  std::uint16_t FUdpPort;
  std::string FProgram;
  std::unique_ptr<TChildProcess> FProcess;
  std::vector<std::pair<std::string, std::string>> FEnvironment;
};

}  // namespace e2e
