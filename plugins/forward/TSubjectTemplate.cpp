#include "plugins/forward/TSubjectTemplate.h"

#include <cstdint>

namespace {

bool KafkaCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// Whether one byte may stand in a token of a name under rules ('.' aside).
bool TokenCharacter(char c, TSubjectRules rules) {
  if (rules == TSubjectRules::Kafka) {
    return KafkaCharacter(c);
  }
  const auto b = static_cast<unsigned char>(c);
  return b > 0x20 && b < 0x7F && c != '.' && c != '*' && c != '>';
}

std::uint32_t Fnv1a32(std::string_view bytes) {
  std::uint32_t hash = 2166136261u;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

}  // namespace

TSubjectTemplate::TSubjectTemplate(TSubjectRules rules) : FRules(rules) {
  std::string error;
  Compile(DefaultText, error);
}

void TSubjectTemplate::AppendSafeToken(std::string& out, std::string_view field,
                                       TSubjectRules rules) {
  if (field.empty()) {
    out += '_';
    return;
  }
  for (const char c : field) {
    out += TokenCharacter(c, rules) ? c : '_';
  }
}

bool TSubjectTemplate::Compile(std::string_view text, std::string& error) {
  std::vector<TPart> parts;
  std::string literal;
  // What the name built so far ends with, for the empty-token check: the start, a '.', or
  // something else.
  bool atTokenStart = true;
  auto literalCharacter = [&](char c) {
    if (c == '.') {
      if (atTokenStart) {
        error = "an empty token in \"" + std::string(text) + "\"";
        return false;
      }
      atTokenStart = true;
    } else if (!TokenCharacter(c, FRules)) {
      error = std::string("the character '") + c + "' is not allowed in " +
              (FRules == TSubjectRules::Nats ? "a NATS subject" : "a Kafka topic") + ": \"" +
              std::string(text) + "\"";
      return false;
    } else {
      atTokenStart = false;
    }
    literal += c;
    return true;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '{') {
      if (!literalCharacter(text[i])) {
        return false;
      }
      continue;
    }
    const std::size_t close = text.find('}', i);
    if (close == std::string_view::npos) {
      error = "an unclosed '{' in \"" + std::string(text) + "\"";
      return false;
    }
    const std::string_view name = text.substr(i + 1, close - i - 1);
    TField field = TField::Literal;
    if (name == "address") {
      field = TField::Address;
    } else if (name == "port") {
      field = TField::Port;
    } else if (name == "application") {
      field = TField::Application;
    } else if (name == "module") {
      field = TField::Module;
    } else if (name == "prefix") {
      field = TField::Prefix;
    } else {
      error = "unknown field {" + std::string(name) +
              "} (known: {address} {port} {application} {module} {prefix})";
      return false;
    }
    if (!literal.empty()) {
      parts.push_back({TField::Literal, std::move(literal)});
      literal.clear();
    }
    parts.push_back({field, {}});
    atTokenStart = false;
    i = close;
  }
  if (text.empty() || atTokenStart) {
    error = text.empty() ? "an empty template"
                         : "a template ending in '.': \"" + std::string(text) + "\"";
    return false;
  }
  if (!literal.empty()) {
    parts.push_back({TField::Literal, std::move(literal)});
  }
  FText = text;
  FParts = std::move(parts);
  return true;
}

void TSubjectTemplate::AppendTo(std::string& out, const TForwardRecord& record) const {
  const std::size_t start = out.size();
  for (const TPart& part : FParts) {
    switch (part.Field) {
      case TField::Literal:
        out += part.Literal;
        break;
      case TField::Address:
        AppendSafeToken(out, record.PeerAddress, FRules);
        break;
      case TField::Port:
        out += std::to_string(record.PeerPort);
        break;
      case TField::Application:
        AppendSafeToken(out, record.Application, FRules);
        break;
      case TField::Module:
        AppendSafeToken(out, record.Module, FRules);
        break;
      case TField::Prefix:
        AppendSafeToken(out, record.Prefix, FRules);
        break;
    }
  }
  if (FRules == TSubjectRules::Kafka && out.size() - start > MaxKafkaTopicLength) {
    static constexpr char Hex[] = "0123456789abcdef";
    const std::uint32_t hash = Fnv1a32(std::string_view(out).substr(start));
    out.resize(start + 240);
    out += '-';
    for (int shift = 28; shift >= 0; shift -= 4) {
      out += Hex[(hash >> shift) & 0xF];
    }
  }
}

std::string TSubjectTemplate::Build(const TForwardRecord& record) const {
  std::string out;
  AppendTo(out, record);
  return out;
}
