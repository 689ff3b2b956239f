#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "plugins/forward/TSubjectTemplate.h"

// Which forwarder reads the settings: decides the template rules and which sections are known.
enum class TForwarderKind { Nats, Kafka };

// What the forwarder does when its spool's disk limit is reached.
enum class TSpoolFullPolicy { DropOldest, DropNewest };

struct TForwardSpoolSettings {
  // Where the segment files and the checkpoint go. Default: the settings file's path with ".conf"
  // replaced by ".spool" (/opt/kelvra/NatsJetStreamForwarder.spool).
  std::string Directory;
  std::uint64_t MemoryLimitBytes = 64ull << 20;
  std::uint64_t DiskLimitBytes = 1ull << 30;
  TSpoolFullPolicy WhenFull = TSpoolFullPolicy::DropOldest;
};

// A JetStream stream, created when missing (NATS only).
struct TForwardStreamSettings {
  std::string Name = "KELVRA";
  // Comma-separated in the file; must cover every subject the template builds.
  std::vector<std::string> Subjects = {"kelvra.>"};
  int Replicas = 1;                           // 1 to 5
  std::string Retention = "limits";           // limits, interest or workqueue
  std::string Storage = "file";               // file or memory
  std::uint32_t DuplicateWindowMs = 120'000;  // JetStream's window for Nats-Msg-Id
  std::uint64_t MaxAgeMs = 0;                 // 0: no limit
  std::uint64_t MaxBytes = 0;                 // 0: no limit
};

struct TForwardSettings {
  // nats://host:port or host:port for NATS (any server of the cluster); host:port brokers for
  // Kafka. At least one.
  std::vector<std::string> Servers;
  TSubjectTemplate Template;
  // How long a stop waits for outstanding acknowledgements before the spool keeps the rest.
  std::uint32_t FlushTimeoutMs = 5000;
  // Published and not yet acknowledged, at most.
  std::uint32_t MaxOutstandingAcks = 1000;
  TForwardSpoolSettings Spool;
  TForwardStreamSettings Stream;
  // Kafka: every line of section [Kafka], given to librdkafka as it is (name, value), file order.
  std::vector<std::pair<std::string, std::string>> EngineProperties;
};

// The outcome of reading a settings file: every good value, the default for every missing or bad
// one, and one line for the diagnostic log when anything was wrong (empty when all is well):
//   "Forwarder settings /opt/kelvra/NatsJetStreamForwarder.conf line 7: MaxOutstandingAcks:
//    \"lots\" is not a number (and 1 more error)"
// A forwarder whose Error is not empty must not connect: it spools (Spool holds its best
// settings) until the file is mended and the server restarted.
struct TForwardSettingsResult {
  TForwardSettings Settings;
  std::string Error;
};

// Reads an INI file of this form (keys and sections without regard to letter case, blanks around
// values dropped, lines beginning with ';' or '#' are comments, LF or CR LF):
//
//   [Forwarder]
//   Servers=nats://127.0.0.1:4222, nats://127.0.0.1:4223
//   Template=kelvra.{address}.{application}.{module}
//   FlushTimeoutMs=5000
//   MaxOutstandingAcks=1000
//   [Spool]
//   Directory=/var/spool/kelvra/nats
//   MemoryLimit=64M            ; bytes, or with K, M, G (powers of 1024)
//   DiskLimit=1G
//   WhenFull=DropOldest        ; or DropNewest
//   [Stream]                   ; NATS only
//   Name=KELVRA
//   Subjects=kelvra.>
//   Replicas=3
//   Retention=limits
//   Storage=file
//   DuplicateWindowMs=120000
//   MaxAgeMs=0
//   MaxBytes=0
//   [Kafka]                    ; Kafka only: any librdkafka property, passed through
//   compression.type=lz4
//
// An unknown section or key, a value that does not parse or is out of range, a missing Servers,
// a missing or unreadable file: each is an error. Any thread.
TForwardSettingsResult ReadForwardSettings(const std::string& path, TForwarderKind kind);

// The same from the file's text, path used in the messages only. Any thread.
TForwardSettingsResult ParseForwardSettings(std::string_view text, const std::string& path,
                                            TForwarderKind kind);

// The settings file of the library that holds addressInLibrary: the library's path with its
// extension replaced by ".conf" (/opt/kelvra/NatsJetStreamForwarder.so =>
// /opt/kelvra/NatsJetStreamForwarder.conf). Empty when the library cannot be found. Any thread.
std::string ForwarderSettingsPath(const void* addressInLibrary);
