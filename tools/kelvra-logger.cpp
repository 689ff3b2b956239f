// kelvra-logger: sends log records to a Kelvra Log Server from the shell, in the style of
// util-linux logger. With a message, it sends that one record; without, each line of standard
// input as one record. With --udp, syslog datagrams to the syslog port instead.
//
// Exit codes: 0 everything sent, 1 usage error, 2 cannot connect (or resolve the host),
// 3 not everything sent (a record refused, or not written within --timeout).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/TKelvraClient.h"
#include "platform/uDateTime.h"
#include "platform/uSocket.h"

namespace {

constexpr int ExitSent = 0;
constexpr int ExitUsage = 1;
constexpr int ExitCannotConnect = 2;
constexpr int ExitNotAllSent = 3;

constexpr std::uint16_t DefaultTcpPort = 30000;
constexpr std::uint16_t DefaultSyslogPort = 514;
// The server drops longer datagrams.
constexpr std::size_t MaxDatagramBytes = 8192;
// Priority user.notice, as logger uses by default.
constexpr const char* SyslogPriority = "<13>";

struct TLoggerOptions {
  std::string Host = "127.0.0.1";
  std::optional<std::uint16_t> Port;
  std::string Application = "kelvra-logger";
  std::string Module = "main";
  std::string Prefix;
  std::optional<double> ClientTime;
  int TimeoutSeconds = 10;
  bool Udp = false;
  bool Cut = false;
  bool Help = false;
  std::vector<std::string> Message;
};

void PrintUsage(std::FILE* to) {
  std::fputs(
      "Usage: kelvra-logger [options] [message ...]\n"
      "Sends the message as one log record to a Kelvra Log Server; without a message, each line\n"
      "of standard input as one record (tail -F app.log | kelvra-logger -a Billing -m Core).\n"
      "\n"
      "Options:\n"
      "  -n, --server HOST        server name or IPv4 address (default 127.0.0.1)\n"
      "  -P, --port PORT          TCP record port (default 30000; with --udp 514)\n"
      "  -a, --application NAME   application name of the records (default kelvra-logger)\n"
      "  -m, --module NAME        module name of the records (default main)\n"
      "  -p, --prefix PREFIX      file prefix of the records (default none)\n"
      "      --time ISO-8601      sender's time stamp, local time, YYYY-MM-DDTHH:MM:SS[.mmm]\n"
      "                           (default: the time each record is sent)\n"
      "      --timeout SECONDS    limit for connecting and for sending everything (default 10)\n"
      "      --cut                cut a text too long for one record and end it in ...[cut]\n"
      "                           (default: refuse it)\n"
      "      --udp                send each line as a syslog datagram (<13>text) instead;\n"
      "                           application, module, prefix and time are not used\n"
      "  -h, --help               this text\n"
      "\n"
      "Exit codes: 0 sent, 1 usage error, 2 cannot connect, 3 not everything sent.\n",
      to);
}

void Fail(const std::string& message) {
  std::fprintf(stderr, "kelvra-logger: %s\n", message.c_str());
}

bool ParseNumber(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.size() > 9) {
    return false;
  }
  long result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    result = result * 10 + (c - '0');
  }
  if (result < low || result > high) {
    return false;
  }
  value = result;
  return true;
}

// YYYY-MM-DDTHH:MM:SS with an optional .m, .mm or .mmm; a blank may stand for the T.
//   "2024-03-07T14:05:08.997" => 45358.58690969...
std::optional<double> ParseIsoTime(const std::string& text) {
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' ||
      (text[10] != 'T' && text[10] != ' ') || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
  if (!ParseNumber(text.substr(0, 4), 1, 9999, year) ||
      !ParseNumber(text.substr(5, 2), 1, 12, month) ||
      !ParseNumber(text.substr(8, 2), 1, 31, day) ||
      !ParseNumber(text.substr(11, 2), 0, 23, hour) ||
      !ParseNumber(text.substr(14, 2), 0, 59, minute) ||
      !ParseNumber(text.substr(17, 2), 0, 59, second)) {
    return std::nullopt;
  }
  if (text.size() > 19) {
    const std::string fraction = text.substr(20);
    if (text[19] != '.' || fraction.empty() || fraction.size() > 3 ||
        !ParseNumber(fraction, 0, 999, millisecond)) {
      return std::nullopt;
    }
    for (std::size_t i = fraction.size(); i < 3; ++i) {
      millisecond *= 10;
    }
  }
  static constexpr int DaysIn[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > DaysIn[month - 1] || (month == 2 && day == 29 && !leap)) {
    return std::nullopt;
  }
  return EncodeDateTime(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
                        static_cast<int>(hour), static_cast<int>(minute), static_cast<int>(second),
                        static_cast<int>(millisecond));
}

