#include "server/uLogDispatch.h"

#include <charconv>

#include "server/uRecordDecoder.h"

namespace {

// The peer's port as decimal text, kept in the object for the views handed on.
class tPortText {
 public:
  explicit tPortText(std::uint16_t port) {
    FLength = static_cast<std::size_t>(std::to_chars(FDigits, FDigits + sizeof FDigits, port).ptr -
                                       FDigits);
  }
  std::string_view View() const { return std::string_view(FDigits, FLength); }

 private:
  char FDigits[8];
  std::size_t FLength = 0;
};

std::string PeerText(const tLogQueueElement& element) {
  std::string text = "[" + element.PeerAddress + ":";
  text += tPortText(element.PeerPort).View();
  return text + "]";
}

void WriteNewMessage(const tLogQueueElement& element, const tLogDispatchSettings& settings,
                     std::string_view text, tLogEventTarget& target) {
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
  target.RouteRecord(element.PeerAddress, tPortText(element.PeerPort).View(),
                     record.ApplicationName, record.ModuleName, record.FilePrefix, record.Text,
                     record.ClientTime);
  WriteNewMessage(element, settings, record.Text, target);
}

void DispatchSyslogData(const tLogQueueElement& element, const tLogDispatchSettings& settings,
                        tLogEventTarget& target) {
  // A view into the element's bytes: the text is not copied on its way to the line.
  const std::string_view text = SyslogText(element.Data.get(), element.Size);
  target.RouteRecord(element.PeerAddress, tPortText(element.PeerPort).View(), "SYSLOG", "syslog",
                     std::string_view(), text, 0);
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
      target.ReleasePeer(element.PeerAddress, tPortText(element.PeerPort).View());
      target.WriteLog(true, "CLIENT DISCONNECTED: " + PeerText(element));
      break;
    case lkSyslogData:
      DispatchSyslogData(element, settings, target);
      break;
    default:
      break;
  }
}
