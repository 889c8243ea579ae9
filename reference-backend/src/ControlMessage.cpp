#include "ControlMessage.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace tamrik {
namespace {

using Json = nlohmann::json;

// A member that is a whole JSON number (not a float, not a string that looks like one).
std::optional<std::uint64_t> wholeNumber(const Json::object_t& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end()) return std::nullopt;
  const Json& value = found->second;
  if (value.is_number_unsigned()) return value.get<Json::number_unsigned_t>();
  if (value.is_number_integer()) {
    const auto signedValue = value.get<Json::number_integer_t>();
    if (signedValue >= 0) return static_cast<std::uint64_t>(signedValue);
  }
  return std::nullopt;
}

std::optional<unsigned short> terminalSide(const Json::object_t& object, const char* name) {
  const auto side = wholeNumber(object, name);
  if (!side || *side < 1 || *side > static_cast<std::uint64_t>(kMaxTerminalSide)) {
    return std::nullopt;
  }
  return static_cast<unsigned short>(*side);
}

ControlMessage interpret(std::string_view text) {
  if (text.empty() || text.size() > kMaxControlMessage) return Ignored{};
  // The parser takes a NUL for the end of its input; JSON has no place for one anyway.
  if (text.find('\0') != std::string_view::npos) return Ignored{};
  const Json message = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!message.is_object()) return Ignored{};
  const auto& object = message.get_ref<const Json::object_t&>();
  const auto type = object.find("type");
  if (type == object.end() || !type->second.is_string()) return Ignored{};
  const auto& name = type->second.get_ref<const Json::string_t&>();
  if (name == "ack") {
    const auto bytes = wholeNumber(object, "bytes");
    if (!bytes || *bytes == 0) return Ignored{};
    return OutputAck{*bytes};
  }
  if (name == "resize") {
    const auto cols = terminalSide(object, "cols");
    const auto rows = terminalSide(object, "rows");
    if (!cols || !rows) return Ignored{};
    return ResizeRequest{*cols, *rows};
  }
  return Ignored{};
}

}  // namespace

ControlMessage parseControlMessage(std::string_view text) noexcept {
  try {
    return interpret(text);
  } catch (...) {
    // Only allocation can fail here; a message we cannot look at is ignored like a bad one.
    return Ignored{};
  }
}

std::string inputAckMessage(std::uint64_t bytes) {
  return R"({"type":"ack","bytes":)" + std::to_string(bytes) + "}";
}

}  // namespace tamrik