// False with a message on a usage error.
bool ParseArguments(int argc, char** argv, TLoggerOptions& options) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      options.Message.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name;
    std::optional<std::string> value;
    if (argument.compare(0, 2, "--") == 0) {
      const std::size_t equals = argument.find('=');
      name = argument.substr(0, equals);
      if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
      }
    } else {
      // -nHOST as well as -n HOST.
      name = argument.substr(0, 2);
      if (argument.size() > 2) {
        value = argument.substr(2);
      }
    }
    const auto flag = [&](bool& target) {
      if (value) {
        Fail("option " + name + " takes no value");
        return false;
      }
      target = true;
      return true;
    };
    if (name == "-h" || name == "--help") {
      if (!flag(options.Help)) {
        return false;
      }
      continue;
    }
    if (name == "--udp") {
      if (!flag(options.Udp)) {
        return false;
      }
      continue;
    }
    if (name == "--cut") {
      if (!flag(options.Cut)) {
        return false;
      }
      continue;
    }
    static const std::vector<std::string> WithValue = {
        "-n", "--server", "-P", "--port",   "-a",     "--application",
        "-m", "--module", "-p", "--prefix", "--time", "--timeout"};
    if (std::find(WithValue.begin(), WithValue.end(), name) == WithValue.end()) {
      Fail("unknown option: " + name);
      return false;
    }
    if (!value) {
      if (i + 1 >= argc) {
        Fail("option " + name + " needs a value");
        return false;
      }
      value = argv[++i];
    }
    long number = 0;
    if (name == "-n" || name == "--server") {
      options.Host = *value;
    } else if (name == "-P" || name == "--port") {
      if (!ParseNumber(*value, 1, 65535, number)) {
        Fail("invalid port: " + *value);
        return false;
      }
      options.Port = static_cast<std::uint16_t>(number);
    } else if (name == "-a" || name == "--application") {
      options.Application = *value;
    } else if (name == "-m" || name == "--module") {
      options.Module = *value;
    } else if (name == "-p" || name == "--prefix") {
      options.Prefix = *value;
    } else if (name == "--time") {
      options.ClientTime = ParseIsoTime(*value);
      if (!options.ClientTime) {
        Fail("invalid time (YYYY-MM-DDTHH:MM:SS[.mmm] expected): " + *value);
        return false;
      }
    } else if (name == "--timeout") {
      if (!ParseNumber(*value, 0, 86400, number)) {
        Fail("invalid time-out in seconds: " + *value);
        return false;
      }
      options.TimeoutSeconds = static_cast<int>(number);
    }
  }
  if (options.Host.empty()) {
    Fail("empty server name");
    return false;
  }
  return true;
}

std::string JoinMessage(const std::vector<std::string>& words) {
  std::string message;
  for (const auto& word : words) {
    if (!message.empty()) {
      message += ' ';
    }
    message += word;
  }
  return message;
}

// Calls send for the message, or for each line of standard input (line end and a CR before it
// removed). False when send refused any.
template <typename TSend>
bool ForEachRecord(const TLoggerOptions& options, TSend&& send) {
  if (!options.Message.empty()) {
    return send(JoinMessage(options.Message), 0);
  }
  std::ios::sync_with_stdio(false);
  bool all = true;
  std::string line;
  for (long number = 1; std::getline(std::cin, line); ++number) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    all = send(line, number) && all;
  }
  return all;
}

std::string Where(long lineNumber) {
  return lineNumber > 0 ? "line " + std::to_string(lineNumber) + ": " : "";
}

