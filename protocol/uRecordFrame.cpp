#include "protocol/uRecordFrame.h"

#include <cstdint>

std::size_t RecordFrameSize(std::string_view application, std::string_view module,
                            std::string_view prefix, std::string_view text) {
  return TPKTHeaderSize + LogRecordSize(application, module, prefix, text);
}

bool AppendRecordFrame(std::string& out, std::string_view application, std::string_view module,
                       std::string_view prefix, std::string_view text, double clientTime) {
  // Summed one by one so that no sum of huge lengths can wrap.
  std::size_t texts = 0;
  for (const std::string_view field : {application, module, prefix, text}) {
    if (field.size() > MaxRecordTextBytes - texts) {
      return false;
    }
    texts += field.size();
  }
  std::uint8_t header[TPKTHeaderSize];
  WriteTPKTHeader(header, LogRecordHeaderSize + texts);
  out.append(reinterpret_cast<const char*>(header), TPKTHeaderSize);
  AppendLogRecord(out, application, module, prefix, text, clientTime);
  return true;
}
