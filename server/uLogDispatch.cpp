#include "server/uLogDispatch.h"

#include "server/uRecordDecoder.h"

namespace {

std::string PeerText(const tLogQueueElement& element) {
  return "[" + element.PeerAddress + ":" + std::to_string(element.PeerPort) + "]";
}

void WriteNewMessage(const tLogQueueElement& element, const tLogDispatchSettings& settings,
                     const std::string& text, tLogEventTarget& target) {
  if (settings.LogMode >= 2) {
    std::string line = "NEW MSG: " + PeerText(element) + " \"";
    AppendEscapedText(line, text);
    line += '"';
    target.WriteLog(true, line);
  }
}

void DispatchTcpData(const tLogQueueElement& element, const tLogDispatchSettings& settings,
                     tLogEventTarget& target) {
  tLogRecord record;
  if (!DecodeLogRecord(element.Data.get(), element.Size, record)) {
    return;
  }
  if (record.FilePrefix.empty() && settings.ModuleNameAsFilePrefix) {
    record.FilePrefix = record.ModuleName;
  }
  target.RouteRecord(element.PeerAddress, std::to_string(element.PeerPort), record.ApplicationName,
                     record.ModuleName, record.FilePrefix, record.Text, record.ClientTime);
  WriteNewMessage(element, settings, record.Text, target);
}

void DispatchSyslogData(const tLogQueueElement& element, const tLogDispatchSettings& settings,
                        tLogEventTarget& target) {
  const std::string text = SyslogText(element.Data.get(), element.Size);
  target.RouteRecord(element.PeerAddress, std::to_string(element.PeerPort), "SYSLOG", "syslog",
                     std::string(), text, 0);
  WriteNewMessage(element, settings, text, target);
}

}  // namespace

void AppendEscapedText(std::string& out, std::string_view text) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  out.reserve(out.size() + text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 32) {
      out += "\\x";
      out += Hex[byte >> 4];
      out += Hex[byte & 0xF];
    } else {
      out += c;
    }
  }
}

void DispatchLogElement(const tLogQueueElement& element, const tLogDispatchSettings& settings,
                        tLogEventTarget& target) {
  switch (element.Kind) {
    case lkTcpData:
      DispatchTcpData(element, settings, target);
      break;
    case lkConnect:
      target.WriteLog(true, "CLIENT CONNECTED: " + PeerText(element));
      break;
    case lkDisconnect:
      target.ReleasePeer(element.PeerAddress, std::to_string(element.PeerPort));
      target.WriteLog(true, "CLIENT DISCONNECTED: " + PeerText(element));
      break;
    case lkSyslogData:
      DispatchSyslogData(element, settings, target);
      break;
    default:
      break;
  }
}
