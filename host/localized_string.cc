#include "host/localized_string.h"

#include <mutex>

namespace ph {
namespace {

std::mutex g_mutex;

StringTable& table() {
  static StringTable t;
  return t;
}

}  // namespace

void setStringTable(StringTable t) {
  std::lock_guard lock(g_mutex);
  table() = std::move(t);
}

std::string localizedString(const std::string& key, const std::string& /*comment*/) {
  std::lock_guard lock(g_mutex);
  const StringTable& t = table();
  auto it = t.find(key);
  return it == t.end() ? key : it->second;
}

}  // namespace ph