int RunTcp(const TLoggerOptions& options) {
  TKelvraClientOptions clientOptions;
  clientOptions.CutOversizeText = options.Cut;
  clientOptions.ConnectTimeoutMs = options.TimeoutSeconds * 1000;
  const std::uint16_t port = options.Port.value_or(DefaultTcpPort);
  TKelvraStatus status = TKelvraStatus::Ok;
  int code = 0;
  auto client = TKelvraClient::Open(options.Host, port, clientOptions, status, code);
  if (!client) {
    if (status == TKelvraStatus::HostNotFound) {
      Fail("cannot resolve host " + options.Host + ": " + HostLookupErrorText(code) + " (code " +
           std::to_string(code) + ")");
    } else {
      Fail("cannot connect to " + options.Host + ":" + std::to_string(port) + ": " +
           SocketErrorText(code) + " (code " + std::to_string(code) + ")");
    }
    return ExitCannotConnect;
  }
  const bool allQueued = ForEachRecord(options, [&](const std::string& text, long lineNumber) {
    const TKelvraStatus sent =
        options.ClientTime
            ? client->Send(options.Application, options.Module, options.Prefix, text,
                           *options.ClientTime)
            : client->Send(options.Application, options.Module, options.Prefix, text);
    if (sent == TKelvraStatus::Ok) {
      return true;
    }
    Fail(Where(lineNumber) + KelvraStatusText(sent) +
         (sent == TKelvraStatus::RecordTooLarge
              ? " (" + std::to_string(text.size()) +
                    " bytes of text; application, module, "
                    "prefix and text may have 65486 bytes together; --cut cuts it)"
              : std::string()));
    return false;
  });
  const TKelvraStatus closed = client->Close(options.TimeoutSeconds * 1000);
  if (closed != TKelvraStatus::Ok) {
    const TKelvraClientCounters counters = client->Counters();
    Fail("not everything was sent within " + std::to_string(options.TimeoutSeconds) +
         " s: " + std::to_string(counters.Sent) + " records sent, " +
         std::to_string(counters.Dropped) + " not sent" +
         (counters.LastError != 0 ? ", last error: " + SocketErrorText(counters.LastError) +
                                        " (code " + std::to_string(counters.LastError) + ")"
                                  : std::string()));
    return ExitNotAllSent;
  }
  return allQueued ? ExitSent : ExitNotAllSent;
}

int RunUdp(const TLoggerOptions& options) {
  const std::uint16_t port = options.Port.value_or(DefaultSyslogPort);
  if (const int started = StartNetwork(); started != 0) {
    Fail("cannot start the network: " + SocketErrorText(started));
    return ExitCannotConnect;
  }
  std::uint32_t address = 0;
  if (!ParseIPv4Address(options.Host, address)) {
    if (const int lookup = LookupIPv4Host(options.Host, address); lookup != 0) {
      Fail("cannot resolve host " + options.Host + ": " + HostLookupErrorText(lookup) + " (code " +
           std::to_string(lookup) + ")");
      CleanupNetwork();
      return ExitCannotConnect;
    }
  }
  const TSocket socket = OpenUdpSocket();
  if (socket == InvalidSocket) {
    const int error = LastSocketError();
    Fail("cannot open a UDP socket: " + SocketErrorText(error) + " (code " + std::to_string(error) +
         ")");
    CleanupNetwork();
    return ExitCannotConnect;
  }
  const bool all = ForEachRecord(options, [&](const std::string& text, long lineNumber) {
    const std::string datagram = SyslogPriority + text;
    if (datagram.size() > MaxDatagramBytes) {
      Fail(Where(lineNumber) + "datagram of " + std::to_string(datagram.size()) +
           " bytes is longer than the 8192 the server takes");
      return false;
    }
    if (SendDatagram(socket, datagram.data(), datagram.size(), address, port) !=
        static_cast<long>(datagram.size())) {
      const int error = LastSocketError();
      Fail(Where(lineNumber) + "cannot send to " + options.Host + ":" + std::to_string(port) +
           ": " + SocketErrorText(error) + " (code " + std::to_string(error) + ")");
      return false;
    }
    return true;
  });
  CloseSocket(socket);
  CleanupNetwork();
  return all ? ExitSent : ExitNotAllSent;
}

}  // namespace

int main(int argc, char** argv) {
  TLoggerOptions options;
  if (!ParseArguments(argc, argv, options)) {
    std::fputs("Try 'kelvra-logger --help'.\n", stderr);
    return ExitUsage;
  }
  if (options.Help) {
    PrintUsage(stdout);
    return ExitSent;
  }
  return options.Udp ? RunUdp(options) : RunTcp(options);
}
