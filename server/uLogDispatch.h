#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/uDateTime.h"
#include "server/uLogQueue.h"

// Where a dispatched event goes: the producer holder's two operations and the diagnostic log.
// The main control forwards them; tests record them.
class tLogEventTarget {
 public:
  virtual ~tLogEventTarget() = default;

  // PeerPort is decimal text without leading zeros. The views last for the call only.
  virtual void RouteRecord(std::string_view PeerAddress, std::string_view PeerPort,
                           std::string_view ApplicationName, std::string_view ModuleName,
                           std::string_view FilePrefix, std::string_view Text,
                           TDateTime ClientTime) = 0;
  virtual void ReleasePeer(std::string_view PeerAddress, std::string_view PeerPort) = 0;
  virtual void WriteLog(bool Verbose, const std::string& Message) = 0;
};

struct tLogDispatchSettings {
  std::int32_t LogMode = 1;
  bool ModuleNameAsFilePrefix = true;
};

// Appends text as the diagnostic log quotes it, so that no text can forge a line of its own:
// "\" becomes "\\", CR "\r", LF "\n", any other byte below 32 "\xNN" (two upper-case hex digits);
// every other byte stays as it is.
//   "a\r\nb" => a\r\nb (six characters)    "tab\there" => tab\x09here    "C:\x" => C:\\x
void AppendEscapedText(std::string& out, std::string_view text);

// Turns one queued event into output:
//   lkTcpData     a decoded record is routed (a malformed one is dropped without a word), then
//                 with LogMode >= 2 a "NEW MSG" line follows, its text escaped (AppendEscapedText)
//   lkConnect     "CLIENT CONNECTED: [addr:port]" (verbose)
//   lkDisconnect  the sender's file producers are released, then "CLIENT DISCONNECTED: ..."
//   lkSyslogData  the datagram's text, less its trailing control bytes and blanks, is routed as
//                 application "SYSLOG", module "syslog", then "NEW MSG" with LogMode >= 2
// Anything else gives no output. Main loop thread only.
void DispatchLogElement(const tLogQueueElement& element, const tLogDispatchSettings& settings,
                        tLogEventTarget& target);
