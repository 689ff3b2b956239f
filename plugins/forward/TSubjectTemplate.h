#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "plugins/forward/uForwardRecord.h"

// Which naming rules a built name must follow.
enum class TSubjectRules {
  // NATS subjects: tokens separated by '.', none empty, no blank or control character, no '*' or
  // '>' (wildcards). A record field becomes one token: every '.', blank, control character, '*',
  // '>' and byte of 0x7F or above becomes '_'; an empty field becomes "_".
  Nats,
  // Kafka topics: at most 249 characters of [A-Za-z0-9._-]. A record field: every other byte, and
  // '.', becomes '_'; an empty field becomes "_". A longer name is cut to 240 characters and
  // followed by "-" and the FNV-1a 32-bit hash of the uncut name in 8 hexadecimal digits.
  Kafka,
};

// A subject (NATS) or topic (Kafka) template, compiled once. Fields are named in braces:
//   {address}      the sender's address, "10.1.2.3" => "10_1_2_3"
//   {port}         the sender's port
//   {application}  {module}  {prefix}   the record's fields
// Everything else is copied and must itself follow the rules.
//   "kelvra.{address}.{application}.{module}" with 10.1.2.3, "Billing", "Core v2"
//     => Nats: "kelvra.10_1_2_3.Billing.Core_v2"
// Construction: any thread; a compiled template is immutable, so any thread may use it.
class TSubjectTemplate {
 public:
  static constexpr std::string_view DefaultText = "kelvra.{address}.{application}.{module}";
  static constexpr std::size_t MaxKafkaTopicLength = 249;

  // The default template.
  explicit TSubjectTemplate(TSubjectRules rules = TSubjectRules::Nats);

  // Compiles text; false with a reason in error (an unknown or unclosed field, a literal that
  // breaks the rules, an empty template or token) and the template left unchanged.
  bool Compile(std::string_view text, std::string& error);

  // The name for one record.
  std::string Build(const TForwardRecord& record) const;
  void AppendTo(std::string& out, const TForwardRecord& record) const;

  const std::string& Text() const { return FText; }
  TSubjectRules Rules() const { return FRules; }

  // One record field made safe under rules (exposed for the tests and for keys).
  static void AppendSafeToken(std::string& out, std::string_view field, TSubjectRules rules);

 private:
  enum class TField { Literal, Address, Port, Application, Module, Prefix };
  struct TPart {
    TField Field = TField::Literal;
    std::string Literal;
  };

  TSubjectRules FRules;
  std::string FText;
  std::vector<TPart> FParts;
};
