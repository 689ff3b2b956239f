#pragma once

// Helpers for the file producer tests of every platform.

#include <memory>
#include <string>
#include <utility>

#include "logging/TFileLogProducer.h"

namespace fileproducertest {

inline TDateTime At(int year, int month, int day, int hour, int minute, int second, int ms) {
  return EncodeDateTime(year, month, day, hour, minute, second, ms);
}

// Masks with ':' as time separator, whatever the test machine's locale.
inline std::shared_ptr<const TFileLogMasks> ColonMasks() {
  return std::make_shared<const TFileLogMasks>(TFormatSettings{});
}

// A producer for the sender 10.1.2.3.
inline std::unique_ptr<TFileLogProducer> MakeProducer(
    const std::string& base, const std::string& application, const std::string& module,
    const std::string& prefix, const std::string& port = "1000",
    std::shared_ptr<const TFileLogMasks> masks = ColonMasks()) {
  return std::make_unique<TFileLogProducer>(base, "10.1.2.3", port, application, module, prefix, "",
                                            std::move(masks));
}

// The owners' sequence.
inline void Release(std::unique_ptr<TFileLogProducer>& producer) {
  producer->Stop();
  producer->WaitFor();
  producer.reset();
}

}  // namespace fileproducertest
