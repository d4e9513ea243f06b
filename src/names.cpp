#include "names.h"

#include "sys.h"

namespace qorva {
namespace {

constexpr const char* kInvalidTopicNameText = "invalid topic name";
constexpr const char* kInvalidBusNameText = "invalid bus name";

bool is_dot_component(std::string_view c) { return c == "." || c == ".."; }

}  // namespace

std::expected<void, IoError> check_topic_name(std::string_view topic) {
  if (topic.find('\0') != std::string_view::npos) return std::unexpected(nul_in_path_error());
  if (topic.empty() || is_dot_component(topic) || topic.find('/') != std::string_view::npos)
    return std::unexpected(IoError::fixed(IoKind::InvalidInput, kInvalidTopicNameText));
  return {};
}

std::expected<void, IoError> check_bus_name(std::string_view bus) {
  auto invalid = std::unexpected(IoError::fixed(IoKind::InvalidInput, kInvalidBusNameText));
  if (!bus.empty() && bus.front() == '/') return invalid;
  while (!bus.empty()) {
    auto slash = bus.find('/');
    if (is_dot_component(bus.substr(0, slash))) return invalid;
    if (slash == std::string_view::npos) break;
    bus.remove_prefix(slash + 1);
  }
  return {};
}

}  // namespace qorva
