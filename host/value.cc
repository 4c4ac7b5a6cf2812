#include "host/value.h"

namespace ph {

std::string describe(const Value& value) {
  if (value.is_string()) return value.get<std::string>();
  // Replace malformed UTF-8 instead of throwing: this only feeds log lines.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace ph
